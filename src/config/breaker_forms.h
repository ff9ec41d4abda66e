#pragma once

#include <cstdint>
#include <string>

#include "config/config_form.h"
#include "config/config_registers.h"
#include "devices/device_kind.h"

namespace tarvo {

class Operator;

/// The values of the breaker "Alarm Setup" form: per-breaker alarm and
/// warning levels read from the device, and the global limits and holdoff
/// delays that are only ever written (so they keep what the operator typed
/// from one opening to the next).
class BreakerSetpointForm : public ConfigForm {
public:
    using BreakerBlock = ConfigRegisters::BreakerBlock;
    static constexpr int kBreakers = ConfigRegisters::kBreakers;

    /// Field indices in validation order.
    static constexpr int alarmLevelField(int breaker) { return breaker - 1; }
    static constexpr int warningLevelField(int breaker) { return kBreakers + breaker - 1; }
    static constexpr int kGlobalWarningLimitField = 2 * kBreakers;
    static constexpr int kGlobalAlarmLimitField = kGlobalWarningLimitField + 1;
    static constexpr int kPanelNameField = kGlobalWarningLimitField + 2;
    static constexpr int kGlobalAlarmHoldoffField = kGlobalWarningLimitField + 3;
    static constexpr int kGlobalWarningHoldoffField = kGlobalWarningLimitField + 4;
    static constexpr int kFieldCount = kGlobalWarningLimitField + 5;

    enum class Global { WarningLimit, AlarmLimit, WarningHoldoff, AlarmHoldoff };

    /// Alarm and warning levels are percent of the rating, 0 to 100.
    static constexpr int kLevelMaximum = 100;
    static constexpr int kHoldoffMaximum = 65535;

    /// Opening: reads both level blocks, takes the shared panel name.
    void open(ConfigRegisters& regs, const std::string& sharedPanelName);

    /// Alarm levels (135-176) then warning levels (93-134) into the values
    /// and the lastReadCopy; a failed block reads as -1 throughout.
    void readLevels(ConfigRegisters& regs);

    /// A global SET: writes its register (268-271) and re-reads the levels,
    /// which replaces per-breaker levels typed but not yet written.
    void set(ConfigRegisters& regs, Global which);

    /// OK's write-if-changed pass: alarm levels of breakers 1-42, then
    /// warning levels, under the busy cursor. Returns the writes sent.
    int writeChanged(ConfigRegisters& regs, Operator& op);

    BreakerBlock alarmLevels{};
    BreakerBlock warningLevels{};
    std::int32_t globalWarningLimit = 70;
    std::int32_t globalAlarmLimit = 80;
    std::string panelName;
    std::int32_t globalAlarmHoldoff = 10;
    std::int32_t globalWarningHoldoff = 0;

    BreakerBlock lastAlarmLevels{};
    BreakerBlock lastWarningLevels{};

protected:
    std::vector<FieldBinding> bindings() override;
};

/// The values of the "Alarm Delay Setup" form: per-breaker alarm and warning
/// delays, all read at every opening.
class BreakerDelayForm : public ConfigForm {
public:
    using BreakerBlock = ConfigRegisters::BreakerBlock;
    static constexpr int kBreakers = ConfigRegisters::kBreakers;

    static constexpr int alarmDelayField(int breaker) { return breaker - 1; }
    static constexpr int warningDelayField(int breaker) { return kBreakers + breaker - 1; }
    static constexpr int kPanelNameField = 2 * kBreakers;
    static constexpr int kFieldCount = kPanelNameField + 1;
    static constexpr int kDelayMaximum = 65535;

    /// Alarm delays (219-260) then warning delays (177-218).
    void open(ConfigRegisters& regs, const std::string& sharedPanelName);

    /// Alarm delays then warning delays that differ from the lastReadCopy.
    int writeChanged(ConfigRegisters& regs, Operator& op);

    BreakerBlock alarmDelays{};
    BreakerBlock warningDelays{};
    std::string panelName;

    BreakerBlock lastAlarmDelays{};
    BreakerBlock lastWarningDelays{};

protected:
    std::vector<FieldBinding> bindings() override;
};

/// The values of the branch monitor's "Panel Configuration" form.
class BranchPanelForm : public ConfigForm {
public:
    using BreakerBlock = ConfigRegisters::BreakerBlock;
    static constexpr int kBreakers = ConfigRegisters::kBreakers;

    static constexpr int ratingField(int breaker) { return breaker - 1; }
    static constexpr int kGlobalRatingField = kBreakers;
    static constexpr int kHeaderNameField = kBreakers + 1;
    static constexpr int kPanelNameField = kBreakers + 2;
    static constexpr int kMaxLineField = kBreakers + 3;
    static constexpr int kMinLineField = kBreakers + 4;
    static constexpr int kFieldCount = kBreakers + 5;

    /// Rating range and global rating by kind: 10 to 100 and 60 for a
    /// BranchMonitor100A, 10 to 50 and 20 for everything else.
    static int ratingMaximum(DeviceKind kind) { return kind == BranchMonitor100A ? 100 : 50; }
    static constexpr int kRatingMinimum = 10;

    /// Opening: names from the shared panel name, ratings, firmware and serial
    /// number lines, the range and its lines, the global rating.
    void open(ConfigRegisters& regs, const std::string& sharedPanelName, DeviceKind kind);

    /// Ratings 51-92, each taken as a 16-bit signed value, into the values
    /// and the lastReadCopy.
    void readRatings(ConfigRegisters& regs);

    /// Global Rating SET: register 267, then the ratings again.
    void setGlobalRating(ConfigRegisters& regs);

    /// Panel Name SET: the name to 273, 274, the name read back into the
    /// shared panel name and both name fields, then the ratings again.
    void setPanelName(ConfigRegisters& regs, std::string& sharedPanelName);

    /// OK: every rating that differs from the lastReadCopy to 50 + k.
    int writeChanged(ConfigRegisters& regs, Operator& op);

    BreakerBlock ratings{};
    std::int32_t globalRating = 20;
    std::string headerName;
    std::string panelNameEdit;
    std::string maxLine;
    std::string minLine;
    std::string firmwareLine;
    std::string serialLine;
    std::int32_t ratingMin = kRatingMinimum;
    std::int32_t ratingMax = 50;

    BreakerBlock lastRatings{};

protected:
    std::vector<FieldBinding> bindings() override;
};

/// "Firmware V%i.%i" and "Serial Number - %08d".
std::string firmwareLine(const ConfigRegisters::FirmwareVersion& version);
std::string serialNumberLine(std::int32_t serialNumber);

} // namespace tarvo
