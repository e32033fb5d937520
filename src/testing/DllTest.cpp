#include "testing/DllTest.h"

#include "core/FixedText.h"
#include "core/Gbk.h"
#include "testing/RunnerProtocol.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

extern char** environ;

namespace kestrel {

namespace {

std::mutex g_runnerPathMutex;
std::filesystem::path g_runnerPath;

const char kErrorCaption[] = "Error";

// System texts (strsignal, strerror) follow the locale, which a Qt host sets from the user's
// environment: UTF-8 there, plain ASCII in the C locale.
std::string SystemText(const char* text) {
    if (!text)
        return std::string();
    return Utf8ToGbkLossy(text);
}

TestOutcome ErrorOutcome(std::string text) {
    TestOutcome outcome;
    outcome.code = -1;
    outcome.message.present = true;
    outcome.message.text = std::move(text);
    outcome.message.caption = kErrorCaption;
    return outcome;
}

TestOutcome LoadFailure(const std::string& library) {
    return ErrorOutcome("DLL:" + library + "\nLoadLibrary Fail");
}

TestOutcome AbnormalEnd(const std::string& function, const std::string& why) {
    static const std::string abnormal = Utf8ToGbkLossy("] 运行异常终止：");
    return ErrorOutcome("[" + function + abnormal + why);
}

class Writer {
public:
    void Bytes(const void* data, std::size_t size) { m_bytes.append(static_cast<const char*>(data), size); }
    template <typename T> void Value(T value) { Bytes(&value, sizeof value); }
    void Text(std::string_view text) {
        Value(static_cast<uint32_t>(text.size()));
        Bytes(text.data(), text.size());
    }
    const std::string& Data() const { return m_bytes; }

private:
    std::string m_bytes;
};

// Reads until the peer closes its end (the runner exits or is killed).
std::string ReceiveAll(int fd) {
    std::string data;
    char buffer[4096];
    for (;;) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        data.append(buffer, static_cast<std::size_t>(n));
    }
    return data;
}

std::filesystem::path FolderOfThisCode() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&FolderOfThisCode), &info) && info.dli_fname && *info.dli_fname)
        return std::filesystem::path(info.dli_fname).parent_path();
    return {};
}

std::filesystem::path DefaultRunnerPath() {
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const std::filesystem::path beside = exe.parent_path() / kModuleRunnerName;
        if (std::filesystem::exists(beside, error))
            return beside;
    }
    const std::filesystem::path folder = FolderOfThisCode();
    if (!folder.empty())
        return std::filesystem::absolute(folder, error) / kModuleRunnerName;
    return exe.parent_path() / kModuleRunnerName;
}

} // namespace

void DllTestRun::SetRunnerPath(const std::filesystem::path& path) {
    std::lock_guard lock(g_runnerPathMutex);
    g_runnerPath = path;
}

std::filesystem::path DllTestRun::RunnerPath() {
    {
        std::lock_guard lock(g_runnerPathMutex);
        if (!g_runnerPath.empty())
            return g_runnerPath;
    }
    return DefaultRunnerPath();
}

TestOutcome DllTestRun::Run(const std::string& library, const std::string& function, const TestVariableTable& table,
                            const std::filesystem::path& workingDir) {
    CancelToken never;
    return Run(library, function, table, workingDir, never);
}

TestOutcome DllTestRun::Run(const std::string& library, const std::string& function, const TestVariableTable& table,
                            const std::filesystem::path& workingDir, CancelToken& cancel) {
    auto cancelled = [] {
        TestOutcome outcome;
        outcome.cancelled = true;
        return outcome;
    };
    if (cancel.IsCancelled())
        return cancelled();
    // A body without a comma has no library name; the platform loader would hand back the
    // running program for an empty name.
    if (library.empty())
        return LoadFailure(library);

    const std::filesystem::path runner = RunnerPath();
    if (access(runner.c_str(), X_OK) != 0)
        return ErrorOutcome(Utf8ToGbkLossy("找不到模块运行程序：") + SystemText(runner.c_str()));

    // The request, built whole before the child starts.
    Writer request;
    request.Value(runner::kRequestMagic);
    request.Text(workingDir.string());
    request.Text(GbkToUtf8(library)); // file names on disk are UTF-8
    request.Text(function);
    const int32_t count = table.Count();
    request.Value(count);
    request.Bytes(table.Entries(), sizeof(TestVariable) * static_cast<std::size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        const TestVariable& entry = table.Entries()[i];
        if (entry.type != kChar)
            continue;
        const bool hasBuffer = entry.value.text != nullptr && entry.length > 0;
        request.Value(static_cast<uint8_t>(hasBuffer ? 1 : 0));
        request.Text(hasBuffer ? FixedTextView(entry.value.text, static_cast<std::size_t>(entry.length))
                               : std::string_view());
    }

    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0)
        return ErrorOutcome(SystemText(std::strerror(errno)));
    int childEnd = sockets[1];
    // dup2 onto the same number would keep close-on-exec set.
    if (childEnd == runner::kSocketDescriptor) {
        childEnd = fcntl(sockets[1], F_DUPFD_CLOEXEC, 10);
        close(sockets[1]);
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, childEnd, runner::kSocketDescriptor);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::string runnerText = runner.string();
    char* argv[] = {runnerText.data(), nullptr};
    pid_t pid = 0;
    const int spawnError = posix_spawn(&pid, runner.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(childEnd);
    const int parentEnd = sockets[0];
    if (spawnError != 0) {
        close(parentEnd);
        return ErrorOutcome(Utf8ToGbkLossy("无法启动模块运行程序：") + SystemText(std::strerror(spawnError)));
    }
    std::string reply;
    {
        // Armed only while the child is not reaped yet, so its process id cannot have been reused.
        ArmedStep step(cancel, [pid] { kill(pid, SIGKILL); });
        if (!step.Started())
            kill(pid, SIGKILL);
        runner::SendAll(parentEnd, request.Data().data(),
                        request.Data().size()); // a runner that died early is seen below
        shutdown(parentEnd, SHUT_WR);
        reply = ReceiveAll(parentEnd);
        close(parentEnd);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }

    if (cancel.IsCancelled())
        return cancelled();

    constexpr std::size_t kReplyHead = 1 + sizeof(int32_t) + sizeof(uint32_t);
    if (reply.size() >= kReplyHead) {
        const auto kind = static_cast<runner::ReplyKind>(static_cast<uint8_t>(reply[0]));
        int32_t result = 0;
        std::memcpy(&result, reply.data() + 1, sizeof result);
        uint32_t detailLength = 0;
        std::memcpy(&detailLength, reply.data() + 1 + sizeof result, sizeof detailLength);
        const std::string detail = reply.substr(kReplyHead, detailLength);
        switch (kind) {
        case runner::kReturned: {
            TestOutcome outcome;
            outcome.code = result;
            return outcome;
        }
        case runner::kLoadFailed:
            return LoadFailure(library);
        case runner::kSymbolMissing:
            return ErrorOutcome("[" + function + "] GetProcAddress Fail");
        case runner::kNoFolder:
            return ErrorOutcome(Utf8ToGbkLossy("无法进入模块目录：") + SystemText(workingDir.c_str()) + "\n" +
                                SystemText(detail.c_str()));
        case runner::kBadRequest:
            break;
        }
    }
    if (WIFSIGNALED(status))
        return AbnormalEnd(function, SystemText(strsignal(WTERMSIG(status))));
    if (WIFEXITED(status))
        return AbnormalEnd(function, "exit " + std::to_string(WEXITSTATUS(status)));
    return AbnormalEnd(function, "?");
}

} // namespace kestrel
