// The bus scan against the simulator over a pseudo-terminal: real framing,
// real time-outs, the program's own SerialPort and ModbusMaster, every kind
// of device with its own identification text.

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

using sim::Model;

TEST(BusScanSim, EveryKindOnTheBusOnlyMonitorableOnesListed) {
    sim::PtyServer sim;
    AppState state;
    test::RecordingOperator op;
    test::RecordingView view;
    BusScan scan{state, state.port, op, view};
    ASSERT_TRUE(state.port.open(sim.slavePath()));

    // At addresses 1, 2, ...
    const Model models[] = {Model::Branch100A, Model::Energy,   Model::Circuit6, Model::Temperature,
                            Model::Branch,     Model::FullData, Model::Circuit8, Model::Foreign};
    std::vector<std::string> expected;
    std::vector<int> named;
    for (int address = 1; address <= 8; ++address) {
        const Model model = models[address - 1];
        const std::string name = "PNL" + std::to_string(address);
        sim.bus().addDevice(model, address, name);
        const DeviceKind kind = sim::deviceKind(model);
        if (isBranchMonitor(kind) || isCircuitMeter(kind)) {
            char prefix[8];
            std::snprintf(prefix, sizeof prefix, "%02d", address);
            expected.push_back(std::string(prefix) + " - " + name + " [" +
                               sim::defaultIdentificationText(model) + "]");
            named.push_back(address);
        }
    }
    std::sort(expected.begin(), expected.end());
    state.settings.scan = 8;

    scan.scanBus();

    EXPECT_EQ(state.meters.lines(), expected);
    ASSERT_EQ(expected.size(), 4u);
    EXPECT_EQ(state.meters.selectedIndex(), 0);
    EXPECT_EQ(state.selection.selectedAddress, 1);
    EXPECT_EQ(state.selection.selectedKind, BranchMonitor100A);
    EXPECT_EQ(state.selection.ratingMax, 100);
    EXPECT_EQ(view.layout, "branch");
    EXPECT_TRUE(op.messages.empty());
    std::vector<int> nameReads;
    for (const auto& f : sim.bus().frames())
        if (f.bytes.size() >= 2 && f.bytes[1] == 0x03)
            nameReads.push_back(f.bytes[0]);
    EXPECT_EQ(nameReads, named) << "names are read of listed devices only";
    // Every device answered, listed or not, and left its slave-ID byte.
    for (int address = 1; address <= 8; ++address)
        EXPECT_EQ(state.devices.slaveId(address), sim::defaultSlaveIdByte(models[address - 1]));
}

} // namespace
} // namespace tarvo
