// The sampling pass against the bus simulator over a pseudo-terminal.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "session/app_state.h"
#include "session/sampling.h"
#include "sim/server.h"
#include "support/local_zone.h"
#include "support/recording_operator.h"
#include "support/temp_dir.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;

struct FakeClock : Clock {
    std::time_t t = 1783173909; // 07/04/2026 14:05:09 UTC
    std::time_t now() const override { return t; }
};

const char* const kBranchText = "Kyrel Branch Circuit Monitor, 42 Breakers";

std::string line(int address, const char* name, const char* text) {
    char prefix[8];
    std::snprintf(prefix, sizeof prefix, "%02d", address);
    return std::string(prefix) + " - " + name + " [" + text + "]";
}

class SamplingSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(state.port.open(sim.slavePath()));
        dir = fs::temp_directory_path() /
              ("tarvo-sampling-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        state.settings.saveFile = (dir / "DATA.TXT").string();
    }
    void TearDown() override { fs::remove_all(dir); }

    // The records of one pass, taken from the database queue (no inserter
    // is attached, so they stay there).
    std::vector<SampleRecord> databaseRecords() {
        std::vector<SampleRecord> records;
        while (!state.databaseQueue.empty()) {
            records.push_back(state.databaseQueue.front());
            state.databaseQueue.popFront();
        }
        return records;
    }

    std::vector<std::string> fileLines() const { return test::readLines(state.settings.saveFile); }

    test::LocalZone zone{"UTC0"};
    sim::PtyServer sim;
    AppState state;
    test::RecordingOperator op;
    FakeClock clock;
    Sampler sampler{state, state.port, op, clock};
    fs::path dir;
};

TEST_F(SamplingSimTest, EachRecordHoldsItsOwnDevicesCurrents) {
    sim.bus().addDevice(sim::Model::Branch, 3, "PNL3");
    sim.bus().addDevice(sim::Model::Branch, 7, "PNL7");
    sim.bus().addDevice(sim::Model::Branch100A, 12, "BIG");
    sim.bus().setRegister(3, 0, 3000);
    sim.bus().setRegister(3, 41, 3042);
    sim.bus().setRegister(7, 0, 7000);
    sim.bus().setRegister(7, 41, 7042);
    sim.bus().setRegister(12, 0, 1234);
    state.meters.addDevice(line(3, "PNL3", kBranchText));
    state.meters.addDevice(line(7, "PNL7", kBranchText));
    state.meters.addDevice(line(12, "BIG", "Kyrel Branch Circuit Monitor 100A, 42 Breakers"));
    state.meters.select(1); // the one at 7 is the selected device
    state.selection.selectedAddress = 7;
    state.settings.fileLoggingActive = true;
    state.settings.databaseLogState = Active;

    sampler.takeSamples();

    const auto records = databaseRecords();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0]->address, 3);
    EXPECT_FLOAT_EQ(records[0]->currents[0], 3.0f);
    EXPECT_FLOAT_EQ(records[0]->currents[41], 3.042f);
    EXPECT_EQ(records[1]->address, 7);
    EXPECT_FLOAT_EQ(records[1]->currents[0], 7.0f);
    EXPECT_FLOAT_EQ(records[1]->currents[41], 7.042f);
    EXPECT_EQ(records[2]->kind, BranchMonitor100A);
    EXPECT_FLOAT_EQ(records[2]->currents[0], 12.34f);
    EXPECT_EQ(state.counters.goodCount, 3);
    EXPECT_EQ(state.counters.badCount, 0);

    const auto lines = fileLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2].rfind("07/04/2026 14:05:09,12,12.340,", 0), 0u) << lines[2];
    EXPECT_TRUE(state.fileQueue.empty()) << "the writer emptied the file queue";
}

TEST_F(SamplingSimTest, TwoBranchMonitorsAndACircuitMeterAppendThreeLinesWithOneStamp) {
    sim.bus().addDevice(sim::Model::Branch, 3, "PNL3");
    sim.bus().addDevice(sim::Model::Branch, 7, "PNL7");
    sim.bus().addDevice(sim::Model::Circuit8, 20, "CM");
    state.meters.addDevice(line(3, "PNL3", kBranchText));
    state.meters.addDevice(line(7, "PNL7", kBranchText));
    state.meters.addDevice(line(20, "CM", "Kyrel Circuit Meter 8, 3-Phase Power Meter"));
    state.settings.fileLoggingActive = true;

    sampler.takeSamples();

    const auto lines = fileLines();
    ASSERT_EQ(lines.size(), 3u);
    const std::vector<std::string> starts = {"07/04/2026 14:05:09,3,", "07/04/2026 14:05:09,7,",
                                             "07/04/2026 14:05:09,20,"};
    const std::vector<long> fields = {44, 44, 29};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(lines[i].rfind(starts[i], 0), 0u) << lines[i];
        EXPECT_EQ(std::count(lines[i].begin(), lines[i].end(), ',') + 1, fields[i]);
    }
    // The circuit meter's float block is read from 258 on: value 1 is float 1.
    EXPECT_NE(lines[2].find(",20,101.000,102.000,"), std::string::npos) << lines[2];
    EXPECT_TRUE(state.databaseQueue.empty()) << "database logging is off";
}

TEST_F(SamplingSimTest, SilentDeviceGivesASkippedRecordAndCountsAFailure) {
    sim.bus().addDevice(sim::Model::Branch, 3, "PNL3");
    sim.bus().addDevice(sim::Model::Branch, 5, "MUTE");
    sim.bus().setFault(5, sim::Fault::NoAnswer);
    state.meters.addDevice(line(3, "PNL3", kBranchText));
    state.meters.addDevice(line(5, "MUTE", kBranchText));
    state.settings.fileLoggingActive = true;
    state.settings.databaseLogState = Active;

    sampler.takeSamples();

    const auto records = databaseRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1]->address, 5);
    EXPECT_EQ(records[1]->kind, NoDevice);
    EXPECT_EQ(state.counters.badCount, 1);
    EXPECT_EQ(state.counters.goodCount, 1);
    EXPECT_EQ(state.counters.lastError, Timeout);
    EXPECT_TRUE(op.messages.empty()) << "a failed sample read shows no message";
    const auto lines = fileLines();
    ASSERT_EQ(lines.size(), 1u) << "the silent device writes no row";
    EXPECT_EQ(lines[0].rfind("07/04/2026 14:05:09,3,", 0), 0u);
}

} // namespace
} // namespace tarvo
