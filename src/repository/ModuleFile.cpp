#include "repository/ModuleFile.h"

#include "core/AsciiCase.h"
#include "core/AtomicFile.h"
#include "core/Bytes.h"
#include "core/Clock.h"
#include "core/FixedText.h"
#include "core/Gbk.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/stat.h>

namespace kestrel {

namespace {

bool IsAscii(const std::string& text) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

constexpr std::size_t kHeaderBytes = sizeof(ModuleHeader);

// The text of a block: up to its first zero, never beyond the block.
std::string BlockText(const std::string& bytes, std::size_t at, std::size_t length) {
    return std::string(FixedTextView(bytes.data() + at, length));
}

FileStatus Parse(ModuleRecord& record, const std::string& bytes, bool withTestValues) {
    if (bytes.size() < kHeaderBytes)
        return Fail(FileError::Invalid("shorter than a module header"));
    ModuleHeader header;
    std::memcpy(&header, bytes.data(), kHeaderBytes);
    const int64_t lengthAt = TestValueLengthOffset(header);
    if (lengthAt < 0)
        return Fail(FileError::Invalid("not a module file"));
    const auto size = static_cast<int64_t>(bytes.size());
    if (lengthAt + 4 > size)
        return Fail(FileError::Invalid("module file shorter than its lengths claim"));
    const int32_t testValueLength = ReadLe32(bytes.data() + lengthAt);
    if (testValueLength < 0 || lengthAt + 4 + testValueLength > size)
        return Fail(FileError::Invalid("module file shorter than its lengths claim"));

    record.header = header;
    std::size_t at = kHeaderBytes;
    record.body = BlockText(bytes, at, static_cast<std::size_t>(header.bodyLength));
    at += static_cast<std::size_t>(header.bodyLength);
    record.description = BlockText(bytes, at, static_cast<std::size_t>(header.descriptionLength));
    at += static_cast<std::size_t>(header.descriptionLength);
    record.variables = {};
    const std::size_t variableBytes = sizeof(VariableDefinition) * static_cast<std::size_t>(header.variableCount);
    std::memcpy(record.variables.data(), bytes.data() + at, variableBytes);
    at += variableBytes;
    record.remarks = BlockText(bytes, at, static_cast<std::size_t>(header.remarkLength));
    at += static_cast<std::size_t>(header.remarkLength) + 4;
    record.testValues =
        withTestValues ? BlockText(bytes, at, static_cast<std::size_t>(testValueLength)) : std::string();
    return Ok();
}

// Reads what the header declares and no more: every length is checked against the file's
// real size before anything is allocated, so a sparse or hostile file costs a few reads.
FileStatus ReadDeclared(ModuleRecord& record, const std::filesystem::path& path, bool withTestValues) {
    StoredFile file;
    if (FileStatus opened = file.Open(path); !opened)
        return opened;
    if (file.Size() < kHeaderBytes)
        return Fail(FileError::Invalid("shorter than a module header"));
    std::string head;
    if (FileStatus read = file.ReadAt(0, kHeaderBytes, head); !read)
        return read;
    ModuleHeader header;
    std::memcpy(&header, head.data(), kHeaderBytes);
    const int64_t lengthAt = TestValueLengthOffset(header);
    if (lengthAt < 0)
        return Fail(FileError::Invalid("not a module file"));
    std::string lengthBytes;
    if (FileStatus read = file.ReadAt(static_cast<uint64_t>(lengthAt), 4, lengthBytes); !read)
        return read;
    const int32_t testValueLength = ReadLe32(lengthBytes.data());
    if (testValueLength < 0)
        return Fail(FileError::Invalid("not a module file"));
    const uint64_t declared = static_cast<uint64_t>(lengthAt) + 4 + static_cast<uint64_t>(testValueLength);
    if (declared > file.Size())
        return Fail(FileError::Invalid("module file shorter than its lengths claim"));
    if (declared > kMaxStoredFileBytes)
        return FileTooLarge();
    std::string bytes;
    if (FileStatus read = file.ReadAt(0, declared, bytes); !read)
        return read;
    return Parse(record, bytes, withTestValues);
}

FileStatus Load(ModuleRecord& record, const std::filesystem::path& folder, const std::string& fileName,
                bool withTestValues) {
    record.fileName = fileName;
    return AboutFile(ReadDeclared(record, ModuleFilePath(folder, fileName), withTestValues), fileName);
}

int32_t StoredLength(const std::string& text) {
    return text.size() >= static_cast<std::size_t>(INT32_MAX) ? -1 : static_cast<int32_t>(text.size() + 1);
}

} // namespace

int StateIndexOfFlags(int32_t flags) {
    if (!(flags & kFlagTested))
        return kStateUnfinished;
    return (flags & kFlagPassed) ? kStatePassed : kStateTested;
}

int32_t FlagsOfState(int state, bool required) {
    int32_t flags = required ? kFlagRequired : 0;
    if (state == kStateTested)
        flags |= kFlagTested;
    else if (state == kStatePassed)
        flags |= kFlagTested | kFlagPassed;
    return flags;
}

std::string LookupListValue(const std::string& list, const std::string& name) {
    std::string result;
    ForEachListLine(list, [&](std::string_view lineName, std::string_view value) {
        if (lineName == name)
            result.append(value);
    });
    return result;
}

void AppendListValue(std::string& list, const std::string& name, const std::string& value) {
    list.append(name).append(1, ',').append(value).append(1, '\n');
}

void SplitDllBody(const std::string& body, std::string& library, std::string& function) {
    const std::size_t comma = body.find(',');
    if (comma == std::string::npos) {
        library.clear();
        function = body;
        return;
    }
    library = body.substr(0, comma);
    function = body.substr(comma + 1);
}

std::string JoinDllBody(const std::string& library, const std::string& function) {
    return library + "," + function;
}

ModuleInfoFields InfoFieldsOfModule(const ModuleRecord& record) {
    const ModuleHeader& header = record.header;
    ModuleInfoFields fields;
    fields.title = FieldText(header.title);
    fields.required = (header.flags & kFlagRequired) ? 1 : 0;
    fields.state = StateIndexOfFlags(header.flags);
    fields.type = header.type == kDllModule ? kDllModule : kSqlModule;
    if (fields.type == kDllModule)
        SplitDllBody(record.body, fields.dllName, fields.function);
    fields.description = record.description;
    fields.createdStamp = " " + FieldText(header.creator) + " " + FieldText(header.createdAt);
    fields.modifiedStamp = " " + FieldText(header.modifier) + " " + FieldText(header.modifiedAt);
    return fields;
}

void StoreInfoFields(ModuleRecord& record, const ModuleInfoFields& fields, const std::string& sqlText) {
    ModuleHeader& header = record.header;
    SetFieldText(header.title, GbkPrefix(fields.title, sizeof(header.title) - 1));
    header.flags = FlagsOfState(fields.state, fields.required != 0);
    header.type = fields.type;
    record.body = fields.type == kSqlModule ? sqlText : JoinDllBody(fields.dllName, fields.function);
    header.bodyLength = StoredLength(record.body);
    record.description = fields.description;
    header.descriptionLength = StoredLength(record.description);
}

bool StateUndoesTest(int32_t storedFlags, int state) {
    return (storedFlags & kFlagTested) && state == kStateUnfinished;
}

namespace {
constexpr std::string_view kModuleExtension = ".kst";
} // namespace

bool IsModuleFileName(std::string_view name) {
    return EndsWithIgnoringAsciiCase(name, kModuleExtension);
}

bool IsAcceptableModuleFileName(std::string_view name) {
    if (!IsModuleFileName(name))
        return false;
    // New names have always had their extension in one letter case.
    const std::string_view extension = name.substr(name.size() - kModuleExtension.size());
    if (extension != kModuleExtension && extension != ".KST")
        return false;
    return name.find_first_of(std::string_view(" /\0", 3)) == std::string_view::npos;
}

std::filesystem::path ModuleFilePath(const std::filesystem::path& folder, const std::string& fileName) {
    std::filesystem::path utf8 = folder / std::filesystem::path(GbkToUtf8(fileName));
    if (IsAscii(fileName))
        return utf8;
    // A file copied from a system that names files in GBK is found under its own bytes.
    struct stat st {};
    if (::lstat(utf8.c_str(), &st) != 0 && errno == ENOENT) {
        std::filesystem::path raw = folder / std::filesystem::path(fileName);
        if (::lstat(raw.c_str(), &st) == 0)
            return raw;
    }
    return utf8;
}

int64_t TestValueLengthOffset(const ModuleHeader& header) {
    if (FieldText(header.keyword) != kModuleKeyword)
        return -1;
    if (header.bodyLength < 0 || header.descriptionLength < 0 || header.remarkLength < 0 || header.variableCount < 0 ||
        header.variableCount > kMaxVariables)
        return -1;
    return static_cast<int64_t>(kHeaderBytes) + header.bodyLength + header.descriptionLength +
           static_cast<int64_t>(sizeof(VariableDefinition)) * header.variableCount + header.remarkLength;
}

FileStatus ParseModuleBytes(ModuleRecord& record, const std::string& bytes) {
    return Parse(record, bytes, true);
}

FileStatus ReadModuleFile(ModuleRecord& record, const std::filesystem::path& path) {
    return ReadDeclared(record, path, true);
}

FileStatus LoadModuleFile(ModuleRecord& record, const std::filesystem::path& folder, const std::string& fileName) {
    return Load(record, folder, fileName, true);
}

FileStatus ReadModuleForReport(ModuleRecord& record, const std::filesystem::path& folder, const std::string& fileName) {
    return Load(record, folder, fileName, false);
}

std::string SerializeModule(const ModuleRecord& record) {
    ModuleHeader header = record.header;
    SetFieldText(header.keyword, kModuleKeyword);
    ClearFieldTail(header.groupId);
    ClearFieldTail(header.title);
    ClearFieldTail(header.createdAt);
    ClearFieldTail(header.creator);
    ClearFieldTail(header.modifiedAt);
    ClearFieldTail(header.modifier);
    header.bodyLength = StoredLength(record.body);
    header.descriptionLength = StoredLength(record.description);
    header.remarkLength = StoredLength(record.remarks);
    header.variableCount = std::clamp<int32_t>(header.variableCount, 0, kMaxVariables);

    std::string bytes;
    bytes.reserve(kHeaderBytes + record.body.size() + record.description.size() + record.remarks.size() +
                  record.testValues.size() + 8 +
                  sizeof(VariableDefinition) * static_cast<std::size_t>(header.variableCount));
    bytes.append(reinterpret_cast<const char*>(&header), kHeaderBytes);
    bytes.append(record.body).push_back('\0');
    bytes.append(record.description).push_back('\0');
    for (int32_t i = 0; i < header.variableCount; ++i) {
        VariableDefinition variable = record.variables[static_cast<std::size_t>(i)];
        ClearFieldTail(variable.name);
        std::memset(variable.reserved1, 0, sizeof variable.reserved1);
        std::memset(variable.reserved2, 0, sizeof variable.reserved2);
        bytes.append(reinterpret_cast<const char*>(&variable), sizeof variable);
    }
    bytes.append(record.remarks).push_back('\0');
    AppendLe32(bytes, StoredLength(record.testValues));
    bytes.append(record.testValues).push_back('\0');
    return bytes;
}

FileStatus SaveModuleFile(ModuleRecord& record, const std::string& userName, const std::filesystem::path& folder) {
    if (record.fileName.empty())
        return Fail(FileError::Invalid("module without a file name"));
    if (StoredLength(record.body) < 0 || StoredLength(record.description) < 0 || StoredLength(record.remarks) < 0 ||
        StoredLength(record.testValues) < 0)
        return Fail(FileError::Invalid("module text too long"));
    SetFieldText(record.header.modifier, GbkPrefix(userName, sizeof record.header.modifier - 1));
    SetFieldText(record.header.modifiedAt, CurrentTimeStamp());
    SetFieldText(record.header.keyword, kModuleKeyword);
    record.header.bodyLength = StoredLength(record.body);
    record.header.descriptionLength = StoredLength(record.description);
    record.header.remarkLength = StoredLength(record.remarks);
    record.header.variableCount = std::clamp<int32_t>(record.header.variableCount, 0, kMaxVariables);
    return AboutFile(WriteFileAtomic(ModuleFilePath(folder, record.fileName), SerializeModule(record)),
                     record.fileName);
}

} // namespace kestrel
