// kestrel-tool report: the PDF headless, and its exit codes.
#include "PrintingSupport.h"

#include "support/Builders.h"
#include "support/Files.h"
#include "support/Text.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <fstream>

using namespace kestrel;
using namespace kestrel::printingtest;
using namespace kestrel::testsupport;

namespace {

struct ToolRun {
    int exitCode = -1;
    std::string err;
};

// As a CI shell runs it: no session, so no XDG_RUNTIME_DIR.
ToolRun Tool(const QStringList& args) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(KESTREL_TOOL), QStringList{QStringLiteral("report")} + args);
    EXPECT_TRUE(process.waitForFinished(120000));
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardError().toStdString()};
}

QString Q(const std::filesystem::path& path) {
    return QString::fromStdString(path.string());
}

} // namespace

TEST(ToolReport, WritesThePdfAndReportsFailuresByExitCode) {
    TempDir folder;
    WriteCatalogue(folder / "test.MGP", {{"G1", Gbk("一")}});
    WriteReportModule(folder.Path(), {"b.kst", "G1", "第二"});
    WriteReportModule(folder.Path(), {"a.kst", "G1", "第一"});
    const auto catalogue = folder / "test.MGP";

    ToolRun run = Tool({Q(catalogue), QStringLiteral("--pdf"), Q(folder / "out.pdf")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, ""); // no toolkit's noise
    const std::string text = PdfText(folder / "out.pdf");
    ASSERT_NE(text.find("a.kst"), std::string::npos);
    EXPECT_LT(text.find("a.kst"), text.find("b.kst"));
    EXPECT_NE(text.find("第一"), std::string::npos);

    // An own layout.
    const std::string layout = WriteLayout(folder.Path(), "font f \"WenQuanYi Micro Hei\" 10\n"
                                                          "section 表头\nline f \"自己的表头\"\nsection 表尾\n"
                                                          "section 模块\nline f \"{文件名}\":50 \"{标题}\"\n");
    run = Tool({Q(catalogue), QStringLiteral("--pdf"), Q(folder / "own.pdf"), QStringLiteral("--layout"),
                QString::fromStdString(layout)});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(PdfText(folder / "own.pdf").find("自己的表头"), std::string::npos);

    // Report cannot be made: 2, with the reason.
    run = Tool({Q(catalogue), QStringLiteral("--pdf"), Q(folder / "bad.pdf"), QStringLiteral("--layout"),
                QString::fromStdString(WriteLayout(folder.Path(), "section 表头\nbogus\n"))});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("第 2 行"), std::string::npos) << run.err;
    std::ofstream(folder / "c.kst") << "junk";
    run = Tool({Q(catalogue), QStringLiteral("--pdf"), Q(folder / "bad.pdf")});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("c.kst"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(folder / "bad.pdf"));
    std::filesystem::remove(folder / "c.kst");

    // File errors: 3.
    EXPECT_EQ(Tool({Q(folder / "missing.MGP"), QStringLiteral("--pdf"), Q(folder / "x.pdf")}).exitCode, 3);
    EXPECT_EQ(Tool({Q(catalogue), QStringLiteral("--pdf"), Q(folder / "no" / "x.pdf")}).exitCode, 3);
    EXPECT_EQ(Tool({Q(catalogue), QStringLiteral("--pdf"), Q(folder / "x.pdf"), QStringLiteral("--layout"),
                    Q(folder / "none.fmt")})
                  .exitCode,
              3);

    // Usage.
    EXPECT_EQ(Tool({Q(catalogue)}).exitCode, 64);
}
