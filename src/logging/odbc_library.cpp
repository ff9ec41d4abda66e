#include "logging/odbc_library.h"

#include <array>
#include <cstdio>
#include <cstring>

#include <dlfcn.h>

#include "core/operator.h"

namespace tarvo {
namespace {

SQLCHAR* chars(std::string_view text) {
    // ODBC 2 takes input texts as non-const pointers; it does not write them.
    return reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.data()));
}

SQLSMALLINT length(std::string_view text) {
    // Names and credentials are at most 255 bytes (the settings' capacity).
    return static_cast<SQLSMALLINT>(text.size() > 32767 ? 32767 : text.size());
}

std::string fromBuffer(const SQLCHAR* buffer, std::size_t size) {
    const auto* begin = reinterpret_cast<const char*>(buffer);
    return std::string(begin, strnlen(begin, size));
}

struct ConnectFailure {
    const char* state;
    const char* text;
};

// Compared in this order; the codes are the ODBC 2 SQLSTATEs, which the
// environment from SQLAllocEnv reports.
const ConnectFailure kConnectFailures[] = {
    {"08001", "Can't connect to this database, Unable to make a connection to the data source"},
    {"08002", "Can't connect to this database, Connection is in use"},
    {"08004", "Can't connect to this database, Data source rejected the connection"},
    {"08S01", "Can't connect to this database, Communication link failure"},
    {"28000", "Can't connect to this database, Invalid Username and/or Password"},
    {"IM001", "Can't connect to this database, This driver does not support connections (so "
              "what good is that?)"},
    {"IM002", "Can't connect to this database, Data source not found, no default is available"},
    {"IM003", "Can't connect to this database, Could not load the database's ODBC driver"},
    {"IM004", "Can't connect to this database, The Database driver couldn't allocate an "
              "environment"},
    {"IM005", "Can't connect to this database, The Database driver couldn't allocate a "
              "connection"},
    {"IM009", "Can't connect to this database, Unable to load a translation DLL"},
    {"S1000", "Can't connect to this database, \"General Error\".\nIs this DSN configured "
              "correctly for the database it is supposed to access?\nDSN's are typically "
              "configured for a particular database with the \"32-bit ODBC\" Control Panel"},
    {"S1001", "Can't connect to this database, Unable to allocate memory"},
    {"S1090", "Can't connect to this database, Invalid database name, user name and/or password"},
    {"S1T00", "Can't connect to this database, Time-out waiting for connection (no response from "
              "database)"},
};

// Unbinds the result columns and closes the cursor when a query's buffers go
// out of scope, so the statement is fit for the next query.
class StatementReset {
public:
    StatementReset(const OdbcLibrary::Api& api, SQLHSTMT statement)
        : m_api(api), m_statement(statement) {}
    ~StatementReset() {
        m_api.SQLFreeStmt(m_statement, SQL_UNBIND);
        m_api.SQLFreeStmt(m_statement, SQL_CLOSE);
    }
    StatementReset(const StatementReset&) = delete;
    StatementReset& operator=(const StatementReset&) = delete;

private:
    const OdbcLibrary::Api& m_api;
    SQLHSTMT m_statement;
};

constexpr const char* kUnknownReason = "Can't connect to this database, Unknown reason";

} // namespace

std::vector<std::string> OdbcLibrary::defaultLibraryNames() {
#ifdef _WIN32
    return {"ODBC32.DLL"};
#else
    return {"libodbc.so.2", "libodbc.so"};
#endif
}

OdbcLibrary::OdbcLibrary(std::vector<std::string> libraryNames)
    : m_libraryNames(std::move(libraryNames)) {}

OdbcLibrary::~OdbcLibrary() {
    closeKeptConnection();
    // The process-wide instance ends with the process; tests make and end
    // several, so each hands back its environment before unloading.
    if (m_handle && m_environment != SQL_NULL_HENV) {
        if (auto freeEnv = reinterpret_cast<decltype(&::SQLFreeEnv)>(dlsym(m_handle, "SQLFreeEnv")))
            freeEnv(m_environment);
    }
    unload();
}

void OdbcLibrary::closeKeptConnection() {
    const std::lock_guard lock(m_keptLock);
    closeKeptConnectionLocked();
}

void OdbcLibrary::closeKeptConnectionLocked() {
    if (m_kept.open() && m_handle) {
        if (m_kept.statement != SQL_NULL_HSTMT)
            m_api.SQLFreeStmt(m_kept.statement, SQL_DROP);
        m_api.SQLDisconnect(m_kept.connection);
        m_api.SQLFreeConnect(m_kept.connection);
    }
    m_kept = KeptConnection{};
}

void OdbcLibrary::unload() {
    if (m_handle)
        dlclose(m_handle);
    m_handle = nullptr;
    m_api = Api{};
    m_environment = SQL_NULL_HENV;
}

int OdbcLibrary::bind() {
    // The window's database dialogs and the bus thread's inserts both bind:
    // one at a time, and a bound library's entry points are left as they
    // are while the other thread calls through them.
    const std::lock_guard lock(m_bindLock);
    if (!m_handle) {
        for (const std::string& name : m_libraryNames) {
            m_handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (m_handle)
                break;
        }
        if (!m_handle)
            return LibraryNotLoaded;
    }
    bool complete = true;
    auto resolve = [&](auto& entry, const char* name) {
        const auto found =
            reinterpret_cast<std::remove_reference_t<decltype(entry)>>(dlsym(m_handle, name));
        if (found != entry)
            entry = found;
        if (!found)
            complete = false;
    };
    resolve(m_api.SQLDataSources, "SQLDataSources");
    resolve(m_api.SQLAllocEnv, "SQLAllocEnv");
    resolve(m_api.SQLFreeConnect, "SQLFreeConnect");
    resolve(m_api.SQLDisconnect, "SQLDisconnect");
    resolve(m_api.SQLFreeStmt, "SQLFreeStmt");
    resolve(m_api.SQLFetch, "SQLFetch");
    resolve(m_api.SQLBindCol, "SQLBindCol");
    resolve(m_api.SQLTables, "SQLTables");
    resolve(m_api.SQLAllocStmt, "SQLAllocStmt");
    resolve(m_api.SQLConnect, "SQLConnect");
    resolve(m_api.SQLAllocConnect, "SQLAllocConnect");
    resolve(m_api.SQLColumns, "SQLColumns");
    resolve(m_api.SQLGetInfo, "SQLGetInfo");
    resolve(m_api.SQLExecDirect, "SQLExecDirect");
    resolve(m_api.SQLSetStmtOption, "SQLSetStmtOption");
    resolve(m_api.SQLError, "SQLError");
    resolve(m_api.SQLGetTypeInfo, "SQLGetTypeInfo");
    if (!complete) {
        unload();
        return EntryPointMissing;
    }
    return Bound;
}

bool OdbcLibrary::ensureEnvironment() {
    const std::lock_guard lock(m_bindLock);
    if (m_environment != SQL_NULL_HENV)
        return true;
    if (!m_handle)
        return false;
    SQLHENV environment = SQL_NULL_HENV;
    if (!odbcSucceeded(m_api.SQLAllocEnv(&environment)))
        return false;
    m_environment = environment;
    return true;
}

std::string_view bindFailureText(int bindResult) {
    switch (bindResult) {
    case LibraryNotLoaded:
        return kLoadFailedText;
    case EntryPointMissing:
        return kEntryPointMissingText;
    default:
        return {};
    }
}

std::vector<std::string> ListDataSources(OdbcLibrary& odbc, Operator& op) {
    std::vector<std::string> names;
    if (odbc.hasEnvironment()) {
        SQLUSMALLINT direction = SQL_FETCH_FIRST;
        for (;;) {
            SQLCHAR name[33] = {};
            SQLCHAR description[256] = {};
            SQLSMALLINT nameLength = 0;
            SQLSMALLINT descriptionLength = 0;
            const SQLRETURN rc = odbc.api().SQLDataSources(odbc.environment(), direction, name,
                                                           sizeof name, &nameLength, description,
                                                           sizeof description, &descriptionLength);
            if (!odbcSucceeded(rc))
                break;
            names.push_back(fromBuffer(name, sizeof name));
            direction = SQL_FETCH_NEXT;
        }
    }
    if (names.empty())
        op.showMessage(kNoDataSourcesText);
    return names;
}

OdbcError ReadOdbcError(OdbcLibrary& odbc, SQLHDBC connection, SQLHSTMT statement) {
    SQLCHAR state[6] = {};
    SQLINTEGER nativeError = 0;
    SQLCHAR message[256] = {};
    SQLSMALLINT messageLength = 0;
    odbc.api().SQLError(odbc.environment(), connection, statement, state, &nativeError, message,
                        sizeof message, &messageLength);
    return {fromBuffer(state, sizeof state), fromBuffer(message, sizeof message)};
}

std::string ConnectFailureText(OdbcLibrary& odbc, SQLHDBC connection, SQLRETURN rc) {
    // Read before anything else touches the connection, whatever rc is.
    const std::string code = ReadOdbcError(odbc, connection, SQL_NULL_HSTMT).state;
    if (rc != SQL_ERROR) {
        if (rc == SQL_INVALID_HANDLE)
            return "Can't connect to this database, ODBC environment handle is invalid... "
                   "possibly a bug?";
        return kUnknownReason;
    }
    for (const ConnectFailure& failure : kConnectFailures)
        if (code == failure.state)
            return failure.text;
    return kUnknownReason;
}

std::unique_ptr<OdbcSession> OdbcSession::open(OdbcLibrary& odbc, Operator& op,
                                               std::string_view dsn, std::string_view user,
                                               std::string_view passwd,
                                               const std::function<void(SQLHDBC)>& afterConnect) {
    const OdbcLibrary::Api& api = odbc.api();
    SQLHDBC connection = SQL_NULL_HDBC;
    if (!odbc.hasEnvironment() ||
        !odbcSucceeded(api.SQLAllocConnect(odbc.environment(), &connection))) {
        op.showMessage("Couldn't allocate an ODBC connection");
        return nullptr;
    }
    const SQLRETURN rc = api.SQLConnect(connection, chars(dsn), length(dsn), chars(user),
                                        length(user), chars(passwd), length(passwd));
    if (!odbcSucceeded(rc)) {
        const std::string text = ConnectFailureText(odbc, connection, rc);
        op.showMessage(text);
        api.SQLFreeConnect(connection);
        return nullptr;
    }
    if (afterConnect)
        afterConnect(connection);
    SQLHSTMT statement = SQL_NULL_HSTMT;
    if (!odbcSucceeded(api.SQLAllocStmt(connection, &statement))) {
        op.showMessage("Couldn't allocate an ODBC statement");
        api.SQLDisconnect(connection);
        api.SQLFreeConnect(connection);
        return nullptr;
    }
    return std::unique_ptr<OdbcSession>(new OdbcSession(odbc, connection, statement));
}

OdbcSession::~OdbcSession() {
    const OdbcLibrary::Api& api = m_odbc.api();
    api.SQLFreeStmt(m_statement, SQL_DROP);
    api.SQLDisconnect(m_connection);
    api.SQLFreeConnect(m_connection);
}

std::string OdbcSession::errorText() {
    return ReadOdbcError(m_odbc, m_connection, m_statement).message;
}

std::string DbmsName(OdbcLibrary& odbc, SQLHDBC connection) {
    SQLCHAR name[256] = {};
    SQLSMALLINT nameLength = 0;
    if (!odbcSucceeded(
            odbc.api().SQLGetInfo(connection, SQL_DBMS_NAME, name, sizeof name, &nameLength)))
        return {};
    return fromBuffer(name, sizeof name);
}

std::optional<std::vector<std::string>> ReadTables(OdbcSession& session, Operator& op) {
    const OdbcLibrary::Api& api = session.odbc().api();
    const SQLHSTMT statement = session.statement();
    // The type list as ODBC 2 drivers expect it: quoted, quotes included in
    // the length.
    const std::string_view pattern = "%";
    const std::string_view types = "'TABLE'";
    if (!odbcSucceeded(api.SQLTables(statement, nullptr, 0, nullptr, 0, chars(pattern),
                                     length(pattern), chars(types), length(types)))) {
        op.showMessage("Can't read this database's table list");
        return std::nullopt;
    }
    const StatementReset reset(api, statement);
    SQLCHAR name[128] = {};
    SQLLEN nameLength = 0;
    if (!odbcSucceeded(api.SQLBindCol(statement, 3, SQL_C_CHAR, name, sizeof name, &nameLength))) {
        op.showMessage(kBindColumnFailedText);
        return std::nullopt;
    }
    std::vector<std::string> tables;
    for (;;) {
        std::memset(name, 0, sizeof name);
        if (!odbcSucceeded(api.SQLFetch(statement)))
            break;
        tables.push_back(fromBuffer(name, sizeof name));
    }
    return tables;
}

namespace {

// Fetches every row of a catalogue result whose columns `nameColumn` and
// `typeColumn` hold a name and an SQL type code (the column list and the
// type list have that shape), once the catalogue call has succeeded.
template <typename Row>
std::optional<std::vector<Row>> fetchNamesAndTypes(const OdbcLibrary::Api& api, SQLHSTMT statement,
                                                   Operator& op, SQLUSMALLINT nameColumn,
                                                   SQLUSMALLINT typeColumn) {
    const StatementReset reset(api, statement);
    SQLCHAR name[128] = {};
    SQLLEN nameLength = 0;
    SQLSMALLINT type = 0;
    SQLLEN typeLength = 0;
    if (!odbcSucceeded(
            api.SQLBindCol(statement, nameColumn, SQL_C_CHAR, name, sizeof name, &nameLength)) ||
        !odbcSucceeded(
            api.SQLBindCol(statement, typeColumn, SQL_C_SSHORT, &type, sizeof type, &typeLength))) {
        op.showMessage(kBindColumnFailedText);
        return std::nullopt;
    }
    std::vector<Row> rows;
    for (;;) {
        std::memset(name, 0, sizeof name);
        type = 0;
        if (!odbcSucceeded(api.SQLFetch(statement)))
            break;
        rows.push_back({fromBuffer(name, sizeof name), type});
    }
    return rows;
}

} // namespace

std::optional<std::vector<ColumnInfo>> ReadColumns(OdbcSession& session, Operator& op,
                                                   std::string_view table) {
    const OdbcLibrary::Api& api = session.odbc().api();
    const SQLHSTMT statement = session.statement();
    const std::string_view pattern = "%";
    if (!odbcSucceeded(api.SQLColumns(statement, nullptr, 0, nullptr, 0, chars(table),
                                      length(table), chars(pattern), length(pattern)))) {
        op.showMessage("Can't read this table's column list");
        return std::nullopt;
    }
    // Column 4 is COLUMN_NAME, column 5 DATA_TYPE.
    return fetchNamesAndTypes<ColumnInfo>(api, statement, op, 4, 5);
}

std::optional<std::vector<TypeInfo>> ReadTypeInfo(OdbcSession& session, Operator& op) {
    const OdbcLibrary::Api& api = session.odbc().api();
    const SQLHSTMT statement = session.statement();
    if (!odbcSucceeded(api.SQLGetTypeInfo(statement, SQL_ALL_TYPES))) {
        op.showMessage("Error reading this database's type information");
        return std::nullopt;
    }
    // Column 1 is TYPE_NAME, column 2 DATA_TYPE.
    return fetchNamesAndTypes<TypeInfo>(api, statement, op, 1, 2);
}

std::string statementErrorText(SQLRETURN rc, std::string_view driverText) {
    return "Error # " + std::to_string(static_cast<int>(rc)) + "  " + std::string(driverText);
}

} // namespace tarvo
