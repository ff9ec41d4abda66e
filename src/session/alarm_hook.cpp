#include "session/alarm_hook.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>

#include <spawn.h>
#include <sys/wait.h>

#include "core/clock.h"
#include "core/operator.h"
#include "session/polling.h"

extern char** environ;

namespace tarvo {
namespace {

// The value with up to three decimals and no trailing zeros, "." always.
std::string valueText(double value) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 3);
    std::string text(buf, r.ptr);
    while (text.back() == '0')
        text.pop_back();
    if (text.back() == '.')
        text.pop_back();
    return text == "-0" ? "0" : text;
}

std::string localTime(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

} // namespace

const char* hookEventWord(JournalEvent event) {
    switch (event) {
    case JournalEvent::Warning:
        return "warning";
    case JournalEvent::Alarm:
        return "alarm";
    case JournalEvent::Normal:
        return "normal";
    case JournalEvent::PhaseLost:
        return "phase lost";
    case JournalEvent::PhaseBack:
        return "phase back";
    case JournalEvent::CommFailure:
        return "comm failure";
    case JournalEvent::CommRecovered:
        return "comm recovered";
    }
    return "normal";
}

std::string entryValueText(const JournalEntry& e) {
    std::string value = valueText(e.value);
    if (!e.unit.empty())
        value += " " + e.unit;
    return value;
}

std::string journalMessage(const JournalEntry& e) {
    if (e.event == JournalEvent::CommFailure)
        return deviceFailureText(e.address, static_cast<int>(e.value));
    const std::string at = " at address [" + std::to_string(e.address) + "]";
    if (e.event == JournalEvent::CommRecovered)
        return "Device" + at + " answers again";
    return eventText(e.event) + at + (e.name.empty() ? "" : " (" + e.name + ")") + ": " +
           e.subject + ", " + entryValueText(e);
}

std::vector<std::string> hookEnvironment(const JournalEntry& e, const std::string& location) {
    return {"TARVO_TIME=" + localTime(e.time), "TARVO_ADDRESS=" + std::to_string(e.address),
            "TARVO_DEVICE=" + e.name,          std::string("TARVO_EVENT=") + hookEventWord(e.event),
            "TARVO_WHAT=" + e.subject,         "TARVO_VALUE=" + entryValueText(e),
            "TARVO_LOCATION=" + location};
}

MqttAlarmEvent mqttAlarmEvent(const JournalEntry& e, const std::string& location) {
    return {e.time,    e.address, e.name,   hookEventWord(e.event),
            e.subject, e.value,   location, e.unit};
}

AlarmHook::AlarmHook(Operator& op, const Clock& clock, SteadyNow steadyNow)
    : m_op(op), m_clock(clock), m_now(std::move(steadyNow)) {}

AlarmHook::~AlarmHook() {
    for (const Child& c : m_children) {
        ::kill(c.pid, SIGKILL);
        ::waitpid(c.pid, nullptr, 0); // killed: returns at once
    }
}

void AlarmHook::report(const std::string& text) {
    const std::time_t now = m_clock.now();
    if (m_reported && now - m_lastReport < kReportEvery)
        return;
    m_reported = true;
    m_lastReport = now;
    m_op.showMessage(text);
}

void AlarmHook::run(const std::string& command, const std::vector<JournalEntry>& entries,
                    const std::string& location) {
    if (command.empty())
        return;
    for (const JournalEntry& e : entries) {
        // The logger's environment without its own TARVO_ variables, then
        // the entry's.
        std::vector<std::string> variables;
        for (char** v = environ; v && *v; ++v)
            if (std::strncmp(*v, "TARVO_", 6) != 0)
                variables.emplace_back(*v);
        for (std::string& v : hookEnvironment(e, location))
            variables.push_back(std::move(v));
        std::vector<char*> envp;
        for (std::string& v : variables)
            envp.push_back(v.data());
        envp.push_back(nullptr);
        std::string program = command;
        char* argv[] = {program.data(), nullptr};
        // The logger blocks SIGTERM and SIGINT to read them from a file
        // descriptor; the command starts with none blocked, as from a shell.
        posix_spawnattr_t attributes;
        ::posix_spawnattr_init(&attributes);
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (int sig : {SIGTERM, SIGINT, SIGPIPE})
            sigaddset(&defaults, sig);
        ::posix_spawnattr_setsigmask(&attributes, &none);
        ::posix_spawnattr_setsigdefault(&attributes, &defaults);
        ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        pid_t pid = 0;
        const int error =
            ::posix_spawn(&pid, command.c_str(), nullptr, &attributes, argv, envp.data());
        ::posix_spawnattr_destroy(&attributes);
        if (error != 0) {
            report("The alarm command " + command +
                   " could not be started: " + std::strerror(error));
            continue;
        }
        m_children.push_back({pid, command, m_now()});
    }
}

void AlarmHook::check() {
    const auto now = m_now();
    for (auto it = m_children.begin(); it != m_children.end();) {
        int status = 0;
        const pid_t done = ::waitpid(it->pid, &status, WNOHANG);
        if (done == it->pid || (done < 0 && errno == ECHILD)) {
            if (it->killed)
                report("The alarm command " + it->command + " was stopped after " +
                       std::to_string(kHangLimit.count()) + " s");
            else if (done == it->pid && WIFEXITED(status) && WEXITSTATUS(status) != 0)
                report("The alarm command " + it->command + " failed with exit status " +
                       std::to_string(WEXITSTATUS(status)));
            else if (done == it->pid && WIFSIGNALED(status))
                report("The alarm command " + it->command + " ended by signal " +
                       std::to_string(WTERMSIG(status)));
            it = m_children.erase(it);
            continue;
        }
        if (!it->killed && now - it->started >= kHangLimit) {
            ::kill(it->pid, SIGKILL);
            it->killed = true;
        }
        ++it;
    }
}

} // namespace tarvo
