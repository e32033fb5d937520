#pragma once
// One test run of a module: the variables filled, the placeholders checked and substituted,
// the SQL or the module function run, the table released. The property sheet and
// kestrel-tool check both run it; what differs between them (windows, the data source, the
// clipboard, progress and cancel) comes in through ModuleTestHost.
#include "repository/ModuleFile.h"
#include "testing/CancelToken.h"
#include "testing/TestOutcome.h"
#include "testing/Variables.h"
#include "testing/db/SqlTest.h"

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace kestrel {

// What one run tests, taken from the sheet's pages and grid or from a stored module.
struct ModuleUnderTest {
    int32_t type = 0;     // ModuleType
    std::string sqlText;  // SQL modules, GBK
    std::string library;  // DLL modules, GBK, exactly as typed
    std::string function; // DLL modules
    // Every variable row in order; rows whose attribute or type has nothing chosen stay out.
    std::vector<VariableRow> rows;
    std::filesystem::path folder; // working directory of a DLL module function
};

// What the sheet's pages and grid hold: the basic page's type and DLL fields, the SQL page's
// text (used for an SQL module only), the grid's rows.
ModuleUnderTest ModuleUnderTestOf(const ModuleInfoFields& fields, const std::string& sqlText,
                                  std::vector<VariableRow> rows, const std::filesystem::path& folder);
// A stored module as the tool tests it: what the sheet shows when it opens the module.
ModuleUnderTest ModuleUnderTestOf(const ModuleRecord& record, const std::filesystem::path& folder);

// How far a run got.
enum class TestStage {
    kVariables,    // filling the table failed; the outcome's message (if any) says why
    kPlaceholders, // the SQL names a variable that cannot be substituted; no message
    kConnection,   // no open connection; the host's message (if any)
    kRun,          // the SQL or the module function ran (or was cancelled)
};

struct ModuleTestResult {
    TestStage stage = TestStage::kVariables;
    TestOutcome outcome;
    bool Passed() const { return stage == TestStage::kRun && outcome.code == 0 && !outcome.cancelled; }
};

class ModuleTestHost {
public:
    virtual ~ModuleTestHost() = default;
    // The substituted SQL, before any database work.
    virtual void SqlPrepared(const std::string& sql);
    // The connection for the SQL run, opened if need be; nullptr when there is none (failure
    // then holds what to show, if anything).
    virtual SqlTestSession* OpenSession(TestOutcome& failure) = 0;
    // Runs the long step of the run (type: ModuleType). The token handed to work is made before
    // work starts; a cancel through it is never lost. The default runs work here, uncancelled.
    virtual TestOutcome RunStep(int32_t type, const std::function<TestOutcome(CancelToken&)>& work);
};

// One run with table, which holds the variables during the run and is released at its end.
ModuleTestResult RunModuleTest(const ModuleUnderTest& module, TestVariableTable& table, ModuleTestHost& host);

} // namespace kestrel
