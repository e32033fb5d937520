#include "accounts/AccountHelper.h"
#include "core/Descriptor.h"

#include "core/SpawnSignals.h"
#include "core/TextRoutines.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kestrel {

namespace {

// Far above anything the helper prints: a table is at most 3,204 bytes, a message one line.
constexpr std::size_t kMaxReplyBytes = 1u << 20;

FileError Unavailable(const std::string& why) {
    return FileError::Io("unavailable (" + why + ")").About(kAccountHelperName);
}

// The helper's one line, without its end.
std::string Line(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

// The answers every command shares: 0 and 1 are the caller's, 2 is the table's error.
Result<bool, FileError> YesOrNo(const Result<HelperReply, FileError>& reply) {
    if (!reply)
        return Fail(reply.error());
    if (reply->exitCode == kHelperYes)
        return true;
    if (reply->exitCode == kHelperNo)
        return false;
    if (reply->exitCode == kHelperUnreadable)
        return Fail(FileError::Io(Line(reply->err)));
    return Fail(Unavailable("exit " + std::to_string(reply->exitCode)));
}

std::string g_loginPassword;

} // namespace

bool AccountHelperPresent() {
    return ::access(ProgramFilePath(kAccountHelperName).c_str(), X_OK) == 0;
}

Result<HelperReply, FileError> RunAccountHelper(const std::vector<std::string>& args, std::string_view input) {
    const std::string helper = ProgramFilePath(kAccountHelperName).string();
    // Its standard input is a socket, so that a helper that exits before reading all of it
    // costs the caller no SIGPIPE.
    int inPair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, inPair) != 0)
        return Fail(Unavailable(std::strerror(errno)));
    Descriptor inParent(inPair[0]), inChild(inPair[1]);
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0)
        return Fail(Unavailable(std::strerror(errno)));
    Descriptor outRead(outPipe[0]), outWrite(outPipe[1]);
    if (::pipe2(errPipe, O_CLOEXEC) != 0)
        return Fail(Unavailable(std::strerror(errno)));
    Descriptor errRead(errPipe[0]), errWrite(errPipe[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inChild.Get(), 0);
    posix_spawn_file_actions_adddup2(&actions, outWrite.Get(), 1);
    posix_spawn_file_actions_adddup2(&actions, errWrite.Get(), 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    SpawnWithOwnSignals(attributes);
    std::vector<std::string> words{helper};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    char* environment[] = {nullptr};
    pid_t pid = 0;
    const int spawnError = ::posix_spawn(&pid, helper.c_str(), &actions, &attributes, argv.data(), environment);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    inChild.Reset();
    outWrite.Reset();
    errWrite.Reset();
    if (spawnError != 0)
        return Fail(Unavailable(std::strerror(spawnError)));

    // The input is a line and a table, far below a socket's buffer; a helper that stops reading
    // early has its answer already.
    while (!input.empty()) {
        const ssize_t n = ::send(inParent.Get(), input.data(), input.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        input.remove_prefix(static_cast<std::size_t>(n));
    }
    ::shutdown(inParent.Get(), SHUT_WR);

    HelperReply reply;
    pollfd fds[2] = {{outRead.Get(), POLLIN, 0}, {errRead.Get(), POLLIN, 0}};
    std::string* sinks[2] = {&reply.out, &reply.err};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                fds[i].fd = -1;
                --open;
                continue;
            }
            if (sinks[i]->size() < kMaxReplyBytes)
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status))
        return Fail(Unavailable(WIFSIGNALED(status) ? std::string(strsignal(WTERMSIG(status))) : "ended"));
    reply.exitCode = WEXITSTATUS(status);
    if (reply.exitCode == kHelperRefused)
        return Fail(Unavailable(reply.err.empty() ? "refused" : Line(reply.err)));
    return reply;
}

Result<bool, FileError> CheckLoginThroughHelper(const std::string& name, const std::string& password) {
    return YesOrNo(RunAccountHelper({"check", name}, password + "\n"));
}

Result<std::optional<std::string>, FileError> ReadUsersThroughHelper(const std::string& saPassword) {
    Result<HelperReply, FileError> reply = RunAccountHelper({"read"}, saPassword + "\n");
    const Result<bool, FileError> answer = YesOrNo(reply);
    if (!answer)
        return Fail(answer.error());
    if (!*answer)
        return std::optional<std::string>();
    return std::optional<std::string>(std::move(reply->out));
}

Result<bool, FileError> WriteUsersThroughHelper(const std::string& saPassword, std::string_view bytes) {
    std::string input = saPassword + "\n";
    input.append(bytes);
    return YesOrNo(RunAccountHelper({"write"}, input));
}

void RememberLoginPassword(const std::string& password) {
    ForgetLoginPassword();
    g_loginPassword = password;
}

const std::string& RememberedLoginPassword() {
    return g_loginPassword;
}

void ForgetLoginPassword() {
    // Overwritten before it is let go, so that the freed memory no longer holds it.
    std::fill(g_loginPassword.begin(), g_loginPassword.end(), '\0');
    g_loginPassword.clear();
}

} // namespace kestrel
