#pragma once
// What changed in a folder since the last look, told by the kernel where it can tell, so that a
// re-fill of a big folder need not ask the file system about every file again.
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <unordered_set>

namespace kestrel {

class FolderWatch {
public:
    FolderWatch() = default;
    ~FolderWatch();
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    struct Changes {
        // Nothing is known: every file must be looked at (the first look, a file system that
        // does not report changes, lost notifications, a folder replaced).
        bool all = true;
        std::unordered_set<std::string> names; // disk names changed, added or removed otherwise
    };

    // Changes since the previous call; the first call starts watching. A change made after
    // this call returns is reported by the next one.
    Changes Take(const std::filesystem::path& folder);

    // Whether notifications are trusted for folder's file system: false on network and
    // user-space file systems, where another machine's writes raise no notification.
    static bool FileSystemNotifies(const std::filesystem::path& folder);

private:
    void Stop();
    // Adds the names of the pending events; false when events were lost or the watch ended.
    bool Drain(std::unordered_set<std::string>& names);

    int m_fd = -1;
    dev_t m_device = 0;
    ino_t m_inode = 0;
};

} // namespace kestrel
