#include "session/panel_overview.h"

#include <ctime>

namespace tarvo {
namespace {

const char* kindText(DeviceKind kind) {
    switch (kind) {
    case BranchMonitor:
        return "Branch monitor";
    case BranchMonitor100A:
        return "Branch monitor 100A";
    case CircuitMeter8:
        return "Circuit meter 8";
    case CircuitMeter6:
        return "Circuit meter 6";
    default:
        return "Other";
    }
}

std::string clockText(std::time_t t) {
    if (t == 0)
        return "never";
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%H:%M:%S", &tm);
    return buf;
}

} // namespace

std::vector<OverviewRow> overviewRows(const std::vector<WatchStatus>& status) {
    std::vector<OverviewRow> rows;
    for (const WatchStatus& s : status) {
        OverviewRow r;
        r.address = s.device.address;
        r.name = s.device.name;
        r.kind = kindText(s.device.kind);
        r.lamp = s.worst;
        r.lampText = !s.read        ? "not read yet"
                     : s.commFailed ? "no answer"
                                    : lampDescription(s.worst);
        r.lastGoodRead = clockText(s.lastGoodRead);
        r.failures = s.failures;
        rows.push_back(std::move(r));
    }
    return rows;
}

} // namespace tarvo
