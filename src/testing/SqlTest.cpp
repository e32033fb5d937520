#include "testing/SqlTest.h"

#include "core/Gbk.h"
#include "testing/Odbc.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace kestrel {

namespace {

constexpr SQLULEN kQueryTimeoutSeconds = 600;

std::string GbkOf(std::string_view utf8) {
    return Utf8ToGbk(utf8).value_or(std::string(utf8));
}

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

TestOutcome DatabaseError(const odbc::Result& result) {
    return Message(-1, odbc::Utf8ToGbkLossy(result.Text()), DatabaseErrorCaption());
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
    // The statement that runs now, for Cancel from another thread.
    std::mutex mutex;
    odbc::Statement* running = nullptr;
    std::atomic<bool> cancelRequested{false};

    // Runs one statement with the time-out. Sets stopped when a cancel request came while it
    // ran. Returns the statement (for a query, still holding its result) or a failure.
    odbc::Result Run(odbc::Statement& statement, const std::string& sqlUtf8) {
        if (!statement.Valid())
            return statement.AllocationResult();
        statement.SetQueryTimeout(kQueryTimeoutSeconds);
        {
            std::lock_guard lock(mutex);
            if (cancelRequested) {
                odbc::Result stopped;
                stopped.ok = false;
                stopped.records.push_back({"HY008", 0, "Operation canceled"});
                return stopped;
            }
            running = &statement;
        }
        odbc::Result result = statement.Execute(sqlUtf8);
        std::lock_guard lock(mutex);
        running = nullptr;
        return result;
    }
};

SqlTestSession::SqlTestSession() : m_impl(std::make_unique<Impl>()) {}

SqlTestSession::~SqlTestSession() = default;

bool SqlTestSession::IsOpen() const {
    return m_impl->connection.IsOpen();
}

TestOutcome SqlTestSession::Open(const std::string& connectionString) {
    const odbc::Result result = m_impl->connection.Connect(connectionString);
    if (!result)
        return DatabaseError(result);
    TestOutcome outcome;
    outcome.code = 0;
    return outcome;
}

void SqlTestSession::Close() {
    m_impl->connection.Disconnect();
}

TestOutcome SqlTestSession::Execute(const PreparedSql& prepared) {
    Impl& impl = *m_impl;
    impl.cancelRequested = false;
    if (!prepared.ok || !impl.connection.IsOpen())
        return TestOutcome{};

    // A step that failed or was cancelled: the message for a database error, the connection
    // closed when it is lost (so the next test asks for a data source again) or when a cancel
    // did not stop the driver.
    auto fail = [&](const odbc::Result& result) {
        if (impl.cancelRequested) {
            if (result)
                Close(); // the driver ran on regardless: its state is unknown
            TestOutcome cancelled;
            cancelled.cancelled = true;
            return cancelled;
        }
        TestOutcome outcome = DatabaseError(result);
        if (result.ConnectionLost() || impl.connection.Dead())
            Close();
        return outcome;
    };

    // The standard form: "DELETE KSTError" (no FROM) is refused by SQLite and PostgreSQL.
    {
        odbc::Statement statement(impl.connection);
        const odbc::Result result = impl.Run(statement, "DELETE FROM KSTError");
        if (!result || impl.cancelRequested)
            return fail(result);
    }
    {
        odbc::Statement statement(impl.connection);
        const odbc::Result result = impl.Run(statement, GbkToUtf8(prepared.sql));
        if (!result || impl.cancelRequested)
            return fail(result);
    }

    char query[64];
    std::snprintf(query, sizeof query, "SELECT * FROM KSTError WHERE UserID=%d", static_cast<int>(prepared.userNumber));
    odbc::Statement statement(impl.connection);
    odbc::Result result = impl.Run(statement, query);
    if (!result || impl.cancelRequested)
        return fail(result);
    bool hasRow = false;
    result = statement.Fetch(hasRow);
    if (!result)
        return fail(result);
    if (!hasRow) {
        static const std::string notCompleted = GbkOf("模块未能完成执行！");
        return Message(-1, notCompleted, std::string());
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
    const std::string codeGbk = odbc::Utf8ToGbkLossy(codeText);
    const int32_t code = static_cast<int32_t>(static_cast<uint32_t>(ReadWholeNumber(codeGbk)));
    if (code == 0) {
        TestOutcome outcome;
        outcome.code = 0;
        return outcome;
    }
    const std::string messageGbk = odbc::Utf8ToGbkLossy(messageText);
    TestOutcome outcome = Message(code, "Error code:" + codeGbk + "\n" + messageGbk, std::string());
    outcome.moduleMessage = messageGbk;
    return outcome;
}

void SqlTestSession::Cancel() {
    Impl& impl = *m_impl;
    std::lock_guard lock(impl.mutex);
    impl.cancelRequested = true;
    if (impl.running)
        impl.running->Cancel();
}

} // namespace kestrel
