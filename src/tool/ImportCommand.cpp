// kestrel-tool import DIR CATALOGUE: the text form written back as the stored files, all or
// nothing.
#include "core/Gbk.h"
#include "repository/TextForm.h"
#include "tool/ToolCommands.h"

#include <cstdio>

namespace kestrel::tool {

int ImportCommand(const QStringList& args) {
    CommandLine line("import", "DIR CATALOGUE",
                     "Reads the text form in DIR (as export writes it) and writes the catalogue file and its "
                     "module files beside it. Every file is checked first; when one is refused, nothing is "
                     "written and each refusal is printed as FILE:LINE: error: MESSAGE.",
                     {{0, "written"},
                      {kExitInvalidInput, "a text file was refused; nothing written"},
                      {kExitFileError, "a file cannot be read or written (the system's error on stderr)"},
                      {kExitUsage, "usage"}});
    line.Parser().addPositionalArgument(QStringLiteral("DIR"), QStringLiteral("The folder of the text form."));
    line.Parser().addPositionalArgument(QStringLiteral("CATALOGUE"), QStringLiteral("The group catalogue to write."));
    if (const int exit = line.Parse(args, 2, 2); exit >= 0)
        return exit;
    const QStringList positional = line.Parser().positionalArguments();
    if (positional[0].isEmpty() || positional[1].isEmpty())
        return line.UsageError(QStringLiteral("empty file name"));
    const std::filesystem::path dir = PathArgument(positional[0]);
    std::vector<TextFinding> findings;
    int modules = 0;
    const FileStatus imported = ImportTextForm(dir, PathArgument(positional[1]), findings, modules);
    for (const TextFinding& finding : findings)
        std::fprintf(stderr, "%s:%d: error: %s\n", (dir / finding.file).c_str(), finding.line, finding.message.c_str());
    if (!imported) {
        if (imported.error().IsInvalid()) {
            std::fprintf(stderr, "kestrel-tool import: nothing written (%zu errors)\n", findings.size());
            return kExitInvalidInput;
        }
        std::fprintf(stderr, "kestrel-tool import: %s\n", GbkToUtf8(imported.error().Text()).c_str());
        return kExitFileError;
    }
    std::printf("%d modules imported\n", modules);
    return 0;
}

} // namespace kestrel::tool
