// kestrel-tool grep PATTERN CATALOGUE: which modules mention a table, a variable, a word.
#include "core/Gbk.h"
#include "repository/ModuleSearch.h"
#include "tool/ToolCommands.h"
#include "ui/GbkText.h"

#include <cstdio>

namespace kestrel::tool {

namespace {
constexpr int kExitFound = 0;
constexpr int kExitNothing = 1;
} // namespace

int GrepCommand(const QStringList& args) {
    CommandLine line("grep", "PATTERN CATALOGUE [--group ID] [-i] [--regex]",
                     "Searches the titles, SQL, descriptions, variable names and test values of the modules "
                     "of the catalogue's groups. Prints FILE:LINE: TEXT for a line of SQL, and "
                     "FILE:0: FIELD: TEXT for the other fields.",
                     {{kExitFound, "found"},
                      {kExitNothing, "nothing found"},
                      {kExitInvalidInput, "invalid expression, unknown group, or no catalogue file"},
                      {kExitFileError, "a file cannot be read"},
                      {kExitUsage, "usage"}});
    QCommandLineParser& parser = line.Parser();
    parser.addPositionalArgument(QStringLiteral("PATTERN"), QStringLiteral("The text to look for."));
    parser.addPositionalArgument(QStringLiteral("CATALOGUE"), QStringLiteral("The group catalogue (.MGP)."));
    const QCommandLineOption group(QStringLiteral("group"), QStringLiteral("Searches only the group with this ID."),
                                   QStringLiteral("ID"));
    const QCommandLineOption ignoreCase(QStringList{QStringLiteral("i"), QStringLiteral("ignore-case")},
                                        QStringLiteral("Ignores the case of Latin letters."));
    const QCommandLineOption regex(QStringLiteral("regex"),
                                   QStringLiteral("PATTERN is a regular expression (ECMAScript syntax)."));
    parser.addOptions({group, ignoreCase, regex});
    if (const int exit = line.Parse(args, 2, 2); exit >= 0)
        return exit;
    const QStringList positional = parser.positionalArguments();
    if (positional[0].isEmpty() || positional[1].isEmpty())
        return line.UsageError(QStringLiteral("empty pattern or catalogue name"));
    SearchOptions options;
    options.pattern = positional[0].toStdString();
    options.ignoreCase = parser.isSet(ignoreCase);
    options.regex = parser.isSet(regex);
    if (parser.isSet(group)) {
        const std::optional<std::string> gbk = ui::ToGbk(parser.value(group));
        if (!gbk)
            return line.UsageError(QStringLiteral("the group ID has characters that GBK cannot hold"));
        options.group = *gbk;
        options.hasGroup = true;
    }
    const std::filesystem::path path = PathArgument(positional[1]);
    GroupCatalogue catalogue;
    if (FileStatus loaded = LoadCatalogue(catalogue, path); !loaded) {
        std::fprintf(stderr, "kestrel-tool grep: %s: %s\n", ArgumentText(positional[1]).c_str(),
                     loaded.error().IsInvalid() ? "not a catalogue file" : GbkToUtf8(loaded.error().message).c_str());
        return loaded.error().IsInvalid() ? kExitInvalidInput : kExitFileError;
    }
    std::vector<SearchHit> hits;
    if (FileStatus searched = SearchModules(catalogue, options, hits); !searched) {
        std::fprintf(stderr, "kestrel-tool grep: %s\n", GbkToUtf8(searched.error().Text()).c_str());
        return searched.error().IsInvalid() ? kExitInvalidInput : kExitFileError;
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
