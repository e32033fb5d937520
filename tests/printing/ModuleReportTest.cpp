// The module catalogue report: which modules become rows, in which order, with which texts,
// what the section calls look like, and the PDF a user gets.
#include "PrintingSupport.h"

#include "support/Builders.h"
#include "support/Files.h"
#include "support/Text.h"

#include "printing/report/ModuleReport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <random>
#include <sstream>

using namespace kestrel;
using namespace kestrel::printingtest;
using namespace kestrel::testsupport;

namespace {

// A module report that logs the section operations Run calls and every FMT_ call.
class RecordingReport : public ModuleReport {
public:
    RecordingReport() : ModuleReport(ShippedLayout().c_str(), nullptr) { SetObserver(&log); }
    CallLog log;
    int WriteHeader(int page) override {
        log.events.push_back("WriteHeader(" + std::to_string(page) + ")");
        return ModuleReport::WriteHeader(page);
    }
    int WriteFooter(int page, int count) override {
        log.events.push_back("WriteFooter(" + std::to_string(page) + "," + std::to_string(count) + ")");
        return ModuleReport::WriteFooter(page, count);
    }
    int WriteBody() override {
        log.events.push_back("WriteBody");
        return ModuleReport::WriteBody();
    }
};

std::vector<std::string> RowNames(const ModuleReport& report) {
    std::vector<std::string> names;
    for (const auto& row : report.Rows())
        names.push_back(Utf8(row.fileName));
    return names;
}

std::string Text(const QString& text) {
    return text.toStdString();
}

} // namespace

TEST(ModuleReport, SectionsFieldsAndValuesInProtocolOrder) {
    TempDir folder;
    const GroupCatalogue catalogue = WriteCatalogue(folder / "test.MGP", {{"G1", Gbk("第一组")}});
    WriteReportModule(folder.Path(),
                      {"b.kst", "G1", "第二个模块", "SA", "2024-01-02 03:04:05", "李四", "2024-03-04 05:06:07"});
    WriteReportModule(folder.Path(),
                      {"a.kst", "G1", "第一个模块", "张三", "2023-12-31 23:59:59", "SA", "2024-01-01 00:00:00"});

    RecordingReport report;
    report.SetCatalogue(catalogue);
    ASSERT_EQ(PdfFailure(report, folder / "out.pdf"), "");

    const std::vector<std::string> fieldCalls = {"String 文件名",   "String 标题",       "String 建立者",
                                                 "String 建立时间", "String 最近修改人", "String 最近修改时间"};
    std::vector<std::string> expected = {"WriteBody", "Begin 模块 -> 1"};
    expected.insert(expected.end(), fieldCalls.begin(), fieldCalls.end());
    expected.push_back("Commit 文件名=a.kst|标题=第一个模块|建立者=张三|建立时间=2023-12-31 23:59:59|"
                       "最近修改人=SA|最近修改时间=2024-01-01 00:00:00 -> 1");
    expected.push_back("Begin 模块 -> 1");
    expected.insert(expected.end(), fieldCalls.begin(), fieldCalls.end());
    expected.push_back("Commit 文件名=b.kst|标题=第二个模块|建立者=SA|建立时间=2024-01-02 03:04:05|"
                       "最近修改人=李四|最近修改时间=2024-03-04 05:06:07 -> 1");
    for (const auto& frame : {"WriteHeader(1)", "WriteFooter(1,0)", "WriteHeader(1)", "WriteFooter(1,1)"}) {
        const bool header = std::string(frame).find("Header") != std::string::npos;
        expected.push_back(frame);
        expected.push_back(header ? "Begin 表头 -> 1" : "Begin 表尾 -> 1");
        expected.push_back("Commit  -> 1");
    }
    EXPECT_EQ(report.log.events, expected);
}

TEST(ModuleReport, OnlyModulesOfTheCatalogueGroupsExactCase) {
    TempDir folder;
    const GroupCatalogue catalogue = WriteCatalogue(folder / "test.MGP", {{"G1", Gbk("一")}, {"Cash", Gbk("二")}});
    WriteReportModule(folder.Path(), {"m1.kst", "G1"});
    WriteReportModule(folder.Path(), {"m2.kst", "OTHER"}); // a group of another catalogue in the same folder
    WriteReportModule(folder.Path(), {"m3.kst", "g1"});    // differs only in letter case
    WriteReportModule(folder.Path(), {"m4.kst", "CASH"});
    WriteReportModule(folder.Path(), {"m5.kst", "Cash"});
    WriteReportModule(folder.Path(), {"m6.kst", ""});

    ModuleReport report(ShippedLayout().c_str(), nullptr);
    report.SetCatalogue(catalogue);
    ASSERT_EQ(PdfFailure(report, folder / "out.pdf"), "");
    EXPECT_EQ(RowNames(report), (std::vector<std::string>{"m1.kst", "m5.kst"}));
    const std::string pdf = PdfText(folder / "out.pdf");
    for (const char* absent : {"m2.kst", "m3.kst", "m4.kst", "m6.kst"})
        EXPECT_EQ(pdf.find(absent), std::string::npos) << absent;
}

TEST(ModuleReport, RowsInFileNameOrderWhateverTheDirectoryOrderAndGroup) {
    TempDir folder;
    const GroupCatalogue catalogue = WriteCatalogue(folder / "test.MGP", {{"A", Gbk("甲")}, {"B", Gbk("乙")}});
    std::vector<std::string> names;
    for (int i = 0; i < 40; ++i)
        names.push_back("mod" + std::to_string(100 + i) + ".kst");
    std::vector<std::string> shuffled = names;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
    std::reverse(shuffled.begin(), shuffled.begin() + 10);
    for (const auto& name : shuffled) // groups alternate, so group order and name order disagree
        WriteReportModule(folder.Path(), {name, (name[5] - '0') % 2 ? "B" : "A"});

    ModuleReport report(ShippedLayout().c_str(), nullptr);
    report.SetCatalogue(catalogue);
    ASSERT_EQ(PdfFailure(report, folder / "out.pdf"), "");
    EXPECT_EQ(RowNames(report), names);

    const std::string pdf = PdfText(folder / "out.pdf");
    size_t at = 0;
    for (const auto& name : names) {
        const size_t found = pdf.find(name, at);
        ASSERT_NE(found, std::string::npos) << name << " missing or out of order in the PDF";
        at = found;
    }
}

TEST(ModuleReport, CaseSensitiveCollationKeepsEveryName) {
    TempDir folder;
    const GroupCatalogue catalogue = WriteCatalogue(folder / "test.MGP", {{"G", Gbk("组")}});
    for (const char* name : {"c.kst", "B.kst", "a.kst", "A.kst", "b.kst"})
        WriteReportModule(folder.Path(), {name, "G"});
    ModuleReport report(ShippedLayout().c_str(), nullptr);
    report.SetCatalogue(catalogue);
    ASSERT_EQ(PdfFailure(report, folder / "out.pdf"), "");
    // Letters collate before case decides; names differing only in case are both kept.
    EXPECT_EQ(RowNames(report), (std::vector<std::string>{"a.kst", "A.kst", "b.kst", "B.kst", "c.kst"}));
}

TEST(ModuleReport, NoRowsAtAllWhenOneFileIsNotAModule) {
    TempDir folder;
    const GroupCatalogue catalogue = WriteCatalogue(folder / "test.MGP", {{"G1", Gbk("一")}});
    WriteReportModule(folder.Path(), {"a.kst", "G1"});
    WriteReportModule(folder.Path(), {"c.kst", "G1"});
    std::ofstream(folder / "b.kst") << "not a module, just some text that is long enough? no.";

    RecordingReport report;
    report.SetCatalogue(catalogue);
    const auto written = report.RunToPdf(folder / "out.pdf");
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().kind, FormatPrn::Failure::Report);
    EXPECT_FALSE(report.FailedOnFileError());
    EXPECT_NE(Text(written.error().text).find("b.kst"), std::string::npos) << Text(written.error().text);
    EXPECT_TRUE(report.Rows().empty());
    EXPECT_TRUE(report.log.Only("Begin").empty()) << "not even the modules read before are output";
    EXPECT_FALSE(std::filesystem::exists(folder / "out.pdf"));
}

TEST(ModuleReport, FolderWithoutModulesIsNotAnEmptyReport) {
    TempDir folder;
    const GroupCatalogue catalogue = WriteCatalogue(folder / "test.MGP", {{"G1", Gbk("一")}});
    ModuleReport report(ShippedLayout().c_str(), nullptr);
    report.SetCatalogue(catalogue);
    const auto written = report.RunToPdf(folder / "out.pdf");
    ASSERT_FALSE(written);
    EXPECT_NE(Text(written.error().text).find("没有模块文件"), std::string::npos) << Text(written.error().text);
    EXPECT_FALSE(std::filesystem::exists(folder / "out.pdf"));
}

TEST(ModuleReport, ModulesButNoneOfTheCatalogueGiveAnEmptyList) {
    TempDir folder;
    const GroupCatalogue catalogue = WriteCatalogue(folder / "test.MGP", {{"G1", Gbk("一")}});
    WriteReportModule(folder.Path(), {"x.kst", "G2"});
    ModuleReport report(ShippedLayout().c_str(), nullptr);
    report.SetCatalogue(catalogue);
    ASSERT_EQ(PdfFailure(report, folder / "out.pdf"), "");
    EXPECT_EQ(PdfPageCount(folder / "out.pdf"), 1);
    EXPECT_NE(PdfText(folder / "out.pdf").find("第 1 页，共 1 页"), std::string::npos);
}

TEST(ModuleReport, LongNamesAndMoreThanAThousandModulesArePrintedWhole) {
    TempDir folder;
    const GroupCatalogue catalogue = WriteCatalogue(folder / "test.MGP", {{"G1", Gbk("一")}});
    for (int i = 0; i < 1100; ++i)
        WriteReportModule(folder.Path(), {"n" + std::to_string(10000 + i) + ".kst", "G1"});
    const std::string longName = "年度审计_" + std::string(90, 'x') + "_结束.kst"; // well past 51 bytes
    WriteReportModule(folder.Path(), {longName, "G1"});
    // A title that fills its field to the last byte, without a terminating zero.
    WriteReportModule(folder.Path(), {"full.kst", "G1", std::string(51, 'T')});

    ModuleReport report(ShippedLayout().c_str(), nullptr);
    report.SetCatalogue(catalogue);
    ASSERT_EQ(PdfFailure(report, folder / "out.pdf"), "");
    ASSERT_EQ(report.Rows().size(), 1102u);
    const auto longRow = std::find_if(report.Rows().begin(), report.Rows().end(),
                                      [&](const ReportEntry& row) { return Utf8(row.fileName) == longName; });
    ASSERT_NE(longRow, report.Rows().end());
    const auto fullRow = std::find_if(report.Rows().begin(), report.Rows().end(),
                                      [](const ReportEntry& row) { return row.fileName == "full.kst"; });
    ASSERT_NE(fullRow, report.Rows().end());
    EXPECT_EQ(fullRow->title, std::string(51, 'T'));

    // The long name wraps inside its column: joined again, the whole name is on the page.
    std::string text = PdfText(folder / "out.pdf");
    text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == ' '; }), text.end());
    EXPECT_NE(text.find(longName), std::string::npos);
    EXPECT_NE(text.find(std::string(51, 'T')), std::string::npos);
    EXPECT_EQ(text.find(std::string(52, 'T')), std::string::npos);
}

TEST(ModuleReport, ASecondRunDoesNotRepeatRows) {
    TempDir folder;
    const GroupCatalogue catalogue = WriteCatalogue(folder / "test.MGP", {{"G1", Gbk("一")}});
    WriteReportModule(folder.Path(), {"a.kst", "G1"});
    WriteReportModule(folder.Path(), {"b.kst", "G1"});
    ModuleReport report(ShippedLayout().c_str(), nullptr);
    report.SetCatalogue(catalogue);
    ASSERT_EQ(PdfFailure(report, folder / "one.pdf"), "");
    ASSERT_EQ(PdfFailure(report, folder / "two.pdf"), "");
    EXPECT_EQ(RowNames(report), (std::vector<std::string>{"a.kst", "b.kst"}));
    EXPECT_EQ(PdfText(folder / "two.pdf"), PdfText(folder / "one.pdf"));
}

TEST(ModuleReport, PdfHasSearchableChineseRowsInColumns) {
    TempDir folder;
    const GroupCatalogue catalogue = WriteCatalogue(folder / "test.MGP", {{"FIN", Gbk("财务")}, {"HR", Gbk("人事")}});
    WriteReportModule(folder.Path(), {"工资检查.kst", "HR", "工资发放核对", "王五", "2024-05-06 07:08:09", "赵六",
                                      "2024-06-07 08:09:10"});
    WriteReportModule(folder.Path(), {"cash01.kst", "FIN", "现金日记账检查", "SA", "2024-01-01 08:00:00", "SA",
                                      "2024-01-02 09:00:00"});
    ModuleReport report(ShippedLayout().c_str(), nullptr);
    report.SetCatalogue(catalogue);
    ASSERT_EQ(PdfFailure(report, folder / "out.pdf"), "");

    const std::string text = PdfText(folder / "out.pdf", 0, true);
    for (const char* expected :
         {"模块目录", "文件名", "标题", "建立者", "建立时间", "最近修改人", "最近修改时间", "第 1 页，共 1 页"})
        EXPECT_NE(text.find(expected), std::string::npos) << expected;
    // One line per row, its six texts in column order, rows by file name.
    std::istringstream lines(text);
    std::vector<std::string> rows;
    for (std::string line; std::getline(lines, line);) {
        if (line.find(".kst") != std::string::npos)
            rows.push_back(line);
    }
    ASSERT_EQ(rows.size(), 2u) << text;
    auto inOrder = [](const std::string& line, const std::vector<std::string>& parts) {
        size_t at = 0;
        for (const auto& part : parts) {
            const size_t found = line.find(part, at);
            if (found == std::string::npos)
                return false;
            at = found + part.size();
        }
        return true;
    };
    EXPECT_TRUE(
        inOrder(rows[0], {"cash01.kst", "现金日记账检查", "SA", "2024-01-01 08:00:00", "SA", "2024-01-02 09:00:00"}))
        << rows[0];
    EXPECT_TRUE(inOrder(rows[1],
                        {"工资检查.kst", "工资发放核对", "王五", "2024-05-06 07:08:09", "赵六", "2024-06-07 08:09:10"}))
        << rows[1];
}

TEST(ModuleReport, ColumnsLineUpAcrossRowsAndHeader) {
    TempDir folder;
    const GroupCatalogue catalogue = WriteCatalogue(folder / "test.MGP", {{"G", Gbk("组")}});
    WriteReportModule(folder.Path(), {"a.kst", "G", "短", "SA"});
    WriteReportModule(folder.Path(), {"bbbbbbbbbbbbbbbbbbbb.kst", "G", "一个长得多的中文标题", "张三丰"});
    WriteReportModule(folder.Path(), {"c.kst", "G", "Latin title", "x"});
    ModuleReport report(ShippedLayout().c_str(), nullptr);
    report.SetCatalogue(catalogue);
    ASSERT_EQ(PdfFailure(report, folder / "out.pdf"), "");

    const std::vector<PdfWord> words = PdfWords(folder / "out.pdf");
    auto x = [&](const std::string& text) {
        for (const auto& word : words) {
            if (word.text == text)
                return word.x;
        }
        ADD_FAILURE() << text << " not found";
        return -1.0;
    };
    EXPECT_NEAR(x("短"), x("标题"), 0.5);
    EXPECT_NEAR(x("一个长得多的中文标题"), x("标题"), 0.5);
    EXPECT_NEAR(x("Latin"), x("标题"), 0.5);
    EXPECT_NEAR(x("张三丰"), x("建立者"), 0.5);
    EXPECT_NEAR(x("SA"), x("建立者"), 0.5);
    EXPECT_NEAR(x("a.kst"), x("文件名"), 0.5);
}
