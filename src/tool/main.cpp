// kestrel-tool: the stored files and the module checks, for people and scripts.
#include "tool/ToolCommands.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {
constexpr char kUsage[] =
    "usage: kestrel-tool show FILE\n"
    "       kestrel-tool check CATALOGUE [--group ID] --connect CONNSTR [--junit FILE] [--csv FILE]\n"
    "       kestrel-tool report CATALOGUE --pdf FILE [--layout FILE]\n"
    "       kestrel-tool export CATALOGUE DIR\n"
    "       kestrel-tool import DIR CATALOGUE\n"
    "       kestrel-tool lint CATALOGUE\n"
    "       kestrel-tool grep PATTERN CATALOGUE [--group ID] [-i] [--regex]\n"
    "       kestrel-tool --help | --version\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return kestrel::tool::kExitUsage;
}
} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return Usage();
    if (std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("kestrel-tool %s\n", KESTREL_VERSION);
        return 0;
    }
    const bool report = std::strcmp(argv[1], "report") == 0;
    // The report renders text to PDF and needs a GUI application (fonts); the rest does not.
    if (report && !qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    std::unique_ptr<QCoreApplication> app;
    if (report)
        app = std::make_unique<QGuiApplication>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(2);
    const QString command = QString::fromLocal8Bit(argv[1]);
    if (command == QLatin1String("show"))
        return kestrel::tool::ShowCommand(args);
    if (command == QLatin1String("check"))
        return kestrel::tool::CheckCommand(args);
    if (command == QLatin1String("export"))
        return kestrel::tool::ExportCommand(args);
    if (command == QLatin1String("import"))
        return kestrel::tool::ImportCommand(args);
    if (command == QLatin1String("lint"))
        return kestrel::tool::LintCommand(args);
    if (command == QLatin1String("grep"))
        return kestrel::tool::GrepCommand(args);
    if (report)
        return kestrel::tool::ReportCommand(args);
    return Usage();
}
