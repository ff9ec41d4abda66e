#pragma once

#include <string>
#include <vector>

#include "devices/bus_scan.h"
#include "devices/meter_list.h"

namespace tarvo::test {

/// Records what the scan asks of the main window.
class RecordingView : public ScanView {
public:
    void meterListChanged(const MeterList& list) override {
        shownLines = list.lines();
        shownSelection = list.selectedIndex();
        history.push_back(shownLines);
        events.push_back("list");
    }
    void repaint() override { events.push_back("repaint"); }
    void refreshFields() override { events.push_back("refresh"); }
    void showBranchLayout() override {
        layout = "branch";
        events.push_back("branch");
    }
    void showCircuitLayout() override {
        layout = "circuit";
        events.push_back("circuit");
    }
    void namesChanged() override { events.push_back("names"); }

    int count(const std::string& event) const {
        int n = 0;
        for (const auto& e : events)
            n += e == event;
        return n;
    }

    std::vector<std::string> shownLines;
    int shownSelection = -1;
    std::vector<std::vector<std::string>> history; ///< every list state shown
    std::string layout;
    std::vector<std::string> events;
};

} // namespace tarvo::test
