#include "core/AtomicFile.h"
#include "core/AtomicFileSteps.h"
#include "support/Files.h"
#include "support/Results.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <set>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace kestrel;
using kestrel::testsupport::KindOf;
using kestrel::testsupport::TempDir;

namespace {

// Temporary files that a failed or interrupted write left in folder.
int LeftoverTemporaries(const std::filesystem::path& folder) {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().filename().string().starts_with("."))
            ++n;
    return n;
}

mode_t ModeOf(const std::filesystem::path& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

} // namespace

TEST(AtomicFile, WritesNewFileAndReplacesOldOneKeepingItsMode) {
    TempDir dir;
    const auto file = dir / "a.kst";
    ASSERT_TRUE(WriteFileAtomic(file, "first"));
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(ModeOf(file), 0666 & ~mask);
    ::chmod(file.c_str(), 0640);
    ASSERT_TRUE(WriteFileAtomic(file, std::string("sec\0nd", 6)));
    EXPECT_EQ(testsupport::ReadBytes(file), std::string("sec\0nd", 6));
    EXPECT_EQ(ModeOf(file), 0640u);
    EXPECT_EQ(LeftoverTemporaries(dir.Path()), 0);

    std::string back;
    ASSERT_TRUE(ReadWholeFile(file, back));
    EXPECT_EQ(back, std::string("sec\0nd", 6));
}

TEST(AtomicFile, ReplacesTheTargetOfALinkAndKeepsTheLink) {
    TempDir dir;
    ASSERT_TRUE(WriteFileAtomic(dir / "real.MGP", "old"));
    std::filesystem::create_symlink("real.MGP", dir / "link.MGP");
    ASSERT_TRUE(WriteFileAtomic(dir / "link.MGP", "new"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.MGP"));
    EXPECT_EQ(testsupport::ReadBytes(dir / "real.MGP"), "new");
}

TEST(AtomicFile, LinkThatDanglesOrLeadsThroughAnotherLinkGetsItsTargetWritten) {
    TempDir dir;
    std::filesystem::create_directories(dir / "data");
    std::filesystem::create_symlink("data/real.usr", dir / "first");
    std::filesystem::create_symlink((dir / "first").string(), dir / "second");
    ASSERT_TRUE(WriteFileAtomic(dir / "second", "made"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "first"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "second"));
    EXPECT_EQ(testsupport::ReadBytes(dir / "data" / "real.usr"), "made");
    EXPECT_EQ(LeftoverTemporaries(dir / "data"), 0);
}

TEST(AtomicFile, ReadErrorsCarryTheOsText) {
    TempDir dir;
    std::string bytes = "junk";
    const FileStatus missing = ReadWholeFile(dir / "none", bytes);
    ASSERT_EQ(KindOf(missing), FileErrorKind::Io);
    EXPECT_EQ(missing.error().osError, ENOENT);
    EXPECT_EQ(missing.error().message, std::strerror(ENOENT));
    EXPECT_TRUE(bytes.empty());
    EXPECT_EQ(KindOf(ReadWholeFile(dir.Path(), bytes)), FileErrorKind::Io); // a folder
    ::mkfifo((dir / "pipe").c_str(), 0644);
    EXPECT_EQ(KindOf(ReadWholeFile(dir / "pipe", bytes)), FileErrorKind::Invalid); // and it does not hang
    EXPECT_EQ(KindOf(ReadWholeFile("/dev/zero", bytes)), FileErrorKind::Invalid);
    EXPECT_EQ(KindOf(WriteFileAtomic(dir.Path(), "x")), FileErrorKind::Io);
    EXPECT_EQ(KindOf(WriteFileAtomic(dir / "no/such/folder.kst", "x")), FileErrorKind::Io);
}

TEST(AtomicFile, ReadOnlyFolderLeavesOldFileIntact) {
    TempDir dir;
    ::chmod(dir.Path().c_str(), 0755);
    const auto folder = dir / "ro";
    std::filesystem::create_directory(folder);
    const auto file = folder / "kestrel.usr";
    testsupport::WriteBytes(file, "old contents");
    ::chmod(file.c_str(), 0666);
    ::chmod(folder.c_str(), 0555);
    const int rc = testsupport::RunInChild(
        [&] {
            const FileStatus status = WriteFileAtomic(file, "new contents that must not land");
            return !status && status.error().IsIo() && status.error().osError == EACCES ? 0 : 1;
        },
        /*unprivileged=*/true);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(testsupport::ReadBytes(file), "old contents");
    EXPECT_EQ(LeftoverTemporaries(folder), 0);
}

TEST(AtomicFile, FileSizeLimitLeavesOldFileIntact) {
    TempDir dir;
    const auto file = dir / "big.kst";
    const std::string old(3000, 'o');
    testsupport::WriteBytes(file, old);
    const int rc = testsupport::RunInChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const FileStatus status = WriteFileAtomic(file, std::string(100000, 'n'));
        return !status && status.error().IsIo() && status.error().osError == EFBIG ? 0 : 1;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(testsupport::ReadBytes(file), old);
    EXPECT_EQ(LeftoverTemporaries(dir.Path()), 0);
}

namespace {

// The save in a child process that kills itself at its killAt-th step boundary, after telling
// report which step that was.
int g_killAt = 0;
int g_stepsSeen = 0;
int g_report = -1;

void KillAtChosenStep(AtomicWriteStep step) {
    if (g_stepsSeen++ != g_killAt)
        return;
    const int reached = static_cast<int>(step);
    if (::write(g_report, &reached, sizeof reached) != sizeof reached)
        ::_exit(2);
    ::raise(SIGKILL);
}

} // namespace

// A save killed at each step boundary in turn leaves the old file whole until the rename and
// the new one from then on, never more than its own temporary beside it, and the next save
// removes that.
TEST(AtomicFile, KilledWriterLeavesOldOrNewFileWhole) {
    TempDir dir;
    const auto file = dir / "module.kst";
    const std::string a(300000, 'a');
    std::string b(200000, 'b');
    b[0] = 'B';
    ASSERT_TRUE(WriteFileAtomic(file, a));
    std::set<AtomicWriteStep> killedAt;
    for (int killAt = 0;; ++killAt) {
        ASSERT_LT(killAt, 32) << "the save never finished";
        int report[2];
        ASSERT_EQ(::pipe(report), 0);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(report[0]);
            g_report = report[1];
            g_killAt = killAt;
            SetAtomicWriteObserver(KillAtChosenStep);
            ::_exit(WriteFileAtomic(file, b) ? 0 : 1);
        }
        ::close(report[1]);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        int reached = -1;
        const bool killed = ::read(report[0], &reached, sizeof reached) == sizeof reached;
        ::close(report[0]);
        const std::string now = testsupport::ReadBytes(file);
        if (!killed) {
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), 0);
            EXPECT_EQ(now, b);
            EXPECT_EQ(LeftoverTemporaries(dir.Path()), 0);
            break;
        }
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "step " << reached;
        const auto step = static_cast<AtomicWriteStep>(reached);
        killedAt.insert(step);
        ASSERT_TRUE(now == a || now == b) << "step " << reached << ": " << now.size() << " bytes";
        EXPECT_EQ(now, step < AtomicWriteStep::kRenamed ? a : b) << "step " << reached;
        ASSERT_LE(LeftoverTemporaries(dir.Path()), 1) << "step " << reached;
        ASSERT_TRUE(WriteFileAtomic(file, a));
        ASSERT_EQ(LeftoverTemporaries(dir.Path()), 0) << "step " << reached;
    }
    for (const AtomicWriteStep step : {AtomicWriteStep::kStaleRemoved, AtomicWriteStep::kTemporaryOpen,
                                       AtomicWriteStep::kLocked, AtomicWriteStep::kWritten, AtomicWriteStep::kModeSet,
                                       AtomicWriteStep::kSynced, AtomicWriteStep::kRenamed, AtomicWriteStep::kClosed})
        EXPECT_TRUE(killedAt.contains(step)) << "never killed at step " << static_cast<int>(step);
}

// A sparse file claims gigabytes that are not there: the size is refused before anything is
// allocated, and a part beyond the end is refused without reading.
TEST(AtomicFile, HugeSparseFileIsRefusedWithoutAllocatingItsSize) {
    TempDir dir;
    const auto file = dir / "sparse.kst";
    testsupport::WriteBytes(file, "MODULE_ITEM");
    ASSERT_EQ(::truncate(file.c_str(), off_t(64) << 30), 0);
    std::string bytes;
    const FileStatus whole = ReadWholeFile(file, bytes);
    ASSERT_EQ(KindOf(whole), FileErrorKind::Io);
    EXPECT_EQ(whole.error().osError, EFBIG);
    EXPECT_TRUE(bytes.empty());

    StoredFile stored;
    ASSERT_TRUE(stored.Open(file));
    EXPECT_EQ(stored.Size(), std::uint64_t(64) << 30);
    ASSERT_TRUE(stored.ReadAt(0, 11, bytes));
    EXPECT_EQ(bytes, "MODULE_ITEM");
    const FileStatus huge = stored.ReadAt(0, std::uint64_t(2) << 30, bytes);
    ASSERT_EQ(KindOf(huge), FileErrorKind::Io);
    EXPECT_EQ(huge.error().osError, EFBIG);
    EXPECT_EQ(KindOf(stored.ReadAt((std::uint64_t(64) << 30) - 2, 4, bytes)), FileErrorKind::Invalid);
    EXPECT_EQ(KindOf(stored.ReadAt(std::uint64_t(-1), 4, bytes)), FileErrorKind::Invalid);
}

TEST(AtomicFile, StatusNamesItsFile) {
    FileError error = FileError::FromErrno(EACCES);
    EXPECT_EQ(error.Text(), std::strerror(EACCES));
    error.About("secret.kst");
    EXPECT_EQ(error.Text(), std::string("secret.kst: ") + std::strerror(EACCES));
    EXPECT_EQ(FileNameForMessage("/x/\xD5\xCB.kst"), "\xD5\xCB.kst");     // GBK bytes on disk stay
    EXPECT_EQ(FileNameForMessage("/x/\xE8\xB4\xA6.kst"), "\xD5\xCB.kst"); // UTF-8 converted
    EXPECT_EQ(FileNameForMessage("/x/bad\xFF.MGP"), "bad?.MGP");          // neither: marked
}

namespace {

// Runs step in a child whose standard output goes to out (opened for appending).
int WithStdoutTo(const std::filesystem::path& out, const std::function<int()>& step) {
    return testsupport::RunInChild([&] {
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd < 0 || ::dup2(fd, 1) < 0)
            return 90;
        return step();
    });
}

ino_t InodeOf(const std::filesystem::path& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st.st_ino;
}

} // namespace

// Standard output is the file the shell opened: written there after what was printed, never
// replaced by a new file.
TEST(AtomicFile, StandardOutputTargetsAreWrittenThroughTheOpenFile) {
    TempDir dir;
    const auto out = dir / "out.txt";
    testsupport::WriteBytes(out, "");
    const ino_t inode = InodeOf(out);
    EXPECT_EQ(WithStdoutTo(out,
                           [] {
                               std::printf("line 1\n"); // buffered: must come first
                               if (!WriteOutputFile("-", "<a/>\n") || !WriteFileAtomic("/dev/stdout", "<b/>\n"))
                                   return 1;
                               return WriteOutputFile("/proc/self/fd/1", "<c/>\n") ? 0 : 2;
                           }),
              0);
    EXPECT_EQ(testsupport::ReadBytes(out), "line 1\n<a/>\n<b/>\n<c/>\n");
    EXPECT_EQ(InodeOf(out), inode);
    // A name of our own that happens to be "-" in a folder is an ordinary file there.
    ASSERT_TRUE(WriteFileAtomic(dir / "-", "plain"));
    EXPECT_EQ(testsupport::ReadBytes(dir / "-"), "plain");
}

// FIFOs, sockets and devices are written in place: the reader gets the bytes and the node
// stays what it was, also when reached through a link.
TEST(AtomicFile, NodesThatAreNoRegularFilesAreWrittenInPlace) {
    TempDir dir;
    const auto fifo = dir / "results.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    std::filesystem::create_symlink("results.fifo", dir / "link");
    std::string received;
    std::thread reader([&] {
        const int fd = ::open(fifo.c_str(), O_RDONLY);
        char buffer[256];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
            received.append(buffer, static_cast<std::size_t>(n));
        ::close(fd);
    });
    const FileStatus written = WriteOutputFile(dir / "link", "<testsuites/>\n");
    reader.join();
    EXPECT_TRUE(written) << written.error().message;
    EXPECT_EQ(received, "<testsuites/>\n");
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link"));

    const auto socketPath = dir / "s.sock";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    std::string fromSocket;
    std::thread acceptor([&] {
        const int peer = ::accept(listener, nullptr, nullptr);
        char buffer[256];
        ssize_t n;
        while ((n = ::read(peer, buffer, sizeof buffer)) > 0)
            fromSocket.append(buffer, static_cast<std::size_t>(n));
        ::close(peer);
    });
    EXPECT_TRUE(WriteOutputFile(socketPath, "a,b\r\n"));
    acceptor.join();
    ::close(listener);
    EXPECT_EQ(fromSocket, "a,b\r\n");
    EXPECT_TRUE(std::filesystem::is_socket(socketPath));

    // A private device node (never the system's): only root can make one.
    const auto device = dir / "full";
    if (::geteuid() == 0 && ::mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0) {
        const FileStatus full = WriteOutputFile(device, "x");
        ASSERT_EQ(KindOf(full), FileErrorKind::Io);
        EXPECT_EQ(full.error().osError, ENOSPC);
        EXPECT_TRUE(std::filesystem::is_character_file(device));
        const auto null = dir / "null";
        ASSERT_EQ(::mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
        EXPECT_TRUE(WriteOutputFile(null, "gone"));
        EXPECT_TRUE(std::filesystem::is_character_file(null));
    }
    EXPECT_EQ(LeftoverTemporaries(dir.Path()), 0);
}

// A killed save leaves at most one temporary of our pattern, and the next save in the folder
// removes what no living save holds; other dot files are never touched.
TEST(AtomicFile, NextSaveRemovesTemporariesOfKilledSavesOnly) {
    TempDir dir;
    const auto file = dir / "demo.MGP";
    ASSERT_TRUE(WriteFileAtomic(file, "one"));
    testsupport::WriteBytes(dir / ".demo.MGP.ksttmp.abc123", "killed save");
    testsupport::WriteBytes(dir / ".profile", "the user's");
    testsupport::WriteBytes(dir / ".demo.MGP.ksttmp.held01", "living save");
    const int held = ::open((dir / ".demo.MGP.ksttmp.held01").c_str(), O_RDONLY);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    EXPECT_TRUE(IsAtomicWriteTemporary(".demo.MGP.ksttmp.abc123"));
    EXPECT_FALSE(IsAtomicWriteTemporary(".profile"));
    EXPECT_FALSE(IsAtomicWriteTemporary("demo.ksttmp.abc123"));

    ASSERT_TRUE(WriteFileAtomic(dir / "other.kst", "two"));
    EXPECT_FALSE(std::filesystem::exists(dir / ".demo.MGP.ksttmp.abc123"));
    EXPECT_TRUE(std::filesystem::exists(dir / ".demo.MGP.ksttmp.held01"));
    EXPECT_EQ(testsupport::ReadBytes(dir / ".profile"), "the user's");
    ::close(held);
}

// Writing many files sweeps each folder once, at its first write there; later writes in the
// folder leave the temporaries of saves that began since alone.
TEST(AtomicFile, ManyWritesSweepEachFolderOnce) {
    TempDir dir;
    std::filesystem::create_directory(dir / "sub");
    testsupport::WriteBytes(dir / ".a.ksttmp.abc123", "killed save");
    testsupport::WriteBytes(dir / "sub" / ".b.ksttmp.abc123", "killed save");
    AtomicFileWriter writer;
    ASSERT_TRUE(writer.Write(dir / "a", "one"));
    EXPECT_FALSE(std::filesystem::exists(dir / ".a.ksttmp.abc123"));
    EXPECT_TRUE(std::filesystem::exists(dir / "sub" / ".b.ksttmp.abc123"));
    testsupport::WriteBytes(dir / ".a.ksttmp.later1", "killed later");
    ASSERT_TRUE(writer.Write(dir / "b", "two"));
    ASSERT_TRUE(writer.Write(dir / "sub" / "c", "three"));
    EXPECT_TRUE(std::filesystem::exists(dir / ".a.ksttmp.later1"));
    EXPECT_FALSE(std::filesystem::exists(dir / "sub" / ".b.ksttmp.abc123"));
    EXPECT_EQ(testsupport::ReadBytes(dir / "b"), "two");
    EXPECT_EQ(testsupport::ReadBytes(dir / "sub" / "c"), "three");
}
