#pragma once

#include <QDialog>
#include <memory>

#include "link/comm_trace.h"
#include "link/counters.h"

namespace Ui {
class TraceWindow;
}

namespace tarvo {

/// "Modbus Protocol Communication": the last four transactions, oldest first,
/// each on two lines, with the read counters and the last error. Modeless;
/// deletes itself when closed. While it exists and is not frozen, the trace
/// is live and every transaction asks it to repaint.
class TraceWindow : public QDialog {
    Q_OBJECT

public:
    TraceWindow(CommTrace& trace, const Counters& counters, QWidget* parent = nullptr);
    ~TraceWindow() override;

    /// Fills the text area and the counter fields from the trace and counters.
    void paint();

    /// paint() and an immediate repaint, for callers that block the event
    /// loop (the bus scan).
    void paintNow();

private:
    void setFrozen(bool frozen);

    std::unique_ptr<Ui::TraceWindow> m_ui;
    CommTrace& m_trace;
    const Counters& m_counters;
};

} // namespace tarvo
