// The module catalogue report of 10,000 modules into a PDF, against Qt's own QTextDocument
// printing the same rows as an HTML table into a PDF. The baseline is handed the rows already
// read; ours reads the 10,000 module files as part of the report.
#include "core/AtomicFile.h"
#include "core/FixedText.h"
#include "core/Gbk.h"
#include "printing/report/ModuleReport.h"
#include "repository/Catalogue.h"
#include "repository/ModuleFile.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QPdfWriter>
#include <QString>
#include <QTextDocument>

#include "BenchRatio.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

namespace {

constexpr int kModules = 10000;

struct Workspace {
    std::filesystem::path folder;
    kestrel::GroupCatalogue catalogue;
    std::vector<kestrel::ReportEntry> rows;

    Workspace() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kestrel-bench-print-XXXXXX").string();
        folder = mkdtemp(pattern.data());
        catalogue.Reset(folder / "bench.MGP");
        for (const char* id : {"FIN", "HR"}) {
            kestrel::GroupRecord group{};
            kestrel::SetFieldText(group.identifier, id);
            kestrel::SetFieldText(group.name, id);
            catalogue.AppendGroup(group);
        }
        (void)kestrel::SaveCatalogue(catalogue);
        const std::string title = *kestrel::Utf8ToGbk("现金日记账与银行对账单核对");
        const std::string creator = *kestrel::Utf8ToGbk("张三");
        for (int i = 0; i < kModules; ++i) {
            kestrel::ModuleRecord record;
            kestrel::SetFieldText(record.header.groupId, i % 2 ? "FIN" : "HR");
            kestrel::SetFieldText(record.header.title, title + std::to_string(i));
            kestrel::SetFieldText(record.header.creator, creator);
            kestrel::SetFieldText(record.header.createdAt, "2024-01-02 03:04:05");
            kestrel::SetFieldText(record.header.modifier, "SA");
            kestrel::SetFieldText(record.header.modifiedAt, "2024-02-03 04:05:06");
            record.body = "select * from ledger where amount > :limit";
            record.fileName = "m" + std::to_string(100000 + (i * 7919) % kModules) + ".kst";
            // Plain writes: setting up 10,000 files with a disk flush each would take minutes.
            const std::string bytes = kestrel::SerializeModule(record);
            std::ofstream(kestrel::ModuleFilePath(folder, record.fileName), std::ios::binary)
                .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        }
        // The rows for the baseline, read once by the report itself.
        kestrel::ModuleReport report(kestrel::DefaultReportLayoutPath().string().c_str(), nullptr);
        report.SetCatalogue(catalogue);
        if (const auto written = report.RunToPdf(folder / "warmup.pdf"); !written)
            std::fprintf(stderr, "report failed: %s\n", written.error().text.toUtf8().constData());
        rows = report.Rows();
    }
    ~Workspace() {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
};

Workspace& Shared() {
    static Workspace workspace;
    return workspace;
}

QString Html(const std::string& gbk) {
    return QString::fromStdString(kestrel::GbkToUtf8(gbk)).toHtmlEscaped();
}

void BM_ModuleReportToPdf(benchmark::State& state) {
    Workspace& w = Shared();
    const std::string layout = kestrel::DefaultReportLayoutPath().string();
    for (auto _ : state) {
        kestrel::ModuleReport report(layout.c_str(), nullptr);
        report.SetCatalogue(w.catalogue);
        if (!report.RunToPdf(w.folder / "ours.pdf"))
            state.SkipWithError("report failed");
    }
}

void BM_QTextDocumentHtmlTableToPdf(benchmark::State& state) {
    Workspace& w = Shared();
    for (auto _ : state) {
        QString html = QStringLiteral("<h2 align=center>模块目录</h2><table width=100% cellspacing=0 cellpadding=2>"
                                      "<thead><tr><th>文件名</th><th>标题</th><th>建立者</th><th>建立时间</th>"
                                      "<th>最近修改人</th><th>最近修改时间</th></tr></thead>");
        for (const auto& row : w.rows) {
            html += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td><td>%5</td><td>%6</td></tr>")
                        .arg(Html(row.fileName), Html(row.title), Html(row.creator), Html(row.createdAt),
                             Html(row.modifier), Html(row.modifiedAt));
        }
        html += QStringLiteral("</table>");
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        {
            QPdfWriter writer(&buffer);
            writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Landscape,
                                             QMarginsF(14, 12, 14, 10), QPageLayout::Millimeter));
            QTextDocument document;
            document.setDefaultFont(QFont(QStringLiteral("WenQuanYi Micro Hei"), 9));
            document.setHtml(html);
            document.print(&writer);
        }
        (void)kestrel::WriteFileAtomic(w.folder / "baseline.pdf",
                                       std::string_view(buffer.data().constData(), buffer.data().size()));
    }
}

BENCHMARK(BM_ModuleReportToPdf)->Unit(benchmark::kMillisecond)->Iterations(3);
// The baseline takes tens of seconds a round; one round is plenty against that spread.
BENCHMARK(BM_QTextDocumentHtmlTableToPdf)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    Shared();
    kestrel::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatio("ModuleReport PDF / QTextDocument HTML PDF (10000)", "BM_ModuleReportToPdf/iterations:3",
                        "BM_QTextDocumentHtmlTableToPdf/iterations:1", kestrel::bench::Clock::Wall, 1.0);
    benchmark::Shutdown();
    return reporter.ExitCode();
}
