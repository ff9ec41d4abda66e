#pragma once

#include <chrono>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "logging/mqtt_payloads.h"
#include "session/journal_events.h"

namespace tarvo {

class Clock;
class Operator;

/// TARVO_EVENT's word for an event: "alarm", "warning", "normal", "comm
/// failure", "comm recovered", "phase lost", "phase back".
const char* hookEventWord(JournalEvent event);

/// The variables the alarm command finds in its environment for `entry`,
/// as "NAME=value": TARVO_TIME (local, "2026-07-04 14:05:09"), TARVO_ADDRESS,
/// TARVO_DEVICE, TARVO_EVENT, TARVO_WHAT ("Breaker 7"), TARVO_VALUE ("12.5 A",
/// "." whatever the locale) and TARVO_LOCATION.
std::vector<std::string> hookEnvironment(const JournalEntry& entry, const std::string& location);

/// What was read with `entry`, as TARVO_VALUE gives it: "12.5 A", "230 V",
/// "5" (up to three decimals, "." whatever the locale).
std::string entryValueText(const JournalEntry& entry);

/// The one line that tells a person of `entry`: the window's texts for a
/// failing device ("Device at address [3] timed out", "Device at address
/// [3] read failure - error code [5]"), "Device at address [3] answers
/// again", and for lamps and phases "Alarm at address [3] (PNL1): Breaker 7,
/// 52.1 A", "Phase lost at address [8] (MTR1): Phase B, 0 V".
std::string journalMessage(const JournalEntry& entry);

/// The MQTT alarm message's fields for `entry`: the alarm command's, with
/// the event in the same words.
MqttAlarmEvent mqttAlarmEvent(const JournalEntry& entry, const std::string& location);

/// Runs the settings' `alarm_command` once per journal entry: the program
/// itself, no shell, with argv {PATH} and the entry in its environment
/// (hookEnvironment) on top of the logger's own.
///
/// Nothing here waits for a child: run() starts it and returns, check()
/// (called at every tick) collects the ones that ended without blocking and
/// kills those that have run for kHangLimit. A command that cannot be
/// started, that ends with a status other than 0, by a signal, or that was
/// killed is reported to the operator at most once per kReportEvery; the
/// logging goes on either way. The clocks are injected: `clock` for the
/// hour between reports and the entries' time, `steadyNow` for the limit.
class AlarmHook {
public:
    using SteadyNow = std::function<std::chrono::steady_clock::time_point()>;

    static constexpr std::chrono::seconds kHangLimit{10};
    static constexpr std::time_t kReportEvery = 3600;

    AlarmHook(Operator& op, const Clock& clock,
              SteadyNow steadyNow = std::chrono::steady_clock::now);
    /// Kills and collects the children still running.
    ~AlarmHook();
    AlarmHook(const AlarmHook&) = delete;
    AlarmHook& operator=(const AlarmHook&) = delete;

    /// Starts `command` for each entry; an empty command starts nothing.
    void run(const std::string& command, const std::vector<JournalEntry>& entries,
             const std::string& location);

    /// Collects the children that ended and kills those past the limit.
    /// Never blocks.
    void check();

    /// Children started and not yet collected.
    std::size_t running() const { return m_children.size(); }

private:
    struct Child {
        pid_t pid;
        std::string command;
        std::chrono::steady_clock::time_point started;
        bool killed = false;
    };
    void report(const std::string& text);

    Operator& m_op;
    const Clock& m_clock;
    SteadyNow m_now;
    std::vector<Child> m_children;
    std::time_t m_lastReport = 0;
    bool m_reported = false;
};

} // namespace tarvo
