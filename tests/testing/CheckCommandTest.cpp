// kestrel-tool check, end to end: a catalogue of SQL and DLL modules on disk, the tool run as
// a separate program, its lines, exit code, JUnit and CSV.
#include "core/AtomicFile.h"
#include "core/FixedText.h"
#include "core/Gbk.h"
#include "repository/Catalogue.h"
#include "repository/ModuleFile.h"
#include "testing/Variables.h"

#include "support/Builders.h"
#include "support/Databases.h"
#include "support/Files.h"
#include "support/Text.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <thread>

namespace kestrel {
namespace {

using testsupport::Gbk;
using testsupport::Row;

struct ToolRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string ReadText(const std::filesystem::path& path) {
    std::string bytes;
    ReadWholeFile(path, bytes);
    return bytes;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

std::string Quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

class CheckCommandTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_database = std::make_unique<testsupport::AuditDatabase>(); }
    static void TearDownTestSuite() { s_database.reset(); }

    void SetUp() override {
        if (s_database->Missing())
            GTEST_SKIP() << s_database->MissingText();
        ASSERT_EQ(s_database->Failure(), "");
        m_connection = s_database->ConnectionString();
        ASSERT_EQ(testsupport::ResetErrorTable(m_connection), "");
        testsupport::WriteCatalogue(Catalogue(), {{"G1", Gbk("通过组")}, {"G2", Gbk("失败组")}});

        std::filesystem::copy_file(TEST_MODULES_PATH, m_dir.Path() / "libtest_modules.so");
        const std::vector<VariableRow> user = {Row("UserID", kImport, kInt, "7")};
        // Written out of order: the check runs them by file name within each group.
        SaveModule("c_dll.kst", "G1", kDllModule, std::string(SAMPLE_MODULE_PATH) + ",SampleAudit",
                   {Row("Amount", kImport, kInt, "5"), Row("Account", kConfig, kChar, Gbk("现金"), 16)});
        SaveModule("a_ok.kst", "G1", kSqlModule, "INSERT INTO KSTError VALUES ([?:UserID], 0, 'ok')", user);
        SaveModule("b_bad.kst", "G2", kSqlModule, Gbk("INSERT INTO KSTError VALUES ([?:UserID], 3, '中文错误')"), user);
        SaveModule("d_crash.kst", "G2", kDllModule, "./libtest_modules.so,Crash", {});
        SaveModule("e_placeholder.kst", "G2", kSqlModule, "SELECT [?:Nobody]", user);
        SaveModule("f_other_group.kst", "G9", kSqlModule, "SELECT 1", {});
        std::ofstream(m_dir.Path() / "not_a_module.kst") << "rubbish";
    }

    void SaveModule(const std::string& fileName, const std::string& group, ModuleType type, const std::string& body,
                    const std::vector<VariableRow>& rows) {
        ModuleRecord record = testsupport::SqlRecord(body);
        SetFieldText(record.header.groupId, group);
        SetFieldText(record.header.title, fileName);
        record.header.type = type;
        StoreRowsInModule(record, rows);
        record.fileName = fileName;
        ASSERT_TRUE(SaveModuleFile(record, "SA", m_dir.Path()));
    }

    std::filesystem::path Catalogue() const { return m_dir.Path() / "audit.MGP"; }

    // environment: "NAME=value ..." for the tool alone.
    ToolRun Tool(const std::string& arguments, const std::string& environment = {},
                 const std::string& command = "check") {
        const std::filesystem::path out = m_dir.Path() / "tool.out";
        const std::filesystem::path err = m_dir.Path() / "tool.err";
        const std::string line = "env -u KESTREL_CONNECT " + environment + " " + std::string(KESTREL_TOOL_PATH) + " " +
                                 command + " " + arguments + " >" + out.string() + " 2>" + err.string() + " </dev/null";
        const int status = std::system(line.c_str());
        ToolRun run;
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.out = ReadText(out);
        run.err = ReadText(err);
        return run;
    }

    std::string Args(const std::string& extra = {}) const {
        return Quoted(Catalogue().string()) + " --connect " + Quoted(m_connection) + extra;
    }

    // `check CATALOGUE --connect connection extra...` in the background, its standard output
    // into out: for tests that act on the run while it goes.
    pid_t StartCheck(const std::string& connection, const std::filesystem::path& out,
                     const std::vector<std::string>& extra) const {
        std::vector<std::string> args = {KESTREL_TOOL_PATH, "check", Catalogue().string(), "--connect", connection};
        args.insert(args.end(), extra.begin(), extra.end());
        const pid_t tool = fork();
        if (tool == 0) {
            const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, STDOUT_FILENO);
            std::vector<char*> argv;
            for (std::string& arg : args)
                argv.push_back(arg.data());
            argv.push_back(nullptr);
            ::execv(KESTREL_TOOL_PATH, argv.data());
            ::_exit(127);
        }
        return tool;
    }

    // The pid of the server backend that runs a statement beginning with sql, once one does;
    // "" when none does within half a minute.
    static std::string BackendRunning(const std::string& connection, const std::string& sql) {
        for (int i = 0; i < 600; ++i) {
            const std::string pid =
                testsupport::QueryOne(connection, "SELECT pid FROM pg_stat_activity WHERE query LIKE '" + sql +
                                                      "%' AND pid <> pg_backend_pid()");
            if (!pid.empty() && pid.rfind("ERROR", 0) != 0)
                return pid;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return {};
    }

    // The run's wait status once it ended; a run still going after a minute is killed and
    // reported as nullopt, so a hang fails the test rather than the suite.
    static std::optional<int> WaitBounded(pid_t tool) {
        int status = 0;
        for (int i = 0; i < 1200; ++i) {
            if (::waitpid(tool, &status, WNOHANG) == tool)
                return status;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ::kill(tool, SIGKILL);
        ::waitpid(tool, &status, 0);
        return std::nullopt;
    }

    static std::unique_ptr<testsupport::AuditDatabase> s_database;
    testsupport::TempDir m_dir;
    std::string m_connection;
};

std::unique_ptr<testsupport::AuditDatabase> CheckCommandTest::s_database;

TEST_F(CheckCommandTest, RunsEveryGroupInOrderAndWritesJUnitAndCsv) {
    const std::string before = ReadText(m_dir.Path() / "b_bad.kst");
    const std::filesystem::path junit = m_dir.Path() / "out.xml";
    const std::filesystem::path csv = m_dir.Path() / "out.csv";
    const ToolRun run = Tool(Args(" --junit " + Quoted(junit.string()) + " --csv " + Quoted(csv.string())));
    EXPECT_EQ(run.exitCode, 4) << run.out << run.err; // could not run wins over failed

    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 6u) << run.out;
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(a_ok\.kst  G1  PASS  0  -  \d+\.\d{3}s)"))) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(c_dll\.kst  G1  PASS  0  -  .*)"))) << lines[1];
    EXPECT_EQ(lines[2].rfind("b_bad.kst  G2  FAIL  3  Error code:3 中文错误  ", 0), 0u) << lines[2];
    // A crash and a bad placeholder are modules that could not be run, not their own verdict.
    EXPECT_EQ(lines[3].rfind("d_crash.kst  G2  ERROR  -1  [Crash] 运行异常终止：", 0), 0u) << lines[3];
    // The tool's own addition: the sheet fails this module without a message.
    EXPECT_EQ(lines[4].rfind("e_placeholder.kst  G2  ERROR  -1  SQL 中有无效的变量占位符  ", 0), 0u) << lines[4];
    EXPECT_EQ(lines[5], "2 passed, 1 failed, 2 could not run");
    EXPECT_NE(run.err.find("not_a_module.kst: not a module file"), std::string::npos) << run.err;

    const std::string xml = ReadText(junit);
    EXPECT_NE(xml.find(R"(<testsuites name="audit.MGP" tests="5" failures="1" errors="2" skipped="0")"),
              std::string::npos)
        << xml;
    EXPECT_NE(xml.find(R"(<testsuite name="G1" tests="2" failures="0" errors="0")"), std::string::npos) << xml;
    EXPECT_NE(xml.find(R"(<testsuite name="G2" tests="3" failures="1" errors="2")"), std::string::npos) << xml;
    EXPECT_NE(xml.find(R"(<property name="groupName" value="通过组"/>)"), std::string::npos) << xml;
    EXPECT_TRUE(std::regex_search(xml, std::regex(R"(<testcase classname="G1" name="a_ok\.kst" time="\d+\.\d{3}"/>)")))
        << xml;
    // The failure message is the line's one-line text, as for every kind of result; the full
    // text is the body.
    EXPECT_NE(xml.find("<failure message=\"Error code:3 中文错误\" type=\"3\">Error code:3\n中文错误</failure>"),
              std::string::npos)
        << xml;
    EXPECT_NE(xml.find(R"(<error message="SQL 中有无效的变量占位符" type="-1">)"), std::string::npos) << xml;
    EXPECT_LT(xml.find("a_ok.kst"), xml.find("c_dll.kst"));
    EXPECT_EQ(xml.find("f_other_group"), std::string::npos);

    const std::string table = ReadText(csv);
    EXPECT_EQ(table.rfind("file,group,result,code,message,seconds\r\na_ok.kst,G1,PASS,0,,", 0), 0u) << table;
    EXPECT_NE(table.find("b_bad.kst,G2,FAIL,3,\"Error code:3\n中文错误\","), std::string::npos) << table;
    EXPECT_NE(table.find("d_crash.kst,G2,ERROR,-1,"), std::string::npos) << table;
    EXPECT_EQ(std::count(table.begin(), table.end(), '\r'), 6);

    EXPECT_EQ(ReadText(m_dir.Path() / "b_bad.kst"), before); // never changes a module file
}

TEST_F(CheckCommandTest, AGroupThatPassesExitsWithZero) {
    const ToolRun run = Tool(Args(" --group G1"));
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("2 passed, 0 failed, 0 could not run"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("G2"), std::string::npos);
}

// With MariaDB's batches on, a module of two statements whose second fails left its results
// unread, and every later module of the run failed with them.
TEST_F(CheckCommandTest, AModuleOfTwoStatementsDoesNotSpoilTheModulesAfterIt) {
    testsupport::WriteCatalogue(Catalogue(), {{"G3", Gbk("批处理组")}});
    const std::vector<VariableRow> user = {Row("UserID", kImport, kInt, "7")};
    SaveModule("g1_two.kst", "G3", kSqlModule,
               "INSERT INTO KSTError VALUES ([?:UserID], 0, 'one'); INSERT INTO NoSuchTable VALUES (1)", user);
    SaveModule("g2_ok.kst", "G3", kSqlModule, "INSERT INTO KSTError VALUES ([?:UserID], 0, 'two')", user);
    SaveModule("g3_ok.kst", "G3", kSqlModule, "SELECT 1; INSERT INTO KSTError VALUES ([?:UserID], 0, 'three')", user);
    m_connection = s_database->ConnectionString(testsupport::MariaDbServer::MultiStatementsOption());
    const ToolRun run = Tool(Args(" --group G3"));
    EXPECT_EQ(run.out.find("g1_two.kst  G3  PASS"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("g2_ok.kst  G3  PASS"), std::string::npos) << run.out << run.err;
    if (testsupport::kTestDatabase != testsupport::DatabaseKind::Sqlite) { // its driver takes one statement
        EXPECT_NE(run.out.find("g3_ok.kst  G3  PASS"), std::string::npos) << run.out << run.err;
    }
}

TEST_F(CheckCommandTest, NothingSelectedAndAMissingErrorTable) {
    testsupport::WriteCatalogue(Catalogue(), {{"G1", Gbk("通过组")}, {"G3", Gbk("空组")}});
    const ToolRun empty = Tool(Args(" --group G3"));
    EXPECT_EQ(empty.exitCode, 5) << empty.out << empty.err;
    EXPECT_EQ(empty.out, "");

    // Found once, before any module runs, instead of failing every SQL module.
    ASSERT_EQ(testsupport::QueryOne(m_connection, "DROP TABLE KSTError"), "");
    const ToolRun missing = Tool(Args());
    EXPECT_EQ(missing.exitCode, 2) << missing.out << missing.err;
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("KSTError"), std::string::npos) << missing.err;
}

// What a module's SQL writes to its row: the dialects differ in how a long wait is spelt.
std::string SlowSql() {
    switch (testsupport::kTestDatabase) {
    case testsupport::DatabaseKind::Postgres:
        return "SELECT pg_sleep(120)";
    case testsupport::DatabaseKind::MariaDb:
        return "SELECT SLEEP(120)"; // its driver keeps no query time-out: the tool's own must fire
    default:
        return "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT max(x) FROM c";
    }
}

TEST_F(CheckCommandTest, ATimeOutFailsTheModuleAndTheRunGoesOn) {
    testsupport::WriteCatalogue(Catalogue(), {{"G5", Gbk("超时组")}});
    const std::vector<VariableRow> user = {Row("UserID", kImport, kInt, "7")};
    SaveModule("t1_slow.kst", "G5", kSqlModule, SlowSql(), user);
    SaveModule("t2_ok.kst", "G5", kSqlModule, "INSERT INTO KSTError VALUES ([?:UserID], 0, 'ok')", user);
    if (!testsupport::kOnPostgres && !testsupport::kOnMariaDb) {
        // A runner that loops and one that stops itself.
        SaveModule("t3_loop.kst", "G5", kDllModule, "./libtest_modules.so,NeverReturns", {});
        SaveModule("t4_stopped.kst", "G5", kDllModule, "./libtest_modules.so,StopItself", {});
        SaveModule("t6_ok.kst", "G5", kSqlModule, "INSERT INTO KSTError VALUES ([?:UserID], 0, 'ok')", user);
    }
    const ToolRun run = Tool(Args(" --timeout=2"));
    EXPECT_EQ(run.exitCode, 4) << run.out << run.err;
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_GE(lines.size(), 3u) << run.out;
    EXPECT_TRUE(std::regex_search(lines[0], std::regex(R"(^t1_slow\.kst  G5  ERROR  -1  .*(Timeout|cancel))")))
        << lines[0];
    EXPECT_EQ(lines[1].rfind("t2_ok.kst  G5  PASS", 0), 0u) << lines[1];
    if (lines.size() == 6) {
        for (std::size_t i = 2; i < 4; ++i)
            EXPECT_NE(lines[i].find("ERROR  -1  Timeout expired: the module did not finish within 2 s"),
                      std::string::npos)
                << lines[i];
        EXPECT_EQ(lines[4].rfind("t6_ok.kst  G5  PASS", 0), 0u) << lines[4];
    }
}

TEST_F(CheckCommandTest, EachConnectionHasItsOwnErrorTable) {
    testsupport::WriteCatalogue(Catalogue(), {{"G6", Gbk("隔离组")}});
    const std::vector<VariableRow> user = {Row("UserID", kImport, kInt, "7")};
    SaveModule("i1.kst", "G6", kSqlModule, "INSERT INTO KSTError VALUES ([?:UserID], 0, 'mine')", user);
    // Another run's row in the shared table survives this run.
    ASSERT_EQ(testsupport::QueryOne(m_connection, "INSERT INTO KSTError VALUES (99, 5, 'other run')"), "");
    const ToolRun isolated = Tool(Args());
    EXPECT_EQ(isolated.exitCode, 0) << isolated.out << isolated.err;
    EXPECT_EQ(testsupport::QueryOne(m_connection, "SELECT COUNT(*) FROM KSTError"), "1");
    EXPECT_EQ(testsupport::QueryOne(m_connection, "SELECT ErrorMsg FROM KSTError"), "other run");

    // A module that names the shared table itself runs on it, after the others, and says so.
    const std::string schema = testsupport::kOnPostgres  ? "public"
                               : testsupport::kOnMariaDb ? testsupport::QueryOne(m_connection, "SELECT DATABASE()")
                                                         : "main";
    SaveModule("i0_qualified.kst", "G6", kSqlModule,
               "INSERT INTO " + schema + ".KSTError VALUES ([?:UserID], 0, 'shared')", user);
    const ToolRun qualified = Tool(Args(" --jobs 2"));
    EXPECT_EQ(qualified.exitCode, 0) << qualified.out << qualified.err;
    const std::vector<std::string> lines = Lines(qualified.out);
    ASSERT_EQ(lines.size(), 3u) << qualified.out;
    EXPECT_EQ(lines[0].rfind("i0_qualified.kst  G6  PASS  0  ran alone on the shared error table  ", 0), 0u)
        << lines[0];
    EXPECT_EQ(lines[1].rfind("i1.kst  G6  PASS  0  -  ", 0), 0u) << lines[1];

    // Isolation off: the Part's statements on the shared table.
    ASSERT_EQ(testsupport::QueryOne(m_connection, "INSERT INTO KSTError VALUES (99, 5, 'other run')"), "");
    SaveModule("i0_qualified.kst", "G6", kSqlModule, "SELECT 1", {});
    std::filesystem::remove(m_dir.Path() / "i0_qualified.kst");
    EXPECT_EQ(Tool(Args(" --shared-error-table")).exitCode, 0);
    EXPECT_EQ(testsupport::QueryOne(m_connection, "SELECT ErrorMsg FROM KSTError"), "mine");
}

TEST_F(CheckCommandTest, ParallelRunsGiveTheSameLinesInTheSameOrder) {
    testsupport::WriteCatalogue(Catalogue(), {{"G1", Gbk("通过组")}, {"G2", Gbk("失败组")}, {"G7", Gbk("并行组")}});
    const std::vector<VariableRow> user = {Row("UserID", kImport, kInt, "7")};
    for (int i = 0; i < 8; ++i)
        SaveModule("p" + std::to_string(i) + ".kst", "G7", kSqlModule,
                   "INSERT INTO KSTError VALUES ([?:UserID], " + std::to_string(i % 3) + ", 'module " +
                       std::to_string(i) + "')",
                   user);
    auto withoutTimes = [](const std::string& out) {
        return std::regex_replace(out, std::regex(R"(  \d+\.\d{3}s\n)"), "\n");
    };
    const std::filesystem::path csv1 = m_dir.Path() / "one.csv";
    const std::filesystem::path csv4 = m_dir.Path() / "four.csv";
    const ToolRun one = Tool(Args(" --csv " + Quoted(csv1.string())));
    const ToolRun four = Tool(Args(" --jobs 4 --csv " + Quoted(csv4.string())));
    EXPECT_EQ(one.exitCode, 4) << one.out << one.err;
    EXPECT_EQ(four.exitCode, 4) << four.out << four.err;
    EXPECT_EQ(withoutTimes(four.out), withoutTimes(one.out));
    EXPECT_NE(one.out.find("p5.kst  G7  FAIL  2  Error code:2 module 5  "), std::string::npos) << one.out;
    auto csvWithoutTimes = [](const std::string& text) {
        return std::regex_replace(text, std::regex(R"(,\d+\.\d{3}\r\n)"), "\r\n");
    };
    EXPECT_EQ(csvWithoutTimes(ReadText(csv4)), csvWithoutTimes(ReadText(csv1)));
}

#ifdef KESTREL_TEST_POSTGRES
// --jobs is a ceiling: a server that grants fewer connections than asked for still checks
// every module, on the connections it grants.
TEST_F(CheckCommandTest, JobsBeyondTheServersFreeSlotsStillCheckEveryModule) {
    for (const char* sql : {"DROP ROLE IF EXISTS limited", "CREATE ROLE limited LOGIN CONNECTION LIMIT 3",
                            "GRANT ALL ON KSTError TO limited"})
        ASSERT_EQ(testsupport::QueryOne(m_connection, sql).rfind("ERROR", 0), std::string::npos) << sql;
    testsupport::WriteCatalogue(Catalogue(), {{"G6", Gbk("并行组")}});
    for (int i = 0; i < 12; ++i)
        SaveModule("j" + std::to_string(i) + ".kst", "G6", kSqlModule,
                   "INSERT INTO KSTError VALUES ([?:UserID], 0, 'ok')", {Row("UserID", kImport, kInt, "7")});
    std::string limited = m_connection;
    limited.replace(limited.find("Uid=postgres"), 12, "Uid=limited");
    const ToolRun run = Tool(Quoted(Catalogue().string()) + " --connect " + Quoted(limited) + " --jobs 8");
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("12 passed, 0 failed, 0 could not run"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("3 of 8 connections granted"), std::string::npos) << run.err;
}

// A server that stops answering (its backend stopped) cannot fire a time-out of its own: the
// tool's fires, the connection is left behind, and the next module gets a new one. A module
// that ends its own session is followed by a reconnect.
TEST_F(CheckCommandTest, AFrozenServerAndALostConnectionDoNotStopTheRun) {
    testsupport::WriteCatalogue(Catalogue(), {{"G9", Gbk("冻结组")}});
    const std::vector<VariableRow> user = {Row("UserID", kImport, kInt, "7")};
    SaveModule("f1_frozen.kst", "G9", kSqlModule, "SELECT pg_sleep(77.5)", user);
    SaveModule("f2_ok.kst", "G9", kSqlModule, "INSERT INTO KSTError VALUES ([?:UserID], 0, 'ok')", user);
    SaveModule("f3_lost.kst", "G9", kSqlModule, "SELECT pg_terminate_backend(pg_backend_pid())", user);
    SaveModule("f4_ok.kst", "G9", kSqlModule, "INSERT INTO KSTError VALUES ([?:UserID], 0, 'ok')", user);
    const std::filesystem::path out = m_dir.Path() / "frozen.out";
    const pid_t tool = StartCheck(m_connection, out, {"--timeout", "3"});
    ASSERT_GT(tool, 0);
    const std::string backend = BackendRunning(m_connection, "SELECT pg_sleep(77.5)");
    ASSERT_FALSE(backend.empty());
    const pid_t frozen = std::stoi(backend);
    ASSERT_EQ(::kill(frozen, SIGSTOP), 0);
    const std::optional<int> status = WaitBounded(tool);
    ::kill(frozen, SIGCONT);
    ASSERT_TRUE(status) << "check hung on the frozen server: " << ReadText(out);
    EXPECT_EQ(WEXITSTATUS(*status), 4) << ReadText(out);
    const std::vector<std::string> lines = Lines(ReadText(out));
    ASSERT_GE(lines.size(), 4u) << ReadText(out);
    // f_other_group.kst of the fixture is in G9 too: a query that writes no row.
    EXPECT_EQ(lines.back(), "2 passed, 1 failed, 2 could not run") << ReadText(out);
    EXPECT_EQ(
        lines[0].rfind("f1_frozen.kst  G9  ERROR  -1  Timeout expired: the statement did not finish within 3 s", 0), 0u)
        << lines[0];
    EXPECT_EQ(lines[1].rfind("f2_ok.kst  G9  PASS", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("f3_lost.kst  G9  ERROR", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3].rfind("f4_ok.kst  G9  PASS", 0), 0u) << lines[3];
}

// A server that goes away in the middle of a module and comes back a few seconds later costs
// that module alone: the next one waits for the server instead of failing at once.
TEST_F(CheckCommandTest, AServerRestartCostsOnlyTheModuleItInterrupted) {
    testsupport::PostgresCluster cluster; // of its own: this test takes its server away
    ASSERT_TRUE(cluster.Running()) << cluster.Failure();
    const std::string connection = cluster.ConnectionString();
    ASSERT_EQ(testsupport::ResetErrorTable(connection), "");
    testsupport::WriteCatalogue(Catalogue(), {{"G8", Gbk("重启组")}});
    const std::vector<VariableRow> user = {Row("UserID", kImport, kInt, "7")};
    SaveModule("r1_interrupted.kst", "G8", kSqlModule, "SELECT pg_sleep(66.5)", user);
    SaveModule("r2_ok.kst", "G8", kSqlModule, "INSERT INTO KSTError VALUES ([?:UserID], 0, 'ok')", user);
    SaveModule("r3_ok.kst", "G8", kSqlModule, "INSERT INTO KSTError VALUES ([?:UserID], 0, 'ok')", user);
    const std::filesystem::path out = m_dir.Path() / "restart.out";
    const pid_t tool = StartCheck(connection, out, {"--timeout", "60"});
    ASSERT_GT(tool, 0);
    EXPECT_NE(BackendRunning(connection, "SELECT pg_sleep(66.5)"), "");
    EXPECT_TRUE(cluster.Stop());
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_TRUE(cluster.Start()) << cluster.Failure();
    const std::optional<int> status = WaitBounded(tool);
    ASSERT_TRUE(status) << "check did not end after the restart: " << ReadText(out);
    EXPECT_EQ(WEXITSTATUS(*status), 4) << ReadText(out);
    const std::vector<std::string> lines = Lines(ReadText(out));
    ASSERT_EQ(lines.size(), 4u) << ReadText(out);
    EXPECT_EQ(lines[0].rfind("r1_interrupted.kst  G8  ERROR", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("r2_ok.kst  G8  PASS", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("r3_ok.kst  G8  PASS", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3], "2 passed, 0 failed, 1 could not run");
}
#endif

#if !defined(KESTREL_TEST_POSTGRES) && !defined(KESTREL_TEST_MARIADB)
TEST_F(CheckCommandTest, ASignalStopsTheRunAndTheReportsKeepWhatWasDone) {
    testsupport::WriteCatalogue(Catalogue(), {{"G8", Gbk("中断组")}});
    SaveModule("s1_ok.kst", "G8", kSqlModule, "INSERT INTO KSTError VALUES ([?:UserID], 0, 'ok')",
               {Row("UserID", kImport, kInt, "7")});
    SaveModule("s2_loop.kst", "G8", kDllModule, "./libtest_modules.so,LoopAndTellPid", {});
    SaveModule("s3_later.kst", "G8", kSqlModule, "SELECT 1", {});
    const std::filesystem::path csv = m_dir.Path() / "out.csv";
    const std::filesystem::path out = m_dir.Path() / "signal.out";
    for (const auto& [signal, exitCode] : {std::pair{SIGTERM, 143}, std::pair{SIGINT, 130}}) {
        std::filesystem::remove(m_dir.Path() / "runner.pid");
        const pid_t tool = StartCheck(m_connection, out, {"--csv", csv.string()});
        ASSERT_GT(tool, 0);
        // The looping module tells its runner's pid once it runs: the signal comes mid-run.
        for (int i = 0; i < 1200 && !std::filesystem::exists(m_dir.Path() / "runner.pid"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!std::filesystem::exists(m_dir.Path() / "runner.pid")) {
            ::kill(tool, SIGKILL);
            ::waitpid(tool, nullptr, 0);
            FAIL() << "the looping module never ran: " << ReadText(out);
        }
        const pid_t runner = std::stoi(ReadText(m_dir.Path() / "runner.pid") + "0") / 10;
        ::kill(tool, signal);
        const std::optional<int> status = WaitBounded(tool);
        ASSERT_TRUE(status) << "check did not stop on the signal: " << ReadText(out);
        EXPECT_TRUE(WIFEXITED(*status)) << *status;
        EXPECT_EQ(WEXITSTATUS(*status), exitCode);
        const std::vector<std::string> lines = Lines(ReadText(out));
        ASSERT_EQ(lines.size(), 4u) << ReadText(out);
        EXPECT_EQ(lines[0].rfind("s1_ok.kst  G8  PASS", 0), 0u) << lines[0];
        EXPECT_EQ(lines[1].rfind("s2_loop.kst  G8  NOTRUN  -1  not run", 0), 0u) << lines[1];
        EXPECT_EQ(lines[2].rfind("s3_later.kst  G8  NOTRUN  -1  not run", 0), 0u) << lines[2];
        EXPECT_EQ(lines[3], "1 passed, 0 failed, 0 could not run, 2 not run");
        const std::string table = ReadText(csv);
        EXPECT_NE(table.find("s1_ok.kst,G8,PASS,0,"), std::string::npos) << table;
        EXPECT_NE(table.find("s3_later.kst,G8,NOTRUN,-1,not run,"), std::string::npos) << table;
        // The runner went with the run.
        EXPECT_TRUE(testsupport::ProcessEnded(runner));
    }
}

TEST_F(CheckCommandTest, HelpOptionFormsAndTheConnectionFromTheEnvironment) {
    const ToolRun help = Tool("--help");
    EXPECT_EQ(help.exitCode, 0) << help.err;
    for (const char* expected : {"usage: kestrel-tool check CATALOGUE", "--connect <CONNSTR>", "KESTREL_CONNECT",
                                 "Exit codes:", "    4  some modules could not be run", "   64  usage"})
        EXPECT_NE(help.out.find(expected), std::string::npos) << expected << "\n" << help.out;
    EXPECT_EQ(Tool("check", {}, "help").out, help.out);
    EXPECT_EQ(Tool("-h").out, help.out);

    const ToolRun equals = Tool(Quoted(Catalogue().string()) + " --group=G1 --connect=" + Quoted(m_connection));
    EXPECT_EQ(equals.exitCode, 0) << equals.out << equals.err;
    // The password stays out of the process list.
    const ToolRun fromEnvironment =
        Tool(Quoted(Catalogue().string()) + " --group G1", "KESTREL_CONNECT=" + Quoted(m_connection));
    EXPECT_EQ(fromEnvironment.exitCode, 0) << fromEnvironment.out << fromEnvironment.err;
    EXPECT_NE(fromEnvironment.out.find("2 passed"), std::string::npos);

    const ToolRun unknown = Tool(Args(" --bogus"));
    EXPECT_EQ(unknown.exitCode, 64);
    EXPECT_NE(unknown.err.find("bogus"), std::string::npos) << unknown.err;
    EXPECT_EQ(Tool(Quoted(Catalogue().string())).exitCode, 64); // no connection anywhere
    EXPECT_EQ(Tool("", {}, "frobnicate").exitCode, 64);
}

TEST_F(CheckCommandTest, ControlCharactersAndTheLocaleStayOutOfTheReports) {
    const std::filesystem::path locales = m_dir.Path() / "locales";
    std::filesystem::create_directory(locales);
    const bool haveGerman =
        std::system(
            ("localedef -i de_DE -f UTF-8 " + Quoted((locales / "de_DE.UTF-8").string()) + " 2>/dev/null").c_str()) ==
        0;
    SaveModule("a_ok.kst", "G1", kSqlModule,
               "INSERT INTO KSTError VALUES ([?:UserID], 4, 'tab' || char(9) || 'bell' || char(7) || 'end')",
               {Row("UserID", kImport, kInt, "7")});
    const std::filesystem::path junit = m_dir.Path() / "out.xml";
    const std::filesystem::path csv = m_dir.Path() / "out.csv";
    const ToolRun run =
        Tool(Args(" --group G1 --junit " + Quoted(junit.string()) + " --csv " + Quoted(csv.string())),
             haveGerman ? "LOCPATH=" + Quoted(locales.string()) + " LC_ALL=de_DE.UTF-8" : std::string());
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_EQ(run.out.find_first_of("\t\x07"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Error code:4 tab bell end  "), std::string::npos) << run.out;
    const std::string xml = ReadText(junit);
    EXPECT_EQ(xml.find('\x07'), std::string::npos) << xml;
    // The message attribute is the line's text: one line, no control character.
    EXPECT_NE(xml.find("message=\"Error code:4 tab bell end\""), std::string::npos) << xml;
    // Seconds with a point: every CSV row keeps its six fields, JUnit's time stays a number.
    EXPECT_TRUE(std::regex_search(xml, std::regex(R"(<testsuites [^>]*time="\d+\.\d{3}")"))) << xml;
    const std::string table = ReadText(csv);
    ASSERT_FALSE(table.empty());
    for (std::size_t start = 0, end; (end = table.find("\r\n", start)) != std::string::npos; start = end + 2) {
        const std::string row = table.substr(start, end - start);
        EXPECT_TRUE(std::regex_search(row, std::regex(R"(,(seconds|\d+\.\d{3})$)"))) << row;
    }
    if (!haveGerman)
        GTEST_SKIP() << "no de_DE locale source to build";
}

TEST_F(CheckCommandTest, UnreadableAndForeignNamedModulesGetTheirOwnLines) {
    std::filesystem::create_symlink("loop.kst", m_dir.Path() / "loop.kst");
    // A name in GBK bytes, as a folder copied from a Windows share has it: 中文.kst
    SaveModule("gbk.kst", "G1", kSqlModule, "INSERT INTO KSTError VALUES ([?:UserID], 0, 'ok')",
               {Row("UserID", kImport, kInt, "7")});
    std::filesystem::rename(m_dir.Path() / "gbk.kst", m_dir.Path() / "\xD6\xD0\xCE\xC4.kst");
    // A catalogue whose own name is no UTF-8.
    const std::filesystem::path oddCatalogue = m_dir.Path() / "bad\xFF\xFE.MGP";
    std::filesystem::copy_file(Catalogue(), oddCatalogue);

    const ToolRun run = Tool(Quoted(oddCatalogue.string()) + " --group G1 --connect " + Quoted(m_connection));
    EXPECT_EQ(run.exitCode, 4) << run.out << run.err;
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 5u) << run.out << run.err;
    EXPECT_EQ(lines[0].rfind("a_ok.kst  G1  PASS", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("c_dll.kst  G1  PASS", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("中文.kst  G1  PASS", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3].rfind("loop.kst  -  ERROR  -1  loop.kst: Too many levels of symbolic links", 0), 0u) << lines[3];
    EXPECT_EQ(lines[4], "3 passed, 0 failed, 1 could not run");
}

TEST_F(CheckCommandTest, CannotStartExitsWithTwo) {
    // Unknown group, unreadable or invalid catalogue, data source that cannot be opened.
    EXPECT_EQ(Tool(Args(" --group G7")).exitCode, 2);
    EXPECT_EQ(Tool(Quoted((m_dir.Path() / "missing.MGP").string()) + " --connect " + Quoted(m_connection)).exitCode, 2);
    ASSERT_TRUE(WriteFileAtomic(m_dir.Path() / "broken.MGP", "MODULE_GROUP but nothing else"));
    EXPECT_EQ(Tool(Quoted((m_dir.Path() / "broken.MGP").string()) + " --connect " + Quoted(m_connection)).exitCode, 2);
    const ToolRun noSource = Tool(Quoted(Catalogue().string()) + " --connect 'DSN=kestrel-no-such-source'");
    EXPECT_EQ(noSource.exitCode, 2);
    EXPECT_NE(noSource.err.find("Data source name not found"), std::string::npos) << noSource.err;
    EXPECT_EQ(noSource.out, "");
    // Usage errors.
    EXPECT_EQ(Tool(Quoted(Catalogue().string())).exitCode, 64);
    EXPECT_EQ(Tool(Args(" --junit")).exitCode, 64);
}

TEST_F(CheckCommandTest, AReportFileThatCannotBeWrittenIsAnError) {
    const ToolRun run = Tool(Args(" --group G1 --csv /nonexistent-folder/out.csv"));
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_NE(run.err.find("/nonexistent-folder/out.csv"), std::string::npos);
}
// Each report as the readers that CI and people use take it: alone on stdout, UTF-8 whatever
// the database holds, a carriage return kept, one kind of message attribute for every result.
TEST_F(CheckCommandTest, ReportsReadAsTheyAreByReadersNobodyHereWrote) {
    testsupport::WriteCatalogue(Catalogue(), {{"G5", Gbk("编码组")}});
    const std::vector<VariableRow> user = {Row("UserID", kImport, kInt, "7")};
    // 深圳 in GBK, as a legacy database holds it; bytes that are neither; a carriage return.
    SaveModule("h1_gbk.kst", "G5", kSqlModule, "INSERT INTO KSTError VALUES ([?:UserID], 2, CAST(X'C9EEDBDA' AS TEXT))",
               user);
    SaveModule("h2_bytes.kst", "G5", kSqlModule, "INSERT INTO KSTError VALUES ([?:UserID], 2, CAST(X'41FF42' AS TEXT))",
               user);
    SaveModule("h3_cr.kst", "G5", kSqlModule, "INSERT INTO KSTError VALUES ([?:UserID], 2, 'a' || char(13) || 'b')",
               user);
    SaveModule("h4_dll.kst", "G5", kDllModule, "./libtest_modules.so,ReturnFive", {});
    SaveModule("h5_empty.kst", "G5", kSqlModule, "INSERT INTO KSTError VALUES ([?:UserID], 11, '')", user);

    const ToolRun junit = Tool(Args(" --junit -"));
    EXPECT_EQ(junit.exitCode, 1) << junit.err;
    EXPECT_EQ(junit.out.rfind("<?xml", 0), 0u) << junit.out; // nothing but the report
    EXPECT_NE(junit.err.find("h1_gbk.kst  G5  FAIL  2  Error code:2 深圳  "), std::string::npos) << junit.err;
    EXPECT_NE(junit.err.find("0 passed, 5 failed, 0 could not run"), std::string::npos) << junit.err;
    EXPECT_NE(junit.out.find("<failure message=\"Error code:2 深圳\""), std::string::npos) << junit.out;
    EXPECT_NE(junit.out.find("<failure message=\"Error code:2 A\\xFFB\""), std::string::npos) << junit.out;
    EXPECT_NE(junit.out.find(">Error code:2\na&#13;b</failure>"), std::string::npos) << junit.out;
    EXPECT_NE(junit.out.find("<failure message=\"Error code:5\" type=\"5\""), std::string::npos) << junit.out;
    EXPECT_NE(junit.out.find("<failure message=\"Error code:11\" type=\"11\""), std::string::npos) << junit.out;
    const ToolRun json = Tool(Args(" --json -"));
    EXPECT_EQ(json.out.rfind("{", 0), 0u) << json.out;
    EXPECT_NE(json.err.find("0 passed, 5 failed, 0 could not run"), std::string::npos) << json.err;
    const ToolRun csv = Tool(Args(" --csv -"));
    EXPECT_EQ(csv.out.rfind("file,group,result,code,message,seconds\r\n", 0), 0u) << csv.out;
    EXPECT_NE(csv.out.find("h1_gbk.kst,G5,FAIL,2,\"Error code:2\n深圳\","), std::string::npos) << csv.out;
    for (const std::string* text : {&junit.out, &junit.err, &csv.out, &csv.err})
        EXPECT_TRUE(IsValidUtf8(*text)) << *text;
}

// A run that checks nothing must not leave yesterday's reports to be published as today's.
TEST_F(CheckCommandTest, ARunThatChecksNothingStillWritesItsReports) {
    const std::filesystem::path junit = m_dir.Path() / "out.xml";
    const std::filesystem::path csv = m_dir.Path() / "out.csv";
    const std::filesystem::path json = m_dir.Path() / "out.json";
    const std::string reports =
        " --junit " + Quoted(junit.string()) + " --csv " + Quoted(csv.string()) + " --json " + Quoted(json.string());
    for (const auto& [extra, code] : {std::pair<std::string, int>{" --group G7", 2}, {" --group G0", 5}}) {
        ASSERT_TRUE(WriteFileAtomic(junit, "yesterday"));
        ASSERT_TRUE(WriteFileAtomic(csv, "yesterday"));
        ASSERT_TRUE(WriteFileAtomic(json, "yesterday"));
        if (code == 5)
            testsupport::WriteCatalogue(Catalogue(), {{"G0", Gbk("空组")}});
        const ToolRun run = Tool(Args(extra + reports));
        EXPECT_EQ(run.exitCode, code) << run.err;
        EXPECT_NE(run.err.find("out.xml: written without module results"), std::string::npos) << run.err;
        EXPECT_EQ(ReadText(csv), "file,group,result,code,message,seconds\r\n");
        EXPECT_FALSE(std::filesystem::exists(json)); // a results file without results would read as a run
        EXPECT_NE(run.err.find("out.json: removed"), std::string::npos) << run.err;
        const std::string xml = ReadText(junit);
        if (code == 2) {
            EXPECT_NE(xml.find(R"(tests="1" failures="0" errors="1")"), std::string::npos) << xml;
            EXPECT_NE(xml.find("<error message=\"no group G7 in "), std::string::npos) << xml;
        } else {
            EXPECT_NE(xml.find(R"(<testsuites name="audit.MGP" tests="0" failures="0" errors="0" skipped="0")"),
                      std::string::npos)
                << xml;
        }
    }
}
#endif

// The shards of a CI run: what each writes, what the merge makes of them.
class ShardedCheckTest : public CheckCommandTest {
protected:
    std::string Path(const std::string& name) const { return Quoted((m_dir.Path() / name).string()); }
    // Check lines and reports apart from the seconds.
    static std::string WithoutTimes(const std::string& text) {
        return std::regex_replace(std::regex_replace(text, std::regex(R"(time="\d+\.\d{3}")"), "time=\"\""),
                                  std::regex(R"(,\d+\.\d{3}\r\n)"), ",\r\n");
    }
};

TEST_F(ShardedCheckTest, ShardsMergedEqualTheUnshardedRun) {
    const ToolRun whole =
        Tool(Args(" --junit " + Path("whole.xml") + " --csv " + Path("whole.csv") + " --json " + Path("whole.json")));
    ASSERT_EQ(whole.exitCode, 4) << whole.out << whole.err;
    std::string shards;
    std::size_t lines = 0;
    for (int k = 1; k <= 3; ++k) {
        const std::string json = "shard-" + std::to_string(k) + ".json";
        const ToolRun shard = Tool(Args(" --shard " + std::to_string(k) + "/3 --json " + Path(json)));
        EXPECT_TRUE(shard.exitCode == 0 || shard.exitCode == 1 || shard.exitCode == 4) << shard.out << shard.err;
        lines += Lines(shard.out).size() - (shard.out.empty() ? 0 : 1);
        shards += " " + Path(json);
    }
    EXPECT_EQ(lines, 5u); // every module once
    const ToolRun merged = Tool(shards + " --junit " + Path("merged.xml") + " --csv " + Path("merged.csv") +
                                    " --json " + Path("merged.json"),
                                {}, "merge");
    EXPECT_EQ(merged.exitCode, 4) << merged.out << merged.err;
    EXPECT_NE(merged.out.find("2 passed, 1 failed, 2 could not run"), std::string::npos) << merged.out;
    EXPECT_EQ(WithoutTimes(ReadText(m_dir.Path() / "merged.xml")), WithoutTimes(ReadText(m_dir.Path() / "whole.xml")));
    EXPECT_EQ(WithoutTimes(ReadText(m_dir.Path() / "merged.csv")), WithoutTimes(ReadText(m_dir.Path() / "whole.csv")));

    // The results file keeps every fact: plan with digests and shards, rows, the catalogue.
    const std::string json = ReadText(m_dir.Path() / "shard-1.json");
    EXPECT_NE(json.find("\"format\": \"kestrel-check-results\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"version\": 1"), std::string::npos);
    EXPECT_TRUE(std::regex_search(json, std::regex(R"("sha256": "[0-9a-f]{64}")"))) << json;
    EXPECT_NE(json.find("\"split\": \"hash\""), std::string::npos);
    const std::string all = ReadText(m_dir.Path() / "whole.json");
    EXPECT_NE(all.find("\"codeText\": \"3\""), std::string::npos) << all;
    EXPECT_NE(all.find("中文错误"), std::string::npos);
    EXPECT_NE(all.find("\"shard\": null"), std::string::npos);

    // The plan without connecting: a connection string that could never open.
    const ToolRun list = Tool(Quoted(Catalogue().string()) + " --list --durations " + Path("whole.json"));
    EXPECT_EQ(list.exitCode, 0) << list.err;
    const std::vector<std::string> listed = Lines(list.out);
    ASSERT_EQ(listed.size(), 5u) << list.out;
    EXPECT_TRUE(std::regex_match(listed[0], std::regex(R"(a_ok\.kst  G1  \d+\.\d{3}s)"))) << listed[0];
    const ToolRun one = Tool(Quoted(Catalogue().string()) + " --list --module 'b_*' --module 'c_*' --exclude 'c*'");
    EXPECT_EQ(one.out, "b_bad.kst  G2\n") << one.err;
    EXPECT_EQ(Tool(Quoted(Catalogue().string()) + " --list --module 'zzz*'").exitCode, 5);
}

TEST_F(ShardedCheckTest, EmptyShardsAndShardAuto) {
    // Five modules over seven shards: some get none, say so and still write their results.
    int empty = 0;
    std::string files;
    for (int k = 1; k <= 7; ++k) {
        const std::string json = "s" + std::to_string(k) + ".json";
        const ToolRun shard = Tool(Args(" --shard=" + std::to_string(k) + "/7 --json " + Path(json)));
        if (shard.out.empty()) {
            ++empty;
            EXPECT_EQ(shard.exitCode, 0) << shard.err;
            EXPECT_NE(shard.err.find("shard " + std::to_string(k) + "/7: no module of the 5 planned"),
                      std::string::npos)
                << shard.err;
        }
        files += " " + Path(json);
    }
    EXPECT_GT(empty, 0);
    EXPECT_EQ(Tool(files, {}, "merge").exitCode, 4); // the two that could not run
    const ToolRun missing = Tool(Args(" --shard auto"), "CI_NODE_TOTAL=4");
    EXPECT_EQ(missing.exitCode, 64);
    EXPECT_NE(missing.err.find("CI_NODE_INDEX"), std::string::npos) << missing.err;
    const ToolRun fromCi =
        Tool(Quoted(Catalogue().string()) + " --list --shard auto", "CI_NODE_INDEX=1 CI_NODE_TOTAL=1");
    EXPECT_EQ(Lines(fromCi.out).size(), 5u) << fromCi.err;
    EXPECT_EQ(Tool(Args(" --shard 5/4")).exitCode, 64);
}

TEST_F(ShardedCheckTest, MergeRefusesWhatDoesNotBelongTogether) {
    for (int k = 1; k <= 2; ++k)
        Tool(Args(" --shard " + std::to_string(k) + "/2 --json " + Path("s" + std::to_string(k) + ".json")));
    const std::string s1 = ReadText(m_dir.Path() / "s1.json");
    const std::string s2 = ReadText(m_dir.Path() / "s2.json");
    ASSERT_FALSE(s1.empty());
    ASSERT_FALSE(s2.empty());
    auto merge = [&](const std::string& files) { return Tool(files, {}, "merge"); };

    ToolRun run = merge(Path("s1.json") + " " + Path("s1.json"));
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("given twice"), std::string::npos) << run.err;
    std::filesystem::copy_file(m_dir.Path() / "s1.json", m_dir.Path() / "copy.json");
    run = merge(Path("s1.json") + " " + Path("copy.json"));
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("shard 1/2 given twice"), std::string::npos) << run.err;
    // A file whose shard was changed by hand: its modules are in two shards.
    const std::string forged = std::regex_replace(s1, std::regex(R"("index": 1)"), "\"index\": 2");
    ASSERT_TRUE(WriteFileAtomic(m_dir.Path() / "forged.json", forged));
    run = merge(Path("s1.json") + " " + Path("forged.json"));
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find(": in two shards, "), std::string::npos) << run.err;
    // Another catalogue; another plan of the same catalogue.
    Tool(Quoted(Catalogue().string()) + " --connect " + Quoted(m_connection) + " --group G1 --shard 2/2 --json " +
         Path("other-plan.json"));
    run = merge(Path("s1.json") + " " + Path("other-plan.json"));
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find(": their plans "), std::string::npos) << run.err;
    testsupport::WriteCatalogue(Catalogue(), {{"G1", Gbk("通过组")}, {"G2", Gbk("另一个")}});
    Tool(Args(" --shard 2/2 --json " + Path("other-catalogue.json")));
    run = merge(Path("s1.json") + " " + Path("other-catalogue.json"));
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("different catalogues"), std::string::npos) << run.err;
    ASSERT_TRUE(WriteFileAtomic(m_dir.Path() / "junk.json", "{\"format\": \"something else\"}"));
    EXPECT_EQ(merge(Path("s1.json") + " " + Path("junk.json")).exitCode, 2);
    EXPECT_EQ(merge(Path("s1.json") + " " + Path("nowhere.json")).exitCode, 2);

    // The silent hole: a shard that never reported.
    run = merge(Path("s1.json") + " --junit " + Path("hole.xml"));
    EXPECT_EQ(run.exitCode, 4);
    const std::string expected = std::string("(shard 2/2 should have had it)");
    EXPECT_NE(run.err.find(expected), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("planned modules were reported by no shard"), std::string::npos) << run.err;
    EXPECT_NE(ReadText(m_dir.Path() / "hole.xml").find("<skipped message=\"not run\"/>"), std::string::npos);
    const ToolRun allowed = merge(Path("s1.json") + " --allow-missing");
    EXPECT_NE(allowed.err.find("taken as not run"), std::string::npos) << allowed.err;
    EXPECT_EQ(merge(Path("s1.json") + " " + Path("s2.json")).exitCode, 4);
}

TEST_F(ShardedCheckTest, FailedFromRerunsWhatDidNotPass) {
    ASSERT_EQ(
        Tool(Args(" --json " + Path("r.json") + " --junit " + Path("r.xml") + " --csv " + Path("r.csv"))).exitCode, 4);
    for (const char* file : {"r.json", "r.xml", "r.csv"}) {
        const ToolRun rerun = Tool(Args(std::string(" --failed-from ") + Path(file)));
        EXPECT_EQ(rerun.exitCode, 4) << file << rerun.err;
        const std::vector<std::string> lines = Lines(rerun.out);
        ASSERT_EQ(lines.size(), 4u) << file << rerun.out;
        EXPECT_EQ(lines[0].rfind("b_bad.kst  G2  FAIL", 0), 0u) << lines[0];
        EXPECT_EQ(lines[1].rfind("d_crash.kst  G2  ERROR", 0), 0u) << lines[1];
        EXPECT_EQ(lines[2].rfind("e_placeholder.kst  G2  ERROR", 0), 0u) << lines[2];
    }
    // NOTRUN too, and a module that has gone since is named and left out; globs combine.
    ASSERT_TRUE(WriteFileAtomic(m_dir.Path() / "n.csv",
                                "file,group,result,code,message,seconds\r\na_ok.kst,G1,NOTRUN,-1,not run,0.000\r\n"
                                "gone.kst,G1,FAIL,1,x,0.100\r\nc_dll.kst,G1,PASS,0,,0.1\r\n"));
    ToolRun rerun = Tool(Args(" --failed-from " + Path("n.csv")));
    EXPECT_EQ(rerun.exitCode, 0) << rerun.out << rerun.err;
    EXPECT_EQ(Lines(rerun.out).size(), 2u) << rerun.out;
    EXPECT_NE(rerun.err.find("gone.kst: did not pass"), std::string::npos) << rerun.err;
    EXPECT_EQ(Tool(Args(" --failed-from " + Path("r.json") + " --module 'd_*' --list")).out, "d_crash.kst  G2\n");
    // Nothing failed: nothing runs, and that is a success.
    ASSERT_TRUE(WriteFileAtomic(m_dir.Path() / "green.csv",
                                "file,group,result,code,message,seconds\r\na_ok.kst,G1,PASS,0,,0.1\r\n"));
    rerun = Tool(Args(" --failed-from " + Path("green.csv")));
    EXPECT_EQ(rerun.exitCode, 0);
    EXPECT_EQ(rerun.out, "0 to re-run\n");
    // A missing or unreadable file is never a reason for a full run.
    for (const std::string& bad : {Path("missing.json"), Path("."), Quoted("/dev/null")}) {
        rerun = Tool(Args(" --failed-from " + bad));
        EXPECT_EQ(rerun.exitCode, 2) << bad;
        EXPECT_EQ(rerun.out, "") << bad;
    }
}

// The GitLab example's jobs as the runner would run them: four shard jobs at once, each with
// its CI_NODE_* variables in a working copy, then the merge job over their artifacts.
TEST_F(ShardedCheckTest, TheGitLabExampleRunsAsItStands) {
    std::ifstream yml(std::string(EXAMPLES_PATH) + "/ci/gitlab-ci.yml");
    std::map<std::string, std::vector<std::string>> scripts;
    std::string job;
    bool inScript = false;
    for (std::string text; std::getline(yml, text);) {
        if (!text.empty() && text[0] != ' ' && text[0] != '#' && text.back() == ':')
            job = text.substr(0, text.size() - 1);
        else if (text == "  script:")
            inScript = true;
        else if (inScript && text.rfind("    - ", 0) == 0)
            scripts[job].push_back(text.substr(6));
        else
            inScript = false;
    }
    ASSERT_EQ(scripts["check"].size(), 2u);
    ASSERT_EQ(scripts["merge"].size(), 1u);
    auto script = [](const std::vector<std::string>& lines) {
        std::string text = "set -e\n";
        for (const std::string& l : lines)
            text += l + "\n";
        return text;
    };
    const std::filesystem::path work = m_dir.Path() / "build";
    std::filesystem::create_directories(work / "results");
    const std::string tools = std::filesystem::path(KESTREL_TOOL_PATH).parent_path().string();
    std::vector<pid_t> jobs;
    for (int k = 1; k <= 4; ++k) {
        const std::filesystem::path copy = m_dir.Path() / ("job" + std::to_string(k));
        std::filesystem::create_directory(copy);
        const std::string text = script(scripts["check"]);
        const pid_t pid = fork();
        if (pid == 0) {
            ::chdir(copy.c_str());
            ::setenv("CI_NODE_INDEX", std::to_string(k).c_str(), 1);
            ::setenv("CI_NODE_TOTAL", "4", 1);
            ::setenv("KESTREL_CATALOGUE", Catalogue().c_str(), 1);
            ::setenv("KESTREL_CONNECT", m_connection.c_str(), 1);
            ::setenv("PATH", (tools + ":/usr/bin:/bin").c_str(), 1);
            ::execl("/bin/bash", "bash", "-c", text.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        jobs.push_back(pid);
    }
    for (std::size_t k = 0; k < jobs.size(); ++k) {
        const std::optional<int> status = WaitBounded(jobs[k]);
        ASSERT_TRUE(status);
        EXPECT_EQ(WEXITSTATUS(*status), 0) << "shard job " << k + 1 << " failed";
        // The artifacts of each job, gathered for the merge job.
        const std::filesystem::path results = m_dir.Path() / ("job" + std::to_string(k + 1)) / "results";
        for (const auto& entry : std::filesystem::directory_iterator(results))
            std::filesystem::copy_file(entry.path(), work / "results" / entry.path().filename());
    }
    const std::string merge = "cd " + Quoted(work.string()) + " && PATH=" + Quoted(tools) + ":$PATH bash -c " +
                              Quoted(script(scripts["merge"])) + " >/dev/null 2>&1";
    const int status = std::system(merge.c_str());
    EXPECT_EQ(WEXITSTATUS(status), 4); // a failed pipeline: two modules could not run
    const std::string xml = ReadText(work / "results" / "check.xml");
    EXPECT_NE(xml.find(R"(<testsuites name="audit.MGP" tests="5" failures="1" errors="2" skipped="0")"),
              std::string::npos)
        << xml;
    EXPECT_FALSE(ReadText(work / "results" / "check.json").empty());

    // A hole fails the merge job too: one shard's artifacts lost.
    std::filesystem::remove(work / "results" / "shard-3.json");
    std::filesystem::remove(work / "results" / "shard-4.json");
    const std::string partial = "cd " + Quoted(work.string()) + " && PATH=" + Quoted(tools) + ":$PATH bash -c " +
                                Quoted(script(scripts["merge"])) + " >/dev/null 2>" + Quoted((work / "err").string());
    EXPECT_NE(WEXITSTATUS(std::system(partial.c_str())), 0);
}

} // namespace
} // namespace kestrel
