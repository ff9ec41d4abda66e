// One sampling pass of simulated branch monitors and a circuit meter, read
// over a pseudo-terminal, written to the log file and stored by
// InsertSamples through the SQLite ODBC driver.
#include <gtest/gtest.h>

#include <algorithm>

#include "logging/log_variables.h"
#include "logging/odbc_test_support.h"
#include "session/app_state.h"
#include "session/sampling.h"
#include "sim/server.h"
#include "support/fake_clock.h"
#include "support/local_zone.h"
#include "support/recording_operator.h"
#include "support/temp_dir.h"

namespace tarvo {
namespace {

using test::Rows;
using test::SharedOdbcConfig;

[[maybe_unused]] auto* const kOdbc = ::testing::AddGlobalTestEnvironment(new SharedOdbcConfig);

using test::FakeClock;

TEST(DatabaseSampling, EachDevicesValuesReachBothSinks) {
    if (!test::OdbcConfig::sqliteDriverPresent())
        GTEST_SKIP() << "the SQLite ODBC driver (libsqliteodbc) is not installed";
    const test::LocalZone zone{"UTC0"};
    const test::TempDir dir;
    std::filesystem::remove(SharedOdbcConfig::sqliteFile());
    test::SqlClient sql(SharedOdbcConfig::kSqliteDsn);
    ASSERT_TRUE(sql.connected());
    ASSERT_EQ(sql.exec("CREATE TABLE Samples (Meter INTEGER, Location VARCHAR(32), Date_Time "
                       "TIMESTAMP, Amps1 FLOAT, Amps42 INTEGER, Stamp VARCHAR(20))"),
              "");

    sim::PtyServer sim;
    sim.bus().addDevice(sim::Model::Branch, 3, "PNL3");
    sim.bus().addDevice(sim::Model::Branch100A, 7, "BIG");
    sim.bus().addDevice(sim::Model::Circuit8, 20, "CM");
    sim.bus().setRegister(3, 0, 3250);  // 3.250 A
    sim.bus().setRegister(3, 41, 4500); // 4.5 A, rounded to 5 in an INTEGER column
    sim.bus().setRegister(7, 0, 1234);  // 12.34 A on the 100 A model
    sim.bus().setRegister(7, 41, 2049); // 20.49 A

    AppState state;
    ASSERT_TRUE(state.port.open(sim.slavePath()));
    state.meters.addDevice("03 - PNL3 [Kyrel Branch Circuit Monitor, 42 Breakers]");
    state.meters.addDevice("07 - BIG [Kyrel Branch Circuit Monitor 100A, 42 Breakers]");
    state.meters.addDevice("20 - CM [Kyrel Circuit Meter 8, 3-Phase Power Meter]");
    state.meters.select(1); // the selected device is sampled like the others
    state.selection.selectedAddress = 7;
    Settings& settings = state.settings;
    settings.saveFile = dir.file("DATA.TXT");
    settings.fileLoggingActive = true;
    // Stored exactly as typed, never read as SQL.
    settings.location = "O'Brien's pump\\'); DROP TABLE Samples; --";
    settings.dsn = SharedOdbcConfig::kSqliteDsn;
    settings.table = "Samples";
    settings.links = {{kMeterVariable, SqlInteger, "Meter"},
                      {kLocationVariable, SqlVarChar, "Location"},
                      {kDateTimeVariable, SqlTimestamp, "Date_Time"},
                      {3, SqlFloat, "Amps1"},
                      {44, SqlInteger, "Amps42"},
                      {kDateTimeVariable, SqlVarChar, "Stamp"}};
    settings.databaseLogState = Active;

    test::RecordingOperator op;
    FakeClock clock;
    Sampler sampler(state, state.port, op, clock);
    sampler.takeSamples();

    EXPECT_TRUE(op.messages.empty()) << op.messages[0].text;
    EXPECT_TRUE(state.databaseQueue.empty());
    EXPECT_TRUE(state.fileQueue.empty());
    EXPECT_EQ(state.counters.goodCount, 3);
    const std::string stamp = "2026-07-04 14:05:09";
    const std::string text = "07/04/2026 14:05:09";
    EXPECT_EQ(sql.query("SELECT Meter, Location, Date_Time, Amps1, Amps42, Stamp FROM Samples "
                        "ORDER BY Meter"),
              (Rows{{"3", settings.location, stamp, "3.25", "5", text},
                    {"7", settings.location, stamp, "12.34", "20", text},
                    {"20", settings.location, stamp, std::nullopt, std::nullopt, text}}));

    // One line per device with the pass's one stamp; the circuit meter's
    // float block is read from 258 on, where value 1 is float 101.
    const auto lines = test::readLines(settings.saveFile);
    ASSERT_EQ(lines.size(), 3u);
    const struct {
        const char* start;
        long fields;
    } kLines[] = {{"07/04/2026 14:05:09,3,3.250,", 44},
                  {"07/04/2026 14:05:09,7,12.340,", 44},
                  {"07/04/2026 14:05:09,20,101.000,102.000,", 29}};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].rfind(kLines[i].start, 0), 0u) << lines[i];
        EXPECT_EQ(std::count(lines[i].begin(), lines[i].end(), ',') + 1, kLines[i].fields);
    }
    EXPECT_TRUE(lines[0].ends_with(",4.500")) << "breaker 42 of its own device";
}

// A logger stopped while its connects to a server that was away are spaced
// out still writes what waits: the server may be back by then.
TEST(DatabaseSampling, AStopInsideTheConnectBackOffStillWritesTheQueue) {
    if (!test::OdbcConfig::sqliteDriverPresent())
        GTEST_SKIP() << "the SQLite ODBC driver (libsqliteodbc) is not installed";
    const auto file = SharedOdbcConfig::sqliteFile();
    std::filesystem::remove(file);
    std::filesystem::create_directory(file); // no database can be opened there
    AppState state;
    state.settings.dsn = SharedOdbcConfig::kSqliteDsn;
    state.settings.table = "Samples";
    state.settings.links = {{kMeterVariable, SqlInteger, "Meter"}};
    state.settings.databaseLogState = Active;
    auto sample = std::make_shared<LogSample>();
    sample->address = 3;
    state.databaseQueue.push(sample);
    test::RecordingOperator op;
    FakeClock clock;
    bool stop = false;
    Sampler sampler(state, state.port, op, clock);
    sampler.setStopCheck([&] { return stop; });
    sampler.writeQueued();
    ASSERT_EQ(state.databaseQueue.size(), 1u) << "the connect failed; the record waits";
    std::filesystem::remove(file);
    ASSERT_EQ(test::SqlClient(SharedOdbcConfig::kSqliteDsn)
                  .exec("CREATE TABLE Samples (Meter "
                        "INTEGER)"),
              "");
    stop = true;
    sampler.writeQueued();
    EXPECT_TRUE(state.databaseQueue.empty());
}

} // namespace
} // namespace tarvo
