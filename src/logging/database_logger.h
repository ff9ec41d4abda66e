#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "logging/odbc_library.h"
#include "logging/sample_queue.h"
#include "settings/settings.h"

namespace tarvo {

class Clock;
class Operator;

/// The literal of one linked variable of `sample` for a column of the
/// link's SQL type, with "." as the decimal point whatever the locale:
/// - "Meter": the device's Modbus address; quoted for text columns.
/// - "Location": `location` as a quoted string (quotes doubled).
/// - "Date_Time": the pass time in local time, as an ODBC escape
///   {d 'YYYY-MM-DD'}, {t 'HH:MM:SS'} or {ts 'YYYY-MM-DD HH:MM:SS'} for
///   DATE, TIME and TIMESTAMP columns, as '%m/%d/%Y %H:%M:%S' for text
///   columns (the log file's form).
/// - "AmpsN": "%.3f" for NUMERIC, DECIMAL, FLOAT, REAL and DOUBLE columns,
///   rounded to whole amperes for INTEGER and SMALLINT, quoted "%.3f" for
///   text columns; NULL for records that carry no currents (anything but a
///   branch monitor, including a device that did not answer).
/// Returns NULL for a link the type cannot hold (only a hand-edited
/// settings file makes one; checkDatabaseConfiguration refuses those).
std::string valueLiteral(const ColumnLink& link, const LogSample& sample,
                         std::string_view location);

/// The location as it must be written in a string literal for the DBMS
/// named (SQLGetInfo SQL_DBMS_NAME) to store it as typed: backslashes
/// doubled for MySQL and MariaDB, unchanged for everything else.
std::string locationForDbms(std::string_view location, std::string_view dbmsName);

/// "INSERT INTO table (columns)\n  VALUES (values);" for one record, with
/// `location` (as locationForDbms gives it) for the location variable.
std::string buildInsertStatement(const Settings& settings, const LogSample& sample,
                                 std::string_view location);
inline std::string buildInsertStatement(const Settings& settings, const LogSample& sample) {
    return buildInsertStatement(settings, sample, settings.location);
}

/// Why the stored configuration cannot be turned into statements, as the
/// operator's message; empty when it can. The table, the column names, the
/// variable indexes and their column types come from "Tarvo.cfg", which can
/// be edited by hand: a name that would end its identifier early, a
/// variable that does not exist or does not fit its column never reaches a
/// statement. The location is never refused: it is stored as typed (see
/// locationForDbms).
std::string checkDatabaseConfiguration(const Settings& settings);

/// Turns database logging off: state Off, the database configuration
/// cleared and every waiting record let go (freed unless the file queue
/// still holds it).
void shutDownDatabaseLogging(Settings& settings, SampleQueue& databaseQueue);

/// The database sink of the sampling pass: inserts the waiting records, oldest
/// first, as rows of the configured table over the connection kept in `odbc`
/// from pass to pass (made on the first pass, made again when the data
/// source, user or password changed). Works only while database logging is
/// Active.
///
/// A failed insert shows "Error # %d  %s" once, closes the connection and
/// keeps that record and every later one for the next pass, so none is lost
/// or inserted twice. An insert that failed because the link to the server
/// died (a server restart) closes the connection and makes it again at once
/// (once a pass); when that fails too, "Error connecting" is shown and the
/// records wait. A failure to connect keeps them all: with `clock`, the next
/// attempt waits 1 s, doubling up to 60 s, and passes before it send
/// nothing; without one each pass tries (under the queue's bound). When
/// ODBC cannot be used at all (no driver manager, no environment) database
/// logging is shut down without a message; a configuration that
/// checkDatabaseConfiguration refuses is shut down with its message.
void InsertSamples(OdbcLibrary& odbc, Settings& settings, SampleQueue& databaseQueue, Operator& op,
                   const Clock* clock = nullptr);

/// Closes the connection InsertSamples keeps: for logging turned off or a
/// new database configuration.
void closeDatabaseConnection(OdbcLibrary& odbc);

/// The four column types of a new logging table, chosen from the data
/// source's type information.
struct LogTableTypes {
    TypeInfo floating;
    TypeInfo integer;
    TypeInfo string; ///< its name with "(32)" appended
    TypeInfo time;
};

/// Chooses the types: the last FLOAT else the first DOUBLE; the last
/// INTEGER else the first NUMERIC (else the floating type); the last
/// VARCHAR else the first CHAR; the last TIMESTAMP else the first DATE (else
/// the string type). Nothing when no floating or no string type exists.
std::optional<LogTableTypes> chooseLogTableTypes(const std::vector<TypeInfo>& types);

/// Column-set choices of "Add Database Table".
enum LogTableColumns : int {
    AllColumns = 0,
    MinimalColumns = 1, ///< Meter, Location, Date_Time, Amps1-3, Amps5, Amps6, Amps8
};

/// "CREATE TABLE name (\n" + one "Variable TYPE" per included variable,
/// separated by ",\n", + ");".
std::string buildCreateTableStatement(std::string_view tableName, const LogTableTypes& types,
                                      int columns);

/// Whether a new table's name is acceptable; the message when it is not.
std::string checkNewTableName(std::string_view name);

/// CreateLogTable without its dialogs: reads the type information of the
/// session's data source and creates the table. Shows every failure's
/// message; returns whether the table was created.
bool createLogTable(OdbcSession& session, Operator& op, std::string_view tableName, int columns);

inline constexpr std::string_view kNoTypeNamesText =
    "Couldn't find SQL data type names for numbers and strings...\nCan't add a new table using "
    "SQL, please use your database software.";

} // namespace tarvo
