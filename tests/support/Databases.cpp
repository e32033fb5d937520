#include "support/Databases.h"

#include "testing/Odbc.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace kestrel::testsupport {

namespace {

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

bool HasServer(const std::filesystem::path& bin) {
    std::error_code ec;
    return !bin.empty() && std::filesystem::exists(bin / "initdb", ec) && std::filesystem::exists(bin / "pg_ctl", ec);
}

std::filesystem::path PgConfigBinDir() {
    FILE* pipe = popen("pg_config --bindir 2>/dev/null", "r");
    if (!pipe)
        return {};
    char line[4096] = {};
    const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
    pclose(pipe);
    std::string dir = read ? line : "";
    while (!dir.empty() && (dir.back() == '\n' || dir.back() == '\r'))
        dir.pop_back();
    return dir;
}

// Debian keeps each major version in /usr/lib/postgresql/<version>/bin.
std::filesystem::path NewestInstalledBinDir() {
    std::error_code ec;
    std::vector<std::pair<int, std::filesystem::path>> found;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
        const std::string version = entry.path().filename().string();
        char* end = nullptr;
        const long major = std::strtol(version.c_str(), &end, 10);
        if (end != version.c_str() && HasServer(entry.path() / "bin"))
            found.emplace_back(static_cast<int>(major), entry.path() / "bin");
    }
    if (found.empty())
        return {};
    return std::max_element(found.begin(), found.end())->second;
}

} // namespace

const std::filesystem::path& PostgresCluster::BinDir() {
    static const std::filesystem::path dir = [] {
        if (std::filesystem::path configured = PgConfigBinDir(); HasServer(configured))
            return configured;
        return NewestInstalledBinDir();
    }();
    return dir;
}

std::string PostgresCluster::Program(const char* name) const {
    return (BinDir() / name).string();
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
    if (!mkdtemp(pattern.data())) {
        m_failure = "cannot make the cluster's folder";
        return;
    }
    m_dir = pattern;
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
    if (!Run(Program("initdb") + " -D " + data + " -A trust -U postgres -E UTF8 --locale=C --no-sync"))
        return;
    const std::string options =
        "-p " + std::to_string(m_port) + " -k " + m_dir.string() + " -c listen_addresses=127.0.0.1 -c fsync=off";
    m_running = Run(Program("pg_ctl") + " -D " + data + " -l " + (m_dir / "server.log").string() + " -o '" + options +
                    "' -w -t 60 start");
    StartReaper();
}

// A test that crashes never reaches the destructor; a small watcher process stops the server
// and removes the folder as soon as this process is gone, however it went.
void PostgresCluster::StartReaper() {
    int fds[2];
    if (pipe(fds) != 0)
        return;
    const std::string stop = (m_asPostgres ? "runuser -u postgres -- " : "") + Program("pg_ctl") + " -D " +
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
        Run(Program("pg_ctl") + " -D " + (m_dir / "data").string() + " -m immediate -w stop");
    if (!m_dir.empty()) {
        std::error_code error;
        std::filesystem::remove_all(m_dir, error);
    }
}

std::string PostgresCluster::ConnectionString() const {
    return "Driver=PostgreSQL Unicode;Server=127.0.0.1;Port=" + std::to_string(m_port) +
           ";Database=postgres;Uid=postgres;Pwd=;";
}

AuditDatabase::AuditDatabase(bool postgres) : m_postgres(postgres) {
    if (postgres) {
        m_cluster = std::make_unique<PostgresCluster>();
        m_connection = m_cluster->ConnectionString();
    } else {
        m_sqlite = std::make_unique<SqliteDatabase>();
        m_connection = m_sqlite->ConnectionString();
    }
}

AuditDatabase::~AuditDatabase() = default;

std::string AuditDatabase::Failure() const {
    if (!m_cluster || m_cluster->Running())
        return std::string();
    return m_cluster->Failure().empty() ? std::string("the PostgreSQL cluster is not running") : m_cluster->Failure();
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

std::string ResetErrorTable(const std::string& connectionString, const std::string& errorCodeType) {
    if (std::string dropped = QueryOne(connectionString, "DROP TABLE IF EXISTS KSTError"); !dropped.empty())
        return dropped;
    return QueryOne(connectionString,
                    "CREATE TABLE KSTError (UserID INTEGER, ErrorCode " + errorCodeType + ", ErrorMsg VARCHAR(200))");
}

} // namespace kestrel::testsupport
