// kestrel-tool grep PATTERN CATALOGUE: which modules mention a table, a variable, a word.
#include "core/Gbk.h"
#include "repository/ModuleSearch.h"
#include "tool/ToolCommands.h"

#include <cstdio>

namespace kestrel::tool {

namespace {
constexpr int kExitFound = 0;
constexpr int kExitNothing = 1;
constexpr char kGrepUsage[] = "usage: kestrel-tool grep PATTERN CATALOGUE [--group ID] [-i] [--regex]\n";
} // namespace

int GrepCommand(const QStringList& args) {
    SearchOptions options;
    QStringList positional;
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QLatin1String("-i") || arg == QLatin1String("--ignore-case")) {
            options.ignoreCase = true;
        } else if (arg == QLatin1String("--regex")) {
            options.regex = true;
        } else if (arg == QLatin1String("--group") && i + 1 < args.size()) {
            options.hasGroup = true;
            options.group = Utf8ToGbkLossy(args[++i].toStdString());
        } else if (arg.startsWith(QLatin1String("--group="))) {
            options.hasGroup = true;
            options.group = Utf8ToGbkLossy(arg.mid(8).toStdString());
        } else if (arg == QLatin1String("--")) {
            positional += args.mid(i + 1);
            break;
        } else if (arg.startsWith(QLatin1Char('-')) && positional.isEmpty() == false && arg.size() > 1) {
            std::fputs(kGrepUsage, stderr);
            return kExitUsage;
        } else {
            positional += arg;
        }
    }
    if (positional.size() != 2 || positional[0].isEmpty()) {
        std::fputs(kGrepUsage, stderr);
        return kExitUsage;
    }
    options.pattern = positional[0].toStdString();
    const std::filesystem::path path = PathArgument(positional[1]);
    GroupCatalogue catalogue;
    if (FileStatus loaded = LoadCatalogue(catalogue, path); !loaded) {
        std::fprintf(stderr, "kestrel-tool grep: %s: %s\n", path.c_str(),
                     loaded.IsInvalid() ? "not a catalogue file" : GbkToUtf8(loaded.message).c_str());
        return loaded.IsInvalid() ? kExitInvalidInput : kExitFileError;
    }
    std::vector<SearchHit> hits;
    if (FileStatus searched = SearchModules(catalogue, options, hits); !searched) {
        std::fprintf(stderr, "kestrel-tool grep: %s\n", GbkToUtf8(searched.message).c_str());
        return searched.IsInvalid() ? kExitInvalidInput : kExitFileError;
    }
    const std::filesystem::path folder = path.parent_path();
    for (const SearchHit& hit : hits) {
        const std::string file = (folder / GbkToUtf8(hit.fileName)).string();
        if (hit.field == SearchField::Sql)
            std::printf("%s:%d: %s\n", file.c_str(), hit.line, hit.text.c_str());
        else
            std::printf("%s:0: %s: %s\n", file.c_str(), SearchFieldLabel(hit).c_str(), hit.text.c_str());
    }
    return hits.empty() ? kExitNothing : kExitFound;
}

} // namespace kestrel::tool
