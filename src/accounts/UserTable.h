#pragma once
// The user table file "kestrel.usr": a count and 32-byte records with scrambled texts.
#include "core/Status.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

namespace kestrel {

constexpr int kMaxUsers = 100;
inline constexpr char kUserFileName[] = "kestrel.usr";
inline constexpr char kUserBackupName[] = "kestrel.usr.bak";
inline constexpr char kBuiltInUser[] = "SA";
inline constexpr char kBuiltInPassword[] = "tide oak plum";

struct UserRecord {
    char name[11];     // GBK, at most 10 bytes
    char password[21]; // GBK, at most 20 bytes
};
static_assert(sizeof(UserRecord) == 32);

struct UserTable {
    std::array<UserRecord, kMaxUsers> records{};
    int32_t count = 0;
};

// Inverts bit 7 of every byte up to the text's zero, re-measuring after each byte, and
// never goes past the field's width.
void FlipTextBits(char* text, std::size_t width);
template <std::size_t N> void FlipTextBits(char (&field)[N]) {
    FlipTextBits(field, N);
}

// The user file is private to its owner and group: a first save creates it (and its backup)
// with this mode, whatever the umask; later saves keep the mode, owner and group it has.
constexpr unsigned kUserFileMode = 0660;
// A real table is at most 4 + 32 x 100 bytes; a file far above that is no user table.
inline constexpr std::uint64_t kMaxUserFileBytes = 64u << 10;

// Fills table from the user file at path and returns the count. Only a missing file (the
// first start, before any save) gives the built-in table. Every other failure is an error about
// the file, and the table holds no account: Io with the file system's error when the file
// cannot be read (EACCES included), Invalid ("damaged") when it is damaged or oversized.
Result<int32_t, FileError> LoadUserTableFile(const std::filesystem::path& path, UserTable& table);

// LoadUserTableFile of ProgramFilePath("kestrel.usr").
Result<int32_t, FileError> UserTableLoad(UserTable& table);

// Parses the bytes of a user file (the reader behind UserTableLoad, for fuzzing and tools):
// Invalid, and table untouched, when the count is negative, over 100, or the file is shorter
// than 4 + 32 x count bytes. On success the texts are plain and table.count is set.
FileStatus ParseUserTableBytes(UserTable& table, const std::string& bytes);

// Fills table with the built-in table (one account) and returns 1.
int32_t UseBuiltInUserTable(UserTable& table);

// The bytes of a user file holding the first count records (0 to 100) of table, whose texts are
// left scrambled, as the callers drop the table right after.
std::string UserTableBytes(UserTable& table, int32_t count);

// Writes the user file at path with bytes, keeping the previous file as "kestrel.usr.bak"
// beside it. When path is a symbolic link, the file it names is written and the link kept.
// When the previous file cannot be read for its backup, nothing is written (Io).
FileStatus WriteUserTableFile(const std::filesystem::path& path, const std::string& bytes);

// Writes the first count records to ProgramFilePath("kestrel.usr") (WriteUserTableFile). A
// count outside 0 to 100 is Invalid and writes nothing.
FileStatus UserTableSave(UserTable& table, int32_t count);

// The Parts of the login check: admitted, no record with the name, or the first record with
// the name has another password.
enum class LoginVerdict { kAdmitted, kUnknownUser, kWrongPassword };
LoginVerdict CheckLogin(const UserTable& table, int32_t count, const std::string& name, const std::string& password);

// Case-insensitive (Latin letters) comparison of user names.
bool SameUserName(const std::string& a, const std::string& b);

// Index of the first record whose name matches, or -1.
int FindUser(const UserTable& table, const std::string& name);

} // namespace kestrel
