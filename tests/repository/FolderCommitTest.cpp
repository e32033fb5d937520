// The import's commit: failed or killed at each of its steps in turn, on a full file system and
// in a folder this process may not write, by exchange and by journal alike. The folder is
// always the old set or the new one, byte for byte, and nothing of ours is left beside it.
#include "repository/FolderCommit.h"

#include "core/AtomicFile.h"
#include "repository/TextForm.h"
#include "support/Builders.h"
#include "support/Files.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <map>
#include <sched.h>
#include <set>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrel {
namespace {

using namespace testsupport;

// What a reader sees of a folder: every entry's bytes and permission bits.
using Snapshot = std::map<std::string, std::pair<std::string, unsigned>>;

Snapshot Take(const std::filesystem::path& folder) {
    Snapshot snapshot;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        struct stat st {};
        ::lstat(entry.path().c_str(), &st);
        snapshot[entry.path().filename().string()] = {ReadBytes(entry.path()), st.st_mode & 07777};
    }
    return snapshot;
}

std::set<std::string> Names(const std::filesystem::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

int g_failAt = -1;
int g_calls = 0;
int g_failWith = ENOSPC;
std::set<CommitStep> g_failedSteps;

int FailChosenCall(CommitStep step, int) {
    if (g_calls++ != g_failAt)
        return 0;
    g_failedSteps.insert(step);
    return g_failWith;
}

int KillAtChosenCall(CommitStep, int) {
    if (g_calls++ == g_failAt)
        ::raise(SIGKILL);
    return 0;
}

// A workspace "work" of a catalogue, two modules, a module of no group and a file that is none
// of the tool's, and its text form "text" beside it, edited: one module changed, one added.
class ImportCommit : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        AllowCommitByExchange(GetParam());
        std::filesystem::create_directories(Work());
        WriteModule(Work(), "a.kst", {.groupId = "G1", .body = "SELECT 1"});
        WriteModule(Work(), "b.kst", {.groupId = "G1", .body = "SELECT 2"});
        WriteModule(Work(), "loose.kst", {.groupId = "G7", .body = "SELECT 7"});
        WriteCatalogue(Work() / "c.MGP", {{"G1", "one"}});
        WriteBytes(Work() / "audit.db", "not the tool's");
        ::chmod((Work() / "b.kst").c_str(), 0640);
        int modules = 0;
        ASSERT_TRUE(ExportTextForm(Work() / "c.MGP", Text(), modules));
        std::string sql = ReadBytes(Text() / "modules" / "a.kst.sql");
        WriteBytes(Text() / "modules" / "a.kst.sql", "SELECT 'changed'");
        WriteBytes(Text() / "modules" / "n.kst.toml", ReadBytes(Text() / "modules" / "b.kst.toml"));
        WriteBytes(Text() / "modules" / "n.kst.sql", "SELECT 'new'");
        m_old = Take(Work());
        m_beside = Names(m_dir.Path());
    }
    void TearDown() override {
        SetCommitObserver(nullptr);
        AllowCommitByExchange(true);
    }

    std::filesystem::path Work() const { return m_dir / "work"; }
    std::filesystem::path Text() const { return m_dir / "text"; }

    FileStatus Import() {
        std::vector<TextFinding> findings;
        int modules = 0;
        FileStatus imported = ImportTextForm(Text(), Work() / "c.MGP", findings, modules);
        EXPECT_TRUE(findings.empty());
        return imported;
    }

    // The new set, as an import without faults writes it (into a folder of its own).
    Snapshot NewSet() {
        std::filesystem::copy(Work(), m_dir / "clean");
        std::vector<TextFinding> findings;
        int modules = 0;
        EXPECT_TRUE(ImportTextForm(Text(), m_dir / "clean" / "c.MGP", findings, modules));
        EXPECT_EQ(modules, 3);
        Snapshot snapshot = Take(m_dir / "clean");
        std::filesystem::remove_all(m_dir / "clean");
        return snapshot;
    }

    TempDir m_dir;
    Snapshot m_old;
    std::set<std::string> m_beside;
};

TEST_P(ImportCommit, WritesTheNewSetKeepingWhatItDoesNotWrite) {
    struct stat before {};
    ASSERT_EQ(::stat(Work().c_str(), &before), 0);
    ASSERT_TRUE(Import());
    const Snapshot now = Take(Work());
    EXPECT_EQ(now.at("audit.db"), m_old.at("audit.db"));
    EXPECT_EQ(now.at("loose.kst"), m_old.at("loose.kst"));
    EXPECT_EQ(now.at("b.kst").second, 0640u); // a rewritten module keeps its permission bits
    EXPECT_NE(now.at("a.kst").first, m_old.at("a.kst").first);
    EXPECT_TRUE(now.contains("n.kst"));
    EXPECT_EQ(now.size(), m_old.size() + 1);
    EXPECT_EQ(Names(m_dir.Path()), m_beside);
    struct stat after {};
    ASSERT_EQ(::stat(Work().c_str(), &after), 0);
    // By exchange the folder is a new one (where the file system has the exchange at all).
    if (!GetParam())
        EXPECT_EQ(after.st_ino, before.st_ino);
    else
        EXPECT_NE(after.st_ino, before.st_ino);
}

// Each step fails in turn with "disk full": the import says which file and why, and the
// folder is byte for byte as before, with nothing of ours in it or beside it.
TEST_P(ImportCommit, EveryFailingStepLeavesTheFolderAsItWas) {
    const Snapshot wanted = NewSet();
    g_failedSteps.clear();
    SetCommitObserver(FailChosenCall);
    int failAt = 0;
    for (;; ++failAt) {
        ASSERT_LT(failAt, 64) << "the import never finished";
        g_failAt = failAt;
        g_calls = 0;
        const FileStatus imported = Import();
        if (imported) {
            ASSERT_LE(g_calls, failAt + 1);
            break;
        }
        EXPECT_NE(imported.error().message.find(std::strerror(ENOSPC)), std::string::npos) << imported.error().message;
        EXPECT_NE(imported.error().message.find(m_dir.Path().string()), std::string::npos) << imported.error().message;
        ASSERT_EQ(Take(Work()), m_old) << "failed at call " << failAt;
        ASSERT_EQ(Names(m_dir.Path()), m_beside) << "failed at call " << failAt;
    }
    // The steps after the new set is in place only leave litter, which the next commit or
    // opening removes; their failure is no failure of the import.
    std::string note;
    ASSERT_TRUE(RepairInterruptedCommit(Work(), note));
    EXPECT_EQ(Take(Work()), wanted);
    EXPECT_EQ(Names(m_dir.Path()), m_beside);
    EXPECT_TRUE(g_failedSteps.contains(CommitStep::kStaged));
    if (GetParam() && g_failedSteps.contains(CommitStep::kExchanged)) {
        EXPECT_TRUE(g_failedSteps.contains(CommitStep::kLinked));
    }
    if (!GetParam()) {
        for (CommitStep step :
             {CommitStep::kJournaled, CommitStep::kBackedUp, CommitStep::kPlaced, CommitStep::kCommitted})
            EXPECT_TRUE(g_failedSteps.contains(step)) << static_cast<int>(step);
    }
}

// A kill at each step in turn: after the repair that the next opening makes, the folder holds
// the old set or the new one, and no litter.
TEST_P(ImportCommit, KilledAtEveryStepLeavesTheOldOrTheNewSet) {
    const Snapshot wanted = NewSet();
    int olds = 0, news = 0;
    for (int killAt = 0;; ++killAt) {
        ASSERT_LT(killAt, 64) << "the import never finished";
        const int status = RunInChild([&] {
            g_failAt = killAt;
            g_calls = 0;
            SetCommitObserver(KillAtChosenCall);
            return Import() ? 0 : 1;
        });
        std::string note;
        ASSERT_TRUE(RepairInterruptedCommit(Work(), note)) << "killed at call " << killAt;
        const Snapshot now = Take(Work());
        ASSERT_TRUE(now == m_old || now == wanted) << "killed at call " << killAt;
        ASSERT_EQ(Names(m_dir.Path()), m_beside) << "killed at call " << killAt;
        ASSERT_FALSE(std::filesystem::exists(Work() / kCommitJournalName));
        if (status == 0) {
            EXPECT_EQ(now, wanted);
            break;
        }
        ASSERT_EQ(status, 128 + SIGKILL);
        (now == m_old ? olds : news) += 1;
        if (now == wanted) { // back to the old set for the next round
            for (const auto& [name, content] : m_old) {
                WriteBytes(Work() / name, content.first);
                ::chmod((Work() / name).c_str(), content.second);
            }
            std::filesystem::remove(Work() / "n.kst");
            ASSERT_EQ(Take(Work()), m_old);
        }
    }
    EXPECT_GT(olds, 0);
    EXPECT_GT(news, 0);
}

// A folder this process may not write: refused with the file and the system's error, nothing
// changed (as any user but root; root may write anything).
TEST_P(ImportCommit, AFolderThatRefusesWritesIsLeftAsItWas) {
    ASSERT_EQ(::chmod(m_dir.Path().c_str(), 0777), 0);
    ASSERT_EQ(::chmod(Text().c_str(), 0755), 0);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(Text()))
        ::chmod(entry.path().c_str(), entry.is_directory() ? 0755 : 0644);
    ASSERT_EQ(::chmod(Work().c_str(), 0555), 0);
    const int exit = RunInChild(
        [&] {
            const FileStatus imported = Import();
            if (imported)
                return 1;
            return imported.error().message.find(std::strerror(EACCES)) != std::string::npos &&
                           imported.error().message.find(Work().string()) != std::string::npos
                       ? 0
                       : 2;
        },
        true);
    ::chmod(Work().c_str(), 0755);
    EXPECT_EQ(exit, 0);
    EXPECT_EQ(Take(Work()), m_old);
    std::set<std::string> beside = Names(m_dir.Path());
    EXPECT_EQ(beside, m_beside);
}

INSTANTIATE_TEST_SUITE_P(ByExchangeAndByJournal, ImportCommit, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return param.param ? "Exchange" : "Journal";
                         });

// A small full file system (a private tmpfs, which needs root; skipped elsewhere): the import
// that does not fit fails with "No space left on device" naming its file, the folder stays as
// it was, and once there is room the same import succeeds.
TEST(ImportCommitFull, AFullFileSystemLeavesTheFolderAsItWas) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "a private tmpfs needs root";
    TempDir dir;
    // The text form outside the small file system: big modules that cannot all fit.
    WriteModule(dir.Path(), "seed.kst", {.groupId = "G1", .body = "SELECT 1"});
    WriteCatalogue(dir / "c.MGP", {{"G1", "one"}});
    int modules = 0;
    ASSERT_TRUE(ExportTextForm(dir / "c.MGP", dir / "text", modules));
    const std::string fields = ReadBytes(dir / "text" / "modules" / "seed.kst.toml");
    for (int i = 0; i < 8; ++i) {
        const std::string name = "big" + std::to_string(i) + ".kst";
        WriteBytes(dir / "text" / "modules" / (name + ".toml"), fields);
        WriteBytes(dir / "text" / "modules" / (name + ".sql"), "SELECT '" + std::string(100000, 'x') + "'");
    }
    std::filesystem::create_directories(dir / "fs");
    const int exit = RunInChild([&]() -> int {
        // A mount namespace of its own: the mount ends with this process, whatever happens.
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("kestrel-test", (dir / "fs").c_str(), "tmpfs", 0, "size=512k") != 0)
            return 77;
        const std::filesystem::path work = dir / "fs" / "work";
        std::filesystem::create_directories(work);
        std::filesystem::copy_file(dir / "seed.kst", work / "seed.kst");
        std::filesystem::copy_file(dir / "c.MGP", work / "c.MGP");
        const Snapshot old = Take(work);
        for (const bool exchange : {true, false}) {
            AllowCommitByExchange(exchange);
            std::vector<TextFinding> findings;
            int count = 0;
            const FileStatus imported = ImportTextForm(dir / "text", work / "c.MGP", findings, count);
            if (imported)
                return 10;
            if (imported.error().message.find(std::strerror(ENOSPC)) == std::string::npos ||
                imported.error().message.find(work.string()) == std::string::npos) {
                std::fprintf(stderr, "message: %s\n", imported.error().message.c_str());
                return 11;
            }
            if (Take(work) != old || Names(dir / "fs") != std::set<std::string>{"work"})
                return 12;
        }
        // Room for it: the same import succeeds.
        if (::mount(nullptr, (dir / "fs").c_str(), nullptr, MS_REMOUNT, "size=8m") != 0)
            return 13;
        std::vector<TextFinding> findings;
        int count = 0;
        if (!ImportTextForm(dir / "text", work / "c.MGP", findings, count) || count != 9)
            return 14;
        return 0;
    });
    if (exit == 77)
        GTEST_SKIP() << "no private tmpfs here (no mount namespace)";
    EXPECT_EQ(exit, 0);
}

} // namespace
} // namespace kestrel
