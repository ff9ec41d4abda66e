#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "devices/device_kind.h"
#include "link/modbus_master.h"

namespace tarvo {

struct AppState;
class Link;
struct OpenResult;
class MeterList;
class Operator;
struct Settings;

/// What the scan needs of the main window. The window implements it with its
/// widgets; tests record the calls.
class ScanView {
public:
    virtual ~ScanView() = default;

    /// The "Available Meters" list changed (lines or selected line): show
    /// `list` as it now is. The widget must not report this selection back
    /// as an operator click.
    virtual void meterListChanged(const MeterList& list) = 0;
    /// Repaint the window now (the scan blocks the event loop).
    virtual void repaint() = 0;
    /// Transfer the value and name texts to the form.
    virtual void refreshFields() = 0;
    /// Breaker view, "Delays" enabled.
    virtual void showBranchLayout() = 0;
    /// Circuit-meter view, "Delays" greyed.
    virtual void showCircuitLayout() = 0;
    /// The name read set AppState::panelName and boardName.
    virtual void namesChanged() = 0;
    /// The scan ended and found devices that answered but are of no listed
    /// kind, one line each as "Not listed: 05 [<identification text>]".
    /// Called only when there is at least one.
    virtual void devicesNotListed(const std::vector<std::string>& lines) { (void)lines; }
    /// A scan began (true) or ended (false): the File menu offers to stop it.
    virtual void scanRunning(bool /*running*/) {}
};

/// Finding the devices on the bus and choosing the one to monitor: the main
/// window's port open, Scan command, list selection and name read, over the
/// process-wide state. Everything runs on the bus thread (BusEngine) and
/// blocks it; AppState's scanInProgress is the only guard.
class BusScan {
public:
    using Pause = std::function<void(std::chrono::milliseconds)>;

    /// The highest Modbus slave address; a scan depth above it scans up to it.
    static constexpr int kMaxAddress = 247;

    /// `bus` carries the transactions and is the port opened and closed
    /// here (the application passes state.port). `pause` waits between
    /// addresses.
    BusScan(AppState& state, Link& bus, Operator& op, ScanView& view, Pause pause = defaultPause);

    /// The main window's open: closes the open port, then opens `portName`
    /// with the speed and parity of the settings. During a scan, after two or
    /// more failures in a row, does nothing and says nothing. A failure
    /// counts and shows explainOpenFailure titled "Comm Port Open
    /// Failure"; a success stores the name in the settings, resets the count
    /// and scans the bus (which does nothing when the open came from a scan).
    /// `quickScan`: the scan after a successful open is a quick one.
    void openPort(const std::string& portName, bool quickScan = false);

    /// The Scan command. Sends Report Slave ID to every address from 1 to the
    /// scan depth (re-read before each address), lists the branch monitors
    /// and circuit meters as "%02d - <name> [<text>]" and selects the first
    /// one found. A nested request does nothing. With no port open it makes
    /// one open attempt and then asks for a port instead of scanning.
    ///
    /// `quick`: the Quick Scan command. Each address is asked with a wait of
    /// the settings' quick_scan_ms for the reply's first byte (50 ms by
    /// default, instead of the 804 ms a silent address costs otherwise);
    /// an address that answers is then asked again as above.
    ///
    /// Devices that answer but are of no listed kind are named after the
    /// scan: each as a note in the trace and to the view (devicesNotListed),
    /// and in notListed().
    void scanBus(bool quick = false);

    /// The "Not listed: ..." lines of the last scan.
    const std::vector<std::string>& notListed() const { return m_notListed; }

    /// Takes the selected list line as the device to monitor: its address
    /// from the line's leading number (1 to 247, else none), its kind from the
    /// text, and the matching view and breaker rating range.
    void selectListedDevice();

    /// Asks `address` for its slave ID; a branch monitor or circuit meter
    /// that answers has its names read and gets its line in the list. Returns
    /// the slave ID request's result, the kind it named in `kind`, the
    /// identification text in `idText` when given, and the added line's
    /// index in `line` (-1 when nothing was listed). Shows
    /// nothing; the scan and the headless logger's probes of unlisted
    /// addresses decide what to say.
    ModbusResult listIfMeter(int address, int& line, DeviceKind& kind,
                             std::string* idText = nullptr);

    /// Reads the names of the device at `address` into AppState and tells
    /// the view.
    void readNames(int address);

    static void defaultPause(std::chrono::milliseconds d);

    /// Asked before each address; when it says stop, the scan ends there
    /// with the devices found so far. A silent bus costs about 0.9 s per
    /// address, so a scan to 247 would otherwise hold a stop for minutes.
    void setStopCheck(std::function<bool()> stopRequested) {
        m_stopRequested = std::move(stopRequested);
    }

private:
    AppState& m_state;
    Link& m_bus;
    Operator& m_op;
    ScanView& m_view;
    Pause m_pause;
    std::function<bool()> m_stopRequested;
    std::vector<std::string> m_notListed;
};

/// "Unable to open <name>" and, on the lines after it, why and what to do,
/// from what the machine tells about the device the name stands for. For a
/// gateway name, `replyTimeoutMs` is how long the connect was given.
std::string explainOpenFailure(const std::string& portName, const OpenResult& result,
                               int replyTimeoutMs = 800);

/// The Configuration dialog's open of `portName`: closes the open port and
/// tries the new one with the speed and parity of `settings`, without
/// counting failures or scanning. A failure shows explainOpenFailure with the
/// program's own title. Returns whether the port is open; on
/// success the name is stored in `settings` and the dialog shows it.
bool openFromDialog(Link& link, Settings& settings, Operator& op, const std::string& portName);

} // namespace tarvo
