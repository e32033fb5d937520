#pragma once
// The user table file "kestrel.usr": a count and 32-byte records with scrambled texts.
#include "core/Status.h"

#include <array>
#include <cstdint>
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

// Fills table from ProgramFilePath("kestrel.usr"), or with the built-in table when the file
// cannot be read or is damaged (negative count, over 100, shorter than its count claims).
// Returns the count.
int32_t UserTableLoad(UserTable& table);

// Parses the bytes of a user file (the reader behind UserTableLoad, for fuzzing and tools):
// Invalid, and table untouched, when the count is negative, over 100, or the file is shorter
// than 4 + 32 x count bytes. On success the texts are plain and table.count is set.
FileStatus ParseUserTableBytes(UserTable& table, const std::string& bytes);

// Fills table with the built-in table (one account) and returns 1.
int32_t UseBuiltInUserTable(UserTable& table);

// Writes the first count records, keeping the previous file as "kestrel.usr.bak" beside it.
// When "kestrel.usr" is a symbolic link, the file it names is written and the link kept. The
// table's texts are left scrambled, as the callers drop the table right after. A count
// outside 0 to 100 is Invalid and writes nothing; when the previous file cannot be read for
// its backup, nothing is written either (Io).
FileStatus UserTableSave(UserTable& table, int32_t count);

// Case-insensitive (Latin letters) comparison of user names.
bool SameUserName(const std::string& a, const std::string& b);

// Index of the first record whose name matches, or -1.
int FindUser(const UserTable& table, const std::string& name);

} // namespace kestrel
