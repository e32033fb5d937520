#include "repository/FolderCommit.h"
#include "core/Descriptor.h"

#include "core/AtomicFile.h"
#include "core/Gbk.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <set>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {

namespace {

std::atomic<bool> g_exchangeAllowed{true};
CommitObserver g_observer = nullptr;

constexpr char kJournalMagic[] = "KESTREL-COMMIT";
constexpr char kUndo = 'U';
constexpr char kDone = 'C';
constexpr char kCopyMark[] = ".kstcopy.";

int Reached(CommitStep step, int index) {
    return g_observer ? g_observer(step, index) : 0;
}

FileStatus IoAt(const std::filesystem::path& path, int err) {
    FileError error = FileError::FromErrno(err);
    error.message = path.string() + ": " + error.message;
    return Fail(std::move(error));
}

bool Exists(const std::filesystem::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

void SyncFolder(const std::filesystem::path& folder) {
    Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.Get() >= 0)
        ::fsync(fd.Get());
}

mode_t NewFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// Writes and flushes a file of ours; 0 or the errno, the file removed on failure.
int WriteStaged(const std::filesystem::path& path, const std::string& bytes, mode_t mode, int index) {
    if (const int injected = Reached(CommitStep::kStaged, index))
        return injected;
    ::unlink(path.c_str());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    int err = 0;
    for (std::size_t done = 0; done < bytes.size() && err == 0;) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && errno != EINTR)
            err = errno;
    }
    if (err == 0 && ::fchmod(fd, mode) != 0)
        err = errno;
    if (err == 0 && ::fsync(fd) != 0)
        err = errno;
    if (::close(fd) != 0 && err == 0)
        err = errno;
    if (err != 0)
        ::unlink(path.c_str());
    return err;
}

// Holds an exclusive lock on the folder itself, so that two commits or a commit and a repair
// never interleave. A commit by exchange puts another folder under the name: the lock is taken
// again until it is on the folder the name has.
class FolderLock {
public:
    FileStatus Take(const std::filesystem::path& folder) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            m_fd = std::make_unique<Descriptor>(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (m_fd->Get() < 0)
                return IoAt(folder, errno);
            if (::flock(m_fd->Get(), LOCK_EX) != 0)
                return IoAt(folder, errno);
            struct stat held {
            }, named{};
            if (::fstat(m_fd->Get(), &held) == 0 && ::stat(folder.c_str(), &named) == 0 &&
                held.st_dev == named.st_dev && held.st_ino == named.st_ino)
                return Ok();
        }
        return IoAt(folder, EBUSY);
    }

private:
    std::unique_ptr<Descriptor> m_fd;
};

// --- commit by journal -------------------------------------------------------------------

struct JournalEntry {
    bool hadOld = false;
    std::filesystem::path target; // absolute, links resolved
};

std::filesystem::path Beside(const std::filesystem::path& target, std::size_t index, const char* kind) {
    std::string stem = target.filename().string();
    if (stem.size() > 200)
        stem.resize(200);
    return target.parent_path() / ("." + stem + "." + std::to_string(index) + kind);
}

std::filesystem::path StagedPath(const JournalEntry& entry, std::size_t index) {
    return Beside(entry.target, index, ".kstnew");
}

std::filesystem::path BackupPath(const JournalEntry& entry, std::size_t index) {
    return Beside(entry.target, index, ".kstold");
}

std::string JournalBytes(char state, const std::vector<JournalEntry>& entries) {
    std::string bytes(kJournalMagic, sizeof kJournalMagic);
    bytes.push_back(state);
    for (const JournalEntry& entry : entries) {
        bytes.push_back(entry.hadOld ? '1' : '0');
        bytes.append(entry.target.string()).push_back('\0');
    }
    return bytes;
}

bool ParseJournal(const std::string& bytes, char& state, std::vector<JournalEntry>& entries) {
    entries.clear();
    if (bytes.size() < sizeof kJournalMagic + 1 ||
        bytes.compare(0, sizeof kJournalMagic, kJournalMagic, sizeof kJournalMagic) != 0)
        return false;
    state = bytes[sizeof kJournalMagic];
    if (state != kUndo && state != kDone)
        return false;
    std::size_t at = sizeof kJournalMagic + 1;
    while (at < bytes.size()) {
        const std::size_t zero = bytes.find('\0', at);
        if (zero == std::string::npos || zero == at || (bytes[at] != '0' && bytes[at] != '1'))
            return false;
        entries.push_back({bytes[at] == '1', bytes.substr(at + 1, zero - at - 1)});
        if (!entries.back().target.is_absolute())
            return false;
        at = zero + 1;
    }
    return true;
}

void SyncParents(const std::vector<JournalEntry>& entries) {
    std::set<std::filesystem::path> folders;
    for (const JournalEntry& entry : entries)
        folders.insert(entry.target.parent_path());
    for (const std::filesystem::path& folder : folders)
        SyncFolder(folder);
}

// Puts every old file back under its name and removes every new one, then the journal. The
// first failure is returned (the journal then stays, for the next try).
FileStatus RollBack(const std::filesystem::path& journal, const std::vector<JournalEntry>& entries) {
    FileStatus first = Ok();
    auto note = [&](FileStatus status) {
        if (first && !status)
            first = std::move(status);
    };
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const JournalEntry& entry = entries[i];
        const std::filesystem::path staged = StagedPath(entry, i);
        const bool placed = !Exists(staged);
        if (!placed && ::unlink(staged.c_str()) != 0 && errno != ENOENT)
            note(IoAt(staged, errno));
        const std::filesystem::path backup = BackupPath(entry, i);
        if (entry.hadOld) {
            // Before its rename the backup is a second name of the old file itself, which
            // rename() leaves alone: it is removed then.
            if (Exists(backup) && ::rename(backup.c_str(), entry.target.c_str()) != 0)
                note(IoAt(entry.target, errno));
            else if (::unlink(backup.c_str()) != 0 && errno != ENOENT)
                note(IoAt(backup, errno));
        } else if (placed && ::unlink(entry.target.c_str()) != 0 && errno != ENOENT) {
            note(IoAt(entry.target, errno));
        }
    }
    SyncParents(entries);
    if (first && ::unlink(journal.c_str()) != 0 && errno != ENOENT)
        note(IoAt(journal, errno));
    return first;
}

// After the journal says done: only the backups and the journal are left to remove.
void CleanUp(const std::filesystem::path& journal, const std::vector<JournalEntry>& entries) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
        ::unlink(BackupPath(entries[i], i).c_str());
        ::unlink(StagedPath(entries[i], i).c_str());
    }
    ::unlink(journal.c_str());
}

// The journal's own temporaries that a kill left (a save names its temporary just before the
// rename): a living save holds a lock on its temporary, so one whose lock can be taken is litter.
void RemoveStaleJournalTemporaries(const std::filesystem::path& folder) {
    const std::string prefix = std::string(".") + kCommitJournalName;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (!name.starts_with(prefix) || !IsAtomicWriteTemporary(name))
            continue;
        Descriptor fd(::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (fd.Get() >= 0 && ::flock(fd.Get(), LOCK_EX | LOCK_NB) == 0)
            ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
}

FileStatus RepairJournal(const std::filesystem::path& folder, std::string& note) {
    RemoveStaleJournalTemporaries(folder);
    const std::filesystem::path journal = folder / kCommitJournalName;
    std::string bytes;
    if (const FileStatus read = ReadWholeFile(journal, bytes); !read) {
        if (read.error().osError == ENOENT)
            return Ok();
        return IoAt(journal, read.error().osError ? read.error().osError : EIO);
    }
    char state = 0;
    std::vector<JournalEntry> entries;
    if (!ParseJournal(bytes, state, entries))
        return Fail(FileError::Invalid("damaged import journal").About(kCommitJournalName));
    if (state == kDone) {
        CleanUp(journal, entries);
        return Ok();
    }
    if (FileStatus back = RollBack(journal, entries); !back)
        return back;
    note = Utf8ToGbkLossy("上次中断的导入已撤回，文件夹与导入前相同：") + FileNameForMessage(folder);
    return Ok();
}

FileStatus CommitByJournal(const std::filesystem::path& folder, const std::vector<FolderFile>& files) {
    std::vector<JournalEntry> entries;
    std::vector<mode_t> modes;
    for (const FolderFile& file : files) {
        std::filesystem::path target;
        if (FileStatus resolved = ResolveWriteTarget(folder / file.name, target); !resolved)
            return IoAt(folder / file.name, resolved.error().osError ? resolved.error().osError : ELOOP);
        if (target.is_relative())
            target = folder / target;
        struct stat st {};
        JournalEntry entry{false, target.lexically_normal()};
        mode_t mode = NewFileMode();
        if (::stat(entry.target.c_str(), &st) == 0) {
            if (!S_ISREG(st.st_mode))
                return Fail(FileError::Invalid("not a regular file").About(FileNameForMessage(entry.target)));
            entry.hadOld = true;
            mode = st.st_mode & 07777;
        }
        entries.push_back(std::move(entry));
        modes.push_back(mode);
    }
    const std::filesystem::path journal = folder / kCommitJournalName;
    if (const int injected = Reached(CommitStep::kJournaled, -1))
        return IoAt(journal, injected);
    if (FileStatus written = WriteFileAtomic(journal, JournalBytes(kUndo, entries)); !written)
        return IoAt(journal, written.error().osError ? written.error().osError : EIO);

    auto fail = [&](FileStatus failure) {
        // The failure is what the user needs; a rollback that fails too leaves the journal, and
        // the next commit or opening tries again.
        if (FileStatus back = RollBack(journal, entries); !back)
            failure.error().message += "\n" + back.error().message;
        return failure;
    };
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!entries[i].hadOld)
            continue;
        const std::filesystem::path backup = BackupPath(entries[i], i);
        int err = Reached(CommitStep::kBackedUp, static_cast<int>(i));
        if (err == 0) {
            ::unlink(backup.c_str());
            if (::link(entries[i].target.c_str(), backup.c_str()) != 0)
                err = errno;
        }
        if (err != 0)
            return fail(IoAt(backup, err));
    }
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (const int err = WriteStaged(StagedPath(entries[i], i), files[i].bytes, modes[i], static_cast<int>(i)))
            return fail(IoAt(folder / files[i].name, err));
    SyncParents(entries);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        int err = Reached(CommitStep::kPlaced, static_cast<int>(i));
        if (err == 0 && ::rename(StagedPath(entries[i], i).c_str(), entries[i].target.c_str()) != 0)
            err = errno;
        if (err != 0)
            return fail(IoAt(folder / files[i].name, err));
    }
    SyncParents(entries);
    int err = Reached(CommitStep::kCommitted, -1);
    if (err == 0) {
        if (FileStatus written = WriteFileAtomic(journal, JournalBytes(kDone, entries)); !written)
            err = written.error().osError ? written.error().osError : EIO;
    }
    if (err != 0)
        return fail(IoAt(journal, err));
    // Done: what is left is litter, which the next commit or opening also removes.
    if (Reached(CommitStep::kCleaned, -1) == 0)
        CleanUp(journal, entries);
    return Ok();
}

// --- commit by exchange ----------------------------------------------------------------------

bool IsCopyOf(const std::string& entry, const std::string& folderName) {
    const std::string prefix = "." + folderName + kCopyMark;
    return entry.size() == prefix.size() + 6 && entry.compare(0, prefix.size(), prefix) == 0;
}

// Removes a copy folder (it holds files only) with everything in it.
void RemoveCopy(const std::filesystem::path& copy) {
    std::error_code ignored;
    std::filesystem::remove_all(copy, ignored);
}

// Copies beside the folder that no living commit holds: left by a kill before or after the
// exchange, they hold a set the folder does not have.
bool RemoveStaleCopies(const std::filesystem::path& folder) {
    bool removed = false;
    const std::filesystem::path parent = folder.parent_path();
    const std::string name = folder.filename().string();
    DIR* dir = ::opendir(parent.c_str());
    if (!dir)
        return false;
    std::vector<std::string> stale;
    while (const dirent* entry = ::readdir(dir)) {
        if (!IsCopyOf(entry->d_name, name))
            continue;
        Descriptor fd(::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (fd.Get() >= 0 && ::flock(fd.Get(), LOCK_EX | LOCK_NB) == 0)
            stale.push_back(entry->d_name);
    }
    ::closedir(dir);
    for (const std::string& copy : stale) {
        RemoveCopy(parent / copy);
        removed = true;
    }
    return removed;
}

bool ExchangeUnsupported(int err) {
    return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP;
}

// Whether a copy of the folder can stand for it: files only (a copy can link those), on the
// parent's file system, none of the files to write a link or not a regular file, and not the
// working folder (whose holder would be left in the old folder).
bool CopyCanStandFor(const std::filesystem::path& folder, const std::set<std::string>& written,
                     std::vector<std::string>& kept, const struct stat& folderStat) {
    struct stat parentStat {};
    if (!folder.has_filename() || ::stat(folder.parent_path().c_str(), &parentStat) != 0 ||
        parentStat.st_dev != folderStat.st_dev)
        return false;
    std::error_code error;
    if (std::filesystem::equivalent(folder, std::filesystem::current_path(error), error))
        return false;
    // A folder that refuses this process its files is not replaced behind its back either.
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return false;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return false;
    bool fits = true;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st {};
        if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode) ||
            (written.contains(name) && !S_ISREG(st.st_mode))) {
            fits = false;
            break;
        }
        if (!written.contains(name))
            kept.push_back(name);
    }
    ::closedir(dir);
    return fits;
}

// unsupported: set when the folder cannot be committed this way (nothing done then).
FileStatus CommitByExchange(const std::filesystem::path& folder, const std::vector<FolderFile>& files,
                            bool& unsupported) {
    unsupported = true;
    struct stat folderStat {};
    if (::stat(folder.c_str(), &folderStat) != 0)
        return IoAt(folder, errno);
    std::set<std::string> written;
    for (const FolderFile& file : files)
        written.insert(file.name);
    std::vector<std::string> kept;
    if (!CopyCanStandFor(folder, written, kept, folderStat))
        return Ok();

    std::string copyName = (folder.parent_path() / ("." + folder.filename().string() + kCopyMark + "XXXXXX")).string();
    if (const int injected = Reached(CommitStep::kCopyMade, -1)) {
        unsupported = false;
        return IoAt(copyName, injected);
    }
    if (::mkdtemp(copyName.data()) == nullptr) {
        unsupported = false;
        return IoAt(copyName, errno);
    }
    const std::filesystem::path copy = copyName;
    Descriptor copyFd(::open(copy.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Held until the end: a commit beside never takes this copy for litter.
    if (copyFd.Get() < 0 || ::flock(copyFd.Get(), LOCK_EX) != 0) {
        unsupported = false;
        const int err = errno;
        RemoveCopy(copy);
        return IoAt(copy, err);
    }
    // The copy must be the folder to everyone: its owner and permissions too.
    struct stat copyStat {};
    if (::fstat(copyFd.Get(), &copyStat) != 0 ||
        ((copyStat.st_uid != folderStat.st_uid || copyStat.st_gid != folderStat.st_gid) &&
         ::fchown(copyFd.Get(), folderStat.st_uid, folderStat.st_gid) != 0) ||
        ::fchmod(copyFd.Get(), folderStat.st_mode & 07777) != 0) {
        RemoveCopy(copy);
        return Ok();
    }
    unsupported = false;
    auto fail = [&](FileStatus failure) {
        RemoveCopy(copy);
        return failure;
    };
    for (std::size_t i = 0; i < kept.size(); ++i) {
        int err = Reached(CommitStep::kLinked, static_cast<int>(i));
        if (err == 0 && ::linkat(AT_FDCWD, (folder / kept[i]).c_str(), copyFd.Get(), kept[i].c_str(), 0) != 0)
            err = errno;
        if (err == ENOENT)
            continue; // removed meanwhile: not part of the folder any more
        if (err != 0)
            return fail(IoAt(folder / kept[i], err));
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        struct stat old {};
        const mode_t mode = ::stat((folder / files[i].name).c_str(), &old) == 0 ? old.st_mode & 07777 : NewFileMode();
        if (const int err = WriteStaged(copy / files[i].name, files[i].bytes, mode, static_cast<int>(i)))
            return fail(IoAt(folder / files[i].name, err));
    }
    ::fsync(copyFd.Get());
    if (const int injected = Reached(CommitStep::kExchanged, -1))
        return fail(IoAt(folder, injected));
    if (::renameat2(AT_FDCWD, copy.c_str(), AT_FDCWD, folder.c_str(), RENAME_EXCHANGE) != 0) {
        const int err = errno;
        RemoveCopy(copy);
        if (ExchangeUnsupported(err)) {
            unsupported = true;
            return Ok();
        }
        return IoAt(folder, err);
    }
    SyncFolder(folder.parent_path());
    // The new set is in place; the old one under the copy's name is litter from here on.
    if (Reached(CommitStep::kOldRemoved, -1) == 0)
        RemoveCopy(copy);
    return Ok();
}

} // namespace

void AllowCommitByExchange(bool allowed) {
    g_exchangeAllowed = allowed;
}

void SetCommitObserver(CommitObserver observer) {
    g_observer = observer;
}

FileStatus RepairInterruptedCommit(const std::filesystem::path& givenFolder, std::string& note) {
    note.clear();
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::canonical(givenFolder, error);
    if (error)
        return error.value() == ENOENT ? Ok() : IoAt(givenFolder, error.value());
    // Without a journal there is nothing to undo: the opening of a catalogue in a folder this
    // user may not list or lock goes on as before. A living commit holds its copy's lock, so
    // the sweep needs no lock of its own.
    if (!Exists(folder / kCommitJournalName)) {
        RemoveStaleCopies(folder);
        RemoveStaleJournalTemporaries(folder);
        return Ok();
    }
    FolderLock lock;
    if (FileStatus locked = lock.Take(folder); !locked)
        return locked;
    RemoveStaleCopies(folder);
    return RepairJournal(folder, note);
}

FileStatus CommitFolderFiles(const std::filesystem::path& givenFolder, const std::vector<FolderFile>& files) {
    std::error_code error;
    // The folder itself, not a link to it: a link would be exchanged instead of the folder.
    const std::filesystem::path folder = std::filesystem::canonical(givenFolder, error);
    if (error)
        return IoAt(givenFolder, error.value());
    FolderLock lock;
    if (FileStatus locked = lock.Take(folder); !locked)
        return locked;
    RemoveStaleCopies(folder);
    std::string note;
    if (FileStatus repaired = RepairJournal(folder, note); !repaired)
        return repaired;
    if (g_exchangeAllowed) {
        bool unsupported = false;
        FileStatus exchanged = CommitByExchange(folder, files, unsupported);
        if (!unsupported)
            return exchanged;
    }
    return CommitByJournal(folder, files);
}

} // namespace kestrel
