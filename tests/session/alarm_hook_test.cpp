// The alarm command: what it finds in its environment, and the commands
// that fail, hang or cannot start, reported once an hour without stopping.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "session/alarm_hook.h"
#include "support/fake_clock.h"
#include "support/local_zone.h"
#include "support/recording_operator.h"
#include "support/temp_dir.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;

struct HookFixture {
    std::string script(const std::string& name, const std::string& body) {
        const std::string path = dir.file(name);
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        return path;
    }
    // Collects the children as the logger's ticks do; the wait is theirs.
    void settle() {
        for (int i = 0; i < 500 && hook.running() > 0; ++i, std::this_thread::sleep_for(10ms))
            hook.check();
    }

    test::TempDir dir{"tarvo-hook"};
    test::FakeClock clock;
    test::RecordingOperator op;
    std::chrono::steady_clock::time_point steady{};
    AlarmHook hook{op, clock, [this] { return steady; }};
    const std::vector<JournalEntry> alarm{
        {1783173909, 3, "PNL1", JournalEvent::Alarm, "Breaker 7", 12.5, "A"}};
};

TEST(AlarmHook, TheCommandFindsTheEventInItsEnvironmentNotTheCallers) {
    const test::LocalZone utc("UTC");
    HookFixture f;
    ::setenv("TARVO_DEVICE", "the caller's", 1);
    // The environment as it was handed over: a shell would drop a double.
    const std::string dump = "tr '\\0' '\\n' < /proc/$$/environ | grep ^TARVO_ | sort > ";
    f.hook.run(f.script("dump", dump + f.dir.file("env")), f.alarm, "Hall B");
    f.settle();
    ::unsetenv("TARVO_DEVICE");
    EXPECT_EQ(test::readLines(f.dir.file("env")),
              (std::vector<std::string>{"TARVO_ADDRESS=3", "TARVO_DEVICE=PNL1", "TARVO_EVENT=alarm",
                                        "TARVO_LOCATION=Hall B", "TARVO_TIME=2026-07-04 14:05:09",
                                        "TARVO_VALUE=12.5 A", "TARVO_WHAT=Breaker 7"}));
    EXPECT_TRUE(f.op.messages.empty());
    // The MQTT alarm message carries the same fields, the unit beside the value.
    EXPECT_EQ(mqttAlarmMessage({"t", "s"}, mqttAlarmEvent(f.alarm[0], "Hall B")).payload,
              "{\"time\":\"2026-07-04T14:05:09+00:00\",\"address\":3,\"device\":\"PNL1\","
              "\"event\":\"alarm\",\"what\":\"Breaker 7\",\"value\":12.500,\"unit\":\"A\","
              "\"location\":\"Hall B\"}");
}

// Commands run one after the other, `minutes` after the first.
TEST(AlarmHook, FailingHangingAndMissingCommandsReportedOnceAnHour) {
    HookFixture f;
    const std::string fails = f.script("fails", "exit 3");
    const std::string hangs = f.script("hangs", "exec sleep 60");
    const std::string missing = f.dir.file("none");
    const struct {
        const char* fault;
        std::string command;
        int minutes;
        std::string says; // "" for nothing
    } steps[] = {
        {"a failure not reported", fails, 0, fails + " failed with exit status 3"},
        {"a failure reported twice within the hour", fails, 30, ""},
        {"a hanging command left running", hangs, 61, hangs + " was stopped after 10 s"},
        {"a missing command not reported", missing, 130,
         missing + " could not be started: No such file or directory"},
    };
    for (const auto& s : steps) {
        f.clock.t = 1783173909 + 60 * s.minutes;
        f.op.messages.clear();
        f.hook.run(s.command, f.alarm, "Here");
        if (s.command == hangs) {
            f.steady += 9s;
            f.hook.check();
            EXPECT_EQ(f.hook.running(), 1u) << "killed before 10 s";
            f.steady += 1s;
        }
        f.settle();
        EXPECT_EQ(f.hook.running(), 0u) << s.fault;
        EXPECT_EQ(f.op.messages.empty() ? "" : f.op.messages.front().text,
                  s.says.empty() ? "" : "The alarm command " + s.says)
            << s.fault;
    }
}

} // namespace
} // namespace tarvo
