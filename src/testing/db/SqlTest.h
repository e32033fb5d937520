#pragma once
// The SQL test: error table KSTError emptied, module SQL run, the test user's row read back.
#include "testing/CancelToken.h"
#include "testing/TestOutcome.h"
#include "testing/Variables.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

// Steps done on the caller's thread before any database work: the placeholder check, the
// substitution and the user number (test value of the "UserID" variable, 0 without one).
struct PreparedSql {
    std::string sql; // substituted SQL, GBK
    int32_t userNumber = 0;
};
// None for a bad placeholder: the test fails with -1 and no message.
std::optional<PreparedSql> PrepareSqlTest(const std::string& sqlText, const TestVariableTable& table);

// The module's ErrorCode as the test reads it: a whole number (blanks around it, a sign, and
// zeros after a decimal point, as a DECIMAL column gives it, are allowed) from -2^31 to 2^32-1,
// the latter taken as its 32-bit pattern. Anything else (NULL, empty, a word, a fraction, a
// number out of range) is no code: false.
bool ReadErrorCode(std::string_view text, int32_t& code);

// One database connection, as a property sheet owns it: opened at its first SQL test, kept
// for the later ones. Execute may run on a worker thread; its token may be cancelled from any
// other thread, before or while it runs.
//
// The statements run on a thread of their own while the caller waits with the time-out: a
// driver that cannot keep a time-out of the server's, or a server that stopped answering, never
// holds the caller longer than the time-out and a few seconds. When the time is up (or the
// token is cancelled) the statement is cancelled; a driver that does not come back after that
// is left behind with its connection, and the session is closed, so the next test connects anew.
class SqlTestSession {
public:
    // The query time-out of the property sheet's test.
    static constexpr std::chrono::seconds kDefaultTimeout{600};
    // How long a driver is given to come back after its statement was cancelled.
    static constexpr std::chrono::seconds kCancelGrace{5};

    SqlTestSession();
    ~SqlTestSession();
    SqlTestSession(const SqlTestSession&) = delete;
    SqlTestSession& operator=(const SqlTestSession&) = delete;

    bool IsOpen() const;
    // Opens the connection (UTF-8 connection string). On failure the outcome carries the
    // driver's text under "Database Error".
    TestOutcome Open(const std::string& connectionString);
    void Close();
    // The time-out of each later statement, server side where the driver keeps it and always on
    // the client.
    void SetTimeout(std::chrono::seconds timeout);
    std::chrono::seconds Timeout() const { return m_timeout; }
    // How many rows of the test user a test reads back: the first decides, as always; more
    // (up to rows, a batch check's kErrorRowsKept) are kept in the outcome's rows for the user.
    // 1, the property sheet's, keeps none.
    void SetRowsToRead(std::size_t rows) { m_rowsToRead = std::max<std::size_t>(rows, 1); }
    // The database product of the open connection ("SQLite", "PostgreSQL", "MariaDB", ...).
    std::string DatabaseProduct() const;
    // Statements: "DELETE FROM KSTError", the SQL, "SELECT * FROM KSTError WHERE UserID=n",
    // each under the time-out. A lost connection (SQLSTATE 08xxx) is closed. A cancelled token
    // stops the statement that runs (or the next one before it starts). Texts that come from
    // the database (driver messages, ErrorCode and ErrorMsg) are Unicode (message.unicode).
    // An ErrorCode that is not a whole number in the 32-bit range fails the test with -1.
    TestOutcome Execute(const PreparedSql& prepared, CancelToken& cancel);
    TestOutcome Execute(const PreparedSql& prepared);
    // One statement of the caller's own (UTF-8), its results read past: 0, or the database
    // error as Execute gives it.
    TestOutcome ExecuteOwn(const std::string& sqlUtf8);
    // A query of the caller's own (UTF-8): the first columns of every row as text (UTF-8).
    TestOutcome QueryOwn(const std::string& sqlUtf8, std::size_t columns, std::vector<std::vector<std::string>>& rows);

private:
    struct Impl;
    struct Job;
    template <class Work> TestOutcome Watched(Work work, CancelToken& cancel);
    std::unique_ptr<Impl> m_impl;
    std::chrono::seconds m_timeout = kDefaultTimeout;
    std::size_t m_rowsToRead = 1;
};

} // namespace kestrel
