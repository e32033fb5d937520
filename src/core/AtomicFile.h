#pragma once
// Whole-file reads and crash-safe whole-file writes.
#include "core/Status.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace kestrel {

// Reads the whole file into bytes. Io when it cannot be opened or read (a folder included);
// Invalid for a pipe, socket or device, which is never a stored file.
FileStatus ReadWholeFile(const std::filesystem::path& path, std::string& bytes);

// The file that a write to path lands on: path itself or, for a symbolic link (a chain of them
// included), the file the last link names, which need not exist yet. Io (ELOOP) for a cycle.
FileStatus ResolveWriteTarget(const std::filesystem::path& path, std::filesystem::path& target);

// Writes bytes to a temporary file beside path, flushes it to disk and renames it over path,
// keeping the old file's permission bits (new files get 0666 less the umask). A symbolic link
// stays a link: the file it names is replaced (see ResolveWriteTarget). On failure the old
// file is left exactly as it was and the temporary file is removed.
FileStatus WriteFileAtomic(const std::filesystem::path& path, std::string_view bytes);

} // namespace kestrel
