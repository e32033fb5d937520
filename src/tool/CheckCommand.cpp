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
#include "tool/CheckSelection.h"
#include "tool/ResultsFile.h"
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
    // The results file, the plan printed instead of run, the part of the plan this run takes.
    std::filesystem::path json;
    bool list = false;
    CheckSelection select;
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

struct SelectionOptions {
    QCommandLineOption json{QStringLiteral("json"),
                            QStringLiteral("Writes the results file (JSON, every fact of the run; see the README) to "
                                           "FILE; - for standard output."),
                            QStringLiteral("FILE")};
    QCommandLineOption list{QStringLiteral("list"),
                            QStringLiteral("Prints the plan (file, group, with --durations the expected seconds) "
                                           "without connecting or running anything.")};
    QCommandLineOption shard{QStringLiteral("shard"),
                             QStringLiteral("Runs part K of N of the plan (1 <= K <= N); auto takes K and N from "
                                            "CI_NODE_INDEX and CI_NODE_TOTAL. Without --durations a module's part "
                                            "follows from its file name alone."),
                             QStringLiteral("K/N")};
    QCommandLineOption durations{QStringLiteral("durations"),
                                 QStringLiteral("Splits by the times of earlier runs (results file, JUnit or CSV; "
                                                "repeatable): the longest first onto the least loaded part; a "
                                                "module of no known time counts as the median."),
                                 QStringLiteral("FILE")};
    QCommandLineOption module{QStringLiteral("module"),
                              QStringLiteral("Checks only modules whose file name matches GLOB (repeatable)."),
                              QStringLiteral("GLOB")};
    QCommandLineOption exclude{QStringLiteral("exclude"),
                               QStringLiteral("Leaves out modules whose file name matches GLOB (repeatable)."),
                               QStringLiteral("GLOB")};
    QCommandLineOption failedFrom{QStringLiteral("failed-from"),
                                  QStringLiteral("Checks only the modules that did not pass (FAIL, ERROR, NOTRUN) in "
                                                 "an earlier results file, JUnit or CSV report."),
                                  QStringLiteral("FILE")};
};

SelectionOptions AddSelectionOptions(QCommandLineParser& parser) {
    SelectionOptions o;
    parser.addOptions({o.json, o.list, o.shard, o.durations, o.module, o.exclude, o.failedFrom});
    return o;
}

int ParseSelectionOptions(CommandLine& line, const SelectionOptions& o, CheckOptions& options) {
    const QCommandLineParser& parser = line.Parser();
    if (parser.isSet(o.json)) {
        if (parser.value(o.json).isEmpty())
            return line.UsageError(QStringLiteral("--json needs a file name"));
        options.json = PathArgument(parser.value(o.json));
    }
    options.list = parser.isSet(o.list);
    for (const QString& glob : parser.values(o.module))
        options.select.include.push_back(ArgumentText(glob));
    for (const QString& glob : parser.values(o.exclude))
        options.select.exclude.push_back(ArgumentText(glob));
    for (const QString& file : parser.values(o.durations)) {
        if (file.isEmpty())
            return line.UsageError(QStringLiteral("--durations needs a file name"));
        options.select.durations.push_back({PathArgument(file), ArgumentText(file)});
    }
    if (parser.isSet(o.failedFrom)) {
        if (parser.value(o.failedFrom).isEmpty())
            return line.UsageError(QStringLiteral("--failed-from needs a file name"));
        options.select.failedFrom =
            NamedPath{PathArgument(parser.value(o.failedFrom)), ArgumentText(parser.value(o.failedFrom))};
    }
    if (parser.isSet(o.shard)) {
        std::string shardText = parser.value(o.shard).toStdString();
        if (shardText == "auto") {
            const QString index = qEnvironmentVariable("CI_NODE_INDEX");
            const QString total = qEnvironmentVariable("CI_NODE_TOTAL");
            if (index.isEmpty() || total.isEmpty())
                return line.UsageError(
                    QStringLiteral("--shard auto needs CI_NODE_INDEX and CI_NODE_TOTAL in the environment"));
            shardText = (index + QLatin1Char('/') + total).toStdString();
        }
        options.select.shard = ParseShard(shardText);
        if (!options.select.shard)
            return line.UsageError(QStringLiteral("--shard takes K/N with 1 <= K <= N <= 1000 (or auto), not %1")
                                       .arg(QString::fromStdString(shardText)));
    }
    return -1;
}

int ParseCheckArguments(const QStringList& args, CheckOptions& options) {
    CommandLine line(
        "check",
        "CATALOGUE --connect CONNSTR [--group ID] [--junit FILE] [--csv FILE] [--timeout SECONDS] [--jobs N] "
        "[--shared-error-table] [--json FILE] [--list] [--shard K/N|auto] [--durations FILE...] [--module GLOB] "
        "[--exclude GLOB] [--failed-from FILE]",
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
    const SelectionOptions selection = AddSelectionOptions(parser);
    if (const int exit = line.Parse(args, 1, 1); exit >= 0)
        return exit;
    if (const int exit = ParseSelectionOptions(line, selection, options); exit >= 0)
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
    if (options.run.connection.empty() && !options.list)
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

// The results file of this run: the whole plan with each module's part, this part's results.
ResultsFile RunResults(const CheckOptions& options, const SelectedPlan& chosen,
                       const std::vector<ModuleResult>& results) {
    ResultsFile file;
    file.toolVersion = KESTREL_VERSION;
    file.cataloguePath = options.catalogueShown;
    file.catalogueName = options.catalogue.filename().string();
    std::string bytes;
    if (ReadWholeFile(options.catalogue, bytes))
        file.catalogueSha256 = Sha256Hex(bytes);
    file.groups = chosen.whole.groups;
    for (std::size_t i = 0; i < chosen.whole.modules.size(); ++i) {
        const BatchModule& module = chosen.whole.modules[i];
        file.plan.push_back({module.shown, module.groupIndex, module.stored.empty() ? "" : Sha256Hex(module.stored),
                             chosen.shardOf.empty() ? 0 : chosen.shardOf[i]});
    }
    file.shard = options.select.shard;
    file.split = chosen.split;
    file.checked = chosen.partIndex;
    file.results = results;
    return file;
}

// --list prints the part of the plan this run would check; a shard that gets no module says
// so and writes its (empty) reports, so that the merge still sees the whole plan.
int ListOrEmptyShard(const CheckOptions& options, const SelectedPlan& chosen) {
    if (options.list) {
        for (std::size_t p = 0; p < chosen.partIndex.size(); ++p) {
            const std::size_t i = chosen.partIndex[p];
            const BatchModule& module = chosen.whole.modules[i];
            std::string line = OneLine(module.shown) + "  " + OneLine(module.groupId);
            if (!chosen.expected.empty())
                line += "  " + SecondsText(chosen.expected[i]) + "s";
            std::printf("%s\n", line.c_str());
        }
    }
    if (chosen.part.modules.empty() && options.select.shard)
        Complain("shard " + std::to_string(options.select.shard->index) + "/" +
                 std::to_string(options.select.shard->count) + ": no module of the " +
                 std::to_string(chosen.whole.modules.size()) + " planned falls to this shard");
    if (options.list)
        return std::fflush(stdout) == 0 ? kExitAllPassed : kExitCannotWrite;
    int exitCode = kExitAllPassed;
    for (const auto& [path, text] :
         {std::pair{options.junit, JUnitXml(options.catalogue.filename().string(), chosen.part, {})},
          std::pair{options.csv, CsvText(chosen.part, {})},
          std::pair{options.json, ResultsJson(RunResults(options, chosen, {}))}}) {
        if (path.empty())
            continue;
        if (const FileStatus written = WriteOutputFile(path, text); !written) {
            Complain(path.string() + ": " + GbkToUtf8(written.error().message));
            exitCode = kExitCannotWrite;
        }
    }
    return exitCode;
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
        // A results file without results would read as a whole plan that ran: it goes instead.
        std::error_code gone;
        if (!options.json.empty() && std::filesystem::is_regular_file(options.json, gone) &&
            std::filesystem::remove(options.json, gone))
            Complain(options.json.string() + ": removed, the run has no results");
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
    auto selected = SelectModules(std::move(planned).value(), options.select, Complain);
    if (!selected)
        return endEmpty(kExitCannotStart, selected.error());
    SelectedPlan& chosen = selected.value();
    if (options.select.failedFrom && chosen.whole.modules.empty()) {
        std::printf("0 to re-run\n");
        return kExitAllPassed;
    }
    if (chosen.whole.modules.empty())
        return endEmpty(kExitNothingSelected, "no module to check in " + options.catalogueShown);
    if (options.list || chosen.part.modules.empty())
        return ListOrEmptyShard(options, chosen);
    const auto plan = std::make_shared<const BatchPlan>(std::move(chosen.part));

    // A report on stdout keeps it for itself: the lines go to stderr.
    const bool reportOnStdout = options.junit == "-" || options.csv == "-" || options.json == "-";
    LinePrinter printer(*plan, reportOnStdout ? stderr : stdout);
    BatchRun run(plan, options.run, printer);
    SignalWatch signalWatch(run);
    if (const auto started = run.Start(); !started)
        return endEmpty(kExitCannotStart, started.error());
    const BatchCounts counts = printer.PrintAll();
    run.Wait();

    exitCode = CheckExitCode(counts.errors, counts.failed);
    write(options.junit, JUnitXml(catalogueName, *plan, printer.Results()));
    write(options.csv, CsvText(*plan, printer.Results()));
    write(options.json, ResultsJson(RunResults(options, chosen, printer.Results())));
    if (signalWatch.Signal() != 0)
        return 128 + signalWatch.Signal();
    return exitCode;
}

} // namespace kestrel::tool
