#include "accounts/UserTable.h"

#include "core/AsciiCase.h"
#include "core/AtomicFile.h"
#include "core/Bytes.h"
#include "core/FixedText.h"
#include "core/TextRoutines.h"

#include <cerrno>
#include <cstring>

namespace kestrel {

namespace {

constexpr std::size_t kCountBytes = 4;

} // namespace

void FlipTextBits(char* text, std::size_t width) {
    // The length is measured again before every byte: a byte that becomes zero ends the text.
    for (std::size_t j = 0; j < width; ++j) {
        if (text[j] == 0)
            return;
        text[j] = static_cast<char>(static_cast<unsigned char>(text[j]) ^ 0x80);
        if (text[j] == 0)
            return;
    }
}

int32_t UseBuiltInUserTable(UserTable& table) {
    table.records = {};
    SetFieldText(table.records[0].name, kBuiltInUser);
    SetFieldText(table.records[0].password, kBuiltInPassword);
    table.count = 1;
    return 1;
}

FileStatus ParseUserTableBytes(UserTable& table, const std::string& bytes) {
    if (bytes.size() < kCountBytes)
        return Fail(FileError::Invalid("user file shorter than its count"));
    const int32_t count = ReadLe32(bytes.data());
    if (count < 0 || count > kMaxUsers)
        return Fail(FileError::Invalid("user count out of range"));
    if (bytes.size() < kCountBytes + sizeof(UserRecord) * static_cast<std::size_t>(count))
        return Fail(FileError::Invalid("user file shorter than its count claims"));
    table.records = {};
    std::memcpy(table.records.data(), bytes.data() + kCountBytes, sizeof(UserRecord) * static_cast<std::size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        FlipTextBits(table.records[i].name);
        FlipTextBits(table.records[i].password);
    }
    table.count = count;
    return Ok();
}

Result<int32_t, FileError> LoadUserTableFile(const std::filesystem::path& path, UserTable& table) {
    std::string bytes;
    FileStatus read = ReadWholeFile(path, bytes, kMaxUserFileBytes);
    if (!read && read.error().IsIo() && read.error().osError == ENOENT)
        return UseBuiltInUserTable(table);
    // Anyone who can make the file unreadable, or finds it so, must not get the built-in SA.
    if (!read && read.error().osError == EFBIG)
        read = Fail(FileError::Invalid("larger than a user table"));
    if (read)
        read = ParseUserTableBytes(table, bytes);
    if (!read) {
        table.records = {};
        table.count = 0;
        FileError error = std::move(read).error();
        if (error.IsInvalid())
            error.message = "damaged (" + error.message + ")";
        return Fail(std::move(error.About(FileNameForMessage(path))));
    }
    return table.count;
}

Result<int32_t, FileError> UserTableLoad(UserTable& table) {
    return LoadUserTableFile(ProgramFilePath(kUserFileName), table);
}

std::string UserTableBytes(UserTable& table, int32_t count) {
    count = count < 0 ? 0 : (count > kMaxUsers ? kMaxUsers : count);
    for (int32_t i = 0; i < count; ++i) {
        FlipTextBits(table.records[i].name);
        FlipTextBits(table.records[i].password);
    }
    std::string bytes;
    bytes.reserve(kCountBytes + sizeof(UserRecord) * static_cast<std::size_t>(count));
    AppendLe32(bytes, count);
    bytes.append(reinterpret_cast<const char*>(table.records.data()),
                 sizeof(UserRecord) * static_cast<std::size_t>(count));
    return bytes;
}

FileStatus WriteUserTableFile(const std::filesystem::path& file, const std::string& bytes) {
    // An installed copy keeps the table elsewhere, through a link beside the program; the
    // backup then goes beside the table, where the users who may save it can write.
    std::filesystem::path path;
    if (FileStatus resolved = ResolveWriteTarget(file, path); !resolved)
        return resolved;

    // Keep the previous table before replacing it, so a mistaken save can be undone by hand.
    std::string previous;
    FileStatus read = ReadWholeFile(path, previous);
    if (read) {
        if (FileStatus backup = WriteFileAtomic(path.parent_path() / kUserBackupName, previous, kUserFileMode); !backup)
            return AboutFile(std::move(backup), kUserBackupName);
    } else if (read.error().osError != ENOENT) {
        return AboutFile(std::move(read), FileNameForMessage(path));
    }
    return AboutFile(WriteFileAtomic(path, bytes, kUserFileMode), FileNameForMessage(path));
}

FileStatus UserTableSave(UserTable& table, int32_t count) {
    if (count < 0 || count > kMaxUsers)
        return Fail(FileError::Invalid("user count out of range"));
    return WriteUserTableFile(ProgramFilePath(kUserFileName), UserTableBytes(table, count));
}

LoginVerdict CheckLogin(const UserTable& table, int32_t count, const std::string& name, const std::string& password) {
    // Only the first record with the name counts, even when a later one would match.
    const int index = FindUser(table, name);
    if (index < 0 || index >= count)
        return LoginVerdict::kUnknownUser;
    if (FieldText(table.records[index].password) != password)
        return LoginVerdict::kWrongPassword;
    return LoginVerdict::kAdmitted;
}

bool SameUserName(const std::string& a, const std::string& b) {
    return EqualIgnoringGbkLatinCase(a, b);
}

int FindUser(const UserTable& table, const std::string& name) {
    const int count = table.count < 0 ? 0 : (table.count > kMaxUsers ? kMaxUsers : table.count);
    for (int i = 0; i < count; ++i)
        if (SameUserName(FieldText(table.records[i].name), name))
            return i;
    return -1;
}

} // namespace kestrel
