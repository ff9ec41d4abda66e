// Panels behind Ethernet gateways: the names the port takes and why a gateway
// would not open. The master's traffic over each kind of gateway is in the
// simulator link and interop tests.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "link/open_failure.h"
#include "link/port_link.h"
#include "session/bus_scan.h"
#include "sim/tcp_server.h"
#include "support/hex.h"
#include "support/traced_master.h"

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

// A Modbus TCP gateway that sends a row's bytes to its one client, or resets
// the connection for a row without bytes.
struct ScriptedGateway {
    ScriptedGateway() {
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof a;
        (void)(::bind(fd, reinterpret_cast<sockaddr*>(&a), size) || ::listen(fd, 1) ||
               ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size));
        name = "modbus+tcp://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    }
    ~ScriptedGateway() { ::close(client), ::close(fd); }
    void send(const test::Bytes& bytes) {
        const linger reset{1, 0};
        if (client == -1 && (client = ::accept(fd, nullptr, nullptr)) >= 0 && bytes.empty())
            (void)::setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset),
                client = (::close(client), -2);
        (void)::send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    int fd = ::socket(AF_INET, SOCK_STREAM, 0), client = -1;
    std::string name;
};

// Each row is what a gateway sends instead of the reply to the first of two
// reads; once the link is lost, the good reply to the second (transaction 2)
// follows on the same connection and must not be taken.
TEST(GatewayStream, WhatBrokeTheStreamIsNamedAndNothingAfterItIsTaken) {
    const struct {
        const char* name;
        const char* bytes;
        const char* cause; // "" when the connection is kept
        const char* traced;
    } cases[] = {
        {"protocol id not 0", "00 01 00 05 00 05 03 03 02 00 07",
         "the gateway sent no Modbus TCP frame (protocol id 5, not 0)", "Recv->00 01 00 05"},
        {"reset", "", "the gateway reset the connection", "Recv->\r"},
        {"reply to another transaction skipped and traced", "00 07 00 00 00 05 03 03 02 00 09", "",
         "Recv->00 07 00 00 00 05 03 03 02 00 09\r"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedGateway gateway;
        int timeout = 100;
        PortLink port(&timeout);
        ASSERT_TRUE(port.open(gateway.name));
        gateway.send(test::fromHex(c.bytes));
        test::TracedMaster bus;
        std::int32_t value = -1;
        EXPECT_NE(bus.master.readHoldingRegisters(port, 3, 0, 1, {&value, 1}), Ok);
        EXPECT_NE(bus.trace.text().find(c.traced), std::string::npos) << bus.trace.text();
        EXPECT_EQ(port.lostCause(), c.cause);
        gateway.send(test::fromHex("00 02 00 00 00 05 03 03 02 00 07"));
        EXPECT_EQ(bus.master.readHoldingRegisters(port, 3, 0, 1, {&value, 1}),
                  *c.cause ? Timeout : Ok)
            << "read " << value;
    }
}

} // namespace
} // namespace tarvo
