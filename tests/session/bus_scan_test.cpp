#include <gtest/gtest.h>

#include "scan_support.h"
#include "session/app_state.h"
#include "session/bus_scan.h"
#include "support/fake_transport.h"
#include "support/recording_operator.h"

namespace tarvo {
namespace {

using Message = test::RecordingOperator::Message;
using test::Bytes;
using test::FakeTransport;
using test::fromHex;
using test::readReply;
using test::withCrc;

const char* const kBranchText = "Kyrel Branch Circuit Monitor, 42 Breakers";

Bytes slaveIdReply(int slave, int id, const std::string& text) {
    Bytes b{static_cast<std::uint8_t>(slave), 0x11, static_cast<std::uint8_t>(text.size() + 2),
            static_cast<std::uint8_t>(id), 0xFF};
    b.insert(b.end(), text.begin(), text.end());
    return withCrc(b);
}

// The scripted fake is the port: open at the start, and every name but the
// unopenable one opens.
class BusScanTest : public ::testing::Test {
public:
    void SetUp() override {
        state.settings.scan = 3;
        bus.unopenable.insert(kMissing);
    }

    // Replies of a branch monitor at `slave` with the name "ABC".
    void scriptBranch(int slave) {
        bus.script(slaveIdReply(slave, 230, kBranchText));
        bus.script(readReply(slave, {0x4142, 0x4300}));
    }

    static constexpr const char* kMissing = "/dev/tarvo-no-such-port";
    AppState state;
    FakeTransport bus;
    test::RecordingOperator op;
    test::RecordingView view;
    std::vector<int> pauses;
    BusScan scan{state, bus, op, view,
                 [this](std::chrono::milliseconds d) { pauses.push_back(int(d.count())); }};
};

// Lines, kinds, name reads and the view switch are proven against the
// simulator; these are what only a scripted bus can see.
TEST_F(BusScanTest, ProgressPausesBusyCursorTraceAndBoardName) {
    int repaints = 0;
    state.trace.setTraceLive(true);
    state.trace.setRepaintHandler([&] { ++repaints; });
    bus.scriptSilence();
    scriptBranch(2);
    bus.script(slaveIdReply(3, 235, "Kyrel Circuit Meter 8, 3-Phase Power Meter"));
    bus.script(readReply(3, {0x5041, 0x4E00, 0x4244, 0x3100})); // "PAN", "BD1"
    scan.scanBus();

    EXPECT_EQ(pauses, (std::vector<int>{10, 10, 10}));
    EXPECT_EQ(op.busyCount, 1);
    EXPECT_EQ(op.busyDepth, 0);
    EXPECT_EQ(repaints, 8) << "one per transaction (five) and one per address";
    EXPECT_EQ(view.shownSelection, 0) << "the view shows the first device selected";
    EXPECT_EQ(state.boardName, "BD1") << "the circuit meter's name read sets the board name";
    EXPECT_EQ(view.events.back(), "refresh");
    // Every list state shown while the scan ran starts with the progress line
    // (its texts are the depth and nested-scan case's).
    for (std::size_t i = 0; i + 1 < view.history.size(); ++i) {
        ASSERT_FALSE(view.history[i].empty());
        EXPECT_EQ(view.history[i][0].rfind("Searching", 0), 0u) << i;
    }
}

TEST_F(BusScanTest, ThreeDigitAddressSortsByTextAndDepthAbove247StopsAt247) {
    // The master refuses addresses above 247 on a Modbus bus; asking them
    // would show one error box per address.
    state.settings.scan = 300;
    for (int a = 1; a <= 247; ++a) {
        if (a == 11 || a == 100)
            scriptBranch(a);
        else
            bus.scriptSilence();
    }
    scan.scanBus();
    EXPECT_EQ(bus.writes.size(), 249u) << "247 Report Slave ID requests and two name reads";
    EXPECT_EQ(bus.writes.back(), withCrc({247, 0x11}));
    EXPECT_TRUE(op.messages.empty());
    EXPECT_EQ(view.history[view.history.size() - 2][0], "Searching: 247 of 247");
    ASSERT_EQ(state.meters.count(), 2);
    EXPECT_EQ(state.meters.text(0).substr(0, 6), "100 - ");
    EXPECT_EQ(state.meters.text(1).substr(0, 5), "11 - ");
    EXPECT_EQ(state.meters.selectedIndex(), 1) << "the selection follows the first found";
    EXPECT_EQ(state.selection.selectedAddress, 11);
}

TEST_F(BusScanTest, WrongLengthReplyEndsTheScanNamingThePort) {
    state.settings.scan = 5;
    state.settings.portName = "COM1:"; // the name is shown as it is, colon and all
    scriptBranch(1);
    bus.script(withCrc({0x02, 0x11})); // 4 bytes: no Report Slave ID reply is that short
    scan.scanBus();

    EXPECT_EQ(op.messages,
              (std::vector<Message>{{"Comm port COM1: not properly opened.", "Com port failure"}}));
    EXPECT_EQ(bus.writes.size(), 3u) << "addresses above the failing one are not asked";
    EXPECT_EQ(state.meters.count(), 1) << "devices found so far stay listed";
    EXPECT_EQ(state.selection.selectedAddress, 1);
    EXPECT_FALSE(state.selection.scanInProgress);
    EXPECT_EQ(op.busyDepth, 0);
    EXPECT_FALSE(state.meters.hasProgress());
}

TEST_F(BusScanTest, OtherFailuresAreReportedAndTheScanGoesOn) {
    state.settings.scan = 4;
    bus.script(withCrc(fromHex("01 91 01")));          // exception: 4
    bus.script(withCrc(fromHex("03 11 03 E6 FF 41"))); // another slave: 6
    bus.script(withCrc(fromHex("03 11 05 E6 FF 41"))); // bad count: 8
    scriptBranch(4);
    scan.scanBus();
    EXPECT_EQ(op.messages,
              (std::vector<Message>{{"Address [1] Returned Error Code [4].", "Com port failure"},
                                    {"Address [2] Returned Error Code [6].", "Com port failure"},
                                    {"Address [3] Returned Error Code [8].", "Com port failure"}}));
    EXPECT_EQ(state.meters.count(), 1);
    EXPECT_EQ(state.selection.selectedAddress, 4);
}

// Both scans over addresses 1 (silent), 2 (a branch monitor) and 3 (an
// energy-only meter): the quick one probes each address with the settings'
// first-byte wait and reads only those that answered; both name the meter
// no list line shows.
struct ScanKindCase {
    const char* name;
    bool quick;
    std::vector<int> firstByteWaits; // per read, 0 for the full time-out
};
const ScanKindCase kScanKinds[] = {
    {"specified scan waits the full time-out", false, {}},
    {"quick scan probes, then reads the answering", true, {60, 60, 0, 0, 60}},
};

TEST_F(BusScanTest, QuickScanProbesAndBothScansNameDevicesNotListed) {
    const std::string energy = "Kyrel Energy-Only Meter";
    for (const ScanKindCase& c : kScanKinds) {
        SCOPED_TRACE(c.name);
        FakeTransport port;
        test::RecordingView shown;
        BusScan s{state, port, op, shown, [](std::chrono::milliseconds) {}};
        state.settings.quickScanMs = 60;
        port.scriptSilence();
        if (c.quick)
            port.script(slaveIdReply(2, 230, kBranchText));
        port.script(slaveIdReply(2, 230, kBranchText));
        port.script(readReply(2, {0x4142, 0x4300}));
        for (int i = 0; i < (c.quick ? 2 : 1); ++i)
            port.script(slaveIdReply(3, 240, energy));
        s.scanBus(c.quick);
        EXPECT_EQ(port.firstByteWaits, c.firstByteWaits);
        EXPECT_EQ(state.meters.lines(),
                  std::vector<std::string>{"02 - ABC [" + std::string(kBranchText) + "]"});
        const std::vector<std::string> named{"Not listed: 03 [" + energy + "]"};
        EXPECT_EQ(s.notListed(), named);
        EXPECT_EQ(shown.notListed, named);
        EXPECT_NE(state.trace.text().find(named[0] + "\r\n"), std::string::npos);
    }
}

// A timer tick or a port open inside the pause may change the depth or ask
// for a scan.
TEST_F(BusScanTest, DepthIsReadAgainAndANestedScanDoesNothing) {
    state.settings.scan = 5;
    BusScan outer{state, bus, op, view, [this](std::chrono::milliseconds) {
                      state.settings.scan = 2;
                      scan.scanBus();
                  }};
    outer.scanBus();
    EXPECT_EQ(bus.writes.size(), 2u);
    EXPECT_EQ(view.history[1][0], "Searching: 1 of 5");
    EXPECT_EQ(view.history[2][0], "Searching: 2 of 2");
    EXPECT_EQ(op.busyCount, 1);
}

TEST_F(BusScanTest, DepthZeroAsksNobodyAndClearsTheSelection) {
    state.settings.scan = 0;
    state.meters.select(state.meters.addDevice("05 - X [Kyrel Branch]"));
    state.selection.selectedAddress = 5;
    scan.scanBus();
    EXPECT_TRUE(bus.writes.empty());
    EXPECT_EQ(view.history.front(), std::vector<std::string>{"Searching..."});
    EXPECT_EQ(state.meters.count(), 0);
    EXPECT_EQ(state.selection.selectedAddress, -1);
}

TEST_F(BusScanTest, OpeningThePort) {
    enum From { Scan, Window, Dialog }; // Scan: the Scan command with no port open
    const Message unable{std::string("Unable to open ") + kMissing + "\n" + kMissing +
                             " is not present: is the adapter plugged in?",
                         "Comm Port Open Failure"};
    const Message ask{"Please select a COM port", ""};
    const Message untitled{unable.text, ""};
    const struct {
        const char* name;
        From from;
        const char* port;
        int failuresBefore, failuresAfter;
        std::vector<Message> messages;
    } cases[] = {
        {"scan without a port tries once, then asks", Scan, kMissing, 0, 1, {unable, ask}},
        {"scan without a port asks even when the open works", Scan, "COM2:", 0, 0, {ask}},
        {"after two failures a scan's open is silent", Scan, kMissing, 2, 2, {ask}},
        {"outside a scan it tries and says so again", Window, kMissing, 2, 3, {unable}},
        {"a successful open resets the count and scans", Window, "COM5:", 4, 0, {}},
        {"the dialog's failed open neither counts nor scans", Dialog, kMissing, 1, 1, {untitled}},
        {"the dialog's open neither counts nor scans", Dialog, "COM3:", 1, 1, {}},
    };
    state.settings.speedCode = SerialPort::kSpeed19200;
    state.settings.parityCode = SerialPort::kParityEven;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        op.messages.clear();
        view.events.clear();
        bus.writes.clear();
        state.link.openFailures = c.failuresBefore;
        const std::string before = c.from == Scan ? c.port : "COM1:";
        state.settings.portName = before;
        const bool opens = c.port != std::string(kMissing);
        if (c.from == Scan) {
            bus.close();
            scan.scanBus();
            EXPECT_EQ(view.events, std::vector<std::string>{"refresh"});
        } else {
            ASSERT_TRUE(bus.open("COM1:", 0, 0));
            if (c.from == Window)
                scan.openPort(c.port);
            else
                EXPECT_EQ(openFromDialog(bus, state.settings, op, c.port), opens);
            EXPECT_EQ(bus.opens.back(), std::string(c.port) + " 8192 2")
                << "with the settings' speed and parity";
        }
        EXPECT_EQ(op.messages, c.messages);
        EXPECT_EQ(state.link.openFailures, c.failuresAfter);
        EXPECT_EQ(bus.isOpen(), opens) << "a failed open leaves no port open";
        EXPECT_EQ(state.settings.portName, opens ? c.port : before);
        EXPECT_EQ(bus.writes.empty(), c.from != Window || !opens) << "only a window's open scans";
        EXPECT_FALSE(state.selection.scanInProgress);
    }
}

// Which line numbers are addresses is the sampling case's table (the same
// reading of the line); here a line without one stands for them.
TEST_F(BusScanTest, SelectingALine) {
    const struct {
        const char* name;
        const char* line; // nullptr: nothing selected
        int address;
        DeviceKind kind;
        const char* layout;
        int ratingMax;
    } cases[] = {
        {"branch monitor", "05 - AB [Kyrel Branch]", 5, BranchMonitor, "branch", 50},
        {"100A branch monitor", "12 - AB [Kyrel Branch 100A]", 12, BranchMonitor100A, "branch",
         100},
        {"circuit meter keeps the range", "247 - [Kyrel Circuit Meter 6,]", 247, CircuitMeter6,
         "circuit", 77},
        {"text without a number", "Searching...", -1, NoDevice, "", 77},
        {"huge number", "99999999999999999999 - [Kyrel Branch]", -1, BranchMonitor, "", 77},
        {"other kind selects without a view", "09 - [Kyrel Full-Data]", 9, FullDataMeter, "", 77},
        {"nothing selected keeps the kind", nullptr, -1, CircuitMeter8, "", 77},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        state.meters.clear();
        state.selection.selectedAddress = 33;
        state.selection.selectedKind = CircuitMeter8;
        state.selection.ratingMax = 77;
        view.layout.clear();
        if (c.line)
            state.meters.select(state.meters.addDevice(c.line));
        scan.selectListedDevice();
        EXPECT_EQ(state.selection.selectedAddress, c.address);
        EXPECT_EQ(state.selection.selectedKind, c.kind);
        EXPECT_EQ(view.layout, c.layout);
        EXPECT_EQ(state.selection.ratingMax, c.ratingMax);
    }
}

} // namespace
} // namespace tarvo
