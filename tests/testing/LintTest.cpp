// The lint and the search over a workspace that holds one of each problem, the error table
// rule, and the lint, grep, export and import commands as programs.
#include "testing/Lint.h"
#include "core/AtomicFile.h"
#include "core/FixedText.h"
#include "repository/ModuleSearch.h"
#include "support/Builders.h"
#include "support/Files.h"
#include "support/Results.h"
#include "support/Text.h"
#include "testing/ErrorTable.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sys/wait.h>
#include <tuple>

namespace kestrel {
namespace {

using testsupport::Gbk;
using testsupport::KindOf;
using testsupport::Row;

TEST(ErrorTable, OnlyAQualifiedNameOutsideCommentsAndLiteralsCounts) {
    for (const std::string_view sql : {
             "DELETE FROM main.KSTError",
             "select * from dbo . ksterror where 1=1",
             "INSERT INTO \"audit\".\"KSTError\" VALUES (1)",
             "INSERT INTO [db].[KSTError] VALUES (1)",
             "INSERT INTO `db`.`kstERROR` VALUES (1)",
             "SELECT 1 FROM db..KSTError",
         })
        EXPECT_NE(FindQualifiedErrorTable(sql), std::string_view::npos) << sql;
    for (const std::string_view sql : {
             "INSERT INTO KSTError VALUES (1, 0, 'x')",
             "INSERT INTO \"KSTError\" VALUES (1)",
             "SELECT * FROM main.KSTErrors",
             "SELECT * FROM main.MyKSTError",
             "-- never main.KSTError\nSELECT 1",
             "/* main.KSTError */ SELECT 1",
             "SELECT 'main.KSTError' FROM KSTError",
             "SELECT t.UserID FROM KSTError t",
         })
        EXPECT_EQ(FindQualifiedErrorTable(sql), std::string_view::npos) << sql;
    EXPECT_EQ(FindQualifiedErrorTable("SELECT 1;\nDELETE FROM x.KSTError"), 24u);
}

class LintWorkspace : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::WriteCatalogue(m_dir / "team.MGP", {{"G1", Gbk("销售")}});
        std::filesystem::copy_file(TEST_MODULES_PATH, m_dir / "libtest_modules.so");
        const VariableRow user = Row("UserID", kImport, kInt, "7");
        Save("clean.kst", "G1", "INSERT INTO KSTError VALUES ([?:UserID], 0, '[?:CURRENT_TIME]')", {user});
        Save("orphan.kst", "G9", "INSERT INTO KSTError VALUES ([?:UserID], 0, '')", {user});
        Save("holes.kst", "G1", "SELECT [?:UserID],\n [?:Nobody],\n [?:Note]", {user, Row("Note", kReport, kChar, "")});
        Save("unused.kst", "G1", "SELECT [?:UserID]", {user, Row(Gbk("闲置"), kConfig, kInt, "1")});
        Save("ranges.kst", "G1", "SELECT [?:UserID] [?:B] [?:S] [?:D] [?:C]",
             {user, Row("B", kImport, kByte, "300"), Row("S", kImport, kShort, "12abc"),
              Row("D", kImport, kDouble, "1.5e3"), Row("C", kImport, kChar, "too long", 4)});
        Save("twice.kst", "G1", "SELECT [?:UserID]", {user, Row("UserID", kImport, kInt, "8")});
        Save("qualified.kst", "G1", "DELETE FROM x.y;\nINSERT INTO main.KSTError VALUES ([?:UserID], 0, '')", {user});
        SaveDll("dll_ok.kst", "./libtest_modules.so,ReturnFive");
        SaveDll("dll_nolib.kst", "./missing.so,ReturnFive");
        SaveDll("dll_nofunction.kst", "./libtest_modules.so,NoSuchFunction");
        SaveDll("dll_system.kst", "libc.so.6,printf");
        testsupport::WriteBytes(m_dir / "junk.kst", "not a module at all");
        Save("refused.Kst", "G1", "SELECT [?:UserID]", {user});
    }

    void Save(const std::string& fileName, const std::string& group, const std::string& sql,
              const std::vector<VariableRow>& rows) {
        ModuleRecord record = testsupport::SqlRecord(sql);
        SetFieldText(record.header.groupId, group);
        SetFieldText(record.header.title, "T " + fileName);
        StoreRowsInModule(record, rows);
        record.fileName = fileName;
        ASSERT_TRUE(SaveModuleFile(record, "SA", m_dir.Path()));
    }
    void SaveDll(const std::string& fileName, const std::string& body) {
        ModuleRecord record = testsupport::SqlRecord(body);
        record.header.type = kDllModule;
        SetFieldText(record.header.groupId, "G1");
        StoreRowsInModule(record, {Row("Amount", kImport, kInt, "5")});
        record.fileName = fileName;
        ASSERT_TRUE(SaveModuleFile(record, "SA", m_dir.Path()));
    }

    testsupport::TempDir m_dir;
};

TEST_F(LintWorkspace, EachProblemIsFoundOnceWithItsFileLineAndLevel) {
    std::vector<LintFinding> findings;
    ASSERT_TRUE(LintCatalogue(m_dir / "team.MGP", findings));
    using Found = std::tuple<std::string, int, LintLevel, std::string>;
    std::multiset<Found> got;
    for (const LintFinding& finding : findings) {
        // The message's first words after the quoted name identify the rule.
        got.insert({finding.fileName, finding.line, finding.level, finding.message.substr(0, 24)});
    }
    const auto E = LintLevel::Error;
    const auto W = LintLevel::Warning;
    const std::multiset<Found> expected = {
        {"dll_nofunction.kst", 0, E, "library \"./libtest_modul"},
        {"dll_nolib.kst", 0, E, "library \"./missing.so\" ca"},
        {"holes.kst", 2, E, "placeholder \"[?:Nobody]\" "},
        {"holes.kst", 3, E, "placeholder \"[?:Note]\" is "},
        {"junk.kst", 0, E, "not a module file; the ca"},
        {"orphan.kst", 0, W, "group \"G9\" is not in the "},
        {"qualified.kst", 2, E, "the error table is named "},
        {"ranges.kst", 0, E, "test value \"300\" of \"B\" l"},
        {"ranges.kst", 0, E, "test value \"12abc\" of \"S\""},
        {"ranges.kst", 0, E, "test value \"too long\" of "},
        {"refused.Kst", 0, W, "the tool would refuse thi"},
        {"twice.kst", 0, E, "variable \"UserID\" is defi"},
        {"unused.kst", 0, W, "variable \"闲置\" is used by "},
    };
    std::multiset<Found> expectedCut;
    for (const auto& [file, line, level, text] : expected)
        expectedCut.insert({file, line, level, text.substr(0, 24)});
    EXPECT_EQ(got, expectedCut);
}

std::vector<SearchHit> Search(const std::filesystem::path& catalogue, SearchOptions options) {
    GroupCatalogue loaded;
    EXPECT_TRUE(LoadCatalogue(loaded, catalogue));
    std::vector<SearchHit> hits;
    EXPECT_TRUE(SearchModules(loaded, options, hits));
    return hits;
}

TEST_F(LintWorkspace, SearchFindsEveryFieldByLineAndKeepsToTheCatalogueGroups) {
    // "Note" is a variable of holes.kst and its SQL's third line; orphan.kst's group is unknown.
    auto hits = Search(m_dir / "team.MGP", {.pattern = "Note"});
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[0].fileName, "holes.kst");
    EXPECT_EQ(hits[0].field, SearchField::Sql);
    EXPECT_EQ(hits[0].line, 3);
    EXPECT_EQ(hits[0].text, " [?:Note]");
    EXPECT_EQ(hits[1].field, SearchField::VariableName);

    EXPECT_TRUE(Search(m_dir / "team.MGP", {.pattern = "note"}).empty());
    EXPECT_EQ(Search(m_dir / "team.MGP", {.pattern = "note", .ignoreCase = true}).size(), 2u);
    hits = Search(m_dir / "team.MGP", {.pattern = "^300$", .regex = true});
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].field, SearchField::TestValue);
    EXPECT_EQ(hits[0].variable, "B");
    // Titles, and the group filter; a DLL module's body is no SQL.
    EXPECT_EQ(Search(m_dir / "team.MGP", {.pattern = "T orphan"}).size(), 0u);
    EXPECT_TRUE(Search(m_dir / "team.MGP", {.pattern = "ReturnFive"}).empty());
    hits = Search(m_dir / "team.MGP", {.pattern = "闲置"});
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].text, "闲置");

    GroupCatalogue catalogue;
    ASSERT_TRUE(LoadCatalogue(catalogue, m_dir / "team.MGP"));
    std::vector<SearchHit> none;
    EXPECT_EQ(KindOf(SearchModules(catalogue, {.pattern = "(", .regex = true}, none)), FileErrorKind::Invalid);
    EXPECT_EQ(KindOf(SearchModules(catalogue, {.pattern = "x", .hasGroup = true, .group = "G9"}, none)),
              FileErrorKind::Invalid);
}

// --- the commands ----------------------------------------------------------------------------

using ToolRun = testsupport::CommandRun;

ToolRun Tool(const std::string& arguments) {
    return testsupport::RunCommandLine("'" KESTREL_TOOL_PATH "' " + arguments + " 2>&1");
}

TEST_F(LintWorkspace, CommandsExitByWhatTheyFound) {
    const std::string catalogue = "'" + (m_dir / "team.MGP").string() + "'";
    ToolRun lint = Tool("lint " + catalogue);
    EXPECT_EQ(lint.exitCode, 2);
    EXPECT_NE(lint.out.find((m_dir / "holes.kst").string() + ":2: error: placeholder \"[?:Nobody]\""),
              std::string::npos)
        << lint.out;

    ToolRun grep = Tool("grep -i NOTE " + catalogue);
    EXPECT_EQ(grep.exitCode, 0);
    EXPECT_EQ(grep.out, (m_dir / "holes.kst").string() + ":3:  [?:Note]\n" + (m_dir / "holes.kst").string() +
                            ":0: variable: Note\n");
    EXPECT_EQ(Tool("grep nothing-like-this " + catalogue).exitCode, 1);
    EXPECT_EQ(Tool("grep x " + catalogue + " --group NOPE").exitCode, 2);
    EXPECT_EQ(Tool("grep " + catalogue).exitCode, 64);

    // A workspace with warnings only, then a clean one.
    for (const char* name :
         {"junk.kst", "holes.kst", "ranges.kst", "twice.kst", "qualified.kst", "dll_nolib.kst", "dll_nofunction.kst"})
        std::filesystem::remove(m_dir / name);
    EXPECT_EQ(Tool("lint " + catalogue).exitCode, 1);
    for (const char* name : {"orphan.kst", "unused.kst", "refused.Kst"})
        std::filesystem::remove(m_dir / name);
    lint = Tool("lint " + catalogue);
    EXPECT_EQ(lint.exitCode, 0) << lint.out;
    EXPECT_EQ(lint.out, "");

    // Export, a text edit that does not fit, import refused with file and line.
    const std::string text = "'" + (m_dir / "text").string() + "'";
    EXPECT_EQ(Tool("export " + catalogue + " " + text).exitCode, 0);
    std::string fields = testsupport::ReadBytes(m_dir / "text" / "modules" / "clean.kst.toml");
    fields.replace(0, fields.find('\n'), "title = \"" + std::string(51, 'x') + "\"");
    testsupport::WriteBytes(m_dir / "text" / "modules" / "clean.kst.toml", fields);
    const std::string before = testsupport::ReadBytes(m_dir / "clean.kst");
    ToolRun import = Tool("import " + text + " " + catalogue);
    EXPECT_EQ(import.exitCode, 2);
    EXPECT_NE(import.out.find("modules/clean.kst.toml:1: error: \"title\" is 51 bytes"), std::string::npos)
        << import.out;
    EXPECT_EQ(testsupport::ReadBytes(m_dir / "clean.kst"), before);
}

// The team commands name the file and the system's error when a file fails them, and an
// import that works says how many modules it wrote, byte for byte what export read.
TEST_F(LintWorkspace, TeamCommandsNameTheFileThatFailedThem) {
    const std::string catalogue = "'" + (m_dir / "team.MGP").string() + "'";
    const std::string missing = "'" + (m_dir / "gone.MGP").string() + "'";
    testsupport::WriteBytes(m_dir / "notes.MGP", "not a catalogue");
    const std::string notCatalogue = "'" + (m_dir / "notes.MGP").string() + "'";
    for (const char* empty : {"lint ''", "export '' x", "import x ''"})
        EXPECT_EQ(Tool(empty).exitCode, 64) << empty;

    ToolRun run = Tool("lint " + missing);
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_NE(run.out.find("gone.MGP: No such file or directory"), std::string::npos) << run.out;
    run = Tool("lint " + notCatalogue);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.out.find("notes.MGP: not a catalogue file"), std::string::npos) << run.out;
    run = Tool("export " + missing + " '" + (m_dir / "t").string() + "'");
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_NE(run.out.find("gone.MGP: No such file or directory"), std::string::npos) << run.out;
    run = Tool("export " + notCatalogue + " '" + (m_dir / "t").string() + "'");
    EXPECT_EQ(run.exitCode, 2) << run.out;

    run = Tool("import '" + (m_dir / "nothing").string() + "' " + catalogue);
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_NE(run.out.find((m_dir / "nothing" / "catalogue.toml").string() + ": No such file or directory"),
              std::string::npos)
        << run.out;

    const std::string text = "'" + (m_dir / "text").string() + "'";
    std::filesystem::remove(m_dir / "refused.Kst"); // exported, but no name import accepts
    ASSERT_EQ(Tool("export " + catalogue + " " + text).exitCode, 0);
    // Into a folder under a file: nothing written, the message names the folder.
    run = Tool("import " + text + " '" + (m_dir / "notes.MGP" / "team.MGP").string() + "'");
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_NE(run.out.find("notes.MGP: Not a directory"), std::string::npos) << run.out;

    std::filesystem::create_directories(m_dir / "back");
    run = Tool("import " + text + " '" + (m_dir / "back" / "team.MGP").string() + "'");
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_NE(run.out.find(" modules imported"), std::string::npos) << run.out;
    EXPECT_EQ(testsupport::ReadBytes(m_dir / "back" / "team.MGP"), testsupport::ReadBytes(m_dir / "team.MGP"));
    EXPECT_EQ(testsupport::ReadBytes(m_dir / "back" / "clean.kst"), testsupport::ReadBytes(m_dir / "clean.kst"));
}

} // namespace
} // namespace kestrel
