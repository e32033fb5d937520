#pragma once
// A small RAII layer over the unixODBC C API: connection and statement handles that free
// themselves, diagnostics with the driver's own texts, and columns looked up by name.
//
// Texts cross this layer as UTF-8. Underneath, each connection picks the call family its driver
// handles: drivers that mangle the wide-character calls through the driver manager (the SQLite
// drivers cut every UTF-16 unit to one byte) get UTF-8 through the narrow calls; the others
// get UTF-16 through the wide calls.
#include "core/Result.h"

#include <sql.h>
#include <sqlext.h>

#include <string>
#include <string_view>
#include <vector>

namespace kestrel::odbc {

struct DiagnosticRecord {
    std::string state; // five-character SQLSTATE
    SQLINTEGER native = 0;
    std::string text; // UTF-8, as the driver manager and the driver report it
};

// Why a call failed: the diagnostic records of the driver manager and the driver.
struct Diagnostics {
    std::vector<DiagnosticRecord> records;

    // A failure of our own with one record.
    static Diagnostics Single(std::string state, std::string text);
    // Every record's text, one per line (UTF-8); a fallback when the driver gave none.
    std::string Text() const;
    // SQLSTATE class 08: the connection is gone.
    bool ConnectionLost() const;
};

// Outcome of one call.
using Status = Result<void, Diagnostics>;

class Statement;

class Connection {
public:
    Connection() = default;
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Connects without any prompt. connectionString is UTF-8 ("DSN=...", "Driver=...;...").
    Status Connect(const std::string& connectionString);
    // How long the next Connect may wait for the server (SQL_ATTR_LOGIN_TIMEOUT); 0 leaves the
    // driver's default. A driver that cannot keep it is not an error.
    void SetLoginTimeout(SQLUINTEGER seconds) { m_loginTimeout = seconds; }
    void Disconnect();
    bool IsOpen() const { return m_connected; }
    // Whether the driver knows the connection to be gone (SQL_ATTR_CONNECTION_DEAD). Some
    // drivers report a lost server with a state outside class 08 and only tell it here.
    bool Dead() const;
    // The database product as the driver names it (SQL_DBMS_NAME): "SQLite", "PostgreSQL",
    // "MariaDB", "MySQL", ...; empty when closed.
    const std::string& DbmsName() const { return m_dbmsName; }
    // Whether statements of this connection go through the wide-character calls.
    bool Wide() const { return m_wide; }
    SQLHDBC Handle() const { return m_dbc; }

private:
    friend class Statement;
    SQLHDBC m_dbc = SQL_NULL_HDBC;
    // Statements of this connection: closing it frees their handles first, so a statement
    // object that outlives the connection holds no dangling handle.
    std::vector<Statement*> m_statements;
    bool m_connected = false;
    bool m_wide = false;
    bool m_inProcess = false; // the driver talks to no server (no socket, no SIGPIPE)
    SQLUINTEGER m_loginTimeout = 0;
    std::string m_dbmsName;
};

class Statement {
public:
    explicit Statement(Connection& connection);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool Valid() const { return m_stmt != SQL_NULL_HSTMT; }
    // The allocation's failure, when Valid() is false.
    const Status& AllocationStatus() const { return m_allocation; }
    SQLHSTMT Handle() const { return m_stmt; }

    // Drivers that cannot keep the value (or any time-out at all) are not an error.
    void SetQueryTimeout(SQLULEN seconds);
    // Runs sql (UTF-8) directly. SQL_NO_DATA (a statement that touched no row) is success.
    Status Execute(const std::string& sql);
    // Reads past every further result set and row count of the last Execute and closes the
    // cursor, so that the connection can take the next statement. Fails with the first
    // statement of the batch that failed; settled false: the driver got stuck before the end,
    // and the connection is not fit for more.
    Status DrainResults(bool& settled);
    // Moves to the next row; hasRow false at the end of the result.
    Status Fetch(bool& hasRow);
    // 1-based index of the result column named name (letter case ignored: some databases fold
    // unquoted names), or 0.
    SQLUSMALLINT FindColumn(std::string_view name);
    // The column's value as text (UTF-8); NULL gives an empty text.
    Status GetText(SQLUSMALLINT column, std::string& text);
    // Asks the driver to stop the statement that runs now; callable from another thread.
    void Cancel();

private:
    friend class Connection;
    void Release();
    Connection* m_connection = nullptr;
    SQLHSTMT m_stmt = SQL_NULL_HSTMT;
    bool m_wide = false;
    bool m_guardSigpipe = true;
    Status m_allocation;
    std::vector<std::string> m_columnNames;
    bool m_columnsRead = false;
};

struct DataSource {
    std::string name;        // UTF-8
    std::string description; // the driver's description
    bool system = false;     // from the system list rather than the user's own
};

// The data sources the driver manager knows: the user's first, then the system's.
std::vector<DataSource> ListDataSources();

} // namespace kestrel::odbc
