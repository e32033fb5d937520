// The text form: stored bytes -> text -> the same bytes, refusals with file and line, and the
// folder-level export and import on the demo workspace.
#include "repository/TextForm.h"

#include "core/FixedText.h"
#include "support/Builders.h"
#include "support/Files.h"
#include "support/Results.h"
#include "support/Text.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace kestrel;
using namespace kestrel::testsupport;

namespace {

// What import makes of what export wrote for these module bytes.
std::string ModuleRoundTrip(const std::string& bytes) {
    ModuleRecord record;
    EXPECT_TRUE(ParseModuleBytes(record, bytes));
    const ModuleText text = ModuleToText(record);
    ModuleRecord back;
    std::vector<TextFinding> findings;
    EXPECT_TRUE(ModuleFromText(text.fields, text.sql, "m.toml", "m.sql", back, findings))
        << text.fields << (findings.empty() ? "" : findings[0].message);
    return SerializeModule(back);
}

std::vector<TextFinding> ModuleFindings(const std::string& fields, const std::optional<std::string>& sql = {}) {
    ModuleRecord record;
    std::vector<TextFinding> findings;
    EXPECT_FALSE(ModuleFromText(fields, sql, "m.toml", "m.sql", record, findings));
    return findings;
}

std::string Serialized(ModuleRecord record) {
    record.header.bodyLength = static_cast<int32_t>(record.body.size() + 1);
    return SerializeModule(record);
}

TEST(TextForm, ModulesComeBackByteForByte) {
    std::vector<std::string> files;

    ModuleRecord sql = SqlRecord("SELECT *\r\nFROM t -- \"quoted\" \\ back\tslash\r\nWHERE a = '[?:A]'\r\n");
    SetFieldText(sql.header.title, Gbk("销售收入核对"));
    SetFieldText(sql.header.groupId, "XS");
    sql.header.flags = FlagsOfState(kStatePassed, true);
    sql.description = Gbk("第一行\r\n\r\n\"第三行\" & \x01 控制字符\n");
    AddVariable(sql, "A", kImport, kChar, 20, Gbk("备注"), Gbk("值 1"));
    AddVariable(sql, Gbk("金额"), kConfig, kDouble, 8, "", "3.5");
    AddVariable(sql, "R", kReport, kInt, 4, "[?:A]-x", "");
    AddVariable(sql, "unset", 255, 255, -1);
    files.push_back(Serialized(sql));

    files.push_back(Serialized(SqlRecord("")));                      // empty everything
    files.push_back(Serialized(SqlRecord("\nleading line feed\n"))); // a text that begins with a line feed
    files.push_back(Serialized(DllRecord("./lib,x.so", "Fn")));      // second comma stays in the function
    ModuleRecord noComma = DllRecord("", "");
    noComma.body = "OnlyAFunction";
    files.push_back(Serialized(noComma));

    // Files of other programs: bits the sheet never writes, an unknown type, lists that do not
    // follow the variables, bytes that are no GBK.
    ModuleRecord odd = SqlRecord(std::string("SELECT '\xff\x80\x81'"));
    odd.header.flags = kFlagPassed | 8;
    odd.header.type = 7;
    SetFieldText(odd.header.title, std::string("bad \xff title"));
    AddVariable(odd, "X", kImport, kInt, 4, "", "1");
    AddVariable(odd, "X", kImport, kInt, 4, "", "2"); // duplicate name: both values sit on one line
    odd.remarks = "nobody,x\nX,no line feed";
    files.push_back(Serialized(odd));

    ModuleRecord full = SqlRecord("SELECT 1");
    for (int i = 0; i < kMaxVariables; ++i)
        AddVariable(full, "V" + std::to_string(i), i % 3, i % 5, i, i % 2 ? "r" : "", "t" + std::to_string(i));
    files.push_back(Serialized(full));

    for (const std::string& bytes : files)
        EXPECT_EQ(ModuleRoundTrip(bytes), bytes);

    // Another program's file with bytes after the texts' ends: it comes back as the tool writes
    // it, so what the tool reads from it (and show prints) is the same.
    const std::string foreign = ModuleBytes({.groupId = std::string("G1\0junk", 7),
                                             .title = std::string("t\0hidden", 8),
                                             .body = "SELECT 1",
                                             .variables = {{.name = std::string("V\0x", 3), .length = 4}},
                                             .testValues = "V,1\n"});
    ModuleRecord parsed;
    ASSERT_TRUE(ParseModuleBytes(parsed, foreign));
    EXPECT_NE(SerializeModule(parsed), foreign);
    EXPECT_EQ(ModuleRoundTrip(foreign), SerializeModule(parsed));
}

TEST(TextForm, ForeignBytesTravelAsHexAndPlainTextStaysReadable) {
    ModuleRecord record = SqlRecord(std::string("SELECT '\xff'"));
    SetFieldText(record.header.title, Gbk("标题"));
    const ModuleText text = ModuleToText(record);
    EXPECT_FALSE(text.sql); // the SQL has no UTF-8 form, so no .sql file
    EXPECT_NE(text.fields.find("sql = { hex = \"53454c4543542027ff27\" }"), std::string::npos) << text.fields;
    EXPECT_NE(text.fields.find("title = \"标题\""), std::string::npos);
}

TEST(TextForm, CataloguesComeBackByteForByte) {
    std::vector<std::string> tables = {
        "",
        Gbk("&XS=第一步\r\n第二步 R&&D&CG=&old=stale entry&xs=case twin&KONG=ends with &&"),
        "garbage before&A=x", // no clean run of entries: travels whole
        "&A=x&",              // a lone ampersand at the end
        "&noequals&B=y",
        "&A&&B=x&C=y", // an identifier holding an ampersand
    };
    for (const std::string& flow : tables) {
        GroupCatalogue catalogue;
        catalogue.Reset("c.MGP");
        GroupRecord group{};
        SetFieldText(group.identifier, "XS");
        SetFieldText(group.name, Gbk("销售审计"));
        catalogue.AppendGroup(group);
        SetFieldText(group.identifier, "xs");
        catalogue.AppendGroup(group);
        catalogue.flowTable = flow;
        const std::string bytes = SerializeCatalogue(catalogue);
        GroupCatalogue back;
        std::vector<TextFinding> findings;
        ASSERT_TRUE(CatalogueFromText(CatalogueToText(catalogue), "c.toml", back, findings))
            << CatalogueToText(catalogue);
        EXPECT_EQ(SerializeCatalogue(back), bytes) << flow;
    }
}

TEST(TextForm, RefusalsNameTheFileAndLine) {
    const std::string head = "title = \"t\"\ngroup = \"G\"\ntype = \"SQL\"\nrequired = false\nstate = \"测试\"\n"
                             "created = \"\"\ncreator = \"\"\nmodified = \"\"\nmodifier = \"\"\ndescription = \"\"\n";
    {
        ModuleRecord record;
        std::vector<TextFinding> findings;
        EXPECT_TRUE(ModuleFromText(head, std::string("SELECT 1"), "m.toml", "m.sql", record, findings));
        EXPECT_EQ(record.body, "SELECT 1");
        EXPECT_EQ(record.header.flags, kFlagTested);
    }
    auto expectOne = [](const std::vector<TextFinding>& findings, const std::string& file, int line,
                        const std::string& part) {
        ASSERT_EQ(findings.size(), 1u) << findings[0].message;
        EXPECT_EQ(findings[0].file, file);
        EXPECT_EQ(findings[0].line, line);
        EXPECT_NE(findings[0].message.find(part), std::string::npos) << findings[0].message;
    };
    // 26 Chinese characters are 52 bytes in GBK.
    std::string tooLong = head;
    tooLong.replace(0, 11, "title = \"一二三四五六七八九十一二三四五六七八九十一二三四五六\"");
    expectOne(ModuleFindings(tooLong, std::string()), "m.toml", 1, "52 bytes");
    expectOne(ModuleFindings(head + "description2 = 1\n", std::string()), "m.toml", 11, "unknown key");
    std::string emoji = head;
    emoji.replace(emoji.find("description = \"\""), 16, "description = \"ok 😀\"");
    expectOne(ModuleFindings(emoji, std::string()), "m.toml", 10, "outside GBK");
    expectOne(ModuleFindings(head, std::string("SELECT 1\nWHERE x = '😀'\n")), "m.sql", 2, "outside GBK");
    expectOne(ModuleFindings(head), "m.toml", 0, "needs its SQL file");
    std::string variables = head;
    for (int i = 0; i <= kMaxVariables; ++i)
        variables += "[[variable]]\nname = \"v\"\nattribute = \"Import\"\ntype = \"int\"\nlength = 4\n"
                     "test_value = \"\"\nremark = \"\"\n";
    expectOne(ModuleFindings(variables, std::string()), "m.toml", 11 + kMaxVariables * 7, "more than 100");
    expectOne(ModuleFindings(head + "[[variable]]\nname = \"v\"\nattribute = \"Export\"\ntype = \"int\"\n"
                                    "length = 4\ntest_value = \"\"\nremark = \"\"\n",
                             std::string()),
              "m.toml", 13, "one of Import");
    expectOne(ModuleFindings("title = \"unclosed\n"), "m.toml", 1, "");
}

// --- folders ------------------------------------------------------------------------------

std::vector<std::filesystem::path> FilesUnder(const std::filesystem::path& root) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            files.push_back(std::filesystem::relative(entry.path(), root));
    std::sort(files.begin(), files.end());
    return files;
}

TEST(TextForm, DemoWorkspaceExportsStablyAndImportsToTheSameBytes) {
    TempDir dir;
    const auto demo = dir / "demo";
    ASSERT_EQ(std::system(("'" KESTREL_MAKE_DEMO_PATH "' '" + demo.string() + "' >/dev/null").c_str()), 0);
    int modules = 0;
    ASSERT_TRUE(ExportTextForm(demo / "demo.MGP", dir / "text", modules));
    EXPECT_GT(modules, 5);
    ASSERT_TRUE(ExportTextForm(demo / "demo.MGP", dir / "again", modules));
    const auto textFiles = FilesUnder(dir / "text");
    ASSERT_EQ(textFiles, FilesUnder(dir / "again"));
    for (const auto& file : textFiles)
        EXPECT_EQ(ReadBytes(dir / "text" / file), ReadBytes(dir / "again" / file)) << file;

    std::vector<TextFinding> findings;
    ASSERT_TRUE(ImportTextForm(dir / "text", dir / "back" / "demo.MGP", findings, modules));
    EXPECT_EQ(modules, std::count_if(textFiles.begin(), textFiles.end(), [](const auto& file) {
                           return file.extension() == ".toml";
                       }) - 1);
    for (const auto& file : FilesUnder(dir / "back"))
        EXPECT_EQ(ReadBytes(dir / "back" / file), ReadBytes(demo / file)) << file;
    EXPECT_EQ(FilesUnder(dir / "back").size(), static_cast<std::size_t>(modules) + 1);

    // A module removed from the workspace leaves the text form at the next export.
    std::filesystem::remove(demo / "xs001.kst");
    ASSERT_TRUE(ExportTextForm(demo / "demo.MGP", dir / "text", modules));
    EXPECT_FALSE(std::filesystem::exists(dir / "text" / "modules" / "xs001.kst.toml"));
    EXPECT_FALSE(std::filesystem::exists(dir / "text" / "modules" / "xs001.kst.sql"));
}

// Editors on Windows save UTF-8 with a byte-order mark: it is dropped from every text file,
// and the import gives the same bytes as without it.
TEST(TextForm, ImportDropsAByteOrderMark) {
    TempDir dir;
    WriteModule(dir.Path(), "a.kst", ModuleDraft{.groupId = "G1", .body = "SELECT 1"});
    WriteCatalogue(dir / "c.MGP", {{"G1", "one"}});
    int modules = 0;
    ASSERT_TRUE(ExportTextForm(dir / "c.MGP", dir / "text", modules));
    const std::string bom = "\xEF\xBB\xBF";
    for (const auto* file : {"catalogue.toml", "modules/a.kst.toml", "modules/a.kst.sql"})
        WriteBytes(dir / "text" / file, bom + ReadBytes(dir / "text" / file));
    std::vector<TextFinding> findings;
    ASSERT_TRUE(ImportTextForm(dir / "text", dir / "back" / "c.MGP", findings, modules)) << findings.size();
    EXPECT_EQ(ReadBytes(dir / "back" / "a.kst"), ReadBytes(dir / "a.kst"));
    EXPECT_EQ(ReadBytes(dir / "back" / "c.MGP"), ReadBytes(dir / "c.MGP"));
    // Only at the start: a mark inside the SQL is a character outside GBK as before.
    WriteBytes(dir / "text" / "modules" / "a.kst.sql", "SELECT 1" + bom);
    EXPECT_FALSE(ImportTextForm(dir / "text", dir / "back" / "c.MGP", findings, modules));
}

TEST(TextForm, ImportWritesNothingUnlessEveryFileIsValid) {
    TempDir dir;
    WriteModule(dir.Path(), "a.kst", ModuleDraft{.groupId = "G1", .body = "SELECT 1"});
    WriteModule(dir.Path(), "b.kst", ModuleDraft{.groupId = "G1", .body = "SELECT 2"});
    WriteCatalogue(dir / "c.MGP", {{"G1", "one"}});
    int modules = 0;
    ASSERT_TRUE(ExportTextForm(dir / "c.MGP", dir / "text", modules));
    ASSERT_EQ(modules, 2);
    WriteBytes(dir / "text" / "modules" / "b.kst.sql", "SELECT '😀'");
    WriteBytes(dir / "text" / "modules" / "no-extension.toml", "");

    const std::string before = ReadBytes(dir / "a.kst");
    WriteBytes(dir / "text" / "modules" / "a.kst.sql", "SELECT 'changed'");
    std::vector<TextFinding> findings;
    const FileStatus imported = ImportTextForm(dir / "text", dir / "c.MGP", findings, modules);
    EXPECT_EQ(KindOf(imported), FileErrorKind::Invalid);
    ASSERT_EQ(findings.size(), 2u);
    EXPECT_EQ(findings[0].file, "modules/b.kst.sql");
    EXPECT_EQ(findings[1].file, "modules/no-extension.toml");
    EXPECT_EQ(ReadBytes(dir / "a.kst"), before); // the valid module was not written either
}

} // namespace
