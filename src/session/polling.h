#pragma once

#include <functional>
#include <string>

#include "session/display.h"

namespace tarvo {

struct AppState;
class BusScan;
class LinkKeeper;
struct MeterReading;
class Operator;
class Transport;

/// The operator's words for a failed read of the device at `address`:
/// "Device at address [3] timed out" for a time-out, else "Device at
/// address [3] read failure - error code [5]".
std::string deviceFailureText(int address, int result);

/// What the polling cycle tells about each poll read of the selected device,
/// right after the read returned and before anything is shown or counted:
/// failed reads too (result not Ok, registers all 0). It must be quick: it
/// runs inside the one-second tick.
class PollObserver {
public:
    virtual ~PollObserver() = default;
    virtual void pollRead(const MeterReading& reading) = 0;
};

/// Where a tick puts what it read.
class PollView {
public:
    virtual ~PollView() = default;
    /// Takes every text and lamp into the form in one step.
    virtual void transfer(const Display& display) = 0;
    /// What the form shows now, as last transferred: a tick starts from it.
    virtual const Display& currentDisplay() const = 0;
};

/// The one-second tick of the main window: reopens the port when the
/// settings asked for it, reads the selected device with the poll read of
/// its kind, counts successes and failures, warns once after five failures
/// in a row, shows the reading and gives the sampling pass its chance.
///
/// Every transaction blocks the caller. The fifth-failure message returns
/// before it is dismissed, so the ticks, the counters and the sampling go on
/// while its box is open; the tick that raised it leaves the display as it
/// was.
class PollingCycle {
public:
    static constexpr int kFailuresBeforeMessage = 5;

    /// `bus` carries the transactions and says whether the port is open;
    /// `scan` opens it when the settings asked for that.
    PollingCycle(AppState& state, Transport& bus, Operator& op, BusScan& scan, PollView& view);

    /// Called by the sampling trigger while file or database logging is on.
    void setSampler(std::function<void()> takeSamples) { m_takeSamples = std::move(takeSamples); }
    /// Told of every poll read (trends and the alarm journal); may be null.
    void setObserver(PollObserver* observer) { m_observer = observer; }

    /// The keeper whose keepOpen() starts every tick (an adapter pulled out
    /// and plugged in again); none in tests of the tick alone.
    void setKeeper(LinkKeeper* keeper) { m_keeper = keeper; }

    void onTimer();

    /// Branch-monitor and circuit-meter poll reads that failed since the
    /// last successful one.
    int consecutiveFailures() const { return m_consecutiveFailures; }

private:
    // Returns false when the fifth-failure message was shown, which leaves
    // the display of this tick as it was.
    bool countMonitoredRead(int result);
    void countPlainRead(int result);
    void showBranchMonitor(const MeterReading& reading);
    void showCircuitMeter(const MeterReading& reading);
    void readNamesInto(DisplayTexts& texts, int address);

    AppState& m_state;
    Transport& m_bus;
    Operator& m_op;
    BusScan& m_scan;
    PollView& m_view;
    std::function<void()> m_takeSamples;
    PollObserver* m_observer = nullptr;
    LinkKeeper* m_keeper = nullptr;
    int m_consecutiveFailures = 0;
};

} // namespace tarvo
