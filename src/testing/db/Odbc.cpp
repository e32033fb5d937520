#include "testing/db/Odbc.h"

#include "core/AsciiCase.h"
#include "core/Gbk.h"

#include <sqlucode.h>

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <ctime>

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager's wide characters are UTF-16 units");

namespace kestrel::odbc {

namespace {

// Some drivers write to a server socket that may have gone away without asking the system to
// spare them SIGPIPE, whose default action would end the whole host program. Each driver call
// runs with SIGPIPE blocked on its thread; one raised meanwhile is taken off again, and the
// driver sees the EPIPE error it expects.
class SigpipeGuard {
public:
    // Drivers that work in-process (SQLite) need no guard: it costs four system calls a call.
    explicit SigpipeGuard(bool enabled = true) : m_enabled(enabled) {
        if (!m_enabled)
            return;
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &m_pipe, &m_old);
        m_wasBlocked = sigismember(&m_old, SIGPIPE) == 1;
        sigset_t pending;
        sigpending(&pending);
        m_wasPending = sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigpipeGuard() {
        if (!m_enabled || m_wasBlocked)
            return;
        if (!m_wasPending) {
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                const timespec noWait{0, 0};
                sigtimedwait(&m_pipe, nullptr, &noWait);
            }
        }
        pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    bool m_enabled;
    sigset_t m_pipe;
    sigset_t m_old;
    bool m_wasBlocked = false;
    bool m_wasPending = false;
};

SQLHENV Environment() {
    static SQLHENV env = [] {
        SQLHENV handle = SQL_NULL_HENV;
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &handle)))
            return static_cast<SQLHENV>(SQL_NULL_HENV);
        SQLSetEnvAttr(handle, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        return handle;
    }();
    return env;
}

SQLWCHAR* Wide(std::u16string& text) {
    return reinterpret_cast<SQLWCHAR*>(text.data());
}
SQLCHAR* Narrow(std::string& text) {
    return reinterpret_cast<SQLCHAR*>(text.data());
}

// Some drivers (MariaDB's) hand the server's UTF-8 message bytes to the wide call one byte per
// unit, so Chinese in a message came out as Latin-1 mojibake. A text made only of such units
// that reads as valid UTF-8 with at least one multi-byte character is taken for that; genuine
// Latin-1 text practically never is.
std::u16string UndoWidenedUtf8(std::u16string text) {
    std::string bytes;
    bool multiByte = false;
    for (char16_t unit : text) {
        if (unit > 0xFF)
            return text;
        multiByte = multiByte || unit >= 0x80;
        bytes.push_back(static_cast<char>(unit));
    }
    if (!multiByte)
        return text;
    std::u16string decoded = Utf8ToUtf16(bytes);
    if (decoded.find(u'\uFFFD') != std::u16string::npos)
        return text;
    return decoded;
}

Diagnostics ReadDiagnostics(SQLSMALLINT handleType, SQLHANDLE handle, bool wide) {
    Diagnostics diagnostics;
    if (handle == SQL_NULL_HANDLE)
        return diagnostics;
    for (SQLSMALLINT i = 1; i < 64; ++i) {
        DiagnosticRecord record;
        SQLSMALLINT length = 0;
        SQLRETURN rc;
        if (wide) {
            SQLWCHAR state[6] = {};
            std::u16string message(512, u'\0');
            rc = SQLGetDiagRecW(handleType, handle, i, state, &record.native, Wide(message),
                                static_cast<SQLSMALLINT>(message.size()), &length);
            if (SQL_SUCCEEDED(rc) && length >= static_cast<SQLSMALLINT>(message.size())) {
                message.assign(static_cast<std::size_t>(length) + 1, u'\0');
                rc = SQLGetDiagRecW(handleType, handle, i, state, &record.native, Wide(message),
                                    static_cast<SQLSMALLINT>(message.size()), &length);
            }
            if (!SQL_SUCCEEDED(rc))
                break;
            message.resize(
                std::min<std::size_t>(static_cast<std::size_t>(std::max<SQLSMALLINT>(length, 0)), message.size()));
            for (SQLWCHAR unit : state)
                if (unit)
                    record.state.push_back(static_cast<char>(unit));
            record.text = Utf16ToUtf8(UndoWidenedUtf8(std::move(message)));
        } else {
            SQLCHAR state[6] = {};
            std::string message(1024, '\0');
            rc = SQLGetDiagRec(handleType, handle, i, state, &record.native, Narrow(message),
                               static_cast<SQLSMALLINT>(message.size()), &length);
            if (SQL_SUCCEEDED(rc) && length >= static_cast<SQLSMALLINT>(message.size())) {
                message.assign(static_cast<std::size_t>(length) + 1, '\0');
                rc = SQLGetDiagRec(handleType, handle, i, state, &record.native, Narrow(message),
                                   static_cast<SQLSMALLINT>(message.size()), &length);
            }
            if (!SQL_SUCCEEDED(rc))
                break;
            message.resize(
                std::min<std::size_t>(static_cast<std::size_t>(std::max<SQLSMALLINT>(length, 0)), message.size()));
            record.state = reinterpret_cast<const char*>(state);
            record.text = std::move(message);
        }
        // Drivers count the terminating zero in some versions; never show it.
        while (!record.text.empty() && record.text.back() == '\0')
            record.text.pop_back();
        diagnostics.records.push_back(std::move(record));
    }
    return diagnostics;
}

// Drivers known to take UTF-8 through the narrow calls and to break the wide ones through
// unixODBC.
bool PrefersNarrow(std::string_view driverName) {
    return AsciiLowerText(driverName).find("sqlite") != std::string::npos;
}

} // namespace

Diagnostics Diagnostics::Single(std::string state, std::string text) {
    Diagnostics diagnostics;
    diagnostics.records.push_back({std::move(state), 0, std::move(text)});
    return diagnostics;
}

std::string Diagnostics::Text() const {
    std::string text;
    for (const DiagnosticRecord& record : records) {
        if (record.text.empty())
            continue;
        if (!text.empty())
            text += '\n';
        text += record.text;
    }
    if (text.empty())
        text = records.empty() ? "ODBC error" : "ODBC error (SQLSTATE " + records.front().state + ")";
    return text;
}

bool Diagnostics::ConnectionLost() const {
    return std::any_of(records.begin(), records.end(),
                       [](const DiagnosticRecord& record) { return record.state.rfind("08", 0) == 0; });
}

Connection::~Connection() {
    Disconnect();
}

Status Connection::Connect(const std::string& connectionString) {
    SigpipeGuard guard;
    Disconnect();
    SQLHENV env = Environment();
    if (env == SQL_NULL_HENV)
        return Fail(Diagnostics::Single("HY000", "ODBC driver manager not available"));
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &m_dbc))) {
        Diagnostics failure = ReadDiagnostics(SQL_HANDLE_ENV, env, false);
        m_dbc = SQL_NULL_HDBC;
        return Fail(std::move(failure));
    }
    if (m_loginTimeout > 0)
        SQLSetConnectAttr(m_dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(uintptr_t{m_loginTimeout}),
                          SQL_IS_UINTEGER);
    std::string text = connectionString;
    SQLCHAR out[1024];
    SQLSMALLINT outLength = 0;
    const SQLRETURN rc = SQLDriverConnect(m_dbc, nullptr, Narrow(text), static_cast<SQLSMALLINT>(text.size()), out,
                                          sizeof out, &outLength, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc)) {
        Diagnostics failure = ReadDiagnostics(SQL_HANDLE_DBC, m_dbc, false);
        SQLFreeHandle(SQL_HANDLE_DBC, m_dbc);
        m_dbc = SQL_NULL_HDBC;
        return Fail(std::move(failure));
    }
    m_connected = true;
    char driverName[256] = {};
    SQLSMALLINT nameLength = 0;
    SQLGetInfo(m_dbc, SQL_DRIVER_NAME, driverName, sizeof driverName, &nameLength);
    m_wide = !PrefersNarrow(driverName);
    m_inProcess = PrefersNarrow(driverName);
    char dbmsName[256] = {};
    if (SQL_SUCCEEDED(SQLGetInfo(m_dbc, SQL_DBMS_NAME, dbmsName, sizeof dbmsName, &nameLength)))
        m_dbmsName = dbmsName;
    return Ok();
}

void Connection::Disconnect() {
    if (m_dbc == SQL_NULL_HDBC)
        return;
    SigpipeGuard guard;
    for (Statement* statement : m_statements) {
        statement->Release();
        statement->m_connection = nullptr;
    }
    m_statements.clear();
    if (m_connected)
        SQLDisconnect(m_dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, m_dbc);
    m_dbc = SQL_NULL_HDBC;
    m_connected = false;
    m_wide = false;
    m_inProcess = false;
    m_dbmsName.clear();
}

bool Connection::Dead() const {
    if (!m_connected)
        return false;
    SQLUINTEGER dead = SQL_CD_FALSE;
    return SQL_SUCCEEDED(SQLGetConnectAttr(m_dbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) && dead == SQL_CD_TRUE;
}

Statement::Statement(Connection& connection) : m_wide(connection.Wide()), m_guardSigpipe(!connection.m_inProcess) {
    if (!connection.IsOpen()) {
        m_allocation = Fail(Diagnostics::Single("08003", "Connection not open"));
        return;
    }
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, connection.Handle(), &m_stmt))) {
        m_allocation = Fail(ReadDiagnostics(SQL_HANDLE_DBC, connection.Handle(), false));
        m_stmt = SQL_NULL_HSTMT;
        return;
    }
    m_connection = &connection;
    connection.m_statements.push_back(this);
}

Statement::~Statement() {
    if (m_connection) {
        auto& list = m_connection->m_statements;
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
    }
    Release();
}

void Statement::Release() {
    if (m_stmt == SQL_NULL_HSTMT)
        return;
    SigpipeGuard guard(m_guardSigpipe);
    SQLFreeHandle(SQL_HANDLE_STMT, m_stmt);
    m_stmt = SQL_NULL_HSTMT;
    if (m_allocation)
        m_allocation = Fail(Diagnostics::Single("08003", "Connection not open"));
}

void Statement::SetQueryTimeout(SQLULEN seconds) {
    SQLSetStmtAttr(m_stmt, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(seconds), SQL_IS_UINTEGER);
}

Status Statement::Execute(const std::string& sql) {
    SigpipeGuard guard(m_guardSigpipe);
    if (!Valid())
        return m_allocation;
    m_columnsRead = false;
    SQLRETURN rc;
    if (m_wide) {
        std::u16string text = Utf8ToUtf16(sql);
        rc = SQLExecDirectW(m_stmt, Wide(text), static_cast<SQLINTEGER>(text.size()));
    } else {
        std::string text = sql;
        rc = SQLExecDirect(m_stmt, Narrow(text), static_cast<SQLINTEGER>(text.size()));
    }
    if (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA)
        return Ok();
    return Fail(ReadDiagnostics(SQL_HANDLE_STMT, m_stmt, m_wide));
}

Status Statement::DrainResults(bool& settled) {
    SigpipeGuard guard(m_guardSigpipe);
    settled = false;
    if (!Valid())
        return m_allocation;
    Status first;
    // A failed statement of a batch need not end it: the driver may go on to the next one.
    // Two failures in a row mean the driver cannot get any further.
    bool failedLast = false;
    for (;;) {
        const SQLRETURN rc = SQLMoreResults(m_stmt);
        if (rc == SQL_NO_DATA) {
            settled = true;
            break;
        }
        if (SQL_SUCCEEDED(rc)) {
            failedLast = false;
            continue;
        }
        if (failedLast)
            break;
        failedLast = true;
        Diagnostics failure = ReadDiagnostics(SQL_HANDLE_STMT, m_stmt, m_wide);
        // A driver without batches has nothing more to give.
        if (!failure.records.empty() && failure.records.front().state == "IM001") {
            settled = true;
            break;
        }
        if (first)
            first = Fail(std::move(failure));
    }
    SQLFreeStmt(m_stmt, SQL_CLOSE);
    m_columnsRead = false;
    return first;
}

Status Statement::Fetch(bool& hasRow) {
    SigpipeGuard guard(m_guardSigpipe);
    hasRow = false;
    if (!Valid())
        return m_allocation;
    const SQLRETURN rc = SQLFetch(m_stmt);
    if (rc == SQL_NO_DATA)
        return Ok();
    if (!SQL_SUCCEEDED(rc))
        return Fail(ReadDiagnostics(SQL_HANDLE_STMT, m_stmt, m_wide));
    hasRow = true;
    return Ok();
}

SQLUSMALLINT Statement::FindColumn(std::string_view name) {
    if (!Valid())
        return 0;
    if (!m_columnsRead) {
        m_columnsRead = true;
        m_columnNames.clear();
        SQLSMALLINT count = 0;
        if (!SQL_SUCCEEDED(SQLNumResultCols(m_stmt, &count)))
            count = 0;
        for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(std::max<SQLSMALLINT>(count, 0)); ++i) {
            std::string columnName;
            SQLSMALLINT length = 0;
            if (m_wide) {
                SQLWCHAR buffer[256] = {};
                if (SQL_SUCCEEDED(SQLColAttributeW(m_stmt, i, SQL_DESC_NAME, buffer, sizeof buffer, &length, nullptr)))
                    columnName = Utf16ToUtf8(reinterpret_cast<const char16_t*>(buffer));
            } else {
                char buffer[512] = {};
                if (SQL_SUCCEEDED(SQLColAttribute(m_stmt, i, SQL_DESC_NAME, buffer, sizeof buffer, &length, nullptr)))
                    columnName = buffer;
            }
            m_columnNames.push_back(std::move(columnName));
        }
    }
    for (std::size_t i = 0; i < m_columnNames.size(); ++i)
        if (EqualIgnoringAsciiCase(m_columnNames[i], name))
            return static_cast<SQLUSMALLINT>(i + 1);
    return 0;
}

namespace {

// Reads a column's value in chunks of Char (SQLCHAR or SQLWCHAR units) until the driver has
// given all of it; a NULL gives an empty value.
template <typename Char, std::size_t N>
Status ReadColumnData(SQLHSTMT stmt, SQLUSMALLINT column, SQLSMALLINT cType, bool wide,
                      std::basic_string<Char>& value) {
    Char chunk[N];
    for (;;) {
        SQLLEN indicator = 0;
        const SQLRETURN rc = SQLGetData(stmt, column, cType, chunk, sizeof chunk, &indicator);
        if (rc == SQL_NO_DATA)
            break;
        if (!SQL_SUCCEEDED(rc))
            return Fail(ReadDiagnostics(SQL_HANDLE_STMT, stmt, wide));
        if (indicator == SQL_NULL_DATA)
            break;
        const std::size_t room = N - 1; // the driver keeps one unit for the terminator
        const std::size_t units =
            indicator == SQL_NO_TOTAL ? room : std::min(room, static_cast<std::size_t>(indicator) / sizeof(Char));
        value.append(chunk, units);
        if (rc == SQL_SUCCESS)
            break;
    }
    return Ok();
}

} // namespace

Status Statement::GetText(SQLUSMALLINT column, std::string& text) {
    SigpipeGuard guard(m_guardSigpipe);
    text.clear();
    if (!Valid())
        return m_allocation;
    if (!m_wide)
        return ReadColumnData<char, 1024>(m_stmt, column, SQL_C_CHAR, false, text);
    std::u16string value;
    Status read = ReadColumnData<char16_t, 512>(m_stmt, column, SQL_C_WCHAR, true, value);
    if (read)
        text = Utf16ToUtf8(value);
    return read;
}

void Statement::Cancel() {
    SigpipeGuard guard(m_guardSigpipe);
    if (Valid())
        SQLCancel(m_stmt);
}

std::vector<DataSource> ListDataSources() {
    std::vector<DataSource> sources;
    SQLHENV env = Environment();
    if (env == SQL_NULL_HENV)
        return sources;
    for (SQLUSMALLINT first :
         {static_cast<SQLUSMALLINT>(SQL_FETCH_FIRST_USER), static_cast<SQLUSMALLINT>(SQL_FETCH_FIRST_SYSTEM)}) {
        SQLUSMALLINT direction = first;
        for (;;) {
            SQLCHAR name[SQL_MAX_DSN_LENGTH * 4 + 1] = {};
            SQLCHAR description[512] = {};
            SQLSMALLINT nameLength = 0;
            SQLSMALLINT descriptionLength = 0;
            const SQLRETURN rc = SQLDataSources(env, direction, name, sizeof name, &nameLength, description,
                                                sizeof description, &descriptionLength);
            if (!SQL_SUCCEEDED(rc))
                break;
            sources.push_back({reinterpret_cast<const char*>(name), reinterpret_cast<const char*>(description),
                               first == SQL_FETCH_FIRST_SYSTEM});
            direction = SQL_FETCH_NEXT;
        }
    }
    return sources;
}

} // namespace kestrel::odbc
