#pragma once

#include <ctime>

namespace tarvo {

/// Where the sampling pass gets the time. The program uses the system
/// clock; tests step a fake one through the hour.
class Clock {
public:
    virtual ~Clock() = default;
    /// The current calendar time, seconds since 1970-01-01 00:00:00 UTC.
    virtual std::time_t now() const = 0;
};

class SystemClock : public Clock {
public:
    std::time_t now() const override { return std::time(nullptr); }
};

} // namespace tarvo
