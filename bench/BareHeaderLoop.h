#pragma once
// The baseline of every listing benchmark: the least a listing must do is open each *.kst of
// the folder, read its 160-byte header and close it.
#include "core/AsciiCase.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

namespace kestrel::bench {

// The number of *.kst files whose whole header could be read.
inline int ReadEveryHeader(const std::filesystem::path& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return 0;
    const int dirFd = ::dirfd(dir);
    int files = 0;
    char header[160];
    while (const dirent* entry = ::readdir(dir)) {
        if (!EndsWithIgnoringAsciiCase(entry->d_name, ".kst"))
            continue;
        const int fd = ::openat(dirFd, entry->d_name, O_RDONLY | O_CLOEXEC);
        files += ::read(fd, header, sizeof header) == sizeof header;
        ::close(fd);
    }
    ::closedir(dir);
    return files;
}

} // namespace kestrel::bench
