#pragma once
// The SQL test: error table KSTError emptied, module SQL run, the test user's row read back.
#include "testing/CancelToken.h"
#include "testing/TestOutcome.h"
#include "testing/Variables.h"

#include <memory>
#include <string>

namespace kestrel {

// Steps done on the caller's thread before any database work: the placeholder check, the
// substitution and the user number (test value of the "UserID" variable, 0 without one).
struct PreparedSql {
    bool ok = false; // false: a bad placeholder; the test fails with -1 and no message
    std::string sql; // substituted SQL, GBK
    int32_t userNumber = 0;
};
PreparedSql PrepareSqlTest(const std::string& sqlText, const TestVariableTable& table);

// One database connection, as a property sheet owns it: opened at its first SQL test, kept
// for the later ones. Execute may run on a worker thread; its token may be cancelled from any
// other thread, before or while it runs.
class SqlTestSession {
public:
    SqlTestSession();
    ~SqlTestSession();
    SqlTestSession(const SqlTestSession&) = delete;
    SqlTestSession& operator=(const SqlTestSession&) = delete;

    bool IsOpen() const;
    // Opens the connection (UTF-8 connection string). On failure the outcome carries the
    // driver's text under "Database Error".
    TestOutcome Open(const std::string& connectionString);
    void Close();
    // Statements: "DELETE FROM KSTError", the SQL, "SELECT * FROM KSTError WHERE UserID=n",
    // each with the 600 s query time-out. A lost connection (SQLSTATE 08xxx) is closed. A
    // cancelled token stops the statement that runs (or the next one before it starts).
    TestOutcome Execute(const PreparedSql& prepared, CancelToken& cancel);
    TestOutcome Execute(const PreparedSql& prepared);
    // One statement of the caller's own (UTF-8), its result set unread: 0, or the database
    // error as Execute gives it.
    TestOutcome ExecuteOwn(const std::string& sqlUtf8);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace kestrel
