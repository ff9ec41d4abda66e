#include "link/tcp_link.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/modbus_master.h"
#include "link/wait.h"

namespace tarvo {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::string_view kRtuScheme = "rtu+tcp://";
constexpr std::string_view kModbusScheme = "modbus+tcp://";
constexpr const char* kModbusTcpPort = "502";

// MBAP header: transaction id (2), protocol id (2, always 0), length (2,
// counting the unit id and the PDU), unit id (1). A PDU is at most 253
// bytes, so a length above 254 is no Modbus TCP frame.
constexpr std::size_t kMbapSize = 7;
constexpr std::size_t kMaxMbapLength = 254;

// Connects `fd` (non-blocking) to `address`, waiting until `deadline`.
// Returns 0 or the errno.
int connectBy(int fd, const addrinfo& address, Clock::time_point deadline) {
    if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0)
        return 0;
    if (errno != EINPROGRESS)
        return errno;
    const int ev = waitFor(fd, POLLOUT, deadline);
    if (ev < 0)
        return errno;
    if (ev == 0)
        return ETIMEDOUT;
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        return errno;
    return error;
}

} // namespace

bool isGatewayName(std::string_view name) {
    return name.starts_with(kRtuScheme) || name.starts_with(kModbusScheme);
}

std::optional<GatewayAddress> parseGatewayName(std::string_view name) {
    GatewayAddress a;
    if (name.starts_with(kRtuScheme)) {
        a.mode = GatewayAddress::RtuOverTcp;
        name.remove_prefix(kRtuScheme.size());
    } else if (name.starts_with(kModbusScheme)) {
        a.mode = GatewayAddress::ModbusTcp;
        name.remove_prefix(kModbusScheme.size());
    } else {
        return std::nullopt;
    }
    if (name.ends_with('/'))
        name.remove_suffix(1);
    std::string_view port;
    if (name.starts_with('[')) {
        const auto close = name.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        a.host = name.substr(1, close - 1);
        const std::string_view after = name.substr(close + 1);
        if (!after.empty() && (!after.starts_with(':') || after.size() == 1))
            return std::nullopt;
        port = after.empty() ? after : after.substr(1);
    } else if (std::count(name.begin(), name.end(), ':') == 1) {
        const auto colon = name.find(':');
        a.host = name.substr(0, colon);
        port = name.substr(colon + 1);
        if (port.empty())
            return std::nullopt;
    } else {
        // No colon, or a bare IPv6 literal, which cannot carry a port.
        a.host = name;
    }
    if (a.host.empty())
        return std::nullopt;
    if (port.empty()) {
        if (a.mode == GatewayAddress::RtuOverTcp)
            return std::nullopt;
        a.service = kModbusTcpPort;
        return a;
    }
    if (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c));
        }))
        return std::nullopt;
    const int number = std::stoi(std::string(port));
    if (number < 1 || number > 65535)
        return std::nullopt;
    a.service = std::to_string(number);
    return a;
}

int rtuReplyLength(std::span<const std::uint8_t> frame) {
    if (frame.size() < 2)
        return 0;
    const std::uint8_t function = frame[1];
    if (function & 0x80)
        return 5; // address, function | 80, exception code, CRC
    switch (function) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 17:
    case 20:
    case 21:
    case 23:
        // address, function, byte count, the counted bytes, CRC
        return frame.size() < 3 ? 0 : 5 + frame[2];
    case 5:
    case 6:
    case 15:
    case 16:
        return 8; // address, function, two 16-bit fields, CRC
    default:
        return -1;
    }
}

std::vector<std::uint8_t> modbusTcpRequest(std::span<const std::uint8_t> rtu,
                                           std::uint16_t transaction) {
    if (rtu.size() < 4)
        return {};
    const std::span<const std::uint8_t> pdu = rtu.subspan(1, rtu.size() - 3);
    const std::size_t length = pdu.size() + 1;
    std::vector<std::uint8_t> out = {static_cast<std::uint8_t>(transaction >> 8),
                                     static_cast<std::uint8_t>(transaction & 0xFF),
                                     0,
                                     0,
                                     static_cast<std::uint8_t>(length >> 8),
                                     static_cast<std::uint8_t>(length & 0xFF),
                                     rtu[0]};
    out.insert(out.end(), pdu.begin(), pdu.end());
    return out;
}

std::vector<std::uint8_t> rtuReply(std::span<const std::uint8_t> modbusTcp) {
    std::vector<std::uint8_t> out(modbusTcp.begin() + kMbapSize - 1, modbusTcp.end());
    const std::uint16_t crc = ModbusMaster::crc16(out);
    out.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    out.push_back(static_cast<std::uint8_t>(crc >> 8));
    return out;
}

// getaddrinfo_a runs the lookup in the resolver's own thread, so a name
// server that does not answer costs the time-out, not the resolver's retries
// (5 s a try and server by default) with the window waiting.
struct TcpLink::Lookup {
    std::string host, service;
    addrinfo hints{};
    gaicb request{};

    ~Lookup() {
        if (request.ar_result)
            ::freeaddrinfo(request.ar_result);
    }
};

TcpLink::TcpLink(const int* replyTimeoutMs) : m_replyTimeoutMs(replyTimeoutMs) {}

TcpLink::~TcpLink() {
    close();
    // Waiting here for a silent name server would hold up the program's end
    // by the resolver's retries; a lookup still running keeps its request,
    // which the resolver writes into when it gives up.
    for (std::unique_ptr<Lookup>& lookup : m_unfinished)
        if (::gai_cancel(&lookup->request) == EAI_NOTCANCELED &&
            ::gai_error(&lookup->request) == EAI_INPROGRESS)
            (void)lookup.release();
}

addrinfo* TcpLink::lookUp(const GatewayAddress& gateway, Clock::time_point deadline, int& error) {
    std::erase_if(m_unfinished, [](const std::unique_ptr<Lookup>& lookup) {
        return ::gai_error(&lookup->request) != EAI_INPROGRESS;
    });
    auto lookup = std::make_unique<Lookup>();
    lookup->host = gateway.host;
    lookup->service = gateway.service;
    lookup->hints.ai_family = AF_UNSPEC;
    lookup->hints.ai_socktype = SOCK_STREAM;
    lookup->request.ar_name = lookup->host.c_str();
    lookup->request.ar_service = lookup->service.c_str();
    lookup->request.ar_request = &lookup->hints;
    gaicb* list[] = {&lookup->request};
    if (::getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0) {
        error = EAGAIN;
        return nullptr;
    }
    int status = EAI_INPROGRESS;
    while ((status = ::gai_error(&lookup->request)) == EAI_INPROGRESS && Clock::now() < deadline) {
        const timespec ts = timeLeft(deadline);
        ::gai_suspend(list, 1, &ts);
    }
    if (status == EAI_INPROGRESS) {
        if (::gai_cancel(&lookup->request) == EAI_NOTCANCELED)
            m_unfinished.push_back(std::move(lookup));
        error = EAGAIN;
        return nullptr;
    }
    if (status != 0) {
        // The lookup's errno stayed in the resolver's thread.
        error = status == EAI_AGAIN ? EAGAIN : status == EAI_SYSTEM ? EIO : ENXIO;
        return nullptr;
    }
    addrinfo* found = lookup->request.ar_result;
    lookup->request.ar_result = nullptr;
    return found;
}

std::chrono::milliseconds TcpLink::replyTimeout() const {
    if (m_replyTimeoutMs && *m_replyTimeoutMs > 0)
        return milliseconds(*m_replyTimeoutMs);
    return kDefaultReplyTimeout;
}

OpenResult TcpLink::open(const std::string& name, int, int) {
    close();
    const std::optional<GatewayAddress> gateway = parseGatewayName(name);
    if (!gateway)
        return {false, EINVAL};
    // One deadline for the lookup and every address the name has, so a host
    // with an IPv6 and an IPv4 address that both stay silent still costs
    // one time-out.
    const auto deadline = Clock::now() + replyTimeout();
    int error = 0;
    addrinfo* const found = lookUp(*gateway, deadline, error);
    if (!found)
        return {false, error};
    error = ETIMEDOUT;
    int fd = -1;
    for (const addrinfo* a = found; a && fd < 0 && Clock::now() < deadline; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        error = connectBy(fd, *a, deadline);
        if (error != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    if (fd < 0)
        return {false, error};
    // Requests are small and each waits for its reply: Nagle's algorithm
    // would hold a request back for the previous segment's acknowledgement.
    const int on = 1;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // A gateway that lost power or its cable leaves the connection looking
    // open. Keep-alive probes an idle connection after 20 s, then 4 times 10
    // s apart: a dead peer is found within 20 + 4 x 10 = 60 s. While a
    // request is unacknowledged the probes do not run; the user time-out
    // gives up after the same 60 s instead of the kernel's 15 minutes of
    // retransmissions.
    const int idle = 20, interval = 10, probes = 4;
    const unsigned userTimeoutMs = 60000;
    (void)::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
    m_fd = fd;
    m_lost = false;
    m_mode = gateway->mode;
    m_input.clear();
    m_pending.clear();
    m_wireOut.clear();
    m_wireIn.clear();
    m_answered.reset();
    m_silentInARow = 0;
    return {true, 0};
}

void TcpLink::close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_lost = false;
    m_lostCause.clear();
}

void TcpLink::lose(std::string cause) {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_lost = true;
    m_lostCause = std::move(cause);
}

void TcpLink::loseBy(int error) {
    if (error < 0) {
        // poll saw a hang-up or an error: the socket keeps which.
        socklen_t size = sizeof error;
        if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
            error = 0;
    }
    if (error == 0 || error == EPIPE)
        lose("the gateway closed the connection");
    else if (error == ECONNRESET)
        lose("the gateway reset the connection");
    else
        lose(std::string("the connection failed: ") + std::strerror(error));
}

void TcpLink::drain() {
    m_pending.clear();
    if (m_fd < 0)
        return;
    // Modbus TCP keeps its input: dropping bytes here could cut a frame in
    // two and lose the stream's framing, and the transaction id already
    // sorts late replies out. A connection the gateway closed since the
    // last reply shows as the end of the input; a request sent into it
    // would only draw a reset.
    std::uint8_t next = 0;
    if (m_mode == GatewayAddress::ModbusTcp) {
        // A reset is told once, to the first recv that asks, peeking or not.
        const ssize_t n = ::recv(m_fd, &next, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            loseBy(n == 0 ? 0 : errno);
        return;
    }
    std::array<std::uint8_t, 256> scratch{};
    for (;;) {
        const ssize_t n = ::recv(m_fd, scratch.data(), scratch.size(), MSG_DONTWAIT);
        if (n > 0)
            continue;
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            loseBy(n == 0 ? 0 : errno);
        return;
    }
}

std::size_t TcpLink::write(std::span<const std::uint8_t> bytes) {
    m_wireIn.clear();
    if (m_fd < 0)
        return 0;
    m_requestAddress = bytes.empty() ? 0 : bytes[0];
    if (m_mode == GatewayAddress::ModbusTcp)
        m_wireOut = modbusTcpRequest(bytes, ++m_transaction);
    else
        m_wireOut.assign(bytes.begin(), bytes.end());
    const auto deadline = Clock::now() + replyTimeout();
    std::size_t sent = 0;
    while (sent < m_wireOut.size()) {
        const ssize_t n =
            ::send(m_fd, m_wireOut.data() + sent, m_wireOut.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
            waitFor(m_fd, POLLOUT, deadline) > 0)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            loseBy(errno);
        break;
    }
    if (m_mode == GatewayAddress::ModbusTcp)
        return sent == m_wireOut.size() ? bytes.size() : 0;
    return sent;
}

bool TcpLink::receive(std::vector<std::uint8_t>& into, std::size_t max,
                      Clock::time_point deadline) {
    for (;;) {
        const int ev = waitFor(m_fd, POLLIN, deadline);
        if (ev <= 0)
            return false;
        if (!(ev & POLLIN)) {
            loseBy(-1); // reset or hung up with nothing left to read
            return false;
        }
        const std::size_t had = into.size();
        into.resize(had + max);
        const ssize_t n = ::recv(m_fd, into.data() + had, max, MSG_DONTWAIT);
        into.resize(had + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        if (n > 0)
            return true;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        loseBy(n == 0 ? 0 : errno);
        return false;
    }
}

ReadResult TcpLink::read(std::span<std::uint8_t> buffer, std::size_t& received) {
    received = 0;
    if (m_fd < 0 || buffer.empty())
        return ReadNothing;
    const ReadResult result = m_mode == GatewayAddress::ModbusTcp
                                  ? readModbusTcp(buffer, received, Clock::time_point::max())
                                  : readRtu(buffer, received, Clock::time_point::max());
    noteReply(result);
    return result;
}

void TcpLink::noteReply(ReadResult result) {
    if (m_fd < 0)
        return; // lost already, for its own cause
    if (result != ReadNothing) {
        m_answered.set(static_cast<std::size_t>(m_requestAddress));
        m_silentInARow = 0;
        return;
    }
    if (m_requestAddress == 0 || !m_answered.test(static_cast<std::size_t>(m_requestAddress)))
        return;
    if (++m_silentInARow >= kSilentRepliesToLose)
        lose("no reply to three requests in a row");
}

ReadResult TcpLink::readWithin(std::span<std::uint8_t> buffer, std::size_t& received,
                               std::chrono::milliseconds firstByteWait) {
    received = 0;
    if (m_fd < 0 || buffer.empty())
        return ReadNothing;
    // A quick probe that hears nothing is not a device gone silent: it is
    // not counted towards losing the link.
    const auto first =
        firstByteWait.count() > 0 ? Clock::now() + firstByteWait : Clock::time_point::max();
    return m_mode == GatewayAddress::ModbusTcp ? readModbusTcp(buffer, received, first)
                                               : readRtu(buffer, received, first);
}

ReadResult TcpLink::readRtu(std::span<std::uint8_t> buffer, std::size_t& received,
                            Clock::time_point first) {
    const auto start = Clock::now();
    const auto total = start + replyTimeout() + kReadTotalPerByte * static_cast<int>(buffer.size());
    auto lastByte = start;
    std::size_t count = 0;
    while (count < buffer.size()) {
        const int length = rtuReplyLength(buffer.first(count));
        if (length > 0 && count >= static_cast<std::size_t>(length))
            break;
        auto deadline = total;
        if (length < 0)
            deadline = std::min(total, lastByte + kUnknownFrameGap);
        if (count == 0)
            deadline = std::min(total, first);
        const int ev = waitFor(m_fd, POLLIN, deadline);
        if (ev <= 0)
            break;
        if (!(ev & POLLIN)) {
            loseBy(-1);
            break;
        }
        const ssize_t n = ::recv(m_fd, buffer.data() + count, buffer.size() - count, MSG_DONTWAIT);
        if (n > 0) {
            count += static_cast<std::size_t>(n);
            lastByte = Clock::now();
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            loseBy(n == 0 ? 0 : errno);
            break;
        }
    }
    received = count;
    return count == 0 ? ReadNothing : ReadOk;
}

ReadResult TcpLink::readModbusTcp(std::span<std::uint8_t> buffer, std::size_t& received,
                                  Clock::time_point first) {
    const auto total =
        Clock::now() + replyTimeout() + kReadTotalPerByte * static_cast<int>(buffer.size());
    // Bytes of earlier replies may wait in the input; the first-byte wait
    // ends with the first bytes received during this read.
    bool heard = false;
    while (m_pending.empty()) {
        // Take the complete frames received so far; a reply to an earlier
        // request (its transaction id is not the last one) is skipped.
        while (m_pending.empty() && m_input.size() >= kMbapSize) {
            const std::size_t protocol = m_input[2] << 8 | m_input[3];
            const std::size_t length = m_input[4] << 8 | m_input[5];
            if (protocol != 0 || length < 2 || length > kMaxMbapLength) {
                // No Modbus TCP frame: where the next one starts cannot be
                // known, so the connection is given up at once (anything
                // read from it later could be the middle of a frame) and
                // made anew.
                char cause[120];
                std::snprintf(cause, sizeof cause,
                              protocol != 0 ? "the gateway sent no Modbus TCP frame (protocol id "
                                              "%zu, not 0)"
                                            : "the gateway sent no Modbus TCP frame (length %zu, "
                                              "not 2 to 254)",
                              protocol != 0 ? protocol : length);
                m_wireIn.insert(m_wireIn.end(), m_input.begin(), m_input.end());
                m_input.clear();
                lose(cause);
                return ReadNothing;
            }
            const std::size_t size = kMbapSize - 1 + length;
            if (m_input.size() < size)
                break;
            const std::uint16_t transaction =
                static_cast<std::uint16_t>(m_input[0] << 8 | m_input[1]);
            const auto frame = std::span<const std::uint8_t>(m_input).first(size);
            // The trace shows skipped replies too, ahead of the one taken.
            m_wireIn.insert(m_wireIn.end(), frame.begin(), frame.end());
            if (transaction == m_transaction)
                m_pending = rtuReply(frame);
            m_input.erase(m_input.begin(), m_input.begin() + static_cast<std::ptrdiff_t>(size));
        }
        if (m_pending.empty() && !receive(m_input, kMbapSize - 1 + kMaxMbapLength,
                                          heard ? total : std::min(total, first))) {
            // What came of a reply cut short, for the trace.
            m_wireIn.insert(m_wireIn.end(), m_input.begin(), m_input.end());
            return ReadNothing;
        }
        heard = true;
    }
    received = std::min(m_pending.size(), buffer.size());
    std::copy_n(m_pending.begin(), received, buffer.begin());
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(received));
    return ReadOk;
}

} // namespace tarvo
