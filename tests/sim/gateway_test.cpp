// Panels behind Ethernet gateways: the program's port and Modbus master over
// a localhost socket against the simulator serving as a transparent (RTU over
// TCP) and as a Modbus TCP gateway, against pymodbus TCP servers, and
// mbpoll against tarvo-sim --tcp-modbus.

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <thread>
#include <unistd.h>

#include "child_process.h"
#include "link/comm_trace.h"
#include "link/device_table.h"
#include "link/modbus_master.h"
#include "link/open_failure.h"
#include "link/port_link.h"
#include "session/bus_scan.h"
#include "sim/tcp_server.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;
using sim::Fault;
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

// A fault of the bus and the master's result over each kind of gateway. A
// protocol gateway checks the bus reply itself and answers exception 0B
// for one it could not take.
struct FaultCase {
    Fault fault;
    int rtuOverTcp;
    int modbusTcp;
};
const FaultCase kFaults[] = {
    {Fault::None, Ok, Ok},
    {Fault::NoAnswer, Timeout, Timeout},
    {Fault::BadCrc, CrcError, ExceptionResponse},
    {Fault::ShortReply, WrongByteCount, ExceptionResponse},
    // A trailing 00 leaves the CRC over the frame at 0: the protocol gateway
    // takes the reply as intact and passes it on one byte long.
    {Fault::LongReply, WrongByteCount, WrongByteCount},
    {Fault::WrongAddress, WrongAddress, WrongAddress},
    {Fault::Exception, ExceptionResponse, ExceptionResponse},
    {Fault::SplitReply, Ok, Ok}, // no gap rule across TCP segments
    {Fault::Noise, WrongByteCount, ExceptionResponse},
    {Fault::Echo, WrongByteCount, ExceptionResponse},
    {Fault::LateReply, Timeout, Timeout},
};

class Gateway : public ::testing::TestWithParam<GatewayMode> {
protected:
    void SetUp() override {
        bus.addDevice(sim::Model::Branch, 2, "PNL1");
        bus.addDevice(sim::Model::Circuit8, 3);
        bus.setLateDelay(900ms); // just past the 831 ms a 3-register read waits
        ASSERT_TRUE(port.open(server.portName())) << server.portName();
    }
    bool modbusTcp() const { return GetParam() == GatewayMode::ModbusTcp; }

    sim::Bus bus;
    sim::TcpServer server{bus, GetParam()};
    int replyTimeout = 800;
    PortLink port{&replyTimeout};
    CommTrace trace;
    DeviceTable devices;
    ModbusMaster master{trace, devices};
    std::array<std::int32_t, 3> values{};
};

TEST_P(Gateway, EachFaultGivesItsResultAndTheNextTransactionItsOwnReply) {
    for (const FaultCase& c : kFaults) {
        SCOPED_TRACE(sim::faultName(c.fault));
        bus.setFault(2, c.fault, 1);
        EXPECT_EQ(master.readHoldingRegisters(port, 2, 0, 3, values),
                  modbusTcp() ? c.modbusTcp : c.rtuOverTcp);
        if (c.fault == Fault::LateReply)
            std::this_thread::sleep_for(800ms); // the late reply has come by now
        // Another device's block: a leftover of the reply above would show
        // as the wrong address or values.
        values.fill(-1);
        ASSERT_EQ(master.readHoldingRegisters(port, 3, 258, 3, values), Ok);
        EXPECT_EQ(values[2], bus.registerValue(3, 260));
    }
    EXPECT_FALSE(port.lost());
}

TEST_P(Gateway, WritesIdentifiesAndTracesTheBytesOnTheWire) {
    ASSERT_EQ(master.writeSingleRegister(port, 2, 268, 65), Ok);
    EXPECT_EQ(bus.registerValue(2, 268), 65);
    int slaveId = 0;
    std::array<char, ModbusMaster::kSlaveIdTextSize> text{};
    ASSERT_EQ(master.reportSlaveId(port, 2, slaveId, text), Ok);
    EXPECT_EQ(slaveId, 230);
    EXPECT_STREQ(text.data(), "Kyrel Branch Circuit Monitor, 42 Breakers");
    // Function 17 as it went: RTU with its CRC, or the MBAP header (length
    // 2, unit 2) and no CRC.
    const std::string sent =
        modbusTcp() ? "Send->00 02 00 00 00 02 02 11\r" : "Send->02 11 C0 DC\r";
    EXPECT_NE(trace.text().find(sent), std::string::npos) << trace.text();
    EXPECT_NE(trace.text().find(modbusTcp() ? "Recv->00 02 00 00 00 2E 02 11 2B E6"
                                            : "Recv->02 11 2B E6"),
              std::string::npos)
        << trace.text();
}

INSTANTIATE_TEST_SUITE_P(Modes, Gateway,
                         ::testing::Values(GatewayMode::RtuOverTcp, GatewayMode::ModbusTcp),
                         [](const auto& info) {
                             return info.param == GatewayMode::ModbusTcp ? "ModbusTcp"
                                                                         : "RtuOverTcp";
                         });

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

const char* const kPython = "/usr/bin/python3";

TEST(GatewayInterop, TheMasterReadsWritesAndIdentifiesPymodbusTcpServers) {
    std::string probe;
    if (::access(kPython, X_OK) != 0 ||
        runProgram({kPython, "-c", "import pymodbus.server"}, probe) != 0)
        GTEST_SKIP() << "pymodbus is not installed (Debian python3-pymodbus): " << probe;
    for (const char* framer : {"socket", "rtu"}) {
        SCOPED_TRACE(framer);
        test::TempDir dir;
        ChildProcess peer({kPython, TARVO_SIM_PYMODBUS_SERVER, std::string("tcp:") + framer, "5",
                           "235", "Kyrel Circuit Meter 8, pymodbus", "0:11,22,33"},
                          dir.file("output"));
        ASSERT_TRUE(peer.waitForOutput("\n", 20s)) << peer.output();
        const std::string tcpPort = peer.output().substr(peer.output().find(' ') + 1);
        PortLink port;
        const std::string scheme = std::string(framer) == "socket" ? "modbus+tcp" : "rtu+tcp";
        ASSERT_TRUE(port.open(scheme + "://127.0.0.1:" + tcpPort.substr(0, tcpPort.size() - 1)))
            << peer.output();
        CommTrace trace;
        DeviceTable devices;
        ModbusMaster master(trace, devices);

        std::array<std::int32_t, 3> values{};
        ASSERT_EQ(master.readHoldingRegisters(port, 5, 0, 3, values), Ok) << trace.text();
        EXPECT_EQ(values, (std::array<std::int32_t, 3>{11, 22, 33}));
        ASSERT_EQ(master.writeSingleRegister(port, 5, 1, 1234), Ok) << trace.text();
        ASSERT_EQ(master.readHoldingRegisters(port, 5, 1, 1, values), Ok);
        EXPECT_EQ(values[0], 1234);
        int slaveId = 0;
        std::array<char, ModbusMaster::kSlaveIdTextSize> text{};
        ASSERT_EQ(master.reportSlaveId(port, 5, slaveId, text), Ok) << trace.text();
        EXPECT_EQ(slaveId, 235);
        EXPECT_STREQ(text.data(), "Kyrel Circuit Meter 8, pymodbus");
        EXPECT_EQ(master.readHoldingRegisters(port, 5, 100, 1, values), ExceptionResponse);
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
