#include "logging/mqtt_sink.h"

#include <mosquitto.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>

#include "devices/device_kind.h"
#include "settings/settings.h"

namespace tarvo {
namespace {

using Clock = std::chrono::steady_clock;

// A broker that takes the TCP connection but never accepts the MQTT connect
// is given this long: a loaded broker answers within a second.
constexpr int kConnackTimeoutMs = 10000;
// Messages handed to the library and not yet acknowledged: enough to keep a
// pass of 32 devices moving without waiting for each PUBACK.
constexpr int kInFlight = 100;
constexpr int kKeepAliveSeconds = 30;

std::string errnoProblem(int error) {
    switch (error) {
    case ECONNREFUSED:
        return "refused the connection (no MQTT server listens on that port)";
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETUNREACH:
        return "cannot be reached (" + std::string(std::strerror(error)) + ")";
    case ECONNRESET:
    case EPIPE:
        return "dropped the connection";
    default:
        return std::strerror(error);
    }
}

// The words for a libmosquitto result; `error` is errno where it applies.
std::string problemText(int rc, int error) {
    switch (rc) {
    case MOSQ_ERR_EAI:
        return "is an unknown host";
    case MOSQ_ERR_ERRNO:
        return errnoProblem(error);
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_TLS_HANDSHAKE:
        return "failed the TLS handshake (its certificate is not trusted, or it speaks no TLS)";
    case MOSQ_ERR_PROTOCOL:
    case MOSQ_ERR_MALFORMED_PACKET:
    case MOSQ_ERR_MALFORMED_UTF8:
        return "is not an MQTT server (it answered with something else)";
    case MOSQ_ERR_CONN_LOST:
    case MOSQ_ERR_NO_CONN:
        return "dropped the connection";
    default:
        return mosquitto_strerror(rc);
    }
}

// The words for a CONNACK refusal (MQTT 3.1.1 return codes).
std::string refusalText(int code) {
    switch (code) {
    case 1:
        return "refused the MQTT protocol version";
    case 2:
        return "refused the client name";
    case 3:
        return "is unavailable";
    case 4:
        return "refused the user name or password";
    case 5:
        return "refused the user name or password (not authorised)";
    default:
        return "refused the connection (code " + std::to_string(code) + ")";
    }
}

// One connection: a fresh client per attempt, so the library never resends
// anything on its own; the sink decides what goes out again.
class Connection {
public:
    explicit Connection(const MqttOptions& options, void* owner) : m_options(options) {
        m_mosq = mosquitto_new(options.clientId.empty() ? nullptr : options.clientId.c_str(), true,
                               this);
        m_owner = owner;
    }
    ~Connection() {
        if (m_mosq != nullptr)
            mosquitto_destroy(m_mosq);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    using PublishedFn = void (*)(void* owner, int mid);
    void onPublished(PublishedFn fn) { m_published = fn; }

    // Connects and waits for the broker's answer; empty text on success.
    // Gives up early when `cancel` is set (a sink told to stop).
    std::string open(int timeoutMs, const std::atomic<bool>* cancel = nullptr) {
        if (m_mosq == nullptr)
            return "could not be tried: out of memory";
        const std::string status = m_options.topics.status();
        mosquitto_will_set(m_mosq, status.c_str(), 7, "offline", 1, true);
        if (!m_options.user.empty())
            mosquitto_username_pw_set(m_mosq, m_options.user.c_str(),
                                      m_options.password.empty() ? nullptr
                                                                 : m_options.password.c_str());
        if (m_options.tls) {
            int rc = MOSQ_ERR_SUCCESS;
            if (!m_options.caFile.empty())
                rc = mosquitto_tls_set(m_mosq, m_options.caFile.c_str(), nullptr, nullptr, nullptr,
                                       nullptr);
            else
                rc = mosquitto_int_option(m_mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
            if (rc != MOSQ_ERR_SUCCESS)
                return "could not be tried: the CA file " + m_options.caFile + " cannot be used (" +
                       mosquitto_strerror(rc) + ")";
        }
        mosquitto_connect_callback_set(m_mosq, [](mosquitto*, void* self, int code) {
            auto* c = static_cast<Connection*>(self);
            c->m_answered = true;
            c->m_refusal = code;
        });
        mosquitto_publish_callback_set(m_mosq, [](mosquitto*, void* self, int mid) {
            auto* c = static_cast<Connection*>(self);
            if (c->m_published != nullptr)
                c->m_published(c->m_owner, mid);
        });
        errno = 0;
        int rc = mosquitto_connect_async(m_mosq, m_options.host.c_str(), m_options.port,
                                         kKeepAliveSeconds);
        if (rc != MOSQ_ERR_SUCCESS)
            return problemText(rc, errno);
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!m_answered) {
            if (cancel != nullptr && *cancel)
                return "was left: the sink stopped";
            if (Clock::now() >= deadline)
                return "is not an MQTT server (no answer to the connect within " +
                       std::to_string(timeoutMs / 1000) + " s)";
            errno = 0;
            rc = mosquitto_loop(m_mosq, 100, 1);
            const int error = errno;
            if (rc == MOSQ_ERR_SUCCESS || m_answered)
                continue;
            // Refused or unreachable shows here, the connect being
            // asynchronous; anything else before the broker's answer means
            // the other end speaks no MQTT.
            if ((rc == MOSQ_ERR_ERRNO && error != 0 && error != ECONNRESET && error != EPIPE) ||
                rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE || rc == MOSQ_ERR_EAI)
                return problemText(rc, error);
            return "is not an MQTT server (it closed the connection without an MQTT answer)";
        }
        if (m_refusal != 0)
            return refusalText(m_refusal);
        return {};
    }

    mosquitto* handle() const { return m_mosq; }

private:
    const MqttOptions& m_options;
    mosquitto* m_mosq = nullptr;
    void* m_owner = nullptr;
    PublishedFn m_published = nullptr;
    bool m_answered = false;
    int m_refusal = 0;
};

std::string serverName(const MqttOptions& o) {
    return o.host + ":" + std::to_string(o.port);
}

// libmosquitto's initialisation, once for the process's lifetime.
void initLibrary() {
    static const int once = mosquitto_lib_init();
    (void)once;
}

} // namespace

bool MqttOptions::fromSettings(const Settings& settings, std::string_view location,
                               MqttOptions& out, std::string& error) {
    out = MqttOptions{};
    std::string_view server = settings.mqttServer;
    out.tls = settings.mqttTls;
    out.port = out.tls ? 8883 : 1883;
    std::string_view host = server;
    std::string_view port;
    if (server.starts_with('[')) { // [IPv6]:PORT
        const std::size_t close = server.find(']');
        if (close == std::string_view::npos) {
            error = "The MQTT server " + std::string(server) + " has no closing \"]\".";
            return false;
        }
        host = server.substr(1, close - 1);
        if (server.size() > close + 1 && server[close + 1] == ':')
            port = server.substr(close + 2);
    } else if (const std::size_t colon = server.rfind(':');
               colon != std::string_view::npos && server.find(':') == colon) {
        host = server.substr(0, colon);
        port = server.substr(colon + 1);
    }
    if (host.empty()) {
        error = "No MQTT server is set.";
        return false;
    }
    if (server.find(':') != std::string_view::npos && !server.starts_with('[') &&
        server.find(':') != server.rfind(':')) {
        error = "The MQTT server " + std::string(server) +
                " is not HOST or HOST:PORT (write an IPv6 address in brackets).";
        return false;
    }
    if (!port.empty()) {
        int number = 0;
        const auto r = std::from_chars(port.data(), port.data() + port.size(), number);
        if (r.ec != std::errc{} || r.ptr != port.data() + port.size() || number < 1 ||
            number > 65535) {
            error = "The MQTT server's port " + std::string(port) + " is not 1 to 65535.";
            return false;
        }
        out.port = number;
    }
    out.host = host;
    out.caFile = settings.mqttCa;
    out.user = settings.mqttUser;
    out.password = settings.mqttPassword;
    // The prefix is one topic level, made as the site is: a "+" or "#" in it
    // would make every publish a wildcard the broker refuses, and a "/" an
    // empty level or a level the discovery ids do not expect.
    out.topics = {mqttSite(settings.mqttTopicPrefix()), mqttSite(location)};
    out.discovery = settings.mqttDiscovery;
    out.clientId = "tarvo-" + out.topics.site + "-" + std::to_string(::getpid());
    return true;
}

std::string mqttTestConnection(const MqttOptions& options, int timeoutMs) {
    initLibrary();
    Connection c(options, nullptr);
    const std::string problem = c.open(timeoutMs);
    if (problem.empty()) {
        mosquitto_disconnect(c.handle());
        return {};
    }
    return "The MQTT server " + serverName(options) + " " + problem + ".";
}

MqttSink::MqttSink(MqttOptions options, std::size_t bound)
    : m_options(std::move(options)), m_bound(bound < 1 ? 1 : bound) {
    initLibrary();
    m_thread = std::thread([this] { run(); });
}

std::size_t MqttSink::stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    return status().waiting;
}

std::unique_ptr<MqttSink> startMqttSink(const Settings& settings, std::string_view location,
                                        std::string& error) {
    error.clear();
    MqttOptions options;
    if (settings.mqttServer.empty() ||
        !MqttOptions::fromSettings(settings, location, options, error))
        return nullptr;
    return std::make_unique<MqttSink>(std::move(options));
}

void MqttSink::push(Entry entry, SampleQueue::Push& result) {
    const bool reading = entry.record != nullptr;
    if (reading && m_readings >= m_bound) {
        // The oldest reading not on its way to the broker makes room.
        for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
            if (it->record && it->mid == -1) {
                m_entries.erase(it);
                --m_readings;
                ++m_status.dropped;
                result =
                    m_dropping ? SampleQueue::Push::Dropped : SampleQueue::Push::DroppingStarted;
                m_dropping = true;
                break;
            }
        }
    }
    m_readings += reading ? 1 : 0;
    m_entries.push_back(std::move(entry));
}

SampleQueue::Push MqttSink::queuePass(const std::vector<Reading>& pass) {
    SampleQueue::Push result = SampleQueue::Push::Queued;
    {
        std::lock_guard lock(m_mutex);
        for (const Reading& r : pass) {
            if (!r.record || mqttKindName(r.record->kind).empty())
                continue;
            const LogSample& s = *r.record;
            if (m_options.discovery) {
                const std::string key = std::to_string(s.kind) + " " + r.name;
                auto [it, added] = m_announced.try_emplace(s.address, key);
                if (added || it->second != key) {
                    it->second = key;
                    for (MqttMessage& m :
                         mqttDiscoveryMessages(m_options.topics, s.kind, s.address, r.name))
                        push({std::move(m), nullptr, {}, -1}, result);
                }
            }
            push({{}, r.record, r.name, -1}, result);
            if (m_stateSent.insert(s.address).second)
                push({m_alarms.message(m_options.topics, s.address), nullptr, {}, -1}, result);
        }
    }
    m_wake.notify_all();
    return result;
}

void MqttSink::queueAlarm(const MqttAlarmEvent& event) {
    SampleQueue::Push unused = SampleQueue::Push::Queued;
    {
        std::lock_guard lock(m_mutex);
        push({mqttAlarmMessage(m_options.topics, event), nullptr, {}, -1}, unused);
        m_stateSent.insert(event.address);
        push({m_alarms.add(m_options.topics, event), nullptr, {}, -1}, unused);
    }
    m_wake.notify_all();
}

MqttSink::Status MqttSink::status() const {
    std::lock_guard lock(m_mutex);
    Status s = m_status;
    s.waiting = m_entries.size();
    return s;
}

void MqttSink::run() {
    auto acknowledged = [](void* owner, int mid) {
        auto* self = static_cast<MqttSink*>(owner);
        std::lock_guard lock(self->m_mutex);
        for (Entry& e : self->m_entries) {
            if (e.mid == -1)
                break;
            if (e.mid == mid) {
                e.mid = -2;
                break;
            }
        }
        while (!self->m_entries.empty() && self->m_entries.front().mid == -2) {
            self->m_readings -= self->m_entries.front().record ? 1 : 0;
            self->m_entries.pop_front();
            ++self->m_status.acknowledged;
        }
        if (self->m_entries.empty())
            self->m_dropping = false;
    };

    int backoffMs = 1000;
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        lock.unlock();
        Connection c(m_options, this);
        c.onPublished(acknowledged);
        std::string problem = c.open(kConnackTimeoutMs, &m_stop);
        lock.lock();
        if (!problem.empty()) {
            m_status.connected = false;
            m_status.problem = "The MQTT server " + serverName(m_options) + " " + problem + ".";
            m_wake.wait_for(lock, std::chrono::milliseconds(backoffMs),
                            [&] { return m_stop.load(); });
            backoffMs = std::min(backoffMs * 2, 60000);
            continue;
        }
        backoffMs = 1000;
        m_status.connected = true;
        m_status.problem.clear();
        // What was sent on the lost connection and not acknowledged goes again.
        for (Entry& e : m_entries)
            e.mid = -1;
        mosquitto* mosq = c.handle();
        const std::string statusTopic = m_options.topics.status();
        mosquitto_publish(mosq, nullptr, statusTopic.c_str(), 6, "online", 1, true);

        Clock::time_point stopBy{};
        int rc = MOSQ_ERR_SUCCESS;
        for (;;) {
            int inFlight = 0;
            for (Entry& e : m_entries) {
                if (e.mid == -1) {
                    if (inFlight >= kInFlight)
                        break;
                    if (e.record && e.message.topic.empty())
                        e.message = {m_options.topics.values(e.record->address),
                                     mqttValuesPayload(*e.record, e.name), 1, false};
                    int mid = 0;
                    rc = mosquitto_publish(mosq, &mid, e.message.topic.c_str(),
                                           static_cast<int>(e.message.payload.size()),
                                           e.message.payload.data(), e.message.qos,
                                           e.message.retain);
                    if (rc != MOSQ_ERR_SUCCESS)
                        break;
                    e.mid = mid;
                }
                ++inFlight;
            }
            if (m_stop && stopBy == Clock::time_point{})
                stopBy = Clock::now() + std::chrono::seconds(3);
            if (m_stop && (m_entries.empty() || Clock::now() >= stopBy))
                break;
            lock.unlock();
            errno = 0;
            if (rc == MOSQ_ERR_SUCCESS)
                rc = mosquitto_loop(mosq, m_entries.empty() ? 200 : 20, 1);
            const int error = errno;
            lock.lock();
            if (rc != MOSQ_ERR_SUCCESS) {
                m_status.connected = false;
                m_status.problem =
                    "The MQTT server " + serverName(m_options) + " " + problemText(rc, error) + ".";
                break;
            }
        }
        if (!m_stop)
            continue;
        if (rc == MOSQ_ERR_SUCCESS) {
            // A clean stop: "offline" as the will would say, then goodbye.
            int mid = 0;
            mosquitto_publish(mosq, &mid, statusTopic.c_str(), 7, "offline", 1, true);
            lock.unlock();
            const auto until = Clock::now() + std::chrono::seconds(1);
            while (Clock::now() < until && mosquitto_want_write(mosq))
                mosquitto_loop(mosq, 50, 1);
            mosquitto_loop(mosq, 50, 1);
            mosquitto_disconnect(mosq);
            lock.lock();
        }
    }
}

} // namespace tarvo
