// The report library on its own: layout errors, the section protocol, pagination, the preview
// and the failure paths, driven by a small table report.
#include "PrintingSupport.h"

#include "support/Files.h"
#include "support/Text.h"

#include "printing/FormatPrn.h"

#include <QCoreApplication>
#include <QDialog>
#include <QImage>
#include <QPrintPreviewDialog>
#include <QPrintPreviewWidget>

#include <gtest/gtest.h>

using namespace kestrel::printingtest;
using namespace kestrel::testsupport;

namespace {

const char* const kTableLayout = R"(# a small test layout
page A5 portrait
margins 10 10 10 10
font t "WenQuanYi Micro Hei" 9
section 头
line t "清单":*:center
section 行
line t "{名称}":40 "{说明}"
rule 0.2
section 尾
line t "{$页码}/{$页数}":*:right
)";

// Rows of (名称, 说明) into the sections 头 / 行 / 尾.
class TableReport : public FormatPrn {
public:
    explicit TableReport(const std::string& layout) : FormatPrn(layout.c_str(), nullptr) { SetObserver(&log); }

    CallLog log;
    std::vector<std::pair<std::string, std::string>> rows; // UTF-8
    std::string failReason;                                // UTF-8; set: WriteBody fails with it
    bool fillExtraField = false;

    int WriteHeader(int page) override {
        log.events.push_back("WriteHeader(" + std::to_string(page) + ")");
        FMT_Begin(Gbk("头").c_str());
        return FMT_Commit();
    }
    int WriteFooter(int page, int count) override {
        log.events.push_back("WriteFooter(" + std::to_string(page) + "," + std::to_string(count) + ")");
        FMT_Begin(Gbk("尾").c_str());
        return FMT_Commit();
    }
    int WriteBody() override {
        log.events.push_back("WriteBody");
        if (!failReason.empty())
            return FMT_Fail(Gbk(failReason).c_str());
        for (const auto& [name, note] : rows) {
            const std::string gName = Gbk(name);
            const std::string gNote = Gbk(note);
            FMT_Begin(Gbk("行").c_str());
            FMT_String(Gbk("名称").c_str()) = gName.c_str();
            FMT_String(Gbk("说明").c_str()) = gNote.c_str();
            if (fillExtraField)
                FMT_String(Gbk("备注").c_str()) = "x";
            if (!FMT_Commit())
                return 0;
        }
        return 1;
    }
    using FormatPrn::GetSectionLines;
};

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
}

std::string Utf8Of(const QString& text) {
    return text.toStdString();
}

} // namespace

TEST(FormatPrnLayout, ErrorsNameTheLineAndNothingIsWritten) {
    struct Case {
        const char* what;
        std::string layout;
        const char* expected;
    };
    const std::string base = kTableLayout;
    const std::vector<Case> cases = {
        {"unknown directive", base + "colour red\n", "第 12 行"},
        {"undefined font", Replace(base, "line t \"清单\"", "line big \"清单\""), "第 6 行"},
        {"unterminated quote", Replace(base, "\"清单\":*:center", "\"清单:*:center"), "第 6 行"},
        {"columns wider than the page", Replace(base, "\"{名称}\":40", "\"{名称}\":300"), "第 8 行"},
        {"unknown variable", Replace(base, "{$页数}", "{$作者}"), "第 11 行"},
        {"line before any section", "font t \"WenQuanYi Micro Hei\" 9\nline t \"x\"\n", "第 2 行"},
        {"section twice", base + "section 行\n", "第 12 行"},
        {"bad width", Replace(base, "\"{名称}\":40", "\"{名称}\":wide"), "第 8 行"},
        {"unbalanced brace", Replace(base, "{名称}", "{名称"), "第 8 行"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir folder;
        TableReport report(WriteLayout(folder.Path(), c.layout));
        report.rows = {{"a", "b"}};
        const auto written = report.RunToPdf(folder / "out.pdf");
        ASSERT_FALSE(written);
        EXPECT_EQ(written.error().kind, FormatPrn::Failure::LayoutInvalid);
        EXPECT_NE(Utf8Of(written.error().text).find(c.expected), std::string::npos) << Utf8Of(written.error().text);
        EXPECT_TRUE(report.log.Only("Write").empty()) << "no section operation runs on a broken layout";
        EXPECT_FALSE(std::filesystem::exists(folder / "out.pdf"));
    }
}

TEST(FormatPrnLayout, MissingLayoutFileIsAFileFailure) {
    TempDir folder;
    TableReport report((folder / "nowhere" / "KSTPRN.FMT").string());
    const auto written = report.RunToPdf(folder / "out.pdf");
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().kind, FormatPrn::Failure::LayoutUnreadable);
    EXPECT_NE(Utf8Of(written.error().text).find("KSTPRN.FMT"), std::string::npos);
}

TEST(FormatPrnLayout, SectionsAndFieldsTheProgramDoesNotFillAreErrors) {
    {
        SCOPED_TRACE("a section nobody begins");
        TempDir folder;
        TableReport report(WriteLayout(folder.Path(), std::string(kTableLayout) + "section 备注\nline t \"x\"\n"));
        report.rows = {{"a", "b"}};
        const auto written = report.RunToPdf(folder / "out.pdf");
        ASSERT_FALSE(written);
        EXPECT_EQ(written.error().kind, FormatPrn::Failure::LayoutInvalid);
        EXPECT_NE(Utf8Of(written.error().text).find("备注"), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(folder / "out.pdf"));
    }
    {
        SCOPED_TRACE("a field nobody fills");
        TempDir folder;
        TableReport report(WriteLayout(folder.Path(), Replace(kTableLayout, "\"{说明}\"", "\"{说明}\" \"{作者}\"")));
        report.rows = {{"a", "b"}};
        const auto written = report.RunToPdf(folder / "out.pdf");
        ASSERT_FALSE(written);
        EXPECT_EQ(written.error().kind, FormatPrn::Failure::LayoutInvalid);
        EXPECT_NE(Utf8Of(written.error().text).find("作者"), std::string::npos);
        EXPECT_EQ(report.log.Only("Commit").back(), "Commit 名称=a|说明=b|作者= -> 0");
    }
    {
        SCOPED_TRACE("a section the program fills but the layout lacks");
        TempDir folder;
        const std::string layout = std::string(kTableLayout).substr(0, std::string(kTableLayout).find("section 尾"));
        TableReport report(WriteLayout(folder.Path(), layout));
        report.rows = {{"a", "b"}};
        const auto written = report.RunToPdf(folder / "out.pdf");
        ASSERT_FALSE(written);
        EXPECT_NE(Utf8Of(written.error().text).find("尾"), std::string::npos);
        EXPECT_EQ(report.log.Only("Begin 尾").back(), "Begin 尾 -> 0");
    }
}

TEST(FormatPrnLayout, AFieldTheLayoutLeavesOutIsNoError) {
    TempDir folder;
    TableReport report(WriteLayout(folder.Path(), kTableLayout));
    report.rows = {{"甲", "乙"}};
    report.fillExtraField = true; // "备注" is not in the layout: the program may fill it anyway
    EXPECT_EQ(PdfFailure(report, folder / "out.pdf"), "");
    EXPECT_EQ(report.GetSectionLines(Gbk("行").c_str()), 1);
    EXPECT_EQ(report.GetSectionLines(Gbk("头").c_str()), 1);
    EXPECT_EQ(report.GetSectionLines(Gbk("无").c_str()), 0);
}

TEST(FormatPrnRun, HeaderOnEveryPageFooterWithPageCount) {
    TempDir folder;
    TableReport report(WriteLayout(folder.Path(), kTableLayout));
    for (int i = 0; i < 120; ++i)
        report.rows.push_back({"row" + std::to_string(1000 + i), "说明文字"});
    ASSERT_EQ(PdfFailure(report, folder / "out.pdf"), "");

    const int pages = PdfPageCount(folder / "out.pdf");
    ASSERT_GT(pages, 2);
    std::vector<std::string> expected = {"WriteBody", "WriteHeader(1)", "WriteFooter(1,0)"};
    for (int p = 1; p <= pages; ++p) {
        expected.push_back("WriteHeader(" + std::to_string(p) + ")");
        expected.push_back("WriteFooter(" + std::to_string(p) + "," + std::to_string(pages) + ")");
    }
    EXPECT_EQ(report.log.Only("Write"), expected);

    // Every row exactly once, in order, across the pages; every page has the header and footer.
    std::string all;
    for (int p = 1; p <= pages; ++p) {
        const std::string text = PdfText(folder / "out.pdf", p);
        EXPECT_NE(text.find("清单"), std::string::npos) << "page " << p;
        EXPECT_NE(text.find(std::to_string(p) + "/" + std::to_string(pages)), std::string::npos) << "page " << p;
        all += text;
    }
    size_t at = 0;
    for (int i = 0; i < 120; ++i) {
        const std::string row = "row" + std::to_string(1000 + i);
        const size_t found = all.find(row, at);
        ASSERT_NE(found, std::string::npos) << row << " missing or out of order";
        EXPECT_EQ(all.find(row, found + 1), std::string::npos) << row << " printed twice";
        at = found;
    }
}

TEST(FormatPrnRun, BodyFailureStopsWithItsReason) {
    TempDir folder;
    TableReport report(WriteLayout(folder.Path(), kTableLayout));
    report.failReason = "没有数据";
    const auto written = report.RunToPdf(folder / "out.pdf");
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().kind, FormatPrn::Failure::Report);
    EXPECT_EQ(Utf8Of(written.error().text), "没有数据");
    EXPECT_EQ(report.log.Only("Write"), std::vector<std::string>{"WriteBody"});
    EXPECT_FALSE(std::filesystem::exists(folder / "out.pdf"));

    // The interactive run says so in a message box and never opens the preview.
    std::vector<QString> messages;
    int dialogs = 0;
    FormatPrn::UiHooks hooks;
    hooks.showMessage = [&](QWidget*, const QString& text) { messages.push_back(text); };
    hooks.execDialog = [&](QDialog*) { return ++dialogs, int(QDialog::Rejected); };
    report.SetUiHooks(hooks);
    EXPECT_EQ(report.Run(), 0);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(Utf8Of(messages[0]), "报表无法生成：没有数据");
    EXPECT_EQ(dialogs, 0);
}

TEST(FormatPrnRun, PreviewRendersThePagesThroughTheHook) {
    TempDir folder;
    TableReport report(WriteLayout(folder.Path(), kTableLayout));
    for (int i = 0; i < 60; ++i)
        report.rows.push_back({"r" + std::to_string(i), "说明"});
    ASSERT_EQ(PdfFailure(report, folder / "out.pdf"), "");
    const int pages = PdfPageCount(folder / "out.pdf");

    int previewPages = -1;
    std::vector<QString> messages;
    FormatPrn::UiHooks hooks;
    hooks.showMessage = [&](QWidget*, const QString& text) { messages.push_back(text); };
    hooks.execDialog = [&](QDialog* dialog) {
        EXPECT_NE(qobject_cast<QPrintPreviewDialog*>(dialog), nullptr);
        if (auto* widget = dialog->findChild<QPrintPreviewWidget*>()) {
            widget->updatePreview();
            previewPages = widget->pageCount();
        }
        return int(QDialog::Rejected);
    };
    report.SetUiHooks(hooks);
    EXPECT_EQ(report.Run(), 1);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(previewPages, pages);
}

TEST(FormatPrnRun, UnwritablePdfIsAnOutputFailure) {
    TempDir folder;
    TableReport report(WriteLayout(folder.Path(), kTableLayout));
    report.rows = {{"a", "b"}};
    const auto written = report.RunToPdf(folder / "missing" / "out.pdf");
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().kind, FormatPrn::Failure::Output);
    EXPECT_NE(Utf8Of(written.error().text).find("out.pdf"), std::string::npos);
}

// Rows of the picture whose dark pixels run across most of width: the rules, each counted once
// however many pixel rows it covers.
static int RulesIn(const QImage& image) {
    int rules = 0;
    bool inRule = false;
    for (int y = 0; y < image.height(); ++y) {
        int dark = 0;
        for (int x = 0; x < image.width(); ++x)
            dark += qGray(image.pixel(x, y)) < 200 ? 1 : 0;
        const bool rule = dark > image.width() / 2;
        rules += rule && !inRule ? 1 : 0;
        inRule = rule;
    }
    return rules;
}

TEST(FormatPrnRun, EveryRuleShowsInThePreviewAtItsDefaultZoom) {
    TempDir folder;
    TableReport report(WriteLayout(folder.Path(), kTableLayout));
    for (int i = 0; i < 20; ++i)
        report.rows.push_back({"r" + std::to_string(i), "说明"});
    int rules = -1;
    FormatPrn::UiHooks hooks;
    hooks.showMessage = [](QWidget*, const QString&) {};
    hooks.execDialog = [&](QDialog* dialog) {
        auto* widget = dialog->findChild<QPrintPreviewWidget*>();
        if (!widget)
            return int(QDialog::Rejected);
        dialog->show();
        widget->updatePreview();
        QCoreApplication::processEvents();
        // The page alone: the middle half of the view across, where only rules run through.
        // The page alone (white, around the view's centre), in the middle half of its width,
        // where only the rules run through.
        const QImage view = widget->grab().toImage();
        const auto white = [&view](int x, int y) { return qGray(view.pixel(x, y)) > 200; };
        const int middle = view.height() / 2;
        int left = 0;
        while (left + 1 < view.width() && !white(left, middle))
            ++left;
        int right = left;
        while (right + 1 < view.width() && white(right + 1, middle))
            ++right;
        // Up and down the page's margin, where nothing is drawn.
        int top = middle;
        int bottom = middle;
        while (top > 0 && white(left + 2, top - 1))
            --top;
        while (bottom + 1 < view.height() && white(left + 2, bottom + 1))
            ++bottom;
        const int quarter = (right - left) / 4;
        const QRect page(left + quarter, top, 2 * quarter, bottom - top + 1);
        rules = RulesIn(view.copy(page));
        return int(QDialog::Rejected);
    };
    report.SetUiHooks(hooks);
    ASSERT_EQ(report.Run(), 1);
    EXPECT_EQ(rules, 20);
}
