// kestrel-tool report: the module catalogue report of a catalogue, straight into a PDF file.
#include "tool/ToolCommands.h"

#include "printing/report/ModuleReport.h"
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
    CommandLine line("report", "CATALOGUE --pdf FILE [--layout FILE]",
                     "Writes the module catalogue report of CATALOGUE as a PDF file.",
                     {{kExitDone, "written"},
                      {kExitCannotMake, "the report cannot be made (reason on stderr)"},
                      {kExitFile, "a file cannot be read or written"},
                      {kExitUsage, "usage"}});
    QCommandLineParser& parser = line.Parser();
    parser.addPositionalArgument(QStringLiteral("CATALOGUE"), QStringLiteral("The group catalogue (.MGP)."));
    const QCommandLineOption pdf(QStringLiteral("pdf"), QStringLiteral("The PDF file to write."),
                                 QStringLiteral("FILE"));
    const QCommandLineOption layoutOption(QStringLiteral("layout"),
                                          QStringLiteral("The report layout (default: KSTPRN.FMT beside the report "
                                                         "library)."),
                                          QStringLiteral("FILE"));
    parser.addOption(pdf);
    parser.addOption(layoutOption);
    if (const int exit = line.Parse(args, 1, 1); exit >= 0)
        return exit;
    if (parser.value(pdf).isEmpty())
        return line.UsageError(QStringLiteral("--pdf FILE is required"));
    const QString catalogueArg = parser.positionalArguments().front();
    const QString pdfArg = parser.value(pdf);
    const QString layoutArg = parser.value(layoutOption);

    GroupCatalogue catalogue;
    const FileStatus status = LoadCatalogue(catalogue, PathArgument(catalogueArg));
    if (!status) {
        Error(QStringLiteral("%1: %2").arg(QString::fromStdString(ArgumentText(catalogueArg)),
                                           ui::FromGbk(status.error().message)));
        return status.error().IsIo() ? kExitFile : kExitCannotMake;
    }

    const std::string layout = layoutArg.isEmpty() ? DefaultReportLayoutPath().string() : ArgumentBytes(layoutArg);
    auto report = std::make_unique<ModuleReport>(layout.c_str(), nullptr);
    report->SetCatalogue(catalogue);
    const auto written = report->RunToPdf(PathArgument(pdfArg));
    if (written)
        return kExitDone;
    Error(written.error().text);
    switch (written.error().kind) {
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
