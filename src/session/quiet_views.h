#pragma once

// An operator and views that show nothing, for what runs the session's scan
// and polling without a window: the headless logger (it reports on its
// own), the screenshot maker and the tick bench.

#include "core/operator.h"
#include "session/bus_scan.h"
#include "session/polling.h"

namespace tarvo {

struct QuietOperator : Operator {
    void showMessage(std::string_view, std::string_view) override {}
    void beginBusy() override {}
    void endBusy() override {}
};

struct NullView : ScanView, PollView {
    void meterListChanged(const MeterList&) override {}
    void repaint() override {}
    void refreshFields() override {}
    void showBranchLayout() override {}
    void showCircuitLayout() override {}
    void namesChanged() override {}
    void transfer(const Display& display) override { shown = display; }
    const Display& currentDisplay() const override { return shown; }
    Display shown;
};

} // namespace tarvo
