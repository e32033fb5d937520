#include "testing/db/SqlTest.h"

#include "core/Gbk.h"
#include "testing/db/Odbc.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace kestrel {

namespace {

// A server that accepts and never answers must not hold a connection attempt for ever.
constexpr SQLUINTEGER kLoginTimeoutSeconds = 30;

const std::string& DatabaseErrorCaption() {
    static const std::string caption = "Database Error";
    return caption;
}

// unicode: a text from the database (UTF-8) rather than one of the tool's own (GBK).
TestOutcome Message(int32_t code, std::string text, std::string caption, bool unicode) {
    TestOutcome outcome;
    outcome.code = code;
    outcome.message = TestMessage{.text = std::move(text), .caption = std::move(caption), .unicode = unicode};
    return outcome;
}

// MySQL-family drivers refuse every later statement with client error 2014 once results were left
// unread, and only a new connection gets out of it; their driver does not call that dead.
bool LeftOutOfSync(const odbc::Diagnostics& failure) {
    return std::any_of(failure.records.begin(), failure.records.end(), [](const odbc::DiagnosticRecord& record) {
        return record.native == 2014 && record.text.find("out of sync") != std::string::npos;
    });
}

// What a step reports; none for one that went through (a run stopped between steps, whose
// outcome the caller replaces).
const odbc::Diagnostics& DiagnosticsOf(const odbc::Status& status) {
    static const odbc::Diagnostics none;
    return status ? none : status.error();
}

TestOutcome DatabaseError(const odbc::Diagnostics& failure) {
    return Message(-1, failure.Text(), DatabaseErrorCaption(), true);
}

TestOutcome TimedOut(std::chrono::seconds timeout) {
    return Message(-1, "Timeout expired: the statement did not finish within " + std::to_string(timeout.count()) + " s",
                   DatabaseErrorCaption(), true);
}

TestOutcome Succeeded() {
    TestOutcome outcome;
    outcome.code = 0;
    return outcome;
}

} // namespace

bool ReadErrorCode(std::string_view text, int32_t& code) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    if (const std::size_t point = text.find('.'); point != std::string_view::npos) {
        const std::string_view fraction = text.substr(point + 1);
        if (fraction.find_first_not_of('0') != std::string_view::npos)
            return false;
        text = text.substr(0, point);
    }
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    int64_t value = 0;
    for (char c : text)
        value = value * 10 + (c - '0');
    value = negative ? -value : value;
    if (value < INT32_MIN || value > static_cast<int64_t>(UINT32_MAX))
        return false;
    code = static_cast<int32_t>(static_cast<uint32_t>(value));
    return true;
}

std::optional<PreparedSql> PrepareSqlTest(const std::string& sqlText, const TestVariableTable& table) {
    if (!CheckPlaceholders(sqlText, table))
        return std::nullopt;
    PreparedSql prepared;
    prepared.sql = SubstitutePlaceholders(sqlText, table);
    prepared.userNumber =
        static_cast<int32_t>(static_cast<uint32_t>(ReadWholeNumber(FormatVariableValue("UserID", table))));
    return prepared;
}

// What the caller and the thread that runs the statements share. The caller may leave the
// thread behind (a driver that does not come back), so neither holds anything of the other's.
struct SqlTestSession::Job {
    std::mutex mutex;
    std::condition_variable changed;
    odbc::Statement* running = nullptr; // the statement in the driver now
    int cancelling = 0;                 // SQLCancel calls under way on running
    bool stop = false;                  // cancelled or timed out: start nothing more
    bool done = false;
    TestOutcome outcome;

    // Asks the driver to stop the statement that runs now, without holding the lock while the
    // driver works: a cancel that itself hangs must not block the caller's wait.
    void CancelRunning() {
        odbc::Statement* statement = nullptr;
        {
            std::lock_guard lock(mutex);
            if (!running)
                return;
            statement = running;
            ++cancelling;
        }
        statement->Cancel();
        std::lock_guard lock(mutex);
        --cancelling;
        changed.notify_all();
    }
};

// A connection and the one thread that makes every driver call on it but SQLCancel: some
// drivers tie a connection's internal lock to the thread that took it, and a statement that
// another thread runs next then waits for ever.
struct SqlTestSession::Impl {
    odbc::Connection connection;

    Impl() : m_thread([this] { Loop(); }) {}
    ~Impl() {
        {
            std::lock_guard lock(m_mutex);
            m_quit = true;
            m_changed.notify_all();
        }
        if (m_thread.joinable())
            m_thread.join();
    }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // Runs task on the connection's thread, at once or after the task before it.
    void Post(std::function<void()> task) {
        std::lock_guard lock(m_mutex);
        m_tasks.push_back(std::move(task));
        m_changed.notify_all();
    }
    // Runs task on the connection's thread and waits for it.
    template <class Task> auto Call(Task task) {
        std::promise<decltype(task())> result;
        auto future = result.get_future();
        Post([&task, &result] { result.set_value(task()); });
        return future.get();
    }
    // Leaves the impl to its thread, which is stuck in the driver: it frees everything
    // itself if the driver ever comes back.
    static void Abandon(std::unique_ptr<Impl> impl) {
        Impl* left = impl.release();
        std::lock_guard lock(left->m_mutex);
        left->m_abandoned = true;
        left->m_thread.detach();
        left->m_changed.notify_all();
    }

    // Runs one statement with the server-side time-out (where the driver keeps one). A stop
    // asked before the start gives a failure without running. settled, given for the module's
    // own SQL: its further results are read past, and it tells whether the driver got to their
    // end.
    odbc::Status Run(odbc::Statement& statement, const std::string& sqlUtf8, Job& job, SQLULEN timeoutSeconds,
                     bool* settled = nullptr) {
        if (!statement.Valid())
            return statement.AllocationStatus();
        statement.SetQueryTimeout(timeoutSeconds);
        {
            std::lock_guard lock(job.mutex);
            if (job.stop)
                return Fail(odbc::Diagnostics::Single("HY008", "Operation canceled"));
            job.running = &statement;
        }
        odbc::Status result = statement.Execute(sqlUtf8);
        // A module may send several statements, or call a procedure that returns rows:
        // results left unread leave the connection refusing every later statement.
        if (result && settled)
            result = statement.DrainResults(*settled);
        std::unique_lock lock(job.mutex);
        job.running = nullptr;
        job.changed.wait(lock, [&job] { return job.cancelling == 0; });
        return result;
    }

    // The three statements of the test; job.stop between them ends it early.
    TestOutcome RunTest(const PreparedSql& prepared, Job& job, SQLULEN timeoutSeconds, std::size_t rowsToRead);

private:
    void Loop() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [this] { return !m_tasks.empty() || m_quit || m_abandoned; });
            if (m_abandoned) {
                lock.unlock();
                delete this;
                return;
            }
            if (m_tasks.empty())
                return; // quit
            std::function<void()> task = std::move(m_tasks.front());
            m_tasks.pop_front();
            lock.unlock();
            task();
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_tasks;
    bool m_quit = false;
    bool m_abandoned = false;
    std::thread m_thread; // last: starts when everything above is ready
};

TestOutcome SqlTestSession::Impl::RunTest(const PreparedSql& prepared, Job& job, SQLULEN timeoutSeconds,
                                          std::size_t rowsToRead) {
    auto stopped = [&job] {
        std::lock_guard lock(job.mutex);
        return job.stop;
    };
    // A step that failed: the message for a database error, the connection closed when it is
    // lost (so the next test connects again). A stopped run is settled by the caller.
    auto fail = [&](const odbc::Status& result) {
        const odbc::Diagnostics& failure = DiagnosticsOf(result);
        TestOutcome outcome = DatabaseError(failure);
        if (!stopped() && (failure.ConnectionLost() || connection.Dead() || LeftOutOfSync(failure)))
            connection.Disconnect();
        return outcome;
    };

    // The standard form: "DELETE KSTError" (no FROM) is refused by SQLite and PostgreSQL.
    {
        odbc::Statement statement(connection);
        const odbc::Status result = Run(statement, "DELETE FROM KSTError", job, timeoutSeconds);
        if (!result || stopped())
            return fail(result);
    }
    {
        odbc::Statement statement(connection);
        bool settled = true;
        const odbc::Status result = Run(statement, GbkToUtf8(prepared.sql), job, timeoutSeconds, &settled);
        if (!settled && connection.IsOpen()) {
            // Results the driver could not read past: the next module gets a new connection.
            TestOutcome outcome = fail(result);
            connection.Disconnect();
            return outcome;
        }
        if (!result || stopped())
            return fail(result);
    }

    char query[64];
    std::snprintf(query, sizeof query, "SELECT * FROM KSTError WHERE UserID=%d", static_cast<int>(prepared.userNumber));
    odbc::Statement statement(connection);
    odbc::Status result = Run(statement, query, job, timeoutSeconds);
    if (!result || stopped())
        return fail(result);
    bool hasRow = false;
    result = statement.Fetch(hasRow);
    if (!result)
        return fail(result);
    if (!hasRow) {
        static const std::string notCompleted = Utf8ToGbkLossy("模块未能完成执行！");
        TestOutcome outcome = Message(-1, notCompleted, std::string(), false);
        outcome.reportedByModule = true;
        return outcome;
    }
    // ErrorCode first, then ErrorMsg: some drivers read a row's columns only left to right,
    // and that is the order of the table.
    const SQLUSMALLINT codeColumn = statement.FindColumn("ErrorCode");
    const SQLUSMALLINT messageColumn = statement.FindColumn("ErrorMsg");
    for (const auto& [index, name] : {std::pair{codeColumn, "ErrorCode"}, std::pair{messageColumn, "ErrorMsg"}})
        if (index == 0)
            return fail(Fail(odbc::Diagnostics::Single("42S22", std::string("Column not found: ") + name)));
    std::vector<ErrorRow> rows;
    bool rowsCut = false;
    while (hasRow) {
        if (rows.size() == rowsToRead) {
            rowsCut = rowsToRead > 1;
            break;
        }
        ErrorRow row;
        for (const auto& [index, target] :
             {std::pair{codeColumn, &row.codeText}, std::pair{messageColumn, &row.message}})
            if (result = statement.GetText(index, *target); !result)
                return fail(result);
        // A code that is no number is never success: a module that wrote NULL or 'FAILED' failed.
        if (!ReadErrorCode(row.codeText, row.code))
            row.code = -1;
        rows.push_back(std::move(row));
        if (rowsToRead == 1)
            break;
        if (result = statement.Fetch(hasRow); !result)
            return fail(result);
    }
    const ErrorRow& first = rows.front();
    TestOutcome outcome;
    if (first.code == 0) {
        outcome.code = 0;
    } else {
        outcome = Message(first.code, "Error code:" + first.codeText + "\n" + first.message, std::string(), true);
        outcome.moduleMessage = first.message;
    }
    outcome.reportedByModule = true;
    if (rowsToRead > 1) {
        outcome.rows = std::move(rows);
        outcome.rowsCut = rowsCut;
    }
    return outcome;
}

SqlTestSession::SqlTestSession() : m_impl(std::make_unique<Impl>()) {}

SqlTestSession::~SqlTestSession() {
    Close();
}

bool SqlTestSession::IsOpen() const {
    return m_impl->connection.IsOpen();
}

TestOutcome SqlTestSession::Open(const std::string& connectionString) {
    Impl& impl = *m_impl;
    const odbc::Status result = impl.Call([&impl, &connectionString] {
        impl.connection.SetLoginTimeout(kLoginTimeoutSeconds);
        return impl.connection.Connect(connectionString);
    });
    if (!result)
        return DatabaseError(result.error());
    return Succeeded();
}

void SqlTestSession::Close() {
    Impl& impl = *m_impl;
    impl.Call([&impl] {
        impl.connection.Disconnect();
        return true;
    });
}

void SqlTestSession::SetTimeout(std::chrono::seconds timeout) {
    m_timeout = std::max(timeout, std::chrono::seconds(1));
}

std::string SqlTestSession::DatabaseProduct() const {
    return m_impl->connection.DbmsName();
}

// Runs work(impl, job) on a thread of its own and waits for it under the time-out and the
// token. A stopped run whose driver does not come back within kCancelGrace is left behind
// with its connection: the session gets a new, closed one.
template <class Work> TestOutcome SqlTestSession::Watched(Work work, CancelToken& cancel) {
    auto job = std::make_shared<Job>();
    Impl* impl = m_impl.get();
    bool timedOut = false;
    bool cancelled = false;
    {
        auto stop = [job] {
            {
                std::lock_guard lock(job->mutex);
                job->stop = true;
                job->changed.notify_all();
            }
        };
        ArmedStep step(cancel, stop);
        if (!step.Started())
            stop();
        // Posted only now: a cancel that came before is seen before the first statement.
        impl->Post([impl, job, work = std::move(work)] {
            TestOutcome outcome = work(*impl, *job);
            std::lock_guard lock(job->mutex);
            job->outcome = std::move(outcome);
            job->done = true;
            job->changed.notify_all();
        });
        const auto deadline = std::chrono::steady_clock::now() + m_timeout;
        std::unique_lock lock(job->mutex);
        if (!job->changed.wait_until(lock, deadline, [&job] { return job->done || job->stop; })) {
            timedOut = true;
            job->stop = true;
        }
        cancelled = !timedOut && job->stop;
    }

    // Stopped: the driver is asked again and again (a cancel that reaches it just before it
    // enters the statement is dropped) until it comes back or the grace is over.
    bool back = false;
    const auto graceEnd = std::chrono::steady_clock::now() + kCancelGrace;
    for (;;) {
        {
            std::unique_lock lock(job->mutex);
            if (job->done) {
                back = true;
                break;
            }
        }
        if (std::chrono::steady_clock::now() >= graceEnd)
            break;
        job->CancelRunning();
        std::unique_lock lock(job->mutex);
        job->changed.wait_for(lock, std::chrono::milliseconds(50), [&job] { return job->done; });
    }
    if (!back) {
        Impl::Abandon(std::move(m_impl));
        m_impl = std::make_unique<Impl>();
    }

    TestOutcome outcome;
    {
        std::lock_guard lock(job->mutex);
        outcome = job->outcome;
    }
    if (!timedOut && !cancelled)
        return outcome;
    // The driver ran on regardless of the cancel, or said nothing clear: its state is unknown.
    if (back && (outcome.code == 0 || outcome.reportedByModule))
        Close();
    if (timedOut)
        return TimedOut(m_timeout);
    TestOutcome stopped;
    stopped.cancelled = true;
    return stopped;
}

TestOutcome SqlTestSession::ExecuteOwn(const std::string& sqlUtf8) {
    CancelToken never;
    if (!IsOpen())
        return TestOutcome{};
    const auto seconds = static_cast<SQLULEN>(m_timeout.count());
    return Watched(
        [sqlUtf8, seconds](Impl& impl, Job& job) {
            odbc::Statement statement(impl.connection);
            bool settled = true;
            const odbc::Status result = impl.Run(statement, sqlUtf8, job, seconds, &settled);
            if (result && settled)
                return Succeeded();
            const odbc::Diagnostics& failure = DiagnosticsOf(result);
            TestOutcome outcome = DatabaseError(failure);
            if (!settled || failure.ConnectionLost() || impl.connection.Dead() || LeftOutOfSync(failure))
                impl.connection.Disconnect();
            return outcome;
        },
        never);
}

TestOutcome SqlTestSession::QueryOwn(const std::string& sqlUtf8, std::size_t columns,
                                     std::vector<std::vector<std::string>>& rows) {
    CancelToken never;
    rows.clear();
    if (!IsOpen())
        return TestOutcome{};
    const auto seconds = static_cast<SQLULEN>(m_timeout.count());
    // Shared with the job: a driver that never comes back may still write into it.
    auto read = std::make_shared<std::vector<std::vector<std::string>>>();
    TestOutcome outcome = Watched(
        [sqlUtf8, seconds, columns, read](Impl& impl, Job& job) {
            odbc::Statement statement(impl.connection);
            odbc::Status result = impl.Run(statement, sqlUtf8, job, seconds);
            bool hasRow = false;
            while (result && (result = statement.Fetch(hasRow)) && hasRow) {
                std::vector<std::string> row(columns);
                for (std::size_t c = 0; c < columns && result; ++c)
                    result = statement.GetText(static_cast<SQLUSMALLINT>(c + 1), row[c]);
                read->push_back(std::move(row));
            }
            if (result)
                return Succeeded();
            const odbc::Diagnostics& failure = DiagnosticsOf(result);
            TestOutcome failed = DatabaseError(failure);
            if (failure.ConnectionLost() || impl.connection.Dead() || LeftOutOfSync(failure))
                impl.connection.Disconnect();
            return failed;
        },
        never);
    if (outcome.code == 0)
        rows = std::move(*read);
    return outcome;
}

TestOutcome SqlTestSession::Execute(const PreparedSql& prepared) {
    CancelToken never;
    return Execute(prepared, never);
}

TestOutcome SqlTestSession::Execute(const PreparedSql& prepared, CancelToken& cancel) {
    if (!IsOpen())
        return TestOutcome{};
    const auto seconds = static_cast<SQLULEN>(m_timeout.count());
    const std::size_t rows = m_rowsToRead;
    return Watched(
        [prepared, seconds, rows](Impl& impl, Job& job) { return impl.RunTest(prepared, job, seconds, rows); }, cancel);
}

} // namespace kestrel
