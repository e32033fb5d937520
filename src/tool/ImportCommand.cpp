// kestrel-tool import DIR CATALOGUE: the text form written back as the stored files, all or
// nothing.
#include "core/Gbk.h"
#include "repository/TextForm.h"
#include "tool/ToolCommands.h"

#include <cstdio>

namespace kestrel::tool {

int ImportCommand(const QStringList& args) {
    if (args.size() != 2 || args[0].startsWith(QLatin1Char('-')) || args[1].startsWith(QLatin1Char('-'))) {
        std::fputs("usage: kestrel-tool import DIR CATALOGUE\n", stderr);
        return kExitUsage;
    }
    const std::filesystem::path dir = PathArgument(args[0]);
    std::vector<TextFinding> findings;
    int modules = 0;
    const FileStatus imported = ImportTextForm(dir, PathArgument(args[1]), findings, modules);
    for (const TextFinding& finding : findings)
        std::fprintf(stderr, "%s:%d: error: %s\n", (dir / finding.file).c_str(), finding.line, finding.message.c_str());
    if (!imported) {
        if (imported.IsInvalid()) {
            std::fprintf(stderr, "kestrel-tool import: nothing written (%zu errors)\n", findings.size());
            return kExitInvalidInput;
        }
        std::fprintf(stderr, "kestrel-tool import: %s\n", GbkToUtf8(imported.message).c_str());
        return kExitFileError;
    }
    std::printf("%d modules imported\n", modules);
    return 0;
}

} // namespace kestrel::tool
