#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace tarvo::test {

/// Puts the process in the time zone `tz` (a TZ value) for its lifetime and
/// restores the previous one. Local-time conversions of the tests in one
/// program then never depend on the machine's zone or on each other.
class LocalZone {
public:
    explicit LocalZone(const char* tz) {
        if (const char* old = std::getenv("TZ"))
            m_old = old;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~LocalZone() {
        if (m_old)
            ::setenv("TZ", m_old->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    LocalZone(const LocalZone&) = delete;
    LocalZone& operator=(const LocalZone&) = delete;

private:
    std::optional<std::string> m_old;
};

/// The calendar time of a local wall-clock time in the current zone; in a
/// repeated hour `isdst` picks the first (1) or second (0) run.
inline std::time_t localTime(int year, int month, int day, int hour, int minute, int second,
                             int isdst = -1) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = isdst;
    return std::mktime(&tm);
}

/// "%H:%M:%S" of `t` in local time.
inline std::string clockText(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &tm);
    return text;
}

} // namespace tarvo::test
