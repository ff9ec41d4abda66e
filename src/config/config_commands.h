#pragma once

#include <cstdint>
#include <span>

namespace tarvo {

class DeviceTable;
class ModbusMaster;
class Operator;
class Transport;

/// The five configuration forms.
enum class ConfigFormKind {
    BreakerAlarmSetup,
    BreakerAlarmDelay,
    CircuitAlarmSetup,
    BranchPanelConfig,
    CircuitPanelConfig,
};

/// Opens a configuration form modally for the selected device and returns
/// when it closes. The widgets implement it; tests record the calls.
class ConfigFormOpener {
public:
    virtual ~ConfigFormOpener() = default;
    virtual void openForm(ConfigFormKind form) = 0;
};

/// Where the alarm reset hands the poll block it read back, so the main
/// window can set its lamps from it as a poll would.
class AlarmLampDisplay {
public:
    virtual ~AlarmLampDisplay() = default;
    /// `registers` is the branch monitor's block 0-48 (49 values) or the
    /// circuit meter's block 0-36 (37 values). After a failed read it is all
    /// zero, exactly as a failed poll leaves it, so the lamps show normal
    /// until the next tick reads the device's real state.
    virtual void showAlarmsAfterReset(std::span<const std::int32_t> registers) = 0;
};

/// The device-configuration commands of the "Config" menu. Each looks at the
/// selected address and at the slave-ID byte the bus scan recorded for it.
class ConfigCommands {
public:
    static constexpr const char* kNoMeterToConfigure =
        "You must select a valid meter before attempting to configure it!";
    static constexpr const char* kNoMeterToReset = "There is no valid meter selected to reset!";
    static constexpr const char* kNoMeterForAlarms =
        "You must select a valid meter before configuring alarms!";

    ConfigCommands(ModbusMaster& master, Transport& port, const DeviceTable& devices, Operator& op,
                   ConfigFormOpener& forms, AlarmLampDisplay& lamps)
        : m_master(master), m_port(port), m_devices(devices), m_op(op), m_forms(forms),
          m_lamps(lamps) {}

    /// Config > Panel: the branch or the circuit "Panel Configuration".
    void onPanelConfig(int selectedAddress);

    /// Config > Alarms > Reset: clears the flag registers (43-48 of a branch
    /// monitor, 36 of a circuit meter), reads the poll block back and hands
    /// it to the lamps; any other device gets no traffic at all. No result
    /// is examined and nothing is reported.
    void onAlarmReset(int selectedAddress);

    /// Config > Alarms > Setpoints: the breaker or the circuit "Alarm Setup".
    void onAlarmSetpoints(int selectedAddress);

    /// Config > Alarms > Delays: always the breaker "Alarm Delay Setup"; the
    /// main window greys the item in the circuit layout.
    void onAlarmDelays(int selectedAddress);

private:
    ModbusMaster& m_master;
    Transport& m_port;
    const DeviceTable& m_devices;
    Operator& m_op;
    ConfigFormOpener& m_forms;
    AlarmLampDisplay& m_lamps;
};

} // namespace tarvo
