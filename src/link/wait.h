#pragma once

#include <chrono>
#include <ctime>

namespace tarvo {

/// The time left until `deadline` (zero once it has passed) as a timespec,
/// the form ppoll and gai_suspend take: waits keep well under a millisecond
/// instead of rounding to poll()'s whole milliseconds.
timespec timeLeft(std::chrono::steady_clock::time_point deadline);

/// Waits until `fd` has the events or the deadline passes, going on after a
/// signal. Returns the revents (0 on time-out), or -1 on error.
int waitFor(int fd, short events, std::chrono::steady_clock::time_point deadline);

} // namespace tarvo
