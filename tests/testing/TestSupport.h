#pragma once
// Shared pieces of the testing suite: GBK literals, temporary folders, and the two databases
// the SQL test runs against (an SQLite file, and a throwaway PostgreSQL cluster).
#include <filesystem>
#include <string>

namespace kestrel::testsupport {

// GBK bytes of a UTF-8 literal.
std::string Gbk(const std::string& utf8);

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// A PostgreSQL cluster in a temporary folder on a free loopback port, started as the
// `postgres` user when we run as root, stopped and removed by the destructor.
class PostgresCluster {
public:
    PostgresCluster();
    ~PostgresCluster();
    PostgresCluster(const PostgresCluster&) = delete;
    PostgresCluster& operator=(const PostgresCluster&) = delete;

    // Whether the server binaries exist at all (tests skip without them).
    static bool Available();
    bool Running() const { return m_running; }
    const std::string& Failure() const { return m_failure; }
    // "Driver=PostgreSQL Unicode;..." for the cluster's "postgres" database.
    std::string ConnectionString() const;

private:
    bool Run(const std::string& command);
    void StartReaper();
    int m_reaperPipe = -1;
    int m_reaper = 0;
    std::filesystem::path m_dir;
    int m_port = 0;
    bool m_running = false;
    bool m_asPostgres = false;
    std::string m_failure;
};

// Runs sql on its own connection (UTF-8); returns the first column of the first row as text
// ("" for none), or "ERROR: ..." when the statement fails.
std::string QueryOne(const std::string& connectionString, const std::string& sql);

} // namespace kestrel::testsupport
