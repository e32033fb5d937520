#pragma once
// Every benchmark program prints the ratio of our figure to the baseline it names, measured in
// the same run. This reporter keeps each benchmark's time per iteration for that.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace kestrel::bench {

enum class Clock {
    Wall, // for work that waits on the disk by design
    Cpu,  // for work that never waits: on a shared machine its wall time mostly measures others
};

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred)
                continue;
            std::string name;
            if (run.run_type == Run::RT_Iteration)
                name = run.benchmark_name();
            else if (run.aggregate_name == "min") // repeated benchmarks: the fastest repetition
                name = run.run_name.function_name;
            else
                continue;
            m_wall[name] = run.GetAdjustedRealTime();
            m_cpu[name] = run.GetAdjustedCPUTime();
        }
    }

    // "ratio WHAT  R.RRx by CPU|wall (wall R.RRx)  target <= L: met|MISSED"; no target when
    // limit <= 0. Both benchmarks must use the same time unit.
    void PrintRatio(const char* what, const std::string& ours, const std::string& baseline, Clock clock,
                    double limit) const {
        const auto& times = clock == Clock::Cpu ? m_cpu : m_wall;
        const auto a = times.find(ours);
        const auto b = times.find(baseline);
        if (a == times.end() || b == times.end() || b->second <= 0) {
            std::printf("ratio %-48s (not measured)\n", what);
            return;
        }
        const double ratio = a->second / b->second;
        std::printf("ratio %-48s %6.3fx by %s", what, ratio, clock == Clock::Cpu ? "CPU " : "wall");
        if (clock == Clock::Cpu)
            std::printf(" (wall %.3fx)", m_wall.at(ours) / m_wall.at(baseline));
        if (limit > 0)
            std::printf("  target <= %.1fx: %s", limit, ratio <= limit ? "met" : "MISSED");
        std::printf("\n");
    }

private:
    std::map<std::string, double> m_wall;
    std::map<std::string, double> m_cpu;
};

} // namespace kestrel::bench
