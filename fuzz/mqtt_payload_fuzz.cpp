// MQTT topics and payloads from hostile settings, names and readings: every
// topic is one the broker takes for a publish (valid UTF-8, no wildcard, no
// NUL, no empty level), and every payload is JSON that Qt's reader parses
// back to the names and numbers it was built from.
#include <fuzzer/FuzzedDataProvider.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <bit>
#include <cmath>
#include <memory>

#include "devices/device_kind.h"
#include "fuzz.h"
#include "logging/mqtt_payloads.h"
#include "logging/mqtt_sink.h"
#include "logging/sample_queue.h"
#include "settings/settings.h"

using namespace tarvo;

namespace {

bool validUtf8(const std::string& text) {
    const QByteArray bytes = QByteArray::fromStdString(text);
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

void checkTopic(const std::string& topic) {
    FUZZ_CHECK(!topic.empty() && topic.size() <= 65535 && validUtf8(topic));
    FUZZ_CHECK(topic.find_first_of(std::string("+#\0", 3)) == std::string::npos);
    FUZZ_CHECK(topic.front() != '/' && topic.back() != '/' &&
               topic.find("//") == std::string::npos);
}

QJsonObject parse(const std::string& payload) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(payload), &error);
    FUZZ_CHECK(error.error == QJsonParseError::NoError && doc.isObject());
    return doc.object();
}

// A text read back: the same where it was valid UTF-8, valid UTF-8 always.
void checkText(const QJsonValue& value, const std::string& given) {
    FUZZ_CHECK(value.isString());
    const std::string back = value.toString().toStdString();
    FUZZ_CHECK(validUtf8(back));
    if (validUtf8(given))
        FUZZ_CHECK(back == given);
}

// A number read back: null when it is none, else within the three decimals.
void checkNumber(const QJsonValue& value, double given) {
    if (!std::isfinite(given)) {
        FUZZ_CHECK(value.isNull());
        return;
    }
    FUZZ_CHECK(value.isDouble());
    FUZZ_CHECK(std::fabs(value.toDouble() - given) <= 0.0005 + std::fabs(given) * 1e-12);
}

constexpr DeviceKind kKinds[] = {BranchMonitor, BranchMonitor100A, CircuitMeter8,
                                 CircuitMeter6, EnergyOnlyMeter,   NoDevice};
constexpr const char* kEvents[] = {"alarm",        "warning",        "normal",    "phase lost",
                                   "comm failure", "comm recovered", "phase back"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    Settings settings;
    settings.mqttServer = "broker";
    settings.mqttPrefix = in.ConsumeRandomLengthString(300);
    const std::string location = in.ConsumeRandomLengthString(300);
    const std::string name = in.ConsumeRandomLengthString(300);
    const int address = in.ConsumeIntegralInRange(0, 255);
    const DeviceKind kind = in.PickValueInArray(kKinds);
    MqttOptions options;
    std::string error;
    FUZZ_CHECK(MqttOptions::fromSettings(settings, location, options, error));
    const MqttTopics& topics = options.topics;
    checkTopic(topics.status());

    auto sample = std::make_shared<LogSample>();
    sample->kind = kind;
    sample->address = address;
    sample->time = in.ConsumeIntegral<std::int32_t>();
    // Every bit pattern: NaN, infinities, denormals and the largest floats.
    for (float& v : sample->currents)
        v = std::bit_cast<float>(in.ConsumeIntegral<std::uint32_t>());
    for (float& v : sample->meterValues)
        v = std::bit_cast<float>(in.ConsumeIntegral<std::uint32_t>());
    const std::vector<std::string> names = mqttValueNames(kind);
    const std::string values = mqttValuesPayload(*sample, name);
    FUZZ_CHECK(values.empty() == names.empty());
    if (!values.empty()) {
        checkTopic(topics.values(address));
        const QJsonObject o = parse(values);
        FUZZ_CHECK(o.size() == static_cast<int>(names.size()) + 4);
        checkText(o["name"], name);
        FUZZ_CHECK(o["address"].toInt(-1) == address);
        const bool branch = isBranchMonitor(kind);
        for (std::size_t i = 0, j = 0; i < names.size(); ++i, ++j) {
            j += kind == CircuitMeter8 && j == 24 ? 1 : 0;
            checkNumber(o[QString::fromStdString(names[i])],
                        branch ? sample->currents[i] : sample->meterValues[j]);
        }
    }

    MqttAlarmEvent event;
    event.time = sample->time;
    event.address = address;
    event.device = name;
    event.event = in.PickValueInArray(kEvents);
    event.what = in.ConsumeRandomLengthString(100);
    event.value = std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
    event.unit = in.ConsumeRandomLengthString(10);
    event.location = location;
    const MqttMessage alarm = mqttAlarmMessage(topics, event);
    checkTopic(alarm.topic);
    const QJsonObject a = parse(alarm.payload);
    checkText(a["device"], name);
    checkText(a["event"], event.event);
    checkText(a["what"], event.what);
    checkText(a["unit"], event.unit);
    checkText(a["location"], location);
    checkNumber(a["value"], event.value);
    MqttAlarmState state;
    checkTopic(state.add(topics, event).topic);

    const std::vector<MqttMessage> discovery = mqttDiscoveryMessages(topics, kind, address, name);
    FUZZ_CHECK(discovery.size() == (names.empty() ? 0 : names.size() + 1));
    for (const MqttMessage& m : discovery) {
        checkTopic(m.topic);
        FUZZ_CHECK(m.topic.starts_with("homeassistant/") && m.topic.ends_with("/config"));
        const QJsonObject c = parse(m.payload);
        checkText(c["device"].toObject()["name"], name);
        const std::string stateTopic = c["state_topic"].toString().toStdString();
        FUZZ_CHECK(stateTopic == topics.values(address) ||
                   stateTopic == topics.alarmActive(address));
        FUZZ_CHECK(c["availability_topic"].toString().toStdString() == topics.status());
    }
    return 0;
}
