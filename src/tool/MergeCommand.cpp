// kestrel-tool merge: the results files of a sharded check made into the whole run's reports.
// Every shard can be green while the union misses modules; the merge is what proves the
// shards together checked the whole plan, so a hole fails it loudly.
#include "core/AtomicFile.h"
#include "core/Gbk.h"
#include "testing/batch/BatchReport.h"
#include "tool/ResultsFile.h"
#include "tool/ToolCommands.h"

#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace kestrel::tool {

namespace {

constexpr int kExitRefused = kExitCannotStart;

// A results file of a whole nightly run of 100,000 modules with their output stays well below.
constexpr std::uint64_t kMaxResultsBytes = std::uint64_t{1} << 31;

void Complain(const std::string& utf8) {
    std::fprintf(stderr, "kestrel-tool merge: %s\n", utf8.c_str());
}

std::string ShardText(const std::optional<ShardSpec>& shard) {
    return shard ? std::to_string(shard->index) + "/" + std::to_string(shard->count) : std::string("(not sharded)");
}

bool SamePlan(const ResultsFile& a, const ResultsFile& b, std::string& why) {
    if (a.groups.size() != b.groups.size()) {
        why = "their plans have different groups";
        return false;
    }
    for (std::size_t g = 0; g < a.groups.size(); ++g)
        if (a.groups[g].groupId != b.groups[g].groupId) {
            why = "their plans have different groups (" + a.groups[g].groupId + ", " + b.groups[g].groupId + ")";
            return false;
        }
    if (a.plan.size() != b.plan.size()) {
        why = "their plans differ (" + std::to_string(a.plan.size()) + " and " + std::to_string(b.plan.size()) +
              " modules)";
        return false;
    }
    for (std::size_t i = 0; i < a.plan.size(); ++i) {
        const PlannedModule& x = a.plan[i];
        const PlannedModule& y = b.plan[i];
        if (x.file != y.file || x.groupIndex != y.groupIndex) {
            why = "their plans differ at module " + std::to_string(i + 1) + " (" + x.file + ", " + y.file + ")";
            return false;
        }
        if (x.sha256 != y.sha256) {
            why = "their plans hold different versions of " + x.file;
            return false;
        }
        if (x.shard != y.shard) {
            why = "their plans split differently (" + x.file + " in shard " + std::to_string(x.shard) + " and " +
                  std::to_string(y.shard) + ")";
            return false;
        }
    }
    return true;
}

} // namespace

int MergeCommand(const QStringList& args) {
    CommandLine line("merge", "FILE... [--junit FILE] [--csv FILE] [--json FILE] [--allow-missing]",
                     "Reads the results files of the shards of one check run (check --shard --json) and writes the "
                     "whole run's JUnit, CSV and results file. Refuses files of different catalogues or plans, a "
                     "module in two shards and a file given twice; a planned module that no shard reported fails "
                     "the merge.",
                     {{kExitAllPassed, "all modules passed"},
                      {kExitSomeFailed, "some modules reported an error"},
                      {kExitRefused, "the files do not belong together (reason on stderr) or cannot be read"},
                      {kExitCannotWrite, "a report file could not be written"},
                      {kExitCouldNotRun, "some modules could not be run, or planned modules were reported by no "
                                         "shard (listed on stderr; wins over 1)"},
                      {kExitUsage, "usage"}});
    QCommandLineParser& parser = line.Parser();
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Results files of the shards."),
                                 QStringLiteral("FILE..."));
    const QCommandLineOption junit(QStringLiteral("junit"), QStringLiteral("Writes a JUnit XML report to FILE."),
                                   QStringLiteral("FILE"));
    const QCommandLineOption csv(QStringLiteral("csv"), QStringLiteral("Writes a CSV report (UTF-8) to FILE."),
                                 QStringLiteral("FILE"));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Writes the merged results file to FILE."),
                                  QStringLiteral("FILE"));
    const QCommandLineOption allowMissing(
        QStringLiteral("allow-missing"),
        QStringLiteral("Takes planned modules that no shard reported as not run instead of failing (exit 4)."));
    parser.addOptions({junit, csv, json, allowMissing});
    if (const int exit = line.Parse(args, 1, 100000); exit >= 0)
        return exit;
    std::vector<std::pair<std::filesystem::path, std::string>> outputs;
    for (const QCommandLineOption* option : {&junit, &csv, &json}) {
        if (parser.isSet(*option) && parser.value(*option).isEmpty())
            return line.UsageError(QStringLiteral("--%1 needs a file name").arg(option->names().front()));
        outputs.emplace_back(parser.isSet(*option) ? PathArgument(parser.value(*option)) : std::filesystem::path(),
                             std::string());
    }

    std::vector<std::string> names;
    std::vector<ResultsFile> files;
    std::map<std::pair<dev_t, ino_t>, std::string> seen;
    for (const QString& argument : parser.positionalArguments()) {
        const std::filesystem::path path = PathArgument(argument);
        const std::string name = ArgumentText(argument);
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            const auto [at, added] = seen.emplace(std::pair{info.st_dev, info.st_ino}, name);
            if (!added) {
                Complain(name + ": given twice (as " + at->second + " too)");
                return kExitRefused;
            }
        }
        std::string bytes;
        if (const FileStatus read = ReadWholeFile(path, bytes, kMaxResultsBytes); !read) {
            Complain(name + ": " + GbkToUtf8(read.error().message));
            return kExitRefused;
        }
        auto parsed = ParseResultsJson(bytes);
        if (!parsed) {
            Complain(name + ": " + parsed.error());
            return kExitRefused;
        }
        names.push_back(name);
        files.push_back(std::move(parsed).value());
    }

    const ResultsFile& first = files.front();
    std::map<std::string, std::string> shardFile;
    for (std::size_t f = 0; f < files.size(); ++f) {
        const ResultsFile& file = files[f];
        if (file.catalogueSha256 != first.catalogueSha256) {
            Complain(names[f] + " and " + names.front() + " are results of different catalogues (" +
                     file.cataloguePath + ", " + first.cataloguePath + ")");
            return kExitRefused;
        }
        if (std::string why; !SamePlan(first, file, why)) {
            Complain(names[f] + " and " + names.front() + ": " + why);
            return kExitRefused;
        }
        if ((file.shard.has_value() != first.shard.has_value()) ||
            (file.shard && file.shard->count != first.shard->count)) {
            Complain(names[f] + " (shard " + ShardText(file.shard) + ") and " + names.front() + " (shard " +
                     ShardText(first.shard) + ") are not parts of one split");
            return kExitRefused;
        }
        const auto [at, added] = shardFile.emplace(ShardText(file.shard), names[f]);
        if (!added) {
            Complain("shard " + ShardText(file.shard) + " given twice: " + at->second + " and " + names[f]);
            return kExitRefused;
        }
    }

    // Each planned module's result, from the one shard that reported it.
    std::vector<ModuleResult> results(first.plan.size(), NotRunResult());
    std::vector<int> from(first.plan.size(), -1);
    for (std::size_t f = 0; f < files.size(); ++f) {
        const ResultsFile& file = files[f];
        for (std::size_t r = 0; r < file.checked.size(); ++r) {
            const std::size_t i = file.checked[r];
            if (from[i] >= 0) {
                Complain(first.plan[i].file + ": in two shards, " + names[static_cast<std::size_t>(from[i])] + " and " +
                         names[f]);
                return kExitRefused;
            }
            from[i] = static_cast<int>(f);
            results[i] = file.results[r];
        }
    }
    std::size_t missing = 0;
    for (std::size_t i = 0; i < first.plan.size(); ++i) {
        if (from[i] >= 0)
            continue;
        ++missing;
        const int shard = first.plan[i].shard;
        Complain("missing: " + first.plan[i].file + " (" +
                 (shard > 0 ? "shard " + std::to_string(shard) + "/" + std::to_string(first.shard->count)
                            : std::string("the run")) +
                 " should have had it)");
    }
    if (missing > 0)
        Complain(std::to_string(missing) + " of the " + std::to_string(first.plan.size()) +
                 " planned modules were reported by no shard" +
                 (parser.isSet(allowMissing) ? ", taken as not run" : ""));

    BatchPlan plan;
    plan.groups = first.groups;
    plan.modules.reserve(first.plan.size());
    ResultsFile merged = first;
    merged.shard.reset();
    merged.split.clear();
    merged.checked.clear();
    BatchCounts counts;
    for (std::size_t i = 0; i < first.plan.size(); ++i) {
        BatchModule module;
        module.shown = first.plan[i].file;
        module.groupIndex = first.plan[i].groupIndex;
        module.groupId = first.groups[module.groupIndex].groupId;
        plan.modules.push_back(std::move(module));
        merged.checked.push_back(i);
        counts.Add(results[i]);
    }
    merged.results = results;
    // A hole in the run counts as modules that could not run.
    const bool hole = missing > 0 && !parser.isSet(allowMissing);
    int exitCode = CheckExitCode(counts.errors + (hole ? 1 : 0), counts.failed);
    outputs[0].second = outputs[0].first.empty() ? "" : JUnitXml(first.catalogueName, plan, results);
    outputs[1].second = outputs[1].first.empty() ? "" : CsvText(plan, results);
    outputs[2].second = outputs[2].first.empty() ? "" : ResultsJson(merged);
    for (const auto& [path, text] : outputs) {
        if (path.empty())
            continue;
        if (const FileStatus written = WriteOutputFile(path, text); !written) {
            Complain(path.string() + ": " + GbkToUtf8(written.error().message));
            exitCode = kExitCannotWrite;
        }
    }
    const bool reportOnStdout =
        std::any_of(outputs.begin(), outputs.end(), [](const auto& o) { return o.first == "-"; });
    std::fprintf(reportOnStdout ? stderr : stdout, "%s (%zu files merged)\n", CountsLine(counts).c_str(), files.size());
    return exitCode;
}

} // namespace kestrel::tool
