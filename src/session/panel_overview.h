#pragma once

#include <string>
#include <vector>

#include "session/display.h"
#include "session/panel_watch.h"

namespace tarvo {

/// One row of "Panel Overview": a listed device as the watch last saw it.
struct OverviewRow {
    int address = 0;
    std::string name;
    std::string kind;         ///< "Branch monitor", "Circuit meter 8", ...
    Lamp lamp = Lamp::Normal; ///< the worst lamp of the last good read
    std::string lampText;     ///< "normal", "warning", "alarm", "no answer", "not read yet"
    std::string lastGoodRead; ///< local "14:05:09", or "never"
    int failures = 0;

    bool operator==(const OverviewRow&) const = default;
};

/// The overview's rows, one per watched device in list order.
std::vector<OverviewRow> overviewRows(const std::vector<WatchStatus>& status);

} // namespace tarvo
