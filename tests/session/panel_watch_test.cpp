// The panel watch over the scripted fake: which devices a second's spare
// time reads, and what their lamps' changes give the journal.
#include <gtest/gtest.h>

#include <sstream>

#include "link/comm_trace.h"
#include "link/device_table.h"
#include "link/modbus_master.h"
#include "session/panel_watch.h"
#include "support/fake_clock.h"
#include "support/fake_transport.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

// Devices 1 to 7 are branch monitors, 8 a circuit meter. Every transaction
// takes 70 ms of the fake's time, a branch monitor's watch read at 9600 baud.
struct WatchFixture {
    explicit WatchFixture(int count) {
        for (int a = 1; a <= count; ++a)
            devices.push_back({a, a == 8 ? CircuitMeter8 : BranchMonitor, "P" + std::to_string(a)});
        watch.setDevices(devices);
    }
    Steady::time_point now() const {
        return Steady::time_point{} + 70ms * static_cast<int>(bus.writes.size());
    }

    test::FakeTransport bus;
    CommTrace trace;
    DeviceTable table;
    ModbusMaster master{trace, table};
    test::FakeClock clock;
    bool watching = true;
    PanelWatch watch{master, bus, clock, watching, 9600, [this] { return now(); }};
    std::vector<WatchedDevice> devices;
};

// Silent devices: a branch monitor's read may take 1 + 31 + 200 + 35 = 267 ms.
struct RotationCase {
    const char* fault;
    int devices;
    bool watching;
    int selected;
    std::vector<int> spareMs; // each second's spare time
    const char* expected;     // the addresses read, a "|" before each second
};
const RotationCase kRotations[] = {
    {"watching off still reads", 4, false, -1, {800}, "|"},
    {"a device read twice or skipped in a second", 4, true, -1, {800, 800}, "|1234|1234"},
    {"a read that could overrun the second started", 8, true, -1, {600, 600}, "|12345|67812"},
    {"the selected device read besides its poll", 4, true, 2, {800}, "|134"},
};

TEST(PanelWatch, RotationKeepsEachSecondsDeadline) {
    for (const RotationCase& c : kRotations) {
        WatchFixture f(c.devices);
        f.watching = c.watching;
        std::string got;
        for (int spare : c.spareMs) {
            const std::size_t from = f.bus.writes.size();
            f.watch.watch(f.now() + std::chrono::milliseconds(spare), c.selected);
            got += "|";
            for (std::size_t i = from; i < f.bus.writes.size(); ++i)
                got += std::to_string(f.bus.writes[i][0]);
        }
        EXPECT_EQ(got, c.expected) << c.fault;
    }
}

// One device's replies in turn ({} for silence): the watch block, and the
// poll block after a change. One read a second, after the poll block of the
// device while it was selected, when there is one.
struct ChangeCase {
    const char* fault;
    int device;
    std::vector<std::vector<int>> replies;
    const char* expected;    // "event subject value|" per entry, then the status
    bool passFailed = false; // the sampling pass's read failed before the first
    std::vector<int> polled = {};
};
std::vector<int> regs(int size, int first, std::vector<std::pair<int, int>> set) {
    std::vector<int> r(static_cast<std::size_t>(size));
    for (auto [reg, value] : set)
        r[static_cast<std::size_t>(reg - first)] = value;
    return r;
}
const std::vector<int> kBreaker7 = regs(7, 42, {{42, 8}, {46, 64}});
const ChangeCase kChanges[] = {
    {"an alarm on at the first read not reported, or reported again",
     1,
     {kBreaker7, regs(49, 0, {{42, 8}, {46, 64}, {6, 1234}}), kBreaker7},
     "1 P1 Alarm Breaker 7 1.234|alarm read 0"},
    {"a warning's end not reported",
     1,
     {regs(7, 42, {{42, 1}, {43, 1}}), regs(49, 0, {{42, 1}, {43, 1}}), regs(7, 42, {}),
      regs(49, 0, {})},
     "1 P1 Warning Breaker 1 0|1 P1 Normal Breaker 1 0|normal read 0"},
    {"a failure reported at every read, or its recovery not",
     1,
     {{}, {}, regs(7, 42, {})},
     "1 P1 Comm failure Err #1, Timeout Waiting For Response 1|1 P1 Comm recovered  0|normal read "
     "2"},
    {"a lost phase or its return not reported",
     8,
     {{128}, regs(37, 0, {{36, 128}, {20, 23000}}), {0}, regs(37, 0, {{20, 23100}})},
     "8 P8 Phase lost Phase B 230|8 P8 Phase back Phase B 231|normal read 0"},
    {"a failure both the pass and the watch saw reported twice",
     1,
     {{}, regs(7, 42, {})},
     "1 P1 Comm failure Err #1, Timeout Waiting For Response 1|1 P1 Comm recovered  0|normal read "
     "2",
     true},
    {"an alarm the poll reported reported again once the device is watched",
     1,
     {kBreaker7},
     "1 P1 Alarm Breaker 7 1.234|alarm read 0",
     false,
     regs(49, 0, {{42, 8}, {46, 64}, {6, 1234}})},
};

TEST(PanelWatch, LampChangesBecomeJournalEntries) {
    for (const ChangeCase& c : kChanges) {
        WatchFixture f(c.device);
        f.watch.setDevices({f.devices.back()});
        for (const std::vector<int>& r : c.replies)
            r.empty() ? f.bus.scriptSilence() : f.bus.script(test::readReply(c.device, r));
        std::ostringstream got;
        const auto show = [&](const std::vector<JournalEntry>& entries) {
            for (const JournalEntry& e : entries)
                got << e.address << " " << e.name << " " << eventText(e.event) << " " << e.subject
                    << " " << e.value << "|";
        };
        if (c.passFailed)
            show(f.watch.noteResult(c.device, Timeout));
        if (!c.polled.empty()) {
            MeterReading poll{f.devices.back().kind, c.device};
            std::copy(c.polled.begin(), c.polled.end(), poll.registers.begin());
            show(f.watch.polled(poll));
        }
        for (std::size_t i = 0; i < c.replies.size() && f.bus.writes.size() < c.replies.size();
             ++i) {
            show(f.watch.watch(f.now() + 800ms));
            ++f.clock.t;
        }
        const WatchStatus& s = f.watch.status().front();
        got << lampDescription(s.worst) << (s.lastGoodRead ? " read " : " unread ") << s.failures;
        EXPECT_EQ(got.str(), c.expected) << c.fault;
    }
}

} // namespace
} // namespace tarvo
