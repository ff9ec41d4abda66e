// The tarvo-sim program: arguments, the link, the control channel and a
// clean end on SIGTERM and SIGINT.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "child_process.h"
#include "link/serial_port.h"
#include "support/traced_master.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::ControlClient;
using test::runProgram;
using test::TempDir;

const std::string kProgram = TARVO_SIM_PROGRAM;

struct BadArguments {
    const char* fault;
    std::vector<std::string> args;
    const char* message;
};

TEST(SimProgram, BadArgumentsStopWithAMessage) {
    TempDir dir;
    const std::string regular = dir.file("not-a-link");
    std::ofstream(regular) << "keep me";
    const std::string badBus = dir.file("bad.bus");
    std::ofstream(badBus) << "# a panel\n2 branch PNL1\n3 toaster\n";
    const BadArguments cases[] = {
        {"no devices", {}, "no devices"},
        {"unknown kind", {"--device", "2:toaster"}, "unknown device kind"},
        {"address 0", {"--device", "0:branch"}, "ADDR 1 to 247"},
        {"address 248", {"--device", "248:branch"}, "ADDR 1 to 247"},
        {"name too long", {"--device", "2:branch:PANEL"}, "longer than 4"},
        {"unknown option", {"--device", "2:branch", "--frobnicate"}, "unknown argument"},
        {"missing value", {"--device"}, "needs a value"},
        {"odd speed", {"--device", "2:branch", "--speed", "1234"}, "speed must be"},
        {"odd parity", {"--device", "2:branch", "--parity", "mark"}, "parity must be"},
        {"bad bus file line", {"--bus", badBus}, "line 3"},
        {"missing bus file", {"--bus", dir.file("nothing")}, "cannot read bus file"},
        {"link over a regular file", {"--device", "2:branch", "--link", regular}, "not a symbolic"},
        {"missing serial device",
         {"--device", "2:branch", "--port", dir.file("ttyNone")},
         "cannot open"},
    };
    for (const BadArguments& c : cases) {
        std::vector<std::string> argv{kProgram};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::string out;
        EXPECT_EQ(runProgram(argv, out), 2) << c.fault;
        EXPECT_NE(out.find(c.message), std::string::npos) << c.fault << ": " << out;
    }
    std::ifstream in(regular);
    std::string kept;
    std::getline(in, kept);
    EXPECT_EQ(kept, "keep me");
}

TEST(SimProgram, ServesALinkAndTakesControlCommands) {
    TempDir dir;
    const std::string link = dir.file("bus"), control = dir.file("control");
    const std::string busFile = dir.file("panel.bus");
    std::ofstream(busFile) << "# the main board\n3 circuit8 MAIN\n";
    ChildProcess sim({kProgram, "--device", "2:branch:PNL1", "--bus", busFile, "--link", link,
                      "--control", control},
                     dir.file("output"));
    ASSERT_TRUE(sim.waitForOutput("tarvo-sim: control", 10s)) << sim.output();
    EXPECT_NE(sim.output().find("Kyrel Circuit Meter 8,"), std::string::npos);
    ASSERT_TRUE(std::filesystem::is_symlink(link));

    SerialPort port;
    ASSERT_TRUE(port.open(link));
    test::TracedMaster bus;
    int slaveId = 0;
    std::array<char, ModbusMaster::kSlaveIdTextSize> text{};
    ASSERT_EQ(bus.master.reportSlaveId(port, 2, slaveId, text), Ok);
    EXPECT_EQ(slaveId, 230);

    ControlClient client(control);
    ASSERT_TRUE(client.connected());
    EXPECT_EQ(client.command("fault 2 badcrc 1"), "ok\n");
    std::array<std::int32_t, 1> value{};
    EXPECT_EQ(bus.master.readHoldingRegisters(port, 2, 0, 1, value), CrcError);
    EXPECT_EQ(bus.master.readHoldingRegisters(port, 2, 0, 1, value), Ok);
    EXPECT_EQ(client.command("set 2 0 4242"), "ok\n");
    EXPECT_EQ(client.command("get 2 0 2"), "4242\n1250\nok\n");
    EXPECT_EQ(bus.master.writeSingleRegister(port, 2, 51, 30), Ok);
    const std::string log = client.command("log");
    EXPECT_NE(log.find("write "), std::string::npos) << log;
    EXPECT_NE(log.find(" 2 51 30 accepted"), std::string::npos) << log;
    EXPECT_NE(log.find("02 11 C0 DC answered none"), std::string::npos) << log;
    EXPECT_NE(log.find("badcrc"), std::string::npos) << log;
    EXPECT_EQ(client.command("fault 2 sparkle").rfind("error:", 0), 0u);
    EXPECT_EQ(client.command("teleport").rfind("error:", 0), 0u);
    EXPECT_EQ(client.command("live on 5"), "ok\n");
    std::array<std::int32_t, 42> before{}, after{};
    ASSERT_EQ(bus.master.readHoldingRegisters(port, 2, 0, 42, before), Ok);
    std::this_thread::sleep_for(400ms);
    ASSERT_EQ(bus.master.readHoldingRegisters(port, 2, 0, 42, after), Ok);
    EXPECT_NE(before, after) << "live values move on the line";
}

// A termination signal ends the program and removes its link and socket while
// a master polls the line and a control client is connected.
struct StopCase {
    const char* fault;
    int signal;
    int unreadCommands; ///< "help" commands whose answers the client never reads
};
const StopCase kStops[] = {
    {"unread answers block the program in a send and it outlives SIGTERM", SIGTERM, 2000},
    {"SIGINT not taken as a stop: killed, link and socket left behind", SIGINT, 0},
};

TEST(SimProgram, TerminationSignalsEndItWhileAMasterPollsAndAClientIsAttached) {
    for (const StopCase& c : kStops) {
        TempDir dir;
        const std::string link = dir.file("bus"), control = dir.file("control");
        ChildProcess sim({kProgram, "--device", "2:branch", "--link", link, "--control", control},
                         dir.file("output"));
        ASSERT_TRUE(sim.waitForOutput("tarvo-sim: control", 10s)) << sim.output();
        std::atomic<bool> stop{false};
        std::atomic<int> polls{0};
        std::thread poller([&] {
            SerialPort port;
            test::TracedMaster bus;
            std::array<std::int32_t, 49> block{};
            if (port.open(link))
                while (!stop && bus.master.readHoldingRegisters(port, 2, 0, 49, block) == Ok)
                    ++polls;
        });
        ControlClient client(control);
        std::string commands;
        for (int i = 0; i < c.unreadCommands; ++i)
            commands += "help\n";
        EXPECT_TRUE(client.sendUnread(commands.empty() ? "devices\n" : commands)) << c.fault;
        for (int waits = 0; waits < 500 && polls < 3; ++waits)
            std::this_thread::sleep_for(20ms);
        EXPECT_GE(polls, 3) << c.fault;
        sim.signal(c.signal);
        EXPECT_EQ(sim.wait(10s), 0) << c.fault;
        stop = true;
        poller.join();
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link))) << c.fault;
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(control))) << c.fault;
    }
}

} // namespace
} // namespace tarvo
