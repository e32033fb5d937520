// kestrel-module-runner: calls one function of a DLL module on behalf of the DLL test, in a
// process of its own, so that module code which crashes or hangs cannot take the tool (and the
// user's unsaved work) down with it. It reads the request from descriptor 3, rebuilds the test
// variable table with the exact layout and its "char" buffers, loads the library exactly as
// typed, calls the function once and writes the result back.
#include "core/ProgramArguments.h"
#include "kestrel/ModuleFunction.h"
#include "testing/runner/RunnerProtocol.h"

#include <dlfcn.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

using namespace kestrel::runner;

namespace {

template <typename T> bool ReadValue(int fd, T& value) {
    return ReceiveAll(fd, &value, sizeof value);
}

bool ReadText(int fd, std::string& text) {
    uint32_t length = 0;
    if (!ReadValue(fd, length) || length > (1u << 30))
        return false;
    text.resize(length);
    return ReceiveAll(fd, text.data(), length);
}

int Reply(ReplyKind kind, int32_t result, const std::string& detail) {
    const uint8_t kindByte = kind;
    const uint32_t length = static_cast<uint32_t>(detail.size());
    std::string message;
    message.append(reinterpret_cast<const char*>(&kindByte), sizeof kindByte);
    message.append(reinterpret_cast<const char*>(&result), sizeof result);
    message.append(reinterpret_cast<const char*>(&length), sizeof length);
    message.append(detail);
    SendAll(kSocketDescriptor, message.data(), message.size());
    // What the module printed goes out before the caller sees the runner end.
    std::fflush(stdout);
    std::fflush(stderr);
    return kind == kReturned ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    kestrel::ProgramArguments arguments = kestrel::ParseProgramArguments(argc, argv);
    if (arguments.error.empty() && arguments.operands.size() > 1)
        arguments.error = "too many arguments";
    if (const std::optional<int> exit = kestrel::AnswerUsage(
            arguments, "kestrel-module-runner",
            "usage: kestrel-module-runner [PARENT_PID]\n"
            "Calls one function of a DLL module for the tool's DLL test, in a process of its own. The\n"
            "tool starts it with the request on descriptor 3; it is not meant to be started by hand.\n"
            "  -h, --help  this text\n"))
        return *exit;
    // The caller may be killed at any moment (a cancelled batch run, a closed window): the
    // runner and the module's loop never outlive it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (!arguments.operands.empty() &&
        std::strtol(arguments.operands[0].c_str(), nullptr, 10) != static_cast<long>(getppid()))
        return 1; // the caller died before the line above took effect

    // A crash is reported to the user as a message; a core file per crash would only litter
    // the module folder.
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);

    const int fd = kSocketDescriptor;
    uint32_t magic = 0;
    std::string folder, library, function;
    int32_t count = 0;
    if (!ReadValue(fd, magic) || magic != kRequestMagic || !ReadText(fd, folder) || !ReadText(fd, library) ||
        !ReadText(fd, function) || !ReadValue(fd, count) || count < 0 || count > KESTREL_MAX_TEST_VARIABLES)
        return Reply(kBadRequest, -1, "bad request");

    auto* table = static_cast<TestVariable*>(std::calloc(KESTREL_MAX_TEST_VARIABLES, sizeof(TestVariable)));
    if (!table)
        return Reply(kBadRequest, -1, "out of memory");
    if (count > 0 && !ReceiveAll(fd, table, sizeof(TestVariable) * static_cast<std::size_t>(count)))
        return Reply(kBadRequest, -1, "bad request");
    std::vector<char*> buffers;
    for (int32_t i = 0; i < count; ++i) {
        TestVariable& entry = table[i];
        if (entry.type != KESTREL_CHAR)
            continue;
        uint8_t hasBuffer = 0;
        std::string text;
        if (!ReadValue(fd, hasBuffer) || !ReadText(fd, text))
            return Reply(kBadRequest, -1, "bad request");
        entry.value.text = nullptr;
        if (!hasBuffer || entry.length <= 0)
            continue;
        char* buffer = static_cast<char*>(std::calloc(static_cast<std::size_t>(entry.length), 1));
        if (!buffer)
            return Reply(kBadRequest, -1, "out of memory");
        std::memcpy(buffer, text.data(), std::min(text.size(), static_cast<std::size_t>(entry.length) - 1));
        entry.value.text = buffer;
        buffers.push_back(buffer);
    }

    if (!folder.empty() && chdir(folder.c_str()) != 0)
        return Reply(kNoFolder, -1, std::strerror(errno));

    // An empty name would hand back the runner itself.
    void* handle = library.empty() ? nullptr : dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = library.empty() ? "empty library name" : dlerror();
        return Reply(kLoadFailed, -1, why ? why : "");
    }
    dlerror();
    auto function_ = reinterpret_cast<KestrelModuleFunction>(dlsym(handle, function.c_str()));
    if (!function_) {
        dlclose(handle);
        return Reply(kSymbolMissing, -1, "");
    }
    const int32_t result = function_(table, count);
    dlclose(handle);
    for (char* buffer : buffers)
        std::free(buffer);
    std::free(table);
    return Reply(kReturned, result, "");
}
