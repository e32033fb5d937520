#include "testing/SqlTest.h"

#include "core/Gbk.h"
#include "testing/Odbc.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace kestrel {

namespace {

constexpr SQLULEN kQueryTimeoutSeconds = 600;
// A server that accepts and never answers must not hold a connection attempt for ever.
constexpr SQLUINTEGER kLoginTimeoutSeconds = 30;

const std::string& DatabaseErrorCaption() {
    static const std::string caption = "Database Error";
    return caption;
}

TestOutcome Message(int32_t code, std::string text, std::string caption) {
    TestOutcome outcome;
    outcome.code = code;
    outcome.message.present = true;
    outcome.message.text = std::move(text);
    outcome.message.caption = std::move(caption);
    return outcome;
}

// MySQL-family drivers refuse every later statement with client error 2014 once results were left
// unread, and only a new connection gets out of it; their driver does not call that dead.
bool LeftOutOfSync(const odbc::Result& result) {
    return std::any_of(result.records.begin(), result.records.end(), [](const odbc::DiagnosticRecord& record) {
        return record.native == 2014 && record.text.find("out of sync") != std::string::npos;
    });
}

TestOutcome DatabaseError(const odbc::Result& result) {
    return Message(-1, Utf8ToGbkLossy(result.Text()), DatabaseErrorCaption());
}

} // namespace

PreparedSql PrepareSqlTest(const std::string& sqlText, const TestVariableTable& table) {
    PreparedSql prepared;
    if (!CheckPlaceholders(sqlText, table))
        return prepared;
    prepared.ok = true;
    prepared.sql = SubstitutePlaceholders(sqlText, table);
    prepared.userNumber =
        static_cast<int32_t>(static_cast<uint32_t>(ReadWholeNumber(FormatVariableValue("UserID", table))));
    return prepared;
}

struct SqlTestSession::Impl {
    odbc::Connection connection;
    // The statement that runs now, for the stopper.
    std::mutex mutex;
    std::condition_variable ended;
    odbc::Statement* running = nullptr;
    std::thread stopper;

    // A cancel that reaches the driver just before it enters the statement would be dropped
    // (SQLCancel stops only what runs), so the stopper repeats it until the statement ends.
    void StopRunning() {
        if (stopper.joinable())
            return;
        stopper = std::thread([this] {
            std::unique_lock lock(mutex);
            while (running) {
                running->Cancel();
                ended.wait_for(lock, std::chrono::milliseconds(50));
            }
        });
    }

    // Runs one statement with the time-out. Returns the statement (for a query, still holding
    // its result) or a failure; a cancel before the start gives a failure without running.
    // settled, given for the module's own SQL: its further results are read past, and it tells
    // whether the driver got to their end.
    odbc::Result Run(odbc::Statement& statement, const std::string& sqlUtf8, CancelToken& cancel,
                     bool* settled = nullptr) {
        if (!statement.Valid())
            return statement.AllocationResult();
        statement.SetQueryTimeout(kQueryTimeoutSeconds);
        {
            std::lock_guard lock(mutex);
            running = &statement;
        }
        odbc::Result result;
        {
            ArmedStep step(cancel, [this] { StopRunning(); });
            if (step.Started()) {
                result = statement.Execute(sqlUtf8);
                // A module may send several statements, or call a procedure that returns rows:
                // results left unread leave the connection refusing every later statement.
                if (result && settled)
                    result = statement.DrainResults(*settled);
            } else {
                result.ok = false;
                result.records.push_back({"HY008", 0, "Operation canceled"});
            }
        }
        {
            std::lock_guard lock(mutex);
            running = nullptr;
            ended.notify_all();
        }
        if (stopper.joinable())
            stopper.join();
        return result;
    }
};

SqlTestSession::SqlTestSession() : m_impl(std::make_unique<Impl>()) {}

SqlTestSession::~SqlTestSession() = default;

bool SqlTestSession::IsOpen() const {
    return m_impl->connection.IsOpen();
}

TestOutcome SqlTestSession::Open(const std::string& connectionString) {
    m_impl->connection.SetLoginTimeout(kLoginTimeoutSeconds);
    const odbc::Result result = m_impl->connection.Connect(connectionString);
    if (!result)
        return DatabaseError(result);
    TestOutcome outcome;
    outcome.code = 0;
    return outcome;
}

TestOutcome SqlTestSession::ExecuteOwn(const std::string& sqlUtf8) {
    CancelToken never;
    odbc::Statement statement(m_impl->connection);
    const odbc::Result result = m_impl->Run(statement, sqlUtf8, never);
    if (!result) {
        TestOutcome outcome = DatabaseError(result);
        if (result.ConnectionLost() || m_impl->connection.Dead())
            Close();
        return outcome;
    }
    TestOutcome outcome;
    outcome.code = 0;
    return outcome;
}

void SqlTestSession::Close() {
    m_impl->connection.Disconnect();
}

TestOutcome SqlTestSession::Execute(const PreparedSql& prepared) {
    CancelToken never;
    return Execute(prepared, never);
}

TestOutcome SqlTestSession::Execute(const PreparedSql& prepared, CancelToken& cancel) {
    Impl& impl = *m_impl;
    if (!prepared.ok || !impl.connection.IsOpen())
        return TestOutcome{};

    // A step that failed or was cancelled: the message for a database error, the connection
    // closed when it is lost (so the next test asks for a data source again) or when a cancel
    // did not stop the driver.
    auto fail = [&](const odbc::Result& result) {
        if (cancel.IsCancelled()) {
            if (result)
                Close(); // the driver ran on regardless: its state is unknown
            TestOutcome cancelled;
            cancelled.cancelled = true;
            return cancelled;
        }
        TestOutcome outcome = DatabaseError(result);
        if (result.ConnectionLost() || impl.connection.Dead() || LeftOutOfSync(result))
            Close();
        return outcome;
    };

    // The standard form: "DELETE KSTError" (no FROM) is refused by SQLite and PostgreSQL.
    {
        odbc::Statement statement(impl.connection);
        const odbc::Result result = impl.Run(statement, "DELETE FROM KSTError", cancel);
        if (!result || cancel.IsCancelled())
            return fail(result);
    }
    {
        odbc::Statement statement(impl.connection);
        bool settled = true;
        const odbc::Result result = impl.Run(statement, GbkToUtf8(prepared.sql), cancel, &settled);
        if (!settled && impl.connection.IsOpen()) {
            // Results the driver could not read past: the next module gets a new connection.
            TestOutcome outcome = fail(result);
            Close();
            return outcome;
        }
        if (!result || cancel.IsCancelled())
            return fail(result);
    }

    char query[64];
    std::snprintf(query, sizeof query, "SELECT * FROM KSTError WHERE UserID=%d", static_cast<int>(prepared.userNumber));
    odbc::Statement statement(impl.connection);
    odbc::Result result = impl.Run(statement, query, cancel);
    if (!result || cancel.IsCancelled())
        return fail(result);
    bool hasRow = false;
    result = statement.Fetch(hasRow);
    if (!result)
        return fail(result);
    if (!hasRow) {
        static const std::string notCompleted = Utf8ToGbkLossy("模块未能完成执行！");
        TestOutcome outcome = Message(-1, notCompleted, std::string());
        outcome.reportedByModule = true;
        return outcome;
    }
    // ErrorCode first, then ErrorMsg: some drivers read a row's columns only left to right,
    // and that is the order of the table.
    std::string codeText;
    std::string messageText;
    const std::pair<const char*, std::string*> columns[] = {{"ErrorCode", &codeText}, {"ErrorMsg", &messageText}};
    for (const auto& [name, target] : columns) {
        const SQLUSMALLINT index = statement.FindColumn(name);
        if (index == 0) {
            odbc::Result missing;
            missing.ok = false;
            missing.records.push_back({"42S22", 0, std::string("Column not found: ") + name});
            return fail(missing);
        }
        result = statement.GetText(index, *target);
        if (!result)
            return fail(result);
    }
    const std::string codeGbk = Utf8ToGbkLossy(codeText);
    const int32_t code = static_cast<int32_t>(static_cast<uint32_t>(ReadWholeNumber(codeGbk)));
    if (code == 0) {
        TestOutcome outcome;
        outcome.code = 0;
        outcome.reportedByModule = true;
        return outcome;
    }
    const std::string messageGbk = Utf8ToGbkLossy(messageText);
    TestOutcome outcome = Message(code, "Error code:" + codeGbk + "\n" + messageGbk, std::string());
    outcome.moduleMessage = messageGbk;
    outcome.reportedByModule = true;
    return outcome;
}

} // namespace kestrel
