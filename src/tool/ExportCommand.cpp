// kestrel-tool export CATALOGUE DIR: the catalogue and its modules as text for version control.
#include "core/Gbk.h"
#include "repository/TextForm.h"
#include "tool/ToolCommands.h"

#include <cstdio>

namespace kestrel::tool {

int ExportCommand(const QStringList& args) {
    CommandLine line("export", "CATALOGUE DIR",
                     "Writes the catalogue and every module of its groups as UTF-8 text into DIR: "
                     "catalogue.toml, and per module modules/NAME.toml (its fields) and, for an SQL module, "
                     "modules/NAME.sql. Text files of modules that are gone are removed; exporting twice "
                     "gives the same tree.",
                     {{0, "written"},
                      {kExitInvalidInput, "the catalogue is no catalogue file"},
                      {kExitFileError, "a file cannot be read or written (the system's error on stderr)"},
                      {kExitUsage, "usage"}});
    line.Parser().addPositionalArgument(QStringLiteral("CATALOGUE"), QStringLiteral("The group catalogue (.MGP)."));
    line.Parser().addPositionalArgument(QStringLiteral("DIR"), QStringLiteral("The folder of the text form."));
    if (const int exit = line.Parse(args, 2, 2); exit >= 0)
        return exit;
    const QStringList positional = line.Parser().positionalArguments();
    if (positional[0].isEmpty() || positional[1].isEmpty())
        return line.UsageError(QStringLiteral("empty file name"));
    int modules = 0;
    const FileStatus exported = ExportTextForm(PathArgument(positional[0]), PathArgument(positional[1]), modules);
    if (!exported) {
        std::fprintf(stderr, "kestrel-tool export: %s\n", GbkToUtf8(exported.error().Text()).c_str());
        return exported.error().IsInvalid() ? kExitInvalidInput : kExitFileError;
    }
    std::printf("%d modules exported\n", modules);
    return 0;
}

} // namespace kestrel::tool
