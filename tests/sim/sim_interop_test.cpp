// Proof against code nobody here wrote: mbpoll as the master of the
// simulator on its line and of tarvo-sim --tcp-modbus, and the program's
// ModbusMaster against pymodbus slaves behind both kinds of gateway.

#include <gtest/gtest.h>

#include <array>
#include <tuple>
#include <unistd.h>

#include "child_process.h"
#include "link/port_link.h"
#include "sim/server.h"
#include "support/traced_master.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::runProgram;
using test::TempDir;

const char* const kMbpoll = "/usr/bin/mbpoll";
const char* const kPython = "/usr/bin/python3";

class MbpollInterop : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access(kMbpoll, X_OK) != 0)
            GTEST_SKIP() << "mbpoll is not installed (Debian package mbpoll)";
        sim.bus().addDevice(sim::Model::Branch, 2, "PNL1");
    }

    // Runs mbpoll at 9600 8N1 with PDU (0-based) register numbers, one poll
    // and a 2 s time-out (a later "-m tcp" in `args` wins over "-m rtu"); it
    // must succeed and print every one of `texts`.
    void expectMbpoll(std::vector<std::string> args, std::initializer_list<const char*> texts) {
        std::vector<std::string> argv{kMbpoll, "-m", "rtu", "-b", "9600", "-P",
                                      "none",  "-0", "-1",  "-o", "2"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out;
        EXPECT_EQ(runProgram(argv, out), 0) << out;
        for (const char* text : texts)
            EXPECT_NE(out.find(text), std::string::npos) << text << " in:\n" << out;
    }

    sim::PtyServer sim;
};

TEST_F(MbpollInterop, ReadsRegistersAndTheIdentification) {
    // "PNL1" as two registers: 0x504E, 0x4C31.
    expectMbpoll({"-a", "2", "-r", "273", "-c", "2", sim.slavePath()},
                 {"[273]: \t20558", "[274]: \t19505"});
    expectMbpoll(
        {"-a", "2", "-u", sim.slavePath()},
        {"Id    : 0xE6", "Status: On", "Data  : Kyrel Branch Circuit Monitor, 42 Breakers"});
}

TEST_F(MbpollInterop, WritesOneRegisterWithFunction6) {
    expectMbpoll({"-a", "2", "-r", "268", sim.slavePath(), "65"}, {"Written 1 references."});
    const auto writes = sim.bus().writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(std::tie(writes[0].address, writes[0].reg, writes[0].value), std::tuple(2, 268, 65));
    EXPECT_EQ(sim.bus().frames().back().bytes.at(1), 6) << "function 6, not 16";
    EXPECT_EQ(sim.bus().registerValue(2, 93), 65) << "the global warning limit reached breaker 1";
}

TEST_F(MbpollInterop, ReadsTarvoSimServingModbusTcp) {
    TempDir dir;
    ChildProcess tcp({TARVO_SIM_PROGRAM, "--device", "2:branch:PNL1", "--tcp-modbus", "0"},
                     dir.file("output"));
    // The device list follows the line "serving modbus+tcp://127.0.0.1:PORT".
    ASSERT_TRUE(tcp.waitForOutput("[Kyrel", 10s)) << tcp.output();
    const std::string out = tcp.output();
    const auto at = out.find("127.0.0.1:") + 10;
    expectMbpoll({"-m", "tcp", "-p", out.substr(at, out.find('\n', at) - at), "-a", "2", "-r",
                  "273", "-c", "2", "127.0.0.1"},
                 {"[273]: \t20558", "[274]: \t19505"});
}

// pymodbus as a Modbus TCP and an RTU-over-TCP gateway on 127.0.0.1. The
// RTU frames it takes over TCP are the serial line's; the line's timing is
// the pseudo-terminal tests'.
TEST(PymodbusInterop, TheMasterReadsWritesAndIdentifiesPymodbusSlaves) {
    std::string probe;
    if (::access(kPython, X_OK) != 0 ||
        runProgram({kPython, "-c", "import pymodbus.server"}, probe) != 0)
        GTEST_SKIP() << "pymodbus 3 is not installed (Debian python3-pymodbus): " << probe;
    const struct {
        std::string peerPort;
        const char* scheme;
    } peers[] = {
        {"tcp:socket", "modbus+tcp://127.0.0.1:"},
        {"tcp:rtu", "rtu+tcp://127.0.0.1:"},
    };
    for (const auto& p : peers) {
        SCOPED_TRACE(p.peerPort);
        TempDir dir;
        ChildProcess peer({kPython, TARVO_SIM_PYMODBUS_SERVER, p.peerPort, "5", "235",
                           "Kyrel Circuit Meter 8, pymodbus", "0:11,22,33,44,65535"},
                          dir.file("output"));
        ASSERT_TRUE(peer.waitForOutput("\n", 20s)) << peer.output();
        // "ready PORT\n" from a TCP server.
        const std::string out = peer.output();
        PortLink port;
        ASSERT_TRUE(port.open(p.scheme + out.substr(6, out.size() - 7))) << out;
        test::TracedMaster bus;

        std::array<std::int32_t, 5> values{};
        ASSERT_EQ(bus.master.readHoldingRegisters(port, 5, 0, 5, values), Ok) << peer.output();
        EXPECT_EQ(values, (std::array<std::int32_t, 5>{11, 22, 33, 44, 65535}));
        if (!port.reframes()) {
            EXPECT_NE(bus.trace.text().find("Send->05 03 00 00 00 05 84 4D"), std::string::npos)
                << bus.trace.text();
            EXPECT_NE(bus.trace.text().find("Recv->05 03 0A 00 0B 00 16 00 21 00 2C FF FF"),
                      std::string::npos)
                << bus.trace.text();
        }
        ASSERT_EQ(bus.master.writeSingleRegister(port, 5, 3, 1234), Ok);
        ASSERT_EQ(bus.master.readHoldingRegisters(port, 5, 3, 1, values), Ok);
        EXPECT_EQ(values[0], 1234);

        int slaveId = 0;
        std::array<char, ModbusMaster::kSlaveIdTextSize> text{};
        ASSERT_EQ(bus.master.reportSlaveId(port, 5, slaveId, text), Ok) << bus.trace.text();
        EXPECT_EQ(slaveId, 235);
        EXPECT_STREQ(text.data(), "Kyrel Circuit Meter 8, pymodbus");
        // A register the slave does not hold: pymodbus answers with an exception.
        EXPECT_EQ(bus.master.readHoldingRegisters(port, 5, 100, 1, values), ExceptionResponse);
    }
}

} // namespace
} // namespace tarvo
