// The DLL test: module functions built by this suite run in the runner process.
#include "testing/DllTest.h"

#include "support/Builders.h"
#include "support/Files.h"
#include "support/Text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <thread>

namespace kestrel {
namespace {

using testsupport::Gbk;
using testsupport::Row;

const std::string kModules = TEST_MODULES_PATH;

TestOutcome RunFunction(const std::string& function, const std::vector<VariableRow>& rows = {},
                        const std::string& library = kModules, const std::filesystem::path& folder = {}) {
    TestVariableTable table;
    EXPECT_TRUE(FillTestVariables(table, rows).ok);
    DllTestRun run;
    return run.Run(library, function, table, folder.empty() ? std::filesystem::temp_directory_path() : folder);
}

TEST(DllEngineTest, TheFunctionsResultIsTheOutcome) {
    const TestOutcome five = RunFunction("ReturnFive");
    EXPECT_EQ(five.code, 5);
    EXPECT_FALSE(five.message.present);
    EXPECT_EQ(RunFunction("CountEntries").code, 0);
    EXPECT_EQ(RunFunction("CountEntries",
                          {Row("A", kImport, kInt, "1"), Row("B", kImport, kInt, "2"), Row("C", kImport, kInt, "3")})
                  .code,
              3);
}

TEST(DllEngineTest, EveryTestLoadsTheLibraryAfresh) {
    EXPECT_EQ(RunFunction("CountCalls").code, 1);
    EXPECT_EQ(RunFunction("CountCalls").code, 1);
}

TEST(DllEngineTest, TheTableArrivesWithItsLayoutAndBuffers) {
    EXPECT_EQ(RunFunction("ReadCharBuffer", {Row("Text", kImport, kChar, "abc", 20)}).code, 0);
    EXPECT_EQ(RunFunction("SumNumbers", {Row("B", kImport, kByte, "300"), Row("S", kImport, kShort, "-2"),
                                         Row("I", kImport, kInt, "1000"), Row("D", kImport, kDouble, "0.25")})
                  .code,
              44 - 2 + 1000 + 25);
}

TEST(DllEngineTest, WhatTheFunctionWritesIsDiscarded) {
    TestVariableTable table;
    ASSERT_TRUE(FillTestVariables(table, {Row("Keep", kImport, kChar, "abc", 8)}).ok);
    DllTestRun run;
    EXPECT_EQ(run.Run(kModules, "Scribble", table, std::filesystem::temp_directory_path()).code, 0);
    EXPECT_STREQ(table.Entries()[0].name, "Keep");
    EXPECT_STREQ(table.Entries()[0].value.text, "abc");
}

TEST(DllEngineTest, LibraryAndFunctionThatCannotBeFound) {
    const TestOutcome missing = RunFunction("ReturnFive", {}, "/nonexistent/libnothing.so");
    EXPECT_EQ(missing.code, -1);
    EXPECT_EQ(missing.message.text, "DLL:/nonexistent/libnothing.so\nLoadLibrary Fail");
    EXPECT_EQ(missing.message.caption, "Error");

    const TestOutcome empty = RunFunction("ReturnFive", {}, "");
    EXPECT_EQ(empty.message.text, "DLL:\nLoadLibrary Fail");

    const TestOutcome wrongCase = RunFunction("returnfive");
    EXPECT_EQ(wrongCase.code, -1);
    EXPECT_EQ(wrongCase.message.text, "[returnfive] GetProcAddress Fail");
    EXPECT_EQ(wrongCase.message.caption, "Error");
}

TEST(DllEngineTest, ARelativeNameIsFoundFromTheModuleFolder) {
    testsupport::TempDir folder;
    std::filesystem::copy_file(kModules, folder.Path() / "libcopy.so");
    std::ofstream(folder.Path() / "marker.txt") << "x";
    EXPECT_EQ(RunFunction("NeedsMarker", {}, "./libcopy.so", folder.Path()).code, 0);
    EXPECT_EQ(RunFunction("NeedsMarker", {}, "./libcopy.so", std::filesystem::temp_directory_path()).message.text,
              "DLL:./libcopy.so\nLoadLibrary Fail");
    // A bare name goes through the loader's search, which does not look in the folder.
    EXPECT_EQ(RunFunction("NeedsMarker", {}, "libcopy.so", folder.Path()).code, -1);
}

TEST(DllEngineTest, ACrashingFunctionLeavesTheCallerAlive) {
    const TestOutcome outcome = RunFunction("Crash");
    EXPECT_EQ(outcome.code, -1);
    EXPECT_EQ(outcome.message.caption, "Error");
    EXPECT_EQ(outcome.message.text, "[Crash] " + Gbk("运行异常终止：") + strsignal(SIGSEGV));
    EXPECT_FALSE(outcome.cancelled);
}

TEST(DllEngineTest, AFunctionThatNeverReturnsCanBeCancelled) {
    TestVariableTable table;
    DllTestRun run;
    CancelToken cancel;
    TestOutcome outcome;
    std::thread worker([&] { outcome = run.Run(kModules, "NeverReturns", table, "/", cancel); });
    // Once armed, the runner process exists: the cancel has to end it.
    cancel.WaitUntilArmed();
    cancel.Cancel();
    worker.join();
    EXPECT_TRUE(outcome.cancelled);
    EXPECT_EQ(outcome.code, -1);
    EXPECT_FALSE(outcome.message.present);
    // The same run object serves the next test.
    EXPECT_EQ(run.Run(kModules, "ReturnFive", table, "/").code, 5);
}

TEST(DllEngineTest, ACancelBeforeTheRunStartsIsKept) {
    TestVariableTable table;
    DllTestRun run;
    CancelToken cancel;
    cancel.Cancel();
    // Had the run started the module, it would never return.
    const TestOutcome outcome = run.Run(kModules, "NeverReturns", table, "/", cancel);
    EXPECT_TRUE(outcome.cancelled);
    EXPECT_EQ(outcome.code, -1);
    EXPECT_FALSE(outcome.message.present);
    // The token stays cancelled: a second run with it does not start either.
    EXPECT_TRUE(run.Run(kModules, "ReturnFive", table, "/", cancel).cancelled);
}

TEST(DllEngineTest, SampleModuleChecksItsVariables) {
    VariableRow account = Row("Account", kImport, kChar, Gbk("现金"), 16);
    EXPECT_EQ(RunFunction("SampleAudit", {Row("Amount", kImport, kInt, "10"), account}, SAMPLE_MODULE_PATH).code, 0);
    EXPECT_EQ(RunFunction("SampleAudit", {Row("Amount", kImport, kInt, "-1"), account}, SAMPLE_MODULE_PATH).code, 2);
    EXPECT_EQ(RunFunction("SampleAudit", {Row("Amount", kImport, kInt, "1"), Row("Account", kImport, kChar, "", 16)},
                          SAMPLE_MODULE_PATH)
                  .code,
              3);
    EXPECT_EQ(RunFunction("SampleAudit", {}, SAMPLE_MODULE_PATH).code, 1);
}

TEST(DllEngineTest, MissingRunnerIsReported) {
    DllTestRun::SetRunnerPath("/nonexistent/kestrel-module-runner");
    const TestOutcome outcome = RunFunction("ReturnFive");
    DllTestRun::SetRunnerPath({});
    EXPECT_EQ(outcome.code, -1);
    EXPECT_EQ(outcome.message.caption, "Error");
    EXPECT_NE(outcome.message.text.find("/nonexistent/kestrel-module-runner"), std::string::npos);
    EXPECT_EQ(RunFunction("ReturnFive").code, 5);
}

} // namespace
} // namespace kestrel
