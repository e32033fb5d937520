// The window's check against kestrel-tool check on the same catalogue in the same run:
// 1,000 SQL modules that each wait 10 ms on a throwaway PostgreSQL cluster, 4 connections.
// Targets: the window's wall time <= 1.1x the tool's, and no event-loop stall over 50 ms while
// it runs (a timer that should fire every 5 ms measures the longest gap).
#include "core/FixedText.h"
#include "editor/CheckDlg.h"
#include "repository/Catalogue.h"
#include "repository/ModuleFile.h"
#include "testing/Variables.h"

#include "support/Builders.h"
#include "support/Databases.h"
#include "support/Files.h"

#include "BenchRatio.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

using namespace kestrel;

namespace {

constexpr int kModules = 1000;
constexpr int kConnections = 4;

std::unique_ptr<testsupport::PostgresCluster> s_cluster;
testsupport::TempDir* s_dir = nullptr;
std::string s_connection;
GroupCatalogue s_catalogue;
bool s_ready = false;
qint64 s_longestStall = -1;

void Setup() {
    if (!testsupport::PostgresCluster::Available())
        return;
    s_cluster = std::make_unique<testsupport::PostgresCluster>();
    if (!s_cluster->Running())
        return;
    static testsupport::TempDir dir;
    s_dir = &dir;
    s_connection = s_cluster->ConnectionString();
    s_catalogue = testsupport::WriteCatalogue(dir.Path() / "bench.MGP", {{"B", "B"}});
    for (int i = 0; i < kModules; ++i) {
        ModuleRecord record =
            testsupport::SqlRecord("INSERT INTO KSTError SELECT [?:UserID], 0, 'ok' FROM pg_sleep(0.01)");
        SetFieldText(record.header.groupId, "B");
        StoreRowsInModule(record, {testsupport::Row("UserID", kImport, kInt, "7")});
        char name[32];
        std::snprintf(name, sizeof name, "m%04d.kst", i);
        record.fileName = name;
        SaveModuleFile(record, "SA", dir.Path());
    }
    s_ready = testsupport::ResetErrorTable(s_connection).empty();
}

void BM_WindowCheck(benchmark::State& state) {
    if (!s_ready) {
        state.SkipWithError("PostgreSQL not available");
        return;
    }
    std::string connection = s_connection;
    CheckDlg::Host host;
    host.connection = &connection;
    host.connections = kConnections;
    for (auto _ : state) {
        CheckDlg window(s_catalogue, {0}, host);
        window.show();
        QElapsedTimer sinceTick;
        qint64 longest = 0;
        QTimer tick;
        tick.setInterval(5);
        QObject::connect(&tick, &QTimer::timeout, [&] { longest = std::max(longest, sinceTick.restart()); });
        window.CheckAll();
        sinceTick.start();
        tick.start();
        while (window.Running())
            QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        tick.stop();
        s_longestStall = std::max(s_longestStall, longest);
        if (std::count_if(window.Results().begin(), window.Results().end(),
                          [](const ModuleResult& r) { return r.verdict == Verdict::kPassed; }) != kModules) {
            state.SkipWithError("the window did not pass every module");
            return;
        }
    }
}

void BM_ToolCheck(benchmark::State& state) {
    if (!s_ready) {
        state.SkipWithError("PostgreSQL not available");
        return;
    }
    setenv("KESTREL_CONNECT", s_connection.c_str(), 1);
    const std::string command = std::string(KESTREL_TOOL_PATH) + " check '" + (s_dir->Path() / "bench.MGP").string() +
                                "' --jobs " + std::to_string(kConnections) + " >/dev/null 2>&1";
    for (auto _ : state)
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("check did not pass every module");
            return;
        }
}

BENCHMARK(BM_WindowCheck)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ToolCheck)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    Setup();
    kestrel::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    using kestrel::bench::Clock;
    reporter.PrintRatio("window check / check --jobs 4, PostgreSQL", "BM_WindowCheck/iterations:1/real_time",
                        "BM_ToolCheck/iterations:1/real_time", Clock::Wall, 1.1);
    if (s_longestStall >= 0)
        std::printf("figure %-47s %6lld ms  target <= 50 ms: %s\n", "longest event-loop stall while it runs",
                    static_cast<long long>(s_longestStall), reporter.Verdict(s_longestStall <= 50));
    s_cluster.reset();
    benchmark::Shutdown();
    return reporter.ExitCode();
}
