#include "testing/runner/DllTest.h"
#include "core/Descriptor.h"

#include "core/FixedText.h"
#include "core/Gbk.h"
#include "core/SpawnSignals.h"
#include "testing/runner/RunnerProtocol.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <vector>

extern char** environ;

namespace kestrel {

namespace {

std::mutex g_runnerPathMutex;
std::filesystem::path g_runnerPath;

const char kErrorCaption[] = "Error";
constexpr std::size_t kOutputTail = kCapturedOutputBytes;
constexpr std::size_t kMaxReply = 1 << 20;

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
    outcome.message = TestMessage{.text = std::move(text), .caption = kErrorCaption};
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

// A pipe whose ends are close-on-exec and lie above the descriptors the runner is given.
bool MakePipe(Descriptor& readEnd, Descriptor& writeEnd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    readEnd.Reset(fds[0]);
    writeEnd.Reset(fds[1]);
    for (Descriptor* end : {&readEnd, &writeEnd}) {
        if (end->Get() > runner::kSocketDescriptor)
            continue;
        const int moved = fcntl(end->Get(), F_DUPFD_CLOEXEC, 10);
        if (moved < 0)
            return false;
        end->Reset(moved);
    }
    return fcntl(readEnd.Get(), F_SETFL, O_NONBLOCK) == 0;
}

// The last kOutputTail bytes of what went through.
class OutputTail {
public:
    void Append(const char* data, std::size_t size) {
        if (size >= kOutputTail) {
            m_text.assign(data + size - kOutputTail, kOutputTail);
            return;
        }
        m_text.append(data, size);
        // Trimmed in steps, not at every read: a flood costs one copy per tail's worth.
        if (m_text.size() > 2 * kOutputTail)
            m_text.erase(0, m_text.size() - kOutputTail);
    }
    std::string Take() {
        if (m_text.size() > kOutputTail)
            m_text.erase(0, m_text.size() - kOutputTail);
        return std::move(m_text);
    }

private:
    std::string m_text;
};

// Reads what is there now, at most about budget bytes (a writer that never pauses must not
// keep the caller here); false at the end of input (or an error).
bool ReadAvailable(int fd, const std::function<void(const char*, std::size_t)>& take,
                   std::size_t budget = std::size_t(1) << 20) {
    char buffer[16384];
    for (std::size_t done = 0; done < budget;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            take(buffer, static_cast<std::size_t>(n));
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
    return true;
}

// Gathers the reply and the module's output until the runner ends. The runner is left
// unreaped (a zombie), so that its process id and group stay its own until the caller kills
// the group. Data already sent is taken; a pipe that stays open because a child of the module
// holds it is not waited for.
void Collect(pid_t pid, int socketFd, int outFd, int errFd, std::string& reply, OutputTail& out, OutputTail& err) {
    fcntl(socketFd, F_SETFL, O_NONBLOCK);
    const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    const auto takeReply = [&](const char* data, std::size_t size) {
        // A reply is a few bytes; a module that floods the socket gets no more room.
        if (reply.size() < kMaxReply)
            reply.append(data, std::min(size, kMaxReply - reply.size()));
    };
    const auto takeOut = [&](const char* data, std::size_t size) { out.Append(data, size); };
    const auto takeErr = [&](const char* data, std::size_t size) { err.Append(data, size); };
    bool socketOpen = true, outOpen = true, errOpen = true;
    siginfo_t info{};
    for (;;) {
        info = siginfo_t{};
        const int looked = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
        if ((looked == 0 && info.si_pid == pid) || (looked < 0 && errno != EINTR))
            break;
        pollfd fds[4];
        nfds_t count = 0;
        if (socketOpen)
            fds[count++] = {socketFd, POLLIN, 0};
        if (outOpen)
            fds[count++] = {outFd, POLLIN, 0};
        if (errOpen)
            fds[count++] = {errFd, POLLIN, 0};
        if (pidFd >= 0)
            fds[count++] = {pidFd, POLLIN, 0};
        // Without a process descriptor the end is noticed by looking again now and then.
        const int timeout = pidFd >= 0 ? -1 : 50;
        if (poll(fds, count, timeout) < 0 && errno != EINTR)
            break;
        if (socketOpen)
            socketOpen = ReadAvailable(socketFd, takeReply);
        if (outOpen)
            outOpen = ReadAvailable(outFd, takeOut);
        if (errOpen)
            errOpen = ReadAvailable(errFd, takeErr);
    }
    ReadAvailable(socketFd, takeReply);
    ReadAvailable(outFd, takeOut);
    ReadAvailable(errFd, takeErr);
    if (pidFd >= 0)
        close(pidFd);
}

TestOutcome Judge(const std::string& library, const std::string& function, const std::filesystem::path& workingDir,
                  const std::string& reply, int status);

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
    Descriptor parentEnd(sockets[0]);
    Descriptor childEnd(sockets[1]);
    if (childEnd.Get() <= runner::kSocketDescriptor) {
        const int moved = fcntl(childEnd.Get(), F_DUPFD_CLOEXEC, 10);
        if (moved < 0)
            return ErrorOutcome(SystemText(std::strerror(errno)));
        childEnd.Reset(moved);
    }
    // What the module prints is the module's, never the caller's own output.
    Descriptor outRead, outWrite, errRead, errWrite;
    if (!MakePipe(outRead, outWrite) || !MakePipe(errRead, errWrite))
        return ErrorOutcome(SystemText(std::strerror(errno)));

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 onto the same number would keep close-on-exec set: every source is moved above 9.
    posix_spawn_file_actions_adddup2(&actions, childEnd.Get(), runner::kSocketDescriptor);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outWrite.Get(), 1);
    posix_spawn_file_actions_adddup2(&actions, errWrite.Get(), 2);
    // Its own process group: a cancel ends the module's own children too.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    SpawnWithOwnSignals(attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    std::string runnerText = runner.string();
    std::string parentText = std::to_string(getpid());
    char* argv[] = {runnerText.data(), parentText.data(), nullptr};
    pid_t pid = 0;
    const int spawnError = posix_spawn(&pid, runner.c_str(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    childEnd.Reset();
    outWrite.Reset();
    errWrite.Reset();
    if (spawnError != 0)
        return ErrorOutcome(Utf8ToGbkLossy("无法启动模块运行程序：") + SystemText(std::strerror(spawnError)));

    std::string reply;
    OutputTail out, err;
    {
        // Armed only while the runner is not reaped yet, so its process group id cannot have been
        // reused. The whole group goes: children the module forked hold its pipes otherwise.
        ArmedStep step(cancel, [pid] { kill(-pid, SIGKILL); });
        if (!step.Started())
            kill(-pid, SIGKILL);
        runner::SendAll(parentEnd.Get(), request.Data().data(),
                        request.Data().size()); // a runner that died early is seen below
        shutdown(parentEnd.Get(), SHUT_WR);
        Collect(pid, parentEnd.Get(), outRead.Get(), errRead.Get(), reply, out, err);
        // Whatever the module started and left behind ends with it.
        kill(-pid, SIGKILL);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }

    if (cancel.IsCancelled())
        return cancelled();
    TestOutcome outcome = Judge(library, function, workingDir, reply, status);
    outcome.output = out.Take();
    outcome.errorOutput = err.Take();
    return outcome;
}

namespace {

TestOutcome Judge(const std::string& library, const std::string& function, const std::filesystem::path& workingDir,
                  const std::string& reply, int status) {
    // A runner that died by a signal never vouches for a reply: module code may have written one
    // before it crashed. A reply counts only whole and alone, from a runner that exited as a
    // runner does after sending it.
    if (WIFSIGNALED(status))
        return AbnormalEnd(function, SystemText(strsignal(WTERMSIG(status))));
    constexpr std::size_t kReplyHead = 1 + sizeof(int32_t) + sizeof(uint32_t);
    if (WIFEXITED(status) && reply.size() >= kReplyHead) {
        const auto kind = static_cast<runner::ReplyKind>(static_cast<uint8_t>(reply[0]));
        int32_t result = 0;
        std::memcpy(&result, reply.data() + 1, sizeof result);
        uint32_t detailLength = 0;
        std::memcpy(&detailLength, reply.data() + 1 + sizeof result, sizeof detailLength);
        const bool whole = reply.size() - kReplyHead == detailLength;
        const int expectedExit = kind == runner::kReturned ? 0 : 1;
        if (whole && WEXITSTATUS(status) == expectedExit) {
            const std::string detail = reply.substr(kReplyHead);
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
    }
    if (WIFEXITED(status))
        return AbnormalEnd(function, "exit " + std::to_string(WEXITSTATUS(status)));
    return AbnormalEnd(function, "?");
}

} // namespace

} // namespace kestrel
