#pragma once
// The DLL test: the module's function runs in a child process (the module runner), so a
// crash or a hang of module code never takes the caller down.
#include "testing/TestOutcome.h"
#include "testing/Variables.h"

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>

namespace kestrel {

// Name of the runner executable that DllTestRun starts.
inline constexpr char kModuleRunnerName[] = "kestrel-module-runner";

class DllTestRun {
public:
    // Runs library/function (GBK, exactly as typed) with the table, in workingDir (the module
    // folder). Blocks until the function returns, the child dies, or Cancel is called.
    // Messages: "DLL:"+name+"\nLoadLibrary Fail", "["+function+"] GetProcAddress Fail",
    // "["+function+"] 运行异常终止："+signal, all with caption "Error".
    TestOutcome Run(const std::string& library, const std::string& function, const TestVariableTable& table,
                    const std::filesystem::path& workingDir);
    // Ends the child; Run then returns with cancelled set. Safe from any thread.
    void Cancel();

    // Where the runner executable lives (default: beside the running executable, else beside
    // the library this code is linked into). An empty path restores the default.
    static void SetRunnerPath(const std::filesystem::path& path);
    // The runner that Run would start now (may not exist).
    static std::filesystem::path RunnerPath();

private:
    std::mutex m_childMutex; // guards m_childPid against reuse of a reaped process id
    std::atomic<int> m_childPid{0};
    std::atomic<bool> m_cancelled{false};
};

} // namespace kestrel
