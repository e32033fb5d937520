#pragma once
// The databases the SQL test runs against: an SQLite file, a throwaway PostgreSQL cluster and
// a throwaway MariaDB server; and a plain way to look into each.
#include "support/Files.h"

#include <filesystem>
#include <memory>
#include <string>

namespace kestrel::testsupport {

// An SQLite database file in a temporary folder, reached through the SQLite3 ODBC driver.
class SqliteDatabase {
public:
    SqliteDatabase() = default;
    std::filesystem::path Path() const { return m_dir / "audit.db"; }
    std::string ConnectionString() const { return "Driver=SQLite3;Database=" + Path().string(); }

private:
    TempDir m_dir;
};

// A PostgreSQL cluster in a temporary folder on a free loopback port, started as the
// `postgres` user when we run as root, stopped and removed by the destructor (or, should the
// test program die first, by a watcher process).
class PostgresCluster {
public:
    PostgresCluster();
    ~PostgresCluster();
    PostgresCluster(const PostgresCluster&) = delete;
    PostgresCluster& operator=(const PostgresCluster&) = delete;

    // The folder of the server programs: `pg_config --bindir` when it holds them, else the
    // newest installed version's; empty when there is none (tests then skip).
    static const std::filesystem::path& BinDir();
    static bool Available() { return !BinDir().empty(); }
    bool Running() const { return m_running; }
    const std::string& Failure() const { return m_failure; }
    // An outage: the server goes away at once, as on a crash, and comes back on the same port.
    bool Stop();
    bool Start();
    // "Driver=PostgreSQL Unicode;..." for the cluster's "postgres" database.
    std::string ConnectionString() const;

private:
    bool Run(const std::string& command);
    std::string Program(const char* name) const;
    void StartReaper();
    int m_reaperPipe = -1;
    int m_reaper = 0;
    std::filesystem::path m_dir;
    int m_port = 0;
    bool m_running = false;
    bool m_asPostgres = false;
    std::string m_failure;
};

// A MariaDB server in a temporary folder, with its own socket and a free loopback port, reached
// through the "MariaDB Unicode" ODBC driver (by its library when the driver manager does not list
// it). Stopped and removed like the PostgreSQL cluster, also when the test program dies.
class MariaDbServer {
public:
    MariaDbServer();
    ~MariaDbServer();
    MariaDbServer(const MariaDbServer&) = delete;
    MariaDbServer& operator=(const MariaDbServer&) = delete;

    // Empty when the server programs and the ODBC driver are there, else what is missing.
    static std::string MissingText();
    static bool Available() { return MissingText().empty(); }
    // One server serves the whole test program: starting one costs seconds.
    static MariaDbServer& Shared();
    bool Running() const { return m_running; }
    const std::string& Failure() const { return m_failure; }
    // Creates a fresh database; "" when that worked, else the error.
    std::string CreateDatabase(const std::string& name);
    // "Driver=MariaDB Unicode;..." for database; options ("KEY=value;...") are appended.
    std::string ConnectionString(const std::string& database, const std::string& options = {}) const;
    // The connection option that lets one statement string carry several statements.
    static const char* MultiStatementsOption() { return "OPTION=67108864;"; }

private:
    bool Run(const std::string& command);
    bool WaitUntilReady();
    void FindDriver();
    void StartReaper();
    void TellReaper(const std::string& text);
    std::filesystem::path m_dir;
    int m_port = 0;
    int m_server = 0;
    int m_owner = 0;
    int m_reaperPipe = -1;
    int m_reaper = 0;
    bool m_running = false;
    std::string m_driver;
    std::string m_failure;
};

enum class DatabaseKind { Sqlite, Postgres, MariaDb };

// The audit database of one test suite: a throwaway PostgreSQL cluster in the programs built
// with KESTREL_TEST_POSTGRES, a database on the program's MariaDB server in those built with
// KESTREL_TEST_MARIADB, an SQLite file in the others, so one suite runs on all three.
#if defined(KESTREL_TEST_POSTGRES)
inline constexpr DatabaseKind kTestDatabase = DatabaseKind::Postgres;
#elif defined(KESTREL_TEST_MARIADB)
inline constexpr DatabaseKind kTestDatabase = DatabaseKind::MariaDb;
#else
inline constexpr DatabaseKind kTestDatabase = DatabaseKind::Sqlite;
#endif
inline constexpr bool kOnPostgres = kTestDatabase == DatabaseKind::Postgres;
inline constexpr bool kOnMariaDb = kTestDatabase == DatabaseKind::MariaDb;

class AuditDatabase {
public:
    // The default is read where the database is made, in the test program's own build.
    explicit AuditDatabase(DatabaseKind kind = kTestDatabase);
    ~AuditDatabase();
    AuditDatabase(const AuditDatabase&) = delete;
    AuditDatabase& operator=(const AuditDatabase&) = delete;
    DatabaseKind Kind() const { return m_kind; }
    // The server is asked for but not installed: the suite skips.
    bool Missing() const { return !MissingText().empty(); }
    // Why the suite skips ("" when it does not).
    std::string MissingText() const;
    // Empty while the database is up, else why it is not.
    std::string Failure() const;
    const std::string& ConnectionString() const { return m_connection; }
    // The same database with further driver options ("KEY=value;..."), for the databases whose
    // driver has some worth testing; the plain connection string for the others.
    std::string ConnectionString(const std::string& options) const;

private:
    DatabaseKind m_kind;
    std::unique_ptr<PostgresCluster> m_cluster;
    std::unique_ptr<SqliteDatabase> m_sqlite;
    std::string m_mariaDatabase;
    std::string m_mariaFailure;
    std::string m_connection;
};

// Runs sql on its own connection (UTF-8); returns the first column of the first row as text
// ("" for none), or "ERROR: ..." when the statement fails.
std::string QueryOne(const std::string& connectionString, const std::string& sql);

// Drops and creates the error table KSTError (UserID, ErrorCode, ErrorMsg); "" when that
// worked, else the error. errorCodeType: the column type of ErrorCode.
std::string ResetErrorTable(const std::string& connectionString, const std::string& errorCodeType = "INTEGER");

} // namespace kestrel::testsupport
