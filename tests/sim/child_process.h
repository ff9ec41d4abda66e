#pragma once

#include "support/temp_dir.h"

#include <chrono>
#include <string>
#include <vector>

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

} // namespace tarvo::test
