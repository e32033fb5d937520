#include "testing/TestSupport.h"

#include "core/Gbk.h"
#include "testing/Odbc.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace kestrel::testsupport {

namespace {
const char kPgBin[] = "/usr/lib/postgresql/15/bin";

int FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}
} // namespace

std::string Gbk(const std::string& utf8) {
    return Utf8ToGbk(utf8).value();
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrel-testing-XXXXXX").string();
    m_path = mkdtemp(pattern.data());
}

TempDir::~TempDir() {
    std::error_code error;
    std::filesystem::remove_all(m_path, error);
}

bool PostgresCluster::Available() {
    return std::filesystem::exists(std::string(kPgBin) + "/initdb") &&
           std::filesystem::exists(std::string(kPgBin) + "/pg_ctl");
}

bool PostgresCluster::Run(const std::string& command) {
    const std::string full = m_asPostgres ? "runuser -u postgres -- " + command : command;
    if (std::system((full + " >>" + (m_dir / "setup.log").string() + " 2>&1").c_str()) == 0)
        return true;
    m_failure = "failed: " + full;
    return false;
}

PostgresCluster::PostgresCluster() {
    if (!Available())
        return;
    std::string pattern = "/tmp/kestrel-pg-XXXXXX";
    m_dir = mkdtemp(pattern.data());
    m_asPostgres = geteuid() == 0 && getpwnam("postgres") != nullptr;
    if (m_asPostgres) {
        const passwd* user = getpwnam("postgres");
        if (chown(m_dir.c_str(), user->pw_uid, user->pw_gid) != 0) {
            m_failure = "cannot hand the folder to postgres";
            return;
        }
    }
    m_port = FreeLoopbackPort();
    if (m_port == 0) {
        m_failure = "no free loopback port";
        return;
    }
    const std::string data = (m_dir / "data").string();
    if (!Run(std::string(kPgBin) + "/initdb -D " + data + " -A trust -U postgres -E UTF8 --locale=C --no-sync"))
        return;
    const std::string options =
        "-p " + std::to_string(m_port) + " -k " + m_dir.string() + " -c listen_addresses=127.0.0.1 -c fsync=off";
    m_running = Run(std::string(kPgBin) + "/pg_ctl -D " + data + " -l " + (m_dir / "server.log").string() + " -o '" +
                    options + "' -w -t 60 start");
    StartReaper();
}

// A test that crashes never reaches the destructor; a small watcher process stops the server
// and removes the folder as soon as this process is gone, however it went.
void PostgresCluster::StartReaper() {
    int fds[2];
    if (pipe(fds) != 0)
        return;
    const std::string stop = (m_asPostgres ? "runuser -u postgres -- " : "") + std::string(kPgBin) + "/pg_ctl -D " +
                             (m_dir / "data").string() + " -m immediate -w stop >/dev/null 2>&1; rm -rf " +
                             m_dir.string();
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[1]);
        char byte;
        while (read(fds[0], &byte, 1) > 0) {
        }
        if (m_running)
            std::system(stop.c_str());
        else
            std::system(("rm -rf " + m_dir.string()).c_str());
        _exit(0);
    }
    close(fds[0]);
    if (pid < 0) {
        close(fds[1]);
        return;
    }
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    m_reaperPipe = fds[1];
    m_reaper = pid;
}

PostgresCluster::~PostgresCluster() {
    if (m_reaper > 0) {
        close(m_reaperPipe);
        int status = 0;
        waitpid(m_reaper, &status, 0);
        return;
    }
    if (m_running)
        Run(std::string(kPgBin) + "/pg_ctl -D " + (m_dir / "data").string() + " -m immediate -w stop");
    if (!m_dir.empty()) {
        std::error_code error;
        std::filesystem::remove_all(m_dir, error);
    }
}

std::string PostgresCluster::ConnectionString() const {
    return "Driver=PostgreSQL Unicode;Server=127.0.0.1;Port=" + std::to_string(m_port) +
           ";Database=postgres;Uid=postgres;Pwd=;";
}

std::string QueryOne(const std::string& connectionString, const std::string& sql) {
    odbc::Connection connection;
    if (odbc::Result result = connection.Connect(connectionString); !result)
        return "ERROR: " + result.Text();
    odbc::Statement statement(connection);
    if (odbc::Result result = statement.Execute(sql); !result)
        return "ERROR: " + result.Text();
    SQLSMALLINT columns = 0;
    SQLNumResultCols(statement.Handle(), &columns);
    if (columns == 0)
        return std::string();
    bool hasRow = false;
    if (odbc::Result result = statement.Fetch(hasRow); !result)
        return "ERROR: " + result.Text();
    if (!hasRow)
        return std::string();
    std::string text;
    statement.GetText(1, text);
    return text;
}

} // namespace kestrel::testsupport
