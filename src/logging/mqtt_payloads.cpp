#include "logging/mqtt_payloads.h"

#include <algorithm>
#include <cmath>

#include "devices/device_kind.h"
#include "devices/register_map.h"
#include "logging/sample_queue.h"

namespace tarvo {
namespace {

// The length of the well-formed UTF-8 sequence at the start of `s`, or 0
// when its first byte begins none (overlong forms and surrogates included).
std::size_t utf8Length(std::string_view s) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char b = byte(0);
    std::size_t n = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (b >= 0xc2 && b <= 0xdf) {
        n = 2;
    } else if (b >= 0xe0 && b <= 0xef) {
        n = 3;
        low = b == 0xe0 ? 0xa0 : 0x80;
        high = b == 0xed ? 0x9f : 0xbf;
    } else if (b >= 0xf0 && b <= 0xf4) {
        n = 4;
        low = b == 0xf0 ? 0x90 : 0x80;
        high = b == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (s.size() < n || byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < n; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xbf)
            return 0;
    return n;
}

void appendNumber(std::string& out, double value) {
    out += std::isfinite(value) ? fixedText(value, 3) : "null";
}

void appendField(std::string& out, std::string_view key, std::string_view jsonValue) {
    out += out.size() > 1 ? "," : "";
    out += '"';
    out.append(key);
    out += "\":";
    out.append(jsonValue);
}

std::string sensorConfig(const MqttTopics& topics, std::string_view uniqueId,
                         std::string_view label, std::string_view stateTopic,
                         std::string_view valueTemplate, std::string_view device,
                         std::string_view extra) {
    std::string out = "{";
    appendField(out, "name", jsonString(label));
    appendField(out, "unique_id", jsonString(uniqueId));
    appendField(out, "state_topic", jsonString(stateTopic));
    appendField(out, "value_template", jsonString(valueTemplate));
    appendField(out, "availability_topic", jsonString(topics.status()));
    appendField(out, "payload_available", "\"online\"");
    appendField(out, "payload_not_available", "\"offline\"");
    out.append(extra);
    appendField(out, "device", device);
    out += '}';
    return out;
}

} // namespace

std::string mqttSite(std::string_view location) {
    std::string site(location);
    for (char& c : site) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!keep)
            c = '_';
    }
    return site.empty() ? "_" : site;
}

std::string jsonString(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    while (!text.empty()) {
        const unsigned char c = static_cast<unsigned char>(text.front());
        std::size_t n = 1;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xf];
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if ((n = utf8Length(text)) > 0) {
            out.append(text.substr(0, n));
        } else {
            // Latin-1: U+0080 to U+00FF in two bytes.
            n = 1;
            out += static_cast<char>(0xc0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3f));
        }
        text.remove_prefix(n);
    }
    out += '"';
    return out;
}

std::string isoTime(std::time_t time) {
    std::tm local{};
    char stamp[40] = "";
    if (localtime_r(&time, &local) == nullptr ||
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S%z", &local) == 0)
        return "";
    // strftime gives the offset as +0200; ISO 8601's extended form wants +02:00.
    std::string text(stamp);
    if (text.size() >= 5)
        text.insert(text.size() - 2, ":");
    return text;
}

std::string_view mqttKindName(int kind) {
    switch (kind) {
    case BranchMonitor:
        return "branch_monitor";
    case BranchMonitor100A:
        return "branch_monitor_100a";
    case CircuitMeter8:
        return "circuit_meter_8";
    case CircuitMeter6:
        return "circuit_meter_6";
    default:
        return {};
    }
}

std::vector<std::string> mqttValueNames(int kind) {
    std::vector<std::string> names;
    if (isBranchMonitor(kind))
        for (int i = 1; i <= kBreakerCount; ++i)
            names.push_back("breaker_" + std::to_string(i));
    else if (isCircuitMeter(kind))
        for (int i = 1; i <= kCircuitSampleValues; ++i)
            if (i != 25 || kind == CircuitMeter6)
                names.push_back("value_" + std::to_string(i));
    return names;
}

std::string mqttValuesPayload(const LogSample& sample, std::string_view name) {
    const std::vector<std::string> names = mqttValueNames(sample.kind);
    if (names.empty())
        return {};
    std::string out = "{";
    appendField(out, "time", jsonString(isoTime(sample.time)));
    appendField(out, "address", std::to_string(sample.address));
    appendField(out, "name", jsonString(name));
    appendField(out, "kind", jsonString(mqttKindName(sample.kind)));
    std::size_t next = 0;
    const auto add = [&](float value) {
        appendField(out, names[next++], "");
        appendNumber(out, static_cast<double>(value));
    };
    if (isBranchMonitor(sample.kind)) {
        for (float current : sample.currents)
            add(current);
    } else {
        for (std::size_t j = 0; j < sample.meterValues.size(); ++j)
            if (sample.kind != CircuitMeter8 || j != 24)
                add(sample.meterValues[j]);
    }
    out += '}';
    return out;
}

MqttMessage mqttAlarmMessage(const MqttTopics& topics, const MqttAlarmEvent& event) {
    std::string out = "{";
    appendField(out, "time", jsonString(isoTime(event.time)));
    appendField(out, "address", std::to_string(event.address));
    appendField(out, "device", jsonString(event.device));
    appendField(out, "event", jsonString(event.event));
    appendField(out, "what", jsonString(event.what));
    appendField(out, "value", "");
    appendNumber(out, event.value);
    appendField(out, "unit", jsonString(event.unit));
    appendField(out, "location", jsonString(event.location));
    out += '}';
    return {topics.alarm(event.address), out, 1, false};
}

MqttMessage MqttAlarmState::add(const MqttTopics& topics, const MqttAlarmEvent& event) {
    const std::string_view e = event.event;
    const bool comm = e == "comm failure" || e == "comm recovered";
    // A failure's subject is its result text; a recovery ends them all.
    const std::string subject = comm ? std::string() : event.what;
    std::set<std::string>& open = m_open[event.address];
    if (e == "alarm" || e == "warning" || e == "phase lost" || e == "comm failure")
        open.insert(subject);
    else
        open.erase(subject);
    return message(topics, event.address);
}

MqttMessage MqttAlarmState::message(const MqttTopics& topics, int address) const {
    const auto it = m_open.find(address);
    const bool on = it != m_open.end() && !it->second.empty();
    return {topics.alarmActive(address), on ? "ON" : "OFF", 1, true};
}

std::vector<MqttMessage> mqttDiscoveryMessages(const MqttTopics& topics, int kind, int address,
                                               std::string_view name) {
    std::vector<MqttMessage> messages;
    const std::vector<std::string> names = mqttValueNames(kind);
    if (names.empty())
        return messages;
    const std::string deviceId =
        mqttSite(topics.prefix) + "_" + topics.site + "_" + std::to_string(address);
    std::string device = "{";
    appendField(device, "identifiers", "[" + jsonString(deviceId) + "]");
    appendField(device, "name", jsonString(name));
    appendField(device, "model", jsonString(mqttKindName(kind)));
    device += '}';

    // Breaker currents are amperes; the circuit meters' float block carries
    // no unit the program knows, so those sensors go without one.
    std::string extra = ",\"state_class\":\"measurement\"";
    if (isBranchMonitor(kind))
        extra += ",\"unit_of_measurement\":\"A\",\"device_class\":\"current\"";
    for (const std::string& value : names) {
        const std::string id = deviceId + "_" + value;
        std::string label = value;
        label[0] = static_cast<char>(label[0] - 'a' + 'A');
        std::ranges::replace(label, '_', ' ');
        messages.push_back({"homeassistant/sensor/" + id + "/config",
                            sensorConfig(topics, id, label, topics.values(address),
                                         "{{ value_json." + value + " }}", device, extra),
                            1, true});
    }
    const std::string id = deviceId + "_alarm";
    messages.push_back({"homeassistant/binary_sensor/" + id + "/config",
                        sensorConfig(topics, id, "Alarm", topics.alarmActive(address),
                                     "{{ value }}", device, ",\"device_class\":\"problem\""),
                        1, true});
    return messages;
}

} // namespace tarvo
