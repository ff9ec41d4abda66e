#pragma once

#include <ctime>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo {

struct LogSample;

/// One message for the broker.
struct MqttMessage {
    std::string topic;
    std::string payload;
    int qos = 1;
    bool retain = false;
    bool operator==(const MqttMessage&) const = default;
};

/// The location as a topic level: every character other than an ASCII
/// letter, a digit, "-" and "_" becomes "_" (byte by byte, so a two-byte
/// "ä" gives "__"); an empty location gives "_". A "/", "+" or "#" in a
/// location would otherwise split the level or act as a wildcard.
std::string mqttSite(std::string_view location);

/// The topics of one site: PREFIX/SITE/status, PREFIX/SITE/ADDRESS/values,
/// PREFIX/SITE/ADDRESS/alarm.
struct MqttTopics {
    std::string prefix;
    std::string site; ///< already made by mqttSite

    std::string status() const { return prefix + "/" + site + "/status"; }
    std::string values(int address) const {
        return prefix + "/" + site + "/" + std::to_string(address) + "/values";
    }
    std::string alarm(int address) const {
        return prefix + "/" + site + "/" + std::to_string(address) + "/alarm";
    }
    std::string alarmActive(int address) const {
        return prefix + "/" + site + "/" + std::to_string(address) + "/alarm_active";
    }
};

/// `text` as a JSON string, quotes included. Valid UTF-8 passes as it is;
/// any other byte is taken as Latin-1 (a device name typed on an older
/// panel) and written as its UTF-8 form; quotes, backslashes and control
/// bytes are escaped, so the result is always valid JSON in valid UTF-8.
std::string jsonString(std::string_view text);

/// `time` as ISO 8601 local time with its offset: 2026-07-04T14:05:00+02:00.
std::string isoTime(std::time_t time);

/// The kind as the payloads name it: "branch_monitor", "branch_monitor_100a",
/// "circuit_meter_8", "circuit_meter_6"; empty for any other kind.
std::string_view mqttKindName(int kind);

/// The value names of a kind, in log-file order: breaker_1 to breaker_42
/// for branch monitors, value_1 to value_28 for circuit meters (no
/// value_25 for a CircuitMeter8), as the log viewer names the columns.
std::vector<std::string> mqttValueNames(int kind);

/// One device's reading of one pass as a JSON object: time, address, name,
/// kind, then each value by name as the log file writes it ("%.3f", "."
/// in every locale; a value that is no number gives null). Empty for a
/// record of no kind the log file writes (a failed read).
std::string mqttValuesPayload(const LogSample& sample, std::string_view name);

/// One journal event, with the fields the alarm command is given.
struct MqttAlarmEvent {
    std::time_t time = 0;
    int address = 0;
    std::string device;   ///< the device's name as the meter list shows it
    std::string event;    ///< "alarm", "normal", "comm failure", ... as TARVO_EVENT
    std::string what;     ///< "Breaker 7", "Amps over", ...
    double value = 0;     ///< what was read at that moment
    std::string location; ///< the location setting
    std::string unit;     ///< the value's unit: "A", "V", "KVA", or empty
};

/// The alarm message of one journal event (QoS 1, not retained): the
/// value as a number and its unit beside it, as "unit".
MqttMessage mqttAlarmMessage(const MqttTopics& topics, const MqttAlarmEvent& event);

/// Whether each device has a problem open: an alarm, a warning, a lost
/// phase or a communication failure that no later event of the same device
/// and subject has ended (a recovery ends all the device's failures), as
/// the journal counts them. A device with alarms on breakers 7 and 9 stays
/// "ON" when breaker 7 alone goes back to normal.
class MqttAlarmState {
public:
    /// Takes in one event; returns the device's state message.
    MqttMessage add(const MqttTopics& topics, const MqttAlarmEvent& event);
    /// The state message of the device at `address`: retained, QoS 1, on
    /// PREFIX/SITE/ADDRESS/alarm_active, "ON" or "OFF".
    MqttMessage message(const MqttTopics& topics, int address) const;

private:
    std::map<int, std::set<std::string>> m_open; // address → subjects open
};

/// The Home Assistant discovery configs of one device (retained): one
/// sensor per value, with unit and device class where the kind's values
/// have them (breaker currents in amperes), and a binary sensor "Alarm"
/// that follows the device's alarm_active topic. All of them name one
/// Home Assistant device per panel device. Empty for any other kind.
std::vector<MqttMessage> mqttDiscoveryMessages(const MqttTopics& topics, int kind, int address,
                                               std::string_view name);

} // namespace tarvo
