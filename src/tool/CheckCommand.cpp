// kestrel-tool check: every module of a catalogue tested with its stored test values, as the
// property sheet's test would run it, for nightly runs and CI. Never asks, never changes a
// module file; every message goes to the line of its module.
#include "core/AsciiCase.h"
#include "core/AtomicFile.h"
#include "core/FixedText.h"
#include "core/Gbk.h"
#include "repository/Catalogue.h"
#include "repository/ModuleFile.h"
#include "repository/ModuleOrder.h"
#include "repository/ModuleScan.h"
#include "testing/ErrorTable.h"
#include "testing/engine/ModuleTest.h"
#include "tool/ToolCommands.h"
#include "ui/GbkText.h"

#include <QXmlStreamWriter>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
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
    std::string connection;
    std::filesystem::path junit;
    std::filesystem::path csv;
    std::chrono::seconds timeout{600};
    int jobs = 1;
    bool isolate = true; // each connection its own session-private error table
};

enum class Verdict {
    kPassed,
    kFailed, // the module reported an error: its own ErrorCode, the function's result
    kError,  // the module could not be run: database error, crash, bad placeholder, unreadable
    kNotRun, // the run was stopped before this module
};

const char* VerdictWord(Verdict verdict) {
    switch (verdict) {
    case Verdict::kPassed:
        return "PASS";
    case Verdict::kFailed:
        return "FAIL";
    case Verdict::kError:
        return "ERROR";
    case Verdict::kNotRun:
        return "NOTRUN";
    }
    return "";
}

// One module of the run, in the order of the report.
struct PlannedModule {
    std::filesystem::path path; // as the folder lists it, byte for byte
    std::string shown;          // UTF-8
    std::string groupId;        // UTF-8; "-" for a file whose group could not be read
    std::size_t groupIndex = 0; // into the report's groups
    // The module as its file holds it, parsed when it runs: a parsed record takes 6.6 KB, too
    // much to hold for each of 100,000 modules.
    std::string stored;
    FileStatus load; // why the file could not be read, if it could not
    // Its SQL names the error table with a qualifier, past any session-private table: it runs
    // on the shared table, alone, after the others.
    bool shared = false;
};

struct ModuleResult {
    Verdict verdict = Verdict::kNotRun;
    int32_t code = -1;
    std::string message;     // UTF-8: the full message, as the property sheet would show it
    std::string failureText; // UTF-8, for JUnit: the module's ErrorMsg, or the whole message
    std::string output;      // what the module wrote to stdout / stderr (DLL modules)
    std::string errorOutput;
    double seconds = 0;
};

struct ReportGroup {
    std::string groupId; // UTF-8
    std::string name;
};

// Seconds with three decimals and a point, whatever the locale says.
std::string Seconds(double seconds) {
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::fixed, 3);
    return std::string(buffer, end.ptr);
}

// The line of stdout holds no line break, tab or other control character: fields are
// separated by two blanks, one line per module.
std::string OneLine(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r')
            continue;
        out += byte < 0x20 || byte == 0x7F ? ' ' : c;
    }
    return out;
}

// What an outcome has to say, as one line; empty when it says nothing.
std::string MessageLine(const TestOutcome& outcome) {
    return outcome.message ? OneLine(outcome.message->Utf8()) : std::string();
}

// XML 1.0 cannot hold most control characters at all, not even as references.
QString XmlText(const std::string& utf8) {
    QString text = QString::fromUtf8(utf8);
    for (QChar& c : text) {
        const char16_t unit = c.unicode();
        if ((unit < 0x20 && unit != '\t' && unit != '\n' && unit != '\r') || unit == 0xFFFE || unit == 0xFFFF)
            c = QChar::ReplacementCharacter;
    }
    return text;
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + '"';
}

struct Counts {
    int passed = 0;
    int failed = 0;
    int errors = 0;
    int notRun = 0;
    double seconds = 0;
    void Add(const ModuleResult& result) {
        switch (result.verdict) {
        case Verdict::kPassed:
            ++passed;
            break;
        case Verdict::kFailed:
            ++failed;
            break;
        case Verdict::kError:
            ++errors;
            break;
        case Verdict::kNotRun:
            ++notRun;
            break;
        }
        seconds += result.seconds;
    }
    int Total() const { return passed + failed + errors + notRun; }
};

std::string JUnitXml(const std::string& catalogueName, const std::vector<ReportGroup>& groups,
                     const std::vector<PlannedModule>& plan, const std::vector<ModuleResult>& results) {
    QByteArray xml;
    QXmlStreamWriter writer(&xml);
    writer.setAutoFormatting(true);
    writer.setAutoFormattingIndent(2);
    writer.writeStartDocument();
    Counts all;
    std::vector<Counts> perGroup(groups.size());
    for (std::size_t i = 0; i < plan.size(); ++i) {
        all.Add(results[i]);
        perGroup[plan[i].groupIndex].Add(results[i]);
    }
    auto counts = [&writer](const Counts& c) {
        writer.writeAttribute(QStringLiteral("tests"), QString::number(c.Total()));
        writer.writeAttribute(QStringLiteral("failures"), QString::number(c.failed));
        writer.writeAttribute(QStringLiteral("errors"), QString::number(c.errors));
        writer.writeAttribute(QStringLiteral("skipped"), QString::number(c.notRun));
        writer.writeAttribute(QStringLiteral("time"), QString::fromStdString(Seconds(c.seconds)));
    };
    writer.writeStartElement(QStringLiteral("testsuites"));
    writer.writeAttribute(QStringLiteral("name"), XmlText(catalogueName));
    counts(all);
    for (std::size_t g = 0; g < groups.size(); ++g) {
        if (perGroup[g].Total() == 0)
            continue;
        writer.writeStartElement(QStringLiteral("testsuite"));
        writer.writeAttribute(QStringLiteral("name"), XmlText(groups[g].groupId));
        counts(perGroup[g]);
        writer.writeStartElement(QStringLiteral("properties"));
        writer.writeEmptyElement(QStringLiteral("property"));
        writer.writeAttribute(QStringLiteral("name"), QStringLiteral("groupName"));
        writer.writeAttribute(QStringLiteral("value"), XmlText(groups[g].name));
        writer.writeEndElement();
        for (std::size_t i = 0; i < plan.size(); ++i) {
            if (plan[i].groupIndex != g)
                continue;
            const ModuleResult& result = results[i];
            writer.writeStartElement(QStringLiteral("testcase"));
            writer.writeAttribute(QStringLiteral("classname"), XmlText(groups[g].groupId));
            writer.writeAttribute(QStringLiteral("name"), XmlText(plan[i].shown));
            writer.writeAttribute(QStringLiteral("time"), QString::fromStdString(Seconds(result.seconds)));
            switch (result.verdict) {
            case Verdict::kPassed:
                break;
            case Verdict::kFailed:
            case Verdict::kError:
                writer.writeStartElement(result.verdict == Verdict::kFailed ? QStringLiteral("failure")
                                                                            : QStringLiteral("error"));
                writer.writeAttribute(QStringLiteral("message"), XmlText(result.failureText));
                writer.writeAttribute(QStringLiteral("type"), QString::number(result.code));
                writer.writeCharacters(XmlText(result.message));
                writer.writeEndElement();
                break;
            case Verdict::kNotRun:
                writer.writeEmptyElement(QStringLiteral("skipped"));
                writer.writeAttribute(QStringLiteral("message"), QStringLiteral("not run"));
                break;
            }
            if (!result.output.empty())
                writer.writeTextElement(QStringLiteral("system-out"), XmlText(result.output));
            if (!result.errorOutput.empty())
                writer.writeTextElement(QStringLiteral("system-err"), XmlText(result.errorOutput));
            writer.writeEndElement();
        }
        writer.writeEndElement();
    }
    writer.writeEndElement();
    writer.writeEndDocument();
    return xml.toStdString();
}

std::string CsvText(const std::vector<PlannedModule>& plan, const std::vector<ModuleResult>& results) {
    std::string csv = "file,group,result,code,message,seconds\r\n";
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const ModuleResult& result = results[i];
        csv += CsvField(plan[i].shown) + "," + CsvField(plan[i].groupId) + "," + VerdictWord(result.verdict) + "," +
               std::to_string(result.code) + "," + CsvField(result.message) + "," + Seconds(result.seconds) + "\r\n";
    }
    return csv;
}

// What every worker of a run shares: the signal that stops it, and the tokens of the steps
// that run now, which that signal cancels.
class RunControl {
public:
    int Signal() const { return m_signal.load(); }
    bool Stopping() const { return m_signal.load() != 0; }

    void Stop(int signal) {
        std::lock_guard lock(m_mutex);
        int expected = 0;
        m_signal.compare_exchange_strong(expected, signal);
        for (CancelToken* token : m_tokens)
            token->Cancel();
        m_changed.notify_all();
    }
    // Sleeps for pause unless the run is stopped first; false when it is.
    bool Pause(std::chrono::milliseconds pause) {
        std::unique_lock lock(m_mutex);
        return !m_changed.wait_for(lock, pause, [this] { return Stopping(); });
    }

    // A token of a step that runs now; cancelled at once when the run is stopping already.
    class Registration {
    public:
        Registration(RunControl& control, CancelToken& token) : m_control(control), m_token(token) {
            std::lock_guard lock(control.m_mutex);
            control.m_tokens.push_back(&token);
            if (control.Stopping())
                token.Cancel();
        }
        ~Registration() {
            std::lock_guard lock(m_control.m_mutex);
            auto& tokens = m_control.m_tokens;
            tokens.erase(std::remove(tokens.begin(), tokens.end(), &m_token), tokens.end());
        }
        Registration(const Registration&) = delete;
        Registration& operator=(const Registration&) = delete;

    private:
        RunControl& m_control;
        CancelToken& m_token;
    };

private:
    std::atomic<int> m_signal{0};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<CancelToken*> m_tokens;
};

// The statements that give a session its private error table, shadowing the shared one for
// every unqualified KSTError of that session; none for a database we do not know how to ask.
std::vector<std::string> PrivateErrorTableStatements(const std::string& product) {
    const std::string name = AsciiLowerText(product);
    if (name.find("sqlite") != std::string::npos)
        return {"CREATE TEMP TABLE KSTError AS SELECT * FROM main.KSTError WHERE 0"};
    if (name.find("postgres") != std::string::npos)
        return {"CREATE TEMP TABLE KSTError (LIKE KSTError)"};
    // A temporary table cannot be made LIKE a table of its own name: it is made under another
    // and renamed.
    if (name.find("mariadb") != std::string::npos || name.find("mysql") != std::string::npos)
        return {"CREATE TEMPORARY TABLE KSTError_private LIKE KSTError",
                "ALTER TABLE KSTError_private RENAME TO KSTError"};
    return {};
}

// One connection and its runs: a worker of the run (with its own runner processes).
class Checker : private ModuleTestHost {
public:
    Checker(const CheckOptions& options, RunControl& control, bool isolate)
        : m_options(options), m_control(control), m_isolate(isolate) {}

    // Opens the data source and makes sure the error table is there; false (with the reason
    // on stderr) when the run cannot start. isolated tells whether the session got its private
    // error table (false: the database is one we cannot give one).
    bool Start(bool& isolated) {
        TestOutcome open = m_session.Open(m_options.connection);
        if (open.code != 0) {
            std::fprintf(stderr, "kestrel-tool check: cannot connect: %s\n", MessageLine(open).c_str());
            return false;
        }
        m_session.SetTimeout(m_options.timeout);
        const TestOutcome probe = m_session.ExecuteOwn("SELECT * FROM KSTError WHERE 1=0");
        if (probe.code != 0) {
            std::fprintf(stderr, "kestrel-tool check: the error table KSTError cannot be read: %s\n",
                         MessageLine(probe).c_str());
            return false;
        }
        if (m_isolate && PrivateErrorTableStatements(m_session.DatabaseProduct()).empty())
            m_isolate = false;
        isolated = m_isolate;
        if (m_isolate) {
            const TestOutcome made = Isolate();
            if (made.code != 0) {
                std::fprintf(stderr, "kestrel-tool check: cannot make the session's own error table: %s\n",
                             MessageLine(made).c_str());
                return false;
            }
        }
        return true;
    }

    ModuleResult Check(const PlannedModule& module) {
        const auto started = std::chrono::steady_clock::now();
        ModuleResult result;
        if (!module.load) {
            result.verdict = Verdict::kError;
            result.message = module.shown + ": " + GbkToUtf8(module.load.error().message);
        } else {
            ModuleRecord record;
            ParseModuleBytes(record, module.stored);
            const ModuleTestResult run =
                RunModuleTest(ModuleUnderTestOf(record, module.path.parent_path()), m_table, *this);
            Take(run, result);
        }
        if (result.failureText.empty())
            result.failureText = result.message;
        result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        return result;
    }

private:
    static void Take(const ModuleTestResult& run, ModuleResult& result) {
        const TestOutcome& outcome = run.outcome;
        result.code = outcome.code;
        if (outcome.message)
            result.message = outcome.message->Utf8();
        if (!outcome.moduleMessage.empty())
            result.failureText = outcome.moduleMessage;
        result.output = outcome.output;
        result.errorOutput = outcome.errorOutput;
        if (run.Passed()) {
            result.verdict = Verdict::kPassed;
            return;
        }
        result.code = result.code == 0 ? -1 : result.code;
        if (outcome.cancelled) {
            // Only a signal to the tool cancels: the run stops, this module included.
            result.verdict = Verdict::kNotRun;
            result.message = "not run";
            return;
        }
        // The one message of the tool's own (the README says so): the sheet fails a module whose
        // SQL names a placeholder it cannot fill without a word, but a line of a batch run that
        // nobody watches has to say why it failed. The run itself stays the sheet's.
        if (run.stage == TestStage::kPlaceholders)
            result.message = "SQL 中有无效的变量占位符";
        result.verdict = run.stage == TestStage::kRun && outcome.reportedByModule ? Verdict::kFailed : Verdict::kError;
    }

    TestOutcome Isolate() {
        TestOutcome made;
        for (const std::string& statement : PrivateErrorTableStatements(m_session.DatabaseProduct())) {
            made = m_session.ExecuteOwn(statement);
            if (made.code != 0) {
                m_session.Close();
                break;
            }
        }
        return made;
    }

    TestOutcome Reopen() {
        TestOutcome open = m_session.Open(m_options.connection);
        if (open.code == 0 && m_isolate)
            open = Isolate();
        return open;
    }

    // A connection lost by an earlier module (or left behind after a time-out) is opened again
    // for this one. A server that restarts takes a while: after a loss the connection is tried
    // for up to kReconnectWindow with growing pauses; while it stays down, each later module
    // tries once.
    SqlTestSession* OpenSession(TestOutcome& failure) override {
        if (m_session.IsOpen())
            return &m_session;
        failure = Reopen();
        if (!m_down) {
            const auto giveUp = std::chrono::steady_clock::now() + kReconnectWindow;
            std::chrono::milliseconds pause(250);
            while (failure.code != 0 && std::chrono::steady_clock::now() + pause <= giveUp && m_control.Pause(pause)) {
                failure = Reopen();
                pause = std::min(pause * 2, std::chrono::milliseconds(8000));
            }
        }
        m_down = failure.code != 0;
        return m_down ? nullptr : &m_session;
    }

    // SQL modules are bounded by the session; DLL modules here, on the same time-out: the
    // runner (its whole process group) is ended when the time is up.
    TestOutcome RunStep(int32_t type, const std::function<TestOutcome(CancelToken&)>& work) override {
        CancelToken token;
        RunControl::Registration registration(m_control, token);
        if (type == kSqlModule)
            return work(token);
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        bool timedOut = false;
        std::thread watchdog([&] {
            std::unique_lock lock(mutex);
            if (!finished.wait_for(lock, m_options.timeout, [&done] { return done; })) {
                timedOut = true;
                lock.unlock();
                token.Cancel();
            }
        });
        TestOutcome outcome = work(token);
        {
            std::lock_guard lock(mutex);
            done = true;
            finished.notify_all();
        }
        watchdog.join();
        if (timedOut && outcome.cancelled) {
            outcome.cancelled = false;
            outcome.code = -1;
            outcome.reportedByModule = false;
            outcome.message = TestMessage{
                .text = "Timeout expired: the module did not finish within " +
                        std::to_string(m_options.timeout.count()) + " s",
                .caption = "Error",
                .unicode = true,
            };
        }
        return outcome;
    }

    static constexpr std::chrono::seconds kReconnectWindow{30};

    const CheckOptions& m_options;
    RunControl& m_control;
    bool m_isolate;
    bool m_down = false; // the last reconnect window ended without a connection
    TestVariableTable m_table;
    SqlTestSession m_session;
};

// SIGINT, SIGTERM and SIGHUP stop the run instead of ending the program: the modules under way
// are cancelled, the reports are written with what is done, and the exit code tells the signal.
class SignalWatch {
public:
    explicit SignalWatch(RunControl& control) : m_control(control) {
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
                m_control.Stop(byte);
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
    SignalWatch& operator=(const SignalWatch&) = delete;

private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
    static inline int s_pipe[2] = {-1, -1};
    RunControl& m_control;
    struct sigaction m_old[3]{};
    std::thread m_thread;
};

// The file name as the tool's records hold it (GBK), which the module's list line starts with.
std::string ListedName(const std::string& diskName, std::string& shown) {
    if (std::optional<std::string> gbk = Utf8ToGbk(diskName)) {
        shown = diskName;
        return *gbk;
    }
    // Not UTF-8: a name copied from a system that writes GBK names.
    if (IsValidGbk(diskName)) {
        shown = GbkToUtf8(diskName);
        return diskName;
    }
    shown = QString::fromUtf8(diskName).toStdString();
    return diskName;
}

struct Plan {
    std::vector<ReportGroup> groups;
    std::vector<PlannedModule> modules;
};

// The modules of the chosen groups: group by group in catalogue order, in the window's list
// order within a group, then the files that could not be read (their group is unknown). Files
// that are no module are named on stderr: nothing is left out without a word. The folder is
// read once, by header; only the modules to be checked are read whole.
bool MakePlan(const GroupCatalogue& catalogue, const std::vector<int>& groupIndexes,
              const std::filesystem::path& folder, Plan& plan) {
    std::vector<std::string> groupIds;
    for (int i : groupIndexes)
        groupIds.push_back(FieldText(catalogue.groups[static_cast<std::size_t>(i)].identifier));
    GroupBuckets buckets;
    if (const FileStatus listed = BucketModulesByGroup(folder, groupIds, buckets); !listed) {
        std::fprintf(stderr, "kestrel-tool check: %s: %s\n", folder.c_str(), GbkToUtf8(listed.error().message).c_str());
        return false;
    }
    struct Found {
        std::string name;
        std::string line; // its list line, which orders it; the bare name while the header is unknown
        PlannedModule module;
        std::unique_ptr<ModuleRecord> record; // while it is read and not yet planned
    };
    const auto planned = [&folder](const ScannedModule& file) {
        Found entry;
        entry.module.path = folder / file.diskName;
        entry.name = ListedName(file.diskName, entry.module.shown);
        entry.line = file.isModule ? ModuleListText(entry.name, file.header) : entry.name;
        return entry;
    };
    const auto lineOf = [](const Found& entry) -> const std::string& { return entry.line; };
    std::vector<std::vector<Found>> members(groupIds.size());
    std::vector<Found> unreadable;
    // Reads a module whole; false when it is not to be checked after all.
    const auto load = [&](Found& entry) {
        entry.record = std::make_unique<ModuleRecord>();
        entry.module.load = ReadModuleFile(*entry.record, entry.module.path);
        if (IsInvalidFailure(entry.module.load)) {
            std::fprintf(stderr, "kestrel-tool check: %s: not a module file (%s), skipped\n",
                         entry.module.shown.c_str(), GbkToUtf8(entry.module.load.error().message).c_str());
            return false;
        }
        if (!entry.module.load) {
            unreadable.push_back(std::move(entry));
            return false;
        }
        return true;
    };
    for (const ScannedModule& file : buckets.others) {
        if (file.isModule)
            continue; // of a group not chosen
        // The header did not make it a module: the whole read says why, or finds it changed since.
        Found entry = planned(file);
        if (!load(entry))
            continue;
        entry.line = ModuleListText(entry.name, entry.record->header);
        const auto at = std::find(groupIds.begin(), groupIds.end(), FieldText(entry.record->header.groupId));
        if (at != groupIds.end())
            members[static_cast<std::size_t>(at - groupIds.begin())].push_back(std::move(entry));
    }
    for (std::size_t g = 0; g < groupIds.size(); ++g) {
        std::vector<Found>& group = members[g];
        for (const ScannedModule& file : buckets.groups[g])
            group.push_back(planned(file));
        SortInListOrder(group, lineOf);
        plan.groups.push_back({GbkToUtf8(groupIds[g]),
                               GbkToUtf8(FieldText(catalogue.groups[static_cast<std::size_t>(groupIndexes[g])].name))});
        for (Found& entry : group) {
            if (!entry.record && !load(entry))
                continue;
            entry.module.groupId = plan.groups.back().groupId;
            entry.module.groupIndex = plan.groups.size() - 1;
            entry.module.shared = entry.record->header.type != kDllModule &&
                                  FindQualifiedErrorTable(entry.record->body) != std::string_view::npos;
            entry.module.stored = SerializeModule(*entry.record);
            entry.record.reset();
            plan.modules.push_back(std::move(entry.module));
        }
        std::vector<Found>().swap(group); // what is planned is held once
    }
    for (const ScannedModule& file : buckets.unreadable) {
        Found entry = planned(file);
        entry.module.load = file.failure;
        unreadable.push_back(std::move(entry));
    }
    SortInListOrder(unreadable, lineOf);
    if (!unreadable.empty())
        plan.groups.push_back({"-", ""});
    for (Found& entry : unreadable) {
        entry.module.groupId = "-";
        entry.module.groupIndex = plan.groups.size() - 1;
        plan.modules.push_back(std::move(entry.module));
    }
    return true;
}

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
        options.connection = ArgumentBytes(parser.value(connect));
    else
        options.connection = qEnvironmentVariable(kConnectVariable).toStdString();
    if (options.connection.empty())
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
    options.timeout = std::chrono::seconds(seconds);
    options.jobs = parser.value(jobs).toInt(&ok);
    if (!ok || options.jobs < 1 || options.jobs > kMaxJobs)
        return line.UsageError(QStringLiteral("--jobs takes a number from 1 to %1").arg(kMaxJobs));
    options.isolate = !parser.isSet(shared);
    return -1;
}

} // namespace

int CheckCommand(const QStringList& args) {
    CheckOptions options;
    if (const int exit = ParseCheckArguments(args, options); exit >= 0)
        return exit;

    GroupCatalogue catalogue;
    const FileStatus loaded = LoadCatalogue(catalogue, options.catalogue);
    if (!loaded) {
        std::fprintf(stderr, "kestrel-tool check: %s: %s\n", options.catalogueShown.c_str(),
                     loaded.error().IsInvalid()
                         ? ("not a group catalogue (" + GbkToUtf8(loaded.error().message) + ")").c_str()
                         : GbkToUtf8(loaded.error().message).c_str());
        return kExitCannotStart;
    }
    std::vector<int> groupIndexes;
    for (int i = 0; i < catalogue.groupCount; ++i)
        if (!options.hasGroup || FieldText(catalogue.groups[static_cast<std::size_t>(i)].identifier) == options.group)
            groupIndexes.push_back(i);
    if (options.hasGroup && groupIndexes.empty()) {
        std::fprintf(stderr, "kestrel-tool check: no group %s in %s\n", GbkToUtf8(options.group).c_str(),
                     options.catalogueShown.c_str());
        return kExitCannotStart;
    }

    std::error_code error;
    const std::filesystem::path folder =
        std::filesystem::absolute(catalogue.Folder().empty() ? "." : catalogue.Folder(), error);
    Plan plan;
    if (!MakePlan(catalogue, groupIndexes, folder, plan))
        return kExitCannotStart;
    if (plan.modules.empty()) {
        std::fprintf(stderr, "kestrel-tool check: no module to check in %s\n", options.catalogueShown.c_str());
        return kExitNothingSelected;
    }

    RunControl control;
    SignalWatch signalWatch(control);
    const std::size_t total = plan.modules.size();
    std::vector<std::size_t> isolatedOrder; // indexes into plan.modules, run first, in parallel
    std::vector<std::size_t> sharedOrder;   // then these, one by one, on the shared table
    for (std::size_t i = 0; i < total; ++i)
        (options.isolate && plan.modules[i].shared ? sharedOrder : isolatedOrder).push_back(i);

    // Every worker connects before any module runs: a data source that cannot serve them all
    // stops the run at once.
    std::vector<std::unique_ptr<Checker>> checkers;
    const int workers = static_cast<int>(
        std::min<std::size_t>(static_cast<std::size_t>(options.jobs), std::max<std::size_t>(isolatedOrder.size(), 1)));
    for (int w = 0; w < workers; ++w) {
        checkers.push_back(std::make_unique<Checker>(options, control, options.isolate));
        bool isolated = false;
        if (!checkers.back()->Start(isolated))
            return kExitCannotStart;
        if (w == 0 && options.isolate && !isolated) {
            std::fputs("kestrel-tool check: this database cannot be given a private error table: every module "
                       "runs on the shared KSTError, one at a time\n",
                       stderr);
            options.isolate = false;
            isolatedOrder.insert(isolatedOrder.end(), sharedOrder.begin(), sharedOrder.end());
            std::sort(isolatedOrder.begin(), isolatedOrder.end());
            sharedOrder.clear();
            break;
        }
    }
    if (!options.isolate && checkers.size() > 1)
        checkers.resize(1);

    std::vector<ModuleResult> results(total);
    std::vector<char> done(total, 0);
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t started = 0;
    std::size_t next = 0;
    std::size_t finishedWorkers = 0;
    std::string startedName;
    auto work = [&](Checker& checker, const std::vector<std::size_t>& order) {
        for (;;) {
            std::size_t index = 0;
            {
                std::lock_guard lock(mutex);
                if (next >= order.size() || control.Stopping())
                    break;
                index = order[next++];
                ++started;
                startedName = plan.modules[index].shown;
                changed.notify_all();
            }
            ModuleResult result = checker.Check(plan.modules[index]);
            if (plan.modules[index].shared && result.verdict != Verdict::kNotRun)
                result.message = result.message.empty() ? "ran alone on the shared error table"
                                                        : result.message + " (ran alone on the shared error table)";
            std::lock_guard lock(mutex);
            results[index] = std::move(result);
            done[index] = 1;
            changed.notify_all();
        }
        std::lock_guard lock(mutex);
        ++finishedWorkers;
        changed.notify_all();
    };
    // The workers, then (in the same thread as the last of them) the modules that must run
    // alone on the shared table.
    std::thread runner([&] {
        {
            std::vector<std::thread> threads;
            for (std::size_t w = 1; w < checkers.size(); ++w)
                threads.emplace_back(work, std::ref(*checkers[w]), std::cref(isolatedOrder));
            work(*checkers.front(), isolatedOrder);
            for (std::thread& thread : threads)
                thread.join();
        }
        if (!sharedOrder.empty() && !control.Stopping()) {
            CheckOptions sharedOptions = options;
            sharedOptions.isolate = false;
            Checker alone(sharedOptions, control, false);
            bool isolated = false;
            {
                std::lock_guard lock(mutex);
                next = 0;
                finishedWorkers = 0;
            }
            if (alone.Start(isolated)) {
                work(alone, sharedOrder);
            } else {
                // They were to run, and could not: not a stopped run's "not run".
                std::lock_guard lock(mutex);
                for (std::size_t index : sharedOrder) {
                    results[index].verdict = Verdict::kError;
                    results[index].message = "no connection for the shared error table (the reason is on stderr)";
                    done[index] = 1;
                }
            }
        }
        std::lock_guard lock(mutex);
        finishedWorkers = SIZE_MAX;
        changed.notify_all();
    });

    // The lines in the order of the plan, each as soon as it and all before it are done.
    Progress progress;
    Counts counts;
    {
        std::unique_lock lock(mutex);
        for (std::size_t i = 0; i < total; ++i) {
            for (;;) {
                if (done[i] || finishedWorkers == SIZE_MAX)
                    break;
                progress.Show(started, total, startedName);
                changed.wait(lock);
            }
            if (!done[i]) {
                results[i].verdict = Verdict::kNotRun;
                results[i].message = "not run";
            }
            const PlannedModule& module = plan.modules[i];
            const ModuleResult& result = results[i];
            counts.Add(result);
            progress.Clear();
            std::printf("%s  %s  %s  %d  %s  %ss\n", OneLine(module.shown).c_str(), OneLine(module.groupId).c_str(),
                        VerdictWord(result.verdict), static_cast<int>(result.code),
                        result.message.empty() ? "-" : OneLine(result.message).c_str(),
                        Seconds(result.seconds).c_str());
            std::fflush(stdout);
        }
    }
    runner.join();
    std::printf("%d passed, %d failed, %d could not run", counts.passed, counts.failed, counts.errors);
    if (counts.notRun > 0)
        std::printf(", %d not run", counts.notRun);
    std::printf("\n");
    std::fflush(stdout);

    int exitCode = counts.errors > 0 ? kExitCouldNotRun : counts.failed > 0 ? kExitSomeFailed : kExitAllPassed;
    auto write = [&](const std::filesystem::path& path, const std::string& text) {
        if (path.empty())
            return;
        const FileStatus written = WriteOutputFile(path, text);
        if (!written) {
            std::fprintf(stderr, "kestrel-tool check: %s: %s\n", path.c_str(),
                         GbkToUtf8(written.error().message).c_str());
            exitCode = kExitCannotWrite;
        }
    };
    write(options.junit, JUnitXml(options.catalogue.filename().string(), plan.groups, plan.modules, results));
    write(options.csv, CsvText(plan.modules, results));
    if (control.Stopping())
        return 128 + control.Signal();
    return exitCode;
}

} // namespace kestrel::tool
