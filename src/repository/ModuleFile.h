#pragma once
// The module record and its ".kst" file.
#include "core/Status.h"
#include "kestrel/ModuleFunction.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace kestrel {

constexpr int kMaxVariables = 100;
inline constexpr char kModuleKeyword[] = "MODULE_ITEM";

enum ModuleType : int32_t { kSqlModule = 0, kDllModule = 1 };

enum ModuleFlags : int32_t {
    kFlagRequired = KESTREL_FLAG_REQUIRED,
    kFlagTested = KESTREL_FLAG_TESTED, // state "测试" or "测试通过"; the module may be in use already
    kFlagPassed = KESTREL_FLAG_PASSED, // state "测试通过", only together with kFlagTested
};

#pragma pack(push, 1)
struct ModuleHeader {
    char keyword[12];
    char groupId[11];
    char title[51];
    char createdAt[21];
    char creator[10];
    char modifiedAt[21];
    char modifier[10];
    int32_t type;
    int32_t flags;
    int32_t descriptionLength;
    int32_t variableCount;
    int32_t bodyLength;
    int32_t remarkLength;
};

struct VariableDefinition {
    char name[41];
    uint8_t attribute; // KestrelVariableAttribute
    uint8_t type;      // KestrelVariableType
    char reserved1[13];
    int32_t length;
    char reserved2[4];
};
#pragma pack(pop)
static_assert(sizeof(ModuleHeader) == 160);
static_assert(offsetof(ModuleHeader, groupId) == 12 && offsetof(ModuleHeader, title) == 23);
static_assert(offsetof(ModuleHeader, createdAt) == 74 && offsetof(ModuleHeader, creator) == 95);
static_assert(offsetof(ModuleHeader, modifiedAt) == 105 && offsetof(ModuleHeader, modifier) == 126);
static_assert(offsetof(ModuleHeader, type) == 136 && offsetof(ModuleHeader, remarkLength) == 156);
static_assert(sizeof(VariableDefinition) == 64 && offsetof(VariableDefinition, length) == 56);

// Completion state as shown in the state list.
enum ModuleState { kStateUnfinished = 0, kStateTested = 1, kStatePassed = 2 };
int StateIndexOfFlags(int32_t flags);
// The flags a module is stored with: rebuilt from the state and the required mark alone.
int32_t FlagsOfState(int state, bool required);

struct ModuleRecord {
    ModuleHeader header{};
    std::string body; // SQL text, or "library,function"
    std::string description;
    std::array<VariableDefinition, kMaxVariables> variables{};
    std::string remarks;    // lines "name,text\n"
    std::string testValues; // lines "name,text\n"
    std::string fileName;   // bare name (GBK)
};

// Calls line(name, value) for every line of a remark or test-value list, in list order; a line
// without a comma names nothing.
template <class Line> void ForEachListLine(std::string_view list, Line&& line) {
    std::size_t start = 0;
    while (start < list.size()) {
        std::size_t end = list.find('\n', start);
        if (end == std::string_view::npos)
            end = list.size();
        const std::string_view text = list.substr(start, end - start);
        if (const std::size_t comma = text.find(','); comma != std::string_view::npos)
            line(text.substr(0, comma), text.substr(comma + 1));
        start = end + 1;
    }
}

// The value of name in a remark or test-value list: the texts of all its lines, joined.
std::string LookupListValue(const std::string& list, const std::string& name);
// Appends the line that LookupListValue reads back: name + "," + value + line feed.
void AppendListValue(std::string& list, const std::string& name, const std::string& value);

// Library and function of a DLL module's body: split at the first comma; without a comma the
// library is empty and the whole body is the function.
void SplitDllBody(const std::string& body, std::string& library, std::string& function);
// The body of a DLL module: library + "," + function.
std::string JoinDllBody(const std::string& library, const std::string& function);

// The nine values of the property sheet's basic-information page (GBK texts).
struct ModuleInfoFields {
    std::string createdStamp; // " " + creator + " " + createdAt
    int required = 0;         // 0 or 1
    int type = kSqlModule;
    std::string title;
    std::string description;
    std::string dllName;
    std::string function;
    std::string modifiedStamp; // " " + modifier + " " + modifiedAt
    int state = kStateUnfinished;
};

// What the page shows of a stored module: state from the flags, a DLL module's body split at
// its first comma (any type but DLL counts as SQL and leaves the DLL fields empty), the stamps.
ModuleInfoFields InfoFieldsOfModule(const ModuleRecord& record);

// The page stored into record: title (cut to 50 bytes), flags rebuilt from state and required,
// type, body (sqlText for an SQL module, library + "," + function for a DLL module) and
// description, with their lengths. Stamps and variables are left alone.
void StoreInfoFields(ModuleRecord& record, const ModuleInfoFields& fields, const std::string& sqlText);

// Whether storing state would set a module stored as tested back to "未完成", which the sheet
// never does.
bool StateUndoesTest(int32_t storedFlags, int state);

// Whether a file of the module folder is a module file: its name ends in ".kst", letter case
// ignored. Every module list, the window's and the commands', takes exactly these files; the
// name may be GBK or as the disk holds it (no trail byte of GBK is a '.').
bool IsModuleFileName(std::string_view name);

// Whether name may become a module file name: a module file name (above) whose extension is
// written ".kst" or ".KST", with no blank (list lines end the name at the first blank), no
// folder separator and no zero byte. A name with the extension inside it ("a.kst.bak") is
// refused: no list would ever show the module.
bool IsAcceptableModuleFileName(std::string_view name);

// Path of a module file: folder / the GBK file name converted to the file system's UTF-8, or
// the GBK bytes themselves when only a file of that name exists.
std::filesystem::path ModuleFilePath(const std::filesystem::path& folder, const std::string& fileName);

// Reads folder/fileName into record (replacing everything, setting record.fileName).
// Invalid: shorter than 160 bytes, wrong keyword, or lengths/count that are negative, over
// 100 variables, or point past the end. Io: the file could not be read, or declares more than
// kMaxStoredFileBytes (EFBIG). A failure names the file (FileError::file).
FileStatus LoadModuleFile(ModuleRecord& record, const std::filesystem::path& folder, const std::string& fileName);

// Reads the module file at path (any name, any folder) as LoadModuleFile does; record.fileName
// is left alone. Only the bytes the header declares are read.
FileStatus ReadModuleFile(ModuleRecord& record, const std::filesystem::path& path);

// Parses the bytes of a module file (the reader behind LoadModuleFile, for fuzzing and tools).
FileStatus ParseModuleBytes(ModuleRecord& record, const std::string& bytes);

// Stamps modifier/modifiedAt and writes folder/record.fileName atomically. The length fields
// and variableCount are set from the record's texts before writing.
FileStatus SaveModuleFile(ModuleRecord& record, const std::string& userName, const std::filesystem::path& folder);

// The file bytes of a record, exactly as SaveModuleFile writes them (no stamping).
std::string SerializeModule(const ModuleRecord& record);

// The checks that need only the header: keyword "MODULE_ITEM", lengths not negative,
// variableCount 0 to 100. Returns the file offset of the test-value list's length field
// (which must lie inside the file, as must the list behind it), or -1 when the header fails.
int64_t TestValueLengthOffset(const ModuleHeader& header);

// The report's read: same checks as LoadModuleFile, stops before the test-value list.
FileStatus ReadModuleForReport(ModuleRecord& record, const std::filesystem::path& folder, const std::string& fileName);

} // namespace kestrel
