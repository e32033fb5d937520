// The SQL test against a real database. Compiled three times: against an SQLite file through
// the SQLite3 ODBC driver, (KESTREL_TEST_POSTGRES) against a throwaway PostgreSQL cluster
// through psqlODBC's Unicode driver, and (KESTREL_TEST_MARIADB) against a throwaway MariaDB
// server through its own Unicode driver. The drivers take different call families and differ
// in what they do with a statement's further results, so every case runs on all three.
#include "testing/db/SqlTest.h"

#include "core/AsciiCase.h"

#include "support/Builders.h"
#include "support/Databases.h"
#include "support/Results.h"
#include "support/Text.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <thread>

namespace kestrel {
namespace {

using testsupport::Gbk;
using testsupport::MessageOf;
using testsupport::QueryOne;

constexpr bool kPostgres = testsupport::kOnPostgres;
constexpr bool kMariaDb = testsupport::kOnMariaDb;

VariableRow IntRow(const std::string& name, const std::string& value) {
    return testsupport::Row(name, kImport, kInt, value);
}

class SqlEngineTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_database = std::make_unique<testsupport::AuditDatabase>();
        s_connection = s_database->ConnectionString();
    }
    static void TearDownTestSuite() { s_database.reset(); }

    void SetUp() override {
        if (s_database->Missing())
            GTEST_SKIP() << s_database->MissingText();
        ASSERT_EQ(s_database->Failure(), "");
        ASSERT_EQ(testsupport::ResetErrorTable(s_connection), "");
        const TestOutcome open = m_session.Open(s_connection);
        ASSERT_EQ(open.code, 0) << MessageOf(open).text;
    }

    static std::string Raw(const std::string& sql) { return QueryOne(s_connection, sql); }

    TestOutcome RunModule(const std::string& sql, const std::vector<VariableRow>& rows = {IntRow("UserID", "7")}) {
        TestVariableTable table;
        const FillResult fill = FillTestVariables(table, rows);
        EXPECT_TRUE(fill) << fill.error().text;
        // A bad placeholder fails the test before any database work, quietly.
        const std::optional<PreparedSql> prepared = PrepareSqlTest(sql, table);
        return prepared ? m_session.Execute(*prepared) : TestOutcome{};
    }

    static std::unique_ptr<testsupport::AuditDatabase> s_database;
    static std::string s_connection;
    SqlTestSession m_session;
};

std::unique_ptr<testsupport::AuditDatabase> SqlEngineTest::s_database;
std::string SqlEngineTest::s_connection;

TEST_F(SqlEngineTest, CodeZeroIsSuccessWithoutAMessage) {
    const TestOutcome outcome =
        RunModule("INSERT INTO KSTError (UserID, ErrorCode, ErrorMsg) VALUES ([?:UserID], 0, 'ok')");
    EXPECT_EQ(outcome.code, 0);
    EXPECT_FALSE(outcome.message.has_value());
    EXPECT_FALSE(outcome.cancelled);
    // The same session serves the next test without a new connection.
    EXPECT_TRUE(m_session.IsOpen());
    EXPECT_EQ(RunModule("INSERT INTO KSTError VALUES ([?:UserID], 0, 'again')").code, 0);
    EXPECT_EQ(Raw("SELECT COUNT(*) FROM KSTError"), "1");
}

TEST_F(SqlEngineTest, ModuleErrorCodeComesBackWithItsMessage) {
    const TestOutcome outcome = RunModule("INSERT INTO KSTError VALUES ([?:UserID], 3, 'bad input')");
    EXPECT_EQ(outcome.code, 3);
    ASSERT_TRUE(outcome.message.has_value());
    EXPECT_EQ(MessageOf(outcome).text, "Error code:3\nbad input");
    EXPECT_EQ(MessageOf(outcome).caption, "");
}

TEST_F(SqlEngineTest, NoRowForTheUserMeansTheModuleDidNotComplete) {
    // A stale row of this very user: emptying the table first is what makes the test honest.
    ASSERT_EQ(Raw("INSERT INTO KSTError VALUES (7, 0, 'stale')"), "");
    const std::string notCompleted = Gbk("模块未能完成执行！");
    for (const char* sql : {"INSERT INTO KSTError VALUES (8, 0, 'other user')", "UPDATE KSTError SET ErrorCode = 1"}) {
        const TestOutcome outcome = RunModule(sql);
        EXPECT_EQ(outcome.code, -1) << sql;
        EXPECT_EQ(MessageOf(outcome).text, notCompleted) << sql;
        EXPECT_EQ(MessageOf(outcome).caption, "") << sql;
    }
}

TEST_F(SqlEngineTest, WithoutAUserIdVariableUserZeroIsQueried) {
    EXPECT_EQ(RunModule("INSERT INTO KSTError VALUES (0, 0, 'zero')", {}).code, 0);
    EXPECT_EQ(RunModule("INSERT INTO KSTError VALUES (0, 0, 'zero')", {IntRow("UserId", "7")}).code, 0);
    EXPECT_EQ(RunModule("INSERT INTO KSTError VALUES (0, 0, 'x')", {IntRow("UserID", "not a number")}).code, 0);
}

TEST_F(SqlEngineTest, TheFirstRowTheDatabaseReturnsDecides) {
    EXPECT_EQ(RunModule("INSERT INTO KSTError VALUES (7, 0, 'a'), (7, 9, 'b')").code, 0);
    EXPECT_EQ(RunModule("INSERT INTO KSTError VALUES (7, 9, 'b'), (7, 0, 'a')").code, 9);
}

TEST_F(SqlEngineTest, SyntaxErrorShowsTheDriverTextAfterTheTableWasEmptied) {
    ASSERT_EQ(Raw("INSERT INTO KSTError VALUES (1, 0, 'stale')"), "");
    const TestOutcome outcome = RunModule("INSERT INTO KSTError VALUE (");
    EXPECT_EQ(outcome.code, -1);
    EXPECT_EQ(MessageOf(outcome).caption, "Database Error");
    // MariaDB words it "an error in your SQL syntax".
    EXPECT_NE(MessageOf(outcome).text.find("syntax"), std::string::npos) << MessageOf(outcome).text;
    EXPECT_EQ(Raw("SELECT COUNT(*) FROM KSTError"), "0");
    // The connection stays open for the next test.
    EXPECT_TRUE(m_session.IsOpen());
    EXPECT_EQ(RunModule("INSERT INTO KSTError VALUES (7, 0, 'ok')").code, 0);
}

TEST_F(SqlEngineTest, MissingErrorTableIsADatabaseError) {
    ASSERT_EQ(Raw("DROP TABLE KSTError"), "");
    const TestOutcome outcome = RunModule("SELECT 1");
    EXPECT_EQ(outcome.code, -1);
    EXPECT_EQ(MessageOf(outcome).caption, "Database Error");
    EXPECT_NE(MessageOf(outcome).text.find_first_of("kK"), std::string::npos);
}

TEST_F(SqlEngineTest, BadPlaceholderTouchesNothing) {
    ASSERT_EQ(Raw("INSERT INTO KSTError VALUES (7, 0, 'kept')"), "");
    TestVariableTable table;
    // No SQL to run, nor for the clipboard.
    EXPECT_FALSE(PrepareSqlTest("DELETE FROM KSTError WHERE UserID=[?:Nobody]", table));
    const TestOutcome outcome = RunModule("DELETE FROM KSTError WHERE UserID=[?:Nobody]");
    EXPECT_EQ(outcome.code, -1);
    EXPECT_FALSE(outcome.message.has_value());
    EXPECT_EQ(Raw("SELECT COUNT(*) FROM KSTError"), "1");
}

TEST_F(SqlEngineTest, ChineseSurvivesTheTripBothWays) {
    // The literal must reach the database as the same two characters (U+4E2D U+6587), not as
    // GBK bytes, and the module's Chinese message must come back as the same text.
    const std::string same = kPostgres  ? "U&'\\4E2D\\6587'"
                             : kMariaDb ? "CONVERT(X'E4B8ADE69687' USING utf8mb4)"
                                        : "CAST(X'E4B8ADE69687' AS TEXT)";
    const std::string sql = Gbk("INSERT INTO KSTError VALUES ([?:UserID], CASE WHEN '中文' = ") + same +
                            Gbk(" THEN 4 ELSE 5 END, '中文错误：[?:Who]')");
    VariableRow who;
    who.name = "Who";
    who.type = kChar;
    who.length = 20;
    who.testValue = Gbk("张三");
    const TestOutcome outcome = RunModule(sql, {IntRow("UserID", "7"), who});
    EXPECT_EQ(outcome.code, 4) << MessageOf(outcome).text;
    EXPECT_EQ(MessageOf(outcome).text, "Error code:4\n中文错误：张三");
    EXPECT_TRUE(MessageOf(outcome).unicode);
    // What other programs reading the audit database see: UTF-8 text.
    const std::string hex = kPostgres ? Raw("SELECT upper(encode(convert_to(ErrorMsg, 'UTF8'), 'hex')) FROM KSTError")
                                      : Raw("SELECT hex(ErrorMsg) FROM KSTError");
    EXPECT_EQ(hex, "E4B8ADE69687E99499E8AFAFEFBC9AE5BCA0E4B889");
}

TEST_F(SqlEngineTest, ChineseInADriverErrorReachesTheMessage) {
    const TestOutcome outcome = RunModule(Gbk("SELECT * FROM 不存在的表"));
    EXPECT_EQ(outcome.code, -1);
    EXPECT_EQ(MessageOf(outcome).caption, "Database Error");
    EXPECT_NE(MessageOf(outcome).text.find("不存在的表"), std::string::npos) << MessageOf(outcome).text;
}

TEST_F(SqlEngineTest, TextsGbkCannotHoldComeBackWhole) {
    // 深圳😀科技 and 한국어, written by the module in UTF-8 bytes (its own SQL text is GBK).
    const std::string hex = "E6B7B1E59CB3F09F9880E7A791E68A8020ED959CEAB5ADEC96B4";
    const std::string text = kPostgres  ? "convert_from('\\x" + hex + "'::bytea, 'UTF8')"
                             : kMariaDb ? "CONVERT(X'" + hex + "' USING utf8mb4)"
                                        : "CAST(X'" + hex + "' AS TEXT)";
    const TestOutcome outcome = RunModule("INSERT INTO KSTError VALUES ([?:UserID], 12, " + text + ")");
    EXPECT_EQ(outcome.code, 12) << MessageOf(outcome).text;
    EXPECT_EQ(MessageOf(outcome).text, "Error code:12\n深圳😀科技 한국어");
    EXPECT_EQ(outcome.moduleMessage, "深圳😀科技 한국어");
    EXPECT_TRUE(MessageOf(outcome).unicode);
}

TEST_F(SqlEngineTest, AnErrorCodeThatIsNoWholeNumberIsAFailure) {
    ASSERT_EQ(testsupport::ResetErrorTable(s_connection, "VARCHAR(20)"), "");
    ASSERT_EQ(m_session.Open(s_connection).code, 0);
    for (const char* code : {"NULL", "''", "'FAILED'", "'4294967296'", "'1.5'", "'-2147483649'", "'7x'"}) {
        const TestOutcome outcome =
            RunModule(std::string("INSERT INTO KSTError VALUES ([?:UserID], ") + code + ", 'why')");
        EXPECT_EQ(outcome.code, -1) << code;
        EXPECT_TRUE(outcome.reportedByModule) << code;
        EXPECT_EQ(MessageOf(outcome).text.rfind("Error code:", 0), 0u) << code << ": " << MessageOf(outcome).text;
        EXPECT_NE(MessageOf(outcome).text.find("\nwhy"), std::string::npos) << MessageOf(outcome).text;
    }
    // Numbers keep their meaning, 0 included, in the forms columns give them.
    EXPECT_EQ(RunModule("INSERT INTO KSTError VALUES ([?:UserID], ' 0 ', 'ok')").code, 0);
    EXPECT_EQ(RunModule("INSERT INTO KSTError VALUES ([?:UserID], '0.00', 'ok')").code, 0);
    EXPECT_EQ(RunModule("INSERT INTO KSTError VALUES ([?:UserID], '-3', 'x')").code, -3);
    EXPECT_EQ(RunModule("INSERT INTO KSTError VALUES ([?:UserID], '4294967295', 'x')").code, -1);
    EXPECT_EQ(RunModule("INSERT INTO KSTError VALUES ([?:UserID], '-2147483648', 'x')").code, INT32_MIN);
    const TestOutcome named = RunModule("INSERT INTO KSTError VALUES ([?:UserID], 'FAILED', 'bad input')");
    EXPECT_EQ(MessageOf(named).text, "Error code:FAILED\nbad input");
}

TEST_F(SqlEngineTest, OpeningAnUnknownDataSourceGivesTheDriverManagersText) {
    SqlTestSession session;
    const TestOutcome outcome = session.Open("DSN=kestrel-no-such-source");
    EXPECT_EQ(outcome.code, -1);
    EXPECT_EQ(MessageOf(outcome).caption, "Database Error");
    EXPECT_NE(MessageOf(outcome).text.find("Data source name not found"), std::string::npos) << MessageOf(outcome).text;
    EXPECT_FALSE(session.IsOpen());
    // Not open: the test fails quietly, as a data source that was not chosen does.
    TestVariableTable table;
    const std::optional<PreparedSql> prepared = PrepareSqlTest("SELECT 1", table);
    ASSERT_TRUE(prepared);
    const TestOutcome quiet = session.Execute(*prepared);
    EXPECT_EQ(quiet.code, -1);
    EXPECT_FALSE(quiet.message.has_value());
}

TEST_F(SqlEngineTest, CancelStopsALongStatement) {
    const std::string slow =
        kPostgres  ? "SELECT pg_sleep(60)"
        : kMariaDb ? "SELECT SLEEP(60)"
                   : "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT max(x) FROM c";
    TestVariableTable table;
    ASSERT_TRUE(FillTestVariables(table, {IntRow("UserID", "7")}));
    const std::optional<PreparedSql> prepared = PrepareSqlTest(slow, table);
    ASSERT_TRUE(prepared);
    CancelToken cancel;
    TestOutcome outcome;
    std::thread worker([&] { outcome = m_session.Execute(*prepared, cancel); });
    // The whole test is one armed step; the pause lets the long statement start (the outcome
    // is the same when the cancel comes earlier).
    cancel.WaitUntilArmed(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    cancel.Cancel();
    worker.join();
    EXPECT_TRUE(outcome.cancelled);
    EXPECT_FALSE(outcome.message.has_value());
    // The driver stopped, so the connection is still good.
    EXPECT_EQ(RunModule("INSERT INTO KSTError VALUES (7, 0, 'ok')").code, 0);
}

TEST_F(SqlEngineTest, ACancelBeforeTheRunStartsIsKept) {
    ASSERT_EQ(Raw("INSERT INTO KSTError VALUES (7, 0, 'kept')"), "");
    TestVariableTable table;
    ASSERT_TRUE(FillTestVariables(table, {IntRow("UserID", "7")}));
    CancelToken cancel;
    cancel.Cancel();
    const std::optional<PreparedSql> prepared =
        PrepareSqlTest("INSERT INTO KSTError VALUES ([?:UserID], 0, 'ran')", table);
    ASSERT_TRUE(prepared);
    const TestOutcome outcome = m_session.Execute(*prepared, cancel);
    EXPECT_TRUE(outcome.cancelled);
    EXPECT_EQ(outcome.code, -1);
    EXPECT_FALSE(outcome.message.has_value());
    // Not even the error table was emptied, and the connection is fine.
    EXPECT_EQ(Raw("SELECT ErrorMsg FROM KSTError"), "kept");
    EXPECT_TRUE(m_session.IsOpen());
    EXPECT_EQ(RunModule("INSERT INTO KSTError VALUES (7, 0, 'ok')").code, 0);
}

// Modules of several statements, with MariaDB's batches switched on (PostgreSQL takes them as
// they are; the SQLite driver refuses them): every result is read past, so the statement after
// the module, and later modules on the same connection, are not refused.
TEST_F(SqlEngineTest, AModuleOfSeveralStatementsLeavesTheConnectionFitForTheNext) {
    ASSERT_EQ(m_session.Open(s_database->ConnectionString(testsupport::MariaDbServer::MultiStatementsOption())).code,
              0);
    const TestOutcome rowsBetween =
        RunModule("INSERT INTO KSTError VALUES ([?:UserID], 0, 'first'); SELECT * FROM KSTError; "
                  "UPDATE KSTError SET ErrorCode = 6 WHERE UserID = [?:UserID]");
    if (testsupport::kTestDatabase == testsupport::DatabaseKind::Sqlite) {
        EXPECT_EQ(MessageOf(rowsBetween).caption, "Database Error");
        EXPECT_NE(MessageOf(rowsBetween).text.find("only one SQL statement"), std::string::npos)
            << MessageOf(rowsBetween).text;
    } else {
        EXPECT_EQ(rowsBetween.code, 6) << testsupport::Utf8(MessageOf(rowsBetween).text); // the last one ran too
        EXPECT_EQ(RunModule("SELECT 1; SELECT 2; INSERT INTO KSTError VALUES ([?:UserID], 5, 'after rows')").code, 5);
    }
    EXPECT_TRUE(m_session.IsOpen());
    EXPECT_EQ(RunModule("INSERT INTO KSTError VALUES ([?:UserID], 0, 'next')").code, 0);
    // A module that is a query: its rows are not the tool's business.
    EXPECT_EQ(RunModule("SELECT 1 UNION ALL SELECT 2").code, -1);
    EXPECT_EQ(RunModule("INSERT INTO KSTError VALUES ([?:UserID], 0, 'after a query')").code, 0);

    // A statement that fails after the first: its error, and the next module still runs.
    const TestOutcome failing =
        RunModule("INSERT INTO KSTError VALUES ([?:UserID], 0, 'ok'); INSERT INTO NoSuchTable VALUES (1)");
    EXPECT_EQ(failing.code, -1);
    EXPECT_EQ(MessageOf(failing).caption, "Database Error");
    if (testsupport::kTestDatabase != testsupport::DatabaseKind::Sqlite) {
        EXPECT_NE(AsciiLowerText(MessageOf(failing).text).find("nosuchtable"), std::string::npos)
            << testsupport::Utf8(MessageOf(failing).text);
    }
    if (!m_session.IsOpen()) {
        ASSERT_EQ(m_session.Open(s_connection).code, 0);
    }
    EXPECT_EQ(RunModule("INSERT INTO KSTError VALUES ([?:UserID], 0, 'after the failure')").code, 0);
}

#if defined(KESTREL_TEST_POSTGRES) || defined(KESTREL_TEST_MARIADB)
// SQLite has no procedures. A procedure that returns rows leaves a result set, and on MariaDB
// a final status besides, before the module's row can be read.
TEST_F(SqlEngineTest, ACallOfAProcedureThatReturnsRowsWorks) {
    ASSERT_EQ(Raw("DROP PROCEDURE IF EXISTS kst_rows"), "");
    ASSERT_EQ(Raw(kPostgres ? "CREATE PROCEDURE kst_rows(INOUT x integer) LANGUAGE plpgsql AS $$ BEGIN "
                              "INSERT INTO KSTError VALUES (7, 8, 'from the procedure'); x := 1; END $$"
                            : "CREATE PROCEDURE kst_rows() BEGIN SELECT 1 AS x; "
                              "INSERT INTO KSTError VALUES (7, 8, 'from the procedure'); SELECT 2 AS y; END"),
              "");
    const std::string call = kPostgres ? "CALL kst_rows(NULL)" : "CALL kst_rows()";
    const TestOutcome outcome = RunModule(call);
    EXPECT_EQ(outcome.code, 8) << testsupport::Utf8(MessageOf(outcome).text);
    EXPECT_EQ(outcome.moduleMessage, "from the procedure");
    EXPECT_TRUE(m_session.IsOpen());
    EXPECT_EQ(RunModule("INSERT INTO KSTError VALUES ([?:UserID], 0, 'next')").code, 0);
}
#endif

#if defined(KESTREL_TEST_POSTGRES) || defined(KESTREL_TEST_MARIADB)
TEST_F(SqlEngineTest, LostConnectionIsClosedAfterItsMessage) {
    ASSERT_EQ(RunModule("INSERT INTO KSTError VALUES (7, 0, 'ok')").code, 0);
    if (kPostgres) {
        Raw("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE pid <> pg_backend_pid() AND "
            "backend_type = 'client backend'");
    } else {
        const std::string others = Raw("SELECT GROUP_CONCAT(id) FROM information_schema.processlist WHERE id <> "
                                       "CONNECTION_ID() AND command <> 'Daemon'");
        ASSERT_NE(others, "");
        std::istringstream ids(others);
        for (std::string id; std::getline(ids, id, ',');)
            Raw("KILL " + id);
    }
    const TestOutcome outcome = RunModule("INSERT INTO KSTError VALUES (7, 0, 'ok')");
    EXPECT_EQ(outcome.code, -1);
    EXPECT_EQ(MessageOf(outcome).caption, "Database Error");
    EXPECT_FALSE(m_session.IsOpen()) << MessageOf(outcome).text;
    // The next test opens it anew.
    ASSERT_EQ(m_session.Open(s_connection).code, 0);
    EXPECT_EQ(RunModule("INSERT INTO KSTError VALUES (7, 0, 'ok')").code, 0);
}
#endif

} // namespace
} // namespace kestrel
