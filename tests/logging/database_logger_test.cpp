// The row insert and table creation: value literals and statement texts,
// then InsertSamples and createLogTable against the SQLite ODBC driver.
#include <clocale>
#include <gtest/gtest.h>

#include "app/operator.h"
#include "logging/database_logger.h"
#include "logging/log_variables.h"
#include "odbc_test_support.h"
#include "support/recording_operator.h"

namespace tarvo {
namespace {

using test::OdbcConfig;
using test::RecordingOperator;
using test::SqlClient;

// 2024-03-05 10:15:00 UTC; the tests run in UTC so local time is that.
constexpr std::time_t kPassTime = 1709633700;

class UtcTime : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC0", 1);
        tzset();
    }
};

SampleRecord branchSample(int address, float firstAmps, DeviceKind kind = BranchMonitor) {
    auto sample = std::make_shared<LogSample>();
    sample->kind = kind;
    sample->address = address;
    sample->time = kPassTime;
    for (std::size_t i = 0; i < sample->currents.size(); ++i)
        sample->currents[i] = firstAmps + static_cast<float>(i);
    return sample;
}

SampleRecord otherSample(int address, DeviceKind kind) {
    auto sample = std::make_shared<LogSample>();
    sample->kind = kind;
    sample->address = address;
    sample->time = kPassTime;
    sample->meterValues.fill(230.5f);
    return sample;
}

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
    {"location unquoted", kLocationVariable, SqlVarChar, BranchMonitor, "'Pump house'"},
    {"timestamp not an escape", kDateTimeVariable, SqlTimestamp, BranchMonitor,
     "{ts '2024-03-05 10:15:00'}"},
    {"date not an escape", kDateTimeVariable, SqlDate, BranchMonitor, "{d '2024-03-05'}"},
    {"time not an escape", kDateTimeVariable, SqlTime, BranchMonitor, "{t '10:15:00'}"},
    {"text time not the log file's form", kDateTimeVariable, SqlChar, BranchMonitor,
     "'03/05/2024 10:15:00'"},
    {"float current not %.3f", 3, SqlFloat, BranchMonitor, "12.340"},
    {"decimal current not %.3f", 4, SqlDecimal, BranchMonitor, "13.340"},
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
        const SampleRecord sample =
            isBranchMonitor(c.kind) ? branchSample(7, 12.34f, c.kind) : otherSample(7, c.kind);
        const ColumnLink link{c.variable, static_cast<std::int16_t>(c.sqlType), "c"};
        EXPECT_EQ(valueLiteral(link, *sample, "Pump house"), c.literal) << c.fault;
    }
}

TEST_F(UtcTime, NumbersUseAPointWhateverTheLocale) {
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8") && !std::setlocale(LC_ALL, "fr_FR.UTF-8"))
        GTEST_SKIP() << "no locale with a decimal comma is installed";
    const SampleRecord sample = branchSample(7, 12.34f);
    const ColumnLink link{3, SqlFloat, "c"};
    const std::string literal = valueLiteral(link, *sample, "x");
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

TEST_F(UtcTime, InsertStatementFrameByteForByte) {
    const Settings settings = fourLinks();
    EXPECT_EQ(buildInsertStatement(settings, *branchSample(3, 12.34f)),
              "INSERT INTO Samples (meter, LOCATION, Date_Time, Amps1)\n"
              "  VALUES (3, 'Pump house', {ts '2024-03-05 10:15:00'}, 12.340);");
}

TEST_F(UtcTime, BracketQuotedNamesOfAnAccessSourceStayInTheirBrackets) {
    Settings settings = fourLinks();
    settings.kludgeFlags = 5;
    settings.table = BracketQuote("Samples", 5);
    for (ColumnLink& link : settings.links)
        link.columnName = BracketQuote(link.columnName, 5);
    const std::string sql = buildInsertStatement(settings, *branchSample(3, 1.0f));
    EXPECT_EQ(sql.rfind("INSERT INTO [Samples] ([meter], [LOCATION], [Date_Time], [Amps1])\n  "
                        "VALUES (",
                        0),
              0u)
        << sql;
}

// Each row: what a hand-edited settings file holds and whether the row
// insert must refuse it.
struct ConfigCase {
    const char* fault;
    const char* table;
    ColumnLink link;
    const char* location;
    bool refused;
};
const ConfigCase kConfigs[] = {
    {"plain names refused", "Samples", {3, SqlFloat, "Amps1"}, "Here", false},
    {"quote in the location refused", "Samples", {1, SqlVarChar, "loc"}, "O'Brien's", false},
    {"statement in the table name",
     "Samples (Meter) VALUES (1); DROP TABLE Samples; --",
     {3, SqlFloat, "Amps1"},
     "Here",
     true},
    {"statement in a column name", "Samples", {3, SqlFloat, "Amps1)VALUES(1);DROP"}, "Here", true},
    {"variable index past the table", "Samples", {45, SqlVarChar, "x"}, "Here", true},
    {"location linked to a number column", "Samples", {1, SqlInteger, "x"}, "Here", true},
    {"backslash in a stored location", "Samples", {1, SqlVarChar, "loc"}, "Here\\", true},
    {"backslash in an unlinked location refused", "Samples", {3, SqlFloat, "a"}, "Here\\", false},
};

TEST(CheckDatabaseConfiguration, HandEditedNamesThatCarrySqlAreRefused) {
    for (const ConfigCase& c : kConfigs) {
        Settings settings;
        settings.table = c.table;
        settings.links = {c.link};
        settings.location = c.location;
        EXPECT_EQ(!checkDatabaseConfiguration(settings).empty(), c.refused) << c.fault;
    }
}

// Each row: a data source's type information and the four types chosen.
struct TypeCase {
    const char* fault;
    std::vector<TypeInfo> info;
    const char* floating;
    const char* integer;
    const char* string;
    const char* time;
};

const TypeCase kTypeCases[] = {
    {"DOUBLE preferred to FLOAT",
     {{"FLOAT", 6}, {"DOUBLE", 8}, {"INTEGER", 4}, {"VARCHAR", 12}, {"TIMESTAMP", 11}},
     "FLOAT",
     "INTEGER",
     "VARCHAR(32)",
     "TIMESTAMP"},
    {"DOUBLE taken after FLOAT",
     {{"DOUBLE", 8}, {"FLOAT", 6}, {"INTEGER", 4}, {"VARCHAR", 12}, {"TIMESTAMP", 11}},
     "FLOAT",
     "INTEGER",
     "VARCHAR(32)",
     "TIMESTAMP"},
    {"second DOUBLE replaced the first",
     {{"double precision", 8}, {"float8", 8}, {"VARCHAR", 12}},
     "double precision",
     "double precision",
     "VARCHAR(32)",
     "VARCHAR(32)"},
    {"last INTEGER not taken",
     {{"REAL", 6}, {"int", 4}, {"integer", 4}, {"NUMERIC", 2}, {"char", 1}, {"date", 9}},
     "REAL",
     "integer",
     "char(32)",
     "date"},
    {"NUMERIC not the fallback for integers",
     {{"FLOAT", 6}, {"NUMERIC", 2}, {"DECIMAL", 2}, {"VARCHAR", 12}},
     "FLOAT",
     "NUMERIC",
     "VARCHAR(32)",
     "VARCHAR(32)"},
    {"CHAR preferred to VARCHAR",
     {{"FLOAT", 6}, {"CHAR", 1}, {"VARCHAR", 12}, {"NCHAR", 1}},
     "FLOAT",
     "FLOAT",
     "VARCHAR(32)",
     "VARCHAR(32)"},
    {"DATE preferred to TIMESTAMP",
     {{"FLOAT", 6}, {"VARCHAR", 12}, {"DATE", 9}, {"TIMESTAMP", 11}, {"DATE2", 9}},
     "FLOAT",
     "FLOAT",
     "VARCHAR(32)",
     "TIMESTAMP"},
};

TEST(ChooseLogTableTypes, FromTheDataSourcesTypeInformation) {
    for (const TypeCase& c : kTypeCases) {
        const std::optional<LogTableTypes> types = chooseLogTableTypes(c.info);
        ASSERT_TRUE(types) << c.fault;
        EXPECT_EQ(types->floating.name, c.floating) << c.fault;
        EXPECT_EQ(types->integer.name, c.integer) << c.fault;
        EXPECT_EQ(types->string.name, c.string) << c.fault;
        EXPECT_EQ(types->time.name, c.time) << c.fault;
    }
}

TEST(ChooseLogTableTypes, NoNumberOrNoStringTypeGivesNothing) {
    EXPECT_FALSE(chooseLogTableTypes({{"VARCHAR", 12}, {"INTEGER", 4}}));
    EXPECT_FALSE(chooseLogTableTypes({{"FLOAT", 6}, {"TIMESTAMP", 11}}));
    EXPECT_FALSE(chooseLogTableTypes({}));
}

TEST(BuildCreateTableStatement, MinimalSetText) {
    const LogTableTypes types{{"FLOAT", 6}, {"INTEGER", 4}, {"VARCHAR(32)", 12}, {"TIMESTAMP", 11}};
    EXPECT_EQ(buildCreateTableStatement("t1", types, MinimalColumns),
              "CREATE TABLE t1 (\nMeter INTEGER,\nLocation VARCHAR(32),\nDate_Time TIMESTAMP,\n"
              "Amps1 INTEGER,\nAmps2 INTEGER,\nAmps3 INTEGER,\nAmps5 INTEGER,\nAmps6 INTEGER,\n"
              "Amps8 INTEGER);");
}

TEST(BuildCreateTableStatement, AllSetHasFortyFiveColumns) {
    const LogTableTypes types{{"FLOAT", 6}, {"INTEGER", 4}, {"VARCHAR(32)", 12}, {"TIMESTAMP", 11}};
    const std::string sql = buildCreateTableStatement("t2", types, AllColumns);
    EXPECT_EQ(std::count(sql.begin(), sql.end(), '\n'), 45);
    EXPECT_NE(sql.find("\nAmps42 INTEGER);"), std::string::npos);
    EXPECT_NE(sql.find("\nAmps4 INTEGER,\n"), std::string::npos);
}

struct TableNameCase {
    const char* name;
    const char* message;
};
const TableNameCase kTableNames[] = {
    {"log_2024", ""},
    {"L", ""},
    {"", "You must give the new table a name"},
    {"log-2024", "The table name may only contain A-Z, a-z, 0-9 and underscore '_'"},
    {"log 2024", "The table name may only contain A-Z, a-z, 0-9 and underscore '_'"},
    {"t;DROP", "The table name may only contain A-Z, a-z, 0-9 and underscore '_'"},
    {"Zähler", "The table name may only contain A-Z, a-z, 0-9 and underscore '_'"},
};

TEST(CheckNewTableName, LettersDigitsAndUnderscoreOnly) {
    for (const TableNameCase& c : kTableNames)
        EXPECT_EQ(checkNewTableName(c.name), c.message) << c.name;
}

// --- against the SQLite ODBC driver --------------------------------------

class SqliteLogging : public UtcTime {
protected:
    void SetUp() override {
        UtcTime::SetUp();
        if (!OdbcConfig::sqliteDriverPresent())
            GTEST_SKIP() << "the SQLite ODBC driver (libsqliteodbc) is not installed";
        std::filesystem::remove(test::SharedOdbcConfig::sqliteFile());
        m_sql = std::make_unique<SqlClient>(kDsn);
        ASSERT_TRUE(m_sql->connected());
        ASSERT_EQ(m_sql->exec("CREATE TABLE Samples (meter INTEGER, LOCATION VARCHAR(40), "
                              "Date_Time TIMESTAMP, Amps1 FLOAT, Amps2 INTEGER, Note VARCHAR(10))"),
                  "");
        m_settings = fourLinks();
        m_settings.dsn = kDsn;
        m_settings.links.push_back({4, SqlInteger, "Amps2"});
        m_settings.databaseLogState = Active;
    }

    void insert() { InsertSamples(m_odbc, m_settings, m_queue, m_op); }

    std::vector<std::vector<std::optional<std::string>>> rows() {
        return m_sql->query("SELECT meter, LOCATION, Date_Time, Amps1, Amps2 FROM Samples "
                            "ORDER BY rowid");
    }

    static constexpr const char* kDsn = test::SharedOdbcConfig::kSqliteDsn;
    std::unique_ptr<SqlClient> m_sql;
    OdbcLibrary m_odbc;
    Settings m_settings;
    SampleQueue m_queue;
    RecordingOperator m_op;
};

TEST_F(SqliteLogging, RowsOfBranchMonitorsAndOtherDevicesReadBack) {
    m_queue.push(branchSample(3, 12.34f));
    m_queue.push(branchSample(7, 0.5f, BranchMonitor100A));
    m_queue.push(otherSample(9, CircuitMeter8));
    m_queue.push(otherSample(11, NoDevice));
    insert();
    EXPECT_TRUE(m_op.messages.empty()) << m_op.messages[0].text;
    EXPECT_TRUE(m_queue.empty());
    const auto r = rows();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0][0], "3");
    EXPECT_EQ(r[0][1], "Pump house");
    EXPECT_EQ(r[0][2], "2024-03-05 10:15:00");
    EXPECT_EQ(std::stod(*r[0][3]), 12.34);
    EXPECT_EQ(r[0][4], "13");
    EXPECT_EQ(r[1][0], "7");
    EXPECT_EQ(std::stod(*r[1][3]), 0.5);
    EXPECT_EQ(r[1][4], "2") << "1.5 A rounds to 2 in an INTEGER column";
    EXPECT_EQ(r[2][0], "9");
    EXPECT_EQ(r[2][3], std::nullopt) << "a circuit meter carries no breaker currents";
    EXPECT_EQ(r[3][0], "11");
    EXPECT_EQ(r[3][4], std::nullopt);
}

TEST_F(SqliteLogging, LocationWithQuotesIsStoredExactlyAsTyped) {
    m_settings.location = "O'Brien's pump'); DROP TABLE Samples; --";
    m_queue.push(branchSample(3, 1.0f));
    insert();
    EXPECT_TRUE(m_op.messages.empty());
    const auto r = rows();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0][1], "O'Brien's pump'); DROP TABLE Samples; --");
}

TEST_F(SqliteLogging, FailedSecondInsertShowsOnceAndKeepsItAndTheRestForTheNextPass) {
    ASSERT_EQ(m_sql->exec("CREATE TRIGGER refuse7 BEFORE INSERT ON Samples WHEN NEW.meter = 7 "
                          "BEGIN SELECT RAISE(ABORT, 'meter 7 refused'); END"),
              "");
    const SampleRecord first = branchSample(3, 1.0f);
    const SampleRecord second = branchSample(7, 2.0f);
    const SampleRecord third = branchSample(9, 3.0f);
    for (const SampleRecord& r : {first, second, third})
        m_queue.push(r);
    insert();
    ASSERT_EQ(m_op.messages.size(), 1u);
    EXPECT_EQ(m_op.messages[0].text.rfind("Error # -1  ", 0), 0u) << m_op.messages[0].text;
    EXPECT_NE(m_op.messages[0].text.find("meter 7 refused"), std::string::npos);
    EXPECT_EQ(m_queue.size(), 2u);
    EXPECT_EQ(m_queue.front(), second);
    EXPECT_EQ(rows().size(), 1u);
    EXPECT_EQ(m_settings.databaseLogState, Active);

    ASSERT_EQ(m_sql->exec("DROP TRIGGER refuse7"), "");
    insert();
    EXPECT_EQ(m_op.messages.size(), 1u);
    EXPECT_TRUE(m_queue.empty());
    const auto r = rows();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0][0], "3");
    EXPECT_EQ(r[1][0], "7");
    EXPECT_EQ(r[2][0], "9");
}

TEST_F(SqliteLogging, RecordStillInTheFileQueueIsNotFreedByTheInsert) {
    SampleQueue fileQueue;
    const SampleRecord record = branchSample(3, 1.0f);
    fileQueue.push(record);
    m_queue.push(record);
    const std::weak_ptr<const LogSample> watch = record;
    insert();
    EXPECT_TRUE(m_queue.empty());
    EXPECT_EQ(fileQueue.front(), record);
    fileQueue.popFront();
    EXPECT_FALSE(watch.expired()) << "the test's own handle still holds it";
}

TEST_F(SqliteLogging, UnknownDataSourceShowsErrorConnectingAndKeepsEveryRecord) {
    m_settings.dsn = "tarvo_no_such_source";
    m_queue.push(branchSample(3, 1.0f));
    m_queue.push(branchSample(4, 1.0f));
    insert();
    insert();
    ASSERT_EQ(m_op.messages.size(), 2u) << "every pass tries again and says so";
    EXPECT_EQ(m_op.messages[0].text, "Error connecting");
    EXPECT_EQ(m_queue.size(), 2u);
    EXPECT_EQ(m_settings.databaseLogState, Active);
}

TEST_F(SqliteLogging, NoLinksSendsNothingAndKeepsTheRecords) {
    m_settings.links.clear();
    m_queue.push(branchSample(3, 1.0f));
    insert();
    EXPECT_TRUE(m_op.messages.empty());
    EXPECT_EQ(m_queue.size(), 1u);
    EXPECT_TRUE(rows().empty());
}

TEST_F(SqliteLogging, NothingHappensUnlessActive) {
    m_settings.databaseLogState = SetupOpen;
    m_queue.push(branchSample(3, 1.0f));
    insert();
    EXPECT_EQ(m_queue.size(), 1u);
    EXPECT_FALSE(m_odbc.loaded()) << "nothing is bound before it is needed";
}

TEST_F(SqliteLogging, HostileTableNameIsRefusedAndNeverReachesTheDatabase) {
    m_settings.table = "Samples (meter) VALUES (1); DROP TABLE Samples; --";
    SampleQueue fileQueue;
    const SampleRecord record = branchSample(3, 1.0f);
    fileQueue.push(record);
    m_queue.push(record);
    insert();
    ASSERT_EQ(m_op.messages.size(), 1u);
    EXPECT_NE(m_op.messages[0].text.find("can't be used"), std::string::npos);
    EXPECT_EQ(m_settings.databaseLogState, Off);
    EXPECT_TRUE(m_settings.table.empty());
    EXPECT_TRUE(m_queue.empty());
    EXPECT_EQ(fileQueue.size(), 1u) << "the log file still gets the record";
    EXPECT_EQ(m_sql->query("SELECT count(*) FROM Samples"),
              (std::vector<std::vector<std::optional<std::string>>>{{"0"}}))
        << "the table is still there and untouched";
    insert();
    EXPECT_EQ(m_op.messages.size(), 1u) << "logging stays off: no second message";
}

TEST_F(SqliteLogging, HostileColumnNameIsRefusedAndNeverReachesTheDatabase) {
    m_settings.links.push_back({5, SqlFloat, "Note)VALUES(1,1,1,1,1,1);DROP"});
    m_queue.push(branchSample(3, 1.0f));
    insert();
    ASSERT_EQ(m_op.messages.size(), 1u);
    EXPECT_NE(m_op.messages[0].text.find("Note)VALUES"), std::string::npos);
    EXPECT_EQ(m_settings.databaseLogState, Off);
    EXPECT_EQ(m_sql->query("SELECT count(*) FROM Samples"),
              (std::vector<std::vector<std::optional<std::string>>>{{"0"}}));
}

TEST_F(SqliteLogging, NoDriverManagerShutsDatabaseLoggingDownSilently) {
    OdbcLibrary missing({"/nonexistent/libodbc-tarvo.so.9"});
    SampleQueue fileQueue;
    const SampleRecord record = branchSample(3, 1.0f);
    fileQueue.push(record);
    m_queue.push(record);
    InsertSamples(missing, m_settings, m_queue, m_op);
    EXPECT_TRUE(m_op.messages.empty());
    EXPECT_EQ(m_settings.databaseLogState, Off);
    EXPECT_TRUE(m_settings.dsn.empty());
    EXPECT_TRUE(m_settings.links.empty());
    EXPECT_EQ(m_settings.kludgeFlags, 0);
    EXPECT_TRUE(m_queue.empty());
    EXPECT_EQ(fileQueue.front(), record);
}

TEST_F(SqliteLogging, NoEnvironmentShutsDatabaseLoggingDownSilently) {
    OdbcLibrary stub({TARVO_ODBC_STUB});
    m_queue.push(branchSample(3, 1.0f));
    InsertSamples(stub, m_settings, m_queue, m_op);
    EXPECT_TRUE(m_op.messages.empty());
    EXPECT_EQ(m_settings.databaseLogState, Off);
    EXPECT_TRUE(m_queue.empty());
}

TEST_F(SqliteLogging, CreateTableFromTheDriversTypesAllAndMinimal) {
    ASSERT_EQ(BindOdbc(m_odbc), Bound);
    ASSERT_TRUE(m_odbc.ensureEnvironment());
    for (int columns : {AllColumns, MinimalColumns}) {
        const std::string name = columns == AllColumns ? "log_all" : "log_min";
        {
            auto session = OdbcSession::open(m_odbc, m_op, kDsn, "", "");
            ASSERT_TRUE(session);
            EXPECT_TRUE(createLogTable(*session, m_op, name, columns));
        }
        auto session = OdbcSession::open(m_odbc, m_op, kDsn, "", "");
        ASSERT_TRUE(session);
        const auto made = ReadColumns(*session, m_op, name);
        ASSERT_TRUE(made);
        ASSERT_EQ(made->size(), columns == AllColumns ? 45u : 9u);
        EXPECT_EQ((*made)[0].name, "Meter");
        EXPECT_TRUE(VariableFitsColumnType(kMeterVariable, (*made)[0].sqlType));
        EXPECT_TRUE(isTextType((*made)[1].sqlType));
        EXPECT_TRUE(VariableFitsColumnType(kDateTimeVariable, (*made)[2].sqlType));
        EXPECT_EQ((*made).back().name, columns == AllColumns ? "Amps42" : "Amps8");
    }
    EXPECT_TRUE(m_op.messages.empty()) << m_op.messages[0].text;

    // Rows go into the new table.
    m_settings.table = "log_min";
    m_settings.links = {{kMeterVariable, SqlInteger, "Meter"},
                        {kLocationVariable, SqlVarChar, "Location"},
                        {kDateTimeVariable, SqlTimestamp, "Date_Time"},
                        {3, SqlInteger, "Amps1"}};
    m_queue.push(branchSample(5, 20.6f));
    insert();
    EXPECT_TRUE(m_op.messages.empty());
    EXPECT_EQ(m_sql->query("SELECT Meter, Location, Amps1 FROM log_min"),
              (std::vector<std::vector<std::optional<std::string>>>{{"5", "Pump house", "21"}}));
}

TEST_F(SqliteLogging, CreateTableThatExistsShowsTheDriversText) {
    ASSERT_EQ(BindOdbc(m_odbc), Bound);
    ASSERT_TRUE(m_odbc.ensureEnvironment());
    auto session = OdbcSession::open(m_odbc, m_op, kDsn, "", "");
    ASSERT_TRUE(session);
    EXPECT_FALSE(createLogTable(*session, m_op, "Samples", MinimalColumns));
    ASSERT_EQ(m_op.messages.size(), 1u);
    EXPECT_EQ(m_op.messages[0].text.rfind("Error # -1  ", 0), 0u) << m_op.messages[0].text;
    EXPECT_NE(m_op.messages[0].text.find("already exists"), std::string::npos);
}

TEST_F(SqliteLogging, CatalogueListsTablesAndColumnsWithTheirTypes) {
    ASSERT_EQ(BindOdbc(m_odbc), Bound);
    ASSERT_TRUE(m_odbc.ensureEnvironment());
    std::string dbms;
    auto session = OdbcSession::open(m_odbc, m_op, kDsn, "", "",
                                     [&](SQLHDBC c) { dbms = DbmsName(m_odbc, c); });
    ASSERT_TRUE(session);
    EXPECT_EQ(dbms, "SQLite");
    const auto tables = ReadTables(*session, m_op);
    ASSERT_TRUE(tables);
    EXPECT_EQ(*tables, std::vector<std::string>{"Samples"});
    const auto columns = ReadColumns(*session, m_op, "Samples");
    ASSERT_TRUE(columns);
    ASSERT_EQ(columns->size(), 6u);
    EXPECT_EQ((*columns)[0], (ColumnInfo{"meter", SqlInteger}));
    EXPECT_EQ((*columns)[1], (ColumnInfo{"LOCATION", SqlVarChar}));
    EXPECT_EQ((*columns)[2], (ColumnInfo{"Date_Time", SqlTimestamp}))
        << "an ODBC 2 environment reports TIMESTAMP as 11";
    EXPECT_TRUE(m_op.messages.empty());
}

} // namespace
} // namespace tarvo
