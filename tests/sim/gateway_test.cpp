// Panels behind Ethernet gateways: the names the port takes and why a gateway
// would not open. The master's traffic over each kind of gateway is in the
// simulator link and interop tests.

#include <gtest/gtest.h>

#include <cerrno>

#include "link/open_failure.h"
#include "link/port_link.h"
#include "session/bus_scan.h"
#include "sim/tcp_server.h"

namespace tarvo {
namespace {

using sim::GatewayMode;

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

} // namespace
} // namespace tarvo
