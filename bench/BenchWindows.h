#pragma once
// The frame of every window benchmark program: a QApplication (offscreen unless
// QT_QPA_PLATFORM names a platform) with the tool's resources, the benchmarks run through the
// ratio reporter, and the program's ratios printed after them.
#include "BenchRatio.h"

#include <QApplication>

#include <functional>

inline void InitKestrelBenchResources() {
    // Outside any namespace: the macro declares the resource's initialiser where it stands.
    Q_INIT_RESOURCE(kestrel);
}

namespace kestrel::bench {

// setUp runs once the application exists (false: exit 1 without running anything); ratios
// prints what the program compares.
inline int RunWindowBenchmarks(int argc, char** argv, const std::function<bool()>& setUp,
                               const std::function<void(const RatioReporter&)>& ratios) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    InitKestrelBenchResources();
    if (!setUp())
        return 1;
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    ratios(reporter);
    benchmark::Shutdown();
    return reporter.ExitCode();
}

} // namespace kestrel::bench
