// The batch engine itself, without a program around it: the reports' XML layout, and a run's
// promise that every module of it is told exactly once, whatever stops it.
#include "core/FixedText.h"
#include "repository/Catalogue.h"
#include "repository/ModuleFile.h"
#include "testing/batch/BatchPlan.h"
#include "testing/batch/BatchReport.h"
#include "testing/batch/BatchRun.h"
#include "testing/batch/ErrorTableReach.h"
#include "testing/batch/XmlWriter.h"

#include "support/Builders.h"
#include "support/Databases.h"
#include "support/Files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <set>
#include <thread>

namespace kestrel {
namespace {

using testsupport::Row;

// The layout the reports have always had: a report of today must compare equal to one of before.
TEST(XmlWriterTest, IndentsNestsAndEscapesAsTheReportsAlwaysHave) {
    XmlWriter w;
    w.StartElement("a");
    w.Attribute("x", "<>&\"'\n\r\t z");
    w.StartElement("b");
    w.EmptyElement("p");
    w.Attribute("n", "v");
    w.EndElement();
    w.StartElement("c");
    w.Attribute("t", "1");
    w.EndElement();
    w.StartElement("d");
    w.StartElement("f");
    w.Characters("t<>&\"'\n\r\tx中");
    w.EndElement();
    w.TextElement("so", "out\n");
    w.EndElement();
    w.StartElement("e");
    w.EmptyElement("s");
    w.Attribute("m", "nr");
    w.EndElement();
    w.StartElement("g");
    w.TextElement("so", "");
    w.EndElement();
    EXPECT_EQ(w.Finish(), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<a x=\"&lt;&gt;&amp;&quot;'&#10;&#13;&#9; z\">\n"
                          "  <b>\n"
                          "    <p n=\"v\"/>\n"
                          "  </b>\n"
                          "  <c t=\"1\"/>\n"
                          "  <d>\n"
                          "    <f>t&lt;&gt;&amp;&quot;'\n&#13;\tx中</f>\n"
                          "    <so>out\n</so>\n"
                          "  </d>\n"
                          "  <e>\n"
                          "    <s m=\"nr\"/>\n"
                          "  </e>\n"
                          "  <g>\n"
                          "    <so></so>\n"
                          "  </g>\n"
                          "</a>\n");
}

TEST(XmlWriterTest, WhatXmlCannotHoldBecomesAReplacementCharacter) {
    EXPECT_EQ(XmlSafeText(std::string("a\x01"
                                      "b\x1F"
                                      "c",
                                      5)),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD"
              "c");
    EXPECT_EQ(XmlSafeText("\xEF\xBF\xBE"), "\xEF\xBF\xBD");           // U+FFFE
    EXPECT_EQ(XmlSafeText("x\xC9\xEE"), "x\xEF\xBF\xBD\xEF\xBF\xBD"); // not UTF-8
    EXPECT_EQ(XmlSafeText("\t\n\r中"), "\t\n\r中");
    XmlWriter w;
    w.EmptyElement("only");
    EXPECT_EQ(w.Finish(), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<only/>\n");
}

// Hears everything a run says, from the run's threads.
class Recorder : public BatchObserver {
public:
    void Note(const std::string& utf8) override {
        std::lock_guard lock(m_mutex);
        notes.push_back(utf8);
    }
    void Finished(std::size_t index, const ModuleResult& result) override {
        std::lock_guard lock(m_mutex);
        finished.emplace_back(index, result);
    }
    void Ended() override {
        std::lock_guard lock(m_mutex);
        ++ended;
    }
    std::vector<std::pair<std::size_t, ModuleResult>> finished;
    std::vector<std::string> notes;
    int ended = 0;

private:
    std::mutex m_mutex;
};

class BatchRunTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_database = std::make_unique<testsupport::AuditDatabase>(); }
    static void TearDownTestSuite() { s_database.reset(); }

    void SetUp() override {
        if (s_database->Missing())
            GTEST_SKIP() << s_database->MissingText();
        ASSERT_EQ(s_database->Failure(), "");
        ASSERT_EQ(testsupport::ResetErrorTable(s_database->ConnectionString()), "");
        m_catalogue = testsupport::WriteCatalogue(m_dir.Path() / "audit.MGP", {{"G1", "one"}});
        const std::vector<VariableRow> user = {Row("UserID", kImport, kInt, "7")};
        for (int i = 0; i < 6; ++i) {
            ModuleRecord record = testsupport::SqlRecord("INSERT INTO KSTError VALUES ([?:UserID], " +
                                                         std::to_string(i % 2) + ", 'm" + std::to_string(i) + "')");
            SetFieldText(record.header.groupId, "G1");
            StoreRowsInModule(record, user);
            record.fileName = "m" + std::to_string(i) + ".kst";
            ASSERT_TRUE(SaveModuleFile(record, "SA", m_dir.Path()));
        }
    }

    std::shared_ptr<const BatchPlan> Plan() {
        auto plan = PlanBatch(m_catalogue, {0}, m_dir.Path(), {});
        EXPECT_TRUE(plan);
        return std::make_shared<const BatchPlan>(std::move(plan).value());
    }

    BatchOptions Options(int jobs) const {
        BatchOptions options;
        options.connection = s_database->ConnectionString();
        options.jobs = jobs;
        return options;
    }

    static std::unique_ptr<testsupport::AuditDatabase> s_database;
    testsupport::TempDir m_dir;
    GroupCatalogue m_catalogue;
};

std::unique_ptr<testsupport::AuditDatabase> BatchRunTest::s_database;

TEST_F(BatchRunTest, EveryModuleOfTheSelectionIsToldOnceWithItsVerdict) {
    const auto plan = Plan();
    ASSERT_EQ(plan->modules.size(), 6u);
    for (int jobs : {1, 3}) {
        Recorder recorder;
        BatchRun run(plan, Options(jobs), recorder);
        ASSERT_TRUE(run.Start({5, 1, 2}));
        run.Wait();
        ASSERT_EQ(recorder.finished.size(), 3u) << jobs;
        EXPECT_EQ(recorder.ended, 1);
        std::vector<std::size_t> seen;
        for (const auto& [index, result] : recorder.finished) {
            seen.push_back(index);
            EXPECT_EQ(result.verdict, index % 2 ? Verdict::kFailed : Verdict::kPassed) << index;
        }
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(seen, (std::vector<std::size_t>{1, 2, 5}));
    }
}

TEST_F(BatchRunTest, AStoppedRunTellsTheRestAsNotRun) {
    Recorder recorder;
    BatchRun run(Plan(), Options(2), recorder);
    run.Stop();
    ASSERT_TRUE(run.Start());
    run.Wait();
    ASSERT_EQ(recorder.finished.size(), 6u);
    for (const auto& [index, result] : recorder.finished)
        EXPECT_EQ(result.verdict, Verdict::kNotRun) << index;
}

TEST_F(BatchRunTest, ARunThatCannotConnectSaysWhyAndTellsNothing) {
    Recorder recorder;
    BatchOptions options = Options(2);
    options.connection = "Driver=SQLite3;Database=" + (m_dir.Path() / "no" / "such" / "folder.db").string();
    {
        BatchRun run(Plan(), options, recorder);
        const auto started = run.Start();
        ASSERT_FALSE(started);
        EXPECT_FALSE(started.error().empty());
        EXPECT_TRUE(run.WaitFor(std::chrono::milliseconds(0)));
    }
    EXPECT_TRUE(recorder.finished.empty());
    EXPECT_EQ(recorder.ended, 0);
}

TEST_F(BatchRunTest, AnAbandonedRunEndsOnItsOwnAndSaysNothingMore) {
    auto recorder = std::make_unique<Recorder>();
    auto run = std::make_unique<BatchRun>(Plan(), Options(2), *recorder);
    ASSERT_TRUE(run->Start());
    run->Abandon();
    run.reset();
    recorder.reset(); // a run that still told it something would touch freed memory (ASan)
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

TEST_F(BatchRunTest, TheReportsOfARunCountWhatItDid) {
    const auto plan = Plan();
    Recorder recorder;
    BatchRun run(plan, Options(2), recorder);
    ASSERT_TRUE(run.Start());
    run.Wait();
    std::vector<ModuleResult> results(plan->modules.size());
    for (const auto& [index, result] : recorder.finished)
        results[index] = result;
    const std::string xml = JUnitXml("audit.MGP", *plan, results);
    EXPECT_NE(xml.find(R"(<testsuites name="audit.MGP" tests="6" failures="3" errors="0" skipped="0")"),
              std::string::npos)
        << xml;
    const std::string csv = CsvText(*plan, results);
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\r'), 7);
    BatchCounts counts;
    for (const ModuleResult& result : results)
        counts.Add(result);
    EXPECT_EQ(CountsLine(counts), "3 passed, 3 failed, 0 could not run");
}

TEST(ErrorTableReachTest, WhatWritesTheTableDirectlyOrThroughAnotherObject) {
    const std::set<std::string> reach = NamesThatReachErrorTable({
        {"Work", "BEGIN INSERT INTO main.\"KSTError\" VALUES (NEW.x, 0, 'ok'); END"},
        {"log_it", "BEGIN INSERT INTO work VALUES (1); END"},     // through the trigger on work
        {"Other", "BEGIN INSERT INTO ksterrors VALUES (1); END"}, // another table
        {"KSTError", "INSERT INTO audit_log VALUES (1)"},         // a trigger on the table itself
    });
    EXPECT_EQ(reach, (std::set<std::string>{"log_it", "work"}));
    EXPECT_TRUE(NamesAny("insert into [WORK] values (1)", reach));
    EXPECT_TRUE(NamesAny("SELECT log_it()", reach));
    EXPECT_FALSE(NamesAny("SELECT * FROM workload, log_items", reach));
    EXPECT_FALSE(NamesAny("INSERT INTO KSTError VALUES (1, 0, 'x')", reach));
}

// A module that writes a work table whose trigger writes its row passes in the sheet; the batch
// must not fail it because the trigger wrote past the session's own error table.
TEST_F(BatchRunTest, AModuleWhoseRowATriggerWritesPassesAsInTheSheet) {
    const std::string& connection = s_database->ConnectionString();
    std::vector<std::string> setup = {"DROP TABLE IF EXISTS work", "CREATE TABLE work (x INTEGER)"};
    switch (s_database->Kind()) {
    case testsupport::DatabaseKind::Sqlite:
        setup.push_back("CREATE TRIGGER work_done AFTER INSERT ON work BEGIN INSERT INTO KSTError VALUES (NEW.x, 0, "
                        "'ok'); END");
        break;
    case testsupport::DatabaseKind::Postgres:
        setup.push_back("CREATE OR REPLACE FUNCTION work_done() RETURNS trigger LANGUAGE plpgsql SET search_path = "
                        "public AS $$ BEGIN INSERT INTO KSTError VALUES (NEW.x, 0, 'ok'); RETURN NEW; END $$");
        setup.push_back("CREATE TRIGGER work_done AFTER INSERT ON work FOR EACH ROW EXECUTE FUNCTION work_done()");
        break;
    case testsupport::DatabaseKind::MariaDb:
        setup.push_back(
            "CREATE TRIGGER work_done AFTER INSERT ON work FOR EACH ROW INSERT INTO KSTError VALUES (NEW.x, "
            "0, 'ok')");
        break;
    }
    for (const std::string& sql : setup)
        ASSERT_EQ(testsupport::QueryOne(connection, sql).rfind("ERROR", 0), std::string::npos) << sql;
    const std::vector<VariableRow> user = {Row("UserID", kImport, kInt, "7")};
    for (int i = 0; i < 4; ++i) {
        ModuleRecord record = testsupport::SqlRecord("INSERT INTO work VALUES ([?:UserID])");
        SetFieldText(record.header.groupId, "G1");
        StoreRowsInModule(record, user);
        record.fileName = "t" + std::to_string(i) + ".kst";
        ASSERT_TRUE(SaveModuleFile(record, "SA", m_dir.Path()));
    }
    const auto plan = Plan();
    ASSERT_EQ(plan->modules.size(), 10u);
    Recorder recorder;
    {
        BatchRun run(plan, Options(3), recorder);
        ASSERT_TRUE(run.Start());
        run.Wait();
    }
    ASSERT_EQ(recorder.finished.size(), 10u);
    int alone = 0;
    for (const auto& [index, result] : recorder.finished) {
        const bool trigger = plan->modules[index].shown[0] == 't';
        EXPECT_EQ(result.verdict, trigger || index % 2 == 0 ? Verdict::kPassed : Verdict::kFailed)
            << plan->modules[index].shown << ": " << result.message;
        if (result.message.find("ran alone on the shared error table") != std::string::npos) {
            EXPECT_TRUE(trigger) << plan->modules[index].shown;
            ++alone;
        }
    }
    EXPECT_EQ(alone, 4);
    EXPECT_EQ(testsupport::QueryOne(connection, "DROP TABLE work").rfind("ERROR", 0), std::string::npos);
}

#define ELEVEN                                                                                                         \
    "(SELECT 1 AS i UNION ALL SELECT 2 AS i UNION ALL SELECT 3 AS i UNION ALL SELECT 4 AS i UNION ALL SELECT 5 AS i "  \
    "UNION ALL SELECT 6 AS i UNION ALL SELECT 7 AS i UNION ALL SELECT 8 AS i UNION ALL SELECT 9 AS i UNION ALL "       \
    "SELECT 10 AS i UNION ALL SELECT 11 AS i)"

// The first row decides, as in the sheet; the others are kept for the author, up to a cap.
TEST_F(BatchRunTest, EveryRowTheModuleWroteIsKeptAndAMixedVerdictSaysSo) {
    const std::vector<VariableRow> user = {Row("UserID", kImport, kInt, "7")};
    const std::pair<const char*, const char*> modules[] = {
        {"r_mixed.kst", "INSERT INTO KSTError VALUES ([?:UserID], 0, 'ok'), ([?:UserID], 5, 'V007'), "
                        "([?:UserID], 5, 'V013')"},
        // 11 × 11 × 11 rows, more than are kept.
        {"r_many.kst", "INSERT INTO KSTError SELECT [?:UserID], 1, 'x' FROM " ELEVEN " a, " ELEVEN " b, " ELEVEN " c"},
    };
    m_catalogue = testsupport::WriteCatalogue(m_dir.Path() / "audit.MGP", {{"G2", "rows"}});
    for (const auto& [name, sql] : modules) {
        ModuleRecord record = testsupport::SqlRecord(sql);
        SetFieldText(record.header.groupId, "G2");
        StoreRowsInModule(record, user);
        record.fileName = name;
        ASSERT_TRUE(SaveModuleFile(record, "SA", m_dir.Path()));
    }
    const auto plan = Plan();
    ASSERT_EQ(plan->modules.size(), 2u);
    Recorder recorder;
    {
        BatchRun run(plan, Options(1), recorder);
        ASSERT_TRUE(run.Start());
        run.Wait();
    }
    std::vector<ModuleResult> results(2);
    for (const auto& [index, result] : recorder.finished)
        results[index] = result;
    const ModuleResult& many = results[0]; // "r_many" before "r_mixed"
    const ModuleResult& mixed = results[1];
    EXPECT_EQ(mixed.verdict, Verdict::kPassed) << mixed.message;
    EXPECT_EQ(mixed.message, "另有 2 行错误代码非 0");
    ASSERT_EQ(mixed.rows.size(), 3u);
    EXPECT_EQ(mixed.rows[2].code, 5);
    EXPECT_EQ(mixed.rows[2].message, "V013");
    EXPECT_EQ(many.verdict, Verdict::kFailed);
    EXPECT_EQ(many.rows.size(), kErrorRowsKept);
    EXPECT_TRUE(many.rowsCut);
    EXPECT_EQ(many.message, "Error code:1\nx"); // all of one kind: nothing to add

    const std::string xml = JUnitXml("audit.MGP", *plan, results);
    EXPECT_NE(xml.find("<system-out>rows written for the user (3):\n0: ok\n5: V007\n5: V013\n</system-out>"),
              std::string::npos)
        << xml;
    EXPECT_NE(xml.find("rows written for the user (1000 kept, more were written):"), std::string::npos);
}

} // namespace
} // namespace kestrel
