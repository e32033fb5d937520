// kestrel-tool check: every module of a catalogue tested with its stored test values, as the
// property sheet's test would run it, for nightly runs and CI. Never asks, never changes a
// module file; every message goes to the line of its module. The run itself is the batch
// engine's; this is its face on a terminal: lines in plan order, signals, report files.
#include "core/AtomicFile.h"
#include "core/FixedText.h"
#include "core/Gbk.h"
#include "repository/Catalogue.h"
#include "testing/batch/BatchPlan.h"
#include "testing/batch/BatchReport.h"
#include "testing/batch/BatchRun.h"
#include "tool/ToolCommands.h"
#include "ui/GbkText.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kestrel::tool {

namespace {

constexpr int kExitAllPassed = 0;
constexpr int kExitSomeFailed = 1;
constexpr int kExitCannotStart = 2;
constexpr int kExitCannotWrite = 3;
constexpr int kExitCouldNotRun = 4;
constexpr int kExitNothingSelected = 5;

constexpr char kConnectVariable[] = "KESTREL_CONNECT";
constexpr int kMaxJobs = 64;

struct CheckOptions {
    std::filesystem::path catalogue;
    std::string catalogueShown; // UTF-8, for messages
    std::string group;          // GBK; empty: every group of the catalogue
    bool hasGroup = false;
    std::filesystem::path junit;
    std::filesystem::path csv;
    BatchOptions run;
};

void Complain(const std::string& utf8) {
    std::fprintf(stderr, "kestrel-tool check: %s\n", utf8.c_str());
}

// SIGINT, SIGTERM and SIGHUP stop the run instead of ending the program: the modules under way
// are cancelled, the reports are written with what is done, and the exit code tells the signal.
class SignalWatch {
public:
    explicit SignalWatch(BatchRun& run) : m_run(run) {
        if (::pipe2(s_pipe, O_CLOEXEC) != 0)
            return;
        struct sigaction action {};
        action.sa_handler = [](int signal) {
            const auto byte = static_cast<unsigned char>(signal);
            [[maybe_unused]] const ssize_t written = ::write(s_pipe[1], &byte, 1);
        };
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (std::size_t i = 0; i < std::size(kSignals); ++i)
            ::sigaction(kSignals[i], &action, &m_old[i]);
        m_thread = std::thread([this] {
            unsigned char byte = 0;
            bool stopping = false;
            while (::read(s_pipe[0], &byte, 1) == 1 && byte != 0) {
                // A second signal means now: the reports are given up.
                if (stopping)
                    ::_exit(128 + byte);
                stopping = true;
                m_signal.store(byte);
                m_run.Stop();
            }
        });
    }
    ~SignalWatch() {
        if (!m_thread.joinable())
            return;
        for (std::size_t i = 0; i < std::size(kSignals); ++i)
            ::sigaction(kSignals[i], &m_old[i], nullptr);
        const unsigned char end = 0;
        [[maybe_unused]] const ssize_t written = ::write(s_pipe[1], &end, 1);
        m_thread.join();
        ::close(s_pipe[0]);
        ::close(s_pipe[1]);
    }
    SignalWatch(const SignalWatch&) = delete;
    // The signal that stopped the run; 0 for none.
    int Signal() const { return m_signal.load(); }
    SignalWatch& operator=(const SignalWatch&) = delete;

private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
    static inline int s_pipe[2] = {-1, -1};
    BatchRun& m_run;
    std::atomic<int> m_signal{0};
    struct sigaction m_old[3]{};
    std::thread m_thread;
};

// "[12/300] name" on a terminal's stderr while the run goes on; never into a pipe or file.
class Progress {
public:
    Progress() : m_enabled(::isatty(STDERR_FILENO) == 1) {}
    void Show(std::size_t done, std::size_t total, const std::string& name) {
        if (m_enabled)
            std::fprintf(stderr, "\r\033[K[%zu/%zu] %s", done, total, OneLine(name).c_str());
    }
    void Clear() {
        if (m_enabled)
            std::fputs("\r\033[K", stderr);
    }

private:
    bool m_enabled;
};

// The lines in the order of the plan, each as soon as it and all before it are done, while
// the engine finishes modules in whatever order its connections get through them.
class LinePrinter : public BatchObserver {
public:
    // out: stdout, or stderr while a report goes to stdout.
    LinePrinter(const BatchPlan& plan, std::FILE* out)
        : m_plan(plan), m_out(out), m_results(plan.modules.size()), m_done(plan.modules.size(), 0) {}

    void Note(const std::string& utf8) override { Complain(utf8); }
    void Started(std::size_t index) override {
        std::lock_guard lock(m_mutex);
        ++m_started;
        m_startedName = m_plan.modules[index].shown;
        m_changed.notify_all();
    }
    void Finished(std::size_t index, const ModuleResult& result) override {
        std::lock_guard lock(m_mutex);
        m_results[index] = result;
        m_done[index] = 1;
        m_changed.notify_all();
    }

    // Prints every line, then the counts; returns when the last module is done.
    BatchCounts PrintAll() {
        Progress progress;
        BatchCounts counts;
        std::unique_lock lock(m_mutex);
        for (std::size_t i = 0; i < m_plan.modules.size(); ++i) {
            while (!m_done[i]) {
                progress.Show(m_started, m_plan.modules.size(), m_startedName);
                m_changed.wait(lock);
            }
            counts.Add(m_results[i]);
            progress.Clear();
            std::fprintf(m_out, "%s\n", ResultLine(m_plan.modules[i], m_results[i]).c_str());
            std::fflush(m_out);
        }
        std::fprintf(m_out, "%s\n", CountsLine(counts).c_str());
        std::fflush(m_out);
        return counts;
    }
    const std::vector<ModuleResult>& Results() const { return m_results; }

private:
    const BatchPlan& m_plan;
    std::FILE* m_out;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<ModuleResult> m_results;
    std::vector<char> m_done;
    std::size_t m_started = 0;
    std::string m_startedName;
};

int ParseCheckArguments(const QStringList& args, CheckOptions& options) {
    CommandLine line(
        "check",
        "CATALOGUE --connect CONNSTR [--group ID] [--junit FILE] [--csv FILE] [--timeout SECONDS] [--jobs N] "
        "[--shared-error-table]",
        "Runs every module of the catalogue's groups (group by group; within a group by file name, letter case "
        "ignored, as the window lists them) with its stored test values against the database, without windows, and "
        "changes no module file. Prints one line per module (file  group  PASS|FAIL|ERROR  code  message  seconds), "
        "then the counts.",
        {{kExitAllPassed, "all modules passed"},
         {kExitSomeFailed, "some modules reported an error (their own ErrorCode, a DLL result)"},
         {kExitCannotStart, "cannot start: catalogue unreadable or invalid, unknown group, no connection, no "
                            "error table KSTError"},
         {kExitCannotWrite, "a report file could not be written (the result lines were printed)"},
         {kExitCouldNotRun, "some modules could not be run (database error, crash, bad placeholder, unreadable "
                            "file); wins over 1"},
         {kExitNothingSelected, "nothing was selected to check"},
         {kExitUsage, "usage"},
         {130, "stopped by SIGINT (143 SIGTERM, 129 SIGHUP): the reports hold the modules done, the rest not run"}});
    QCommandLineParser& parser = line.Parser();
    parser.addPositionalArgument(QStringLiteral("CATALOGUE"), QStringLiteral("The group catalogue (.MGP)."));
    const QCommandLineOption connect(QStringLiteral("connect"),
                                     QStringLiteral("ODBC connection string (\"DSN=...\" or \"Driver=...;...\"); "
                                                    "default: the environment variable KESTREL_CONNECT, which "
                                                    "keeps a password out of the process list."),
                                     QStringLiteral("CONNSTR"));
    const QCommandLineOption group(QStringLiteral("group"), QStringLiteral("Checks only the group with this ID."),
                                   QStringLiteral("ID"));
    const QCommandLineOption junit(QStringLiteral("junit"), QStringLiteral("Writes a JUnit XML report to FILE."),
                                   QStringLiteral("FILE"));
    const QCommandLineOption csv(QStringLiteral("csv"), QStringLiteral("Writes a CSV report (UTF-8) to FILE."),
                                 QStringLiteral("FILE"));
    const QCommandLineOption timeout(QStringLiteral("timeout"),
                                     QStringLiteral("Fails a module that runs longer than SECONDS (default 600): its "
                                                    "statement is cancelled, a DLL module's runner ended."),
                                     QStringLiteral("SECONDS"), QStringLiteral("600"));
    const QCommandLineOption jobs(QStringLiteral("jobs"),
                                  QStringLiteral("Runs N modules at a time, on N connections (default 1). The "
                                                 "lines and reports keep the order of a run with 1."),
                                  QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption shared(QStringLiteral("shared-error-table"),
                                    QStringLiteral("Runs every module on the database's own KSTError instead of a "
                                                   "table private to each connection (then one module at a time)."));
    parser.addOptions({connect, group, junit, csv, timeout, jobs, shared});
    if (const int exit = line.Parse(args, 1, 1); exit >= 0)
        return exit;

    const QString catalogue = parser.positionalArguments().front();
    if (catalogue.isEmpty())
        return line.UsageError(QStringLiteral("empty catalogue name"));
    options.catalogue = PathArgument(catalogue);
    options.catalogueShown = ArgumentText(catalogue);
    if (parser.isSet(group)) {
        std::optional<std::string> gbk = ui::ToGbk(parser.value(group));
        if (!gbk)
            return line.UsageError(QStringLiteral("the group ID has characters that GBK cannot hold"));
        options.group = *gbk;
        options.hasGroup = true;
    }
    if (parser.isSet(connect))
        options.run.connection = ArgumentBytes(parser.value(connect));
    else
        options.run.connection = qEnvironmentVariable(kConnectVariable).toStdString();
    if (options.run.connection.empty())
        return line.UsageError(QStringLiteral("--connect CONNSTR (or KESTREL_CONNECT) is required"));
    for (const auto& [option, target] : {std::pair{&junit, &options.junit}, std::pair{&csv, &options.csv}}) {
        if (!parser.isSet(*option))
            continue;
        if (parser.value(*option).isEmpty())
            return line.UsageError(QStringLiteral("--%1 needs a file name").arg(option->names().front()));
        *target = PathArgument(parser.value(*option));
    }
    bool ok = false;
    const qlonglong seconds = parser.value(timeout).toLongLong(&ok);
    if (!ok || seconds < 1 || seconds > 86400 * 7)
        return line.UsageError(QStringLiteral("--timeout takes whole seconds from 1 to 604800"));
    options.run.timeout = std::chrono::seconds(seconds);
    options.run.jobs = parser.value(jobs).toInt(&ok);
    if (!ok || options.run.jobs < 1 || options.run.jobs > kMaxJobs)
        return line.UsageError(QStringLiteral("--jobs takes a number from 1 to %1").arg(kMaxJobs));
    options.run.isolate = !parser.isSet(shared);
    return -1;
}

} // namespace

int CheckCommand(const QStringList& args) {
    CheckOptions options;
    if (const int exit = ParseCheckArguments(args, options); exit >= 0)
        return exit;

    const std::string catalogueName = options.catalogue.filename().string();
    int exitCode = kExitAllPassed;
    auto write = [&](const std::filesystem::path& path, const std::string& text) {
        if (path.empty())
            return false;
        const FileStatus written = WriteOutputFile(path, text);
        if (!written) {
            Complain(path.string() + ": " + GbkToUtf8(written.error().message));
            exitCode = kExitCannotWrite;
            return false;
        }
        return true;
    };
    // A run that checks nothing still writes its reports: yesterday's would otherwise stand
    // as today's result wherever CI publishes them.
    auto endEmpty = [&](int code, const std::string& reason) {
        Complain(reason);
        const std::string why = code == kExitCannotStart ? reason : std::string();
        for (const auto& [path, text] : {std::pair{options.junit, JUnitXmlWithoutResults(catalogueName, why)},
                                         std::pair{options.csv, CsvText(BatchPlan{}, {})}})
            if (write(path, text) && path != "-")
                Complain(path.string() + ": written without module results");
        return exitCode == kExitCannotWrite ? kExitCannotWrite : code;
    };

    GroupCatalogue catalogue;
    const FileStatus loaded = LoadCatalogue(catalogue, options.catalogue);
    if (!loaded)
        return endEmpty(kExitCannotStart, options.catalogueShown + ": " +
                                              (loaded.error().IsInvalid()
                                                   ? "not a group catalogue (" + GbkToUtf8(loaded.error().message) + ")"
                                                   : GbkToUtf8(loaded.error().message)));
    std::vector<int> groupIndexes;
    for (int i = 0; i < catalogue.groupCount; ++i)
        if (!options.hasGroup || FieldText(catalogue.groups[static_cast<std::size_t>(i)].identifier) == options.group)
            groupIndexes.push_back(i);
    if (options.hasGroup && groupIndexes.empty())
        return endEmpty(kExitCannotStart, "no group " + GbkToUtf8(options.group) + " in " + options.catalogueShown);

    std::error_code error;
    const std::filesystem::path folder =
        std::filesystem::absolute(catalogue.Folder().empty() ? "." : catalogue.Folder(), error);
    auto planned = PlanBatch(catalogue, groupIndexes, folder, Complain);
    if (!planned)
        return endEmpty(kExitCannotStart, planned.error());
    const auto plan = std::make_shared<const BatchPlan>(std::move(planned).value());
    if (plan->modules.empty())
        return endEmpty(kExitNothingSelected, "no module to check in " + options.catalogueShown);

    // A report on stdout keeps it for itself: the lines go to stderr.
    const bool reportOnStdout = options.junit == "-" || options.csv == "-";
    LinePrinter printer(*plan, reportOnStdout ? stderr : stdout);
    BatchRun run(plan, options.run, printer);
    SignalWatch signalWatch(run);
    if (const auto started = run.Start(); !started)
        return endEmpty(kExitCannotStart, started.error());
    const BatchCounts counts = printer.PrintAll();
    run.Wait();

    exitCode = counts.errors > 0 ? kExitCouldNotRun : counts.failed > 0 ? kExitSomeFailed : kExitAllPassed;
    write(options.junit, JUnitXml(catalogueName, *plan, printer.Results()));
    write(options.csv, CsvText(*plan, printer.Results()));
    if (signalWatch.Signal() != 0)
        return 128 + signalWatch.Signal();
    return exitCode;
}

} // namespace kestrel::tool
