// The run-time binding of the driver manager, the data-source list, the
// connect-failure texts, and the name and type rules of the mapping.
#include <gtest/gtest.h>

#include "logging/log_variables.h"
#include "logging/odbc_library.h"
#include "odbc_test_support.h"
#include "support/recording_operator.h"

namespace tarvo {
namespace {

using test::RecordingOperator;

const auto* const kOdbcConfig = ::testing::AddGlobalTestEnvironment(new test::SharedOdbcConfig);

// Each row: the library names tried, the bind result twice in a row (nothing
// stays behind after a failure) and the operator's text for it.
struct BindCase {
    const char* fault;
    std::vector<std::string> names;
    int result;
    const char* text;
};

TEST(BindOdbc, ResultAndTextOfEachLibrary) {
    const BindCase cases[] = {
        {"missing library not 1",
         {"/nonexistent/libodbc-tarvo.so.9"},
         LibraryNotLoaded,
         "Couldn't load ODBC32.DLL.  This usually means that ODBC (required to access databases) "
         "is not installed\nODBC is usually supplied with database software, such as MS Access, "
         "SQL Server, Oracle, etc."},
        {"library without SQLSetStmtOption not 2",
         {TARVO_ODBC_STUB_PARTIAL},
         EntryPointMissing,
         "Couldn't find all required functions within DLL"},
        {"later names not tried", {"/nonexistent/libodbc.so.2", TARVO_ODBC_STUB}, Bound, ""},
    };
    for (const BindCase& c : cases) {
        OdbcLibrary odbc(c.names);
        EXPECT_EQ(BindOdbc(odbc), c.result) << c.fault;
        EXPECT_EQ(odbc.loaded(), c.result == Bound) << c.fault;
        EXPECT_EQ(BindOdbc(odbc), c.result) << c.fault;
        if (c.result != Bound) {
            EXPECT_EQ(bindFailureText(c.result), c.text) << c.fault;
        }
    }
    // The stand-in binds but knows no data source.
    OdbcLibrary stub({TARVO_ODBC_STUB});
    ASSERT_EQ(BindOdbc(stub), Bound);
    RecordingOperator op;
    EXPECT_TRUE(ListDataSources(stub, op).empty());
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text, "Could not find any defined databases (DSN)\nThese are usually "
                                   "added with the \"32bit ODBC\" Control Panel");
}

TEST(BindOdbc, SystemDriverManagerKeepsOneEnvironment) {
    OdbcLibrary odbc;
    ASSERT_EQ(BindOdbc(odbc), Bound) << "unixODBC (libodbc.so.2) is installed by scripts/setup";
    ASSERT_TRUE(odbc.ensureEnvironment());
    const SQLHENV environment = odbc.environment();
    EXPECT_TRUE(odbc.ensureEnvironment());
    EXPECT_EQ(odbc.environment(), environment) << "one environment for the whole run";

    // The data-source list is the setup dialog's case.
    RecordingOperator op;
    std::string dbms;
    const auto session = OdbcSession::open(odbc, op, test::SharedOdbcConfig::kSqliteDsn, "", "",
                                           [&](SQLHDBC c) { dbms = DbmsName(odbc, c); });
    EXPECT_EQ(dbms, test::OdbcConfig::sqliteDriverPresent() ? "SQLite" : "");
    EXPECT_EQ(OdbcSession::open(odbc, op, "tarvo_no_such_source", "", ""), nullptr);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text,
              "Can't connect to this database, Data source not found, no default is available");
}

// Each row: what SQLConnect returned, the SQLSTATE the driver manager
// reports, and the text the operator must see. The lookup is what can go
// wrong: the first, the last and the one multi-line entry of the table, codes
// that are not in it, and the return codes that bypass it (IM002 is the
// system driver manager's case above).
struct StateCase {
    int rc;
    const char* state;
    const char* text;
};
const StateCase kStates[] = {
    {SQL_ERROR, "08001", "Unable to make a connection to the data source"},
    {SQL_ERROR, "S1000",
     "\"General Error\".\nIs this DSN configured correctly for the database it is supposed to "
     "access?\nDSN's are typically configured for a particular database with the \"32-bit ODBC\" "
     "Control Panel"},
    {SQL_ERROR, "S1T00", "Time-out waiting for connection (no response from database)"},
    // ODBC 3 codes are not in the table; codes are compared exactly.
    {SQL_ERROR, "HY000", "Unknown reason"},
    {SQL_ERROR, "s1000", "Unknown reason"},
    // Other return codes do not look at the SQLSTATE.
    {SQL_INVALID_HANDLE, "28000", "ODBC environment handle is invalid... possibly a bug?"},
    {SQL_NO_DATA, "28000", "Unknown reason"},
};

TEST(ConnectFailureText, EveryFailedConnectHasItsText) {
    OdbcLibrary odbc({TARVO_ODBC_STUB});
    ASSERT_EQ(BindOdbc(odbc), Bound);
    for (const StateCase& c : kStates) {
        setenv("TARVO_STUB_SQLSTATE", c.state, 1);
        EXPECT_EQ(ConnectFailureText(odbc, nullptr, static_cast<SQLRETURN>(c.rc)),
                  std::string("Can't connect to this database, ") + c.text)
            << c.state << " " << c.rc;
    }
}

// Each row: variable index, SQL type code, whether the variable may be
// linked to such a column.
struct FitCase {
    const char* fault;
    int variable;
    int sqlType;
    bool fits;
};
const FitCase kFits[] = {
    {"text column refuses a variable", kDateTimeVariable, SqlVarChar, true},
    {"CHAR refuses the location", kLocationVariable, SqlChar, true},
    {"LONGVARCHAR refuses a current", 44, SqlLongVarChar, true},
    {"INTEGER refuses the meter", kMeterVariable, SqlInteger, true},
    {"FLOAT refuses Amps1", 3, SqlFloat, true},
    {"every numeric code refuses Amps42", 44, SqlDouble, true},
    {"NUMERIC refuses Amps1", 3, SqlNumeric, true},
    {"numeric column takes the location", kLocationVariable, SqlInteger, false},
    {"numeric column takes the time", kDateTimeVariable, SqlReal, false},
    {"TIMESTAMP refuses the time", kDateTimeVariable, SqlTimestamp, true},
    {"DATE refuses the time", kDateTimeVariable, SqlDate, true},
    {"TIME takes the meter", kMeterVariable, SqlTime, false},
    {"TIMESTAMP takes a current", 3, SqlTimestamp, false},
    {"ODBC 3 timestamp code taken", kDateTimeVariable, 93, false},
    {"unknown code taken", kMeterVariable, 0, false},
    {"index past the table taken", 45, SqlVarChar, false},
    {"negative index taken", -1, SqlVarChar, false},
};

TEST(VariableFitsColumnType, EachTypeTakesOnlyItsVariables) {
    for (const FitCase& c : kFits)
        EXPECT_EQ(VariableFitsColumnType(c.variable, c.sqlType), c.fits) << c.fault;
}

struct NameCase {
    const char* variable;
    const char* column;
    bool matches;
};
const NameCase kNames[] = {
    {"Amps1", "AMPS1", true},         {"Amps1", "amps1", true},          {"Amps1", "Amps1", true},
    {"Date_Time", "Date Time", true}, {"Date_Time", "date_time", true},  {"Amps1", "Amps10", false},
    {"Amps10", "Amps1", false},       {"Meter", "Meters", false},        {"Meter", "Metre", false},
    {"Location", "Location ", false}, {"Date_Time", "Date-Time", false},
};

TEST(NameMatches, CaseAndSpaceForUnderscoreOnly) {
    for (const NameCase& c : kNames)
        EXPECT_EQ(NameMatches(c.variable, c.column), c.matches) << c.variable << " / " << c.column;
    EXPECT_EQ(logVariableIndex("amps42"), -1) << "stored names are compared exactly";
}

TEST(IdentifierIsSafe, NamesThatWouldEndTheirIdentifierAreRefused) {
    for (const char* name : {"Samples", "log_2024", "public.samples", "[Date Time]", "Zähler"})
        EXPECT_TRUE(identifierIsSafe(name)) << name;
    for (const char* name :
         {"", "t; DROP TABLE x", "t (a) VALUES (1); --", "\"quoted\"", "a'b", "Date Time",
          "[a]; DROP TABLE x; --[b]", "[]", "[open", "x--", "x/*", "[tab\there]"})
        EXPECT_FALSE(identifierIsSafe(name)) << name;
}

} // namespace
} // namespace tarvo
