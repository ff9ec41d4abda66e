#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "config/config_form.h"
#include "config/config_registers.h"
#include "devices/device_kind.h"

namespace tarvo {

class Operator;

/// The values of the circuit meter's "Alarm Setup" form.
///
/// Limits are single-precision values. Reading forms the product of the
/// register and its single-precision factor (0.01 or `CurrentScale`) in
/// double precision and rounds it to single; writing multiplies by 100 or
/// divides by `CurrentScale` in double precision and truncates toward zero.
/// Changes are found by comparing single-precision values exactly.
class CircuitAlarmForm : public ConfigForm {
public:
    /// Limits in register order, 30 to 35.
    enum Limit { VoltageOver, VoltageUnder, CurrentOver, CurrentUnder, KvaOver, KvaUnder };
    static constexpr int kLimits = 6;

    /// The seven "Critical" boxes.
    enum Critical {
        CriticalCurrentOver,
        CriticalCurrentUnder,
        CriticalKvaOver,
        CriticalKvaUnder,
        CriticalVoltageOver,
        CriticalVoltageUnder,
        CriticalPhaseLoss,
    };
    static constexpr int kCriticalBoxes = 7;
    /// Bits 0 to 8 of the critical mask are boxes; 9 to 15 are always 0.
    static constexpr std::int32_t kCriticalMaskBits = 0x1FF;
    /// Limits and the phase loss threshold as the fields take them.
    static constexpr int kLimitMaximum = 65535;

    /// Field indices in validation order.
    enum Field {
        PanelNameField,
        BoardNameField,
        CurrentOverField,
        CurrentUnderField,
        VoltageOverField,
        VoltageUnderField,
        KvaOverField,
        KvaUnderField,
        PhaseLossField,
        kFieldCount,
    };

    /// Opening: names, the limit block 30-37 and the critical mask 73.
    /// `currentScale` is the factor the last circuit-meter poll chose.
    void open(ConfigRegisters& regs, const std::string& sharedPanelName,
              const std::string& sharedBoardName, float currentScale);

    /// The writes OK makes, in order: changed limits 30-35, the phase loss
    /// threshold 37, the mask 73. With a current scale of 0 a changed current
    /// or KVA limit has no register value and is left out.
    std::vector<RegisterWrite> changedWrites(float currentScale) const;

    /// OK's write pass under the busy cursor.
    void writeChanged(ConfigRegisters& regs, Operator& op, float currentScale);

    /// The mask the boxes stand for; bits 9 to 15 are always 0.
    std::int32_t criticalMask() const;
    /// The boxes from a mask read from the device (or its failure fill).
    void setCriticalBoxes(std::int32_t mask);

    static float limitFromRegister(Limit limit, std::int32_t reg, float currentScale);

    std::array<float, kLimits> limits{};
    std::int32_t phaseLossThreshold = 0;
    std::array<bool, kCriticalBoxes> critical{};
    std::string panelName;
    std::string boardName;

    std::array<float, kLimits> lastLimits{};
    float lastPhaseLossThreshold = 0;
    std::int32_t lastCriticalMask = 0;

protected:
    std::vector<FieldBinding> bindings() override;
};

/// The values of the circuit meter's "Panel Configuration" form.
class CircuitPanelForm : public ConfigForm {
public:
    enum class Box { Unchecked, Checked, Indeterminate };
    static constexpr int kMeters = 8;
    static constexpr int kCtSizeMinimum = 1;
    static constexpr int kCtSizeMaximum = 5999;
    /// Bit 15 of register 72: the device forbids changing the board name and
    /// the meter selection.
    static constexpr std::int32_t kEditLock = 0x8000;

    /// The bits of register 72 that the Meter Enable SET writes: meters 1 to
    /// 8 on a CircuitMeter8, 1 to 6 on anything else.
    static std::int32_t meterBits(DeviceKind kind) { return kind == CircuitMeter8 ? 0xFF : 0x3F; }

    enum Field {
        HeaderPanelNameField,
        PanelNameField,
        HeaderBoardNameField,
        BoardNameField,
        CtSizeField,
        kFieldCount,
    };

    /// The text shown after the Meter Enable SET, whatever the write's result.
    static constexpr const char* kNetworkDisplayMessage =
        "When using a network display, you should perform a\r\n'FIND METERS' operation at the "
        "display after changing meter selection\r\nsettings.  Otherwise, comms failures may "
        "occur.";

    /// Opening, under the busy cursor: names, firmware and serial number
    /// lines, then the refresh.
    void open(ConfigRegisters& regs, Operator& op, std::string& sharedPanelName,
              std::string& sharedBoardName, DeviceKind kind);

    /// Names, CT size (29) and meter enables (72), under the busy cursor.
    ///
    /// A failed CT-size read shows -1, like every other failed read, which
    /// the range check then refuses rather than letting a stale size be
    /// written. A failed meter-enable read shows boxes 2 to 8 indeterminate
    /// and locks editing, so no SET can write a selection built from a
    /// state the form never saw.
    void refresh(ConfigRegisters& regs, Operator& op, std::string& sharedPanelName,
                 std::string& sharedBoardName);

    void setBoardName(ConfigRegisters& regs, Operator& op, std::string& sharedPanelName,
                      std::string& sharedBoardName);
    void setPanelName(ConfigRegisters& regs, Operator& op, std::string& sharedPanelName,
                      std::string& sharedBoardName);
    /// CT Size SET: register 29, no re-read.
    void setCtSize(ConfigRegisters& regs);
    /// Meter Enable SET: the register value to 72, the refresh, then the
    /// network display message.
    void setMeterEnable(ConfigRegisters& regs, Operator& op, std::string& sharedPanelName,
                        std::string& sharedBoardName);

    /// A click on box `meter` (1 to 8); the box does not change by itself.
    void clickBox(int meter);

    /// The boxes as register 72: bit 0 always set, bits 1 to 5 for boxes 2
    /// to 6 that are not unchecked, bits 6 and 7 for boxes 7 and 8 on a
    /// CircuitMeter8 only, bits 8 to 15 clear.
    std::int32_t meterEnableValue() const;
    /// Boxes and `editingAllowed` from register 72.
    void setBoxes(std::int32_t reg);

    std::string headerPanelName;
    std::string panelNameEdit;
    std::string headerBoardName;
    std::string boardNameEdit;
    std::int32_t ctSize = 0;
    std::string firmwareLine;
    std::string serialLine;
    std::array<Box, kMeters> boxes{};
    bool editingAllowed = true;
    DeviceKind kind = NoDevice;

protected:
    std::vector<FieldBinding> bindings() override;

private:
    void takeNames(const std::string& sharedPanelName, const std::string& sharedBoardName);
    void readNames(ConfigRegisters& regs, std::string& sharedPanelName,
                   std::string& sharedBoardName);
};

} // namespace tarvo
