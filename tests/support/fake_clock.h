#pragma once

#include <ctime>

#include "core/clock.h"

namespace tarvo::test {

/// A clock the test sets by hand; it starts at 07/04/2026 14:05:09 UTC.
struct FakeClock : Clock {
    std::time_t t = 1783173909;
    std::time_t now() const override { return t; }
};

} // namespace tarvo::test
