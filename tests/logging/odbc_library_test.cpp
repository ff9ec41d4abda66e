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

TEST(BindOdbc, MissingDriverManagerGivesOneAndLoadsNothing) {
    OdbcLibrary odbc({"/nonexistent/libodbc-tarvo.so.9"});
    EXPECT_EQ(BindOdbc(odbc), LibraryNotLoaded);
    EXPECT_FALSE(odbc.loaded());
    EXPECT_EQ(bindFailureText(LibraryNotLoaded),
              "Couldn't load ODBC32.DLL.  This usually means that ODBC (required to access "
              "databases) is not installed\nODBC is usually supplied with database software, such "
              "as MS Access, SQL Server, Oracle, etc.");
}

TEST(BindOdbc, DriverManagerWithoutSQLSetStmtOptionGivesTwoAndIsUnloaded) {
    OdbcLibrary odbc({TARVO_ODBC_STUB_PARTIAL});
    EXPECT_EQ(BindOdbc(odbc), EntryPointMissing);
    EXPECT_FALSE(odbc.loaded());
    EXPECT_EQ(bindFailureText(EntryPointMissing),
              "Couldn't find all required functions within DLL");
    // Nothing stays behind: the next attempt loads it again and fails again.
    EXPECT_EQ(BindOdbc(odbc), EntryPointMissing);
}

TEST(BindOdbc, LaterNamesAreTriedWhenTheFirstIsMissing) {
    OdbcLibrary odbc({"/nonexistent/libodbc.so.2", TARVO_ODBC_STUB});
    EXPECT_EQ(BindOdbc(odbc), Bound);
    EXPECT_NE(odbc.api().SQLSetStmtOption, nullptr);
}

TEST(BindOdbc, SystemDriverManagerBindsTwiceInARow) {
    OdbcLibrary odbc;
    ASSERT_EQ(BindOdbc(odbc), Bound) << "unixODBC (libodbc.so.2) is installed by scripts/setup";
    const auto firstConnect = odbc.api().SQLConnect;
    EXPECT_EQ(BindOdbc(odbc), Bound);
    EXPECT_EQ(odbc.api().SQLConnect, firstConnect);
    EXPECT_TRUE(odbc.ensureEnvironment());
    const SQLHENV environment = odbc.environment();
    EXPECT_TRUE(odbc.ensureEnvironment());
    EXPECT_EQ(odbc.environment(), environment) << "one environment for the whole run";
}

TEST(BindOdbc, EnvironmentThatCannotBeAllocatedIsReported) {
    OdbcLibrary odbc({TARVO_ODBC_STUB});
    ASSERT_EQ(BindOdbc(odbc), Bound);
    EXPECT_FALSE(odbc.ensureEnvironment());
    EXPECT_FALSE(odbc.hasEnvironment());
}

TEST(ListDataSources, NamesEveryDefinedSource) {
    OdbcLibrary odbc;
    ASSERT_EQ(BindOdbc(odbc), Bound);
    ASSERT_TRUE(odbc.ensureEnvironment());
    RecordingOperator op;
    const std::vector<std::string> names = ListDataSources(odbc, op);
    EXPECT_NE(std::find(names.begin(), names.end(), "tarvo_first"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "tarvo_second"), names.end());
    EXPECT_TRUE(op.messages.empty());
}

TEST(ListDataSources, NoSourceAtAllTellsHowToAddOne) {
    // The stand-in driver manager knows no data source.
    OdbcLibrary odbc({TARVO_ODBC_STUB});
    ASSERT_EQ(BindOdbc(odbc), Bound);
    RecordingOperator op;
    EXPECT_TRUE(ListDataSources(odbc, op).empty());
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text, "Could not find any defined databases (DSN)\nThese are usually "
                                   "added with the \"32bit ODBC\" Control Panel");
}

TEST(ConnectFailureText, UnknownDataSourceIsIM002) {
    OdbcLibrary odbc;
    ASSERT_EQ(BindOdbc(odbc), Bound);
    ASSERT_TRUE(odbc.ensureEnvironment());
    RecordingOperator op;
    EXPECT_EQ(OdbcSession::open(odbc, op, "tarvo_no_such_source", "", ""), nullptr);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text,
              "Can't connect to this database, Data source not found, no default is available");
}

// Each row: the SQLSTATE the driver manager reports for a failed SQLConnect
// (-1) and the text the operator must see.
struct StateCase {
    const char* state;
    const char* text;
};
const StateCase kStates[] = {
    {"08001", "Can't connect to this database, Unable to make a connection to the data source"},
    {"08002", "Can't connect to this database, Connection is in use"},
    {"08004", "Can't connect to this database, Data source rejected the connection"},
    {"08S01", "Can't connect to this database, Communication link failure"},
    {"28000", "Can't connect to this database, Invalid Username and/or Password"},
    {"IM001", "Can't connect to this database, This driver does not support connections (so what "
              "good is that?)"},
    {"IM002", "Can't connect to this database, Data source not found, no default is available"},
    {"IM003", "Can't connect to this database, Could not load the database's ODBC driver"},
    {"IM004", "Can't connect to this database, The Database driver couldn't allocate an "
              "environment"},
    {"IM005", "Can't connect to this database, The Database driver couldn't allocate a connection"},
    {"IM009", "Can't connect to this database, Unable to load a translation DLL"},
    {"S1000",
     "Can't connect to this database, \"General Error\".\nIs this DSN configured correctly "
     "for the database it is supposed to access?\nDSN's are typically configured for a "
     "particular database with the \"32-bit ODBC\" Control Panel"},
    {"S1001", "Can't connect to this database, Unable to allocate memory"},
    {"S1090", "Can't connect to this database, Invalid database name, user name and/or password"},
    {"S1T00", "Can't connect to this database, Time-out waiting for connection (no response from "
              "database)"},
    // ODBC 3 codes are not in the table: they fall through.
    {"HY000", "Can't connect to this database, Unknown reason"},
    {"HYT00", "Can't connect to this database, Unknown reason"},
    // Compared exactly, letter case included.
    {"s1000", "Can't connect to this database, Unknown reason"},
};

TEST(ConnectFailureText, EverySqlStateOfAFailedConnectHasItsText) {
    OdbcLibrary odbc({TARVO_ODBC_STUB});
    ASSERT_EQ(BindOdbc(odbc), Bound);
    for (const StateCase& c : kStates) {
        setenv("TARVO_STUB_SQLSTATE", c.state, 1);
        EXPECT_EQ(ConnectFailureText(odbc, nullptr, SQL_ERROR), c.text) << c.state;
    }
}

TEST(ConnectFailureText, OtherReturnCodesDoNotLookAtTheSqlState) {
    OdbcLibrary odbc({TARVO_ODBC_STUB});
    ASSERT_EQ(BindOdbc(odbc), Bound);
    setenv("TARVO_STUB_SQLSTATE", "28000", 1);
    EXPECT_EQ(ConnectFailureText(odbc, nullptr, SQL_INVALID_HANDLE),
              "Can't connect to this database, ODBC environment handle is invalid... possibly a "
              "bug?");
    EXPECT_EQ(ConnectFailureText(odbc, nullptr, SQL_NO_DATA),
              "Can't connect to this database, Unknown reason");
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
}

TEST(LogVariables, TableOrderAndNames) {
    EXPECT_EQ(logVariableName(0), "Meter");
    EXPECT_EQ(logVariableName(1), "Location");
    EXPECT_EQ(logVariableName(2), "Date_Time");
    EXPECT_EQ(logVariableName(3), "Amps1");
    EXPECT_EQ(logVariableName(44), "Amps42");
    EXPECT_EQ(logVariableName(45), "");
    EXPECT_EQ(logVariableIndex("Amps42"), 44);
    EXPECT_EQ(logVariableIndex("amps42"), -1) << "stored names are compared exactly";
}

TEST(BracketQuote, OnlyForAccessTypeSources) {
    EXPECT_EQ(BracketQuote("Samples", 5), "[Samples]");
    EXPECT_EQ(BracketQuote("Samples", 0), "Samples");
    EXPECT_EQ(BracketQuote("Samples", 4), "Samples");
}

struct IdentifierCase {
    const char* name;
    bool safe;
};
const IdentifierCase kIdentifiers[] = {
    {"Samples", true},
    {"log_2024", true},
    {"public.samples", true},
    {"[Date Time]", true},
    {"Zähler", true},
    {"", false},
    {"t; DROP TABLE x", false},
    {"t (a) VALUES (1); --", false},
    {"\"quoted\"", false},
    {"a'b", false},
    {"Date Time", false},
    {"[a]; DROP TABLE x; --[b]", false},
    {"[]", false},
    {"[open", false},
    {"x--", false},
    {"x/*", false},
    {"[tab\there]", false},
};

TEST(IdentifierIsSafe, NamesThatWouldEndTheirIdentifierAreRefused) {
    for (const IdentifierCase& c : kIdentifiers)
        EXPECT_EQ(identifierIsSafe(c.name), c.safe) << c.name;
}

TEST(QuoteString, SingleQuotesAreDoubled) {
    EXPECT_EQ(quoteString("Here"), "'Here'");
    EXPECT_EQ(quoteString("O'Brien's"), "'O''Brien''s'");
    EXPECT_EQ(quoteString("'); DROP TABLE t; --"), "'''); DROP TABLE t; --'");
    EXPECT_EQ(quoteString(""), "''");
}

} // namespace
} // namespace tarvo
