#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvo {

/// The variables a database row can hold, in the order a ColumnLink's
/// variable index counts them: "Meter", "Location", "Date_Time", then
/// "Amps1" to "Amps42" (index 2 + N is AmpsN).
inline constexpr int kLogVariableCount = 45;
inline constexpr int kMeterVariable = 0;
inline constexpr int kLocationVariable = 1;
inline constexpr int kDateTimeVariable = 2;
inline constexpr int kFirstAmpsVariable = 3;

/// The name of variable `index`; empty outside 0 to 44.
std::string_view logVariableName(int index);
/// The index of the variable named exactly `name` (case-sensitive); -1 for none.
int logVariableIndex(std::string_view name);

/// The SQL data type codes as an ODBC 2 environment reports them.
enum SqlTypeCode : std::int16_t {
    SqlLongVarChar = -1,
    SqlChar = 1,
    SqlNumeric = 2,
    SqlDecimal = 3,
    SqlInteger = 4,
    SqlSmallInt = 5,
    SqlFloat = 6,
    SqlReal = 7,
    SqlDouble = 8,
    SqlDate = 9,
    SqlTime = 10,
    SqlTimestamp = 11,
    SqlVarChar = 12,
};

bool isTextType(int sqlType);
bool isNumericType(int sqlType);
bool isDateTimeType(int sqlType);

/// Whether variable `index` may be stored in a column of `sqlType`: text
/// columns take every variable, numeric columns "Meter" and the currents,
/// date and time columns only "Date_Time".
bool VariableFitsColumnType(int index, int sqlType);

/// Whether a column name names a variable: same length, and each character
/// pair equal, equal but for letter case, or a space against an underscore.
bool NameMatches(std::string_view variableName, std::string_view columnName);

/// `name` in square brackets when `kludgeFlags` is 5 (Access wants its
/// names quoted so); otherwise `name` unchanged.
std::string BracketQuote(std::string_view name, int kludgeFlags);

/// Whether `name` can stand as a table or column name in a statement
/// without ending its identifier early: either a bracketed name ("[" ... "]"
/// with no "]" or control character inside) or a plain name of letters,
/// digits, "_", "$", "." (schema.table) and non-ASCII bytes. A name from a
/// hand-edited settings file that fails this could carry its own SQL.
bool identifierIsSafe(std::string_view name);

/// `text` as an SQL string literal: in single quotes, each ' doubled.
std::string quoteString(std::string_view text);

} // namespace tarvo
