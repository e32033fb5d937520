#include "support/Databases.h"

#include "testing/db/Odbc.h"

#include <fcntl.h>
#include <glob.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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
    if (!Run(Program("initdb") + " -D " + (m_dir / "data").string() +
             " -A trust -U postgres -E UTF8 --locale=C --no-sync"))
        return;
    Start();
    StartReaper();
}

bool PostgresCluster::Start() {
    const std::string options =
        "-p " + std::to_string(m_port) + " -k " + m_dir.string() + " -c listen_addresses=127.0.0.1 -c fsync=off";
    m_running = Run(Program("pg_ctl") + " -D " + (m_dir / "data").string() + " -l " + (m_dir / "server.log").string() +
                    " -o '" + options + "' -w -t 60 start");
    return m_running;
}

bool PostgresCluster::Stop() {
    const bool stopped = Run(Program("pg_ctl") + " -D " + (m_dir / "data").string() + " -m immediate -w stop");
    m_running = m_running && !stopped;
    return stopped;
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

namespace {

std::filesystem::path FindProgram(const std::string& name) {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/usr/bin:/usr/local/sbin:/usr/local/bin";
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find(':', start), path.size());
        const std::filesystem::path candidate = std::filesystem::path(path.substr(start, end - start)) / name;
        if (end > start && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

constexpr const char* kMariaDriver = "MariaDB Unicode";

// Asks the driver manager itself, so that ODBCSYSINI and the user's own list count as well.
bool DriverRegistered(const std::string& name) {
    SQLHENV env = SQL_NULL_HENV;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)))
        return false;
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    bool found = false;
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    for (;;) {
        SQLCHAR description[256] = {};
        SQLCHAR attributes[1024] = {};
        SQLSMALLINT descriptionLength = 0;
        SQLSMALLINT attributesLength = 0;
        if (!SQL_SUCCEEDED(SQLDrivers(env, direction, description, sizeof description, &descriptionLength, attributes,
                                      sizeof attributes, &attributesLength)))
            break;
        found = found || name == reinterpret_cast<const char*>(description);
        direction = SQL_FETCH_NEXT;
    }
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return found;
}

std::filesystem::path FindMariaDriverLibrary() {
    for (const char* pattern : {"/usr/lib/*/odbc/libmaodbc.so", "/usr/lib/odbc/libmaodbc.so",
                                "/usr/local/lib/libmaodbc.so", "/usr/lib*/libmaodbc.so"}) {
        glob_t found{};
        const bool any = glob(pattern, 0, nullptr, &found) == 0 && found.gl_pathc > 0;
        std::filesystem::path first = any ? found.gl_pathv[0] : "";
        globfree(&found);
        if (any)
            return first;
    }
    return {};
}

// Small enough for a temporary folder and a quick start; UTF-8 throughout, as the other two.
const char* const kMariaServerOptions[] = {"--innodb-log-file-size=4M", "--innodb-buffer-pool-size=16M",
                                           "--character-set-server=utf8mb4", "--collation-server=utf8mb4_general_ci",
                                           "--skip-name-resolve"};

} // namespace

std::string MariaDbServer::MissingText() {
    static const std::string text = [] {
        std::string missing;
        for (const char* program : {"mariadb-install-db", "mariadbd", "mariadb-admin"})
            if (FindProgram(program).empty())
                missing += std::string(missing.empty() ? "" : ", ") + program;
        if (!missing.empty())
            return "MariaDB server programs are not installed (" + missing + ")";
        if (!DriverRegistered(kMariaDriver) && FindMariaDriverLibrary().empty())
            return std::string("the MariaDB ODBC driver (odbc-mariadb) is not installed");
        return std::string();
    }();
    return text;
}

MariaDbServer& MariaDbServer::Shared() {
    static MariaDbServer server;
    return server;
}

bool MariaDbServer::Run(const std::string& command) {
    if (std::system((command + " >>" + (m_dir / "setup.log").string() + " 2>&1").c_str()) == 0)
        return true;
    m_failure = "failed: " + command + " (see " + (m_dir / "setup.log").string() + ")";
    return false;
}

void MariaDbServer::FindDriver() {
    // Where the driver manager does not list it, the driver is named by its library, which it
    // takes as well: nothing is registered anywhere.
    m_driver =
        DriverRegistered(kMariaDriver) ? std::string(kMariaDriver) : "{" + FindMariaDriverLibrary().string() + "}";
}

MariaDbServer::MariaDbServer() {
    if (!Available())
        return;
    std::string pattern = "/tmp/kestrel-ma-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        m_failure = "cannot make the server's folder";
        return;
    }
    m_dir = pattern;
    m_owner = getpid();
    StartReaper();
    FindDriver();
    m_port = FreeLoopbackPort();
    if (m_port == 0) {
        m_failure = "no free loopback port";
        return;
    }
    // The server refuses to run as root unless told to; the folder is root's then anyway.
    const bool asRoot = geteuid() == 0;
    const std::string data = (m_dir / "data").string();
    std::string install = FindProgram("mariadb-install-db").string() + " --no-defaults --datadir=" + data +
                          " --auth-root-authentication-method=normal --skip-test-db";
    if (asRoot)
        install += " --user=root";
    for (const char* option : kMariaServerOptions)
        install += std::string(" ") + option;
    if (!Run(install))
        return;

    std::vector<std::string> arguments = {FindProgram("mariadbd").string(),
                                          "--no-defaults",
                                          "--datadir=" + data,
                                          "--socket=" + (m_dir / "server.sock").string(),
                                          "--port=" + std::to_string(m_port),
                                          "--bind-address=127.0.0.1",
                                          "--pid-file=" + (m_dir / "server.pid").string(),
                                          "--log-error=" + (m_dir / "server.log").string(),
                                          "--tmpdir=" + m_dir.string(),
                                          "--innodb-flush-log-at-trx-commit=0"};
    if (asRoot)
        arguments.push_back("--user=root");
    for (const char* option : kMariaServerOptions)
        arguments.emplace_back(option);
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pid < 0) {
        m_failure = "cannot start mariadbd";
        return;
    }
    m_server = pid;
    TellReaper(std::to_string(pid) + "\n");
    m_running = WaitUntilReady();
}

bool MariaDbServer::WaitUntilReady() {
    const std::string ping = FindProgram("mariadb-admin").string() +
                             " --no-defaults --socket=" + (m_dir / "server.sock").string() +
                             " -uroot --connect-timeout=2 ping >/dev/null 2>&1";
    // Bounded: a server that has not answered after a minute will not.
    for (int attempt = 0; attempt < 300; ++attempt) {
        int status = 0;
        if (waitpid(m_server, &status, WNOHANG) == m_server) {
            m_server = 0;
            m_failure = "mariadbd ended at its start; see " + (m_dir / "server.log").string();
            return false;
        }
        if (std::system(ping.c_str()) == 0)
            return true;
        const timespec pause{0, 200'000'000};
        nanosleep(&pause, nullptr);
    }
    m_failure = "mariadbd did not answer within a minute";
    return false;
}

// As for PostgreSQL: a watcher process that outlives a crashed test program kills the server
// and removes the folder. It is started before anything is made in the folder, learns the
// server's process number over its pipe, and a final "s" tells it that the server was stopped
// already.
void MariaDbServer::StartReaper() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return;
    const std::filesystem::path dir = m_dir;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[1]);
        setpgid(0, 0); // a Ctrl-C meant for the test program leaves the watcher to do its work
        char told[64] = {};
        std::size_t length = 0;
        char byte;
        while (read(fds[0], &byte, 1) > 0)
            if (length + 1 < sizeof told)
                told[length++] = byte;
        const pid_t server = static_cast<pid_t>(std::strtol(told, nullptr, 10));
        if (server > 0 && std::strchr(told, 's') == nullptr) {
            kill(server, SIGKILL);
            for (int i = 0; i < 100 && kill(server, 0) == 0; ++i) {
                const timespec pause{0, 50'000'000};
                nanosleep(&pause, nullptr);
            }
        }
        // The set-up may still be writing into the folder when the test program died.
        std::error_code ec;
        for (int i = 0; i < 40 && std::filesystem::exists(dir, ec); ++i) {
            std::filesystem::remove_all(dir, ec);
            const timespec pause{0, 250'000'000};
            nanosleep(&pause, nullptr);
        }
        _exit(0);
    }
    close(fds[0]);
    if (pid < 0) {
        close(fds[1]);
        return;
    }
    m_reaperPipe = fds[1];
    m_reaper = pid;
}

void MariaDbServer::TellReaper(const std::string& text) {
    if (m_reaper > 0 && write(m_reaperPipe, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        // Nothing to be done: the watcher then removes the folder without stopping a server.
    }
}

MariaDbServer::~MariaDbServer() {
    if (getpid() != m_owner)
        return; // a forked copy of the test program ending: the server is not its own
    if (m_server > 0) {
        kill(m_server, SIGKILL);
        int status = 0;
        waitpid(m_server, &status, 0);
    }
    if (m_reaper > 0) {
        TellReaper("s");
        close(m_reaperPipe);
        int status = 0;
        waitpid(m_reaper, &status, 0);
    } else if (!m_dir.empty()) {
        std::error_code error;
        std::filesystem::remove_all(m_dir, error);
    }
}

std::string MariaDbServer::CreateDatabase(const std::string& name) {
    return QueryOne(ConnectionString(""), "CREATE DATABASE " + name);
}

std::string MariaDbServer::ConnectionString(const std::string& database, const std::string& options) const {
    return "Driver=" + m_driver + ";Server=127.0.0.1;Port=" + std::to_string(m_port) + ";Database=" + database +
           ";Uid=root;Pwd=;" + options;
}

AuditDatabase::AuditDatabase(DatabaseKind kind) : m_kind(kind) {
    switch (kind) {
    case DatabaseKind::Postgres:
        m_cluster = std::make_unique<PostgresCluster>();
        m_connection = m_cluster->ConnectionString();
        break;
    case DatabaseKind::MariaDb: {
        if (!MariaDbServer::Available())
            break;
        MariaDbServer& server = MariaDbServer::Shared();
        if (!server.Running())
            break;
        // A database of its own for each suite, on the program's one server.
        static std::atomic<int> counter{0};
        m_mariaDatabase = "audit" + std::to_string(++counter);
        m_mariaFailure = server.CreateDatabase(m_mariaDatabase);
        m_connection = server.ConnectionString(m_mariaDatabase);
        break;
    }
    case DatabaseKind::Sqlite:
        m_sqlite = std::make_unique<SqliteDatabase>();
        m_connection = m_sqlite->ConnectionString();
        break;
    }
}

AuditDatabase::~AuditDatabase() = default;

std::string AuditDatabase::MissingText() const {
    if (m_kind == DatabaseKind::Postgres && !PostgresCluster::Available())
        return "PostgreSQL server binaries are not installed";
    if (m_kind == DatabaseKind::MariaDb)
        return MariaDbServer::MissingText();
    return std::string();
}

std::string AuditDatabase::Failure() const {
    if (m_kind == DatabaseKind::MariaDb) {
        const MariaDbServer& server = MariaDbServer::Shared();
        if (!server.Running())
            return server.Failure().empty() ? std::string("the MariaDB server is not running") : server.Failure();
        return m_mariaFailure;
    }
    if (!m_cluster || m_cluster->Running())
        return std::string();
    return m_cluster->Failure().empty() ? std::string("the PostgreSQL cluster is not running") : m_cluster->Failure();
}

std::string AuditDatabase::ConnectionString(const std::string& options) const {
    if (m_kind == DatabaseKind::MariaDb && MariaDbServer::Available())
        return MariaDbServer::Shared().ConnectionString(m_mariaDatabase, options);
    return m_connection;
}

std::string QueryOne(const std::string& connectionString, const std::string& sql) {
    odbc::Connection connection;
    if (odbc::Status result = connection.Connect(connectionString); !result)
        return "ERROR: " + result.error().Text();
    odbc::Statement statement(connection);
    if (odbc::Status result = statement.Execute(sql); !result)
        return "ERROR: " + result.error().Text();
    SQLSMALLINT columns = 0;
    SQLNumResultCols(statement.Handle(), &columns);
    if (columns == 0)
        return std::string();
    bool hasRow = false;
    if (odbc::Status result = statement.Fetch(hasRow); !result)
        return "ERROR: " + result.error().Text();
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
