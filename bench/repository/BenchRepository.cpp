// Listing a group's modules in a big folder, and loading and saving a big module, each against
// the plain file work it cannot avoid; prints our time divided by the baseline's. The listing
// is also measured with every open made slow, as on a network share.
#include "core/AsciiCase.h"
#include "core/AtomicFile.h"
#include "core/FixedText.h"
#include "repository/ModuleFile.h"
#include "repository/ModuleScan.h"

#include "BareHeaderLoop.h"
#include "BenchRatio.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

using namespace kestrel;

namespace {
std::atomic<bool> g_slowOpens{false};
}

// Every openat of this program, the listing's included, goes through here: while g_slowOpens
// is set each open first waits 100 us, the time a network share may take to answer one.
extern "C" int openat(int dirFd, const char* path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    if (g_slowOpens.load(std::memory_order_relaxed))
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    return static_cast<int>(::syscall(SYS_openat, dirFd, path, flags, mode));
}

namespace {

constexpr int kModuleFiles = 10000;
constexpr int kGroups = 100;
// Fewer files for the slow opens: 10,000 of them one by one would take seconds per run.
constexpr int kSlowFolderFiles = 2000;

class Workspace {
public:
    Workspace() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kestrel-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            std::abort();
        m_root = pattern;
        m_folder = m_root / "modules";
        m_slowFolder = m_root / "share";
        std::filesystem::create_directory(m_folder);
        std::filesystem::create_directory(m_slowFolder);
        ModuleRecord record;
        for (int i = 0; i < kModuleFiles; ++i) {
            SetFieldText(record.header.groupId, "G" + std::to_string(i % kGroups));
            SetFieldText(record.header.title, "Module " + std::to_string(i));
            record.body = "SELECT * FROM ledger WHERE amount > [?:LIMIT] AND account = [?:ACCOUNT]";
            record.description = "Checks the ledger.";
            record.header.variableCount = 2;
            SetFieldText(record.variables[0].name, "LIMIT");
            SetFieldText(record.variables[1].name, "ACCOUNT");
            record.testValues = "LIMIT,100\nACCOUNT,1001\n";
            const std::string name = "m" + std::to_string(i) + ".kst";
            WriteBytes(m_folder / name, SerializeModule(record));
            if (i < kSlowFolderFiles)
                WriteBytes(m_slowFolder / name, SerializeModule(record));
        }
        record = ModuleRecord{};
        SetFieldText(record.header.groupId, "G1");
        record.body.assign(1 << 20, 'S');
        WriteBytes(m_root / "big.kst", SerializeModule(record));
    }
    ~Workspace() {
        std::error_code ec;
        std::filesystem::remove_all(m_root, ec);
    }
    const std::filesystem::path& Folder() const { return m_folder; }
    const std::filesystem::path& SlowFolder() const { return m_slowFolder; }
    const std::filesystem::path& Root() const { return m_root; }

private:
    static void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    std::filesystem::path m_root;
    std::filesystem::path m_folder;
    std::filesystem::path m_slowFolder;
};

Workspace& Shared() {
    static Workspace workspace;
    return workspace;
}

void BareHeaderLoop(benchmark::State& state, const std::filesystem::path& folder) {
    for (auto _ : state)
        benchmark::DoNotOptimize(bench::ReadEveryHeader(folder));
}

void FirstFill(benchmark::State& state, const std::filesystem::path& folder, int readers, std::size_t expected) {
    std::vector<ModuleListEntry> entries;
    for (auto _ : state) {
        auto index = std::make_unique<ModuleIndex>(readers);
        if (!index->ListGroup(folder, "G42", entries) || entries.size() != expected)
            state.SkipWithError("wrong listing");
        // Dropping the cache is not part of filling it.
        state.PauseTiming();
        index.reset();
        state.ResumeTiming();
    }
}

void BM_BareHeaderLoop(benchmark::State& state) {
    BareHeaderLoop(state, Shared().Folder());
}

void BM_ListGroupFirstFill(benchmark::State& state) {
    FirstFill(state, Shared().Folder(), ModuleIndex::kDefaultReaders, kModuleFiles / kGroups);
}

void BM_ListGroupFirstFillOneReader(benchmark::State& state) {
    FirstFill(state, Shared().Folder(), 1, kModuleFiles / kGroups);
}

void BM_SlowOpensBareHeaderLoop(benchmark::State& state) {
    g_slowOpens = true;
    BareHeaderLoop(state, Shared().SlowFolder());
    g_slowOpens = false;
}

void BM_SlowOpensFirstFill(benchmark::State& state) {
    g_slowOpens = true;
    FirstFill(state, Shared().SlowFolder(), ModuleIndex::kDefaultReaders, kSlowFolderFiles / kGroups);
    g_slowOpens = false;
}

void BM_ListGroupRefill(benchmark::State& state) {
    ModuleIndex index;
    std::vector<ModuleListEntry> entries;
    index.ListGroup(Shared().Folder(), "G42", entries);
    for (auto _ : state) {
        if (!index.ListGroup(Shared().Folder(), "G42", entries) || entries.size() != kModuleFiles / kGroups)
            state.SkipWithError("wrong listing");
    }
}

// Copying the module file's bytes with the same durability as a save: read it whole, write a
// temporary file, flush it to disk, rename it over the copy.
void BM_CopyModuleBytes(benchmark::State& state) {
    const auto source = Shared().Root() / "big.kst";
    const auto target = Shared().Root() / "copy.kst";
    std::string bytes;
    for (auto _ : state) {
        ReadWholeFile(source, bytes);
        const std::string temp = (Shared().Root() / ".copy.tmp").string();
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        benchmark::DoNotOptimize(::write(fd, bytes.data(), bytes.size()));
        ::fsync(fd);
        ::close(fd);
        ::rename(temp.c_str(), target.c_str());
    }
}

// The same copy without flushing to disk, for reference.
void BM_CopyModuleBytesUnflushed(benchmark::State& state) {
    const auto source = Shared().Root() / "big.kst";
    const auto target = Shared().Root() / "copy2.kst";
    std::string bytes;
    for (auto _ : state) {
        ReadWholeFile(source, bytes);
        const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        benchmark::DoNotOptimize(::write(fd, bytes.data(), bytes.size()));
        ::close(fd);
    }
}

void BM_LoadSaveModule(benchmark::State& state) {
    ModuleRecord record;
    for (auto _ : state) {
        if (!LoadModuleFile(record, Shared().Root(), "big.kst") || !SaveModuleFile(record, "SA", Shared().Root()))
            state.SkipWithError("load or save failed");
    }
}

// Each is run five times and compared by its median run; the fastest is shown beside it. The
// machine is shared, and the fastest run is the one least disturbed by others.
double Fastest(const std::vector<double>& times) {
    return *std::min_element(times.begin(), times.end());
}
#define KESTREL_BENCHMARK(fn)                                                                                          \
    BENCHMARK(fn)                                                                                                      \
        ->Unit(benchmark::kMillisecond)                                                                                \
        ->Repetitions(5)                                                                                               \
        ->ComputeStatistics("min", Fastest)                                                                            \
        ->DisplayAggregatesOnly(true)
// The first fill reads on several threads: its CPU time is the whole process's.
KESTREL_BENCHMARK(BM_BareHeaderLoop)->MeasureProcessCPUTime();
KESTREL_BENCHMARK(BM_ListGroupFirstFill)->MeasureProcessCPUTime();
KESTREL_BENCHMARK(BM_ListGroupFirstFillOneReader)->MeasureProcessCPUTime();
KESTREL_BENCHMARK(BM_ListGroupRefill)->MeasureProcessCPUTime();
KESTREL_BENCHMARK(BM_SlowOpensBareHeaderLoop)->MeasureProcessCPUTime()->Iterations(2);
KESTREL_BENCHMARK(BM_SlowOpensFirstFill)->MeasureProcessCPUTime()->Iterations(2);
KESTREL_BENCHMARK(BM_CopyModuleBytes);
KESTREL_BENCHMARK(BM_CopyModuleBytesUnflushed);
KESTREL_BENCHMARK(BM_LoadSaveModule);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Shared(); // build the folder before any timing
    ::sync(); // and have it written out, so that no benchmark waits for that
    kestrel::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n");
    // The listing works on cached pages and never waits for the disk; a save waits for it by design.
    using kestrel::bench::Clock;
    // The first fill reads on several threads: what the user waits for is its wall time.
    reporter.PrintRatio("group listing, first fill / bare header loop", "BM_ListGroupFirstFill", "BM_BareHeaderLoop",
                        Clock::Wall, 1.0);
    reporter.PrintRatio("  the same by CPU of all threads", "BM_ListGroupFirstFill", "BM_BareHeaderLoop", Clock::Cpu,
                        0);
    reporter.PrintRatio("  first fill on one thread / bare header loop", "BM_ListGroupFirstFillOneReader",
                        "BM_BareHeaderLoop", Clock::Wall, 0);
    // At least 4x faster than the loop, so at most a quarter of its time.
    reporter.PrintRatio("slow opens: first fill / bare header loop", "BM_SlowOpensFirstFill",
                        "BM_SlowOpensBareHeaderLoop", Clock::Wall, 0.25);
    reporter.PrintRatio("group listing, re-fill / bare header loop", "BM_ListGroupRefill", "BM_BareHeaderLoop",
                        Clock::Cpu, 0.5);
    reporter.PrintRatio("1 MiB module load+save / flushed copy", "BM_LoadSaveModule", "BM_CopyModuleBytes", Clock::Wall,
                        2.0);
    reporter.PrintRatio("1 MiB module load+save / unflushed copy", "BM_LoadSaveModule", "BM_CopyModuleBytesUnflushed",
                        Clock::Wall, 0);
    benchmark::Shutdown();
    return reporter.ExitCode();
}
