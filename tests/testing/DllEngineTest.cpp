// The DLL test: module functions built by this suite run in the runner process.
#include "testing/runner/DllTest.h"

#include "support/Builders.h"
#include "support/Files.h"
#include "support/Results.h"
#include "support/Text.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <pthread.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kestrel {
namespace {

using testsupport::Gbk;
using testsupport::MessageOf;
using testsupport::Row;

const std::string kModules = TEST_MODULES_PATH;

TestOutcome RunFunction(const std::string& function, const std::vector<VariableRow>& rows = {},
                        const std::string& library = kModules, const std::filesystem::path& folder = {}) {
    TestVariableTable table;
    EXPECT_TRUE(FillTestVariables(table, rows));
    DllTestRun run;
    return run.Run(library, function, table, folder.empty() ? std::filesystem::temp_directory_path() : folder);
}

TEST(DllEngineTest, TheFunctionsResultIsTheOutcome) {
    const TestOutcome five = RunFunction("ReturnFive");
    EXPECT_EQ(five.code, 5);
    EXPECT_FALSE(five.message.has_value());
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
    ASSERT_TRUE(FillTestVariables(table, {Row("Keep", kImport, kChar, "abc", 8)}));
    DllTestRun run;
    EXPECT_EQ(run.Run(kModules, "Scribble", table, std::filesystem::temp_directory_path()).code, 0);
    EXPECT_STREQ(table.Entries()[0].name, "Keep");
    EXPECT_STREQ(table.Entries()[0].value.text, "abc");
}

TEST(DllEngineTest, LibraryAndFunctionThatCannotBeFound) {
    const TestOutcome missing = RunFunction("ReturnFive", {}, "/nonexistent/libnothing.so");
    EXPECT_EQ(missing.code, -1);
    EXPECT_EQ(MessageOf(missing).text, "DLL:/nonexistent/libnothing.so\nLoadLibrary Fail");
    EXPECT_EQ(MessageOf(missing).caption, "Error");

    const TestOutcome empty = RunFunction("ReturnFive", {}, "");
    EXPECT_EQ(MessageOf(empty).text, "DLL:\nLoadLibrary Fail");

    const TestOutcome wrongCase = RunFunction("returnfive");
    EXPECT_EQ(wrongCase.code, -1);
    EXPECT_EQ(MessageOf(wrongCase).text, "[returnfive] GetProcAddress Fail");
    EXPECT_EQ(MessageOf(wrongCase).caption, "Error");
}

TEST(DllEngineTest, ARelativeNameIsFoundFromTheModuleFolder) {
    testsupport::TempDir folder;
    std::filesystem::copy_file(kModules, folder.Path() / "libcopy.so");
    std::ofstream(folder.Path() / "marker.txt") << "x";
    EXPECT_EQ(RunFunction("NeedsMarker", {}, "./libcopy.so", folder.Path()).code, 0);
    EXPECT_EQ(MessageOf(RunFunction("NeedsMarker", {}, "./libcopy.so", std::filesystem::temp_directory_path())).text,
              "DLL:./libcopy.so\nLoadLibrary Fail");
    // A bare name goes through the loader's search, which does not look in the folder.
    EXPECT_EQ(RunFunction("NeedsMarker", {}, "libcopy.so", folder.Path()).code, -1);
}

TEST(DllEngineTest, ACrashingFunctionLeavesTheCallerAlive) {
    const TestOutcome outcome = RunFunction("Crash");
    EXPECT_EQ(outcome.code, -1);
    EXPECT_EQ(MessageOf(outcome).caption, "Error");
    EXPECT_EQ(MessageOf(outcome).text, "[Crash] " + Gbk("运行异常终止：") + strsignal(SIGSEGV));
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
    EXPECT_FALSE(outcome.message.has_value());
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
    EXPECT_FALSE(outcome.message.has_value());
    // The token stays cancelled: a second run with it does not start either.
    EXPECT_TRUE(run.Run(kModules, "ReturnFive", table, "/", cancel).cancelled);
}

// A module runs inside the runner and can write on its socket: what it wrote counts only when
// the runner ends as a runner does after its own reply.
TEST(DllEngineTest, AForgedReplyIsNeverBelieved) {
    const TestOutcome crashed = RunFunction("ForgeThenCrash");
    EXPECT_EQ(crashed.code, -1);
    EXPECT_EQ(MessageOf(crashed).text, "[ForgeThenCrash] " + Gbk("运行异常终止：") + strsignal(SIGKILL));
    const TestOutcome cut = RunFunction("ForgeHalfThenExit");
    EXPECT_EQ(cut.code, -1);
    EXPECT_EQ(MessageOf(cut).text, "[ForgeHalfThenExit] " + Gbk("运行异常终止：") + "exit 0");
    const TestOutcome twice = RunFunction("ForgeThenReturnFive");
    EXPECT_EQ(twice.code, -1);
    EXPECT_TRUE(twice.message.has_value());
}

TEST(DllEngineTest, TheModulesOutputIsCapturedAndOnlyItsTailKept) {
    const TestOutcome outcome = RunFunction("Flood");
    EXPECT_EQ(outcome.code, 0);
    ASSERT_EQ(outcome.output.size(), kCapturedOutputBytes);
    EXPECT_EQ(outcome.output.substr(outcome.output.size() - 5), "xEND\n");
    EXPECT_EQ(outcome.errorOutput, "complaint\n");
    EXPECT_TRUE(RunFunction("ReturnFive").output.empty());
}

namespace {

pid_t PidFromFile(const std::filesystem::path& file) {
    for (int tries = 0; tries < 3000 && !std::filesystem::exists(file); ++tries)
        ::usleep(2000);
    std::ifstream in(file);
    int pid = 0;
    in >> pid;
    return pid;
}

} // namespace

// Children of the module: those in its process group end with the run; one that left the
// group and holds the output pipes does not keep the caller waiting.
TEST(DllEngineTest, ChildrenOfTheModuleNeitherOutliveNorBlockTheRun) {
    testsupport::TempDir folder;
    EXPECT_EQ(RunFunction("ForkAndHold", {}, kModules, folder.Path()).code, 4);
    const pid_t child = PidFromFile(folder / "child.pid");
    ASSERT_GT(child, 0);
    EXPECT_TRUE(testsupport::ProcessEnded(child));

    std::filesystem::remove(folder / "child.pid");
    EXPECT_EQ(RunFunction("ForkEscapeAndHold", {}, kModules, folder.Path()).code, 6);
    const pid_t escaped = PidFromFile(folder / "child.pid");
    ASSERT_GT(escaped, 0);
    ::kill(escaped, SIGKILL);

    std::filesystem::remove(folder / "child.pid");
    EXPECT_EQ(RunFunction("ForkEscapeAndFlood", {}, kModules, folder.Path()).code, 7);
    const pid_t flooding = PidFromFile(folder / "child.pid");
    ASSERT_GT(flooding, 0);
    ::kill(flooding, SIGKILL);
}

TEST(DllEngineTest, AModuleThatStoppedItselfIsEndedByTheCancel) {
    TestVariableTable table;
    DllTestRun run;
    CancelToken cancel;
    TestOutcome outcome;
    std::thread worker([&] { outcome = run.Run(kModules, "StopItself", table, "/", cancel); });
    cancel.WaitUntilArmed();
    cancel.Cancel();
    worker.join();
    EXPECT_TRUE(outcome.cancelled);
}

// The runner dies with the process that started it, even when nobody cancels.
TEST(DllEngineTest, TheRunnerDiesWithItsCaller) {
    testsupport::TempDir folder;
    const pid_t caller = ::fork();
    if (caller == 0) {
        RunFunction("LoopAndTellPid", {}, kModules, folder.Path());
        ::_exit(0);
    }
    const pid_t runner = PidFromFile(folder / "runner.pid");
    ASSERT_GT(runner, 0);
    ::kill(caller, SIGKILL);
    ::waitpid(caller, nullptr, 0);
    EXPECT_TRUE(testsupport::ProcessEnded(runner));
    ::kill(runner, SIGKILL); // in case it did not
}

// A caller that blocks SIGTERM for itself (to handle it in order) still gets a module whose
// SIGTERM ends it.
TEST(DllEngineTest, TheModuleDoesNotInheritTheCallersBlockedSignals) {
    sigset_t term, old;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &term, &old), 0);
    const TestOutcome outcome = RunFunction("TerminateItself");
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    EXPECT_EQ(outcome.code, -1);
    EXPECT_EQ(MessageOf(outcome).text, "[TerminateItself] " + Gbk("运行异常终止：") + strsignal(SIGTERM));
}

// A caller started with its standard descriptors closed: the socket and pipes then get the
// low numbers the runner's own ends must take, and still reach it.
TEST(DllEngineTest, ACallerWithoutStandardDescriptorsStillRunsModules) {
    const int rc = testsupport::RunInChild([] {
        for (int fd = 0; fd <= 3; ++fd)
            ::close(fd);
        return RunFunction("ReturnFive").code == 5 && RunFunction("Flood").output.size() == kCapturedOutputBytes ? 0
                                                                                                                 : 1;
    });
    EXPECT_EQ(rc, 0);
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
    EXPECT_EQ(MessageOf(outcome).caption, "Error");
    EXPECT_NE(MessageOf(outcome).text.find("/nonexistent/kestrel-module-runner"), std::string::npos);
    EXPECT_EQ(RunFunction("ReturnFive").code, 5);
}

} // namespace
} // namespace kestrel
