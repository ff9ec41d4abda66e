#include "link/wait.h"

#include <algorithm>
#include <cerrno>

#include <poll.h>

namespace tarvo {

timespec timeLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::max(std::chrono::steady_clock::duration(0),
                               deadline - std::chrono::steady_clock::now());
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(left);
    return timespec{static_cast<time_t>(secs.count()),
                    static_cast<long>(std::chrono::nanoseconds(left - secs).count())};
}

int waitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const timespec ts = timeLeft(deadline);
        pollfd p{fd, events, 0};
        const int r = ::ppoll(&p, 1, &ts, nullptr);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        return r == 0 ? 0 : p.revents;
    }
}

} // namespace tarvo
