// An adapter pulled out and plugged in again under a running tick: the
// simulator's pseudo-terminal vanishes and a new one appears at the same
// stable link path, as /dev/serial/by-id does for a USB adapter.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include <sys/stat.h>
#include <termios.h>

#include "scan_support.h"
#include "session/app_state.h"
#include "session/bus_scan.h"
#include "session/link_keeper.h"
#include "session/polling.h"
#include "sim/server.h"
#include "sim/tcp_server.h"
#include "support/recording_operator.h"
#include "support/temp_dir.h"

namespace tarvo {
namespace {

// The window's tick over the port of `portName`, opened, with breaker
// monitor 3 listed, selected and read once.
struct Ticking {
    explicit Ticking(const std::string& portName) {
        polling.setKeeper(&keeper);
        state.settings.portName = portName;
        EXPECT_TRUE(state.port.open(portName));
        state.meters.addDevice("03 - PNL1 [listed before]");
        state.selection = {3, BranchMonitor};
        polling.onTimer();
        EXPECT_EQ(state.counters.badCount, 0);
    }
    AppState state;
    test::RecordingOperator op;
    test::RecordingView scanView;
    test::RecordingPollView shown;
    BusScan scan{state, state.port, op, scanView, [](auto) {}};
    LinkKeeper keeper{state, state.port, op};
    PollingCycle polling{state, state.port, op, scan, shown};
};

std::unique_ptr<sim::PtyServer> plugIn(const std::string& link) {
    auto sim = std::make_unique<sim::PtyServer>();
    sim->bus().addDevice(sim::Model::Branch, 3, "PNL1");
    std::filesystem::remove(link);
    std::filesystem::create_symlink(sim->slavePath(), link);
    return sim;
}

// The speed and odd parity of this process's own descriptor of `path` (a
// pseudo-terminal keeps no PARENB).
std::pair<speed_t, bool> lineOf(const std::string& path) {
    termios tio{};
    struct stat line {};
    struct stat st {};
    ::stat(path.c_str(), &line);
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd"))
        if (::stat(fd.path().c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
            st.st_rdev == line.st_rdev)
            ::tcgetattr(std::stoi(fd.path().filename().string()), &tio);
    return {::cfgetispeed(&tio), (tio.c_cflag & PARODD) != 0};
}

TEST(LinkKeeperTest, UnplugCountsFailuresSaysSoOnceAndReplugResumesWithoutScan) {
    test::TempDir dir;
    const std::string link = dir.file("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    auto sim = plugIn(link);
    Ticking t(link);

    t.state.settings.speedCode = Link::kSpeed19200;
    t.state.settings.parityCode = Link::kParityOdd;
    sim.reset(); // pulled out
    for (int tick = 0; tick < 3; ++tick)
        t.polling.onTimer();
    EXPECT_TRUE(t.state.link.portLost);
    EXPECT_EQ(t.state.counters.badCount, 3) << "polls while away count as failures";
    ASSERT_EQ(t.op.messages.size(), 1u) << "said once, not once per tick";
    EXPECT_EQ(t.op.messages[0].title, "Comm Port Lost");

    t.scan.scanBus(); // File > Scan while the adapter is away
    ASSERT_EQ(t.op.messages.size(), 2u);
    EXPECT_NE(t.op.messages[1].text.find("is the adapter plugged in?"), std::string::npos);
    EXPECT_EQ(t.state.meters.lines().size(), 1u) << "the list is kept";

    sim = plugIn(link); // plugged in again
    t.polling.onTimer();
    EXPECT_EQ(t.polling.consecutiveFailures(), 0) << "the poll read the device again";
    EXPECT_EQ(t.op.messages.size(), 2u) << "reopening shows no box";
    EXPECT_NE(t.state.trace.text().find("Reopened " + link), std::string::npos);
    EXPECT_EQ(lineOf(link), std::make_pair(speed_t(B19200), true))
        << "the settings' speed and parity";
    for (const auto& f : sim->bus().frames())
        EXPECT_NE(f.bytes.at(1), 0x11) << "no scan after reopening";
}

// A gateway that restarts drops the connection; one that hangs keeps it
// and stays silent. Either way the poll fails and is counted, the operator
// is told once with the cause, and the next tick connects again.
TEST(LinkKeeperTest, ALostGatewayConnectionIsSaidOnceAndMadeAgainOnTheNextTick) {
    const struct {
        const char* fault;
        const char* cause;
    } cases[] = {
        {"connection dropped", ": the gateway "}, // closed, or reset with a request unread
        {"three replies missing", ": no reply to three requests in a row."},
    };
    for (const auto& c : cases)
        for (const auto mode : {sim::GatewayMode::RtuOverTcp, sim::GatewayMode::ModbusTcp}) {
            sim::Bus bus;
            bus.addDevice(sim::Model::Branch, 3, "PNL1");
            sim::TcpServer gateway(bus, mode);
            SCOPED_TRACE(std::string(c.fault) + " " + gateway.portName());
            Ticking t(gateway.portName());
            t.state.settings.replyTimeout = 100;

            if (c.fault[0] == 'c')
                gateway.dropConnections();
            else
                bus.setBusFault(sim::Fault::NoAnswer, 3);
            for (int tick = 0; tick < 5 && t.op.messages.empty(); ++tick)
                t.polling.onTimer();
            EXPECT_GE(t.state.counters.badCount, 1);
            ASSERT_EQ(t.op.messages.size(), 1u);
            EXPECT_EQ(t.op.messages[0].title, "Comm Port Lost");
            EXPECT_NE(t.op.messages[0].text.find(c.cause), std::string::npos)
                << t.op.messages[0].text;
            t.polling.onTimer(); // connects again and reads
            EXPECT_EQ(t.polling.consecutiveFailures(), 0);
            EXPECT_NE(t.state.trace.text().find("Reopened " + gateway.portName()),
                      std::string::npos);
        }
}

} // namespace
} // namespace tarvo
