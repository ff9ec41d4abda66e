#include "transfer/device_settings.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "config/breaker_forms.h"
#include "config/circuit_forms.h"
#include "config/config_registers.h"
#include "config/form_fields.h"
#include "core/clock.h"
#include "devices/register_map.h"
#include "logging/log_file.h"

namespace tarvo {
namespace {

using Regs = ConfigRegisters;

std::int32_t registerAt(const DeviceSettings& settings, int reg) {
    const auto found = settings.registers.find(reg);
    return found == settings.registers.end() ? 0 : found->second;
}

void putBlock(DeviceSettings& out, int first, const auto& values) {
    int reg = first;
    for (std::int32_t value : values)
        out.registers[reg++] = value;
}

void putName(DeviceSettings& out, int first, const std::string& name) {
    const auto regs = Regs::encodeName(name);
    out.registers[first] = regs[0];
    out.registers[first + 1] = regs[1];
}

std::string withUnit(const SettingDefinition& def, const DeviceSettings& settings) {
    std::string text = settingText(def, settings);
    if (!def.unit.empty())
        text += " " + def.unit;
    return text;
}

bool isLocked(const SettingDefinition& def, const DeviceSettings& device) {
    return isCircuitMeter(device.kind) &&
           (def.reg == Regs::kMeterEnable || def.reg == Regs::kCircuitBoardName) &&
           (registerAt(device, Regs::kMeterEnable) & CircuitPanelForm::kEditLock) != 0;
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

// The meters a new meter-enable word switches off and on, in words: a hex
// word alone does not tell the operator that a 6-meter file written to an
// 8-meter device leaves meters 7 and 8 dark.
std::string meterChanges(std::int32_t from, std::int32_t to, DeviceKind kind) {
    std::vector<int> off, on;
    for (int meter = 1; meter <= 8; ++meter) {
        const std::int32_t bit = 1 << (meter - 1);
        if ((bit & CircuitPanelForm::meterBits(kind)) == 0)
            continue;
        if ((from & bit) && !(to & bit))
            off.push_back(meter);
        else if (!(from & bit) && (to & bit))
            on.push_back(meter);
    }
    const auto said = [](const std::vector<int>& meters, const char* how) {
        std::string text = meters.size() == 1 ? "meter " : "meters ";
        for (std::size_t i = 0; i < meters.size(); ++i)
            text += (i == 0                   ? ""
                     : i + 1 == meters.size() ? " and "
                                              : ", ") +
                    std::to_string(meters[i]);
        return text + " will be switched " + how;
    };
    std::string text = off.empty() ? std::string() : said(off, "off");
    if (!on.empty())
        text += (text.empty() ? "" : "; ") + said(on, "on");
    return text;
}

// A text that goes on inside a sentence of the caller's ("Refused: %s. Nothing
// was written."): the form's messages end with a full stop of their own.
std::string withoutStop(std::string text) {
    while (!text.empty() && text.back() == '.')
        text.pop_back();
    return text;
}

} // namespace

std::string kindName(DeviceKind kind) {
    switch (kind) {
    case BranchMonitor:
        return "branch monitor";
    case BranchMonitor100A:
        return "100 A branch monitor";
    case CircuitMeter8:
        return "8-meter circuit meter";
    case CircuitMeter6:
        return "6-meter circuit meter";
    default:
        return {};
    }
}

std::vector<SettingDefinition> settingDefinitions(DeviceKind kind) {
    using F = SettingFormat;
    std::vector<SettingDefinition> defs;
    const auto perBreaker = [&](const char* what, int base, F format, const char* unit, int min,
                                int max) {
        for (int k = 1; k <= Regs::kBreakers; ++k)
            defs.push_back(
                {"breaker " + std::to_string(k) + " " + what, base + k, format, unit, min, max});
    };
    if (isBranchMonitor(kind)) {
        perBreaker("rating", Regs::kRatingBase, F::Signed, "A", BranchPanelForm::kRatingMinimum,
                   BranchPanelForm::ratingMaximum(kind));
        defs.push_back({"panel name", Regs::kBranchPanelName, F::Name, "", 0, 0});
        const int level = BreakerSetpointForm::kLevelMaximum;
        perBreaker("alarm level", Regs::kAlarmLevelBase, F::Integer, "%", 0, level);
        perBreaker("warning level", Regs::kWarningLevelBase, F::Integer, "%", 0, level);
        const int delay = BreakerDelayForm::kDelayMaximum;
        perBreaker("alarm delay", Regs::kAlarmDelayBase, F::Integer, "", 0, delay);
        perBreaker("warning delay", Regs::kWarningDelayBase, F::Integer, "", 0, delay);
    } else if (isCircuitMeter(kind)) {
        const int limit = CircuitAlarmForm::kLimitMaximum;
        defs.push_back({"board name", Regs::kCircuitBoardName, F::Name, "", 0, 0});
        defs.push_back({"panel name", Regs::kCircuitPanelName, F::Name, "", 0, 0});
        defs.push_back({"CT size", Regs::kCtSize, F::Signed, "", CircuitPanelForm::kCtSizeMinimum,
                        CircuitPanelForm::kCtSizeMaximum});
        defs.push_back({"meter enables", Regs::kMeterEnable, F::Bits, "", 0,
                        CircuitPanelForm::meterBits(kind)});
        // Registers 30 to 35, in the order of CircuitAlarmForm::Limit.
        const std::array<std::pair<const char*, const char*>, CircuitAlarmForm::kLimits> limits = {{
            {"voltage over limit", "V"},
            {"voltage under limit", "V"},
            {"current over limit", "A"},
            {"current under limit", "A"},
            {"KVA over limit", "kVA"},
            {"KVA under limit", "kVA"},
        }};
        for (int i = 0; i < CircuitAlarmForm::kLimits; ++i) {
            const auto& [name, unit] = limits[static_cast<std::size_t>(i)];
            defs.push_back({name, Regs::kLimitsFirst + i,
                            i < CircuitAlarmForm::CurrentOver ? F::Hundredths : F::CurrentScaled,
                            unit, 0, limit});
        }
        defs.push_back(
            {"phase loss threshold", Regs::kPhaseLossThreshold, F::Integer, "", 0, limit});
        defs.push_back({"critical mask", Regs::kCriticalMask, F::Bits, "", 0,
                        CircuitAlarmForm::kCriticalMaskBits});
    }
    return defs;
}

std::string settingText(const SettingDefinition& def, const DeviceSettings& settings) {
    const std::int32_t raw = registerAt(settings, def.reg);
    switch (def.format) {
    case SettingFormat::Integer:
        return formatInteger(raw);
    case SettingFormat::Signed:
        return formatInteger(static_cast<std::int16_t>(raw));
    case SettingFormat::Hundredths:
        return formatNumber(
            CircuitAlarmForm::limitFromRegister(CircuitAlarmForm::VoltageOver, raw, 0.0f));
    case SettingFormat::CurrentScaled:
        return formatNumber(CircuitAlarmForm::limitFromRegister(
            CircuitAlarmForm::CurrentOver, raw,
            currentScaleFor(registerAt(settings, Regs::kCtSize))));
    case SettingFormat::Bits: {
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "0x%04X", static_cast<unsigned>(raw & 0xFFFF));
        return buffer;
    }
    case SettingFormat::Name:
        break;
    }
    // Bytes a text file cannot show plainly (controls, quotes, bytes above
    // 126) are written as \xHH, so every name survives the round trip.
    const std::string name = Regs::decodeName(raw, registerAt(settings, def.reg + 1));
    std::string text = "\"";
    for (unsigned char c : name) {
        if (c < 0x20 || c > 0x7E || c == '"' || c == '\\') {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\x%02X", c);
            text += buffer;
        } else {
            text += static_cast<char>(c);
        }
    }
    return text + "\"";
}

std::vector<std::int32_t> writeValues(const SettingDefinition& def, const DeviceSettings& settings,
                                      DeviceKind target) {
    const std::int32_t raw = registerAt(settings, def.reg);
    if (def.format == SettingFormat::Name) {
        const auto regs =
            Regs::encodeName(Regs::decodeName(raw, registerAt(settings, def.reg + 1)));
        return {regs[0], regs[1]};
    }
    if (def.reg == Regs::kMeterEnable && isCircuitMeter(target))
        return {(raw & CircuitPanelForm::meterBits(target)) | 1};
    return {raw};
}

std::optional<std::string> rangeProblem(const SettingDefinition& def,
                                        const DeviceSettings& settings) {
    const std::int32_t raw = registerAt(settings, def.reg);
    switch (def.format) {
    case SettingFormat::Integer:
    case SettingFormat::Signed: {
        std::int32_t value = 0;
        if (auto error = takeInteger(settingText(def, settings), def.min, def.max, value))
            return def.name + ": " + withoutStop(error->message);
        return std::nullopt;
    }
    case SettingFormat::Bits: {
        // The lock bit is the device's own and is never written.
        const std::int32_t allowed =
            def.max | (def.reg == Regs::kMeterEnable ? CircuitPanelForm::kEditLock : 0);
        if ((raw & ~allowed) == 0)
            return std::nullopt;
        char buffer[96];
        std::snprintf(buffer, sizeof buffer, "%s: bits 0x%04X cannot be set", def.name.c_str(),
                      static_cast<unsigned>(raw & ~allowed & 0xFFFF));
        return std::string(buffer);
    }
    case SettingFormat::Hundredths:
    case SettingFormat::CurrentScaled:
    case SettingFormat::Name:
        break; // every register value is a value the form can show and write
    }
    return std::nullopt;
}

DeviceReadResult readDeviceSettings(const DeviceAccess& device, const Clock& clock,
                                    DeviceSettings& out) {
    const std::string where = "address " + std::to_string(device.address);
    int slaveId = 0;
    std::array<char, ModbusMaster::kSlaveIdTextSize> text{};
    const ModbusResult identified =
        device.master.reportSlaveId(device.port, device.address, slaveId, text);
    if (identified != Ok)
        return {identified, "Identifying the device at " + where +
                                " failed: " + ModbusMaster::resultText(identified)};
    out = DeviceSettings{};
    out.identification.assign(text.data(), ::strnlen(text.data(), text.size()));
    out.kind = classifyDevice(out.identification);
    out.address = device.address;
    if (settingDefinitions(out.kind).empty())
        return {Ok, "The device at " + where + " (" + out.identification +
                        ") is no branch monitor or circuit meter: it has no settings"};

    // The forms' readers, in the order the forms open.
    ConfigRegisters regs(device.master, device.port, device.devices, device.address);
    if (isBranchMonitor(out.kind)) {
        putBlock(out, Regs::kRatingBase + 1, regs.readRatings());
        std::string name;
        regs.readBranchPanelName(name);
        putName(out, Regs::kBranchPanelName, name);
        putBlock(out, Regs::kAlarmLevelBase + 1, regs.readAlarmLimits());
        putBlock(out, Regs::kWarningLevelBase + 1, regs.readWarningLevels());
        putBlock(out, Regs::kAlarmDelayBase + 1, regs.readAlarmDelays());
        putBlock(out, Regs::kWarningDelayBase + 1, regs.readWarningDelays());
    } else {
        std::string panel;
        std::string board;
        regs.readCircuitNames(panel, board);
        putName(out, Regs::kCircuitPanelName, panel);
        putName(out, Regs::kCircuitBoardName, board);
        for (int reg : {Regs::kCtSize, Regs::kMeterEnable}) {
            std::int32_t value = 0;
            if (regs.readRegister(reg, value))
                out.registers[reg] = value;
        }
        putBlock(out, Regs::kLimitsFirst, regs.readAlarmLimits());
        // Register 36 holds the alarm flags: state, not a setting.
        out.registers.erase(Regs::kCircuitAlarmFlags);
        (void)regs.readCriticalMask(out.registers[Regs::kCriticalMask]);
    }
    const Regs::FirmwareVersion firmware = regs.readFirmwareVersion();
    out.firmwareMajor = firmware.major;
    out.firmwareMinor = firmware.minor;
    out.serialNumber = regs.readSerialNumber();
    out.readAt = logTimeStamp(clock.now());
    if (regs.failedReads() > 0)
        return {regs.lastReadFailure(),
                "Reading the settings of the device at " + where +
                    " failed: " + ModbusMaster::resultText(regs.lastReadFailure())};
    return {};
}

std::optional<std::string> kindProblem(DeviceKind file, DeviceKind device, const char* first,
                                       const char* second) {
    if ((isBranchMonitor(file) && isBranchMonitor(device)) ||
        (isCircuitMeter(file) && isCircuitMeter(device)))
        return std::nullopt;
    return std::string(first) + " is for the kind \"" + kindName(file) + "\", " + second + " " +
           (kindName(device).empty() ? std::string("has no settings")
                                     : "is of the kind \"" + kindName(device) + "\"");
}

std::vector<SettingDifference> compareSettings(const DeviceSettings& file,
                                               const DeviceSettings& device) {
    std::vector<SettingDifference> differences;
    for (const SettingDefinition& def : settingDefinitions(device.kind)) {
        if (writeValues(def, file, device.kind) == writeValues(def, device, device.kind))
            continue;
        differences.push_back(
            {def.name, withUnit(def, file), withUnit(def, device), isLocked(def, device)});
    }
    return differences;
}

std::string describeDifferences(const std::vector<SettingDifference>& differences,
                                const char* first, const char* second) {
    std::string text;
    for (const SettingDifference& d : differences) {
        text += d.name + ": " + first + " " + d.fileValue + ", " + second + " " + d.deviceValue;
        text += d.locked ? " (locked on the device)\n" : "\n";
    }
    return text;
}

RestorePlan planRestore(const DeviceSettings& file, const DeviceSettings& device, bool names) {
    RestorePlan plan;
    if (auto problem = kindProblem(file.kind, device.kind)) {
        plan.refused = *problem;
        return plan;
    }
    const std::vector<SettingDefinition> defs = settingDefinitions(device.kind);
    for (const SettingDefinition& def : defs) {
        if (auto problem = rangeProblem(def, file)) {
            plan.refused = "Not for the kind \"" + kindName(device.kind) + "\": " + *problem;
            return plan;
        }
    }
    for (const SettingDefinition& def : defs) {
        if (def.format == SettingFormat::Name && !names)
            continue;
        std::vector<std::int32_t> values = writeValues(def, file, device.kind);
        if (values == writeValues(def, device, device.kind))
            continue;
        if (isLocked(def, device))
            plan.locked.push_back(def.name);
        else if (def.reg == Regs::kMeterEnable)
            plan.writes.push_back(
                {def.name, def.reg, values, withUnit(def, device), withUnit(def, file),
                 meterChanges(registerAt(device, def.reg), values[0], device.kind)});
        else
            plan.writes.push_back(
                {def.name, def.reg, std::move(values), withUnit(def, device), withUnit(def, file)});
    }
    return plan;
}

std::string describePlan(const RestorePlan& plan) {
    std::string text;
    for (const PlannedWrite& w : plan.writes)
        text += w.name + ": " + w.from + " -> " + w.to + " (register " + std::to_string(w.reg) +
                ")" + (w.meaning.empty() ? "" : ": " + w.meaning) + "\n";
    if (!plan.locked.empty())
        text += "Locked on the device, not written: " + joined(plan.locked) + "\n";
    return text;
}

RestoreReport executeRestore(const DeviceAccess& device, const Clock& clock,
                             const RestorePlan& plan, const DeviceSettings& file) {
    RestoreReport report;
    ConfigRegisters regs(device.master, device.port, device.devices, device.address);
    for (std::size_t i = 0; i < plan.writes.size() && report.failed.empty(); ++i) {
        const PlannedWrite& w = plan.writes[i];
        for (std::size_t j = 0; j < w.values.size(); ++j) {
            const int reg = w.reg + static_cast<int>(j);
            const ModbusResult result = regs.writeRegister(reg, w.values[j]);
            if (result == Ok)
                continue;
            report.failed = w.name + " (register " + std::to_string(reg) +
                            "): " + ModbusMaster::resultText(result);
            for (std::size_t k = i + 1; k < plan.writes.size(); ++k)
                report.notWritten.push_back(plan.writes[k].name);
            break;
        }
        if (report.failed.empty())
            report.written.push_back(w.name);
    }
    DeviceSettings after;
    report.readBack = readDeviceSettings(device, clock, after);
    if (!report.readBack.ok())
        return report;
    for (const SettingDefinition& def : settingDefinitions(after.kind)) {
        if (std::find(report.written.begin(), report.written.end(), def.name) ==
            report.written.end())
            continue;
        if (writeValues(def, file, after.kind) != writeValues(def, after, after.kind))
            report.notTaken.push_back(def.name + " (register " + std::to_string(def.reg) +
                                      "): device holds " + withUnit(def, after));
    }
    return report;
}

std::string describeRestore(const RestoreReport& report) {
    std::string text = "Settings written: " + std::to_string(report.written.size()) + ".\n";
    if (!report.failed.empty()) {
        text += "Writing " + report.failed + ". Stopped there.\n";
        if (!report.written.empty())
            text += "Written before: " + joined(report.written) + "\n";
        text += "Not written: " +
                (report.notWritten.empty() ? std::string("none") : joined(report.notWritten)) +
                "\n";
    }
    if (!report.readBack.ok())
        text += report.readBack.problem + ": what the device holds now is not known.\n";
    for (const std::string& line : report.notTaken)
        text += "Did not take: " + line + "\n";
    return text;
}

} // namespace tarvo
