#include "session/bus_scan.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <thread>

#include "core/operator.h"
#include "devices/register_map.h"
#include "link/open_failure.h"
#include "link/serial_port.h"
#include "link/tcp_link.h"
#include "session/app_state.h"
#include "session/link_keeper.h"
#include "session/quick_scan.h"

namespace tarvo {
namespace {

constexpr std::string_view kComPortFailure = "Com port failure";
constexpr std::string_view kOpenFailureTitle = "Comm Port Open Failure";

// Whole numbers as "%d"; `width` zero-fills like "%02d".
std::string number(int value, std::size_t width = 0) {
    std::string digits = std::to_string(value);
    if (value >= 0 && digits.size() < width)
        digits.insert(0, width - digits.size(), '0');
    return digits;
}

} // namespace

std::string explainOpenFailure(const std::string& portName, const OpenResult& result,
                               int replyTimeoutMs) {
    if (isGatewayName(portName))
        return gatewayFailureText(portName, result,
                                  replyTimeoutMs > 0 ? std::chrono::milliseconds(replyTimeoutMs)
                                                     : TcpLink::kDefaultReplyTimeout);
    const std::string path = SerialPort::devicePath(portName);
    return openFailureText(portName, result, lookUpPortFacts(path, result.error));
}

BusScan::BusScan(AppState& state, Link& bus, Operator& op, ScanView& view, Pause pause)
    : m_state(state), m_bus(bus), m_op(op), m_view(view), m_pause(std::move(pause)) {}

void BusScan::defaultPause(std::chrono::milliseconds d) {
    std::this_thread::sleep_for(d);
}

void BusScan::openPort(const std::string& portName, bool quickScan) {
    LinkState& link = m_state.link;
    if (m_bus.isOpen())
        m_bus.close();
    // A scan asks for an open at most once per pass; with two failures
    // behind it the operator has seen the message twice already.
    if (link.openFailures > 1 && m_state.selection.scanInProgress)
        return;
    Settings& settings = m_state.settings;
    const OpenResult opened = m_bus.open(portName, settings.speedCode, settings.parityCode);
    if (!opened) {
        ++link.openFailures;
        m_op.showMessage(explainOpenFailure(portName, opened, settings.replyTimeout),
                         kOpenFailureTitle);
        return;
    }
    settings.portName = portName;
    link.openFailures = 0;
    link.portLost = false;
    scanBus(quickScan);
}

bool openFromDialog(Link& link, Settings& settings, Operator& op, const std::string& portName) {
    if (link.isOpen())
        link.close();
    const OpenResult opened = link.open(portName, settings.speedCode, settings.parityCode);
    if (!opened) {
        op.showMessage(explainOpenFailure(portName, opened, settings.replyTimeout));
        return false;
    }
    settings.portName = portName;
    return true;
}

void BusScan::readNames(int address) {
    DeviceNames names{m_state.panelName, m_state.boardName};
    tarvo::readNames(m_state.master, m_bus, m_state.devices, address, names);
    m_state.panelName = std::move(names.panel);
    m_state.boardName = std::move(names.board);
    m_view.namesChanged();
}

void BusScan::scanBus(bool quick) {
    Selection& sel = m_state.selection;
    if (sel.scanInProgress)
        return;
    sel.scanInProgress = true;
    m_view.scanRunning(true);

    // A port that went away (adapter pulled out) would answer nothing and
    // empty the list: reopen it first, or say why that cannot be done and
    // keep the list as it is.
    if (m_state.link.portLost || (m_bus.isOpen() && m_bus.lost())) {
        const OpenResult reopened = reopenLink(m_state, m_bus);
        if (!reopened) {
            m_state.link.portLost = true;
            m_op.showMessage(explainOpenFailure(m_state.settings.portName, reopened,
                                                m_state.settings.replyTimeout),
                             kOpenFailureTitle);
            sel.scanInProgress = false;
            m_view.scanRunning(false);
            return;
        }
    }

    if (!m_bus.isOpen()) {
        openPort(m_state.settings.portName);
        m_op.showMessage("Please select a COM port");
        m_view.refreshFields();
        sel.scanInProgress = false;
        m_view.scanRunning(false);
        return;
    }

    MeterList& list = m_state.meters;
    m_notListed.clear();
    {
        BusyCursor busy(m_op);
        list.clear();
        list.setProgress("Searching...");
        m_view.meterListChanged(list);
        m_view.refreshFields();
        m_view.repaint();

        bool firstPending = true;
        // The depth is read again before each address: a timer tick inside
        // a message box may run the Configuration dialog's changes. Addresses
        // above 247 do not exist on a Modbus bus and the master refuses them,
        // so a larger depth scans up to 247.
        const auto depth = [this] { return std::min(m_state.settings.scan, kMaxAddress); };
        for (int address = 1; address <= depth(); ++address) {
            if (m_stopRequested && m_stopRequested())
                break;
            list.setProgress("Searching: " + number(address) + " of " + number(depth()));
            m_view.meterListChanged(list);
            m_view.repaint();
            m_pause(std::chrono::milliseconds(10));

            if (quick && !answersQuickly(m_state, m_bus, address))
                continue;
            int line = -1;
            DeviceKind kind = NoDevice;
            std::string ident;
            const ModbusResult r = listIfMeter(address, line, kind, &ident);
            bool stop = false;
            if (r == Ok) {
                if (line >= 0) {
                    m_view.meterListChanged(list);
                    if (firstPending) {
                        sel.selectedAddress = address;
                        sel.selectedKind = kind;
                        firstPending = false;
                        m_view.repaint();
                        list.select(line);
                        m_view.meterListChanged(list);
                        if (isBranchMonitor(kind))
                            m_view.showBranchLayout();
                        else
                            m_view.showCircuitLayout();
                    }
                    m_view.repaint();
                } else {
                    m_notListed.push_back(notListedLine(address, ident));
                }
            } else if (r == WrongByteCount) {
                m_op.showMessage("Comm port " + m_state.settings.portName + " not properly opened.",
                                 kComPortFailure);
                stop = true;
            } else if (r != Timeout) {
                m_op.showMessage("Address [" + number(address) + "] Returned Error Code [" +
                                     number(r) + "].",
                                 kComPortFailure);
            }
            m_state.trace.requestRepaint();
            if (stop)
                break;
        }

        list.removeProgress();
        m_view.meterListChanged(list);
    }
    for (const std::string& line : m_notListed)
        m_state.trace.recordNote(line);
    if (!m_notListed.empty())
        m_view.devicesNotListed(m_notListed);
    m_view.repaint();
    selectListedDevice();
    m_view.refreshFields();
    sel.scanInProgress = false;
    m_view.scanRunning(false);
}

ModbusResult BusScan::listIfMeter(int address, int& line, DeviceKind& kind, std::string* idText) {
    line = -1;
    kind = NoDevice;
    int slaveId = 0;
    std::array<char, ModbusMaster::kSlaveIdTextSize> text{};
    const ModbusResult r = m_state.master.reportSlaveId(m_bus, address, slaveId, text);
    if (r != Ok)
        return r;
    const std::string ident(text.data(), ::strnlen(text.data(), text.size()));
    if (idText)
        *idText = ident;
    kind = classifyDevice(ident);
    if (isBranchMonitor(kind) || isCircuitMeter(kind)) {
        readNames(address);
        line = m_state.meters.addDevice(number(address, 2) + " - " + m_state.panelName + " [" +
                                        ident + "]");
    }
    return r;
}

void BusScan::selectListedDevice() {
    Selection& sel = m_state.selection;
    const MeterList& list = m_state.meters;
    if (list.selectedIndex() < 0) {
        sel.selectedAddress = -1;
        return;
    }
    m_view.refreshFields();
    m_view.repaint();

    const std::string_view line = list.selectedText();
    sel.selectedKind = classifyDevice(line);
    const int address = MeterList::lineAddress(line);
    if (address < 0) {
        sel.selectedAddress = -1;
        return;
    }
    sel.selectedAddress = address;

    switch (sel.selectedKind) {
    case BranchMonitor:
        sel.ratingMin = 10;
        sel.ratingMax = 50;
        m_view.showBranchLayout();
        break;
    case BranchMonitor100A:
        sel.ratingMin = 10;
        sel.ratingMax = 100;
        m_view.showBranchLayout();
        break;
    case CircuitMeter8:
    case CircuitMeter6:
        m_view.showCircuitLayout();
        break;
    default:
        break;
    }
}

} // namespace tarvo
