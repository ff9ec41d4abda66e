#include "sim/tcp_server.h"

#include <cerrno>
#include <system_error>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tarvo::sim {

namespace {

constexpr std::size_t kMaxFrame = 256;
// A request of no known length ends after this much silence, as on a pty.
constexpr auto kSilence = std::chrono::milliseconds(5);
constexpr std::uint8_t kGatewayTargetFailed = 0x0B;

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

struct TcpServer::Client {
    int fd;
    Bytes input;
    Clock::time_point lastByte{};
};

int rtuRequestLength(std::span<const std::uint8_t> frame) {
    if (frame.size() < 2)
        return 0;
    switch (frame[1]) {
    case 3:
    case 4:
    case 5:
    case 6:
        return 8; // address, function, two 16-bit fields, CRC
    case 17:
        return 4; // address, function, CRC
    case 15:
    case 16:
        // address, function, first, count, byte count, the bytes, CRC
        return frame.size() < 7 ? 0 : 9 + frame[6];
    default:
        return -1;
    }
}

int freeLoopbackPort() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    const bool ok = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n) == 0;
    ::close(s);
    return ok ? ntohs(a.sin_port) : 0;
}

TcpServer::TcpServer(Bus& bus, GatewayMode mode, int port) : m_bus(bus), m_mode(mode) {
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listen < 0)
        fail("socket");
    const int on = 1;
    ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    socklen_t size = sizeof address;
    if (::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listen, 8) != 0 ||
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        ::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        const int error = errno;
        ::close(m_listen);
        errno = error;
        fail("listen");
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { run(); });
}

TcpServer::~TcpServer() {
    m_stopping = true;
    const char byte = 1;
    (void)!::write(m_wake[1], &byte, 1);
    if (m_thread.joinable())
        m_thread.join();
    for (int fd : {m_listen, m_wake[0], m_wake[1]})
        ::close(fd);
}

std::string TcpServer::portName() const {
    return std::string(m_mode == GatewayMode::ModbusTcp ? "modbus+tcp://" : "rtu+tcp://") +
           "127.0.0.1:" + std::to_string(m_port);
}

bool TcpServer::waitForStop(std::chrono::microseconds timeout) {
    pollfd wake{m_wake[0], POLLIN, 0};
    const timespec ts = toTimespec(timeout);
    ::ppoll(&wake, 1, &ts, nullptr);
    return m_stopping;
}

void TcpServer::sendAll(int fd, const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size() && !m_stopping) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd out{fd, POLLOUT, 0};
            ::poll(&out, 1, 100);
        } else {
            return; // the master went away; the reply is lost
        }
    }
}

void TcpServer::serveRtu(Client& client, bool silenceEnded) {
    while (!client.input.empty()) {
        const int length = rtuRequestLength(client.input);
        std::size_t take = 0;
        if (length > 0 && client.input.size() >= static_cast<std::size_t>(length))
            take = static_cast<std::size_t>(length);
        else if (silenceEnded || client.input.size() > kMaxFrame)
            take = client.input.size();
        if (take == 0)
            return;
        const Bytes frame(client.input.begin(), client.input.begin() + static_cast<long>(take));
        client.input.erase(client.input.begin(), client.input.begin() + static_cast<long>(take));
        if (frame.size() > kMaxFrame) {
            m_bus.recordOverflow(frame, client.lastByte);
            continue;
        }
        for (const ReplyPart& part : m_bus.handleFrame(frame, client.lastByte)) {
            if (part.delay.count() > 0 && waitForStop(part.delay))
                return;
            sendAll(client.fd, part.bytes);
        }
    }
}

bool TcpServer::serveModbusTcp(Client& client) {
    Bytes& in = client.input;
    while (in.size() >= 7) {
        const std::size_t protocol = in[2] << 8 | in[3];
        const std::size_t length = in[4] << 8 | in[5];
        if (protocol != 0 || length < 2 || length > 254)
            return false;
        if (in.size() < 6 + length)
            return true;
        // unit id + PDU + CRC, as the gateway puts it on the bus
        Bytes request(in.begin() + 6, in.begin() + 6 + static_cast<long>(length));
        appendCrc(request);
        const Bytes header(in.begin(), in.begin() + 4);
        in.erase(in.begin(), in.begin() + 6 + static_cast<long>(length));

        Bytes reply;
        std::chrono::milliseconds delay{0};
        for (const ReplyPart& part : m_bus.handleFrame(request, client.lastByte)) {
            delay += part.delay;
            reply.insert(reply.end(), part.bytes.begin(), part.bytes.end());
        }
        if (reply.empty())
            continue; // silence stays silence
        if (!frameIntact(reply))
            reply = exceptionReply(request[0], request[1], kGatewayTargetFailed);
        if (delay.count() > 0 && waitForStop(delay))
            return true;
        const std::size_t pduLength = reply.size() - 2; // unit id + PDU
        Bytes frame = header;
        frame.push_back(static_cast<std::uint8_t>(pduLength >> 8));
        frame.push_back(static_cast<std::uint8_t>(pduLength & 0xFF));
        frame.insert(frame.end(), reply.begin(), reply.end() - 2);
        sendAll(client.fd, frame);
    }
    return true;
}

void TcpServer::run() {
    std::vector<Client> clients;
    std::uint8_t chunk[512];
    while (!m_stopping) {
        if (m_dropRequested.exchange(false)) {
            for (const Client& c : clients)
                ::close(c.fd);
            clients.clear();
        }
        bool waiting = false; // a request of unknown length waits for silence
        std::vector<pollfd> fds{{m_wake[0], POLLIN, 0}, {m_listen, POLLIN, 0}};
        for (const Client& c : clients) {
            fds.push_back({c.fd, POLLIN, 0});
            waiting = waiting || !c.input.empty();
        }
        const timespec ts = toTimespec(waiting ? std::chrono::microseconds(kSilence)
                                               : std::chrono::microseconds(Bus::kLiveStep));
        const int ready = ::ppoll(fds.data(), fds.size(), &ts, nullptr);
        if (m_stopping)
            break;
        m_bus.advance(Clock::now());
        if (ready < 0)
            continue; // EINTR
        if (fds[1].revents & POLLIN) {
            const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                const int on = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                clients.push_back({fd, {}, {}});
            }
        }
        for (std::size_t i = 0; i < clients.size(); ++i) {
            Client& c = clients[i];
            const short events = i + 2 < fds.size() ? fds[i + 2].revents : 0;
            bool keep = true;
            if (events & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = ::recv(c.fd, chunk, sizeof chunk, MSG_DONTWAIT);
                if (n > 0) {
                    c.input.insert(c.input.end(), chunk, chunk + n);
                    c.lastByte = Clock::now();
                } else if (!(n < 0 && (errno == EAGAIN || errno == EINTR))) {
                    keep = false;
                }
            }
            if (keep && m_mode == GatewayMode::ModbusTcp)
                keep = serveModbusTcp(c);
            else if (keep)
                serveRtu(c, Clock::now() - c.lastByte >= kSilence);
            if (!keep) {
                ::close(c.fd);
                c.fd = -1;
            }
        }
        std::erase_if(clients, [](const Client& c) { return c.fd < 0; });
    }
    for (const Client& c : clients)
        ::close(c.fd);
}

} // namespace tarvo::sim
