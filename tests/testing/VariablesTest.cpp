// Variables, their text forms and the placeholder pass, as the SQL and DLL tests receive them.
#include "testing/Variables.h"
#include "repository/ModuleFile.h"
#include "testing/Placeholders.h"

#include "support/Builders.h"
#include "support/Clock.h"
#include "support/Text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <tuple>
#include <vector>

namespace kestrel {
namespace {

using testsupport::Gbk;
using testsupport::Row;

// The value of a single Import variable of the given type, in its text form.
std::string ValueOf(int type, const std::string& testValue, int32_t length = 32) {
    TestVariableTable table;
    const FillResult fill = FillTestVariables(table, {Row("V", kImport, type, testValue, length)});
    EXPECT_TRUE(fill) << fill.error().text;
    return FormatVariableValue("V", table);
}

TEST(VariablesTest, NumbersAreReadAndWrittenAsTheTypeHoldsThem) {
    EXPECT_EQ(ValueOf(kByte, "300"), "44");
    EXPECT_EQ(ValueOf(kByte, "-1"), "255");
    EXPECT_EQ(ValueOf(kShort, "70000"), "4464");
    EXPECT_EQ(ValueOf(kShort, "-2"), "-2");
    EXPECT_EQ(ValueOf(kInt, " 12abc"), "12");
    EXPECT_EQ(ValueOf(kInt, "-2147483648"), "-2147483648");
    EXPECT_EQ(ValueOf(kInt, "4294967297"), "1"); // low 32 bits
    EXPECT_EQ(ValueOf(kDouble, "3.14159"), "3.14");
    EXPECT_EQ(ValueOf(kDouble, "2"), "2.00");
    EXPECT_EQ(ValueOf(kDouble, " -2.675e1x"), "-26.75");
    EXPECT_EQ(ValueOf(kDouble, "1e300").size(), 304u);
    for (int type : {kByte, kShort, kInt})
        EXPECT_EQ(ValueOf(type, ""), "0");
    EXPECT_EQ(ValueOf(kDouble, ""), "0.00");
    EXPECT_EQ(ValueOf(kDouble, "abc"), "0.00");
    EXPECT_EQ(ValueOf(kChar, ""), "");
    EXPECT_EQ(ValueOf(kChar, Gbk("中文 text")), Gbk("中文 text"));
}

TEST(VariablesTest, TableEntriesHoldTheValuesAtTheirOffsets) {
    TestVariableTable table;
    ASSERT_TRUE(FillTestVariables(table, {Row("B", kImport, kByte, "7"), Row("S", kConfig, kShort, "-3"),
                                          Row("I", kImport, kInt, "100000"), Row("D", kImport, kDouble, "0.5"),
                                          Row("C", kImport, kChar, "abc", 20)}));
    ASSERT_EQ(table.Count(), 5);
    const auto* bytes = reinterpret_cast<const unsigned char*>(table.Entries());
    EXPECT_STREQ(reinterpret_cast<const char*>(bytes), "B");
    EXPECT_EQ(bytes[41], kImport);
    EXPECT_EQ(bytes[42], kByte);
    EXPECT_EQ(bytes[48], 7);
    EXPECT_EQ(bytes[64 + 41], kConfig);
    int16_t s;
    std::memcpy(&s, bytes + 64 + 48, 2);
    EXPECT_EQ(s, -3);
    int32_t i;
    std::memcpy(&i, bytes + 128 + 48, 4);
    EXPECT_EQ(i, 100000);
    double d;
    std::memcpy(&d, bytes + 192 + 48, 8);
    EXPECT_EQ(d, 0.5);
    const char* text;
    std::memcpy(&text, bytes + 256 + 48, sizeof text);
    int32_t length;
    std::memcpy(&length, bytes + 256 + 56, 4);
    EXPECT_EQ(length, 20);
    EXPECT_STREQ(text, "abc");

    table.Release();
    EXPECT_EQ(table.Count(), 0);
}

TEST(VariablesTest, SubstitutionReplacesEveryPlaceholderInOnePass) {
    TestVariableTable table;
    ASSERT_TRUE(FillTestVariables(table, {Row("UserID", kImport, kInt, "42"), Row("A", kImport, kChar, "x", 8),
                                          Row("B", kConfig, kInt, "2"), Row("Tricky", kImport, kChar, "[?:A]", 8)}));
    const std::string sql = "DELETE FROM T WHERE ID=[?:UserID]";
    EXPECT_TRUE(CheckPlaceholders(sql, table));
    EXPECT_EQ(SubstitutePlaceholders(sql, table), "DELETE FROM T WHERE ID=42");
    EXPECT_EQ(SubstitutePlaceholders("[?:A][?:B]", table), "x2");
    EXPECT_EQ(SubstitutePlaceholders("x]y [?x] [?:A]]", table), "x]y [?x] x]");
    // Inserted values are not scanned again.
    EXPECT_EQ(SubstitutePlaceholders("<[?:Tricky]>", table), "<[?:A]>");
    EXPECT_TRUE(CheckPlaceholders("no placeholder at all", table));
    EXPECT_FALSE(CheckPlaceholders("[?:Missing]", table));
    EXPECT_FALSE(CheckPlaceholders("[?:a]", table)); // names are compared with their case
    EXPECT_EQ(SubstitutePlaceholders("[?:Missing]!", table), "!");
}

TEST(VariablesTest, UnterminatedPlaceholderFailsTheCheckAndIsCopiedUnchanged) {
    TestVariableTable table;
    ASSERT_TRUE(FillTestVariables(table, {Row("A", kImport, kInt, "1")}));
    EXPECT_FALSE(CheckPlaceholders("a[?:A]b[?:A", table));
    EXPECT_EQ(SubstitutePlaceholders("a[?:A]b[?:A", table), "a1b[?:A");
    EXPECT_EQ(SubstitutePlaceholders("[?:", table), "[?:");
    EXPECT_EQ(SubstitutePlaceholders("[?", table), "[?");
}

TEST(VariablesTest, CurrentTimeIsTheTimeOfDayAndOnlyInCapitals) {
    TestVariableTable table;
    EXPECT_TRUE(CheckPlaceholders("[?:CURRENT_TIME]", table));
    EXPECT_TRUE(std::regex_match(SubstitutePlaceholders("at [?:CURRENT_TIME].", table),
                                 std::regex(R"(at ([01]\d|2[0-3]):[0-5]\d:[0-5]\d\.)")));
    {
        testsupport::FixedClock clock("2024-05-06 07:08:09");
        EXPECT_EQ(SubstitutePlaceholders("[?:CURRENT_TIME]-[?:CURRENT_TIME]", table), "07:08:09-07:08:09");
        // Every substitution reads the clock anew.
        clock.Set("2024-05-06 23:59:59");
        EXPECT_EQ(SubstitutePlaceholders("at [?:CURRENT_TIME].", table), "at 23:59:59.");
    }
    EXPECT_FALSE(CheckPlaceholders("[?:current_time]", table));
    // A variable cannot take the reserved name's place.
    ASSERT_TRUE(FillTestVariables(table, {Row("CURRENT_TIME", kImport, kInt, "5")}));
    EXPECT_NE(SubstitutePlaceholders("[?:CURRENT_TIME]", table), "5");
}

TEST(VariablesTest, TheLastOfSeveralEqualNamesDecides) {
    TestVariableTable table;
    ASSERT_TRUE(FillTestVariables(table, {Row("A", kImport, kInt, "1"), Row("A", kImport, kInt, "2"),
                                          Row("A", kImport, 9, "3")})); // no type chosen: leaves it
    EXPECT_EQ(FormatVariableValue("A", table), "2");
    EXPECT_EQ(SubstitutePlaceholders("[?:A]", table), "2");

    // The same with a table large enough to be looked up through an index.
    std::vector<VariableRow> rows;
    for (int i = 0; i < 50; ++i)
        rows.push_back(Row("N" + std::to_string(i), kImport, kInt, std::to_string(i)));
    rows.push_back(Row("N7", kConfig, kChar, "late", 8));
    rows.push_back(Row("N8", kImport, 9, "ignored"));
    rows.push_back(Row("R", kReport, kChar, "", 8, "x"));
    ASSERT_TRUE(FillTestVariables(table, rows));
    EXPECT_EQ(SubstitutePlaceholders("[?:N3]-[?:N7]-[?:N8]-[?:N49]", table), "3-late-8-49");
    EXPECT_TRUE(CheckPlaceholders("[?:N8]", table));
    EXPECT_FALSE(CheckPlaceholders("[?:R]", table)); // Report variables cannot be named
    EXPECT_FALSE(CheckPlaceholders("[?:N50]", table));
}

TEST(VariablesTest, EmptyNameAndUnchosenAttribute) {
    TestVariableTable table;
    ASSERT_TRUE(FillTestVariables(table, {Row("", kImport, kInt, "9"), Row("U", 255, kInt, "4")}));
    EXPECT_EQ(SubstitutePlaceholders("[[?:]]", table), "[9]");
    // A row whose attribute has no selection gets no test value and cannot be named.
    EXPECT_FALSE(CheckPlaceholders("[?:U]", table));
    int32_t value;
    std::memcpy(&value, &table.Entries()[1].value, 4);
    EXPECT_EQ(value, 0);
}

TEST(VariablesTest, ReportVariablesHoldTheExpansionOfTheirRemark) {
    TestVariableTable table;
    const FillResult fill =
        FillTestVariables(table, {Row("Title", kReport, kChar, "", 40, "Run [?:CURRENT_TIME] for [?:Unit]"),
                                  Row("Unit", kImport, kInt, "12")});
    ASSERT_TRUE(fill) << fill.error().text;
    EXPECT_TRUE(std::regex_match(table.Entries()[0].value.text, std::regex(R"(Run \d\d:\d\d:\d\d for 12)")));

    const FillResult bad = FillTestVariables(
        table, {Row("A", kReport, kChar, "", 40, "x"), Row("B", kReport, kChar, "", 40, "see [?:A]")});
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().text, Gbk("报表变量错：") + "B");
    EXPECT_EQ(bad.error().caption, Gbk("错误"));
    EXPECT_EQ(table.Count(), 0);
}

TEST(VariablesTest, BuffersThatAreTooSmallStopTheRun) {
    const std::string shortOfRoom = Gbk("变量长度不足：");
    struct Case {
        const char* what;
        VariableRow row;
        bool ok;
    };
    const Case cases[] = {
        {"fits with its zero", Row("C", kImport, kChar, "abc", 4), true},
        {"one byte too long", Row("C", kImport, kChar, "abcd", 4), false},
        {"Chinese counts two bytes", Row("C", kImport, kChar, Gbk("中文"), 4), false},
        {"zero length", Row("C", kImport, kChar, "", 0), false},
        {"negative length", Row("C", kConfig, kChar, "", -5), false},
        {"Report of type int", Row("C", kReport, kInt, "", 10, "x"), false},
        {"Report expansion too long", Row("C", kReport, kChar, "", 3, "abc"), false},
        {"Report expansion fits", Row("C", kReport, kChar, "", 4, "abc"), true},
    };
    for (const Case& c : cases) {
        TestVariableTable table;
        const FillResult fill = FillTestVariables(table, {Row("X", kImport, kInt, "1"), c.row});
        EXPECT_EQ(static_cast<bool>(fill), c.ok) << c.what;
        if (!c.ok && !fill) {
            EXPECT_EQ(fill.error().text, shortOfRoom + "C") << c.what;
            EXPECT_EQ(fill.error().caption, Gbk("错误"));
            EXPECT_EQ(table.Count(), 0) << c.what;
        }
    }
}

TEST(VariablesTest, MoreThan2000RowsAreRefused) {
    TestVariableTable table;
    std::vector<VariableRow> rows(2000, Row("N", kImport, kChar, "ab", 3));
    ASSERT_TRUE(FillTestVariables(table, rows));
    EXPECT_EQ(table.Count(), 2000);
    rows.push_back(Row("N", kImport, kInt, "1"));
    const FillResult fill = FillTestVariables(table, rows);
    ASSERT_FALSE(fill);
    EXPECT_NE(fill.error().text.find("2000"), std::string::npos);
    EXPECT_EQ(table.Count(), 0);
}

TEST(VariablesTest, LookupListValueJoinsTheLinesOfExactlyThatName) {
    const std::string list = "A,1\nAB,2\nA,3\nnocomma\n";
    EXPECT_EQ(LookupListValue(list, "A"), "13");
    EXPECT_EQ(LookupListValue(list, "AB"), "2");
    EXPECT_EQ(LookupListValue(list, "a"), "");
    EXPECT_EQ(LookupListValue(list, "nocomma"), "");
    EXPECT_EQ(LookupListValue("X,a,b", "X"), "a,b"); // last line without its line feed
    EXPECT_EQ(LookupListValue("", "X"), "");
}

TEST(VariablesTest, RowsOfAStoredModuleShowWhatTheGridShows) {
    ModuleRecord record;
    auto define = [&](int i, const char* name, uint8_t attribute, uint8_t type, int32_t length) {
        VariableDefinition& v = record.variables[static_cast<std::size_t>(i)];
        std::strcpy(v.name, name);
        v.attribute = attribute;
        v.type = type;
        v.length = length;
    };
    define(0, "Imp", kImport, kInt, 0);
    define(1, "Cfg", kConfig, kChar, 10);
    define(2, "Rep", kReport, kChar, 30);
    record.header.variableCount = 3;
    record.remarks = "Imp,hidden\nCfg,shown\nRep,Report [?:Imp]\n";
    record.testValues = "Imp,5\nCfg,abc\nRep,unused\n";
    const std::vector<VariableRow> rows = RowsOfModule(record);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].remark, "");
    EXPECT_EQ(rows[0].testValue, "5");
    EXPECT_EQ(rows[1].remark, "shown");
    EXPECT_EQ(rows[1].testValue, "abc");
    EXPECT_EQ(rows[2].remark, "Report [?:Imp]");
    EXPECT_EQ(rows[2].testValue, "");
    EXPECT_EQ(rows[1].length, 10);

    TestVariableTable table;
    ASSERT_TRUE(FillTestVariables(table, rows));
    EXPECT_STREQ(table.Entries()[2].value.text, "Report 5");

    record.header.variableCount = -4; // a corrupt count never reads outside the record
    EXPECT_TRUE(RowsOfModule(record).empty());
    record.header.variableCount = 1000;
    EXPECT_EQ(RowsOfModule(record).size(), 100u);
}

TEST(VariablesTest, RowsOfAStoredModuleFindTheirValuesAsLookupListValueDoes) {
    ModuleRecord record;
    const char* names[] = {"A", "AB", "A,B", "a", ""};
    for (const char* name : names) {
        VariableDefinition& v = record.variables[static_cast<std::size_t>(record.header.variableCount++)];
        std::strcpy(v.name, name);
        v.attribute = kConfig;
        v.type = kChar;
    }
    record.remarks = "A,1\nAB,2\nnocomma\nA,3\nA,B,4\n,5\nA,";
    record.testValues = "AB,x\nAB,y";
    const std::vector<VariableRow> rows = RowsOfModule(record);
    ASSERT_EQ(rows.size(), std::size(names));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].remark, LookupListValue(record.remarks, names[i])) << names[i];
        EXPECT_EQ(rows[i].testValue, LookupListValue(record.testValues, names[i])) << names[i];
    }
    EXPECT_EQ(rows[0].remark, "13B,4"); // "A,B,4" is a line of A: a name ends at the first comma
    EXPECT_EQ(rows[1].testValue, "xy");
    EXPECT_EQ(rows[2].remark, "");
    EXPECT_EQ(rows[4].remark, "5");
}

TEST(VariablesTest, StoringRowsAndReadingThemBackKeepsWhatAnOpenedModuleShows) {
    ModuleRecord record;
    record.header.variableCount = 7; // stale: the store sets it from the rows
    record.remarks = "Old,x\n";
    const std::vector<VariableRow> rows = {
        Row("Imp", kImport, kInt, "5", 4, "not shown"), Row("Cfg", kConfig, kChar, "a,b", 10, "both"),
        Row("Rep", kReport, kChar, "", 30, "Report [?:Imp]"), Row("", 0xFF, 0xFF, "")};
    StoreRowsInModule(record, rows);
    EXPECT_EQ(record.header.variableCount, 4); // the empty row too
    EXPECT_EQ(record.remarks, "Imp,not shown\nCfg,both\nRep,Report [?:Imp]\n");
    EXPECT_EQ(record.testValues, "Imp,5\nCfg,a,b\n");
    EXPECT_EQ(record.header.remarkLength, static_cast<int32_t>(record.remarks.size() + 1));
    EXPECT_EQ(record.variables[3].attribute, 0xFF);

    const std::vector<VariableRow> back = RowsOfModule(record);
    ASSERT_EQ(back.size(), 4u);
    EXPECT_EQ(back[0].remark, ""); // an Import remark is kept but not shown
    EXPECT_EQ(back[1].testValue, "a,b");
    EXPECT_EQ(back[1].remark, "both");
    EXPECT_EQ(back[2].remark, "Report [?:Imp]");
    EXPECT_EQ(back[3].length, 0);
}

TEST(VariablesTest, TheNameLookUpFollowsChangesToTheTable) {
    TestVariableTable table;
    ASSERT_TRUE(FillTestVariables(table, {Row("A", kImport, kInt, "1")}));
    EXPECT_TRUE(CheckPlaceholders("[?:A]", table));
    // A write through the entries is seen by the next look-up.
    std::strcpy(table.Entries()[0].name, "B");
    table.Entries()[0].value.intValue = 2;
    EXPECT_FALSE(CheckPlaceholders("[?:A]", table));
    EXPECT_EQ(SubstitutePlaceholders("[?:B]", table), "2");
    // So is a new fill, and the release at the end of a run.
    ASSERT_TRUE(FillTestVariables(table, {Row("C", kConfig, kInt, "3")}));
    EXPECT_EQ(FormatVariableValue("C", table), "3");
    EXPECT_EQ(FormatVariableValue("B", table), "");
    table.Release();
    EXPECT_FALSE(CheckPlaceholders("[?:C]", table));
}

// Every placeholder of text as the scanner sees it: "name" or "name..." for one without "]".
template <class Char> std::vector<std::basic_string<Char>> Scanned(std::basic_string_view<Char> text) {
    std::vector<std::basic_string<Char>> names;
    for (auto found = NextPlaceholder(text, 0); found.Found(); found = NextPlaceholder(text, found.End())) {
        names.emplace_back(found.name);
        if (!found.Closed())
            names.back() += std::basic_string<Char>(3, Char('.'));
    }
    return names;
}

TEST(VariablesTest, TheScannerReadsBytesAndUtf16Alike) {
    using Names = std::vector<std::string>;
    EXPECT_EQ(Scanned<char>("[?:A][?:B]"), (Names{"A", "B"}));
    EXPECT_EQ(Scanned<char>("x]y [?x] [? :A] [[?:A]]"), (Names{"A"}));
    EXPECT_EQ(Scanned<char>("[?:] [?: two words ]"), (Names{"", " two words "}));
    EXPECT_EQ(Scanned<char>("[?:A]] [?:[?:B]"), (Names{"A", "[?:B"})); // no nesting, no escape
    EXPECT_EQ(Scanned<char>("a [?:open to the end"), (Names{"open to the end..."}));
    EXPECT_EQ(Scanned<char>("[?:"), (Names{"..."}));
    EXPECT_EQ(Scanned<char>("[?"), Names{});

    const std::u16string line = u"SELECT \u65e5 [?:\u540d] [?:CURRENT_TIME] [?:tail";
    const auto names = Scanned<char16_t>(line);
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[0], u"\u540d");
    EXPECT_TRUE(IsCurrentTimeName(std::u16string_view(names[1])));
    EXPECT_EQ(names[2], u"tail...");

    const auto at = PlaceholderAt(std::string_view("ab[?:X]c"), 2);
    EXPECT_EQ(at.close, 6u);
    EXPECT_EQ(at.End(), 7u);
    EXPECT_FALSE(PlaceholderAt(std::string_view("ab[?:X]c"), 1).Found());
    EXPECT_FALSE(PlaceholderAt(std::string_view("[?"), 5).Found());

    EXPECT_TRUE(IsCurrentTimeName(std::string_view("CURRENT_TIME")));
    EXPECT_FALSE(IsCurrentTimeName(std::string_view("current_time")));
    EXPECT_FALSE(IsCurrentTimeName(std::string_view("CURRENT_TIME ")));
}

TEST(VariablesTest, TheFirstUnfillablePlaceholderIsTheOneTheCheckRefuses) {
    TestVariableTable table;
    ASSERT_TRUE(FillTestVariables(
        table, {Row("A", kImport, kInt, "1"), Row("C", kConfig, kChar, "c", 4), Row("R", kReport, kChar, "", 8, "r")}));
    const std::string good = "[?:A] [?:C] [?:CURRENT_TIME]";
    EXPECT_TRUE(CheckPlaceholders(good, table));
    EXPECT_FALSE(FirstUnfillablePlaceholder(good, table));

    for (const auto& [text, name, unclosed] :
         std::vector<std::tuple<std::string, std::string, bool>>{{good + " [?:R] [?:X]", "R", false},
                                                                 {"[?:A] [?:a]", "a", false},
                                                                 {"[?:A] [?:CURRENT_TIME", "CURRENT_TIME", true},
                                                                 {"[?:X] [?:A", "X", false}}) {
        EXPECT_FALSE(CheckPlaceholders(text, table)) << text;
        const std::optional<UnfillablePlaceholder> bad = FirstUnfillablePlaceholder(text, table);
        ASSERT_TRUE(bad) << text;
        EXPECT_EQ(bad->name, name) << text;
        EXPECT_EQ(bad->unclosed, unclosed) << text;
    }
}

TEST(VariablesTest, OnlyImportAndConfigRowsWithTheirChoicesFillPlaceholders) {
    EXPECT_TRUE(RowFillsPlaceholders(Row("A", kImport, kInt, "")));
    EXPECT_TRUE(RowFillsPlaceholders(Row("A", kConfig, kChar, "")));
    EXPECT_FALSE(RowFillsPlaceholders(Row("A", kReport, kChar, "")));
    EXPECT_FALSE(RowFillsPlaceholders(Row("A", kImport, 0xFF, "")));
    EXPECT_FALSE(RowFillsPlaceholders(Row("A", 0xFF, kInt, "")));
}

} // namespace
} // namespace kestrel
