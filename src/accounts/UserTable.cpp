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

int32_t UserTableLoad(UserTable& table) {
    std::string bytes;
    if (!ReadWholeFile(ProgramFilePath(kUserFileName), bytes) || !ParseUserTableBytes(table, bytes))
        return UseBuiltInUserTable(table);
    return table.count;
}

FileStatus UserTableSave(UserTable& table, int32_t count) {
    if (count < 0 || count > kMaxUsers)
        return Fail(FileError::Invalid("user count out of range"));
    // An installed copy keeps the table elsewhere, through a link beside the program; the
    // backup then goes beside the table, where the users who may save it can write.
    std::filesystem::path path;
    if (FileStatus resolved = ResolveWriteTarget(ProgramFilePath(kUserFileName), path); !resolved)
        return resolved;

    // Keep the previous table before replacing it, so a mistaken save can be undone by hand.
    std::string previous;
    FileStatus read = ReadWholeFile(path, previous);
    if (read) {
        if (FileStatus backup = WriteFileAtomic(path.parent_path() / kUserBackupName, previous); !backup)
            return AboutFile(std::move(backup), kUserBackupName);
    } else if (read.error().osError != ENOENT) {
        return AboutFile(std::move(read), FileNameForMessage(path));
    }

    for (int32_t i = 0; i < count; ++i) {
        FlipTextBits(table.records[i].name);
        FlipTextBits(table.records[i].password);
    }
    std::string bytes;
    bytes.reserve(kCountBytes + sizeof(UserRecord) * static_cast<std::size_t>(count));
    AppendLe32(bytes, count);
    bytes.append(reinterpret_cast<const char*>(table.records.data()),
                 sizeof(UserRecord) * static_cast<std::size_t>(count));
    return AboutFile(WriteFileAtomic(path, bytes), FileNameForMessage(path));
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
