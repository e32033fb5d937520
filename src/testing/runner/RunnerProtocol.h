#pragma once
// What the DLL test and the module runner say to each other over the socket that the runner
// finds as descriptor 3. Both ends run on the same machine from the same build, so numbers
// travel in native byte order.
//
// Request: magic, then three texts (each a 32-bit length and its bytes): the working folder
// (file-system encoding), the library name (file-system encoding, exactly as typed), the
// function name (bytes as typed); then the entry count (signed 32-bit), the entries (64 bytes
// each, as in the table) and, for every entry of type "char" in order, a flag (1: it has a
// buffer) and the buffer's text (length and bytes, without the zero).
//
// Reply: a kind byte, the function's result (signed 32-bit) and a detail text, sent in one
// piece. The module's code runs in the runner and can write on the socket too, so the caller
// takes a reply only whole and alone, from a runner that then exited normally (0 after
// kReturned, 1 after the others); a runner killed by a signal fails the module whatever it sent.
// The runner's first argument is the caller's process id; its stdout and stderr are pipes to
// the caller.
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace kestrel::runner {

constexpr uint32_t kRequestMagic = 0x5254534B; // "KSTR"
constexpr int kSocketDescriptor = 3;

enum ReplyKind : uint8_t {
    kReturned = 0,      // the function returned; result holds its value
    kLoadFailed = 1,    // dlopen failed; detail holds dlerror()
    kSymbolMissing = 2, // dlsym found no such export
    kBadRequest = 3,    // the request could not be read
    kNoFolder = 4,      // the working folder could not be entered; detail holds the reason
};

// Moves size bytes through step (send or read), resuming after signals; false when the peer
// has gone or the descriptor failed.
template <typename Byte, typename Step> bool TransferAll(Byte* data, std::size_t size, Step step) {
    while (size > 0) {
        const ssize_t n = step(data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Sends every byte over the socket; false when the peer has gone (never raises SIGPIPE).
inline bool SendAll(int fd, const void* data, std::size_t size) {
    return TransferAll(static_cast<const char*>(data), size,
                       [fd](const char* p, std::size_t n) { return ::send(fd, p, n, MSG_NOSIGNAL); });
}

// Reads exactly size bytes; false on end of input or an error.
inline bool ReceiveAll(int fd, void* data, std::size_t size) {
    return TransferAll(static_cast<char*>(data), size, [fd](char* p, std::size_t n) { return ::read(fd, p, n); });
}

} // namespace kestrel::runner
