#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "devices/device_kind.h"
#include "logging/mqtt_payloads.h"
#include "logging/mqtt_sink.h"
#include "logging/sample_queue.h"
#include "settings/settings.h"
#include "sim/tcp_server.h"
#include "support/temp_dir.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;

// Waits up to 30 s for `done`; the broker and the sink answer within
// milliseconds, the margin is for a loaded machine.
bool waitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 600 && !done(); ++i)
        std::this_thread::sleep_for(50ms);
    return done();
}

// 127.0.0.1 at `port` (0: any free one, for a bind).
sockaddr_in loopback(int port = 0) {
    return {AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
}

bool listening(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(port);
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

// A mosquitto of the test's own on a free port of 127.0.0.1. It keeps its
// sessions across a restart, so a subscriber misses nothing while it is down.
// With `auth`, only the user "tech" with the password "right" gets in.
// With `tls`, a second listener on tlsPort() speaks TLS with a certificate
// for 127.0.0.1 signed by the CA in file("ca.pem"); file("other.pem") is a
// CA that did not sign it.
class Broker {
public:
    explicit Broker(bool auth = false, bool tls = false) : m_port(sim::freeLoopbackPort()) {
        std::ofstream conf(m_dir.file("m.conf"));
        // Started as root (as in CI), mosquitto would drop to its own user,
        // who cannot reach the test's folder.
        conf << "listener " << m_port << " 127.0.0.1\nlog_dest none\nuser root\npersistence true\n"
             << "persistence_location " << m_dir.path().string() << "/\n";
        if (tls && makeCertificates()) {
            m_tlsPort = sim::freeLoopbackPort();
            conf << "listener " << m_tlsPort << " 127.0.0.1\ncafile " << file("ca.pem")
                 << "\ncertfile " << file("server.pem") << "\nkeyfile " << file("server.key")
                 << "\n";
        }
        if (auth &&
            std::system(("mosquitto_passwd -c -b " + m_dir.file("pw") + " tech right").c_str()) ==
                0)
            conf << "password_file " << m_dir.file("pw") << "\n";
        else
            conf << "allow_anonymous true\n";
        conf.close();
        start();
    }
    ~Broker() { stop(); }
    void start() {
        m_pid = ::fork();
        if (m_pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            // Its warning about running as root.
            [[maybe_unused]] FILE* quiet = ::freopen("/dev/null", "w", stderr);
            ::execlp("mosquitto", "mosquitto", "-c", m_dir.file("m.conf").c_str(), nullptr);
            ::_exit(127);
        }
        waitFor([&] { return listening(m_port); });
    }
    void stop(int signal = SIGTERM) {
        if (m_pid > 0) {
            ::kill(m_pid, signal);
            ::waitpid(m_pid, nullptr, 0);
        }
        m_pid = -1;
    }
    pid_t pid() const { return m_pid; }
    int tlsPort() const { return m_tlsPort; }
    std::string file(const char* name) const { return m_dir.file(name); }
    MqttOptions options() const {
        MqttOptions o;
        o.host = "127.0.0.1";
        o.port = m_port;
        o.topics = {"tarvo", "Plant_7"};
        return o;
    }

private:
    bool makeCertificates() {
        const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
        std::ofstream(file("san")) << "subjectAltName=IP:127.0.0.1\n";
        const std::string script =
            "cd " + m_dir.path().string() + " && for ca in ca other; do openssl req -x509" + key +
            "-days 2 -subj /CN=$ca -keyout $ca.key -out $ca.pem || exit 1; done && openssl req" +
            key + "-subj /CN=127.0.0.1 -keyout server.key -out server.csr && openssl x509 -req " +
            "-in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile san " +
            "-out server.pem";
        return std::system((script + " 2>/dev/null").c_str()) == 0;
    }

    test::TempDir m_dir{"tarvo-mqtt"};
    int m_port;
    int m_tlsPort = -1;
    pid_t m_pid = -1;
};

// Everything published under tarvo/#, in arrival order.
class Subscriber {
public:
    explicit Subscriber(int port) {
        m_mosq = mosquitto_new("test-subscriber", false, this);
        mosquitto_connect_callback_set(m_mosq, [](mosquitto* m, void*, int) {
            mosquitto_subscribe(m, nullptr, "tarvo/#", 1);
        });
        mosquitto_message_callback_set(
            m_mosq, [](mosquitto*, void* self, const mosquitto_message* msg) {
                auto* s = static_cast<Subscriber*>(self);
                std::lock_guard lock(s->m_mutex);
                s->m_got.push_back(
                    {msg->topic, std::string(static_cast<const char*>(msg->payload),
                                             static_cast<std::size_t>(msg->payloadlen))});
            });
        mosquitto_reconnect_delay_set(m_mosq, 1, 1, false);
        mosquitto_connect_async(m_mosq, "127.0.0.1", port, 30);
        mosquitto_loop_start(m_mosq);
    }
    ~Subscriber() {
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_stop(m_mosq, true);
        mosquitto_destroy(m_mosq);
    }
    std::vector<std::pair<std::string, std::string>> got() {
        std::lock_guard lock(m_mutex);
        return m_got;
    }

private:
    mosquitto* m_mosq;
    std::mutex m_mutex;
    std::vector<std::pair<std::string, std::string>> m_got;
};

SampleRecord sample(DeviceKind kind, int address, std::time_t time, float first) {
    auto s = std::make_shared<LogSample>();
    s->kind = kind;
    s->address = address;
    s->time = time;
    s->currents[0] = first;
    s->meterValues[0] = first;
    s->meterValues[27] = -2.25f;
    return s;
}

// One table for the payloads: each row a text and what it must hold. That
// every payload is JSON a reader parses back is the mqtt_payload fuzz
// target's invariant, run on its corpus by scripts/test.
TEST(MqttPayloads, TopicsAndPayloads) {
    std::setlocale(LC_ALL, "de_DE.UTF-8"); // a decimal comma must not reach a payload
    const MqttTopics topics{"tarvo", mqttSite("Plant 7/B+#\xc3\xa4-x_y")};
    MqttAlarmEvent event{0,         12, "Feeder \"A\\B\"\n\xe9", "alarm", "Breaker 7", 51.5,
                         "Plant 7", "A"};
    const auto branch = sample(BranchMonitor100A, 3, 0, 1.5f);
    const auto meter8 = sample(CircuitMeter8, 4, 0, 230.125f);
    const auto failed = sample(NoDevice, 5, 0, 0);
    const std::vector<MqttMessage> discovery =
        mqttDiscoveryMessages(topics, BranchMonitor, 3, "B\"3");
    Settings hostile;
    hostile.mqttServer = "broker";
    hostile.mqttPrefix = "a/+/#";
    MqttOptions fromHostile;
    std::string error;
    MqttOptions::fromSettings(hostile, "Plant 7", fromHostile, error);
    // Device 3's alarm_active after a run of events, each "event", "what".
    const auto stateAfter = [&](std::initializer_list<std::pair<const char*, const char*>> events) {
        MqttAlarmState state;
        MqttMessage last;
        for (const auto& [e, what] : events)
            last = state.add(topics, {0, 3, "B3", e, what, 0, "", ""});
        return last.topic + " " + last.payload + std::to_string(last.retain);
    };
    const struct {
        const char* fault;
        std::string text;
        std::string holds;
    } rows[] = {
        {"site keeps only letters, digits, - and _", topics.values(3),
         "tarvo/Plant_7_B____-x_y/3/values"},
        {"prefix with wildcards and levels, so every publish is refused",
         fromHostile.topics.status(), "a____/Plant_7/status"},
        {"name quotes, backslashes, control and Latin-1 bytes escaped", jsonString(event.device),
         "\"Feeder \\\"A\\\\B\\\"\\u000a\xc3\xa9\""},
        {"valid UTF-8 kept as it is", jsonString("\xc3\xa4\xe2\x82\xac"),
         "\"\xc3\xa4\xe2\x82\xac\""},
        {"branch currents named and in amperes with a point", mqttValuesPayload(*branch, "B3"),
         "\"kind\":\"branch_monitor_100a\",\"breaker_1\":1.500,\"breaker_2\":0.000"},
        {"branch monitor has breaker_42", mqttValuesPayload(*branch, "B3"),
         "\"breaker_42\":0.000}"},
        {"circuit meter values by the viewer's names", mqttValuesPayload(*meter8, "M4"),
         "\"value_1\":230.125,\"value_2\":0.000"},
        {"no value_25 for a CircuitMeter8", mqttValuesPayload(*meter8, "M4"),
         "\"value_24\":0.000,\"value_26\":0.000,\"value_27\":0.000,\"value_28\":-2.250}"},
        {"failed read sends nothing", "[" + mqttValuesPayload(*failed, "x") + "]", "[]"},
        {"time with offset", isoTime(0).substr(19, 1) + isoTime(0).substr(22, 1), "+:"},
        {"alarm on its topic, not retained",
         mqttAlarmMessage(topics, event).topic +
             std::to_string(mqttAlarmMessage(topics, event).retain),
         "tarvo/Plant_7_B____-x_y/12/alarm0"},
        {"alarm_active follows only the latest event",
         stateAfter({{"alarm", "Breaker 7"}, {"alarm", "Breaker 9"}, {"normal", "Breaker 7"}}),
         "tarvo/Plant_7_B____-x_y/3/alarm_active ON1"},
        {"alarm_active stays on after the last problem cleared",
         stateAfter({{"alarm", "Breaker 7"},
                     {"warning", "Breaker 9"},
                     {"normal", "Breaker 7"},
                     {"normal", "Breaker 9"}}),
         "OFF"},
        {"a recovery leaves a comm failure open",
         stateAfter({{"comm failure", "Timeout"},
                     {"comm failure", "CRC error"},
                     {"comm recovered", "Ok"}}),
         "OFF"},
        {"one sensor per breaker and an alarm binary sensor", std::to_string(discovery.size()),
         "43"},
        {"sensor config retained on its topic",
         discovery[0].topic + std::to_string(discovery[0].retain),
         "homeassistant/sensor/tarvo_Plant_7_B____-x_y_3_breaker_1/config1"},
        {"a breaker sensor reading another value", discovery[0].payload,
         "\"value_template\":\"{{ value_json.breaker_1 }}\""},
        {"breaker sensor not a current", discovery[0].payload,
         "\"unit_of_measurement\":\"A\",\"device_class\":\"current\""},
        {"device not told by prefix, site and address, or misnamed", discovery[0].payload,
         "\"identifiers\":[\"tarvo_Plant_7_B____-x_y_3\"],\"name\":\"B\\\"3\""},
        {"alarm binary sensor", discovery.back().topic, "homeassistant/binary_sensor/"},
        {"alarm binary sensor reading another topic", discovery.back().payload,
         "\"state_topic\":\"tarvo/Plant_7_B____-x_y/3/alarm_active\""},
        {"alarm binary sensor not a problem", discovery.back().payload,
         "\"device_class\":\"problem\""},
    };
    for (const auto& row : rows)
        EXPECT_NE(row.text.find(row.holds), std::string::npos) << row.fault << "\n" << row.text;
    std::setlocale(LC_ALL, "C");
}

// Every fault at connect time said in words, with nothing crashing.
TEST(MqttSinkBroker, ConnectFaultsInWords) {
    Broker broker(true, true);
    ASSERT_GT(broker.tlsPort(), 0) << "openssl made no certificates";
    // A server that answers an MQTT connect with an HTTP error.
    const int fake = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback();
    ::bind(fake, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    ::getsockname(fake, reinterpret_cast<sockaddr*>(&a), &n);
    ::listen(fake, 4);
    std::thread http([fake] {
        const int c = ::accept(fake, nullptr, nullptr);
        if (c < 0)
            return;
        char req[64];
        [[maybe_unused]] auto r = ::read(c, req, sizeof req);
        const char reply[] = "HTTP/1.0 400 Bad Request\r\n\r\n";
        [[maybe_unused]] auto w = ::write(c, reply, sizeof reply - 1);
        ::close(c);
    });
    const struct {
        const char* fault;
        std::string host;
        int port;
        std::string user;
        std::string ca;    ///< TLS with this CA file when not empty
        std::string holds; ///< empty: the connection must be taken
    } rows[] = {
        {"nothing listening", "127.0.0.1", sim::freeLoopbackPort(), "", "",
         "refused the connection"},
        {"unknown host", "no-such-host.invalid", 1883, "", "", "is an unknown host"},
        {"bad user or password", "127.0.0.1", broker.options().port, "u", "",
         "refused the user name or password"},
        {"not an MQTT server", "127.0.0.1", ntohs(a.sin_port), "", "", "is not an MQTT server"},
        {"TLS refused with the CA that signed the server", "127.0.0.1", broker.tlsPort(), "tech",
         broker.file("ca.pem"), ""},
        {"TLS taken with a CA that did not sign the server", "127.0.0.1", broker.tlsPort(), "tech",
         broker.file("other.pem"), "failed the TLS handshake"},
    };
    for (const auto& row : rows) {
        MqttOptions o = broker.options();
        o.host = row.host;
        o.port = row.port;
        o.user = row.user;
        o.password = row.user == "tech" ? "right" : "wrong";
        o.tls = !row.ca.empty();
        o.caFile = row.ca;
        const std::string said = mqttTestConnection(o, 3000);
        EXPECT_TRUE(row.holds.empty() ? said.empty() : said.find(row.holds) != std::string::npos)
            << row.fault << ": " << said;
    }
    // The sink says the same in its status (its connection is the test's)
    // and keeps what it was given.
    MqttOptions untrusted = broker.options();
    untrusted.port = broker.tlsPort();
    untrusted.tls = true;
    untrusted.caFile = broker.file("other.pem");
    MqttSink sink(untrusted);
    sink.queuePass({{sample(BranchMonitor, 3, 100, 1), "B3"}});
    EXPECT_TRUE(waitFor([&] { return !sink.status().problem.empty(); }));
    EXPECT_NE(sink.status().problem.find("failed the TLS handshake"), std::string::npos)
        << sink.status().problem;
    EXPECT_EQ(sink.status().waiting, 2u); // the reading and its device's alarm_active
    ::shutdown(fake, SHUT_RDWR);
    ::close(fake);
    http.join();
}

int countOf(const std::vector<std::pair<std::string, std::string>>& got, const std::string& text) {
    int n = 0;
    for (const auto& [topic, payload] : got)
        n += (topic + " " + payload).find(text) != std::string::npos ? 1 : 0;
    return n;
}

// The broker gone for three passes, back again: every pass arrives, in
// order; a clean stop says "offline".
TEST(MqttSinkBroker, NoPassLostWhileTheBrokerIsDown) {
    Broker broker;
    Subscriber sub(broker.options().port);
    auto sink = std::make_unique<MqttSink>(broker.options());
    auto pass = [&](int n) {
        sink->queuePass({{sample(BranchMonitor, 3, n, static_cast<float>(n)), "B3"},
                         {sample(CircuitMeter6, 4, n, static_cast<float>(n)), "M4"}});
    };
    ASSERT_TRUE(waitFor([&] { return countOf(sub.got(), "status online") > 0; }));
    pass(1);
    ASSERT_TRUE(waitFor([&] { return countOf(sub.got(), "/4/values") == 1; }));
    // A retained "ON" of an earlier run ends with the device's first reading.
    EXPECT_EQ(countOf(sub.got(), "/3/alarm_active OFF"), 1);
    broker.stop();
    for (int n = 2; n <= 4; ++n)
        pass(n);
    EXPECT_TRUE(waitFor([&] { return !sink->status().connected; }));
    EXPECT_EQ(sink->status().waiting, 6u);
    broker.start();
    pass(5);
    ASSERT_TRUE(waitFor([&] { return countOf(sub.got(), "\"value_1\":5.000") == 1; }))
        << sink->status().problem;
    // Each pass once or, around the reconnect, twice; never out of order.
    int last = 0;
    for (const auto& [topic, payload] : sub.got()) {
        const std::size_t at = payload.find("\"breaker_1\":");
        if (at == std::string::npos)
            continue;
        const int n = std::stoi(payload.substr(at + 12));
        EXPECT_TRUE(n == last || n == last + 1) << n << " after " << last;
        last = n;
    }
    EXPECT_EQ(last, 5);
    // Dropped mid-pass: the broker frozen with the pass sent and not
    // acknowledged, then killed. The pass goes again to the next broker.
    ::kill(broker.pid(), SIGSTOP);
    pass(6);
    std::this_thread::sleep_for(300ms); // time to send it into the frozen broker
    broker.stop(SIGKILL);
    broker.start();
    EXPECT_TRUE(waitFor([&] { return sink->status().waiting == 0; })) << sink->status().problem;
    sink.reset();
    EXPECT_TRUE(waitFor([&] { return sub.got().back().second == "offline"; }));
}

// A logger killed outright: the broker says "offline" for it.
TEST(MqttSinkBroker, LastWillOnKill) {
    Broker broker;
    const pid_t child = ::fork();
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        MqttSink sink(broker.options());
        ::pause();
        ::_exit(0);
    }
    Subscriber sub(broker.options().port);
    ASSERT_TRUE(waitFor([&] { return countOf(sub.got(), "status online") > 0; }));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(waitFor([&] { return sub.got().back().second == "offline"; }));
}

} // namespace
} // namespace tarvo
