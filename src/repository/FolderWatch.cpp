#include "repository/FolderWatch.h"

#include <cerrno>
#include <cstring>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace kestrel {

namespace {

constexpr uint32_t kEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                             IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

} // namespace

FolderWatch::~FolderWatch() {
    Stop();
}

void FolderWatch::Stop() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool FolderWatch::FileSystemNotifies(const std::filesystem::path& folder) {
    struct statfs fs {};
    if (::statfs(folder.empty() ? "." : folder.c_str(), &fs) != 0)
        return false;
    // Shares and user-space file systems: the local kernel sees only its own writes there.
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x6969UL:     // NFS
    case 0x517BUL:     // SMB
    case 0xFF534D42UL: // CIFS
    case 0xFE534D42UL: // SMB2
    case 0x65735546UL: // FUSE
    case 0x01021997UL: // 9P
    case 0x00C36400UL: // Ceph
    case 0x5346414FUL: // AFS
    case 0x6B414653UL: // kAFS
    case 0x73757245UL: // Coda
    case 0x564CUL:     // NCP
    case 0x47504653UL: // GPFS
    case 0x0BD00BD0UL: // Lustre
        return false;
    default:
        return true;
    }
}

FolderWatch::Changes FolderWatch::Take(const std::filesystem::path& folder) {
    Changes changes;
    const char* path = folder.empty() ? "." : folder.c_str();
    struct stat st {};
    if (::stat(path, &st) != 0) {
        Stop();
        return changes;
    }
    if (m_fd >= 0 && (st.st_dev != m_device || st.st_ino != m_inode))
        Stop(); // another folder now has this path
    if (m_fd >= 0 && Drain(changes.names)) {
        changes.all = false;
        return changes;
    }
    // Nothing known: watch from now on, and have everything looked at this time.
    changes.names.clear();
    Stop();
    if (!FileSystemNotifies(folder))
        return changes;
    m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0)
        return changes;
    if (::inotify_add_watch(m_fd, path, kEvents) < 0) {
        Stop();
        return changes;
    }
    // Had the folder been swapped between the stat and the watch, the next look sees another
    // inode at the path and starts again.
    m_device = st.st_dev;
    m_inode = st.st_ino;
    return changes;
}

bool FolderWatch::Drain(std::unordered_set<std::string>& names) {
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(m_fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN;
        }
        for (ssize_t at = 0; at < got;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            // Events were lost, or the watch is gone with its folder.
            if (event.mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))
                return false;
            if (event.len > 0)
                names.emplace(buffer + at + sizeof(inotify_event));
            at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
        }
    }
}

} // namespace kestrel
