// kestrel-account as an account that may not read the table: it answers, and never shows.
#include "accounts/AccountHelper.h"
#include "accounts/UserAccess.h"
#include "accounts/UserTable.h"
#include "core/FixedText.h"
#include "core/TextRoutines.h"
#include "support/Files.h"
#include "support/HelperLayout.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

using namespace kestrel;
using namespace kestrel::testsupport;

namespace {

class AccountHelper : public ::testing::Test {
protected:
    void SetUp() override {
        if (!m_layout.Ready())
            GTEST_SKIP() << "needs root to install the helper set-group-ID";
        SetProgramFolderForTesting(m_layout.Programs());
    }
    void TearDown() override { SetProgramFolderForTesting({}); }

    HelperLayout m_layout{KESTREL_ACCOUNT_HELPER};
};

const std::string kUsers = UserFileBytes({{"SA", "root pw"}, {"li", "Li-1"}, {"LI", "other"}});

// A wrong answer costs the fail delay: never less than two seconds (a lower bound only).
bool TookFailDelay(std::chrono::steady_clock::time_point since) {
    return std::chrono::steady_clock::now() - since >= std::chrono::milliseconds(1990);
}

} // namespace

TEST_F(AccountHelper, ChecksWithoutShowingTheTable) {
    m_layout.WriteTable(kUsers);
    const int rc = RunInChild(
        [] {
            UserTable table;
            const Result<int32_t, FileError> direct = UserTableLoad(table);
            if (direct || direct.error().osError != EACCES)
                return 1; // nobody may read the table
            if (!UserAccess::Open().ThroughHelper())
                return 2;
            const Result<bool, FileError> right = CheckLoginThroughHelper("Li", "Li-1");
            if (!right || !*right)
                return 3;
            // The first record with the name decides, as at every login.
            const auto start = std::chrono::steady_clock::now();
            const Result<bool, FileError> second = CheckLoginThroughHelper("LI", "other");
            if (!second || *second || !TookFailDelay(start))
                return 4;
            // A wrong password and an unknown name are the same answer, exit 1 and not a word.
            const Result<HelperReply, FileError> wrong = RunAccountHelper({"check", "SA"}, "Root pw\n");
            const Result<HelperReply, FileError> unknown = RunAccountHelper({"check", "wang"}, "root pw\n");
            if (!wrong || !unknown || wrong->exitCode != 1 || unknown->exitCode != 1)
                return 5;
            if (!wrong->out.empty() || !wrong->err.empty() || !unknown->out.empty() || !unknown->err.empty())
                return 6;
            // Longer than the field: no record can have it, even when its start is right.
            const Result<bool, FileError> tooLong = CheckLoginThroughHelper("SA", "root pw" + std::string(20, 'x'));
            if (!tooLong || *tooLong)
                return 7;
            return 0;
        },
        /*unprivileged=*/true);
    EXPECT_EQ(rc, 0);
}

TEST_F(AccountHelper, ReadAndWriteOnlyWithSasPassword) {
    m_layout.WriteTable(kUsers);
    const int rc = RunInChild(
        [] {
            const Result<std::optional<std::string>, FileError> refused = ReadUsersThroughHelper("Li-1");
            if (!refused || *refused)
                return 1;
            const Result<HelperReply, FileError> silent = RunAccountHelper({"read"}, "tide oak plum\n");
            if (!silent || silent->exitCode != 1 || !silent->out.empty())
                return 2;
            const Result<std::optional<std::string>, FileError> read = ReadUsersThroughHelper("root pw");
            if (!read || !*read || **read != kUsers)
                return 3;
            const Result<bool, FileError> notSa = WriteUsersThroughHelper("Li-1", UserFileBytes({{"SA", "mine"}}));
            if (!notSa || *notSa)
                return 4;
            // Only a whole table of the format replaces the old one.
            const Result<bool, FileError> garbage = WriteUsersThroughHelper("root pw", "\x05\0\0\0junk");
            if (garbage || garbage.error().Text().find("damaged") == std::string::npos)
                return 5;
            const Result<bool, FileError> written =
                WriteUsersThroughHelper("root pw", UserFileBytes({{"SA", "new pw"}, {"wang", "w"}}));
            if (!written || !*written)
                return 6;
            const Result<bool, FileError> newLogin = CheckLoginThroughHelper("wang", "w");
            return newLogin && *newLogin ? 0 : 7;
        },
        /*unprivileged=*/true);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ReadBytes(m_layout.Table()), UserFileBytes({{"SA", "new pw"}, {"wang", "w"}}));
    EXPECT_EQ(ReadBytes(m_layout.State() / kUserBackupName), kUsers);
    // The save kept the table private to root and the group; the backup is as private.
    for (const std::filesystem::path& file : {m_layout.Table(), m_layout.State() / kUserBackupName}) {
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0660u) << file;
        EXPECT_EQ(st.st_gid, m_layout.Group()) << file;
    }
}

// No table yet: the built-in account, and the first save makes a private table.
TEST_F(AccountHelper, WithoutATableTheBuiltInAccountSavesTheFirst) {
    const int rc = RunInChild(
        [] {
            if (!UserAccess::Open().ThroughHelper())
                return 1; // the state folder hides whether there is a table
            const Result<bool, FileError> builtIn = CheckLoginThroughHelper("sa", "tide oak plum");
            if (!builtIn || !*builtIn)
                return 2;
            RememberLoginPassword("tide oak plum");
            UserTable table;
            const Result<int32_t, FileError> loaded = LoadUsersThroughHelper(table);
            if (!loaded || *loaded != 1 || FieldText(table.records[0].password) != "tide oak plum")
                return 3;
            SetFieldText(table.records[0].password, "first");
            if (!SaveUsersThroughHelper(table, 1) || RememberedLoginPassword() != "first")
                return 4;
            // The next save of the call gives SA's new password.
            UserTable again;
            if (!LoadUsersThroughHelper(again) || !SaveUsersThroughHelper(again, 1))
                return 5;
            ForgetLoginPassword();
            return 0;
        },
        /*unprivileged=*/true);
    EXPECT_EQ(rc, 0);
    struct stat st {};
    ASSERT_EQ(::stat(m_layout.Table().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(st.st_gid, m_layout.Group());
    EXPECT_EQ(ReadBytes(m_layout.Table()), UserFileBytes({{"SA", "first"}}));
}

TEST_F(AccountHelper, DamagedTableAndMisplacedHelperLetNobodyIn) {
    m_layout.WriteTable(std::string("\x65\0\0\0", 4));
    int rc = RunInChild(
        [] {
            const Result<bool, FileError> damaged = CheckLoginThroughHelper("SA", "tide oak plum");
            if (damaged || damaged.error().Text() != "kestrel.usr: damaged (user count out of range)")
                return 1;
            return 0;
        },
        /*unprivileged=*/true);
    EXPECT_EQ(rc, 0);

    // Beside a folder others may write, anyone could put a table of their own: it refuses.
    m_layout.WriteTable(kUsers);
    ASSERT_EQ(::chmod(m_layout.Programs().c_str(), 0777), 0);
    rc = RunInChild(
        [] {
            const Result<bool, FileError> refused = CheckLoginThroughHelper("SA", "root pw");
            return !refused && refused.error().Text().rfind("kestrel-account: unavailable", 0) == 0 ? 0 : 1;
        },
        /*unprivileged=*/true);
    EXPECT_EQ(rc, 0);
    ASSERT_EQ(::chmod(m_layout.Programs().c_str(), 0755), 0);

    // Without its set-group-ID bit it reads nothing, and says the table's error.
    ASSERT_EQ(::chmod(m_layout.Helper().c_str(), 0755), 0);
    rc = RunInChild(
        [] {
            const Result<bool, FileError> unreadable = CheckLoginThroughHelper("SA", "root pw");
            return !unreadable && unreadable.error().Text() == "kestrel.usr: Permission denied" ? 0 : 1;
        },
        /*unprivileged=*/true);
    EXPECT_EQ(rc, 0);

    // Misuse: no path options, no extra words.
    const Result<HelperReply, FileError> extra = RunAccountHelper({"read", "/tmp/other.usr"}, "root pw\n");
    EXPECT_FALSE(extra);
    const Result<HelperReply, FileError> unknown = RunAccountHelper({"show"}, "");
    EXPECT_FALSE(unknown);
}
