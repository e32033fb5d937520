// The module test run as the sheet and the batch check share it: a stored module's rows, the
// order of its steps, where it stops, and the cancel handed to its long step.
#include "testing/engine/ModuleTest.h"
#include "core/FixedText.h"
#include "repository/ModuleFile.h"

#include "support/Builders.h"
#include "support/Databases.h"
#include "support/Files.h"
#include "support/Results.h"
#include "support/Text.h"

#include <gtest/gtest.h>

#include <vector>

namespace kestrel {
namespace {

using testsupport::AddVariable;
using testsupport::DllRecord;
using testsupport::Gbk;
using testsupport::MessageOf;
using testsupport::QueryOne;
using testsupport::SqlRecord;

const std::string kModules = TEST_MODULES_PATH;

// Records what the run asked of it; the session is the test's own.
class RecordingHost : public ModuleTestHost {
public:
    explicit RecordingHost(SqlTestSession* session) : m_session(session) {}

    std::vector<std::string> prepared;
    std::vector<int32_t> steps;
    int sessionRequests = 0;
    bool cancelFirst = false;
    TestOutcome refusal; // what OpenSession reports when there is no session

    void SqlPrepared(const std::string& sql) override { prepared.push_back(sql); }
    SqlTestSession* OpenSession(TestOutcome& failure) override {
        ++sessionRequests;
        if (!m_session)
            failure = refusal;
        return m_session;
    }
    TestOutcome RunStep(int32_t type, const std::function<TestOutcome(CancelToken&)>& work) override {
        steps.push_back(type);
        CancelToken token;
        if (cancelFirst)
            token.Cancel();
        return work(token);
    }

private:
    SqlTestSession* m_session;
};

class ModuleTestTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_connection = m_database.ConnectionString();
        ASSERT_EQ(testsupport::ResetErrorTable(m_connection), "");
        ASSERT_EQ(m_session.Open(m_connection).code, 0);
    }

    ModuleTestResult Run(const ModuleRecord& record, RecordingHost& host) {
        return RunModuleTest(ModuleUnderTestOf(record, m_dir.Path()), m_table, host);
    }

    testsupport::TempDir m_dir;
    testsupport::SqliteDatabase m_database;
    std::string m_connection;
    SqlTestSession m_session;
    TestVariableTable m_table;
};

TEST_F(ModuleTestTest, AStoredSqlModuleRunsWithItsStoredValues) {
    ModuleRecord record = SqlRecord("INSERT INTO KSTError VALUES ([?:UserID], 0, '[?:Who] of [?:UserID]')");
    AddVariable(record, "UserID", kImport, kInt, 4, "", "7");
    AddVariable(record, "Who", kConfig, kChar, 20, "", Gbk("张三"));
    AddVariable(record, "Rep", kReport, kChar, 20, "for [?:UserID]", "");
    RecordingHost host(&m_session);
    const ModuleTestResult result = Run(record, host);
    EXPECT_TRUE(result.Passed()) << MessageOf(result.outcome).text;
    EXPECT_EQ(result.stage, TestStage::kRun);
    EXPECT_EQ(host.prepared, (std::vector<std::string>{Gbk("INSERT INTO KSTError VALUES (7, 0, '张三 of 7')")}));
    EXPECT_EQ(host.steps, (std::vector<int32_t>{kSqlModule}));
    EXPECT_EQ(QueryOne(m_connection, "SELECT ErrorMsg FROM KSTError WHERE UserID=7"), "张三 of 7");
    // The table holds values only while the run lasts.
    EXPECT_EQ(m_table.Count(), 0);
}

TEST_F(ModuleTestTest, ABadPlaceholderStopsBeforeAnyDatabaseWork) {
    ASSERT_EQ(QueryOne(m_connection, "INSERT INTO KSTError VALUES (0, 0, 'kept')"), "");
    ModuleRecord record = SqlRecord("DELETE FROM KSTError WHERE UserID=[?:Rep]");
    AddVariable(record, "Rep", kReport, kChar, 10, "x", "");
    RecordingHost host(&m_session);
    const ModuleTestResult result = Run(record, host);
    EXPECT_EQ(result.stage, TestStage::kPlaceholders);
    EXPECT_FALSE(result.Passed());
    EXPECT_EQ(result.outcome.code, -1);
    EXPECT_FALSE(result.outcome.message.has_value()); // the sheet stays quiet here
    EXPECT_TRUE(host.prepared.empty());
    EXPECT_EQ(host.sessionRequests, 0);
    EXPECT_EQ(QueryOne(m_connection, "SELECT COUNT(*) FROM KSTError"), "1");
}

TEST_F(ModuleTestTest, AFailedFillStopsWithItsMessage) {
    ModuleRecord record = DllRecord(kModules, "ReturnFive");
    AddVariable(record, "Rep", kReport, kChar, 40, "for [?:Other]", "");
    RecordingHost host(&m_session);
    const ModuleTestResult result = Run(record, host);
    EXPECT_EQ(result.stage, TestStage::kVariables);
    EXPECT_EQ(result.outcome.code, -1);
    EXPECT_TRUE(result.outcome.message.has_value());
    EXPECT_EQ(MessageOf(result.outcome).text, Gbk("报表变量错：Rep"));
    EXPECT_EQ(MessageOf(result.outcome).caption, Gbk("错误"));
    EXPECT_TRUE(host.steps.empty());
}

TEST_F(ModuleTestTest, WithoutAConnectionTheHostsMessageIsTheOutcome) {
    RecordingHost host(nullptr);
    host.refusal.message = TestMessage{.text = "no source", .caption = ""};
    const ModuleTestResult result = Run(SqlRecord("SELECT 1"), host);
    EXPECT_EQ(result.stage, TestStage::kConnection);
    EXPECT_EQ(result.outcome.code, -1);
    EXPECT_EQ(MessageOf(result.outcome).text, "no source");
    EXPECT_EQ(host.prepared, (std::vector<std::string>{"SELECT 1"})); // prepared before connecting
    EXPECT_TRUE(host.steps.empty());
}

TEST_F(ModuleTestTest, ADllModuleGetsOnlyTheRowsWithChoices) {
    ModuleRecord record = DllRecord(kModules, "CountEntries");
    AddVariable(record, "A", kImport, kInt, 4, "", "1");
    AddVariable(record, "Loose", 0xFF, kInt, 4, "", "1");
    AddVariable(record, "B", kImport, 0xFF, 4, "", "1");
    AddVariable(record, "C", kConfig, kByte, 1, "", "1");
    RecordingHost host(&m_session);
    const ModuleTestResult result = Run(record, host);
    EXPECT_EQ(result.stage, TestStage::kRun);
    EXPECT_EQ(result.outcome.code, 2);
    EXPECT_EQ(host.steps, (std::vector<int32_t>{kDllModule}));
    EXPECT_EQ(host.sessionRequests, 0);

    // A body without a comma names no library.
    ModuleRecord bare = DllRecord(kModules, "ReturnFive");
    bare.body = "ReturnFive";
    EXPECT_EQ(MessageOf(Run(bare, host).outcome).text, "DLL:\nLoadLibrary Fail");
}

TEST_F(ModuleTestTest, ACancelBeforeTheLongStepStartsIsKept) {
    ASSERT_EQ(QueryOne(m_connection, "INSERT INTO KSTError VALUES (0, 0, 'kept')"), "");
    RecordingHost host(&m_session);
    host.cancelFirst = true;
    const ModuleTestResult sql = Run(SqlRecord("INSERT INTO KSTError VALUES (0, 0, 'ran')"), host);
    EXPECT_EQ(sql.stage, TestStage::kRun);
    EXPECT_TRUE(sql.outcome.cancelled);
    EXPECT_EQ(sql.outcome.code, -1);
    EXPECT_FALSE(sql.Passed());
    EXPECT_EQ(QueryOne(m_connection, "SELECT group_concat(ErrorMsg) FROM KSTError"), "kept");

    const ModuleTestResult dll = Run(DllRecord(kModules, "NeverReturns"), host);
    EXPECT_TRUE(dll.outcome.cancelled);
    EXPECT_EQ(dll.outcome.code, -1);
}

TEST_F(ModuleTestTest, AStoredModuleOfAnUnknownTypeRunsAsTheSheetShowsIt) {
    // The sheet opens any type but DLL as an SQL module, so the stored run is an SQL run too.
    ModuleRecord record = SqlRecord("INSERT INTO KSTError VALUES (0, 0, 'as sql')");
    record.header.type = 7;
    RecordingHost host(&m_session);
    const ModuleTestResult result = Run(record, host);
    EXPECT_TRUE(result.Passed()) << MessageOf(result.outcome).text;
    EXPECT_EQ(host.steps, (std::vector<int32_t>{kSqlModule}));
    EXPECT_EQ(QueryOne(m_connection, "SELECT ErrorMsg FROM KSTError"), "as sql");
}

} // namespace
} // namespace kestrel
