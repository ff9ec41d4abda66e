// The bus scan against the simulator over a pseudo-terminal: real framing,
// real time-outs, the program's own SerialPort and ModbusMaster.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "scan_support.h"
#include "session/app_state.h"
#include "session/bus_scan.h"
#include "sim/server.h"
#include "support/recording_operator.h"

namespace tarvo {
namespace {

using Message = test::RecordingOperator::Message;
using sim::Model;

std::string line(int address, const char* name, Model model) {
    char prefix[8];
    std::snprintf(prefix, sizeof prefix, "%02d", address);
    return std::string(prefix) + " - " + name + " [" + sim::defaultIdentificationText(model) + "]";
}

class BusScanSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(state.port.open(sim.slavePath()));
        state.settings.portName = sim.slavePath();
    }

    // Addresses of the requests with this function code the simulator received.
    std::vector<int> asked(std::uint8_t function) {
        std::vector<int> asked;
        for (const auto& f : sim.bus().frames())
            if (f.bytes.size() >= 2 && f.bytes[1] == function)
                asked.push_back(f.bytes[0]);
        return asked;
    }

    sim::PtyServer sim;
    AppState state;
    test::RecordingOperator op;
    test::RecordingView view;
    BusScan scan{state, state.port, op, view};
};

TEST_F(BusScanSimTest, EveryKindOnTheBusOnlyMonitorableOnesListed) {
    const struct {
        const char* name;
        std::vector<Model> models; // at addresses 1, 2, ...
        DeviceKind firstKind;
        int ratingMax;
    } cases[] = {
        {"100A branch monitor first",
         {Model::Branch100A, Model::Energy, Model::Circuit6, Model::Temperature, Model::Branch,
          Model::FullData, Model::Circuit8, Model::Foreign},
         BranchMonitor100A,
         100},
        {"branch monitor first",
         {Model::Branch, Model::Foreign, Model::Circuit8, Model::FullData, Model::Branch100A,
          Model::Temperature, Model::Circuit6, Model::Energy},
         BranchMonitor,
         50},
    };
    const char* const names[] = {"PNL1", "PNL2", "PNL3", "PNL4", "PNL5", "PNL6", "PNL7", "PNL8"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim.bus().clearLog();
        std::vector<std::string> expected;
        std::vector<int> named;
        for (std::size_t i = 0; i < c.models.size(); ++i) {
            const int address = static_cast<int>(i) + 1;
            sim.bus().addDevice(c.models[i], address, names[i]);
            const DeviceKind kind = sim::deviceKind(c.models[i]);
            if (isBranchMonitor(kind) || isCircuitMeter(kind)) {
                expected.push_back(line(address, names[i], c.models[i]));
                named.push_back(address);
            }
        }
        std::sort(expected.begin(), expected.end());
        state.settings.scan = static_cast<int>(c.models.size());
        state.selection.ratingMax = 0;

        scan.scanBus();

        EXPECT_EQ(state.meters.lines(), expected);
        ASSERT_EQ(expected.size(), 4u);
        EXPECT_EQ(state.meters.selectedIndex(), 0);
        EXPECT_EQ(state.selection.selectedAddress, 1);
        EXPECT_EQ(state.selection.selectedKind, c.firstKind);
        EXPECT_EQ(state.selection.ratingMin, 10);
        EXPECT_EQ(state.selection.ratingMax, c.ratingMax);
        EXPECT_EQ(view.layout, "branch");
        EXPECT_TRUE(op.messages.empty());
        EXPECT_FALSE(state.selection.scanInProgress);
        EXPECT_EQ(asked(0x03), named) << "names are read of listed devices only";
        // Every device answered, listed or not, and left its slave-ID byte.
        for (std::size_t i = 0; i < c.models.size(); ++i)
            EXPECT_EQ(state.devices.slaveId(static_cast<int>(i) + 1),
                      sim::defaultSlaveIdByte(c.models[i]));
    }
}

TEST_F(BusScanSimTest, DepthZeroAsksNobodyAndClearsTheSelection) {
    sim.bus().addDevice(Model::Branch, 1, "PNL1");
    state.settings.scan = 0;
    state.meters.select(state.meters.addDevice("05 - X [Kyrel Branch]"));
    state.selection.selectedAddress = 5;
    scan.scanBus();
    EXPECT_TRUE(sim.bus().frames().empty());
    EXPECT_EQ(view.history.front(), std::vector<std::string>{"Searching..."});
    EXPECT_EQ(state.meters.count(), 0);
    EXPECT_EQ(state.selection.selectedAddress, -1);
    EXPECT_FALSE(state.selection.scanInProgress);
}

TEST_F(BusScanSimTest, WrongLengthReplyAtFirstAnsweringAddressEndsTheScan) {
    // Address 1 is silent. Address 2 rejects function 17 and its 5-byte
    // exception reply loses its last byte: too short for any reply.
    sim.bus().addDevice(Model::Branch, 2, "PNL2");
    sim.bus().withDevice(2, [](sim::Device& d) { d.setAnswersSlaveId(false); });
    sim.bus().setFault(2, sim::Fault::ShortReply, 1);
    sim.bus().addDevice(Model::Branch, 3, "PNL3");
    state.settings.scan = 3;

    scan.scanBus();

    EXPECT_EQ(op.messages,
              (std::vector<Message>{
                  {"Comm port " + sim.slavePath() + " not properly opened.", "Com port failure"}}));
    EXPECT_EQ(asked(0x11), (std::vector<int>{1, 2})) << "address 3 is not asked";
    EXPECT_EQ(state.meters.count(), 0);
    EXPECT_EQ(state.selection.selectedAddress, -1);
    EXPECT_FALSE(state.selection.scanInProgress);
}

TEST_F(BusScanSimTest, ExceptionReplyIsReportedAndTheScanGoesOn) {
    sim.bus().addDevice(Model::Circuit8, 1, "OLD1");
    sim.bus().withDevice(1, [](sim::Device& d) { d.setAnswersSlaveId(false); });
    sim.bus().addDevice(Model::Circuit8, 2, "NEW2");
    state.settings.scan = 2;
    state.selection.ratingMax = 77;

    scan.scanBus();

    EXPECT_EQ(op.messages,
              (std::vector<Message>{{"Address [1] Returned Error Code [4].", "Com port failure"}}));
    EXPECT_EQ(state.meters.lines(), std::vector<std::string>{line(2, "NEW2", Model::Circuit8)});
    EXPECT_EQ(state.selection.selectedAddress, 2);
    EXPECT_EQ(view.layout, "circuit");
    EXPECT_EQ(state.selection.ratingMax, 77) << "a circuit meter leaves the rating range";
}

TEST_F(BusScanSimTest, NestedScanRequestDoesNothing) {
    sim.bus().addDevice(Model::Branch, 1, "PNL1");
    sim.bus().addDevice(Model::Branch100A, 2, "PNL2");
    state.settings.scan = 2;
    int nested = 0;
    BusScan outer{state, state.port, op, view, [&](std::chrono::milliseconds d) {
                      ++nested;
                      scan.scanBus(); // a timer tick or a port open inside the scan
                      BusScan::defaultPause(d);
                  }};
    outer.scanBus();
    EXPECT_EQ(nested, 2);
    EXPECT_EQ(asked(0x11), (std::vector<int>{1, 2}));
    EXPECT_EQ(state.meters.count(), 2);
    EXPECT_EQ(op.busyCount, 1);
}

TEST_F(BusScanSimTest, SuccessfulOpenResetsFailuresAndScans) {
    sim.bus().addDevice(Model::Branch, 1, "PNL1");
    state.settings.scan = 1;
    state.port.close();
    state.link.openFailures = 4;
    scan.openPort(sim.slavePath());
    EXPECT_TRUE(state.port.isOpen());
    EXPECT_EQ(state.link.openFailures, 0);
    EXPECT_EQ(state.meters.lines(), std::vector<std::string>{line(1, "PNL1", Model::Branch)});
    EXPECT_EQ(state.selection.selectedAddress, 1);
}

} // namespace
} // namespace tarvo
