// The row insert and table creation: value literals and statement texts,
// then InsertSamples and createLogTable against the SQLite ODBC driver.
#include <array>
#include <clocale>
#include <cstdlib>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "core/operator.h"
#include "logging/database_logger.h"
#include "logging/log_variables.h"
#include "logging/odbc_library.h"
#include "odbc_test_support.h"
#include "support/fake_clock.h"
#include "support/local_zone.h"
#include "support/recording_operator.h"

namespace tarvo {
namespace {

using test::makeSample;
using test::RecordingOperator;
using test::Rows;
using test::SqlClient;

// The pass time is read in UTC, so local time is that.
class UtcTime : public ::testing::Test {
    test::LocalZone m_zone{"UTC0"};
};

// Each row: a link, the record's kind, and the literal the statement must hold.
struct LiteralCase {
    const char* fault;
    int variable;
    int sqlType;
    DeviceKind kind;
    const char* literal;
};
const LiteralCase kLiterals[] = {
    {"meter not the address", kMeterVariable, SqlInteger, BranchMonitor, "7"},
    {"meter unquoted in a text column", kMeterVariable, SqlVarChar, BranchMonitor, "'7'"},
    {"meter missing for a device that did not answer", kMeterVariable, SqlInteger, NoDevice, "7"},
    {"location's quotes not doubled", kLocationVariable, SqlVarChar, BranchMonitor,
     "'O''Brien''s'"},
    {"timestamp not an escape", kDateTimeVariable, SqlTimestamp, BranchMonitor,
     "{ts '2024-03-05 10:15:00'}"},
    {"date not an escape", kDateTimeVariable, SqlDate, BranchMonitor, "{d '2024-03-05'}"},
    {"time not an escape", kDateTimeVariable, SqlTime, BranchMonitor, "{t '10:15:00'}"},
    {"text time not the log file's form", kDateTimeVariable, SqlChar, BranchMonitor,
     "'03/05/2024 10:15:00'"},
    {"float current not %.3f", 3, SqlFloat, BranchMonitor, "12.340"},
    {"integer current not rounded", 3, SqlInteger, BranchMonitor, "12"},
    {"smallint current not rounded up", 44, SqlSmallInt, BranchMonitor, "53"},
    {"text current unquoted", 3, SqlVarChar, BranchMonitor, "'12.340'"},
    {"100A model's currents missing", 3, SqlDouble, BranchMonitor100A, "12.340"},
    {"circuit meter given currents", 3, SqlFloat, CircuitMeter8, "NULL"},
    {"failed read given currents", 3, SqlFloat, NoDevice, "NULL"},
    {"current in a text column of a circuit meter", 5, SqlVarChar, CircuitMeter6, "NULL"},
    {"variable that does not fit its column", kLocationVariable, SqlInteger, BranchMonitor, "NULL"},
};

TEST_F(UtcTime, ValueLiteralsPerVariableAndColumnType) {
    for (const LiteralCase& c : kLiterals) {
        const ColumnLink link{c.variable, static_cast<std::int16_t>(c.sqlType), "c"};
        EXPECT_EQ(valueLiteral(link, *makeSample(7, 12.34f, c.kind), "O'Brien's"), c.literal)
            << c.fault;
    }
}

TEST_F(UtcTime, NumbersUseAPointWhateverTheLocale) {
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8") && !std::setlocale(LC_ALL, "fr_FR.UTF-8"))
        GTEST_SKIP() << "no locale with a decimal comma is installed";
    const std::string literal = valueLiteral({3, SqlFloat, "c"}, *makeSample(7, 12.34f), "x");
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(literal, "12.340");
}

Settings fourLinks() {
    Settings settings;
    settings.location = "Pump house";
    settings.table = "Samples";
    settings.links = {{kMeterVariable, SqlInteger, "meter"},
                      {kLocationVariable, SqlVarChar, "LOCATION"},
                      {kDateTimeVariable, SqlTimestamp, "Date_Time"},
                      {3, SqlFloat, "Amps1"}};
    return settings;
}

TEST_F(UtcTime, InsertStatementByteForByte) {
    EXPECT_EQ(buildInsertStatement(fourLinks(), *makeSample(3, 12.34f)),
              "INSERT INTO Samples (meter, LOCATION, Date_Time, Amps1)\n"
              "  VALUES (3, 'Pump house', {ts '2024-03-05 10:15:00'}, 12.340);");
}

// Each row: what a hand-edited settings file holds and what the refusal
// must name ("" when the row insert must take it).
struct ConfigCase {
    const char* fault;
    const char* table;
    ColumnLink link;
    const char* location;
    const char* named;
};
const ConfigCase kConfigs[] = {
    {"plain names refused", "Samples", {3, SqlFloat, "Amps1"}, "Here", ""},
    {"quote in the location refused", "Samples", {1, SqlVarChar, "loc"}, "O'Brien's", ""},
    {"statement in the table name",
     "Samples (Meter) VALUES (1); DROP TABLE Samples; --",
     {3, SqlFloat, "Amps1"},
     "Here",
     "table name \"Samples (Meter)"},
    {"statement in a column name",
     "Samples",
     {3, SqlFloat, "Amps1)VALUES(1);DROP"},
     "Here",
     "column name \"Amps1)VALUES"},
    {"variable index past the table", "Samples", {45, SqlVarChar, "x"}, "Here", "variable 45"},
    {"location linked to a number column", "Samples", {1, SqlInteger, "x"}, "Here", "column \"x\""},
};

TEST(CheckDatabaseConfiguration, HandEditedNamesThatCarrySqlAreRefused) {
    for (const ConfigCase& c : kConfigs) {
        Settings settings;
        settings.table = c.table;
        settings.links = {c.link};
        settings.location = c.location;
        const std::string refusal = checkDatabaseConfiguration(settings);
        EXPECT_EQ(refusal.empty(), !*c.named) << c.fault;
        EXPECT_NE(refusal.find(c.named), std::string::npos) << c.fault << ": " << refusal;
    }
}

// Each row: a DBMS name and the location's text in its string literal.
const std::array<std::array<const char*, 3>, 3> kBackslashes{{
    {"MySQL reads a backslash as an escape", "MySQL", "C:\\\\Here"},
    {"MariaDB reads a backslash as an escape", "5.5.5-10.11.6-MariaDB", "C:\\\\Here"},
    {"standard SQL takes a backslash as it is", "PostgreSQL", "C:\\Here"},
}};

TEST(LocationForDbms, BackslashArrivesAsTyped) {
    for (const auto& [fault, dbms, literal] : kBackslashes)
        EXPECT_EQ(locationForDbms("C:\\Here", dbms), literal) << fault;
}

// Each row: a data source's type information and the four types chosen as
// "floating|integer|string|time", or "" when no table can be made.
struct TypeCase {
    const char* fault;
    std::vector<TypeInfo> info;
    const char* chosen;
};
const TypeCase kTypeCases[] = {
    {"DOUBLE preferred to FLOAT",
     {{"FLOAT", 6}, {"DOUBLE", 8}, {"INTEGER", 4}, {"VARCHAR", 12}, {"TIMESTAMP", 11}},
     "FLOAT|INTEGER|VARCHAR(32)|TIMESTAMP"},
    {"DOUBLE taken after FLOAT",
     {{"DOUBLE", 8}, {"FLOAT", 6}, {"INTEGER", 4}, {"VARCHAR", 12}, {"TIMESTAMP", 11}},
     "FLOAT|INTEGER|VARCHAR(32)|TIMESTAMP"},
    {"second DOUBLE replaced the first",
     {{"double precision", 8}, {"float8", 8}, {"VARCHAR", 12}},
     "double precision|double precision|VARCHAR(32)|VARCHAR(32)"},
    {"last INTEGER not taken",
     {{"REAL", 6}, {"int", 4}, {"integer", 4}, {"NUMERIC", 2}, {"char", 1}, {"date", 9}},
     "REAL|integer|char(32)|date"},
    {"NUMERIC not the fallback for integers",
     {{"FLOAT", 6}, {"NUMERIC", 2}, {"DECIMAL", 2}, {"VARCHAR", 12}},
     "FLOAT|NUMERIC|VARCHAR(32)|VARCHAR(32)"},
    {"CHAR preferred to VARCHAR",
     {{"FLOAT", 6}, {"CHAR", 1}, {"VARCHAR", 12}, {"NCHAR", 1}},
     "FLOAT|FLOAT|VARCHAR(32)|VARCHAR(32)"},
    {"DATE preferred to TIMESTAMP",
     {{"FLOAT", 6}, {"VARCHAR", 12}, {"DATE", 9}, {"TIMESTAMP", 11}, {"DATE2", 9}},
     "FLOAT|FLOAT|VARCHAR(32)|TIMESTAMP"},
    {"no string type accepted", {{"FLOAT", 6}, {"TIMESTAMP", 11}}, ""},
    {"no number type accepted", {{"VARCHAR", 12}, {"INTEGER", 4}}, ""},
};

TEST(ChooseLogTableTypes, FromTheDataSourcesTypeInformation) {
    for (const TypeCase& c : kTypeCases) {
        const std::optional<LogTableTypes> t = chooseLogTableTypes(c.info);
        EXPECT_EQ(t ? t->floating.name + "|" + t->integer.name + "|" + t->string.name + "|" +
                          t->time.name
                    : "",
                  c.chosen)
            << c.fault;
    }
}

TEST(BuildCreateTableStatement, MinimalText) {
    const LogTableTypes types{{"FLOAT", 6}, {"INTEGER", 4}, {"VARCHAR(32)", 12}, {"TIMESTAMP", 11}};
    EXPECT_EQ(buildCreateTableStatement("t1", types, MinimalColumns),
              "CREATE TABLE t1 (\nMeter INTEGER,\nLocation VARCHAR(32),\nDate_Time TIMESTAMP,\n"
              "Amps1 INTEGER,\nAmps2 INTEGER,\nAmps3 INTEGER,\nAmps5 INTEGER,\nAmps6 INTEGER,\n"
              "Amps8 INTEGER);");
    // All 45 columns are the setup dialog's Add Table case.
}

// A strict driver refuses CREATE TABLE while the type list's cursor is open
// on the same statement, also after its last row was fetched.
TEST(CreateLogTable, TypeListCursorClosedBeforeCreateTable) {
    OdbcLibrary odbc({TARVO_ODBC_STUB_CURSOR});
    ASSERT_EQ(odbc.bind(), Bound);
    ASSERT_TRUE(odbc.ensureEnvironment());
    RecordingOperator op;
    const auto session = OdbcSession::open(odbc, op, "stub", "", "");
    ASSERT_TRUE(session);
    EXPECT_TRUE(createLogTable(*session, op, "log_2024", MinimalColumns))
        << (op.messages.empty() ? "" : op.messages[0].text);
}

// Passes over the strict driver: each row is what the driver does (failed
// connects, failed statements with their SQLSTATE) and what must come of it.
TEST(InsertSamples, ConnectionKeptAcrossPassesAndMadeAgainAfterALinkFailure) {
    const struct {
        const char* fault;
        const char* state;
        int failConnects, failExecs;
        std::vector<int> pauses; // seconds before each pass after the first
        int connects;
        const char* message;
    } cases[] = {
        {"a connection per pass", "", 0, 0, {60, 60, 60}, 1, ""},
        {"a dead link not made again at once", "08S01", 0, 1, {}, 2, ""},
        {"a link dead twice loses records", "08S01", 0, 2, {60}, 3, "Error connecting"},
        {"a refused statement's connection kept", "S1000", 0, 1, {60}, 2, "Error # -1  "},
        {"no back-off after failed connects", "", 9, 0, {0, 1, 1, 2}, 3, "Error connecting"},
    };
    void* stub = dlopen(TARVO_ODBC_STUB_CURSOR, RTLD_NOW);
    ASSERT_NE(stub, nullptr);
    auto counter = [&](const char* name) { return static_cast<int*>(dlsym(stub, name)); };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        *counter("tarvo_stub_connects") = *counter("tarvo_stub_rows") = 0;
        *counter("tarvo_stub_fail_connects") = c.failConnects;
        *counter("tarvo_stub_fail_execs") = c.failExecs;
        setenv("TARVO_STUB_SQLSTATE", c.state, 1);
        OdbcLibrary odbc({TARVO_ODBC_STUB_CURSOR});
        Settings settings = fourLinks();
        settings.databaseLogState = Active;
        SampleQueue queue;
        RecordingOperator op;
        test::FakeClock clock;
        queue.push(makeSample(3));
        InsertSamples(odbc, settings, queue, op, &clock);
        for (int pause : c.pauses) {
            clock.t += pause;
            queue.push(makeSample(4));
            InsertSamples(odbc, settings, queue, op, &clock);
        }
        EXPECT_EQ(*counter("tarvo_stub_connects"), c.connects);
        EXPECT_EQ(*counter("tarvo_stub_rows") + queue.size(), 1 + c.pauses.size())
            << "each record inserted once or waiting";
        EXPECT_EQ(op.messages.empty() ? "" : op.messages[0].text.substr(0, 12),
                  std::string(c.message).substr(0, 12));
    }
    unsetenv("TARVO_STUB_SQLSTATE");
    dlclose(stub);
}

TEST(CheckNewTableName, LettersDigitsAndUnderscoreOnly) {
    EXPECT_EQ(checkNewTableName("L"), "") << "log_2024 is the add-table dialog's case";
    EXPECT_EQ(checkNewTableName(""), "You must give the new table a name");
    for (const char* name : {"log-2024", "log 2024", "t;DROP", "Zähler"})
        EXPECT_EQ(checkNewTableName(name),
                  "The table name may only contain A-Z, a-z, 0-9 and underscore '_'")
            << name;
}

// --- against the SQLite ODBC driver --------------------------------------

class SqliteLogging : public UtcTime {
protected:
    void SetUp() override {
        if (!test::OdbcConfig::sqliteDriverPresent())
            GTEST_SKIP() << "the SQLite ODBC driver (libsqliteodbc) is not installed";
        std::filesystem::remove(test::SharedOdbcConfig::sqliteFile());
        m_sql = std::make_unique<SqlClient>(kDsn);
        ASSERT_TRUE(m_sql->connected());
        ASSERT_EQ(m_sql->exec("CREATE TABLE Samples (meter INTEGER, LOCATION VARCHAR(40), "
                              "Date_Time TIMESTAMP, Amps1 FLOAT, Amps2 INTEGER, Note VARCHAR(10))"),
                  "");
        m_settings = fourLinks();
        m_settings.dsn = kDsn;
        m_settings.databaseLogState = Active;
    }

    void insert() { InsertSamples(m_odbc, m_settings, m_queue, m_op); }
    Rows count() { return m_sql->query("SELECT count(*) FROM Samples"); }

    static constexpr const char* kDsn = test::SharedOdbcConfig::kSqliteDsn;
    std::unique_ptr<SqlClient> m_sql;
    OdbcLibrary m_odbc;
    Settings m_settings;
    SampleQueue m_queue;
    RecordingOperator m_op;
};

TEST_F(SqliteLogging, FailedSecondInsertShowsOnceAndKeepsItAndTheRestForTheNextPass) {
    ASSERT_EQ(m_sql->exec("CREATE TRIGGER refuse7 BEFORE INSERT ON Samples WHEN NEW.meter = 7 "
                          "BEGIN SELECT RAISE(ABORT, 'meter 7 refused'); END"),
              "");
    for (int address : {3, 7, 9})
        m_queue.push(makeSample(address));
    insert();
    ASSERT_EQ(m_op.messages.size(), 1u);
    EXPECT_EQ(m_op.messages[0].text.rfind("Error # -1  ", 0), 0u) << m_op.messages[0].text;
    EXPECT_NE(m_op.messages[0].text.find("meter 7 refused"), std::string::npos);
    ASSERT_EQ(m_queue.size(), 2u);
    EXPECT_EQ(m_queue.front()->address, 7);
    EXPECT_EQ(count(), (Rows{{"1"}}));
    EXPECT_EQ(m_settings.databaseLogState, Active);

    ASSERT_EQ(m_sql->exec("DROP TRIGGER refuse7"), "");
    insert();
    EXPECT_EQ(m_op.messages.size(), 1u);
    EXPECT_TRUE(m_queue.empty());
    EXPECT_EQ(m_sql->query("SELECT meter FROM Samples ORDER BY rowid"),
              (Rows{{"3"}, {"7"}, {"9"}}));
}

// With the setup dialog open (nothing bound yet), then without links, a
// pass sends nothing and the records wait.
TEST_F(SqliteLogging, NothingIsSentAndRecordsWaitWithoutLinksOrUnlessActive) {
    m_queue.push(makeSample(3));
    m_settings.databaseLogState = SetupOpen;
    insert();
    EXPECT_FALSE(m_odbc.loaded()) << "nothing is bound before it is needed";
    m_settings.databaseLogState = Active;
    m_settings.links.clear();
    insert();
    EXPECT_TRUE(m_op.messages.empty());
    EXPECT_EQ(m_queue.size(), 1u);
    EXPECT_EQ(count(), (Rows{{"0"}}));
}

// A refused configuration (its texts are CheckDatabaseConfiguration's table)
// turns database logging off with one message and never reaches the table.
TEST_F(SqliteLogging, HostileNameIsRefusedAndNeverReachesTheDatabase) {
    m_settings.table = "Samples (meter) VALUES (1); DROP TABLE Samples; --";
    const std::string refusal = checkDatabaseConfiguration(m_settings);
    m_queue.push(makeSample(3));
    insert();
    ASSERT_EQ(m_op.messages.size(), 1u);
    EXPECT_EQ(m_op.messages[0].text, refusal);
    EXPECT_EQ(m_settings.databaseLogState, Off);
    EXPECT_TRUE(m_settings.table.empty());
    EXPECT_TRUE(m_queue.empty());
    EXPECT_EQ(count(), (Rows{{"0"}})) << "the table is still there and untouched";
}

// ODBC that cannot be used shuts database logging down without a word.
TEST_F(SqliteLogging, UnusableOdbcShutsDatabaseLoggingDownSilently) {
    for (const char* library : {"/nonexistent/libodbc-tarvo.so.9", TARVO_ODBC_STUB}) {
        SCOPED_TRACE(library);
        OdbcLibrary odbc({library});
        Settings settings = m_settings;
        settings.kludgeFlags = 5;
        m_queue.push(makeSample(3));
        InsertSamples(odbc, settings, m_queue, m_op);
        EXPECT_TRUE(m_op.messages.empty());
        EXPECT_EQ(settings.databaseLogState, Off);
        EXPECT_TRUE(settings.dsn.empty());
        EXPECT_TRUE(settings.links.empty());
        EXPECT_EQ(settings.kludgeFlags, 0);
        EXPECT_TRUE(m_queue.empty());
    }
}

} // namespace
} // namespace tarvo
