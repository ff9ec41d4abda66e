#include "config/config_commands.h"

#include <array>

#include "config/config_registers.h"
#include "core/operator.h"
#include "devices/device_kind.h"
#include "link/device_table.h"
#include "link/modbus_master.h"

namespace tarvo {
namespace {

// Poll blocks, read exactly as the polling cycle reads them.
constexpr int kBranchPollCount = 49;
constexpr int kCircuitPollCount = 37;

} // namespace

void ConfigCommands::onPanelConfig(int selectedAddress) {
    if (selectedAddress < 1) {
        m_op.showMessage(kNoMeterToConfigure);
        return;
    }
    m_forms.openForm(isBranchMonitor(m_devices.slaveId(selectedAddress))
                         ? ConfigFormKind::BranchPanelConfig
                         : ConfigFormKind::CircuitPanelConfig);
}

void ConfigCommands::onAlarmSetpoints(int selectedAddress) {
    if (selectedAddress < 1) {
        m_op.showMessage(kNoMeterForAlarms);
        return;
    }
    m_forms.openForm(isBranchMonitor(m_devices.slaveId(selectedAddress))
                         ? ConfigFormKind::BreakerAlarmSetup
                         : ConfigFormKind::CircuitAlarmSetup);
}

void ConfigCommands::onAlarmDelays(int selectedAddress) {
    if (selectedAddress < 1) {
        m_op.showMessage(kNoMeterForAlarms);
        return;
    }
    m_forms.openForm(ConfigFormKind::BreakerAlarmDelay);
}

void ConfigCommands::onAlarmReset(int selectedAddress) {
    if (selectedAddress < 1) {
        m_op.showMessage(kNoMeterToReset);
        return;
    }
    BusyCursor busy(m_op);
    const int slaveId = m_devices.slaveId(selectedAddress);
    int count = 0;
    if (isBranchMonitor(slaveId)) {
        for (int i = 0; i < ConfigRegisters::kBranchFlagsCount; ++i)
            (void)m_master.writeSingleRegister(m_port, selectedAddress,
                                               ConfigRegisters::kBranchFlagsFirst + i, 0);
        count = kBranchPollCount;
    } else if (isCircuitMeter(slaveId)) {
        (void)m_master.writeSingleRegister(m_port, selectedAddress,
                                           ConfigRegisters::kCircuitAlarmFlags, 0);
        count = kCircuitPollCount;
    } else {
        return;
    }
    std::array<std::int32_t, kBranchPollCount> block{};
    if (m_master.readHoldingRegisters(m_port, selectedAddress, 0, count, block) != Ok)
        block.fill(0);
    m_lamps.showAlarmsAfterReset(
        std::span<const std::int32_t>(block).first(static_cast<std::size_t>(count)));
}

} // namespace tarvo
