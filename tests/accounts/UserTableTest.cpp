#include "accounts/UserTable.h"
#include "core/FixedText.h"
#include "core/TextRoutines.h"
#include "support/Builders.h"
#include "support/Files.h"
#include "support/Results.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrel;
using kestrel::testsupport::Bytes;
using kestrel::testsupport::KindOf;
using kestrel::testsupport::TempDir;

namespace {

// A stored text field: bit 7 of every text byte inverted, zero and padding as they are.
std::string Scrambled(std::string_view text, std::size_t width) {
    std::string field(text);
    for (char& c : field)
        c = static_cast<char>(static_cast<unsigned char>(c) ^ 0x80);
    field.resize(width, '\0');
    return field;
}

Bytes UserFile(const std::vector<std::pair<std::string, std::string>>& users, int32_t count) {
    Bytes bytes;
    bytes.I32(count);
    for (const auto& [name, password] : users)
        bytes.Raw(Scrambled(name, 11)).Raw(Scrambled(password, 21));
    return bytes;
}

class UserTableFile : public ::testing::Test {
protected:
    void SetUp() override { SetProgramFolderForTesting(m_dir.Path()); }
    void TearDown() override { SetProgramFolderForTesting({}); }
    std::filesystem::path File() const { return m_dir / kUserFileName; }
    TempDir m_dir;
};

const std::string kTenByteName = "\xC9\xF3\xBC\xC6\xD4\xB1\xC1\xF5\xD2\xBB"; // 审计员刘一
const std::string kTwentyBytePassword = kTenByteName + "\xB2\xE2\xCA\xD4"
                                                       "abcdef";

bool IsBuiltIn(const UserTable& table, int32_t count) {
    return count == 1 && table.count == 1 && FieldText(table.records[0].name) == "SA" &&
           FieldText(table.records[0].password) == "tide oak plum";
}

} // namespace

TEST(FlipTextBits, StopsAtTheZeroAndAtTheFieldWidth) {
    char field[6] = {'a', 'b', 0, 'c', 'd', 'e'};
    FlipTextBits(field);
    EXPECT_EQ(std::string(field, 6), std::string("\xE1\xE2\0cde", 6));
    FlipTextBits(field);
    EXPECT_EQ(std::string(field, 6), std::string("ab\0cde", 6));

    struct {
        char name[4];
        char guard[4];
    } record;
    std::memcpy(record.name, "WXYZ", 4);
    std::memcpy(record.guard, "gggg", 4);
    FlipTextBits(record.name);
    EXPECT_EQ(std::string(record.guard, 4), "gggg");
    EXPECT_EQ(std::string(record.name, 4), "\xD7\xD8\xD9\xDA");

    // A plain 0x80 turns into the zero and ends the text there.
    char cut[5] = {'a', '\x80', 'b', 0, 0};
    FlipTextBits(cut);
    EXPECT_EQ(std::string(cut, 5), std::string("\xE1\0b\0\0", 5));
}

TEST_F(UserTableFile, LoadsRecordsWrittenByTheLayout) {
    testsupport::WriteBytes(File(),
                            UserFile({{"SA", "pw"}, {kTenByteName, kTwentyBytePassword}, {"bob", "Secret"}}, 3));
    UserTable table;
    ASSERT_EQ(UserTableLoad(table).value(), 3);
    EXPECT_EQ(FieldText(table.records[1].name), kTenByteName);
    EXPECT_EQ(FieldText(table.records[1].password), kTwentyBytePassword);
    EXPECT_EQ(FieldText(table.records[2].password), "Secret");
    EXPECT_EQ(FindUser(table, "BOB"), 2);
    EXPECT_EQ(FindUser(table, "nobody"), -1);
}

TEST_F(UserTableFile, EmptyTableIsNotReplacedByTheBuiltInOne) {
    testsupport::WriteBytes(File(), Bytes().I32(0));
    UserTable table;
    EXPECT_EQ(UserTableLoad(table).value(), 0);
    EXPECT_EQ(FindUser(table, "SA"), -1);
}

TEST_F(UserTableFile, OnlyAMissingFileGivesTheBuiltInTable) {
    std::filesystem::remove(File());
    UserTable table;
    table.records[5].name[0] = 'Z';
    const Result<int32_t, FileError> missing = UserTableLoad(table);
    ASSERT_TRUE(missing);
    EXPECT_TRUE(IsBuiltIn(table, *missing));
    EXPECT_EQ(table.records[5].name[0], 0);

    // A damaged or oversized table is no reason to let SA in with the built-in password.
    const std::string one = UserFile({{"ann", "x"}}, 1).Str();
    const struct {
        const char* what;
        std::string bytes;
    } damaged[] = {
        {"empty", ""},
        {"shorter than the count", "\x01\x00"},
        {"negative count", UserFile({{"ann", "x"}}, -1).Str()},
        {"count over 100", UserFile({{"ann", "x"}}, 101).Str()},
        {"huge count", UserFile({{"ann", "x"}}, INT32_MAX).Str()},
        {"records cut short", one.substr(0, one.size() - 1)},
        {"count 2, one record", UserFile({{"ann", "x"}}, 2).Str()},
        {"oversized", one + std::string(kMaxUserFileBytes, 'x')},
    };
    for (const auto& c : damaged) {
        testsupport::WriteBytes(File(), c.bytes);
        UserTable loaded;
        UseBuiltInUserTable(loaded);
        const Result<int32_t, FileError> result = UserTableLoad(loaded);
        ASSERT_FALSE(result) << c.what;
        EXPECT_TRUE(result.error().IsInvalid()) << c.what;
        EXPECT_EQ(result.error().Text().rfind("kestrel.usr: damaged", 0), 0u) << result.error().Text();
        EXPECT_EQ(FindUser(loaded, "SA"), -1) << c.what;
        EXPECT_EQ(loaded.count, 0) << c.what;
    }
}

// As an account that may not read it: the file system's error, and no account at all.
TEST_F(UserTableFile, UnreadableFileGivesTheFileSystemsError) {
    ::chmod(m_dir.Path().c_str(), 0755);
    testsupport::WriteBytes(File(), UserFile({{"SA", "changed"}}, 1));
    ::chmod(File().c_str(), 0);
    const int rc = testsupport::RunInChild(
        [&] {
            UserTable table;
            const Result<int32_t, FileError> result = UserTableLoad(table);
            if (result || result.error().osError != EACCES || FindUser(table, "SA") != -1)
                return 1;
            return result.error().Text() == "kestrel.usr: Permission denied" ? 0 : 2;
        },
        /*unprivileged=*/true);
    EXPECT_EQ(rc, 0);

    // A folder where the table should be is no missing table either.
    std::filesystem::remove(File());
    std::filesystem::create_directory(File());
    UserTable table;
    const Result<int32_t, FileError> folder = UserTableLoad(table);
    ASSERT_FALSE(folder);
    EXPECT_EQ(folder.error().osError, EISDIR);
}

TEST_F(UserTableFile, HundredRecordsAndTrailingBytesAreRead) {
    std::vector<std::pair<std::string, std::string>> users;
    for (int i = 0; i < 100; ++i)
        users.emplace_back("u" + std::to_string(i), "p" + std::to_string(i));
    testsupport::WriteBytes(File(), UserFile(users, 100).Str() + "trailing");
    UserTable table;
    ASSERT_EQ(UserTableLoad(table).value(), 100);
    EXPECT_EQ(FieldText(table.records[99].name), "u99");
}

TEST_F(UserTableFile, FieldWithoutZeroStaysInsideItsWidth) {
    std::string record = Scrambled("ABCDEFGHIJK", 11) + Scrambled("pw", 21); // name fills all 11 bytes
    testsupport::WriteBytes(File(), Bytes().I32(1).Raw(record).Str());
    UserTable table;
    ASSERT_EQ(UserTableLoad(table).value(), 1);
    EXPECT_EQ(FieldText(table.records[0].name), "ABCDEFGHIJK");
    EXPECT_EQ(FieldText(table.records[0].password), "pw");
}

TEST_F(UserTableFile, SaveWritesTheLayoutAndKeepsABackup) {
    testsupport::WriteBytes(File(), UserFile({{"old", "one"}}, 1));
    const std::string previous = testsupport::ReadBytes(File());

    UserTable table;
    SetFieldText(table.records[0].name, "SA");
    SetFieldText(table.records[0].password, "tide oak plum");
    SetFieldText(table.records[1].name, kTenByteName);
    SetFieldText(table.records[1].password, kTwentyBytePassword);
    ASSERT_TRUE(UserTableSave(table, 2));

    const std::string saved = testsupport::ReadBytes(File());
    ASSERT_EQ(saved.size(), 4u + 32 * 2);
    EXPECT_EQ(saved.substr(0, 4), std::string("\x02\0\0\0", 4));
    EXPECT_EQ(saved.substr(4, 11), Scrambled("SA", 11));
    EXPECT_EQ(saved.substr(36, 11), Scrambled(kTenByteName, 11));
    EXPECT_EQ(saved.substr(47, 21), Scrambled(kTwentyBytePassword, 21));
    EXPECT_EQ(testsupport::ReadBytes(m_dir / kUserBackupName), previous);

    UserTable back;
    ASSERT_EQ(UserTableLoad(back).value(), 2);
    EXPECT_EQ(FieldText(back.records[1].name), kTenByteName);
    EXPECT_EQ(FieldText(back.records[1].password), kTwentyBytePassword);
}

TEST_F(UserTableFile, SaveWithoutPreviousFileMakesNoBackupAndRefusesBadCounts) {
    UserTable table;
    EXPECT_TRUE(UserTableSave(table, 0));
    EXPECT_EQ(testsupport::ReadBytes(File()), std::string(4, '\0'));
    EXPECT_FALSE(std::filesystem::exists(m_dir / kUserBackupName));
    EXPECT_EQ(KindOf(UserTableSave(table, 101)), FileErrorKind::Invalid);
    EXPECT_EQ(KindOf(UserTableSave(table, -1)), FileErrorKind::Invalid);
    EXPECT_EQ(testsupport::ReadBytes(File()), std::string(4, '\0'));
}

// The table is private to its owner and group, whatever the saving user's umask, and a save
// keeps the mode, owner and group the table was given.
TEST_F(UserTableFile, SavesKeepTheTablePrivate) {
    const mode_t umask = ::umask(022);
    UserTable table;
    UseBuiltInUserTable(table);
    ASSERT_TRUE(UserTableSave(table, 1));
    struct stat first {};
    ASSERT_EQ(::stat(File().c_str(), &first), 0);
    EXPECT_EQ(first.st_mode & 07777, 0660u);

    ASSERT_EQ(::chmod(File().c_str(), 0640), 0);
    const bool root = ::geteuid() == 0; // only root may hand the table to another owner
    if (root) {
        ASSERT_EQ(::chown(File().c_str(), 65534, 65534), 0);
    }
    UseBuiltInUserTable(table);
    ASSERT_TRUE(UserTableSave(table, 1));
    struct stat second {
    }, backup{};
    ASSERT_EQ(::stat(File().c_str(), &second), 0);
    ASSERT_EQ(::stat((m_dir / kUserBackupName).c_str(), &backup), 0);
    EXPECT_EQ(second.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(second.st_uid, 65534u);
        EXPECT_EQ(second.st_gid, 65534u);
    }
    EXPECT_EQ(backup.st_mode & 07777, 0660u); // the first backup, made by this save
    ::umask(umask);
}

// The installed layout: the program folder holds only a link to the table in a folder that
// the users who administer it may write; the first save creates the table through the link.
TEST_F(UserTableFile, SaveThroughALinkWritesItsTargetAndKeepsTheLink) {
    const auto programs = m_dir / "lib";
    const auto data = m_dir / "var";
    std::filesystem::create_directories(programs);
    std::filesystem::create_directories(data);
    std::filesystem::create_symlink("../var/kestrel.usr", programs / kUserFileName);
    SetProgramFolderForTesting(programs);

    UserTable table;
    SetFieldText(table.records[0].name, "SA");
    SetFieldText(table.records[0].password, "first");
    ASSERT_TRUE(UserTableSave(table, 1));
    SetFieldText(table.records[0].name, "SA");
    SetFieldText(table.records[0].password, "second");
    ASSERT_TRUE(UserTableSave(table, 1));

    EXPECT_TRUE(std::filesystem::is_symlink(programs / kUserFileName));
    EXPECT_EQ(testsupport::ReadBytes(data / kUserFileName), UserFile({{"SA", "second"}}, 1).Str());
    EXPECT_EQ(testsupport::ReadBytes(data / kUserBackupName), UserFile({{"SA", "first"}}, 1).Str());
    EXPECT_FALSE(std::filesystem::exists(programs / kUserBackupName));
    UserTable back;
    ASSERT_EQ(UserTableLoad(back).value(), 1);
    EXPECT_EQ(FieldText(back.records[0].password), "second");

    // A link that leads round in a circle is refused, and nothing takes its place.
    std::filesystem::remove(programs / kUserFileName);
    std::filesystem::create_symlink(kUserFileName, programs / kUserFileName);
    const FileStatus looped = UserTableSave(table, 1);
    ASSERT_FALSE(looped);
    EXPECT_EQ(looped.error().osError, ELOOP);
    EXPECT_TRUE(std::filesystem::is_symlink(programs / kUserFileName));
}

TEST_F(UserTableFile, FailedSaveLeavesTheOldFile) {
    ::chmod(m_dir.Path().c_str(), 0755);
    testsupport::WriteBytes(File(), UserFile({{"old", "one"}}, 1));
    const std::string previous = testsupport::ReadBytes(File());
    ::chmod(File().c_str(), 0644);
    ::chmod(m_dir.Path().c_str(), 0555);
    const int rc = testsupport::RunInChild(
        [&] {
            UserTable table;
            SetFieldText(table.records[0].name, "new");
            return KindOf(UserTableSave(table, 1)) == FileErrorKind::Io ? 0 : 1;
        },
        /*unprivileged=*/true);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(testsupport::ReadBytes(File()), previous);
}

TEST(UserNames, LatinLettersIgnoreCaseDoubleByteCharactersDoNot) {
    EXPECT_TRUE(SameUserName("sa", "SA"));
    EXPECT_FALSE(SameUserName("sa", "SA "));
    // Same lead byte, trail bytes 'a' and 'A': two different characters.
    EXPECT_FALSE(SameUserName("\xB0\x61", "\xB0\x41"));
    EXPECT_TRUE(SameUserName("\xB0\x61x", "\xB0\x61X"));

    UserTable table;
    SetFieldText(table.records[0].name, "Ann");
    SetFieldText(table.records[1].name, "ANN");
    table.count = 2;
    EXPECT_EQ(FindUser(table, "aNN"), 0); // the first match wins
    table.count = 500;                    // a damaged count never walks past the table
    EXPECT_EQ(FindUser(table, "nobody"), -1);
}
