// kestrel-tool merge of 4 results files of 25,000 modules each (every file holds the whole plan
// of 100,000), writing JUnit, CSV and the merged results file, against reading the same files'
// bytes (target <= 3x). The merge runs as a child process of kestrel-tool, timed to its exit.
#include "BenchRatio.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int kShards = 4;
constexpr int kPerShard = 25000;

const std::filesystem::path& Folder() {
    static const std::filesystem::path folder = [] {
        char pattern[] = "/tmp/kestrel-bench-merge-XXXXXX";
        if (!::mkdtemp(pattern))
            std::abort();
        const std::filesystem::path dir = pattern;
        const int total = kShards * kPerShard;
        std::string plan;
        for (int i = 0; i < total; ++i) {
            plan += i == 0 ? "" : ",";
            plan += "{\"file\":\"m" + std::to_string(i) + ".kst\",\"group\":\"G1\",\"sha256\":\"" +
                    std::string(64, 'a') + "\",\"shard\":" + std::to_string(i % kShards + 1) + "}";
        }
        for (int k = 1; k <= kShards; ++k) {
            std::string json = "{\"format\":\"kestrel-check-results\",\"version\":1,\"tool\":{\"name\":\"kestrel-"
                               "tool\",\"version\":\"0\"},\"catalogue\":{\"path\":\"a.MGP\",\"name\":\"a.MGP\","
                               "\"sha256\":\"00\"},\"groups\":[{\"id\":\"G1\",\"name\":\"g\"}],\"plan\":[" +
                               plan + "],\"shard\":{\"index\":" + std::to_string(k) +
                               ",\"count\":" + std::to_string(kShards) + ",\"split\":\"hash\"},\"results\":[";
            bool first = true;
            for (int i = k - 1; i < total; i += kShards) {
                json += first ? "" : ",";
                first = false;
                json += "{\"file\":\"m" + std::to_string(i) +
                        ".kst\",\"group\":\"G1\",\"verdict\":\"FAIL\",\"code\":3,\"message\":\"Error code:3\\n"
                        "wrong total\",\"failureText\":\"wrong total\",\"rows\":[{\"code\":3,\"codeText\":\"3\","
                        "\"message\":\"wrong total\"}],\"rowsCut\":false,\"seconds\":0.25,\"stdout\":\"\","
                        "\"stderr\":\"\"}";
            }
            json += "]}";
            std::FILE* out = std::fopen((dir / ("shard-" + std::to_string(k) + ".json")).c_str(), "wb");
            std::fwrite(json.data(), 1, json.size(), out);
            std::fclose(out);
        }
        return dir;
    }();
    return folder;
}

void BM_MergeFourShards(benchmark::State& state) {
    const std::filesystem::path& dir = Folder();
    for (auto _ : state) {
        std::vector<std::string> args = {KESTREL_TOOL_PATH, "merge"};
        for (int k = 1; k <= kShards; ++k)
            args.push_back((dir / ("shard-" + std::to_string(k) + ".json")).string());
        for (const char* option : {"--junit", "--csv", "--json"})
            args.insert(args.end(), {option, (dir / (std::string("merged") + (option + 1))).string()});
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDOUT_FILENO);
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 1)
            state.SkipWithError("merge did not give exit 1");
    }
}
BENCHMARK(BM_MergeFourShards)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_ReadFourShards(benchmark::State& state) {
    const std::filesystem::path& dir = Folder();
    std::vector<char> buffer(1 << 20);
    for (auto _ : state) {
        std::size_t bytes = 0;
        for (int k = 1; k <= kShards; ++k) {
            const int fd = ::open((dir / ("shard-" + std::to_string(k) + ".json")).c_str(), O_RDONLY);
            for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;)
                bytes += static_cast<std::size_t>(n);
            ::close(fd);
        }
        benchmark::DoNotOptimize(bytes);
    }
}
BENCHMARK(BM_ReadFourShards)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    kestrel::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatio("merge of 4 x 25,000 / reading their bytes", "BM_MergeFourShards/iterations:3/real_time",
                        "BM_ReadFourShards/iterations:3/real_time", kestrel::bench::Clock::Wall, 3.0);
    std::error_code error;
    std::filesystem::remove_all(Folder(), error);
    return 0;
}
