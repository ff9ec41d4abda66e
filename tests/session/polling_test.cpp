#include <gtest/gtest.h>

#include "scan_support.h"
#include "session/app_state.h"
#include "session/bus_scan.h"
#include "session/polling.h"
#include "support/fake_transport.h"
#include "support/recording_operator.h"

namespace tarvo {
namespace {

using test::Bytes;
using test::readReply;

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

    AppState state;
    test::FakeTransport bus;
    test::RecordingOperator op;
    test::RecordingView scanView;
    BusScan scan{state, bus, op, scanView, [](std::chrono::milliseconds) {}};
    test::RecordingPollView view;
    PollingCycle polling{state, bus, op, scan, view};
};

TEST_F(PollingTest, BranchMonitorTextsAndLampsByKind) {
    select(3, BranchMonitor);
    scriptBranch(3, 12345, {0x0008, 0, 0, 0, 0x0001, 0, 0}); // alarm on breaker 1
    polling.onTimer();
    EXPECT_EQ(view.shown.texts.breakers[0], "12.345");
    EXPECT_EQ(view.shown.texts.panelName, "PNL1");
    EXPECT_EQ(state.panelName, "PNL1");
    EXPECT_EQ(view.shown.lamps.breakers[0], Lamp::Alarm);

    select(4, BranchMonitor100A);
    scriptBranch(4, 12345);
    polling.onTimer();
    EXPECT_EQ(view.shown.texts.breakers[0], "123.450");
    EXPECT_EQ(view.shown.lamps.breakers[0], Lamp::Normal) << "summary 0 resets every lamp";
    EXPECT_EQ(state.counters.goodCount, 0) << "poll reads of monitored kinds do not count good";
}

TEST_F(PollingTest, CircuitMeterTextsWithTheCtScaleOfEachRead) {
    select(5, CircuitMeter8);
    const struct {
        int ctSize;
        const char* currentA;
    } cases[] = {{5, "0.12"}, {100, "12.34"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ctSize);
        std::vector<int> regs(37, 0);
        regs[5] = 9500;
        regs[16] = 48000;
        regs[22] = 1234;
        regs[25] = 777;
        regs[29] = c.ctSize;
        bus.script(readReply(5, regs));
        bus.script(readReply(5, {0x4D41, 0x494E, 0x4252, 0x4432})); // "MAIN", "BRD2"
        polling.onTimer();
        const auto& t = view.shown.texts;
        EXPECT_EQ(t.circuit[CurrentA], c.currentA);
        EXPECT_EQ(state.currentScale, currentScaleFor(c.ctSize)) << "the alarm setup's scale";
        EXPECT_EQ(t.circuit[CurrentN], "N/A");
        EXPECT_EQ(t.circuit[PowerPf], "0.95");
        EXPECT_EQ(t.circuit[VoltsAB], "480.00");
        EXPECT_EQ(t.panelName, "MAIN");
        EXPECT_EQ(t.boardName, "BRD2");
    }
}

TEST_F(PollingTest, FifthFailureInARowShowsOneMessageAndSamplingGoesOn) {
    int samples = 0;
    polling.setSampler([&] { ++samples; });
    state.settings.databaseLogState = Active;
    // A poll reply of the right length whose CRC is broken: result 5.
    Bytes broken = readReply(3, std::vector<int>(49, 0));
    broken.back() ^= 0xFF;
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
        scriptBranch(3, 5000, {0x0001, 0x0001, 0, 0, 0, 0, 0}); // a warning on breaker 1
        polling.onTimer(); // a success starts the run of failures afresh
        const auto fail = [&] {
            if (c.brokenCrc)
                bus.script(broken);
            polling.onTimer(); // the name read times out either way
        };
        for (int i = 0; i < 4; ++i)
            fail();
        EXPECT_EQ(view.shown.texts.breakers[0], "") << "a failed read shows zeros";
        EXPECT_EQ(view.shown.lamps.breakers[0], Lamp::NoData) << "a failed read shows green";
        const int transfers = view.transfers;
        fail();
        EXPECT_EQ(view.transfers, transfers) << "the tick of the message leaves the display";
        fail();
        fail();
        ASSERT_EQ(op.messages.size(), 1u);
        EXPECT_EQ(op.messages[0].text, c.text);
        EXPECT_EQ(op.messages[0].title, "Communication Failure");
        EXPECT_EQ(state.counters.lastError, c.lastError);
        EXPECT_EQ(polling.consecutiveFailures(), 7);
    }
    EXPECT_EQ(state.counters.badCount, 14);
    EXPECT_EQ(samples, 16) << "every tick samples, the one of the message too";
}

// What the trends and the journal are told: every poll read, failed ones
// too, and before the fifth-failure message box runs its own event loop.
TEST_F(PollingTest, ObserverSeesEveryPollReadBeforeTheFailureMessage) {
    struct Seen : PollObserver {
        explicit Seen(const test::RecordingOperator& op) : op(op) {}
        void pollRead(const MeterReading& r) override {
            reads.push_back({r.address, r.result, static_cast<int>(op.messages.size())});
        }
        const test::RecordingOperator& op;
        std::vector<std::array<int, 3>> reads; // address, result, messages so far
    } seen{op};
    polling.setObserver(&seen);
    select(3, BranchMonitor);
    scriptBranch(3, 1000);
    for (int i = 0; i < 6; ++i)
        polling.onTimer(); // one good read, then five silent ones
    select(7, FullDataMeter);
    polling.onTimer();
    select(-1, NoDevice);
    polling.onTimer();
    const std::vector<std::array<int, 3>> expected = {
        {3, Ok, 0},      {3, Timeout, 0}, {3, Timeout, 0}, {3, Timeout, 0},
        {3, Timeout, 0}, {3, Timeout, 0}, {7, Timeout, 1}};
    EXPECT_EQ(seen.reads, expected);
}

TEST_F(PollingTest, PlainKindsCountEveryReadAndNeverWarn) {
    select(8, FullDataMeter);
    bus.script(readReply(8, std::vector<int>(52, 0))); // the largest poll block
    for (int i = 0; i < 8; ++i)
        polling.onTimer();
    EXPECT_TRUE(op.messages.empty());
    EXPECT_EQ(state.counters.goodCount, 1);
    EXPECT_EQ(state.counters.badCount, 7);
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
    int samples = 0;
    polling.setSampler([&] { ++samples; });
    polling.onTimer();
    EXPECT_EQ(samples, 0) << "no log is on";
    bus.writes.clear();
    bus.close();
    state.settings.fileLoggingActive = true;
    polling.onTimer();
    EXPECT_TRUE(bus.writes.empty()) << "port closed";
    EXPECT_EQ(samples, 0) << "no sampling with the port closed";

    bus.unopenable.insert("/dev/tarvo-no-such-port");
    state.settings.portName = "/dev/tarvo-no-such-port";
    state.link.portReopenRequested = true;
    polling.onTimer();
    EXPECT_FALSE(state.link.portReopenRequested) << "the first tick opens the requested port";
    EXPECT_EQ(op.messages.size(), 1u) << "the failed open is reported";
    EXPECT_TRUE(bus.writes.empty());
    EXPECT_EQ(samples, 0);
}

} // namespace
} // namespace tarvo
