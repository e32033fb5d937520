#include "core/AtomicFile.h"
#include "core/AtomicFileSteps.h"
#include "core/Descriptor.h"

#include "core/Gbk.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <random>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace kestrel {

FileError FileError::FromErrno(int err) {
    FileError error = Io(std::strerror(err));
    error.osError = err;
    return error;
}

namespace {

// Opens a file that should be a stored file, refusing what never is one.
FileStatus OpenStored(const std::filesystem::path& path, Descriptor& fd, struct stat& st) {
    // O_NONBLOCK: opening a pipe that stands where a stored file should be must not hang.
    Descriptor opened(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (opened.Get() < 0)
        return Fail(FileError::FromErrno(errno));
    if (::fstat(opened.Get(), &st) != 0)
        return Fail(FileError::FromErrno(errno));
    if (S_ISDIR(st.st_mode))
        return Fail(FileError::FromErrno(EISDIR));
    // Pipes and devices are no stored files (and a device may never end).
    if (!S_ISREG(st.st_mode))
        return Fail(FileError::Invalid("not a regular file"));
    fd = Descriptor(opened.Release());
    return Ok();
}

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

FileStatus FileTooLarge() {
    FileError error = FileError::FromErrno(EFBIG);
    error.message += " (limit " + std::to_string(kMaxStoredFileBytes >> 20) + " MiB)";
    return Fail(std::move(error));
}

FileStatus ReadWholeFile(const std::filesystem::path& path, std::string& bytes, std::uint64_t maxBytes) {
    bytes.clear();
    Descriptor fd;
    struct stat st {};
    if (FileStatus opened = OpenStored(path, fd, st); !opened)
        return opened;
    // The size is only a hint (the file may grow while it is read), never what is allocated.
    if (static_cast<std::uint64_t>(st.st_size) > maxBytes)
        return FileTooLarge();
    bytes.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Fail(FileError::FromErrno(errno));
        }
        if (n == 0)
            break;
        if (bytes.size() + static_cast<std::size_t>(n) > maxBytes) {
            bytes.clear();
            return FileTooLarge();
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return Ok();
}

StoredFile::~StoredFile() {
    if (m_fd >= 0)
        ::close(m_fd);
}

FileStatus StoredFile::Open(const std::filesystem::path& path) {
    Descriptor fd;
    struct stat st {};
    if (FileStatus opened = OpenStored(path, fd, st); !opened)
        return opened;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd.Release();
    m_size = static_cast<std::uint64_t>(st.st_size);
    return Ok();
}

FileStatus StoredFile::ReadAt(std::uint64_t offset, std::uint64_t length, std::string& bytes) const {
    bytes.clear();
    if (length > kMaxStoredFileBytes)
        return FileTooLarge();
    if (offset > m_size || length > m_size - offset)
        return Fail(FileError::Invalid("shorter than its lengths claim"));
    bytes.resize(static_cast<std::size_t>(length));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pread(m_fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int err = errno;
            bytes.clear();
            return Fail(FileError::FromErrno(err));
        }
        if (n == 0) { // shrunk since it was opened
            bytes.clear();
            return Fail(FileError::Invalid("shorter than its lengths claim"));
        }
        done += static_cast<std::size_t>(n);
    }
    return Ok();
}

namespace {
FileStatus FollowLinks(const std::filesystem::path& path, std::filesystem::path& target, int* ownDescriptor);
} // namespace

FileStatus ResolveWriteTarget(const std::filesystem::path& path, std::filesystem::path& target) {
    return FollowLinks(path, target, nullptr);
}

namespace {

constexpr std::string_view kTempMark = ".ksttmp.";
constexpr std::size_t kTempSuffix = 6;

// The descriptor a path names when it is one of the process's own open files: /dev/stdout,
// /dev/stderr, /dev/fd/N, /proc/self/fd/N. Those are the files the caller already has open
// (a shell's redirection, a pipe), which the path's link target ("pipe:[…]", the redirected
// file) would only name anew.
int OwnDescriptorOf(const std::filesystem::path& path) {
    const std::string text = path.lexically_normal().string();
    if (text == "/dev/stdout")
        return 1;
    if (text == "/dev/stderr")
        return 2;
    if (text == "/dev/stdin")
        return 0;
    for (const std::string_view folder : {std::string_view("/dev/fd/"), std::string_view("/proc/self/fd/")}) {
        if (text.size() > folder.size() && text.compare(0, folder.size(), folder) == 0) {
            int fd = 0;
            for (std::size_t i = folder.size(); i < text.size(); ++i) {
                if (text[i] < '0' || text[i] > '9' || fd > 100000)
                    return -1;
                fd = fd * 10 + (text[i] - '0');
            }
            return fd;
        }
    }
    return -1;
}

// Follows the links of path to the file the last one names (target). With ownDescriptor, it
// stops at a link into the process's own descriptors and sets that descriptor instead.
FileStatus FollowLinks(const std::filesystem::path& path, std::filesystem::path& target, int* ownDescriptor) {
    // The kernel's own limit on links followed in one lookup.
    constexpr int kMaxLinks = 40;
    target = path;
    if (ownDescriptor)
        *ownDescriptor = -1;
    for (int hops = 0; hops <= kMaxLinks; ++hops) {
        if (ownDescriptor && (*ownDescriptor = OwnDescriptorOf(target)) >= 0)
            return Ok();
        struct stat st {};
        if (::lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return Ok();
        std::error_code ec;
        const std::filesystem::path next = std::filesystem::read_symlink(target, ec);
        if (ec)
            return Fail(FileError::FromErrno(ec.value()));
        // A relative link is read from the folder that holds it. A link that dangles still
        // names the file to create: replacing the link itself would lose it.
        target = next.is_absolute() ? next : target.parent_path() / next;
    }
    return Fail(FileError::FromErrno(ELOOP));
}

FileStatus WriteToDescriptor(int fd, std::string_view bytes) {
    // What the program printed through stdio must come first.
    if (fd == 1)
        std::fflush(stdout);
    else if (fd == 2)
        std::fflush(stderr);
    if (::fcntl(fd, F_GETFD) < 0)
        return Fail(FileError::FromErrno(errno));
    if (!WriteAll(fd, bytes))
        return Fail(FileError::FromErrno(errno));
    return Ok();
}

// A path that exists and is not a regular file: opened and written as it is.
FileStatus WriteInPlace(const std::filesystem::path& path, const struct stat& st, std::string_view bytes) {
    Descriptor fd;
    if (S_ISSOCK(st.st_mode)) {
        // A socket cannot be opened; its listener is what a write to it reaches.
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.native().size() >= sizeof address.sun_path)
            return Fail(FileError::FromErrno(ENAMETOOLONG));
        std::memcpy(address.sun_path, path.c_str(), path.native().size());
        fd = Descriptor(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (fd.Get() < 0 || ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            return Fail(FileError::FromErrno(errno));
    } else {
        // No O_TRUNC, no O_CREAT: a device or FIFO is written, never made or cut.
        fd = Descriptor(::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
        if (fd.Get() < 0)
            return Fail(FileError::FromErrno(errno));
    }
    if (!WriteAll(fd.Get(), bytes))
        return Fail(FileError::FromErrno(errno));
    if (::close(fd.Release()) != 0)
        return Fail(FileError::FromErrno(errno));
    return Ok();
}

std::string RandomSuffix() {
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937_64 random{std::random_device{}() ^ static_cast<std::uint64_t>(::getpid())};
    std::string suffix(kTempSuffix, 'X');
    for (char& c : suffix)
        c = kLetters[random() % (sizeof kLetters - 1)];
    return suffix;
}

// Removes the temporaries of killed saves: a living save holds a lock on its temporary, so a
// temporary whose lock can be taken has no writer any more.
void RemoveStaleTemporaries(const std::filesystem::path& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    const int dirFd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        if (!IsAtomicWriteTemporary(entry->d_name))
            continue;
        Descriptor fd(::openat(dirFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st {};
        if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (::flock(fd.Get(), LOCK_EX | LOCK_NB) == 0)
            ::unlinkat(dirFd, entry->d_name, 0);
    }
    ::closedir(dir);
}

// A complete, unnamed temporary file gets a name of our pattern; "" when the file system
// cannot give one this way (the caller then writes a named temporary).
std::string LinkUnnamed(int fd, const std::string& prefix) {
    const std::string procPath = "/proc/self/fd/" + std::to_string(fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = prefix + RandomSuffix();
        if (::linkat(AT_FDCWD, procPath.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return name;
        if (errno != EEXIST)
            return {};
    }
    return {};
}

AtomicWriteObserver g_observer = nullptr;

void Reached(AtomicWriteStep step) {
    if (g_observer)
        g_observer(step);
}

// The new file takes the old one's owner and group where this process may give them: root
// may give both, a member of the old file's group that group. What it may not give is left as
// the new file got it, rather than failing a save that is otherwise sound.
void KeepOwnerAndGroup(int fd, const struct stat& old) {
    struct stat now {};
    if (::fstat(fd, &now) != 0 || (now.st_uid == old.st_uid && now.st_gid == old.st_gid))
        return;
    if (::fchown(fd, old.st_uid, old.st_gid) == 0 || now.st_gid == old.st_gid)
        return;
    [[maybe_unused]] const int groupOnly = ::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
}

FileStatus WriteRegular(const std::filesystem::path& path, std::string_view bytes, bool sweep,
                        std::optional<unsigned> newFileMode) {
    const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    // The temporary name must stay within NAME_MAX however long the file's own name is.
    std::string stem = path.filename().string();
    if (stem.size() > 200)
        stem.resize(200);
    const std::string prefix = (folder / ("." + stem + std::string(kTempMark))).string();

    mode_t mode = newFileMode ? static_cast<mode_t>(*newFileMode & 07777) : 0666 & ~CurrentUmask();
    struct stat old {};
    const bool replacing = ::stat(path.c_str(), &old) == 0;
    if (replacing)
        mode = old.st_mode & 07777;
    // The owner first: a change of owner clears the set-id bits that the mode then sets.
    auto settle = [&](int descriptor) {
        if (replacing)
            KeepOwnerAndGroup(descriptor, old);
        return ::fchmod(descriptor, mode) == 0;
    };

    if (sweep)
        RemoveStaleTemporaries(folder);
    Reached(AtomicWriteStep::kStaleRemoved);

    // An unnamed file vanishes with a killed save; it gets a name only once it is complete.
    Descriptor fd(::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
    const bool unnamed = fd.Get() >= 0;
    std::string temp;
    if (!unnamed) {
        temp = prefix + "XXXXXX";
        fd = Descriptor(::mkostemp(temp.data(), O_CLOEXEC));
        if (fd.Get() < 0)
            return Fail(FileError::FromErrno(errno));
    }
    Reached(AtomicWriteStep::kTemporaryOpen);
    // Held until the rename is done: the sign that this temporary still has a writer.
    ::flock(fd.Get(), LOCK_EX);
    Reached(AtomicWriteStep::kLocked);
    auto fail = [&](int err) {
        if (!temp.empty())
            ::unlink(temp.c_str());
        return Fail(FileError::FromErrno(err));
    };
    if (!WriteAll(fd.Get(), bytes))
        return fail(errno);
    Reached(AtomicWriteStep::kWritten);
    if (!settle(fd.Get()))
        return fail(errno);
    Reached(AtomicWriteStep::kModeSet);
    if (::fsync(fd.Get()) != 0)
        return fail(errno);
    Reached(AtomicWriteStep::kSynced);
    if (unnamed) {
        temp = LinkUnnamed(fd.Get(), prefix);
        if (temp.empty()) {
            // No /proc to link through: write a named temporary after all.
            fd = Descriptor(-1);
            temp = prefix + "XXXXXX";
            fd = Descriptor(::mkostemp(temp.data(), O_CLOEXEC));
            if (fd.Get() < 0)
                return Fail(FileError::FromErrno(errno));
            ::flock(fd.Get(), LOCK_EX);
            if (!WriteAll(fd.Get(), bytes) || !settle(fd.Get()) || ::fsync(fd.Get()) != 0)
                return fail(errno);
        }
        Reached(AtomicWriteStep::kNamed);
    }
    if (::rename(temp.c_str(), path.c_str()) != 0)
        return fail(errno);
    Reached(AtomicWriteStep::kRenamed);
    if (::close(fd.Release()) != 0)
        return Fail(FileError::FromErrno(errno));
    Reached(AtomicWriteStep::kClosed);
    // Make the rename itself durable.
    Descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() >= 0)
        ::fsync(dir.Get());
    return Ok();
}

} // namespace

void SetAtomicWriteObserver(AtomicWriteObserver observer) {
    g_observer = observer;
}

std::string FileNameForMessage(const std::filesystem::path& path) {
    const std::string name = path.filename().string();
    if (std::optional<std::string> gbk = Utf8ToGbk(name))
        return *gbk;
    if (IsValidGbk(name))
        return name;
    return Utf8ToGbkLossy(name);
}

bool IsAtomicWriteTemporary(std::string_view name) {
    if (name.size() < 1 + kTempMark.size() + kTempSuffix || name[0] != '.')
        return false;
    const std::size_t mark = name.size() - kTempSuffix - kTempMark.size();
    return name.substr(mark, kTempMark.size()) == kTempMark;
}

namespace {

// sweep: whether the folder's left-over temporaries are removed first.
FileStatus WriteAtomic(const std::filesystem::path& givenPath, std::string_view bytes, bool sweep,
                       std::optional<unsigned> newFileMode = std::nullopt) {
    std::filesystem::path path;
    int fd = -1;
    if (FileStatus resolved = FollowLinks(givenPath, path, &fd); !resolved)
        return resolved;
    if (fd >= 0)
        return WriteToDescriptor(fd, bytes);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return Fail(FileError::FromErrno(EISDIR));
        if (!S_ISREG(st.st_mode))
            return WriteInPlace(path, st, bytes);
    }
    return WriteRegular(path, bytes, sweep, newFileMode);
}

} // namespace

FileStatus WriteFileAtomic(const std::filesystem::path& givenPath, std::string_view bytes,
                           std::optional<unsigned> newFileMode) {
    return WriteAtomic(givenPath, bytes, true, newFileMode);
}

FileStatus AtomicFileWriter::Write(const std::filesystem::path& path, std::string_view bytes) {
    const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    return WriteAtomic(path, bytes, m_sweptFolders.insert(folder.lexically_normal().string()).second);
}

FileStatus WriteOutputFile(const std::filesystem::path& path, std::string_view bytes) {
    if (path == "-")
        return WriteToDescriptor(1, bytes);
    return WriteFileAtomic(path, bytes);
}

} // namespace kestrel
