#pragma once
// How a plan is split over the parallel jobs of a CI system, and the file-name selection that
// goes with it. Every function here gives the same answer on every machine, in every locale and
// whatever order a folder lists its files in: each job computes the split on its own, and only
// agreement between them makes the parts add up to the whole plan.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

// Part index of count, both counted from 1 as CI_NODE_INDEX and CI_NODE_TOTAL count.
struct ShardSpec {
    int index = 1;
    int count = 1;
};

// "K/N" with 1 <= K <= N <= maxCount; nullopt for anything else.
std::optional<ShardSpec> ParseShard(std::string_view text, int maxCount = 1000);

// FNV-1a over the bytes, then mixed so that its low bits are as good as its high ones.
std::uint64_t StableHash(std::string_view bytes);

// The part (0-based) of each name: from its own hash alone, so adding or removing one module
// moves no other.
std::vector<int> SplitByHash(const std::vector<std::string>& names, int count);

// The seconds each module is expected to take: its known time, or the median of the known
// ones for a module with none (1 s when nothing is known).
std::vector<double> ExpectedSeconds(const std::vector<std::string>& names, const std::map<std::string, double>& known);

// The part (0-based) of each module: the longest first, each onto the part with the least
// expected time so far (the lower part on a tie); equal times are placed in file-name order.
std::vector<int> SplitBySeconds(const std::vector<std::string>& names, const std::vector<double>& seconds, int count);

// A file-name glob as the shell has it (*, ?, [...]), matched on the whole name.
bool NameMatches(const std::string& glob, const std::string& name);

// Kept: the name matches one of include (when there are any) and none of exclude.
bool NameSelected(const std::string& name, const std::vector<std::string>& include,
                  const std::vector<std::string>& exclude);

} // namespace kestrel
