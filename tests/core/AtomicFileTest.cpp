#include "core/AtomicFile.h"
#include "support/Files.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <random>
#include <sys/resource.h>

using namespace kestrel;
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
    EXPECT_TRUE(missing.IsIo());
    EXPECT_EQ(missing.osError, ENOENT);
    EXPECT_EQ(missing.message, std::strerror(ENOENT));
    EXPECT_TRUE(bytes.empty());
    EXPECT_TRUE(ReadWholeFile(dir.Path(), bytes).IsIo()); // a folder
    ::mkfifo((dir / "pipe").c_str(), 0644);
    EXPECT_TRUE(ReadWholeFile(dir / "pipe", bytes).IsInvalid()); // and it does not hang
    EXPECT_TRUE(ReadWholeFile("/dev/zero", bytes).IsInvalid());
    EXPECT_TRUE(WriteFileAtomic(dir.Path(), "x").IsIo());
    EXPECT_TRUE(WriteFileAtomic(dir / "no/such/folder.kst", "x").IsIo());
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
            return status.IsIo() && status.osError == EACCES ? 0 : 1;
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
        return status.IsIo() && status.osError == EFBIG ? 0 : 1;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(testsupport::ReadBytes(file), old);
    EXPECT_EQ(LeftoverTemporaries(dir.Path()), 0);
}

// A saving process killed at any moment leaves either the old or the new file, whole.
TEST(AtomicFile, KilledWriterLeavesOldOrNewFileWhole) {
    TempDir dir;
    const auto file = dir / "module.kst";
    const std::string a(300000, 'a');
    std::string b(200000, 'b');
    b[0] = 'B';
    ASSERT_TRUE(WriteFileAtomic(file, a));
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> delayUs(0, 30000);
    for (int round = 0; round < 25; ++round) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            for (int i = 0;; ++i)
                WriteFileAtomic(file, (i % 2) ? a : b);
        }
        ::usleep(static_cast<useconds_t>(delayUs(random)));
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        const std::string now = testsupport::ReadBytes(file);
        ASSERT_TRUE(now == a || now == b) << "round " << round << ": " << now.size() << " bytes";
    }
}
