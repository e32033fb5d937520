// kestrel-tool lint CATALOGUE: what would break a test run or the report, before anything runs.
#include "core/Gbk.h"
#include "testing/Lint.h"
#include "tool/ToolCommands.h"

#include <cstdio>

namespace kestrel::tool {

namespace {
constexpr int kExitClean = 0;
constexpr int kExitWarnings = 1;
constexpr int kExitErrors = 2;
} // namespace

int LintCommand(const QStringList& args) {
    if (args.size() != 1 || args[0].startsWith(QLatin1Char('-'))) {
        std::fputs("usage: kestrel-tool lint CATALOGUE\n", stderr);
        return kExitUsage;
    }
    const std::filesystem::path catalogue = PathArgument(args[0]);
    std::vector<LintFinding> findings;
    if (FileStatus linted = LintCatalogue(catalogue, findings); !linted) {
        std::fprintf(stderr, "kestrel-tool lint: %s: %s\n", catalogue.c_str(),
                     linted.IsInvalid() ? "not a catalogue file" : GbkToUtf8(linted.message).c_str());
        return linted.IsInvalid() ? kExitErrors : kExitFileError;
    }
    int exitCode = kExitClean;
    const std::filesystem::path folder = catalogue.parent_path();
    for (const LintFinding& finding : findings) {
        const bool error = finding.level == LintLevel::Error;
        std::printf("%s:%d: %s: %s\n", (folder / GbkToUtf8(finding.fileName)).c_str(), finding.line,
                    error ? "error" : "warning", finding.message.c_str());
        exitCode = std::max(exitCode, error ? kExitErrors : kExitWarnings);
    }
    return exitCode;
}

} // namespace kestrel::tool
