#include "child_process.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tarvo::test {

using Clock = std::chrono::steady_clock;

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& outputPath)
    : m_outputPath(outputPath) {
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int out = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(out, 1);
        ::dup2(out, 2);
        // The test's own blocked signals must not leak into the peer.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    if (out >= 0)
        ::close(out);
}

ChildProcess::~ChildProcess() {
    if (m_pid <= 0 || m_reaped)
        return;
    ::kill(m_pid, SIGTERM);
    if (wait(std::chrono::seconds(2)) == -1 && !m_reaped) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
}

std::string ChildProcess::output() const {
    std::ifstream in(m_outputPath);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool ChildProcess::reaped() {
    if (!m_reaped && m_pid > 0 && ::waitpid(m_pid, &m_status, WNOHANG) == m_pid)
        m_reaped = true;
    return m_reaped;
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (output().find(text) == std::string::npos) {
        if (reaped() || Clock::now() >= deadline)
            return output().find(text) != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!reaped()) {
        if (Clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
}

void ChildProcess::signal(int sig) {
    if (m_pid > 0 && !m_reaped)
        ::kill(m_pid, sig);
}

int runProgram(const std::vector<std::string>& argv, std::string& output,
               std::chrono::milliseconds timeout) {
    TempDir dir;
    ChildProcess child(argv, dir.file("output"));
    const int status = child.wait(timeout);
    output = child.output();
    return status;
}

} // namespace tarvo::test
