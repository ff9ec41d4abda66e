// Panels behind Ethernet gateways: the names the port takes, why a gateway
// would not open, and mbpoll against tarvo-sim --tcp-modbus. The master's
// traffic over each kind of gateway is in the simulator link and interop
// tests.

#include <gtest/gtest.h>

#include <cerrno>
#include <unistd.h>

#include "child_process.h"
#include "link/open_failure.h"
#include "link/port_link.h"
#include "session/bus_scan.h"
#include "sim/tcp_server.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;
using sim::GatewayMode;
using test::ChildProcess;
using test::runProgram;

// Port names and what they stand for ("" when refused).
struct NameCase {
    const char* name;
    const char* parsed; // "mode host service"
};
const NameCase kNames[] = {
    {"modbus+tcp://10.0.0.7", "modbus 10.0.0.7 502"},
    {"modbus+tcp://panel-3.plant:1502/", "modbus panel-3.plant 1502"},
    {"rtu+tcp://[fe80::1]:4001", "rtu fe80::1 4001"},
    {"modbus+tcp://[::1]", "modbus ::1 502"},
    {"modbus+tcp://::1", "modbus ::1 502"},
    {"rtu+tcp://10.0.0.7", ""}, // a transparent gateway has no standard port
    {"modbus+tcp://10.0.0.7:", ""},
    {"modbus+tcp://10.0.0.7:65536", ""},
    {"modbus+tcp://10.0.0.7:0", ""},
    {"modbus+tcp://10.0.0.7:50x", ""},
    {"modbus+tcp://:502", ""},
    {"modbus+tcp://[::1", ""},
    {"tcp://10.0.0.7:502", ""},
};

TEST(GatewayName, FormsReadAndMalformedOnesRefused) {
    for (const NameCase& c : kNames) {
        SCOPED_TRACE(c.name);
        const auto a = parseGatewayName(c.name);
        const std::string got =
            a ? std::string(a->mode == GatewayAddress::ModbusTcp ? "modbus " : "rtu ") + a->host +
                    " " + a->service
              : "";
        EXPECT_EQ(got, c.parsed);
    }
}

TEST(GatewayOpen, RefusedAndMalformedGatewaysSayWhy) {
    std::string name;
    {
        sim::Bus bus;
        sim::TcpServer closed(bus, GatewayMode::ModbusTcp);
        name = closed.portName();
    } // nobody listens there now
    const struct {
        std::string name;
        int error;
        const char* cause;
    } cases[] = {
        {name, ECONNREFUSED, "127.0.0.1 refused the connection on port "},
        {"rtu+tcp://127.0.0.1", EINVAL, "is not a gateway address. Write rtu+tcp://HOST:PORT"},
        {"modbus+tcp://no-such-host.invalid", ENXIO, "no-such-host.invalid is not a known host"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PortLink port;
        const OpenResult r = port.open(c.name);
        EXPECT_FALSE(port.isOpen());
        EXPECT_EQ(r.error, c.error);
        const std::string text = explainOpenFailure(c.name, r);
        EXPECT_EQ(text.rfind("Unable to open " + c.name + "\n", 0), 0u) << text;
        EXPECT_NE(text.find(c.cause), std::string::npos) << text;
    }
}

TEST(GatewayInterop, MbpollReadsTarvoSimOverModbusTcp) {
    if (::access("/usr/bin/mbpoll", X_OK) != 0)
        GTEST_SKIP() << "mbpoll is not installed (Debian package mbpoll)";
    test::TempDir dir;
    ChildProcess sim({TARVO_SIM_PROGRAM, "--device", "2:branch:PNL1", "--tcp-modbus", "0"},
                     dir.file("output"));
    ASSERT_TRUE(sim.waitForOutput("modbus+tcp://127.0.0.1:", 10s)) << sim.output();
    ASSERT_TRUE(sim.waitForOutput("[Kyrel", 10s)) << sim.output();
    const std::string out = sim.output();
    const auto at = out.find("127.0.0.1:") + 10;
    const std::string tcpPort = out.substr(at, out.find('\n', at) - at);
    std::string polled;
    // "PNL1" as two registers: 0x504E, 0x4C31.
    ASSERT_EQ(runProgram({"/usr/bin/mbpoll", "-m", "tcp", "-p", tcpPort, "-a", "2", "-r", "273",
                          "-c", "2", "-0", "-1", "-o", "2", "127.0.0.1"},
                         polled),
              0)
        << polled;
    EXPECT_NE(polled.find("[273]: \t20558"), std::string::npos) << polled;
    EXPECT_NE(polled.find("[274]: \t19505"), std::string::npos) << polled;
}

} // namespace
} // namespace tarvo
