#include "testing/engine/ModuleTest.h"

#include "repository/ModuleFile.h"
#include "testing/runner/DllTest.h"

namespace kestrel {

ModuleUnderTest ModuleUnderTestOf(const ModuleInfoFields& fields, const std::string& sqlText,
                                  std::vector<VariableRow> rows, const std::filesystem::path& folder) {
    ModuleUnderTest module;
    module.type = fields.type;
    if (module.type == kSqlModule)
        module.sqlText = sqlText;
    module.library = fields.dllName;
    module.function = fields.function;
    module.rows = std::move(rows);
    module.folder = folder;
    return module;
}

ModuleUnderTest ModuleUnderTestOf(const ModuleRecord& record, const std::filesystem::path& folder) {
    // As the sheet shows it: a type other than DLL opens, and so runs, as an SQL module.
    return ModuleUnderTestOf(InfoFieldsOfModule(record), record.body, RowsOfModule(record), folder);
}

void ModuleTestHost::SqlPrepared(const std::string&) {}

TestOutcome ModuleTestHost::RunStep(int32_t, const std::function<TestOutcome(CancelToken&)>& work) {
    CancelToken token;
    return work(token);
}

namespace {

ModuleTestResult RunFilled(const ModuleUnderTest& module, const TestVariableTable& table, ModuleTestHost& host) {
    ModuleTestResult result;
    if (module.type != kSqlModule) {
        result.stage = TestStage::kRun;
        result.outcome = host.RunStep(module.type, [&](CancelToken& cancel) {
            DllTestRun run;
            TestOutcome outcome = run.Run(module.library, module.function, table, module.folder, cancel);
            // The runner speaks only when the function could not be called or did not return.
            outcome.reportedByModule = !outcome.cancelled && !outcome.message;
            return outcome;
        });
        return result;
    }
    const std::optional<PreparedSql> prepared = PrepareSqlTest(module.sqlText, table);
    if (!prepared) {
        result.stage = TestStage::kPlaceholders;
        return result;
    }
    host.SqlPrepared(prepared->sql);
    SqlTestSession* session = host.OpenSession(result.outcome);
    if (!session || !session->IsOpen()) {
        result.stage = TestStage::kConnection;
        result.outcome.code = -1;
        return result;
    }
    result.stage = TestStage::kRun;
    result.outcome = host.RunStep(
        module.type, [session, &prepared](CancelToken& cancel) { return session->Execute(*prepared, cancel); });
    return result;
}

} // namespace

ModuleTestResult RunModuleTest(const ModuleUnderTest& module, TestVariableTable& table, ModuleTestHost& host) {
    ModuleTestResult result;
    const FillResult filled = FillChosenVariables(table, module.rows);
    if (!filled) {
        result.outcome.message = filled.error();
    } else {
        result = RunFilled(module, table, host);
    }
    table.Release();
    if (result.outcome.cancelled)
        result.outcome.code = -1;
    return result;
}

} // namespace kestrel
