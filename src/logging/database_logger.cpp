#include "logging/database_logger.h"

#include <charconv>
#include <cmath>
#include <ctime>
#include <mutex>

#include "core/clock.h"
#include "core/operator.h"
#include "devices/device_kind.h"
#include "logging/log_variables.h"

namespace tarvo {
namespace {

// "%.3f" with "." whatever the locale: to_chars does not look at it.
std::string fixed3(double value) {
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 3);
    return std::string(buffer, result.ptr);
}

std::string formatTime(std::time_t time, const char* format) {
    std::tm local{};
    localtime_r(&time, &local);
    char buffer[64];
    const std::size_t n = std::strftime(buffer, sizeof buffer, format, &local);
    return std::string(buffer, n);
}

std::string ampsLiteral(const ColumnLink& link, const LogSample& sample) {
    const int breaker = link.variableIndex - kFirstAmpsVariable;
    if (!isBranchMonitor(sample.kind) || breaker < 0 ||
        breaker >= static_cast<int>(sample.currents.size()))
        return "NULL";
    const double amps = sample.currents[static_cast<std::size_t>(breaker)];
    if (!std::isfinite(amps))
        return "NULL";
    if (link.sqlType == SqlInteger || link.sqlType == SqlSmallInt)
        return std::to_string(std::lround(amps));
    if (isTextType(link.sqlType))
        return quoteString(fixed3(amps));
    return fixed3(amps);
}

std::string dateTimeLiteral(const ColumnLink& link, const LogSample& sample) {
    switch (link.sqlType) {
    case SqlDate:
        return "{d '" + formatTime(sample.time, "%Y-%m-%d") + "'}";
    case SqlTime:
        return "{t '" + formatTime(sample.time, "%H:%M:%S") + "'}";
    case SqlTimestamp:
        return "{ts '" + formatTime(sample.time, "%Y-%m-%d %H:%M:%S") + "'}";
    default:
        return quoteString(formatTime(sample.time, "%m/%d/%Y %H:%M:%S"));
    }
}

// A statement that failed because the link to the server is gone: an ODBC
// communication error (SQLSTATE class 08) or the server ending its sessions
// as it shuts down (57P01-57P03, which psqlODBC passes on).
bool linkFailed(const std::string& state) {
    return state.rfind("08", 0) == 0 || state.rfind("57P0", 0) == 0;
}

// Seconds before the next connect after `failures` failed ones in a row:
// 1, 2, 4 ... 32, then 60.
std::time_t backOffSeconds(int failures) {
    return failures >= 7 ? 60 : std::time_t{1} << (failures - 1);
}

// Makes the kept connection and its statement; the operator's message when
// that fails ("Error connecting" and its kin), empty when it worked.
std::string connectKept(OdbcLibrary& odbc, const Settings& settings, const Clock* clock) {
    const OdbcLibrary::Api& api = odbc.api();
    KeptConnection& kept = odbc.keptConnection();
    auto text = [](const std::string& s) {
        return reinterpret_cast<SQLCHAR*>(const_cast<char*>(s.data()));
    };
    auto size = [](const std::string& s) { return static_cast<SQLSMALLINT>(s.size()); };
    auto failed = [&](const char* message) {
        const int failures = kept.failedConnects + 1;
        odbc.closeKeptConnectionLocked();
        kept.failedConnects = failures;
        if (clock)
            kept.retryAt = clock->now() + backOffSeconds(failures);
        return std::string(message);
    };
    // Copies: the settings may change while the connection is open.
    kept.dsn = settings.dsn;
    kept.user = settings.user;
    kept.passwd = settings.passwd;
    SQLHDBC connection = SQL_NULL_HDBC;
    if (!odbcSucceeded(api.SQLAllocConnect(odbc.environment(), &connection)))
        return failed("Error alloc connection");
    if (!odbcSucceeded(api.SQLConnect(connection, text(kept.dsn), size(kept.dsn), text(kept.user),
                                      size(kept.user), text(kept.passwd), size(kept.passwd)))) {
        api.SQLFreeConnect(connection);
        return failed("Error connecting");
    }
    kept.connection = connection;
    if (!odbcSucceeded(api.SQLAllocStmt(connection, &kept.statement))) {
        kept.statement = SQL_NULL_HSTMT;
        return failed("Error alloc stmt");
    }
    kept.dbmsName = DbmsName(odbc, connection);
    kept.failedConnects = 0;
    kept.retryAt = 0;
    return {};
}

// Inserts the waiting records over the kept connection, oldest first, and
// returns the message of a failure. A record leaves the queue only after
// its INSERT returned success; with autocommit an INSERT that returned an
// error was not committed, so it is tried again and never doubled.
std::string insertOverKeptConnection(OdbcLibrary& odbc, const Settings& settings,
                                     SampleQueue& databaseQueue, const Clock* clock) {
    KeptConnection& kept = odbc.keptConnection();
    if (kept.open() &&
        (kept.dsn != settings.dsn || kept.user != settings.user || kept.passwd != settings.passwd))
        odbc.closeKeptConnectionLocked();
    if (!kept.open() && clock && kept.failedConnects > 0 && clock->now() < kept.retryAt)
        return {};
    // A connection found dead is made again at once, once a pass; after
    // that the back-off above spaces the attempts.
    bool remadeOnce = false;
    if (!kept.open()) {
        if (std::string failure = connectKept(odbc, settings, clock); !failure.empty())
            return failure;
    }
    const std::string location = locationForDbms(settings.location, kept.dbmsName);
    while (const SampleRecord record = databaseQueue.front()) {
        std::string sql = buildInsertStatement(settings, *record, location);
        const SQLRETURN rc =
            odbc.api().SQLExecDirect(kept.statement, reinterpret_cast<SQLCHAR*>(sql.data()),
                                     static_cast<SQLINTEGER>(sql.size()));
        if (odbcSucceeded(rc)) {
            databaseQueue.popFront();
            continue;
        }
        const OdbcError error = ReadOdbcError(odbc, kept.connection, kept.statement);
        // Any failure ends the connection, so a link that died with an
        // unexpected code is not used again either.
        odbc.closeKeptConnectionLocked();
        if (!linkFailed(error.state) || remadeOnce)
            return linkFailed(error.state) ? "Error connecting"
                                           : statementErrorText(rc, error.message);
        remadeOnce = true;
        if (std::string failure = connectKept(odbc, settings, clock); !failure.empty())
            return failure;
    }
    return {};
}

} // namespace

std::string valueLiteral(const ColumnLink& link, const LogSample& sample,
                         std::string_view location) {
    if (!VariableFitsColumnType(link.variableIndex, link.sqlType))
        return "NULL";
    switch (link.variableIndex) {
    case kMeterVariable: {
        const std::string address = std::to_string(sample.address);
        return isTextType(link.sqlType) ? quoteString(address) : address;
    }
    case kLocationVariable:
        return quoteString(location);
    case kDateTimeVariable:
        return dateTimeLiteral(link, sample);
    default:
        return ampsLiteral(link, sample);
    }
}

std::string locationForDbms(std::string_view location, std::string_view dbmsName) {
    // MySQL and MariaDB read a backslash in a string literal as an escape
    // (unless NO_BACKSLASH_ESCAPES is set); standard SQL, as SQLite and
    // PostgreSQL speak it, takes it as an ordinary character.
    const bool escapes = dbmsName.find("MySQL") != std::string_view::npos ||
                         dbmsName.find("MariaDB") != std::string_view::npos;
    std::string text;
    for (char c : location) {
        text += c;
        if (escapes && c == '\\')
            text += c;
    }
    return text;
}

std::string buildInsertStatement(const Settings& settings, const LogSample& sample,
                                 std::string_view location) {
    std::string columns;
    std::string values;
    for (const ColumnLink& link : settings.links) {
        if (!columns.empty()) {
            columns += ", ";
            values += ", ";
        }
        columns += link.columnName;
        values += valueLiteral(link, sample, location);
    }
    return "INSERT INTO " + settings.table + " (" + columns + ")\n  VALUES (" + values + ");";
}

std::string checkDatabaseConfiguration(const Settings& settings) {
    const std::string cure =
        "\nDatabase logging is turned off; set it up again with Logging > ODBC.";
    if (!identifierIsSafe(settings.table))
        return "The table name \"" + settings.table +
               "\" can't be used: names may hold only letters, digits, '_', '$' and '.', or be "
               "written in square brackets." +
               cure;
    for (const ColumnLink& link : settings.links) {
        if (!identifierIsSafe(link.columnName))
            return "The column name \"" + link.columnName +
                   "\" can't be used: names may hold only letters, digits, '_', '$' and '.', or "
                   "be written in square brackets." +
                   cure;
        if (!VariableFitsColumnType(link.variableIndex, link.sqlType))
            return "The link of variable " + std::to_string(link.variableIndex) + " to column \"" +
                   link.columnName + "\" (SQL type " + std::to_string(link.sqlType) +
                   ") names no variable that fits the column." + cure;
    }
    return {};
}

void shutDownDatabaseLogging(Settings& settings, SampleQueue& databaseQueue) {
    settings.databaseLogState = Off;
    settings.clearDatabaseSettings();
    databaseQueue.clear();
}

void InsertSamples(OdbcLibrary& odbc, Settings& settings, SampleQueue& databaseQueue, Operator& op,
                   const Clock* clock) {
    if (settings.databaseLogState != Active)
        closeDatabaseConnection(odbc);
    if (settings.databaseLogState != Active || databaseQueue.empty())
        return;
    bool bindFailed = false;
    if (!odbc.loaded())
        bindFailed = BindOdbc(odbc) != Bound;
    if (bindFailed || !odbc.ensureEnvironment()) {
        shutDownDatabaseLogging(settings, databaseQueue);
        return;
    }
    // No links: nothing to insert, and nothing is sent; the records wait.
    if (settings.links.empty())
        return;
    if (const std::string problem = checkDatabaseConfiguration(settings); !problem.empty()) {
        closeDatabaseConnection(odbc);
        shutDownDatabaseLogging(settings, databaseQueue);
        op.showMessage(problem);
        return;
    }

    std::string failure;
    {
        const std::lock_guard lock(odbc.keptLock());
        failure = insertOverKeptConnection(odbc, settings, databaseQueue, clock);
    }
    // Shown with the lock let go: the ticks go on while the box is open,
    // and a pass they start must find the connection free.
    if (!failure.empty())
        op.showMessage(failure);
}

void closeDatabaseConnection(OdbcLibrary& odbc) {
    odbc.closeKeptConnection();
}

std::optional<LogTableTypes> chooseLogTableTypes(const std::vector<TypeInfo>& types) {
    std::optional<TypeInfo> floating, integer, string, time;
    for (const TypeInfo& type : types) {
        switch (type.sqlType) {
        case SqlFloat:
            floating = type;
            break;
        case SqlDouble:
            if (!floating)
                floating = type;
            break;
        case SqlInteger:
            integer = type;
            break;
        case SqlNumeric:
            if (!integer)
                integer = type;
            break;
        case SqlVarChar:
            string = type;
            break;
        case SqlChar:
            if (!string)
                string = type;
            break;
        case SqlTimestamp:
            time = type;
            break;
        case SqlDate:
            if (!time)
                time = type;
            break;
        default:
            break;
        }
    }
    if (string)
        string->name += "(32)";
    if (!integer)
        integer = floating;
    if (!time)
        time = string;
    if (!floating || !string)
        return std::nullopt;
    return LogTableTypes{*floating, *integer, *string, *time};
}

std::string buildCreateTableStatement(std::string_view tableName, const LogTableTypes& types,
                                      int columns) {
    static constexpr int kMinimal[] = {0, 1, 2, 3, 4, 5, 7, 8, 10};
    std::vector<int> included;
    if (columns == MinimalColumns)
        included.assign(std::begin(kMinimal), std::end(kMinimal));
    else
        for (int i = 0; i < kLogVariableCount; ++i)
            included.push_back(i);
    std::string sql = "CREATE TABLE " + std::string(tableName) + " (\n";
    for (std::size_t i = 0; i < included.size(); ++i) {
        const int variable = included[i];
        if (i > 0)
            sql += ",\n";
        const TypeInfo& type = variable == kLocationVariable   ? types.string
                               : variable == kDateTimeVariable ? types.time
                                                               : types.integer;
        sql += std::string(logVariableName(variable)) + " " + type.name;
    }
    sql += ");";
    return sql;
}

std::string checkNewTableName(std::string_view name) {
    if (name.empty())
        return "You must give the new table a name";
    for (char c : name) {
        const bool ok =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok)
            return "The table name may only contain A-Z, a-z, 0-9 and underscore '_'";
    }
    return {};
}

bool createLogTable(OdbcSession& session, Operator& op, std::string_view tableName, int columns) {
    // The name reaches the statement as it is, so it is checked here too and
    // not only by the dialog that asked for it.
    if (const std::string problem = checkNewTableName(tableName); !problem.empty()) {
        op.showMessage(problem);
        return false;
    }
    const std::optional<std::vector<TypeInfo>> info = ReadTypeInfo(session, op);
    if (!info)
        return false;
    const std::optional<LogTableTypes> types = chooseLogTableTypes(*info);
    if (!types) {
        op.showMessage(kNoTypeNamesText);
        return false;
    }
    std::string sql = buildCreateTableStatement(tableName, *types, columns);
    const SQLRETURN rc = session.odbc().api().SQLExecDirect(session.statement(),
                                                            reinterpret_cast<SQLCHAR*>(sql.data()),
                                                            static_cast<SQLINTEGER>(sql.size()));
    if (!odbcSucceeded(rc)) {
        op.showMessage(statementErrorText(rc, session.errorText()));
        return false;
    }
    return true;
}

} // namespace tarvo
