#include "core/AtomicFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {

FileStatus FileStatus::FromErrno(int err) {
    FileStatus status = Io(std::strerror(err));
    status.osError = err;
    return status;
}

namespace {

class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_fd; }
    int Release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

mode_t CurrentUmask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

} // namespace

FileStatus ReadWholeFile(const std::filesystem::path& path, std::string& bytes) {
    bytes.clear();
    // O_NONBLOCK: opening a pipe that stands where a stored file should be must not hang.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.Get() < 0)
        return FileStatus::FromErrno(errno);
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0)
        return FileStatus::FromErrno(errno);
    if (S_ISDIR(st.st_mode))
        return FileStatus::FromErrno(EISDIR);
    // Pipes and devices are no stored files (and a device may never end).
    if (!S_ISREG(st.st_mode))
        return FileStatus::Invalid("not a regular file");
    if (st.st_size > 0)
        bytes.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return FileStatus::FromErrno(errno);
        }
        if (n == 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return FileStatus::Ok();
}

FileStatus ResolveWriteTarget(const std::filesystem::path& path, std::filesystem::path& target) {
    // The kernel's own limit on links followed in one lookup.
    constexpr int kMaxLinks = 40;
    target = path;
    for (int hops = 0; hops <= kMaxLinks; ++hops) {
        struct stat st {};
        if (::lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return FileStatus::Ok();
        std::error_code ec;
        const std::filesystem::path next = std::filesystem::read_symlink(target, ec);
        if (ec)
            return FileStatus::FromErrno(ec.value());
        // A relative link is read from the folder that holds it. A link that dangles still
        // names the file to create: replacing the link itself would lose it.
        target = next.is_absolute() ? next : target.parent_path() / next;
    }
    return FileStatus::FromErrno(ELOOP);
}

FileStatus WriteFileAtomic(const std::filesystem::path& givenPath, std::string_view bytes) {
    std::filesystem::path path;
    if (FileStatus resolved = ResolveWriteTarget(givenPath, path); !resolved)
        return resolved;
    const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    // The temporary name must stay within NAME_MAX however long the file's own name is.
    std::string stem = path.filename().string();
    if (stem.size() > 200)
        stem.resize(200);
    std::string temp = (folder / ("." + stem + ".XXXXXX")).string();

    mode_t mode = 0666 & ~CurrentUmask();
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0) {
        if (S_ISDIR(old.st_mode))
            return FileStatus::FromErrno(EISDIR);
        mode = old.st_mode & 07777;
    }

    Fd fd(::mkstemp(temp.data()));
    if (fd.Get() < 0)
        return FileStatus::FromErrno(errno);
    auto fail = [&](int err) {
        ::unlink(temp.c_str());
        return FileStatus::FromErrno(err);
    };
    if (!WriteAll(fd.Get(), bytes))
        return fail(errno);
    if (::fchmod(fd.Get(), mode) != 0)
        return fail(errno);
    if (::fsync(fd.Get()) != 0)
        return fail(errno);
    if (::close(fd.Release()) != 0)
        return fail(errno);
    if (::rename(temp.c_str(), path.c_str()) != 0)
        return fail(errno);
    // Make the rename itself durable.
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() >= 0)
        ::fsync(dir.Get());
    return FileStatus::Ok();
}

} // namespace kestrel
