#include "sim/server.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace tarvo::sim {

namespace {

constexpr std::size_t kMaxFrame = 256;
// With nobody on the other end of a pty the master reports a hang-up at once;
// look again at this pace instead of spinning.
constexpr auto kHangupPause = std::chrono::milliseconds(10);

} // namespace

int openServerPty(std::string& slavePath) {
    termios raw{};
    cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    int master = -1, slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, &raw, nullptr) != 0)
        return -1;
    ::tcsetattr(master, TCSANOW, &raw);
    // The slave descriptor is not kept: a program that opens the path takes
    // the line for itself, and may ask for exclusive use.
    ::close(slave);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    slavePath = name;
    return master;
}

LineServer::LineServer(Bus& bus, int fd, std::chrono::microseconds silentInterval)
    : m_bus(bus), m_fd(fd), m_interval(silentInterval) {}

LineServer::~LineServer() {
    stop();
}

bool LineServer::start() {
    if (m_thread.joinable())
        return true;
    if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    m_stopping = false;
    m_thread = std::thread([this] { run(); });
    return true;
}

void LineServer::stop() {
    if (m_thread.joinable()) {
        m_stopping = true;
        const char byte = 1;
        (void)!::write(m_wake[1], &byte, 1);
        m_thread.join();
    }
    for (int& fd : m_wake) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

bool LineServer::waitForStop(std::chrono::microseconds timeout) {
    pollfd wake{m_wake[0], POLLIN, 0};
    const timespec ts = toTimespec(timeout);
    ::ppoll(&wake, 1, &ts, nullptr);
    return m_stopping;
}

void LineServer::writeAll(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size() && !m_stopping) {
        const ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            pollfd out[2] = {{m_fd, POLLOUT, 0}, {m_wake[0], POLLIN, 0}};
            const timespec ts = toTimespec(std::chrono::milliseconds(100));
            ::ppoll(out, 2, &ts, nullptr);
        } else {
            return; // the other end went away; the reply is lost as on a real line
        }
    }
}

void LineServer::serveFrame(const Bytes& frame, bool overflow, Clock::time_point lastByte) {
    if (overflow) {
        m_bus.recordOverflow(frame, lastByte);
        return;
    }
    const Reply reply = m_bus.handleFrame(frame, lastByte);
    for (const ReplyPart& part : reply) {
        if (part.delay.count() > 0 && waitForStop(part.delay))
            return;
        writeAll(part.bytes);
    }
}

void LineServer::run() {
    Bytes frame;
    frame.reserve(kMaxFrame);
    bool overflow = false;
    Clock::time_point lastByte{};
    std::uint8_t chunk[512];

    while (!m_stopping) {
        const auto timeout = frame.empty() ? std::chrono::microseconds(Bus::kLiveStep) : m_interval;
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        const timespec ts = toTimespec(timeout);
        const int ready = ::ppoll(fds, 2, &ts, nullptr);
        if (m_stopping)
            break;
        m_bus.advance(Clock::now());
        if (ready < 0)
            continue; // EINTR
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
            if (n > 0) {
                for (ssize_t i = 0; i < n; ++i) {
                    if (frame.size() < kMaxFrame)
                        frame.push_back(chunk[i]);
                    else
                        overflow = true;
                }
                lastByte = Clock::now();
                continue;
            }
        }
        const bool readFailed = ready > 0 && (fds[0].revents & POLLIN);
        if (readFailed || (ready > 0 && (fds[0].revents & (POLLHUP | POLLERR)))) {
            // Nobody has the line open: whatever was half received is gone.
            frame.clear();
            overflow = false;
            if (waitForStop(kHangupPause))
                break;
            continue;
        }
        if (!frame.empty() && Clock::now() - lastByte >= m_interval) {
            serveFrame(frame, overflow, lastByte);
            frame.clear();
            overflow = false;
        }
    }
}

PtyServer::PtyServer(std::chrono::microseconds silentInterval)
    : m_master(openServerPty(m_slavePath)), m_server(m_bus, m_master, silentInterval) {
    if (m_master < 0)
        throw std::system_error(errno, std::generic_category(), "openpty");
    if (!m_server.start()) {
        ::close(m_master);
        throw std::system_error(errno, std::generic_category(), "server thread");
    }
}

PtyServer::~PtyServer() {
    m_server.stop();
    if (m_master >= 0)
        ::close(m_master);
}

} // namespace tarvo::sim
