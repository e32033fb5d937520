#pragma once
// Whole-file reads and crash-safe whole-file writes.
#include "core/Status.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace kestrel {

// No stored file of the tool comes near this size; a file above it is refused (EFBIG) rather
// than read, so that a hostile or sparse file never makes the tool allocate by its size.
inline constexpr std::uint64_t kMaxStoredFileBytes = 64u << 20;

// Reads the whole file into bytes. Io when it cannot be opened or read (a folder included), Io
// with EFBIG when it holds more than maxBytes; Invalid for a pipe, socket or device, which is
// never a stored file.
FileStatus ReadWholeFile(const std::filesystem::path& path, std::string& bytes,
                         std::uint64_t maxBytes = kMaxStoredFileBytes);

// A stored file opened for reading the parts its own header declares: the size is known
// before anything is allocated.
class StoredFile {
public:
    StoredFile() = default;
    ~StoredFile();
    StoredFile(const StoredFile&) = delete;
    StoredFile& operator=(const StoredFile&) = delete;

    // The refusals of ReadWholeFile: Io for a folder or an OS error, Invalid for a pipe,
    // socket or device.
    FileStatus Open(const std::filesystem::path& path);
    std::uint64_t Size() const { return m_size; }
    // Exactly length bytes from offset; Invalid when the file ends first, Io (EFBIG) when length
    // is above kMaxStoredFileBytes.
    FileStatus ReadAt(std::uint64_t offset, std::uint64_t length, std::string& bytes) const;

private:
    int m_fd = -1;
    std::uint64_t m_size = 0;
};

// The Io status for a file above kMaxStoredFileBytes.
FileStatus FileTooLarge();

// The file that a write to path lands on: path itself or, for a symbolic link (a chain of them
// included), the file the last link names, which need not exist yet. Io (ELOOP) for a cycle.
FileStatus ResolveWriteTarget(const std::filesystem::path& path, std::filesystem::path& target);

// Writes bytes to a temporary file beside path, flushes it to disk and renames it over path,
// keeping the old file's permission bits, and its owner and group as far as this process may
// give them (a file shared through its group stays in it). A new file gets newFileMode when
// given (whatever the umask), otherwise 0666 less the umask. A symbolic link
// stays a link: the file it names is replaced (see ResolveWriteTarget). On failure the old
// file is left exactly as it was and the temporary file is removed.
// The temporary file has no name until it is complete where the file system allows it; where
// it does not, its name follows a pattern of our own, and temporaries of that pattern that a
// killed save left behind are removed from the folder at the next save there.
// A path that exists and is not a regular file (a device, a FIFO, a socket, standard output
// through /dev/stdout or /proc/self/fd) is written in place and never replaced.
FileStatus WriteFileAtomic(const std::filesystem::path& path, std::string_view bytes,
                           std::optional<unsigned> newFileMode = std::nullopt);

// WriteFileAtomic for many files: the sweep for left-over temporaries reads the whole folder,
// so it is done once per folder, at the first write there, instead of at every write (which
// would make writing n files into one folder cost n times n).
class AtomicFileWriter {
public:
    FileStatus Write(const std::filesystem::path& path, std::string_view bytes);

private:
    std::set<std::string> m_sweptFolders;
};

// WriteFileAtomic for an output the user names (a report, a result file): "-" as well means
// standard output.
FileStatus WriteOutputFile(const std::filesystem::path& path, std::string_view bytes);

// The file name of path as messages show it (GBK): a name on disk in UTF-8 converted, one in
// GBK bytes (copied from another system) kept, anything else with "?" for what has no form.
std::string FileNameForMessage(const std::filesystem::path& path);

// Whether name is one of the temporary names WriteFileAtomic gives.
bool IsAtomicWriteTemporary(std::string_view name);

} // namespace kestrel
