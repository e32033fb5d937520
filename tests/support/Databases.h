#pragma once
// The two databases the SQL test runs against: an SQLite file, and a throwaway PostgreSQL
// cluster; and a plain way to look into either.
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

// The audit database of one test suite: a throwaway PostgreSQL cluster in the programs built
// with KESTREL_TEST_POSTGRES, an SQLite file in the others, so one suite runs on both.
#ifdef KESTREL_TEST_POSTGRES
inline constexpr bool kOnPostgres = true;
#else
inline constexpr bool kOnPostgres = false;
#endif

class AuditDatabase {
public:
    // The default is read where the database is made, in the test program's own build.
    explicit AuditDatabase(bool postgres = kOnPostgres);
    ~AuditDatabase();
    AuditDatabase(const AuditDatabase&) = delete;
    AuditDatabase& operator=(const AuditDatabase&) = delete;
    // PostgreSQL is asked for but not installed: the suite skips.
    bool Missing() const { return m_postgres && !PostgresCluster::Available(); }
    // Empty while the database is up, else why it is not.
    std::string Failure() const;
    const std::string& ConnectionString() const { return m_connection; }

private:
    bool m_postgres;
    std::unique_ptr<PostgresCluster> m_cluster;
    std::unique_ptr<SqliteDatabase> m_sqlite;
    std::string m_connection;
};

// Runs sql on its own connection (UTF-8); returns the first column of the first row as text
// ("" for none), or "ERROR: ..." when the statement fails.
std::string QueryOne(const std::string& connectionString, const std::string& sql);

// Drops and creates the error table KSTError (UserID, ErrorCode, ErrorMsg); "" when that
// worked, else the error. errorCodeType: the column type of ErrorCode.
std::string ResetErrorTable(const std::string& connectionString, const std::string& errorCodeType = "INTEGER");

} // namespace kestrel::testsupport
