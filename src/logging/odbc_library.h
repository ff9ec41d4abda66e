#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sql.h>
#include <sqlext.h>

namespace tarvo {

class Operator;

/// The database sink's connection, kept open from one sampling pass to the
/// next: unixODBC keeps a few kilobytes for every connection it ever made,
/// so a connection per pass would grow a logger that runs for months by
/// megabytes. It remembers the credentials it was made with and, after a
/// failed connect, when the next attempt is due.
struct KeptConnection {
    SQLHDBC connection = SQL_NULL_HDBC;
    SQLHSTMT statement = SQL_NULL_HSTMT;
    std::string dsn;
    std::string user;
    std::string passwd;
    std::string dbmsName;
    int failedConnects = 0;  ///< in a row; 0 after a connect that worked
    std::time_t retryAt = 0; ///< no connect before this time
    bool open() const { return connection != SQL_NULL_HDBC; }
};

/// What BindOdbc reports.
enum BindResult : int {
    Bound = 0,
    LibraryNotLoaded = 1,  ///< the driver manager could not be loaded
    EntryPointMissing = 2, ///< at least one of the entry points is missing
};

/// Every ODBC call counts as successful when it returns SQL_SUCCESS (0) or
/// SQL_SUCCESS_WITH_INFO (1); -1, -2 and SQL_NO_DATA (100) are failures.
inline bool odbcSucceeded(SQLRETURN rc) {
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

/// The ODBC driver manager, loaded at run time so that the program runs on a
/// machine without ODBC; only the database features then fail. One instance
/// lives for the whole run; once bound, the library and its one environment
/// stay until the process ends.
///
/// The entry points are typed from <sql.h>, but nothing links against the
/// driver manager: every call goes through a pointer resolved by name.
class OdbcLibrary {
public:
    /// The entry points, resolved by name in this order on every bind.
    struct Api {
        decltype(&::SQLDataSources) SQLDataSources = nullptr;
        decltype(&::SQLAllocEnv) SQLAllocEnv = nullptr;
        decltype(&::SQLFreeConnect) SQLFreeConnect = nullptr;
        decltype(&::SQLDisconnect) SQLDisconnect = nullptr;
        decltype(&::SQLFreeStmt) SQLFreeStmt = nullptr;
        decltype(&::SQLFetch) SQLFetch = nullptr;
        decltype(&::SQLBindCol) SQLBindCol = nullptr;
        decltype(&::SQLTables) SQLTables = nullptr;
        decltype(&::SQLAllocStmt) SQLAllocStmt = nullptr;
        decltype(&::SQLConnect) SQLConnect = nullptr;
        decltype(&::SQLAllocConnect) SQLAllocConnect = nullptr;
        decltype(&::SQLColumns) SQLColumns = nullptr;
        decltype(&::SQLGetInfo) SQLGetInfo = nullptr;
        decltype(&::SQLExecDirect) SQLExecDirect = nullptr;
        decltype(&::SQLSetStmtOption) SQLSetStmtOption = nullptr;
        decltype(&::SQLError) SQLError = nullptr;
        decltype(&::SQLGetTypeInfo) SQLGetTypeInfo = nullptr;
    };
    static constexpr int kEntryPointCount = 17;

    /// The driver manager's file names, tried in order. On Debian only the
    /// versioned name is there without the -dev package, so it comes first.
    static std::vector<std::string> defaultLibraryNames();

    explicit OdbcLibrary(std::vector<std::string> libraryNames = defaultLibraryNames());
    ~OdbcLibrary();
    OdbcLibrary(const OdbcLibrary&) = delete;
    OdbcLibrary& operator=(const OdbcLibrary&) = delete;

    /// BindOdbc: loads the driver manager unless it is loaded, then resolves
    /// every entry point again. Returns Bound, LibraryNotLoaded (nothing
    /// changed) or EntryPointMissing (the library is unloaded again, so the
    /// next use tries afresh). SQLSetStmtOption must be there, although no
    /// operation calls it.
    int bind();

    bool loaded() const { return m_handle != nullptr; }
    /// The entry points; only meaningful while loaded().
    const Api& api() const { return m_api; }

    /// Allocates the one environment with SQLAllocEnv unless there is one.
    /// SQLAllocEnv (rather than SQLAllocHandle) makes unixODBC behave as
    /// ODBC 2: the SQLSTATEs (S1000, S1T00) and the date and time type codes
    /// 9, 10 and 11 that the dialogs and the row insert compare against.
    /// Returns whether an environment exists.
    bool ensureEnvironment();
    bool hasEnvironment() const { return m_environment != SQL_NULL_HENV; }
    SQLHENV environment() const { return m_environment; }

    /// The sampling pass's connection (see InsertSamples), used only while
    /// keptLock() is held: the window closes it while a pass may run.
    KeptConnection& keptConnection() { return m_kept; }
    std::mutex& keptLock() { return m_keptLock; }
    /// Closes the kept connection, if open, in the order statement,
    /// disconnect, connection; the back-off starts afresh. Takes keptLock().
    void closeKeptConnection();
    /// The same for a caller that holds keptLock().
    void closeKeptConnectionLocked();

private:
    void unload();

    std::vector<std::string> m_libraryNames;
    void* m_handle = nullptr;
    Api m_api;
    SQLHENV m_environment = SQL_NULL_HENV;
    KeptConnection m_kept;
    std::mutex m_keptLock;
    std::mutex m_bindLock;
};

/// The bind of the driver manager: see OdbcLibrary::bind.
inline int BindOdbc(OdbcLibrary& odbc) {
    return odbc.bind();
}

/// The message of a bind result for the setup dialog; empty for Bound.
std::string_view bindFailureText(int bindResult);

/// Lists the defined data sources (names up to 32 characters) in the order
/// the driver manager gives them. With none, tells the operator how data
/// sources are added. Needs a bound library and an environment.
std::vector<std::string> ListDataSources(OdbcLibrary& odbc, Operator& op);

/// The operator's text for a failed SQLConnect on `connection`, which
/// returned `rc`: the SQLSTATE of the failure picks the text.
/// The SQLSTATE and the driver's message of the last failure on a connection
/// or statement (SQLError on the process's environment).
struct OdbcError {
    std::string state;
    std::string message;
};
OdbcError ReadOdbcError(OdbcLibrary& odbc, SQLHDBC connection, SQLHSTMT statement);

std::string ConnectFailureText(OdbcLibrary& odbc, SQLHDBC connection, SQLRETURN rc);

/// The connect sequence of the setup dialogs: one connection and one
/// statement for the length of one operation, released in the order
/// statement, disconnect, connection.
class OdbcSession {
public:
    /// Allocates a connection, connects to `dsn` as `user`/`passwd`, runs
    /// `afterConnect` (for steps that need only the connection) and
    /// allocates a statement. On a failure shows its message, releases what
    /// was allocated and returns null.
    static std::unique_ptr<OdbcSession> open(OdbcLibrary& odbc, Operator& op, std::string_view dsn,
                                             std::string_view user, std::string_view passwd,
                                             const std::function<void(SQLHDBC)>& afterConnect = {});
    ~OdbcSession();
    OdbcSession(const OdbcSession&) = delete;
    OdbcSession& operator=(const OdbcSession&) = delete;

    OdbcLibrary& odbc() { return m_odbc; }
    SQLHDBC connection() const { return m_connection; }
    SQLHSTMT statement() const { return m_statement; }

    /// The driver's message for the last failure of the statement (up to
    /// 255 characters).
    std::string errorText();

private:
    OdbcSession(OdbcLibrary& odbc, SQLHDBC connection, SQLHSTMT statement)
        : m_odbc(odbc), m_connection(connection), m_statement(statement) {}

    OdbcLibrary& m_odbc;
    SQLHDBC m_connection;
    SQLHSTMT m_statement;
};

/// The DBMS name the connection reports (SQLGetInfo SQL_DBMS_NAME); empty
/// when it cannot be read.
std::string DbmsName(OdbcLibrary& odbc, SQLHDBC connection);

/// The tables of the data source (names up to 127 characters), in the
/// driver's order. Shows the failure's message and returns nothing when the
/// list cannot be read.
std::optional<std::vector<std::string>> ReadTables(OdbcSession& session, Operator& op);

/// One column of a table as SQLColumns reports it.
struct ColumnInfo {
    std::string name;
    std::int16_t sqlType = 0;
    bool operator==(const ColumnInfo&) const = default;
};

/// The columns of `table` in the driver's order; nothing (after the
/// failure's message) when they cannot be read.
std::optional<std::vector<ColumnInfo>> ReadColumns(OdbcSession& session, Operator& op,
                                                   std::string_view table);

/// One row of the data source's type information: TYPE_NAME and DATA_TYPE.
struct TypeInfo {
    std::string name;
    std::int16_t sqlType = 0;
    bool operator==(const TypeInfo&) const = default;
};

/// Every row of SQLGetTypeInfo(SQL_ALL_TYPES); nothing (after the failure's
/// message) when it cannot be read. The statement is reset for reuse.
std::optional<std::vector<TypeInfo>> ReadTypeInfo(OdbcSession& session, Operator& op);

/// "Error # %d  %s" with a statement's return code and the driver's text.
std::string statementErrorText(SQLRETURN rc, std::string_view driverText);

// The operator's messages of this layer.
inline constexpr std::string_view kNoDataSourcesText =
    "Could not find any defined databases (DSN)\nThese are usually added with the \"32bit ODBC\" "
    "Control Panel";
inline constexpr std::string_view kLoadFailedText =
    "Couldn't load ODBC32.DLL.  This usually means that ODBC (required to access databases) is "
    "not installed\nODBC is usually supplied with database software, such as MS Access, SQL "
    "Server, Oracle, etc.";
inline constexpr std::string_view kEntryPointMissingText =
    "Couldn't find all required functions within DLL";
inline constexpr std::string_view kNoEnvironmentText = "Couldn't allocate the ODBC environment";
inline constexpr std::string_view kBindColumnFailedText =
    "Trouble using data returned from database\nCouldn't bind to a column with \"SQLBindCol()\"";

} // namespace tarvo
