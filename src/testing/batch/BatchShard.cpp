#include "testing/batch/BatchShard.h"

#include <fnmatch.h>

#include <algorithm>
#include <charconv>
#include <numeric>

namespace kestrel {

namespace {

std::optional<int> WholeNumber(std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

} // namespace

std::optional<ShardSpec> ParseShard(std::string_view text, int maxCount) {
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos)
        return std::nullopt;
    const std::optional<int> index = WholeNumber(text.substr(0, slash));
    const std::optional<int> count = WholeNumber(text.substr(slash + 1));
    if (!index || !count || *count < 1 || *count > maxCount || *index < 1 || *index > *count)
        return std::nullopt;
    return ShardSpec{*index, *count};
}

std::uint64_t StableHash(std::string_view bytes) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    // FNV's low bits follow the last bytes too closely for a split by remainder.
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdull;
    hash ^= hash >> 33;
    hash *= 0xc4ceb9fe1a85ec53ull;
    hash ^= hash >> 33;
    return hash;
}

std::vector<int> SplitByHash(const std::vector<std::string>& names, int count) {
    std::vector<int> parts(names.size(), 0);
    if (count < 1)
        return parts;
    for (std::size_t i = 0; i < names.size(); ++i)
        parts[i] = static_cast<int>(StableHash(names[i]) % static_cast<std::uint64_t>(count));
    return parts;
}

std::vector<double> ExpectedSeconds(const std::vector<std::string>& names, const std::map<std::string, double>& known) {
    std::vector<double> found;
    std::vector<double> seconds(names.size(), -1);
    for (std::size_t i = 0; i < names.size(); ++i)
        if (const auto it = known.find(names[i]); it != known.end()) {
            seconds[i] = it->second;
            found.push_back(it->second);
        }
    double median = 1;
    if (!found.empty()) {
        std::sort(found.begin(), found.end());
        const std::size_t half = found.size() / 2;
        median = found.size() % 2 == 1 ? found[half] : (found[half - 1] + found[half]) / 2;
    }
    for (double& s : seconds)
        if (s < 0)
            s = median;
    return seconds;
}

std::vector<int> SplitBySeconds(const std::vector<std::string>& names, const std::vector<double>& seconds, int count) {
    std::vector<int> parts(names.size(), 0);
    if (count < 1)
        return parts;
    std::vector<std::size_t> order(names.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (seconds[a] != seconds[b])
            return seconds[a] > seconds[b];
        if (names[a] != names[b])
            return names[a] < names[b];
        return a < b;
    });
    std::vector<double> load(static_cast<std::size_t>(count), 0);
    for (const std::size_t i : order) {
        const auto least = std::min_element(load.begin(), load.end());
        *least += seconds[i];
        parts[i] = static_cast<int>(least - load.begin());
    }
    return parts;
}

bool NameMatches(const std::string& glob, const std::string& name) {
    return ::fnmatch(glob.c_str(), name.c_str(), 0) == 0;
}

bool NameSelected(const std::string& name, const std::vector<std::string>& include,
                  const std::vector<std::string>& exclude) {
    const auto matches = [&](const std::string& glob) { return NameMatches(glob, name); };
    if (!include.empty() && std::none_of(include.begin(), include.end(), matches))
        return false;
    return std::none_of(exclude.begin(), exclude.end(), matches);
}

} // namespace kestrel
