#include "repository/ModuleFile.h"
#include "core/FixedText.h"
#include "repository/ModuleScan.h"
#include "support/Builders.h"
#include "support/Clock.h"
#include "support/Files.h"
#include "support/Results.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace kestrel;
using namespace kestrel::testsupport;

namespace {

const std::string kFiftyByteTitle = [] {
    std::string t;
    for (int i = 0; i < 25; ++i)
        t += "\xC9\xF3"; // 审 x 25 = 50 bytes
    return t;
}();

ModuleDraft FullModule() {
    ModuleDraft m;
    m.groupId = "\xB2\xC6\xCE\xF1"
                "0123456"; // 财务0123456: 10 bytes
    m.title = kFiftyByteTitle;
    m.flags = 1 | 2 | 4;
    m.body = "SELECT * FROM t WHERE a=[?:A]\r\nAND b=[?:B]";
    m.description = "\xCB\xB5\xC3\xF7\r\nsecond line\r\n";
    m.variables = {{"A", 0, 2, 4}, {std::string(40, 'v'), 2, 4, 255}};
    m.remarks = "A,\xB1\xB8\xD7\xA2\n";
    m.testValues = "A,1\n" + std::string(40, 'v') + ",x\n";
    return m;
}

} // namespace

TEST(ModuleFile, EmptyModuleIs168BytesAndLoadsBack) {
    TempDir dir;
    ModuleDraft fields;
    const std::string bytes = ModuleBytes(fields);
    ASSERT_EQ(bytes.size(), 168u);
    WriteBytes(dir / "e.kst", bytes);
    ModuleRecord record;
    record.body = "stale";
    record.variables[3].length = 9;
    ASSERT_TRUE(LoadModuleFile(record, dir.Path(), "e.kst"));
    EXPECT_EQ(record.fileName, "e.kst");
    EXPECT_EQ(record.body, "");
    EXPECT_EQ(record.description, "");
    EXPECT_EQ(record.remarks, "");
    EXPECT_EQ(record.testValues, "");
    EXPECT_EQ(record.variables[3].length, 0);
    EXPECT_EQ(SerializeModule(record), bytes);
}

TEST(ModuleFile, FullModuleLoadsFieldByFieldAndWritesTheSameBytes) {
    TempDir dir;
    const std::string bytes = ModuleBytes(FullModule());
    WriteBytes(dir / "full.kst", bytes);
    ModuleRecord record;
    ASSERT_TRUE(LoadModuleFile(record, dir.Path(), "full.kst"));
    EXPECT_EQ(FieldText(record.header.groupId), FullModule().groupId);
    EXPECT_EQ(FieldText(record.header.title), kFiftyByteTitle);
    EXPECT_EQ(FieldText(record.header.createdAt), "2024-01-02 03:04:05");
    EXPECT_EQ(record.header.flags, 7);
    EXPECT_EQ(StateIndexOfFlags(record.header.flags), 2);
    EXPECT_EQ(record.header.variableCount, 2);
    EXPECT_EQ(record.body, FullModule().body);
    EXPECT_EQ(record.description, FullModule().description);
    EXPECT_EQ(FieldText(record.variables[1].name), std::string(40, 'v'));
    EXPECT_EQ(record.variables[1].attribute, 2);
    EXPECT_EQ(record.variables[1].type, 4);
    EXPECT_EQ(record.variables[1].length, 255);
    EXPECT_EQ(record.remarks, FullModule().remarks);
    EXPECT_EQ(record.testValues, FullModule().testValues);
    EXPECT_EQ(SerializeModule(record), bytes);

    ModuleRecord report;
    ASSERT_TRUE(ReadModuleForReport(report, dir.Path(), "full.kst"));
    EXPECT_EQ(report.remarks, FullModule().remarks);
    EXPECT_EQ(report.testValues, "");
}

TEST(ModuleFile, SaveStampsTheModifierAndWritesTheLayout) {
    TempDir dir;
    const FixedClock clock("2025-03-04 05:06:07");
    ModuleRecord record;
    ASSERT_TRUE(ParseModuleBytes(record, ModuleBytes(FullModule())));
    record.fileName = "\xC9\xF3\xBC\xC6.kst"; // 审计.kst
    record.body = "x";
    record.header.variableCount = 1;
    ASSERT_TRUE(SaveModuleFile(record, "sa", dir.Path()));
    EXPECT_EQ(FieldText(record.header.modifier), "sa");
    EXPECT_EQ(FieldText(record.header.modifiedAt), "2025-03-04 05:06:07");
    EXPECT_EQ(record.header.bodyLength, 2);

    ModuleDraft expected = FullModule();
    expected.body = "x";
    expected.variables.resize(1);
    expected.modifier = "sa";
    expected.modifiedAt = "2025-03-04 05:06:07";
    const auto onDisk = dir.Path() / "\xE5\xAE\xA1\xE8\xAE\xA1.kst"; // the UTF-8 name
    EXPECT_EQ(ReadBytes(onDisk), ModuleBytes(expected));
}

TEST(ModuleFile, SaveClearsBytesBehindTheZeros) {
    ModuleRecord record;
    std::memset(&record.header, 'x', sizeof record.header);
    SetFieldText(record.header.title, "t"); // clears the field's tail itself
    record.header.groupId[2] = 0;           // "xx" then junk
    record.header.variableCount = 1;
    std::memset(&record.variables[0], 'y', sizeof record.variables[0]);
    record.variables[0].name[1] = 0;
    const std::string bytes = SerializeModule(record);
    EXPECT_EQ(bytes.substr(12, 11), std::string("xx\0\0\0\0\0\0\0\0\0", 11));
    EXPECT_EQ(bytes.substr(0, 12), std::string("MODULE_ITEM\0", 12));
    // Empty body and description: the variables start at 162.
    EXPECT_EQ(bytes.substr(162, 41), std::string("y") + std::string(40, '\0'));
    EXPECT_EQ(bytes.substr(162 + 43, 13), std::string(13, '\0'));
}

TEST(ModuleFile, DamagedFilesAreNotModules) {
    const std::string good = ModuleBytes(FullModule());
    const std::size_t tvLengthAt = good.size() - FullModule().testValues.size() - 1 - 4;
    auto with = [&](std::size_t at, int32_t value) {
        std::string b = good;
        PutI32(b, at, value);
        return b;
    };
    ModuleDraft longKeyword;
    longKeyword.keyword = "MODULE_ITEMS";
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"159 bytes", good.substr(0, 159)},
        {"header only", good.substr(0, 160)},
        {"wrong keyword", "MODULE_GROUP" + good.substr(12)},
        {"keyword continues", ModuleBytes(longKeyword)},
        {"negative body length", with(kBodyLengthAt, -1)},
        {"negative description length", with(kDescriptionLengthAt, -5)},
        {"negative remark length", with(kRemarkLengthAt, INT32_MIN)},
        {"negative variable count", with(kVariableCountAt, -1)},
        {"101 variables", with(kVariableCountAt, 101)},
        {"body length past the end", with(kBodyLengthAt, static_cast<int32_t>(good.size()))},
        {"huge lengths",
         [&] {
             std::string b = with(kBodyLengthAt, INT32_MAX);
             PutI32(b, kDescriptionLengthAt, INT32_MAX);
             PutI32(b, kRemarkLengthAt, INT32_MAX);
             return b;
         }()},
        {"variable count past the end", with(kVariableCountAt, 100)},
        {"negative test-value length", with(tvLengthAt, -1)},
        {"test-value list past the end", with(tvLengthAt, 1000)},
        {"test-value length missing", good.substr(0, tvLengthAt + 2)},
        {"test-value list cut", good.substr(0, good.size() - 1)},
    };
    for (const auto& c : cases) {
        ModuleRecord record;
        const FileStatus status = ParseModuleBytes(record, c.bytes);
        EXPECT_EQ(KindOf(status), FileErrorKind::Invalid) << c.what;
    }
}

TEST(ModuleFile, TextsStayInsideTheirBlocksAndFields) {
    std::string bytes = ModuleBytes(FullModule());
    // The body's zero replaced: the body ends at its block, not at the description's zero.
    bytes[160 + FullModule().body.size()] = 'Z';
    std::memset(bytes.data() + 23, 'T', 51); // title without a zero
    ModuleRecord record;
    ASSERT_TRUE(ParseModuleBytes(record, bytes));
    EXPECT_EQ(record.body, FullModule().body + "Z");
    EXPECT_EQ(record.description, FullModule().description);
    EXPECT_EQ(FieldText(record.header.title), std::string(51, 'T'));

    // Trailing bytes after the test-value list are ignored.
    ASSERT_TRUE(ParseModuleBytes(record, ModuleBytes(FullModule()) + "junk"));
    EXPECT_EQ(record.testValues, FullModule().testValues);
}

TEST(ModuleFile, MissingFileIsIoNotInvalid) {
    TempDir dir;
    ModuleRecord record;
    const FileStatus status = LoadModuleFile(record, dir.Path(), "none.kst");
    ASSERT_EQ(KindOf(status), FileErrorKind::Io);
    EXPECT_EQ(status.error().message, std::strerror(ENOENT));
    ModuleRecord unnamed;
    EXPECT_EQ(KindOf(SaveModuleFile(unnamed, "sa", dir.Path())), FileErrorKind::Invalid);
}

TEST(ModuleFile, FailedSaveLeavesTheOldFile) {
    TempDir dir;
    ::chmod(dir.Path().c_str(), 0755);
    const std::string old = ModuleBytes(FullModule());
    WriteBytes(dir / "m.kst", old);
    ::chmod((dir / "m.kst").c_str(), 0666);
    ::chmod(dir.Path().c_str(), 0555);
    const int rc = RunInChild(
        [&] {
            ModuleRecord record;
            record.fileName = "m.kst";
            return KindOf(SaveModuleFile(record, "sa", dir.Path())) == FileErrorKind::Io ? 0 : 1;
        },
        /*unprivileged=*/true);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ReadBytes(dir / "m.kst"), old);
}

TEST(ModuleFile, DllBodySplitsAtTheFirstComma) {
    std::string library, function;
    SplitDllBody("CHECK.DLL,RunAudit", library, function);
    EXPECT_EQ(library, "CHECK.DLL");
    EXPECT_EQ(function, "RunAudit");
    SplitDllBody("a,b,c", library, function);
    EXPECT_EQ(library, "a");
    EXPECT_EQ(function, "b,c");
    SplitDllBody("RunAudit", library, function);
    EXPECT_EQ(library, "");
    EXPECT_EQ(function, "RunAudit");
}

TEST(ModuleFile, StateComesFromBitsOneAndTwo) {
    EXPECT_EQ(StateIndexOfFlags(0), 0);
    EXPECT_EQ(StateIndexOfFlags(4), 0);
    EXPECT_EQ(StateIndexOfFlags(2), 1);
    EXPECT_EQ(StateIndexOfFlags(3), 1);
    EXPECT_EQ(StateIndexOfFlags(7), 2);
}

TEST(ModuleFile, FlagsAreRebuiltFromStateAndRequiredAlone) {
    EXPECT_EQ(FlagsOfState(kStateUnfinished, false), 0);
    EXPECT_EQ(FlagsOfState(kStateUnfinished, true), 1);
    EXPECT_EQ(FlagsOfState(kStateTested, false), 2);
    EXPECT_EQ(FlagsOfState(kStatePassed, true), 7);
    for (int state : {kStateUnfinished, kStateTested, kStatePassed})
        EXPECT_EQ(StateIndexOfFlags(FlagsOfState(state, true)), state);
    // Only a module stored as tested is kept from going back to "未完成".
    EXPECT_TRUE(StateUndoesTest(2, kStateUnfinished));
    EXPECT_TRUE(StateUndoesTest(7, kStateUnfinished));
    EXPECT_FALSE(StateUndoesTest(7, kStateTested));
    EXPECT_FALSE(StateUndoesTest(4 | 1, kStateUnfinished));
}

TEST(ModuleFile, ThePageShowsStateDllFieldsAndStamps) {
    TempDir dir;
    ModuleDraft draft = FullModule();
    draft.flags = 1 | 4; // passed without tested: "未完成"
    WriteBytes(dir / "sql.kst", ModuleBytes(draft));
    ModuleRecord record;
    ASSERT_TRUE(LoadModuleFile(record, dir.Path(), "sql.kst"));
    ModuleInfoFields fields = InfoFieldsOfModule(record);
    EXPECT_EQ(fields.title, kFiftyByteTitle);
    EXPECT_EQ(fields.required, 1);
    EXPECT_EQ(fields.state, kStateUnfinished);
    EXPECT_EQ(fields.type, kSqlModule);
    EXPECT_EQ(fields.dllName, "");
    EXPECT_EQ(fields.function, "");
    EXPECT_EQ(fields.description, draft.description);
    EXPECT_EQ(fields.createdStamp, " SA 2024-01-02 03:04:05");
    EXPECT_EQ(fields.modifiedStamp, " SA 2024-01-02 03:04:06");

    record.header.type = kDllModule;
    record.header.flags = 2;
    record.body = "CHECK.DLL,Run,Audit";
    fields = InfoFieldsOfModule(record);
    EXPECT_EQ(fields.type, kDllModule);
    EXPECT_EQ(fields.state, kStateTested);
    EXPECT_EQ(fields.dllName, "CHECK.DLL");
    EXPECT_EQ(fields.function, "Run,Audit");

    // An unknown type opens as an SQL module, its body untouched by the DLL split.
    record.header.type = 7;
    fields = InfoFieldsOfModule(record);
    EXPECT_EQ(fields.type, kSqlModule);
    EXPECT_EQ(fields.function, "");
}

TEST(ModuleFile, StoringThePageRebuildsHeaderAndBody) {
    ModuleRecord record;
    SetFieldText(record.header.creator, "SA");
    record.header.flags = 7;
    record.header.variableCount = 3;
    ModuleInfoFields fields;
    fields.title = std::string(49, 'a') + "\xC9\xF3"; // 51 bytes: cut to 50, never inside a character
    fields.type = kDllModule;
    fields.dllName = "lib,x.so"; // a comma in the name is stored as typed
    fields.function = "Run";
    fields.description = "d\r\n";
    fields.state = kStateTested;
    fields.createdStamp = " not stored";
    StoreInfoFields(record, fields, "SELECT 1");
    EXPECT_EQ(FieldText(record.header.title), std::string(49, 'a'));
    EXPECT_EQ(record.header.flags, 2);
    EXPECT_EQ(record.header.type, kDllModule);
    EXPECT_EQ(record.body, "lib,x.so,Run");
    EXPECT_EQ(record.header.bodyLength, 13);
    EXPECT_EQ(record.description, "d\r\n");
    EXPECT_EQ(record.header.descriptionLength, 4);
    EXPECT_EQ(FieldText(record.header.creator), "SA");
    EXPECT_EQ(record.header.variableCount, 3);
    // Opened again, the library name is split at the comma it holds.
    EXPECT_EQ(InfoFieldsOfModule(record).dllName, "lib");

    fields.type = kSqlModule;
    fields.required = 1;
    fields.state = kStatePassed;
    fields.title = "t";
    StoreInfoFields(record, fields, "SELECT [?:A]");
    EXPECT_EQ(record.body, "SELECT [?:A]");
    EXPECT_EQ(record.header.bodyLength, 13);
    EXPECT_EQ(record.header.flags, 7);
    EXPECT_EQ(FieldText(record.header.title), "t");
    const ModuleInfoFields back = InfoFieldsOfModule(record);
    EXPECT_EQ(back.state, kStatePassed);
    EXPECT_EQ(back.required, 1);
    EXPECT_EQ(back.type, kSqlModule);
}

// Sparse files: the header's lengths are checked against the real size and the limit before
// anything is allocated; a file longer than its header declares is read only that far.
TEST(ModuleFile, SparseFilesAreReadOnlyAsFarAsTheHeaderDeclares) {
    TempDir dir;
    ASSERT_TRUE(WriteSparseModule(dir / "huge.kst", ModuleBytes(ModuleDraft{})));
    ModuleRecord record;
    FileStatus status = LoadModuleFile(record, dir.Path(), "huge.kst");
    ASSERT_EQ(KindOf(status), FileErrorKind::Io);
    EXPECT_EQ(status.error().osError, EFBIG);
    EXPECT_EQ(status.error().Text().rfind("huge.kst: ", 0), 0u) << status.error().Text();
    status = ReadModuleForReport(record, dir.Path(), "huge.kst");
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().osError, EFBIG);

    // The same lengths in a short file: they point past the end, so it is no module at all.
    ASSERT_TRUE(WriteSparseModule(dir / "short.kst", ModuleBytes(ModuleDraft{})));
    ASSERT_EQ(::truncate((dir / "short.kst").c_str(), 160), 0);
    EXPECT_EQ(KindOf(LoadModuleFile(record, dir.Path(), "short.kst")), FileErrorKind::Invalid);

    // A small module followed by gigabytes of holes loads like the small module.
    WriteBytes(dir / "tail.kst", ModuleBytes(FullModule()));
    ASSERT_EQ(::truncate((dir / "tail.kst").c_str(), off_t(8) << 30), 0);
    ASSERT_TRUE(LoadModuleFile(record, dir.Path(), "tail.kst"));
    EXPECT_EQ(record.body, FullModule().body);
    EXPECT_EQ(record.testValues, FullModule().testValues);
    ASSERT_TRUE(ReadModuleFile(record, dir / "tail.kst"));
    EXPECT_EQ(record.description, FullModule().description);
}

TEST(ModuleFile, FileSystemErrorsNameTheFile) {
    TempDir dir;
    ModuleRecord record;
    const FileStatus missing = LoadModuleFile(record, dir.Path(), "none.kst");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().Text(), std::string("none.kst: ") + std::strerror(ENOENT));
    std::filesystem::create_symlink("x.kst", dir / "x.kst");
    const FileStatus looped = LoadModuleFile(record, dir.Path(), "x.kst");
    ASSERT_FALSE(looped);
    EXPECT_EQ(looped.error().Text(), std::string("x.kst: ") + std::strerror(ELOOP));
}

TEST(ModuleFileName, NewNamesEndInTheExtensionWrittenInOneCase) {
    const struct {
        std::string name;
        bool module;     // listed as a module file
        bool acceptable; // may be given to a new module
    } cases[] = {
        {"a.kst", true, true},
        {"A.KST", true, true},
        {"\xC9\xF3\xBC\xC6.kst", true, true}, // 审计.kst
        {".kst", true, true},
        {"a.Kst", true, false}, // listed, but new names have the extension in one case
        {"a b.kst", true, false},
        {"a.kst.bak", false, false},
        {"a.kstx", false, false},
        {"a.KST.kst2", false, false},
        {"akst", false, false},
        {"", false, false},
        {"../a.kst", true, false},
        {std::string("a\0.kst", 6), true, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsModuleFileName(c.name), c.module) << c.name;
        EXPECT_EQ(IsAcceptableModuleFileName(c.name), c.acceptable) << c.name;
    }
}

TEST(ModuleFileName, EveryNameANewModuleMayGetIsListed) {
    TempDir dir;
    const std::vector<std::string> names = {"x.kst",  "Y.KST",     "\xC9\xF3.kst", "z.kst.old",
                                            "w.kstx", "v.KST.bak", "u.Kst"};
    std::vector<std::string> acceptable;
    for (const std::string& name : names) {
        WriteModule(dir.Path(), name, {.groupId = "G"});
        if (IsAcceptableModuleFileName(name))
            acceptable.push_back(name);
    }
    std::vector<std::string> listed;
    ASSERT_TRUE(ListModuleFileNames(dir.Path(), listed));
    for (const std::string& name : acceptable)
        EXPECT_NE(std::find(listed.begin(), listed.end(), name), listed.end()) << name << " would be lost from view";
    for (const std::string& name : listed)
        EXPECT_TRUE(IsModuleFileName(name)) << name;
    EXPECT_EQ(listed.size(), 4u); // the three new names and u.Kst
}
