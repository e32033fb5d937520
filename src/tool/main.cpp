// kestrel-tool: the stored files and the module checks, for people and scripts.
#include "tool/ToolCommands.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>
#include <optional>

namespace {

using kestrel::tool::kExitUsage;

struct Command {
    const char* name;
    const char* summary;
    // Renders text (fonts): needs a GUI application, offscreen unless told otherwise.
    bool gui;
    int (*run)(const QStringList& args);
};

// Every command of the tool; "help COMMAND" and the overview are made from this table.
constexpr Command kCommands[] = {
    {"show", "print a module, catalogue or user file as JSON", false, kestrel::tool::ShowCommand},
    {"check", "run every module of a catalogue against a database", false, kestrel::tool::CheckCommand},
    {"report", "write the catalogue report as PDF", true, kestrel::tool::ReportCommand},
    {"export", "write a catalogue and its modules as text files", false, kestrel::tool::ExportCommand},
    {"import", "make a catalogue and its modules from text files", false, kestrel::tool::ImportCommand},
    {"lint", "find problems in a catalogue's modules before anything runs", false, kestrel::tool::LintCommand},
    {"grep", "search the modules of a catalogue", false, kestrel::tool::GrepCommand},
    {"merge", "make the whole run's reports from the results files of its shards", false, kestrel::tool::MergeCommand},
};

const Command* FindCommand(const QString& name) {
    for (const Command& command : kCommands)
        if (name == QLatin1String(command.name))
            return &command;
    return nullptr;
}

void Overview(std::FILE* out) {
    std::fputs("usage: kestrel-tool COMMAND [options] [arguments]\n"
               "       kestrel-tool help COMMAND | --help | --version\n\nCommands:\n",
               out);
    for (const Command& command : kCommands)
        std::fprintf(out, "  %-8s %s\n", command.name, command.summary);
    std::fputs("\nkestrel-tool COMMAND --help shows a command's options and exit codes.\n", out);
}

int Run(const Command& command, int argc, char** argv, const QStringList& args) {
    std::unique_ptr<QCoreApplication> app;
    std::optional<QTemporaryDir> runtime;
    if (command.gui) {
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        // A CI shell has no session and so no runtime folder, and the toolkit warns about that
        // on every run: such a run gets a private one for its own life.
        if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
            runtime.emplace(QDir::tempPath() + QStringLiteral("/kestrel-runtime-XXXXXX"));
            if (runtime->isValid()) {
                QFile::setPermissions(runtime->path(),
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
                qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime->path()));
            }
        }
        app = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    const int exit = command.run(args);
    app.reset();
    return exit;
}

} // namespace

int main(int argc, char** argv) {
    // Taken before Qt sees them, byte for byte (see ArgumentsOf).
    const QStringList arguments = kestrel::tool::ArgumentsOf(argc, argv);
    if (arguments.size() < 2) {
        Overview(stderr);
        return kExitUsage;
    }
    const QString first = arguments[1];
    if (first == QLatin1String("--help") || first == QLatin1String("-h")) {
        Overview(stdout);
        return 0;
    }
    if (first == QLatin1String("--version")) {
        std::printf("kestrel-tool %s\n", KESTREL_VERSION);
        return 0;
    }
    if (first == QLatin1String("help")) {
        if (arguments.size() == 2) {
            Overview(stdout);
            return 0;
        }
        const Command* command = arguments.size() == 3 ? FindCommand(arguments[2]) : nullptr;
        if (!command) {
            Overview(stderr);
            return kExitUsage;
        }
        return Run(*command, argc, argv, {QStringLiteral("--help")});
    }
    const Command* command = FindCommand(first);
    if (!command) {
        std::fprintf(stderr, "kestrel-tool: unknown %s: %s\n",
                     first.startsWith(QLatin1Char('-')) ? "option" : "command",
                     kestrel::tool::ArgumentText(first).c_str());
        Overview(stderr);
        return kExitUsage;
    }
    return Run(*command, argc, argv, arguments.mid(2));
}
