#pragma once
// What a file on disk was when it was read, to tell later whether someone wrote it since.
#include <cstdint>
#include <filesystem>

namespace kestrel {

// Every save of the tool renames a new file into place, so another copy's save always shows
// as a new inode; a program that writes in place shows in the size or the modification time.
struct FileStamp {
    bool exists = false;
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    int64_t modifiedNs = 0;

    bool operator==(const FileStamp&) const = default;
};

// The stamp of the file path leads to (links followed); exists is false when there is none.
FileStamp StampOf(const std::filesystem::path& path);

} // namespace kestrel
