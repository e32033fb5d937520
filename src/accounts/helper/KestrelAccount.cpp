// kestrel-account: answers "is this the right password?" about the user table, and moves the
// whole table for SA, for users who may not read the table themselves. Installed set-group-ID
// "kestrel", the one group that may read the table; it never shows the table to anyone who has
// not given SA's password, and says nothing about why a check failed.
//
//   kestrel-account check NAME   password on stdin; 0 when it matches, 1 when not
//   kestrel-account read         SA's password on stdin; the table's bytes on stdout
//   kestrel-account write        SA's password on stdin, then the new table's bytes
//
// Exit 2: the table cannot be read or is damaged, or the write failed (one line on stderr).
// Exit 3: misused, or not installed as it must be.
#include "accounts/UserTable.h"
#include "core/AtomicFile.h"
#include "core/FixedText.h"

#include <grp.h>
#include <sys/auxv.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <string>

using namespace kestrel;

namespace {

constexpr int kYes = 0, kNo = 1, kUnreadable = 2, kRefused = 3;
// As pam_faildelay does: a wrong guess costs two seconds.
constexpr int kFailDelaySeconds = 2;
constexpr std::size_t kPasswordBytes = sizeof(UserRecord::password) - 1;

[[noreturn]] void Exit(int code, const std::string& line = {}) {
    if (!line.empty())
        std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    std::exit(code);
}

[[noreturn]] void NoMatch() {
    timespec left{kFailDelaySeconds, 0};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    Exit(kNo);
}

// Nothing of the caller's surroundings may steer a program that runs with another group's
// rights: no environment, no core file with the table in it, and descriptors 0 to 2 taken, so
// that no file it opens becomes its standard output by accident.
void Harden() {
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) < 0 && ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd)
            std::_Exit(kRefused);
    ::clearenv();
    ::umask(077);
}

// The table is "kestrel.usr" beside the helper itself, as the plug-in finds it beside the
// programs (in the installed copy a link into the state folder). The helper's own place is the
// kernel's, never argv[0]. With another group's rights that place must be root's alone: the
// program root-owned and set-group-ID to the group it runs as, its folder root-owned and
// writable by nobody else, so that no user can put a table of their own beside it. Installed,
// the group must be "kestrel" and the program must run with it.
std::filesystem::path TablePath() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        Exit(kRefused, "kestrel-account: cannot find itself");
    const std::filesystem::path folder = self.parent_path();
    const bool installed = folder == std::filesystem::path(KESTREL_INSTALLED_PROGRAM_FOLDER);
    const bool elevated = ::getauxval(AT_SECURE) != 0;
    if (installed || elevated) {
        struct stat program {
        }, place{};
        if (::stat(self.c_str(), &program) != 0 || ::stat(folder.c_str(), &place) != 0)
            Exit(kRefused, "kestrel-account: cannot examine itself");
        const group* kestrel = installed ? ::getgrnam("kestrel") : nullptr;
        if ((program.st_mode & S_ISGID) == 0 || program.st_uid != 0 || program.st_gid != ::getegid() ||
            (installed && (!kestrel || kestrel->gr_gid != program.st_gid)))
            Exit(kRefused, "kestrel-account: not installed set-group-ID kestrel");
        if (place.st_uid != 0 || (place.st_mode & (S_IWGRP | S_IWOTH)) != 0)
            Exit(kRefused, "kestrel-account: its folder is not root's alone");
    }
    return folder / kUserFileName;
}

// One line of standard input: at most the password field's bytes. A longer one can match no
// record (nullopt).
std::optional<std::string> ReadPassword() {
    std::string line;
    for (;;) {
        char c = 0;
        const ssize_t n = ::read(0, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || c == '\n')
            break;
        if (line.size() == kPasswordBytes)
            return std::nullopt;
        line.push_back(c);
    }
    return line;
}

std::string ReadRest() {
    std::string bytes;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(0, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return bytes;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > kMaxUserFileBytes)
            Exit(kUnreadable, "new table: damaged (larger than a user table)");
    }
}

// The table, or exit 2 with the file system's error or "damaged".
std::unique_ptr<UserTable> LoadTable(const std::filesystem::path& path) {
    auto table = std::make_unique<UserTable>();
    const Result<int32_t, FileError> loaded = LoadUserTableFile(path, *table);
    if (!loaded)
        Exit(kUnreadable, loaded.error().Text());
    return table;
}

bool Admits(const UserTable& table, const std::string& name, const std::optional<std::string>& password) {
    return password && CheckLogin(table, table.count, name, *password) == LoginVerdict::kAdmitted;
}

[[noreturn]] void Usage() {
    Exit(kRefused, "usage: kestrel-account check NAME | read | write");
}

} // namespace

int main(int argc, char** argv) {
    Harden();
    if (argc < 2)
        Usage();
    const std::string command = argv[1];
    if (!((command == "check" && argc == 3) || ((command == "read" || command == "write") && argc == 2)))
        Usage();
    const std::filesystem::path path = TablePath();

    const std::optional<std::string> password = ReadPassword();
    const std::unique_ptr<UserTable> table = LoadTable(path);
    if (command == "check") {
        if (!Admits(*table, argv[2], password))
            NoMatch();
        Exit(kYes);
    }
    if (!Admits(*table, kBuiltInUser, password))
        NoMatch();

    if (command == "read") {
        // Without a table yet, the built-in one, in the bytes a save of it would have.
        const std::string bytes = UserTableBytes(*table, table->count);
        if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || std::fflush(stdout) != 0)
            Exit(kUnreadable, std::string("standard output: ") + std::strerror(errno));
        Exit(kYes);
    }

    const std::string bytes = ReadRest();
    // Only a whole table of the format takes the old one's place.
    auto parsed = std::make_unique<UserTable>();
    if (FileStatus valid = ParseUserTableBytes(*parsed, bytes); !valid)
        Exit(kUnreadable, "new table: damaged (" + valid.error().message + ")");
    if (bytes.size() != 4 + sizeof(UserRecord) * static_cast<std::size_t>(parsed->count))
        Exit(kUnreadable, "new table: damaged (longer than its count claims)");
    if (FileStatus written = WriteUserTableFile(path, bytes); !written)
        Exit(kUnreadable, written.error().Text());
    Exit(kYes);
}
