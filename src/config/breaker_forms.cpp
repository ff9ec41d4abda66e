#include "config/breaker_forms.h"

#include <algorithm>
#include <cstdio>

#include "core/operator.h"

namespace tarvo {

std::string firmwareLine(const ConfigRegisters::FirmwareVersion& version) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "Firmware V%i.%i", version.major, version.minor);
    return buffer;
}

std::string serialNumberLine(std::int32_t serialNumber) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "Serial Number - %08d", static_cast<int>(serialNumber));
    return buffer;
}

// ---- BreakerSetpointForm

void BreakerSetpointForm::open(ConfigRegisters& regs, const std::string& sharedPanelName) {
    readLevels(regs);
    panelName = sharedPanelName;
}

void BreakerSetpointForm::readLevels(ConfigRegisters& regs) {
    const std::vector<std::int32_t> alarms = regs.readAlarmLimits();
    // Only a branch monitor opens this form, so 42 entries come back; a
    // shorter block (an unidentified device) leaves the rest as failed.
    alarmLevels.fill(-1);
    std::copy_n(alarms.begin(), std::min<std::size_t>(alarms.size(), kBreakers),
                alarmLevels.begin());
    lastAlarmLevels = alarmLevels;
    warningLevels = regs.readWarningLevels();
    lastWarningLevels = warningLevels;
}

void BreakerSetpointForm::set(ConfigRegisters& regs, Global which) {
    switch (which) {
    case Global::WarningLimit:
        regs.writeRegister(ConfigRegisters::kGlobalWarningLimit, globalWarningLimit);
        break;
    case Global::AlarmLimit:
        regs.writeRegister(ConfigRegisters::kGlobalAlarmLimit, globalAlarmLimit);
        break;
    case Global::WarningHoldoff:
        regs.writeRegister(ConfigRegisters::kGlobalWarningHoldoff, globalWarningHoldoff);
        break;
    case Global::AlarmHoldoff:
        regs.writeRegister(ConfigRegisters::kGlobalAlarmHoldoff, globalAlarmHoldoff);
        break;
    }
    readLevels(regs);
}

int BreakerSetpointForm::writeChanged(ConfigRegisters& regs, Operator& op) {
    BusyCursor busy(op);
    return regs.writeChanged(ConfigRegisters::kAlarmLevelBase + 1, alarmLevels, lastAlarmLevels) +
           regs.writeChanged(ConfigRegisters::kWarningLevelBase + 1, warningLevels,
                             lastWarningLevels);
}

std::vector<FieldBinding> BreakerSetpointForm::bindings() {
    std::vector<FieldBinding> fields;
    for (auto& level : alarmLevels)
        fields.push_back(FieldBinding::integerField(level, 0, kLevelMaximum));
    for (auto& level : warningLevels)
        fields.push_back(FieldBinding::integerField(level, 0, kLevelMaximum));
    fields.push_back(FieldBinding::integerField(globalWarningLimit, 0, kLevelMaximum));
    fields.push_back(FieldBinding::integerField(globalAlarmLimit, 0, kLevelMaximum));
    fields.push_back(FieldBinding::textField(panelName, 4));
    fields.push_back(FieldBinding::integerField(globalAlarmHoldoff, 0, kHoldoffMaximum));
    fields.push_back(FieldBinding::integerField(globalWarningHoldoff, 0, kHoldoffMaximum));
    return fields;
}

// ---- BreakerDelayForm

void BreakerDelayForm::open(ConfigRegisters& regs, const std::string& sharedPanelName) {
    alarmDelays = regs.readAlarmDelays();
    lastAlarmDelays = alarmDelays;
    warningDelays = regs.readWarningDelays();
    lastWarningDelays = warningDelays;
    panelName = sharedPanelName;
}

int BreakerDelayForm::writeChanged(ConfigRegisters& regs, Operator& op) {
    BusyCursor busy(op);
    return regs.writeChanged(ConfigRegisters::kAlarmDelayBase + 1, alarmDelays, lastAlarmDelays) +
           regs.writeChanged(ConfigRegisters::kWarningDelayBase + 1, warningDelays,
                             lastWarningDelays);
}

std::vector<FieldBinding> BreakerDelayForm::bindings() {
    std::vector<FieldBinding> fields;
    for (auto& delay : alarmDelays)
        fields.push_back(FieldBinding::integerField(delay, 0, kDelayMaximum));
    for (auto& delay : warningDelays)
        fields.push_back(FieldBinding::integerField(delay, 0, kDelayMaximum));
    fields.push_back(FieldBinding::textField(panelName, 4));
    return fields;
}

// ---- BranchPanelForm

void BranchPanelForm::open(ConfigRegisters& regs, const std::string& sharedPanelName,
                           DeviceKind kind) {
    headerName = sharedPanelName;
    panelNameEdit = sharedPanelName;
    readRatings(regs);
    firmwareLine = tarvo::firmwareLine(regs.readFirmwareVersion());
    serialLine = serialNumberLine(regs.readSerialNumber());
    ratingMin = kRatingMinimum;
    ratingMax = ratingMaximum(kind);
    globalRating = kind == BranchMonitor100A ? 60 : 20;
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "Max Breaker Amps - %02d", ratingMax);
    maxLine = buffer;
    std::snprintf(buffer, sizeof buffer, "Min Breaker Amps - %02d", ratingMin);
    minLine = buffer;
}

void BranchPanelForm::readRatings(ConfigRegisters& regs) {
    ratings = regs.readRatings();
    for (auto& rating : ratings)
        rating = static_cast<std::int16_t>(rating);
    lastRatings = ratings;
}

void BranchPanelForm::setGlobalRating(ConfigRegisters& regs) {
    regs.writeRegister(ConfigRegisters::kGlobalRating, globalRating);
    readRatings(regs);
}

void BranchPanelForm::setPanelName(ConfigRegisters& regs, std::string& sharedPanelName) {
    regs.writeName(ConfigRegisters::kBranchPanelName, panelNameEdit);
    regs.readBranchPanelName(sharedPanelName);
    headerName = sharedPanelName;
    panelNameEdit = sharedPanelName;
    readRatings(regs);
}

int BranchPanelForm::writeChanged(ConfigRegisters& regs, Operator& op) {
    BusyCursor busy(op);
    return regs.writeChanged(ConfigRegisters::kRatingBase + 1, ratings, lastRatings);
}

std::vector<FieldBinding> BranchPanelForm::bindings() {
    std::vector<FieldBinding> fields;
    for (auto& rating : ratings)
        fields.push_back(FieldBinding::integerField(rating, ratingMin, ratingMax));
    fields.push_back(FieldBinding::integerField(globalRating, ratingMin, ratingMax));
    fields.push_back(FieldBinding::textField(headerName, 4));
    fields.push_back(FieldBinding::textField(panelNameEdit, 4));
    fields.push_back(FieldBinding::textField(maxLine, 24));
    fields.push_back(FieldBinding::textField(minLine, 24));
    return fields;
}

} // namespace tarvo
