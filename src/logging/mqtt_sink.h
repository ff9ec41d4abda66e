#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "logging/mqtt_payloads.h"
#include "logging/sample_queue.h"

namespace tarvo {

struct Settings;

/// Where and how to reach the broker, from the `mqtt...` settings.
struct MqttOptions {
    std::string host;
    int port = 1883;
    bool tls = false;
    std::string caFile; ///< empty: the system's CA store
    std::string user;
    std::string password;
    MqttTopics topics;
    bool discovery = false;
    std::string clientId;

    /// The options of `settings` for the site `location`. False with the
    /// reason in `error` when `mqtt` names no usable HOST[:PORT]; the port is
    /// 1883, or 8883 with TLS, unless the setting gives one.
    static bool fromSettings(const Settings& settings, std::string_view location, MqttOptions& out,
                             std::string& error);
};

/// One connection attempt to the broker, waiting at most `timeoutMs` for it
/// to be accepted. Returns an empty text when the broker took the
/// connection, otherwise the reason in words ("refused the connection",
/// "unknown host", "refused the user name or password", "TLS failure: ...",
/// "is not an MQTT server", ...). Blocks its caller for at most about the
/// time-out plus the name lookup; the dialog runs it off the window thread.
std::string mqttTestConnection(const MqttOptions& options, int timeoutMs);

/// The MQTT sink: sends each sampling pass's readings, the journal events
/// and the site's status to the broker, on a thread of its own.
///
/// The bus thread hands a pass over with queuePass, which only takes a
/// mutex: name look-ups, connects, publishing and waiting for the broker all
/// happen on the sink's thread. Messages wait in order, under the sample
/// queue's bound (counted in device readings), until the broker has
/// acknowledged them (QoS 1 PUBACK); a connection lost before that sends
/// them again after the next connect, so no pass is lost, though one may
/// arrive twice. Reconnects wait 1 s, doubling to 60 s.
///
/// The status topic says "online" after each connect and "offline" on a
/// clean stop; the broker says "offline" for a sink that died (last will).
/// Each device's alarm_active goes out with its first reading ("OFF" unless
/// an event came first), so a retained "ON" of an earlier run does not
/// outlive the problem, and again after each of its journal events.
class MqttSink {
public:
    explicit MqttSink(MqttOptions options, std::size_t bound = SampleQueue::kDefaultBound);
    ~MqttSink() { stop(); }
    /// Stops the sink's thread: sends what the broker takes within 3 s, then
    /// "offline". Returns how many messages were left unsent. Queued
    /// afterwards, nothing goes out.
    std::size_t stop();
    MqttSink(const MqttSink&) = delete;
    MqttSink& operator=(const MqttSink&) = delete;

    /// One device reading of a pass and the device's name as the meter
    /// list shows it.
    struct Reading {
        SampleRecord record;
        std::string name;
    };
    /// Queues one pass: each reading as one values message (a failed read
    /// sends nothing; the payload is built on the sink's thread), preceded by the device's
    /// discovery configs the first time it is seen when discovery is on. Returns what the bound
    /// did, as SampleQueue::push says it: DroppingStarted on the first drop since the queue was
    /// last empty.
    SampleQueue::Push queuePass(const std::vector<Reading>& pass);
    /// Queues one journal event's alarm message and, after it, the
    /// device's alarm_active state (MqttAlarmState).
    void queueAlarm(const MqttAlarmEvent& event);

    struct Status {
        bool connected = false;
        std::string problem; ///< why the last connect failed or the link dropped; empty when none
        std::size_t waiting = 0;        ///< messages not yet acknowledged
        std::uint64_t dropped = 0;      ///< readings dropped by the bound
        std::uint64_t acknowledged = 0; ///< messages the broker acknowledged
    };
    Status status() const;
    std::size_t bound() const { return m_bound; }

private:
    // A reading keeps its record and name and gets its payload only when it
    // is first sent: a queue of two days' readings then holds the records,
    // not about a kilobyte of JSON for each.
    struct Entry {
        MqttMessage message;
        SampleRecord record; // a reading; null for other messages
        std::string name;
        int mid = -1; // message id while sent and not acknowledged
    };
    void run();
    void push(Entry entry, SampleQueue::Push& result);

    MqttOptions m_options;
    std::size_t m_bound;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Entry> m_entries; // guarded by m_mutex
    std::size_t m_readings = 0;  // entries that are readings
    bool m_dropping = false;
    std::atomic<bool> m_stop{false}; // set under m_mutex; read by a connect in progress too
    Status m_status;
    std::map<int, std::string> m_announced; // address → kind and name announced
    MqttAlarmState m_alarms;
    std::set<int> m_stateSent; // devices whose alarm_active went out since the start
    std::thread m_thread;
};

/// The sink the settings ask for, started: null when no `mqtt` is set, or
/// when it names no usable server (the reason then in `error`).
std::unique_ptr<MqttSink> startMqttSink(const Settings& settings, std::string_view location,
                                        std::string& error);

} // namespace tarvo
