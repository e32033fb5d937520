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
            // Repeated benchmarks count by their median repetition, the fastest shown beside it.
            // They are found by their function name and by their full name without the
            // repetitions ("BM_Substitute/1"), as benchmarks run once are.
            if (run.run_type == Run::RT_Iteration) {
                m_wall[run.benchmark_name()] = run.GetAdjustedRealTime();
                m_cpu[run.benchmark_name()] = run.GetAdjustedCPUTime();
            } else if (run.aggregate_name == "median" || run.aggregate_name == "min") {
                const bool median = run.aggregate_name == "median";
                benchmark::BenchmarkName name = run.run_name;
                name.repetitions.clear();
                for (const std::string& key : {run.run_name.function_name, name.str()}) {
                    (median ? m_wall : m_minWall)[key] = run.GetAdjustedRealTime();
                    (median ? m_cpu : m_minCpu)[key] = run.GetAdjustedCPUTime();
                }
            }
        }
    }

    // "ratio WHAT  R.RRx by CPU|wall (wall R.RRx)  target <= L: met|MISSED"; a figure kept for
    // information (limit <= 0) has no target and no verdict. Each target is set so that the
    // regression it guards against misses it; a missed target makes the program fail (see
    // ExitCode). Both benchmarks must use the same time unit.
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
        const auto& fastest = clock == Clock::Cpu ? m_minCpu : m_minWall;
        const auto fa = fastest.find(ours);
        const auto fb = fastest.find(baseline);
        if (fa != fastest.end() && fb != fastest.end() && fb->second > 0)
            std::printf(" (fastest %.3fx)", fa->second / fb->second);
        if (limit > 0)
            std::printf("  target <= %.2fx: %s", limit, Verdict(ratio <= limit));
        std::printf("\n");
    }

    // "figure WHAT  T ms by CPU|wall  target <= L ms: met|MISSED" for a benchmark timed in
    // milliseconds.
    void PrintMilliseconds(const char* what, const std::string& ours, Clock clock, double limit) const {
        const auto& times = clock == Clock::Cpu ? m_cpu : m_wall;
        const auto a = times.find(ours);
        if (a == times.end()) {
            std::printf("figure %-47s (not measured)\n", what);
            return;
        }
        std::printf("figure %-47s %6.3f ms by %s", what, a->second, clock == Clock::Cpu ? "CPU " : "wall");
        if (limit > 0)
            std::printf("  target <= %.0f ms: %s", limit, Verdict(a->second <= limit));
        std::printf("\n");
    }

    // "met" or "MISSED", the miss counted for ExitCode.
    const char* Verdict(bool met) const {
        m_missed += met ? 0 : 1;
        return met ? "met" : "MISSED";
    }

    // The program's exit code: 1 when a target was missed (the count said last), else 0. A
    // figure that could not be measured (a database missing) is no miss.
    int ExitCode() const {
        if (m_missed == 0)
            return 0;
        std::printf("%d target%s MISSED\n", m_missed, m_missed == 1 ? "" : "s");
        return 1;
    }

private:
    std::map<std::string, double> m_wall;
    std::map<std::string, double> m_cpu;
    std::map<std::string, double> m_minWall;
    std::map<std::string, double> m_minCpu;
    mutable int m_missed = 0;
};

} // namespace kestrel::bench
