#pragma once
// What one check run takes of the catalogue's plan: the file-name globs, the modules an earlier
// run did not pass, and this job's part of a sharded run.
#include "core/Result.h"
#include "testing/batch/BatchPlan.h"
#include "testing/batch/BatchShard.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::tool {

struct NamedPath {
    std::filesystem::path path;
    std::string shown; // UTF-8
};

struct CheckSelection {
    std::vector<std::string> include; // file-name globs (UTF-8)
    std::vector<std::string> exclude;
    std::optional<NamedPath> failedFrom;
    std::vector<NamedPath> durations;
    std::optional<ShardSpec> shard;
};

struct SelectedPlan {
    BatchPlan whole;                    // every module the selection keeps, of every shard
    std::vector<int> shardOf;           // 1-based, by index into whole; empty when not sharded
    std::vector<double> expected;       // by index into whole; empty without durations
    std::string split;                  // "hash" or "durations" when sharded
    BatchPlan part;                     // what this run checks
    std::vector<std::size_t> partIndex; // into whole, for each module of part
    std::size_t failedEarlier = 0;      // with failedFrom: how many modules the file names as not passed
};

// Fails (UTF-8, naming the file) when a file of failedFrom or durations cannot be read: a
// re-run never falls back to the whole plan.
Result<SelectedPlan, std::string> SelectModules(BatchPlan plan, const CheckSelection& selection, const BatchNote& note);

// Only the modules at indexes, in that order; the groups stay as they are.
BatchPlan KeepModules(const BatchPlan& plan, const std::vector<std::size_t>& indexes);

} // namespace kestrel::tool
