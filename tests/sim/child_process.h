#pragma once

#include "support/temp_dir.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace tarvo::test {

/// A peer program a test starts and stops by its pid. Its stdout and stderr
/// go to one file the test reads. The destructor sends SIGTERM, waits up to
/// 2 s, then SIGKILL.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::string& outputPath);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    /// Everything the child wrote so far.
    std::string output() const;
    /// Waits until the output contains `text`; false after `timeout` or when
    /// the child ended first.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout);
    /// Waits for the child to end; its exit status, or -1 when it was killed
    /// by a signal or is still running after `timeout`.
    int wait(std::chrono::milliseconds timeout);
    /// Sends `signal` to the child.
    void signal(int sig);

private:
    bool reaped(); // true once the child has ended and been waited for

    int m_pid = -1;
    bool m_reaped = false;
    int m_status = 0;
    std::string m_outputPath;
};

/// Runs a program to its end (at most `timeout`); returns its exit status
/// (-1 if it had to be killed) and its output in `output`.
int runProgram(const std::vector<std::string>& argv, std::string& output,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));

/// A line-based client of the simulator's control socket.
class ControlClient {
public:
    explicit ControlClient(const std::string& path) {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~ControlClient() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool connected() const { return m_fd >= 0; }

    // Sends text without reading any answer; true once the first answer
    // byte is waiting unread.
    bool sendUnread(const std::string& text) {
        pollfd p{m_fd, POLLIN, 0};
        return ::send(m_fd, text.data(), text.size(), MSG_NOSIGNAL) > 0 && ::poll(&p, 1, 10000) > 0;
    }

    // Sends one command; returns the whole answer up to its "ok" or "error" line.
    std::string command(const std::string& line) {
        const std::string text = line + "\n";
        if (::send(m_fd, text.data(), text.size(), MSG_NOSIGNAL) < 0)
            return "send failed";
        std::string answer;
        char buf[4096];
        for (int waits = 0; waits < 50; ++waits) {
            if (answer == "ok\n" || answer.ends_with("\nok\n") ||
                (answer.find("error:") != std::string::npos && answer.ends_with("\n")))
                break;
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            answer.append(buf, static_cast<std::size_t>(n));
        }
        return answer;
    }

private:
    int m_fd = -1;
};

} // namespace tarvo::test
