// kestrel-tool check with several modules at a time, against one at a time, on the same
// catalogue in the same run:
// - 1,000 SQL modules that each wait 10 ms on the server (throwaway PostgreSQL cluster),
//   --jobs 8 against --jobs 1 (target <= 0.2x wall);
// - 1,000 quick SQL modules on an SQLite file, --jobs 2 against --jobs 1 (figure only: SQLite
//   writes one at a time).
#include "core/FixedText.h"
#include "repository/ModuleFile.h"
#include "testing/Variables.h"

#include "support/Builders.h"
#include "support/Databases.h"
#include "support/Files.h"

#include "BenchRatio.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

using namespace kestrel;

namespace {

constexpr int kModules = 1000;

struct Workspace {
    testsupport::TempDir dir;
    std::string connection;
    bool ready = false;
};

std::unique_ptr<testsupport::PostgresCluster> s_cluster;
Workspace s_postgres;
Workspace s_sqlite;

void Fill(Workspace& workspace, const std::string& body) {
    testsupport::WriteCatalogue(workspace.dir.Path() / "bench.MGP", {{"B", "B"}});
    for (int i = 0; i < kModules; ++i) {
        ModuleRecord record = testsupport::SqlRecord(body);
        SetFieldText(record.header.groupId, "B");
        StoreRowsInModule(record, {testsupport::Row("UserID", kImport, kInt, "7")});
        char name[32];
        std::snprintf(name, sizeof name, "m%04d.kst", i);
        record.fileName = name;
        SaveModuleFile(record, "SA", workspace.dir.Path());
    }
    workspace.ready = testsupport::ResetErrorTable(workspace.connection).empty();
}

void Setup() {
    if (testsupport::PostgresCluster::Available()) {
        s_cluster = std::make_unique<testsupport::PostgresCluster>();
        if (s_cluster->Running()) {
            s_postgres.connection = s_cluster->ConnectionString();
            Fill(s_postgres, "INSERT INTO KSTError SELECT [?:UserID], 0, 'ok' FROM pg_sleep(0.01)");
        }
    }
    static testsupport::SqliteDatabase sqlite;
    s_sqlite.connection = sqlite.ConnectionString();
    Fill(s_sqlite, "INSERT INTO KSTError VALUES ([?:UserID], 0, 'ok')");
}

void Check(benchmark::State& state, const Workspace& workspace) {
    if (!workspace.ready) {
        state.SkipWithError("database not available");
        return;
    }
    const std::string command =
        std::string(KESTREL_TOOL_PATH) + " check '" + (workspace.dir.Path() / "bench.MGP").string() + "' --jobs " +
        std::to_string(state.range(0)) + " >" + (workspace.dir.Path() / "lines.txt").string() + " 2>&1";
    for (auto _ : state) {
        const int status = std::system(command.c_str());
        if (status != 0) {
            std::system(("tail -3 '" + (workspace.dir.Path() / "lines.txt").string() + "' >&2").c_str());
            state.SkipWithError("check did not pass every module");
            return;
        }
    }
}

void BM_CheckPostgres(benchmark::State& state) {
    setenv("KESTREL_CONNECT", s_postgres.connection.c_str(), 1);
    Check(state, s_postgres);
}
void BM_CheckSqlite(benchmark::State& state) {
    setenv("KESTREL_CONNECT", s_sqlite.connection.c_str(), 1);
    Check(state, s_sqlite);
}

BENCHMARK(BM_CheckPostgres)->Arg(1)->Arg(8)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CheckSqlite)->Arg(1)->Arg(2)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Setup();
    kestrel::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // Wall time: the modules wait on the server, which is what several connections overlap.
    using kestrel::bench::Clock;
    reporter.PrintRatio("check on PostgreSQL, --jobs 8 / --jobs 1", "BM_CheckPostgres/8/iterations:1/real_time",
                        "BM_CheckPostgres/1/iterations:1/real_time", Clock::Wall, 0.2);
    // SQLite writes one at a time, so two jobs gain little (0.5-1.2x measured, one run of each
    // under load); what this guards against is two jobs costing clearly more than one, by lock
    // waits or retries, which cost whole busy time-outs.
    reporter.PrintRatio("check on SQLite, --jobs 2 / --jobs 1", "BM_CheckSqlite/2/iterations:1/real_time",
                        "BM_CheckSqlite/1/iterations:1/real_time", Clock::Wall, 1.5);
    s_cluster.reset();
    benchmark::Shutdown();
    return reporter.ExitCode();
}
