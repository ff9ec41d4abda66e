#pragma once

#include <string>
#include <vector>

#include "devices/meter_list.h"
#include "session/bus_scan.h"
#include "session/polling.h"
#include "support/hex.h"

namespace tarvo::test {

/// Records what the scan asks of the main window.
class RecordingView : public ScanView {
public:
    void meterListChanged(const MeterList& list) override {
        history.push_back(list.lines());
        shownSelection = list.selectedIndex();
        events.push_back("list");
    }
    void repaint() override { events.push_back("repaint"); }
    void refreshFields() override { events.push_back("refresh"); }
    void showBranchLayout() override { events.push_back(layout = "branch"); }
    void showCircuitLayout() override { events.push_back(layout = "circuit"); }
    void namesChanged() override { events.push_back("names"); }
    void devicesNotListed(const std::vector<std::string>& lines) override { notListed = lines; }

    int shownSelection = -1;
    std::vector<std::vector<std::string>> history; ///< every list state shown
    std::string layout;
    std::vector<std::string> events;
    std::vector<std::string> notListed;
};

/// Keeps what the poll last showed.
struct RecordingPollView : PollView {
    void transfer(const Display& display) override {
        shown = display;
        ++transfers;
    }
    const Display& currentDisplay() const override { return shown; }
    Display shown;
    int transfers = 0;
};

} // namespace tarvo::test
