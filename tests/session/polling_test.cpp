#include <gtest/gtest.h>

#include "devices/meter_list.h"
#include "session/app_state.h"
#include "session/bus_scan.h"
#include "session/polling.h"
#include "support/fake_transport.h"
#include "support/recording_operator.h"

namespace tarvo {
namespace {

using test::Bytes;
using test::fromHex;
using test::readReply;
using test::withCrc;

struct NullScanView : ScanView {
    void meterListChanged(const MeterList&) override {}
    void repaint() override {}
    void refreshFields() override {}
    void showBranchLayout() override {}
    void showCircuitLayout() override {}
    void namesChanged() override {}
};

struct RecordingPollView : PollView {
    void transfer(const Display& display) override {
        shown = display;
        ++transfers;
    }
    const Display& currentDisplay() const override { return shown; }
    Display shown;
    int transfers = 0;
};

// A poll reply of the right length whose CRC is broken: result 5.
Bytes brokenReply() {
    Bytes frame = readReply(3, std::vector<int>(49, 0));
    frame.back() ^= 0xFF;
    return frame;
}

// The scripted fake is the port, open from the start.
class PollingTest : public ::testing::Test {
protected:
    void select(int address, DeviceKind kind) {
        state.selection.selectedAddress = address;
        state.selection.selectedKind = kind;
        if (kind == BranchMonitor || kind == BranchMonitor100A || isCircuitMeter(kind))
            state.devices.record(address, kind);
    }

    // A branch-monitor poll block with `current` on breaker 1 and the given
    // flag registers 42 to 48, followed by the name read "PNL1".
    void scriptBranch(int address, int current, std::array<int, 7> flags = {}) {
        std::vector<int> regs(49, 0);
        regs[0] = current;
        for (int i = 0; i < 7; ++i)
            regs[static_cast<std::size_t>(42 + i)] = flags[static_cast<std::size_t>(i)];
        bus.script(readReply(address, regs));
        bus.script(readReply(address, {0x504E, 0x4C31}));
    }

    void scriptCircuit(int address, std::vector<int> regs) {
        regs.resize(37, 0);
        bus.script(readReply(address, regs));
        bus.script(readReply(address, {0x4D41, 0x494E, 0x4252, 0x4432}));
    }

    AppState state;
    test::FakeTransport bus;
    test::RecordingOperator op;
    NullScanView scanView;
    BusScan scan{state, bus, op, scanView, [](std::chrono::milliseconds) {}};
    RecordingPollView view;
    PollingCycle polling{state, bus, op, scan, view};
};

TEST_F(PollingTest, BranchMonitorTextsScaleByKind) {
    select(3, BranchMonitor);
    scriptBranch(3, 12345);
    polling.onTimer();
    EXPECT_EQ(bus.writes.front(), withCrc(fromHex("03 03 00 00 00 31")));
    EXPECT_EQ(bus.writes.back(), withCrc(fromHex("03 03 01 11 00 02")));
    EXPECT_EQ(view.shown.texts.breakers[0], "12.345");
    EXPECT_EQ(view.shown.texts.breakers[1], "0.000");
    EXPECT_EQ(view.shown.texts.panelName, "PNL1");
    EXPECT_EQ(state.panelName, "PNL1");

    select(4, BranchMonitor100A);
    scriptBranch(4, 12345);
    polling.onTimer();
    EXPECT_EQ(view.shown.texts.breakers[0], "123.450");
    EXPECT_EQ(state.counters.goodCount, 0) << "poll reads of monitored kinds do not count good";
}

TEST_F(PollingTest, BranchMonitorLampsFollowTheSummary) {
    select(3, BranchMonitor);
    scriptBranch(3, 0, {0x0009, 0x0001, 0, 0, 0x0001, 0, 0});
    polling.onTimer();
    EXPECT_EQ(view.shown.lamps.breakers[0], Lamp::Alarm);

    scriptBranch(3, 0, {0x0000, 0x0001, 0, 0, 0x0001, 0, 0});
    polling.onTimer();
    EXPECT_EQ(view.shown.lamps.breakers[0], Lamp::Normal) << "summary 0 resets every lamp";
}

struct CtCase {
    int ctSize;
    const char* currentA;
};

TEST_F(PollingTest, CircuitMeterTextsWithTheCtScale) {
    select(5, CircuitMeter8);
    const CtCase cases[] = {{5, "0.12"}, {100, "12.34"}, {6000, "0.00"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ctSize);
        std::vector<int> regs(37, 0);
        regs[5] = 9500;
        regs[16] = 48000;
        regs[22] = 1234;
        regs[25] = 777;
        regs[29] = c.ctSize;
        scriptCircuit(5, regs);
        polling.onTimer();
        const auto& t = view.shown.texts;
        EXPECT_EQ(t.circuit[CurrentA], c.currentA);
        EXPECT_EQ(t.circuit[CurrentN], "N/A");
        EXPECT_EQ(t.circuit[PowerPf], "0.95");
        EXPECT_EQ(t.circuit[VoltsAB], "480.00");
        EXPECT_EQ(t.panelName, "MAIN");
        EXPECT_EQ(t.boardName, "BRD2");
    }
}

TEST_F(PollingTest, FifthFailureInARowShowsOneMessage) {
    const struct {
        const char* name;
        bool brokenCrc; // else silence
        const char* text;
        int lastError;
    } cases[] = {
        {"silence", false, "Device at address [3] timed out", Timeout},
        {"broken CRC", true, "Device at address [3] read failure - error code [5]", CrcError},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        op.messages.clear();
        select(3, BranchMonitor);
        scriptBranch(3, 1);
        polling.onTimer(); // a success starts the run of failures afresh
        for (int i = 0; i < 7; ++i) {
            if (c.brokenCrc)
                bus.script(brokenReply());
            polling.onTimer(); // the name read times out either way
        }
        ASSERT_EQ(op.messages.size(), 1u);
        EXPECT_EQ(op.messages[0].text, c.text);
        EXPECT_EQ(op.messages[0].title, "Communication Failure");
        EXPECT_EQ(state.counters.lastError, c.lastError);
        EXPECT_EQ(polling.consecutiveFailures(), 7);
    }
    EXPECT_EQ(state.counters.badCount, 14);
}

TEST_F(PollingTest, ASuccessStartsTheCountAgain) {
    select(3, BranchMonitor);
    for (int i = 0; i < 4; ++i)
        polling.onTimer();
    scriptBranch(3, 1);
    polling.onTimer();
    for (int i = 0; i < 4; ++i)
        polling.onTimer();
    EXPECT_TRUE(op.messages.empty());
    EXPECT_EQ(polling.consecutiveFailures(), 4);
}

TEST_F(PollingTest, FailedReadShowsZerosExceptInTheTickOfTheMessage) {
    select(3, BranchMonitor);
    scriptBranch(3, 5000, {0x0001, 0x0001, 0, 0, 0, 0, 0});
    polling.onTimer();
    EXPECT_EQ(view.shown.texts.breakers[0], "5.000");

    for (int i = 0; i < 4; ++i)
        polling.onTimer();
    EXPECT_EQ(view.shown.texts.breakers[0], "0.000");
    EXPECT_EQ(view.shown.lamps.breakers[0], Lamp::Normal);

    scriptBranch(3, 7000);
    polling.onTimer(); // success
    for (int i = 0; i < 4; ++i)
        polling.onTimer();
    const int transfersBefore = view.transfers;
    polling.onTimer(); // fifth failure: message, display left as it was
    EXPECT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(view.transfers, transfersBefore);
}

TEST_F(PollingTest, PlainKindsCountEveryReadAndNeverWarn) {
    select(8, FullDataMeter);
    for (int i = 0; i < 8; ++i)
        polling.onTimer();
    EXPECT_TRUE(op.messages.empty());
    EXPECT_EQ(state.counters.badCount, 8);
    EXPECT_EQ(bus.writes.back(), withCrc(fromHex("08 03 01 02 00 34")));

    std::vector<int> regs(2, 0);
    bus.script(readReply(7, regs));
    select(7, TemperatureDevice);
    polling.onTimer();
    EXPECT_EQ(state.counters.goodCount, 1);
    EXPECT_EQ(bus.writes.back(), withCrc(fromHex("07 03 01 00 00 02")));
}

TEST_F(PollingTest, NothingIsReadWithoutADeviceOrAPort) {
    view.shown.lamps.breakers[0] = Lamp::Alarm; // left by an earlier device
    polling.onTimer();
    EXPECT_TRUE(bus.writes.empty()) << "no device selected";
    EXPECT_EQ(view.shown.lamps.breakers[0], Lamp::Normal) << "the form's lamps are reset";

    select(3, BranchMonitor);
    state.selection.scanInProgress = true;
    polling.onTimer();
    EXPECT_TRUE(bus.writes.empty()) << "a scan is running";

    state.selection.scanInProgress = false;
    bus.close();
    int samples = 0;
    polling.setSampler([&] { ++samples; });
    state.settings.fileLoggingActive = true;
    polling.onTimer();
    EXPECT_TRUE(bus.writes.empty()) << "port closed";
    EXPECT_EQ(samples, 0) << "no sampling with the port closed";
}

TEST_F(PollingTest, SamplingRunsWhileALogIsOnEvenAfterTheMessage) {
    int samples = 0;
    polling.setSampler([&] { ++samples; });
    select(3, BranchMonitor);
    polling.onTimer();
    EXPECT_EQ(samples, 0) << "no log is on";
    state.settings.databaseLogState = Active;
    for (int i = 0; i < 4; ++i)
        polling.onTimer();
    EXPECT_EQ(samples, 4);
    EXPECT_EQ(op.messages.size(), 1u) << "the fifth tick showed the message and sampled";
}

TEST_F(PollingTest, FirstTickOpensTheRequestedPort) {
    bus.close();
    bus.unopenable.insert("/dev/tarvo-no-such-port");
    state.settings.portName = "/dev/tarvo-no-such-port";
    state.link.portReopenRequested = true;
    polling.onTimer();
    EXPECT_FALSE(state.link.portReopenRequested);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text,
              "Unable to open /dev/tarvo-no-such-port\n/dev/tarvo-no-such-port is not present: is "
              "the adapter plugged in?");
    EXPECT_EQ(op.messages[0].title, "Comm Port Open Failure");
}

} // namespace
} // namespace tarvo
