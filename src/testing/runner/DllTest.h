#pragma once
// The DLL test: the module's function runs in a child process (the module runner), so a
// crash or a hang of module code never takes the caller down.
#include "testing/CancelToken.h"
#include "testing/TestOutcome.h"
#include "testing/Variables.h"

#include <filesystem>
#include <string>

namespace kestrel {

// Name of the runner executable that DllTestRun starts.
inline constexpr char kModuleRunnerName[] = "kestrel-module-runner";

class DllTestRun {
public:
    // Runs library/function (GBK, exactly as typed) with the table, in workingDir (the module
    // folder). Blocks until the function returns, the child dies, or cancel is cancelled (the
    // child is then ended, or never started; the outcome has cancelled set).
    // Messages: "DLL:"+name+"\nLoadLibrary Fail", "["+function+"] GetProcAddress Fail",
    // "["+function+"] 运行异常终止："+signal, all with caption "Error".
    TestOutcome Run(const std::string& library, const std::string& function, const TestVariableTable& table,
                    const std::filesystem::path& workingDir, CancelToken& cancel);
    // The same without a way to cancel.
    TestOutcome Run(const std::string& library, const std::string& function, const TestVariableTable& table,
                    const std::filesystem::path& workingDir);

    // Where the runner executable lives (default: beside the running executable, else beside
    // the library this code is linked into). An empty path restores the default.
    static void SetRunnerPath(const std::filesystem::path& path);
    // The runner that Run would start now (may not exist).
    static std::filesystem::path RunnerPath();
};

} // namespace kestrel
