// bench_startup: from the start of kestrel-host to its login window shown, and from the login's
// confirmation to the editor window shown, each against a bare Qt Widgets program started and
// showing one dialog, in the same run. Every program runs as a new process with a probe loaded
// into it that reports when each window has first been painted and then moves on.
#include "accounts/UserTable.h"

#include "BenchRatio.h"

#include <benchmark/benchmark.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

long long Now() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// The host and the plug-in copied into a folder of their own: no user file lies beside the
// copy, so the login takes the built-in account; the settings go to a home of its own.
class Install {
public:
    Install() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kestrel-startup-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            std::abort();
        m_root = pattern;
        std::filesystem::create_directories(m_root / "bin");
        std::filesystem::create_directories(m_root / "home" / ".config");
        for (const char* file : {KESTREL_HOST_PATH, KESTREL_PLUGIN_PATH, KESTREL_REPORT_LIBRARY_PATH})
            std::filesystem::copy_file(file, m_root / "bin" / std::filesystem::path(file).filename());
    }
    ~Install() {
        std::error_code ec;
        std::filesystem::remove_all(m_root, ec);
    }
    std::filesystem::path Host() const { return m_root / "bin" / std::filesystem::path(KESTREL_HOST_PATH).filename(); }
    std::filesystem::path Home() const { return m_root / "home"; }

private:
    std::filesystem::path m_root;
};

Install& Installed() {
    static Install install;
    return install;
}

// Starts program with the probe and waits for it to end; times holds the start as "start"
// and each of the probe's reports. False when the program did not report or did not end well.
bool RunProbed(const std::string& program, bool logIn, std::map<std::string, long long>& times) {
    times.clear();
    int fds[2];
    if (::pipe(fds) != 0)
        return false;
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    std::vector<std::string> settings;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        for (const char* ours : {"LD_PRELOAD=", "KESTREL_PROBE_", "HOME=", "XDG_CONFIG_HOME=", "QT_QPA_PLATFORM="})
            if (entry.rfind(ours, 0) == 0)
                goto skip;
        settings.push_back(entry);
    skip:;
    }
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    settings.push_back(std::string("QT_QPA_PLATFORM=") + (platform && *platform ? platform : "offscreen"));
    settings.push_back(std::string("LD_PRELOAD=") + KESTREL_PROBE_PATH);
    settings.push_back("KESTREL_PROBE_FD=" + std::to_string(fds[1]));
    settings.push_back("HOME=" + Installed().Home().string());
    settings.push_back("XDG_CONFIG_HOME=" + (Installed().Home() / ".config").string());
    if (logIn) {
        settings.push_back(std::string("KESTREL_PROBE_USER=") + kestrel::kBuiltInUser);
        settings.push_back(std::string("KESTREL_PROBE_PASSWORD=") + kestrel::kBuiltInPassword);
    }
    std::vector<char*> env;
    for (std::string& s : settings)
        env.push_back(s.data());
    env.push_back(nullptr);
    std::string path = program;
    char* argv[] = {path.data(), nullptr};

    times["start"] = Now();
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, env.data());
    ::close(fds[1]);
    if (spawned != 0) {
        ::close(fds[0]);
        return false;
    }
    std::string received;
    char buffer[256];
    for (;;) {
        pollfd p{fds[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, 30000);
        if (ready <= 0) { // hung: end it
            ::kill(pid, SIGKILL);
            break;
        }
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        received.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::size_t from = 0;
    for (std::size_t end; (end = received.find('\n', from)) != std::string::npos; from = end + 1) {
        const std::string line = received.substr(from, end - from);
        const std::size_t blank = line.find(' ');
        if (blank != std::string::npos)
            times[line.substr(0, blank)] = std::atoll(line.c_str() + blank + 1);
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void Measure(benchmark::State& state, const std::string& program, bool logIn, const char* from, const char* to) {
    std::map<std::string, long long> times;
    for (auto _ : state) {
        if (!RunProbed(program, logIn, times) || !times.count(from) || !times.count(to)) {
            state.SkipWithError("the program did not show its window or did not end");
            break;
        }
        state.SetIterationTime(static_cast<double>(times[to] - times[from]) / 1e9);
    }
}

void BM_BareDialogStart(benchmark::State& state) {
    Measure(state, KESTREL_BARE_DIALOG_PATH, false, "start", "window");
}

void BM_HostStartToLogin(benchmark::State& state) {
    Measure(state, Installed().Host().string(), false, "start", "login");
}

void BM_HostLoginToEditor(benchmark::State& state) {
    Measure(state, Installed().Host().string(), true, "confirm", "editor");
}

// Processes on a shared machine: each runs five times and the median counts.
#define KESTREL_BENCHMARK(fn)                                                                                          \
    BENCHMARK(fn)                                                                                                      \
        ->UseManualTime()                                                                                              \
        ->Unit(benchmark::kMillisecond)                                                                                \
        ->Iterations(3)                                                                                                \
        ->Repetitions(5)                                                                                               \
        ->DisplayAggregatesOnly(true)
KESTREL_BENCHMARK(BM_BareDialogStart);
KESTREL_BENCHMARK(BM_HostStartToLogin);
KESTREL_BENCHMARK(BM_HostLoginToEditor);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Installed();
    kestrel::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n");
    using kestrel::bench::Clock;
    reporter.PrintRatio("host start to login shown / bare dialog start", "BM_HostStartToLogin", "BM_BareDialogStart",
                        Clock::Wall, 1.5);
    reporter.PrintRatio("login to editor shown / bare dialog start", "BM_HostLoginToEditor", "BM_BareDialogStart",
                        Clock::Wall, 1.0);
    benchmark::Shutdown();
    return reporter.ExitCode();
}
