// kestrel-tool lint CATALOGUE: what would break a test run or the report, before anything runs.
#include "core/Gbk.h"
#include "testing/Lint.h"
#include "tool/ToolCommands.h"

#include <algorithm>
#include <cstdio>

namespace kestrel::tool {

namespace {
constexpr int kExitClean = 0;
constexpr int kExitWarnings = 1;
constexpr int kExitErrors = 2;
} // namespace

int LintCommand(const QStringList& args) {
    CommandLine line("lint", "CATALOGUE",
                     "Checks every .kst file of the catalogue's folder without running anything: files that "
                     "are no module files, modules of no group of the catalogue, placeholders no Import or "
                     "Config variable fills, variables never used, test values outside their type's range, "
                     "duplicate variable names, DLL libraries that cannot be found or lack the function, the "
                     "error table named with a qualifier, file names the tool would refuse. One line per "
                     "finding: FILE:LINE: error|warning: MESSAGE (LINE is the SQL line, 0 for the file as a "
                     "whole).",
                     {{kExitClean, "nothing found"},
                      {kExitWarnings, "warnings only"},
                      {kExitErrors, "errors found, or the catalogue is no catalogue file"},
                      {kExitFileError, "the catalogue or its folder cannot be read"},
                      {kExitUsage, "usage"}});
    line.Parser().addPositionalArgument(QStringLiteral("CATALOGUE"), QStringLiteral("The group catalogue (.MGP)."));
    if (const int exit = line.Parse(args, 1, 1); exit >= 0)
        return exit;
    const QString argument = line.Parser().positionalArguments().front();
    if (argument.isEmpty())
        return line.UsageError(QStringLiteral("empty catalogue name"));
    const std::filesystem::path catalogue = PathArgument(argument);
    std::vector<LintFinding> findings;
    if (FileStatus linted = LintCatalogue(catalogue, findings); !linted) {
        std::fprintf(stderr, "kestrel-tool lint: %s: %s\n", ArgumentText(argument).c_str(),
                     linted.error().IsInvalid() ? "not a catalogue file" : GbkToUtf8(linted.error().message).c_str());
        return linted.error().IsInvalid() ? kExitErrors : kExitFileError;
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
