#include "session/sampling.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <string>
#include <vector>

#include "session/app_state.h"
#include "support/fake_clock.h"
#include "support/fake_transport.h"
#include "support/local_zone.h"
#include "support/recording_operator.h"
#include "support/temp_dir.h"

namespace tarvo {
namespace {

using test::clockText;
using test::localTime;
using test::LocalZone;
using test::readReply;

// Passes with records reach InsertSamples, which loads the ODBC driver
// manager; unixODBC keeps blocks it never frees. Kept mapped after AppState
// unloads it, they stay held instead of being reported against the test.
[[maybe_unused]] void* const kKeepOdbc = dlopen("libodbc.so.2", RTLD_NOW | RTLD_NODELETE);
[[maybe_unused]] void* const kKeepOdbcInst = dlopen("libodbcinst.so.2", RTLD_NOW | RTLD_NODELETE);

using test::FakeClock;

// A sampler over an empty meter list with database logging on, so the
// schedule can be watched tick by tick without a bus. A pass is seen by the
// due time it sets before its first read.
class ScheduleTest : public ::testing::Test {
protected:
    ScheduleTest() { state.settings.databaseLogState = Active; }

    void take(Sampler& s) {
        const std::time_t due = s.nextSampleTime();
        s.takeSamples();
        if (s.nextSampleTime() != due)
            passes.push_back(clock.t);
    }

    // Ticks once a second from `from` to `to` inclusive.
    void tick(std::time_t from, std::time_t to) {
        for (clock.t = from; clock.t <= to; ++clock.t)
            take(sampler);
    }

    LocalZone zone{"UTC0"}; // a case in another zone sets its own
    AppState state;
    test::FakeTransport bus;
    test::RecordingOperator op;
    FakeClock clock;
    Sampler sampler{state, bus, op, clock};
    std::vector<std::time_t> passes;
};

// 2026-07-04 at "hh:mm:ss" local time.
std::time_t at(const std::string& text) {
    return localTime(2026, 7, 4, std::stoi(text.substr(0, 2)), std::stoi(text.substr(3, 2)),
                     std::stoi(text.substr(6, 2)));
}

// Each row is switched on at its first pass and runs a minute past its last.
TEST_F(ScheduleTest, PassesRunAtOnceAndThenOnTheGridOfTheLocalHour) {
    const struct {
        const char* name;
        const char* tz;
        int interval;
        std::vector<std::string> passes;
    } cases[] = {
        {"at once, then on the quarter hours", "UTC0", 15, {"10:07:30", "10:15:00", "10:30:00"}},
        {"one second before the hour", "UTC0", 60, {"10:59:59", "11:00:00"}},
        {"on a boundary: next a full interval on", "UTC0", 15, {"10:15:00", "10:30:00"}},
        {"the local hour's grid, not UTC's", "IST-5:30", 60, {"10:20:00", "11:00:00"}},
        {"interval 0 (hand-edited) is 1 minute", "UTC0", 0, {"10:07:30", "10:08:00", "10:09:00"}},
        {"negative interval is 1 minute", "UTC0", -5, {"10:07:30", "10:08:00"}},
        {"interval beyond the hour is the hour", "UTC0", 90, {"10:07:30", "11:00:00"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LocalZone zone(c.tz);
        Sampler s(state, bus, op, clock);
        passes.clear();
        state.settings.interval = c.interval;
        for (clock.t = at(c.passes.front()); clock.t < at(c.passes.back()) + 60; ++clock.t)
            take(s);
        std::vector<std::string> texts;
        for (std::time_t t : passes)
            texts.push_back(clockText(t));
        EXPECT_EQ(texts, c.passes);
    }
}

TEST_F(ScheduleTest, AWallClockSetBackKeepsToTheGridOfTheNewTime) {
    state.settings.interval = 15;
    tick(at("10:07:30"), at("10:20:00"));
    tick(at("09:20:00"), at("09:31:00")); // set back an hour
    std::vector<std::string> texts;
    for (std::time_t t : passes)
        texts.push_back(clockText(t));
    EXPECT_EQ(texts, (std::vector<std::string>{"10:07:30", "10:15:00", "09:20:00", "09:30:00"}));
}

// Daylight-saving changes in New York: 2026-03-08 02:00 EST becomes 03:00
// EDT, 2026-11-01 02:00 EDT becomes 01:00 EST. Passes must keep to real
// intervals: none in the past, none skipped, none doubled in the repeated
// hour.
TEST_F(ScheduleTest, DaylightSavingChangesNeitherSkipNorRepeatPasses) {
    LocalZone zone("America/New_York");
    const struct {
        const char* name;
        int month, day, hour, minute;
        int interval;
        int hours; // to run
        std::time_t spacing;
    } cases[] = {
        {"clocks go forward, hourly", 3, 8, 0, 0, 60, 4, 3600},
        {"clocks go forward, quarter hours", 3, 8, 1, 0, 15, 2, 900},
        {"clocks go back, hourly", 11, 1, 0, 0, 60, 4, 3600},
        {"clocks go back, quarter hours", 11, 1, 0, 45, 15, 3, 900},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Sampler s(state, bus, op, clock);
        passes.clear();
        state.settings.interval = c.interval;
        const std::time_t start = localTime(2026, c.month, c.day, c.hour, c.minute, 0);
        for (clock.t = start; clock.t <= start + c.hours * 3600; ++clock.t) {
            take(s);
            ASSERT_GT(s.nextSampleTime(), clock.t)
                << "scheduled in the past at " << clockText(clock.t);
        }
        ASSERT_EQ(passes.size(), static_cast<std::size_t>(c.hours * 3600 / c.spacing + 1));
        for (std::size_t i = 1; i < passes.size(); ++i)
            EXPECT_EQ(passes[i] - passes[i - 1], c.spacing) << "after " << clockText(passes[i - 1]);
    }
}

TEST_F(ScheduleTest, NoPassAndNoScheduleWhileBothSinksAreOff) {
    state.settings.databaseLogState = Off;
    state.settings.fileLoggingActive = false;
    state.meters.addDevice("03 - PNL1 [Kyrel Branch Circuit Monitor, 42 Breakers]");
    tick(localTime(2026, 7, 4, 10, 0, 0), localTime(2026, 7, 4, 10, 5, 0));
    EXPECT_TRUE(bus.writes.empty()) << "no device is read";
    EXPECT_EQ(sampler.nextSampleTime(), 0);
}

TEST_F(ScheduleTest, DroppingIsShownOnceAndCountedForTheTraceWindow) {
    state.databaseQueue = SampleQueue(2);
    state.meters.addDevice("03 - A [Northwind RTU]");
    state.settings.interval = 1;
    // The timer ticks on while the dropping message is open: it must find
    // nothing due, as the pass set the next due time before its first read.
    op.onMessage = [&](const auto&) { take(sampler); };
    tick(0, 5 * 60); // six passes into a queue of two that nobody empties
    EXPECT_EQ(passes.size(), 6u);
    EXPECT_EQ(state.counters.droppedCount, 4u);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_NE(op.messages[0].text.find("oldest are now being dropped"), std::string::npos);
}

// One record per listed address from 1 to 247, in list order; a device of
// another maker is not read, and a silent one gives a skipped record.
TEST_F(ScheduleTest, ListEntriesGiveRecordsAndOnlyMonitoredKindsAreRead) {
    const test::TempDir dir;
    state.settings.saveFile = dir.file("DATA.TXT");
    state.settings.fileLoggingActive = true;
    for (const char* line :
         {"0 - ZERO [Northwind RTU]", "248 - HIGH [Northwind RTU]", "- NONE [Northwind RTU]",
          "-3 - NEG [Northwind RTU]", "247 - LAST [Northwind RTU]", "1 - FIRST [Northwind RTU]",
          "03 - PNL3 [Kyrel Branch Circuit Monitor, 42 Breakers]",
          "05 - MUTE [Kyrel Branch Circuit Monitor, 42 Breakers]"})
        state.meters.addDevice(line);
    bus.script(readReply(3, std::vector<int>(49, 0)));
    bus.scriptSilence();
    tick(1000, 1000);
    std::vector<std::pair<int, DeviceKind>> records;
    for (; !state.databaseQueue.empty(); state.databaseQueue.popFront())
        records.emplace_back(state.databaseQueue.front()->address,
                             state.databaseQueue.front()->kind);
    EXPECT_EQ(records, (std::vector<std::pair<int, DeviceKind>>{
                           {3, BranchMonitor}, {5, NoDevice}, {1, NoDevice}, {247, NoDevice}}));
    EXPECT_EQ(bus.writes.size(), 2u);
    EXPECT_EQ(state.counters.goodCount, 1);
    EXPECT_EQ(state.counters.badCount, 1);
    EXPECT_EQ(state.counters.lastError, Timeout);
    EXPECT_TRUE(op.messages.empty()) << "a failed sample read shows no message";
    const auto lines = test::readLines(state.settings.saveFile);
    ASSERT_EQ(lines.size(), 1u) << "the silent and the foreign devices write no row";
    EXPECT_EQ(lines[0].rfind("01/01/1970 00:16:40,3,", 0), 0u) << lines[0];
}

} // namespace
} // namespace tarvo
