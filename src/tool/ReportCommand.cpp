// kestrel-tool report: the module catalogue report of a catalogue, straight into a PDF file.
#include "tool/ToolCommands.h"

#include "printing/ModuleReport.h"
#include "repository/Catalogue.h"
#include "ui/GbkText.h"

#include <cstdio>
#include <memory>

namespace kestrel::tool {

namespace {

constexpr int kExitDone = 0;
constexpr int kExitCannotMake = 2;
constexpr int kExitFile = 3;

void Error(const QString& text) {
    std::fprintf(stderr, "kestrel-tool report: %s\n", text.toUtf8().constData());
}

} // namespace

int ReportCommand(const QStringList& args) {
    QString catalogueArg;
    QString pdfArg;
    QString layoutArg;
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if ((arg == QLatin1String("--pdf") || arg == QLatin1String("--layout")) && i + 1 < args.size()) {
            (arg == QLatin1String("--pdf") ? pdfArg : layoutArg) = args[++i];
        } else if (!arg.startsWith(QLatin1String("--")) && catalogueArg.isEmpty()) {
            catalogueArg = arg;
        } else {
            std::fputs("usage: kestrel-tool report CATALOGUE --pdf FILE [--layout FILE]\n", stderr);
            return kExitUsage;
        }
    }
    if (catalogueArg.isEmpty() || pdfArg.isEmpty()) {
        std::fputs("usage: kestrel-tool report CATALOGUE --pdf FILE [--layout FILE]\n", stderr);
        return kExitUsage;
    }

    GroupCatalogue catalogue;
    const FileStatus status = LoadCatalogue(catalogue, std::filesystem::path(catalogueArg.toStdString()));
    if (!status) {
        Error(QStringLiteral("%1: %2").arg(catalogueArg, ui::FromGbk(status.message)));
        return status.IsIo() ? kExitFile : kExitCannotMake;
    }

    const std::string layout = layoutArg.isEmpty() ? DefaultReportLayoutPath().string() : layoutArg.toStdString();
    auto report = std::make_unique<ModuleReport>(layout.c_str(), nullptr);
    report->SetCatalogue(catalogue);
    if (report->RunToPdf(std::filesystem::path(pdfArg.toStdString())))
        return kExitDone;
    Error(report->FailureText());
    switch (report->LastFailure()) {
    case FormatPrn::Failure::LayoutUnreadable:
    case FormatPrn::Failure::Output:
        return kExitFile;
    case FormatPrn::Failure::Report:
        return report->FailedOnFileError() ? kExitFile : kExitCannotMake;
    default:
        return kExitCannotMake;
    }
}

} // namespace kestrel::tool
