#include "session/polling.h"

#include "core/operator.h"
#include "devices/register_map.h"
#include "session/app_state.h"
#include "session/bus_scan.h"
#include "session/link_keeper.h"

namespace tarvo {

PollingCycle::PollingCycle(AppState& state, Transport& bus, Operator& op, BusScan& scan,
                           PollView& view)
    : m_state(state), m_bus(bus), m_op(op), m_scan(scan), m_view(view) {}

void PollingCycle::onTimer() {
    if (m_keeper)
        m_keeper->keepOpen();
    LinkState& link = m_state.link;
    if (link.portReopenRequested) {
        link.portReopenRequested = false;
        m_scan.openPort(m_state.settings.portName);
        if (!m_bus.isOpen())
            return;
    }
    // A lost port is closed but still polled: the reads fail at once and
    // count as failures, as for a device that stopped answering.
    if ((!m_bus.isOpen() && !link.portLost) || m_state.selection.scanInProgress)
        return;

    const Selection& sel = m_state.selection;
    const DeviceKind kind = sel.selectedKind;
    switch (kind) {
    case NoDevice: {
        Display next = m_view.currentDisplay();
        resetIndicators(next.lamps);
        m_view.transfer(next);
        break;
    }
    case BranchMonitor:
    case BranchMonitor100A:
    case CircuitMeter8:
    case CircuitMeter6: {
        const int address = sel.selectedAddress;
        const MeterReading reading = readMeter(m_state.master, m_bus, kind, address);
        if (m_observer)
            m_observer->pollRead(reading);
        if (!countMonitoredRead(reading.result))
            break;
        if (isBranchMonitor(kind))
            showBranchMonitor(reading);
        else
            showCircuitMeter(reading);
        break;
    }
    case TemperatureDevice:
    case EnergyOnlyMeter:
    case FullDataMeter: {
        // The window has no fields for these values; the read only counts.
        const MeterReading reading = readMeter(m_state.master, m_bus, kind, sel.selectedAddress);
        if (m_observer)
            m_observer->pollRead(reading);
        countPlainRead(reading.result);
        Display next = m_view.currentDisplay();
        if (reading.result != Ok)
            showNoData(next);
        else if (kind != EnergyOnlyMeter)
            resetIndicators(next.lamps);
        m_view.transfer(next);
        break;
    }
    }

    const Settings& settings = m_state.settings;
    if ((settings.fileLoggingActive || settings.databaseLogState == Active || m_state.mqtt) &&
        m_takeSamples)
        m_takeSamples();
}

std::string deviceFailureText(int address, int result) {
    const std::string device = "Device at address [" + std::to_string(address) + "]";
    if (result == Timeout)
        return device + " timed out";
    return device + " read failure - error code [" + std::to_string(result) + "]";
}

bool PollingCycle::countMonitoredRead(int result) {
    Counters& c = m_state.counters;
    if (result == Ok) {
        m_consecutiveFailures = 0;
        return true;
    }
    c.lastError = result;
    ++c.badCount;
    if (++m_consecutiveFailures != kFailuresBeforeMessage)
        return true;
    m_op.showMessage(deviceFailureText(m_state.selection.selectedAddress, result),
                     "Communication Failure");
    return false;
}

void PollingCycle::countPlainRead(int result) {
    Counters& c = m_state.counters;
    if (result == Ok) {
        ++c.goodCount;
    } else {
        c.lastError = result;
        ++c.badCount;
    }
}

void PollingCycle::showBranchMonitor(const MeterReading& reading) {
    // Texts are prepared in a copy and transferred in one step, so the
    // fields of one reading appear together.
    Display next = m_view.currentDisplay();
    for (int i = 0; i < kBreakerCount; ++i)
        next.texts.breakers[static_cast<std::size_t>(i)] =
            breakerText(reading.kind, reading.reg(i));
    if (reading.reg(kRegAlarmSummary) != 0)
        showAlarms(next.lamps, reading.kind, reading.registers);
    else
        resetIndicators(next.lamps);
    readNamesInto(next.texts, reading.address);
    if (reading.result != Ok)
        showNoData(next);
    m_view.transfer(next);
}

void PollingCycle::showCircuitMeter(const MeterReading& reading) {
    Display next = m_view.currentDisplay();
    auto& t = next.texts.circuit;
    auto set = [&](CircuitText field, int reg, float factor) {
        t[field] = circuitText(reading.reg(reg), factor);
    };
    set(VoltsAN, kRegVoltsAN, kVoltsScale);
    set(VoltsBN, kRegVoltsBN, kVoltsScale);
    set(VoltsCN, kRegVoltsCN, kVoltsScale);
    set(VoltsLnAvg, kRegVoltsLnAvg, kVoltsScale);
    set(VoltsAB, kRegVoltsAB, kVoltsScale);
    set(VoltsBC, kRegVoltsBC, kVoltsScale);
    set(VoltsCA, kRegVoltsCA, kVoltsScale);
    set(VoltsLlAvg, kRegVoltsLlAvg, kVoltsScale);

    // The CT size decides the scale of every current and power, and the
    // circuit alarm setup uses the value the last poll left.
    m_state.currentScale = currentScaleFor(reading.reg(kRegCtSize));
    const float scale = m_state.currentScale;
    set(CurrentA, kRegCurrentA, scale);
    set(CurrentB, kRegCurrentB, scale);
    set(CurrentC, kRegCurrentC, scale);
    set(CurrentAvg, kRegCurrentAvg, scale);
    t[CurrentN] = neutralText(reading.kind, reading.reg(kRegCurrentN), scale);
    set(PowerKw, kRegRealPower, scale);
    set(PowerKvar, kRegReactivePower, scale);
    set(PowerKva, kRegApparentPower, scale);
    set(PowerPf, kRegPowerFactor, kPowerFactorScale);

    showAlarms(next.lamps, reading.kind, reading.registers);
    readNamesInto(next.texts, reading.address);
    if (reading.result != Ok)
        showNoData(next);
    m_view.transfer(next);
}

void PollingCycle::readNamesInto(DisplayTexts& texts, int address) {
    // The name read is neither counted nor reported.
    DeviceNames names;
    readNames(m_state.master, m_bus, m_state.devices, address, names);
    m_state.panelName = names.panel;
    m_state.boardName = names.board;
    texts.panelName = names.panel;
    texts.boardName = names.board;
}

} // namespace tarvo
