// Listing a group's modules in a big folder, and loading and saving a big module, each against
// the plain file work it cannot avoid; prints our time divided by the baseline's.
#include "core/AsciiCase.h"
#include "core/AtomicFile.h"
#include "core/FixedText.h"
#include "repository/ModuleFile.h"
#include "repository/ModuleScan.h"

#include "BenchRatio.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

using namespace kestrel;

namespace {

constexpr int kModuleFiles = 10000;
constexpr int kGroups = 100;

class Workspace {
public:
    Workspace() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kestrel-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            std::abort();
        m_root = pattern;
        m_folder = m_root / "modules";
        std::filesystem::create_directory(m_folder);
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
            WriteBytes(m_folder / ("m" + std::to_string(i) + ".kst"), SerializeModule(record));
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
    const std::filesystem::path& Root() const { return m_root; }

private:
    static void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    std::filesystem::path m_root;
    std::filesystem::path m_folder;
};

Workspace& Shared() {
    static Workspace workspace;
    return workspace;
}

bool IsKst(const char* name) {
    return EndsWithIgnoringAsciiCase(name, ".kst");
}

// The least any listing must do: open each *.kst, read its 160-byte header, close it.
void BM_BareHeaderLoop(benchmark::State& state) {
    const auto& folder = Shared().Folder();
    for (auto _ : state) {
        DIR* dir = ::opendir(folder.c_str());
        const int dirFd = ::dirfd(dir);
        int files = 0;
        char header[160];
        while (const dirent* entry = ::readdir(dir)) {
            if (!IsKst(entry->d_name))
                continue;
            const int fd = ::openat(dirFd, entry->d_name, O_RDONLY | O_CLOEXEC);
            files += ::read(fd, header, sizeof header) == sizeof header;
            ::close(fd);
        }
        ::closedir(dir);
        benchmark::DoNotOptimize(files);
    }
}

void BM_ListGroupFirstFill(benchmark::State& state) {
    std::vector<ModuleListEntry> entries;
    for (auto _ : state) {
        auto index = std::make_unique<ModuleIndex>();
        if (!index->ListGroup(Shared().Folder(), "G42", entries) || entries.size() != kModuleFiles / kGroups)
            state.SkipWithError("wrong listing");
        // Dropping the cache is not part of filling it.
        state.PauseTiming();
        index.reset();
        state.ResumeTiming();
    }
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

// Each is run five times and compared by its fastest run: the machine is shared, and the
// fastest run is the one least disturbed by others.
double Fastest(const std::vector<double>& times) {
    return *std::min_element(times.begin(), times.end());
}
#define KESTREL_BENCHMARK(fn)                                                                                          \
    BENCHMARK(fn)                                                                                                      \
        ->Unit(benchmark::kMillisecond)                                                                                \
        ->Repetitions(5)                                                                                               \
        ->ComputeStatistics("min", Fastest)                                                                            \
        ->DisplayAggregatesOnly(true)
KESTREL_BENCHMARK(BM_BareHeaderLoop);
KESTREL_BENCHMARK(BM_ListGroupFirstFill);
KESTREL_BENCHMARK(BM_ListGroupRefill);
KESTREL_BENCHMARK(BM_CopyModuleBytes);
KESTREL_BENCHMARK(BM_CopyModuleBytesUnflushed);
KESTREL_BENCHMARK(BM_LoadSaveModule);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Shared(); // build the folder before any timing
    kestrel::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n");
    // The listing works on cached pages and never waits for the disk; a save waits for it by design.
    using kestrel::bench::Clock;
    reporter.PrintRatio("group listing, first fill / bare header loop", "BM_ListGroupFirstFill", "BM_BareHeaderLoop",
                        Clock::Cpu, 1.3);
    reporter.PrintRatio("group listing, re-fill / bare header loop", "BM_ListGroupRefill", "BM_BareHeaderLoop",
                        Clock::Cpu, 0.5);
    reporter.PrintRatio("1 MiB module load+save / flushed copy", "BM_LoadSaveModule", "BM_CopyModuleBytes", Clock::Wall,
                        2.0);
    reporter.PrintRatio("1 MiB module load+save / unflushed copy", "BM_LoadSaveModule", "BM_CopyModuleBytesUnflushed",
                        Clock::Wall, 0);
    benchmark::Shutdown();
    return 0;
}
