#pragma once
// The results file of a check (check --json, merge --json): every fact of a run as one JSON
// object, for the merge of a sharded run, the durations of the next split and the re-run of
// what failed. The format is documented in the README; readers check "format" and "version".
#include "core/Result.h"
#include "testing/batch/BatchPlan.h"
#include "testing/batch/BatchRun.h"
#include "testing/batch/BatchShard.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::tool {

inline constexpr char kResultsFormat[] = "kestrel-check-results";
inline constexpr int kResultsVersion = 1;

struct PlannedModule {
    std::string file; // UTF-8, as the reports name it
    std::size_t groupIndex = 0;
    std::string sha256; // of the module as it was planned; empty for a file that could not be read
    int shard = 0;      // 1-based part of a sharded run; 0 when the run was not sharded
};

struct ResultsFile {
    std::string toolVersion;
    std::string cataloguePath;   // UTF-8, as the command line named it
    std::string catalogueName;   // the file name, as JUnit's suite name has it
    std::string catalogueSha256; // of the catalogue's bytes
    std::vector<BatchGroup> groups;
    std::vector<PlannedModule> plan; // every module selected for the whole run, in plan order
    std::optional<ShardSpec> shard;
    std::string split; // "hash" or "durations" when sharded
    // The modules this run checked, by index into plan, with their results.
    std::vector<std::size_t> checked;
    std::vector<ModuleResult> results;
};

std::string ResultsJson(const ResultsFile& file);
// Fails (UTF-8, why) for what is no results file of a version this tool reads.
Result<ResultsFile, std::string> ParseResultsJson(const std::string& bytes);

// Lowercase hex SHA-256 of bytes.
std::string Sha256Hex(const std::string& bytes);

// What an earlier run says of one module: from a results file, a JUnit or a CSV report.
struct EarlierResult {
    std::string file; // UTF-8
    Verdict verdict = Verdict::kNotRun;
    double seconds = 0;
};
// The format is told by the content. Fails (UTF-8, naming the file) when the file cannot be
// read or is none of the three.
Result<std::vector<EarlierResult>, std::string> ReadEarlierResults(const std::filesystem::path& path,
                                                                   const std::string& shown);

} // namespace kestrel::tool
