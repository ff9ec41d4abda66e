// An adapter that echoes every request before the reply, played by the
// simulator's echo fault: the `echo` setting is what makes the reads work.

#include <gtest/gtest.h>

#include <array>

#include "link/comm_trace.h"
#include "link/device_table.h"
#include "link/modbus_master.h"
#include "link/serial_port.h"
#include "sim/server.h"

namespace tarvo {
namespace {

TEST(AdapterEchoTest, EchoedRequestIsDiscardedOnlyWithTheSetting) {
    const struct {
        const char* name;
        bool adapterEchoes;
        int expected;
    } cases[] = {
        {"echo taken for the reply without the setting", false, WrongByteCount},
        {"echo discarded with the setting", true, Ok},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::PtyServer sim;
        sim.bus().addDevice(sim::Model::Branch, 3, "PNL1");
        sim.bus().setFault(3, sim::Fault::Echo);
        SerialPort port;
        ASSERT_TRUE(port.open(sim.slavePath()));
        CommTrace trace;
        DeviceTable devices;
        ModbusMaster master(trace, devices, &c.adapterEchoes);
        std::array<std::int32_t, 49> values{};
        EXPECT_EQ(master.readHoldingRegisters(port, 3, 0, 49, values), c.expected);
    }
}

} // namespace
} // namespace tarvo
