// kestrel-tool export CATALOGUE DIR: the catalogue and its modules as text for version control.
#include "core/Gbk.h"
#include "repository/TextForm.h"
#include "tool/ToolCommands.h"

#include <cstdio>

namespace kestrel::tool {

int ExportCommand(const QStringList& args) {
    if (args.size() != 2 || args[0].startsWith(QLatin1Char('-')) || args[1].startsWith(QLatin1Char('-'))) {
        std::fputs("usage: kestrel-tool export CATALOGUE DIR\n", stderr);
        return kExitUsage;
    }
    int modules = 0;
    const FileStatus exported = ExportTextForm(PathArgument(args[0]), PathArgument(args[1]), modules);
    if (!exported) {
        std::fprintf(stderr, "kestrel-tool export: %s\n", GbkToUtf8(exported.message).c_str());
        return exported.IsInvalid() ? kExitInvalidInput : kExitFileError;
    }
    std::printf("%d modules exported\n", modules);
    return 0;
}

} // namespace kestrel::tool
