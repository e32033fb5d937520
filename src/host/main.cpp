// kestrel-host: loads the plug-in, enters it through ModuleDesign and exits when it returns.
#include "core/ProgramArguments.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <optional>
#include <string>

using namespace kestrel;

namespace {

constexpr char kUsage[] = "usage: kestrel-host [--demo] [--library PATH] [Qt options]\n"
                          "Opens the module definition tool: the login, then the editor.\n"
                          "  --demo          makes the demo workspace unless it exists, and opens the tool on it\n"
                          "  --library PATH  the plug-in to load (default: libkestrel.so beside this program)\n"
                          "  -h, --help      this text\n"
                          "  --version       the version\n";

ProgramArguments ParseHostArguments(int argc, char** argv) {
    return ParseProgramArguments(argc, argv, {{"--demo"}, {"--library", true}, {"--version"}});
}

// Outside any source tree and beside the user's other data, so that an installed copy has one too.
QString DemoFolder() {
    const QString chosen = qEnvironmentVariable("KESTREL_DEMO_DIR");
    if (!chosen.isEmpty())
        return chosen;
    QString data = qEnvironmentVariable("XDG_DATA_HOME");
    if (!data.startsWith(QLatin1Char('/')))
        data = QDir::homePath() + QStringLiteral("/.local/share");
    return data + QStringLiteral("/kestrel-demo");
}

// The workspace is written by kestrel-make-demo beside this program; one made before is kept
// as it is, with the user's changes.
bool PrepareDemo(const QString& programDir) {
    const QString folder = DemoFolder();
    if (!QFileInfo::exists(folder + QStringLiteral("/demo.MGP")) ||
        !QFileInfo::exists(folder + QStringLiteral("/audit.db"))) {
        std::printf("Creating the demo workspace in %s\n", qPrintable(folder));
        std::fflush(stdout);
        const QString maker = programDir + QStringLiteral("/kestrel-make-demo");
        const int status = QProcess::execute(maker, {folder});
        if (status != 0) {
            std::fprintf(stderr, "kestrel-host: %s could not make the demo workspace in %s\n", qPrintable(maker),
                         qPrintable(folder));
            return false;
        }
    }
    // The demo's DLL modules name ./libsample_module.so, and a test runs in the module folder.
    // A file of that name that is not our link belongs to the user and stays.
    const QString sample = programDir + QStringLiteral("/libsample_module.so");
    const QString link = folder + QStringLiteral("/libsample_module.so");
    const QFileInfo existing(link);
    if (QFileInfo::exists(sample) && (existing.isSymLink() || !existing.exists())) {
        QFile::remove(link);
        QFile::link(sample, link);
    }
    std::printf("Demo catalogue: %s/demo.MGP   audit database: %s/audit.db\n"
                "Log in as SA with the password: tide oak plum\n",
                qPrintable(folder), qPrintable(folder));
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    // Answered before Qt starts, so that they work without a display. Qt's own options (one
    // dash: -platform, -style, ...) are Qt's to take, so only a long option can be refused here.
    {
        ProgramArguments early = ParseHostArguments(argc, argv);
        if (early.error.rfind("unknown option: --", 0) != 0 && early.error.find("needs a value") == std::string::npos)
            early.error.clear();
        if (const std::optional<int> exit = AnswerUsage(early, "kestrel-host", kUsage))
            return *exit;
        if (early.Has("--version")) {
            std::printf("kestrel-host %s\n", KESTREL_VERSION);
            return 0;
        }
    }
    QApplication app(argc, argv);
    // The name titles every message box without a caption of its own. A display name would
    // be appended to every window title, so none is set.
    QApplication::setApplicationName(QStringLiteral("审计系统"));

    // What Qt left of the command line is ours.
    ProgramArguments arguments = ParseHostArguments(argc, argv);
    arguments.ExpectOperands(0, "");
    if (const std::optional<int> exit = AnswerUsage(arguments, "kestrel-host", kUsage))
        return *exit;
    const QString programDir = QCoreApplication::applicationDirPath();
    std::string library = (programDir + QStringLiteral("/libkestrel.so")).toStdString();
    if (const std::optional<std::string> chosen = arguments.Value("--library"))
        library = *chosen;
    const bool demo = arguments.Has("--demo");
    if (demo && !PrepareDemo(programDir))
        return 1;

    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        std::fprintf(stderr, "kestrel-host: %s\n", dlerror());
        return 1;
    }
    using Entry = void (*)();
    auto entry = reinterpret_cast<Entry>(dlsym(handle, "ModuleDesign"));
    if (!entry) {
        std::fprintf(stderr, "kestrel-host: %s\n", dlerror());
        dlclose(handle);
        return 1;
    }
    entry();
    dlclose(handle);
    return 0;
}
