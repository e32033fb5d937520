#include "testing/batch/BatchRun.h"

#include "core/AsciiCase.h"
#include "core/Gbk.h"
#include "repository/ModuleFile.h"
#include "testing/batch/ErrorTableReach.h"
#include "testing/engine/ModuleTest.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace kestrel {

ModuleResult NotRunResult() {
    ModuleResult result;
    result.verdict = Verdict::kNotRun;
    result.message = "not run";
    return result;
}

void BatchObserver::Note(const std::string&) {}
void BatchObserver::Started(std::size_t) {}
void BatchObserver::Ended() {}

namespace {

// What an outcome has to say; empty when it says nothing.
std::string MessageText(const TestOutcome& outcome) {
    return outcome.message ? outcome.message->Utf8() : std::string();
}

// What every worker of a run shares: whether it is stopping, and the tokens of the steps that
// run now, which a stop cancels.
class RunControl {
public:
    bool Stopping() const { return m_stopping.load(); }

    void Stop() {
        std::lock_guard lock(m_mutex);
        m_stopping.store(true);
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
    std::atomic<bool> m_stopping{false};
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
    Checker(const BatchOptions& options, RunControl& control, bool isolate)
        : m_options(options), m_control(control), m_isolate(isolate) {
        m_session.SetRowsToRead(kErrorRowsKept);
    }

    SqlTestSession& Session() { return m_session; }

    // Opens the data source and makes sure the error table is there. isolated tells whether the
    // session got its private error table (false: the database is one we cannot give one).
    Result<void, std::string> Start(bool& isolated) {
        TestOutcome open = m_session.Open(m_options.connection);
        if (open.code != 0)
            return Fail("cannot connect: " + MessageText(open));
        m_session.SetTimeout(m_options.timeout);
        const TestOutcome probe = m_session.ExecuteOwn("SELECT * FROM KSTError WHERE 1=0");
        if (probe.code != 0)
            return Fail("the error table KSTError cannot be read: " + MessageText(probe));
        if (m_isolate && PrivateErrorTableStatements(m_session.DatabaseProduct()).empty())
            m_isolate = false;
        isolated = m_isolate;
        if (m_isolate) {
            const TestOutcome made = Isolate();
            if (made.code != 0)
                return Fail("cannot make the session's own error table: " + MessageText(made));
        }
        return Ok();
    }

    ModuleResult Check(const BatchModule& module) {
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
        result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        return result;
    }

private:
    // Texts from the database and from a module's output may be in any encoding (a legacy
    // database's GBK, a module that prints bytes): the reports and the lines are UTF-8 only.
    static void Take(const ModuleTestResult& run, ModuleResult& result) {
        const TestOutcome& outcome = run.outcome;
        result.code = outcome.code;
        result.message = ForeignTextToUtf8(MessageText(outcome));
        result.output = ForeignTextToUtf8(outcome.output);
        result.errorOutput = ForeignTextToUtf8(outcome.errorOutput);
        result.rows = outcome.rows;
        for (ErrorRow& row : result.rows) {
            row.codeText = ForeignTextToUtf8(row.codeText);
            row.message = ForeignTextToUtf8(row.message);
        }
        result.rowsCut = outcome.rowsCut;
        if (run.Passed()) {
            result.verdict = Verdict::kPassed;
            NoteMixedRows(result);
            return;
        }
        result.code = result.code == 0 ? -1 : result.code;
        if (outcome.cancelled) {
            // Only a stop of the run cancels: the run stops, this module included.
            result.verdict = Verdict::kNotRun;
            result.message = "not run";
            return;
        }
        // The one message of the batch's own: the sheet fails a module whose SQL names a
        // placeholder it cannot fill without a word, but a result that nobody watches come in
        // has to say why it failed. The run itself stays the sheet's.
        if (run.stage == TestStage::kPlaceholders)
            result.message = "SQL 中有无效的变量占位符";
        result.verdict = run.stage == TestStage::kRun && outcome.reportedByModule ? Verdict::kFailed : Verdict::kError;
        NoteMixedRows(result);
    }

    // The first row decides, as in the sheet; a module that also wrote rows of the other kind
    // says so, or its author would never hear of them.
    static void NoteMixedRows(ModuleResult& result) {
        if (result.rows.size() < 2)
            return;
        const auto nonZero = static_cast<std::size_t>(std::count_if(result.rows.begin() + 1, result.rows.end(),
                                                                    [](const ErrorRow& row) { return row.code != 0; }));
        const bool anyZero =
            std::any_of(result.rows.begin(), result.rows.end(), [](const ErrorRow& row) { return row.code == 0; });
        if (nonZero == 0 || !anyZero)
            return;
        const std::string note = "另有 " + std::to_string(nonZero) + " 行错误代码非 0";
        result.message = result.message.empty() ? note : result.message + "\n" + note;
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

    const BatchOptions& m_options;
    RunControl& m_control;
    bool m_isolate;
    bool m_down = false; // the last reconnect window ended without a connection
    TestVariableTable m_table;
    SqlTestSession m_session;
};

} // namespace

// Everything the run's threads use, kept alive by them: an abandoned run ends on its own.
struct BatchRun::State {
    std::shared_ptr<const BatchPlan> plan;
    BatchOptions options;
    RunControl control;

    std::mutex observerMutex;
    BatchObserver* observer = nullptr;

    std::vector<std::unique_ptr<Checker>> checkers;
    std::vector<std::size_t> selection;     // every module of the run, in order
    std::vector<std::size_t> isolatedOrder; // run first, in parallel
    std::vector<std::size_t> sharedOrder;   // then these, one by one, on the shared table
    std::vector<char> alone;                // by plan index: runs in sharedOrder, and its result says so

    std::mutex mutex;
    std::size_t next = 0;
    std::vector<char> finished; // by plan index
    bool ended = true;
    std::condition_variable endChanged;
    std::thread runner;

    void Tell(const std::function<void(BatchObserver&)>& call) {
        std::lock_guard lock(observerMutex);
        if (observer)
            call(*observer);
    }

    void Work(Checker& checker, const std::vector<std::size_t>& order) {
        for (;;) {
            std::size_t index = 0;
            {
                std::lock_guard lock(mutex);
                if (next >= order.size() || control.Stopping())
                    break;
                index = order[next++];
            }
            Tell([index](BatchObserver& o) { o.Started(index); });
            const BatchModule& module = plan->modules[index];
            ModuleResult result = checker.Check(module);
            if (alone[index] && result.verdict != Verdict::kNotRun)
                result.message = result.message.empty() ? "ran alone on the shared error table"
                                                        : result.message + " (ran alone on the shared error table)";
            Finish(index, result);
        }
    }

    void Finish(std::size_t index, const ModuleResult& result) {
        {
            std::lock_guard lock(mutex);
            finished[index] = 1;
        }
        Tell([index, &result](BatchObserver& o) { o.Finished(index, result); });
    }

    // The workers, then (in the same thread as the last of them) the modules that must run
    // alone on the shared table, then the modules a stop left out.
    void Run() {
        {
            std::vector<std::thread> threads;
            for (std::size_t w = 1; w < checkers.size(); ++w)
                threads.emplace_back([this, w] { Work(*checkers[w], isolatedOrder); });
            Work(*checkers.front(), isolatedOrder);
            for (std::thread& thread : threads)
                thread.join();
        }
        checkers.clear();
        if (!sharedOrder.empty() && !control.Stopping()) {
            BatchOptions sharedOptions = options;
            sharedOptions.isolate = false;
            Checker single(sharedOptions, control, false);
            bool isolated = false;
            {
                std::lock_guard lock(mutex);
                next = 0;
            }
            if (const auto started = single.Start(isolated); started) {
                Work(single, sharedOrder);
            } else {
                Tell([&started](BatchObserver& o) { o.Note(started.error()); });
                // They were to run, and could not: not a stopped run's "not run".
                ModuleResult result;
                result.verdict = Verdict::kError;
                result.message = "no connection for the shared error table (the reason is on stderr)";
                for (std::size_t index : sharedOrder)
                    Finish(index, result);
            }
        }
        for (std::size_t index : selection) {
            bool done = false;
            {
                std::lock_guard lock(mutex);
                done = finished[index] != 0;
            }
            if (!done)
                Finish(index, NotRunResult());
        }
        Tell([](BatchObserver& o) { o.Ended(); });
        std::lock_guard lock(mutex);
        ended = true;
        endChanged.notify_all();
    }
};

BatchRun::BatchRun(std::shared_ptr<const BatchPlan> plan, BatchOptions options, BatchObserver& observer)
    : m_state(std::make_shared<State>()) {
    m_state->plan = std::move(plan);
    m_state->options = std::move(options);
    m_state->observer = &observer;
}

BatchRun::~BatchRun() {
    if (!m_state)
        return;
    Stop();
    Wait();
    if (m_state->runner.joinable())
        m_state->runner.join();
}

Result<void, std::string> BatchRun::Start(std::vector<std::size_t> selection) {
    State& state = *m_state;
    const std::size_t total = state.plan->modules.size();
    if (selection.empty())
        for (std::size_t i = 0; i < total; ++i)
            selection.push_back(i);
    state.selection = std::move(selection);
    state.finished.assign(total, 0);
    state.alone.assign(total, 0);

    // Every worker connects before any module runs; only a data source that grants not even
    // one connection stops the run at once.
    const auto connect = [&state]() -> Result<bool, std::string> {
        state.checkers.push_back(std::make_unique<Checker>(state.options, state.control, state.options.isolate));
        bool isolated = false;
        if (auto started = state.checkers.back()->Start(isolated); !started) {
            state.checkers.pop_back();
            return Fail(std::move(started).error());
        }
        return isolated;
    };
    if (state.options.isolate) {
        const auto first = connect();
        if (!first)
            return Fail(first.error());
        if (!*first) {
            state.Tell([](BatchObserver& o) {
                o.Note("this database cannot be given a private error table: every module runs on the shared "
                       "KSTError, one at a time");
            });
            state.options.isolate = false;
        }
    }
    if (state.options.isolate) {
        const std::optional<std::set<std::string>> reach = NamesThatReachErrorTable(state.checkers[0]->Session());
        if (!reach)
            state.Tell([](BatchObserver& o) {
                o.Note("the database's own triggers and routines cannot be read: every module runs on the shared "
                       "KSTError, one at a time");
            });
        for (std::size_t i : state.selection) {
            const BatchModule& module = state.plan->modules[i];
            bool alone = module.shared;
            if (!alone && module.load) {
                if (!reach) {
                    alone = true;
                } else if (!reach->empty()) {
                    ModuleRecord record;
                    ParseModuleBytes(record, module.stored);
                    alone = record.header.type != kDllModule && NamesAny(record.body, *reach);
                }
            }
            state.alone[i] = alone ? 1 : 0;
            (alone ? state.sharedOrder : state.isolatedOrder).push_back(i);
        }
        const int workers = static_cast<int>(std::min<std::size_t>(
            static_cast<std::size_t>(state.options.jobs), std::max<std::size_t>(state.isolatedOrder.size(), 1)));
        // --jobs is a ceiling: a server with fewer free connection slots runs the modules on the
        // connections it grants, and says how many.
        for (int w = 1; w < workers; ++w) {
            if (const auto next = connect(); !next) {
                const std::string granted = std::to_string(state.checkers.size()) + " of " + std::to_string(workers) +
                                            " connections granted, the run goes on with those: " + next.error();
                state.Tell([&granted](BatchObserver& o) { o.Note(granted); });
                break;
            }
        }
    } else {
        state.isolatedOrder = state.selection;
        for (std::size_t i : state.selection)
            state.alone[i] = state.plan->modules[i].shared ? 1 : 0;
        if (state.checkers.empty())
            if (const auto only = connect(); !only)
                return Fail(only.error());
    }

    state.ended = false;
    state.runner = std::thread([keep = m_state] { keep->Run(); });
    return Ok();
}

void BatchRun::Stop() {
    m_state->control.Stop();
}

bool BatchRun::Stopping() const {
    return m_state->control.Stopping();
}

void BatchRun::Wait() {
    std::unique_lock lock(m_state->mutex);
    m_state->endChanged.wait(lock, [this] { return m_state->ended; });
}

bool BatchRun::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_state->mutex);
    return m_state->endChanged.wait_for(lock, timeout, [this] { return m_state->ended; });
}

void BatchRun::Abandon() {
    Stop();
    {
        std::lock_guard lock(m_state->observerMutex);
        m_state->observer = nullptr;
    }
    if (m_state->runner.joinable())
        m_state->runner.detach();
    m_state.reset();
}

} // namespace kestrel
