// The split of 2,000 modules over 4 and 8 CI jobs: the slowest part's expected time against the
// ideal (total / N), by the times of an earlier run (target <= 1.05x) and by file-name hash alone
// (no target: it balances counts, not times). Durations are log-normal with a fixed seed, a few
// modules a hundred times the median. The split itself is timed too.
#include "testing/batch/BatchShard.h"

#include "BenchRatio.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kModules = 2000;

struct Catalogue {
    std::vector<std::string> names;
    std::vector<double> seconds;
};

const Catalogue& Modules() {
    static const Catalogue catalogue = [] {
        Catalogue c;
        std::mt19937_64 random(20261209);
        std::lognormal_distribution<double> duration(0.0, 1.2);
        for (int i = 0; i < kModules; ++i) {
            c.names.push_back("audit_" + std::to_string(i) + ".kst");
            c.seconds.push_back(duration(random));
        }
        // A few giants, a hundred times the median (which is e^0 = 1 s).
        for (int i = 0; i < 5; ++i)
            c.seconds[static_cast<std::size_t>(i * 397)] = 100;
        return c;
    }();
    return catalogue;
}

double SlowestOverIdeal(const std::vector<int>& parts, int count) {
    const Catalogue& c = Modules();
    std::vector<double> load(static_cast<std::size_t>(count), 0);
    for (std::size_t i = 0; i < parts.size(); ++i)
        load[static_cast<std::size_t>(parts[i])] += c.seconds[i];
    const double total = std::accumulate(load.begin(), load.end(), 0.0);
    return *std::max_element(load.begin(), load.end()) / (total / count);
}

void BM_SplitBySeconds(benchmark::State& state) {
    const Catalogue& c = Modules();
    std::map<std::string, double> known;
    for (std::size_t i = 0; i < c.names.size(); ++i)
        known[c.names[i]] = c.seconds[i];
    for (auto _ : state) {
        const auto seconds = kestrel::ExpectedSeconds(c.names, known);
        benchmark::DoNotOptimize(kestrel::SplitBySeconds(c.names, seconds, static_cast<int>(state.range(0))));
    }
}
BENCHMARK(BM_SplitBySeconds)->Arg(4)->Arg(8)->Unit(benchmark::kMicrosecond);

void BM_SplitByHash(benchmark::State& state) {
    const Catalogue& c = Modules();
    for (auto _ : state)
        benchmark::DoNotOptimize(kestrel::SplitByHash(c.names, static_cast<int>(state.range(0))));
}
BENCHMARK(BM_SplitByHash)->Arg(4)->Arg(8)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    kestrel::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const Catalogue& c = Modules();
    const double total = std::accumulate(c.seconds.begin(), c.seconds.end(), 0.0);
    std::printf("split of %d modules, %.1f s expected in all, the longest %.1f s\n", kModules, total,
                *std::max_element(c.seconds.begin(), c.seconds.end()));
    for (const int count : {4, 8}) {
        const double timed = SlowestOverIdeal(kestrel::SplitBySeconds(c.names, c.seconds, count), count);
        const double hashed = SlowestOverIdeal(kestrel::SplitByHash(c.names, count), count);
        std::printf("ratio slowest shard / ideal, %d shards, by durations  %6.3fx  target <= 1.05x: %s"
                    "   (by hash %6.3fx)\n",
                    count, timed, timed <= 1.05 ? "met" : "MISSED", hashed);
    }
    return 0;
}
