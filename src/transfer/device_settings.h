#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "devices/device_kind.h"
#include "link/modbus_master.h"

namespace tarvo {

class Clock;
class DeviceTable;
class Transport;

/// How a setting's register value is shown to the operator.
enum class SettingFormat {
    Integer,    ///< the register, unsigned
    Signed,     ///< the register as a 16-bit signed value (ratings, CT size), as the forms show it
    Hundredths, ///< voltage limits: register x 0.01
    CurrentScaled, ///< current and KVA limits: register x the CurrentScale of the CT size
    Bits,          ///< a bit field, in hexadecimal
    Name,          ///< 4 characters in two registers
};

/// One configurable value of a device: what the five forms read and write.
struct SettingDefinition {
    std::string name; ///< "breaker 7 alarm level"
    int reg = 0;      ///< a name's first register
    SettingFormat format = SettingFormat::Integer;
    std::string unit;
    /// The range of the shown value; for Bits, `max` holds the bits that may be set.
    std::int32_t min = 0;
    std::int32_t max = 65535;
};

/// The settings of a kind in the order a restore writes them, which is the
/// forms' order: panel configuration (ratings or CT size first, because
/// levels are percent of the rating and current limits scale with the CT
/// size), then alarm setup, then alarm delays. Empty for kinds without settings.
std::vector<SettingDefinition> settingDefinitions(DeviceKind kind);

/// What a device held, as read from it or from a settings file.
struct DeviceSettings {
    DeviceKind kind = NoDevice;
    int address = 0;
    std::string identification;
    std::int32_t serialNumber = 0;
    int firmwareMajor = 0;
    int firmwareMinor = 0;
    std::string readAt;
    /// Register values 0 to 65535 by register; a name's two registers both.
    std::map<int, std::int32_t> registers;
};

/// The value as shown: "80", "2.5", "0x01C7", "\"PNL1\"" (without the unit).
std::string settingText(const SettingDefinition& def, const DeviceSettings& settings);

/// The register values a restore writes for the setting to a device of
/// `target` kind: a name padded with spaces; the meter enables as the
/// Meter Enable SET builds them (meter 1 always on, no lock bit). Two
/// settings hold the same value when these are equal.
std::vector<std::int32_t> writeValues(const SettingDefinition& def, const DeviceSettings& settings,
                                      DeviceKind target);

/// Why a setting's value is not one a device of the definition's kind takes,
/// in the forms' words; nothing when it is.
std::optional<std::string> rangeProblem(const SettingDefinition& def,
                                        const DeviceSettings& settings);

/// The device at an address on the open bus.
struct DeviceAccess {
    ModbusMaster& master;
    Transport& port;
    const DeviceTable& devices;
    int address;
};

/// The outcome of reading a device's settings.
struct DeviceReadResult {
    ModbusResult result = Ok; ///< the failing transaction's result
    std::string problem;      ///< empty when every read succeeded
    bool ok() const { return problem.empty(); }
};

/// Identifies the device (Report Slave ID) and reads every configurable
/// register through the forms' readers, then its firmware version and serial
/// number. Any failed transaction fails the whole read: a failure fill must
/// never be saved or compared as if the device held it.
DeviceReadResult readDeviceSettings(const DeviceAccess& device, const Clock& clock,
                                    DeviceSettings& out);

/// One setting whose value differs between a file and a device.
struct SettingDifference {
    std::string name;
    std::string fileValue;   ///< with its unit
    std::string deviceValue; ///< with its unit
    /// The device's edit lock forbids writing it (board name, meter enables).
    bool locked = false;
};

/// Whether a file of kind `file` can be compared with or written to a device
/// of kind `device`: the same family (branch monitors, circuit meters).
/// `first` and `second` name the two sides in the refusal.
std::optional<std::string> kindProblem(DeviceKind file, DeviceKind device,
                                       const char* first = "the file",
                                       const char* second = "the device");

/// The settings whose values differ, in write order, named as the device's
/// kind names them. Nothing is written.
std::vector<SettingDifference> compareSettings(const DeviceSettings& file,
                                               const DeviceSettings& device);

/// "breaker 7 alarm level: file 80 %, device 85 %", one line each; the two
/// sides are named `first` and `second` (two files: "first", "second").
std::string describeDifferences(const std::vector<SettingDifference>& differences,
                                const char* first = "file", const char* second = "device");

/// One setting a restore writes.
struct PlannedWrite {
    std::string name;
    int reg = 0;
    std::vector<std::int32_t> values; ///< to reg, reg + 1, ...
    std::string from;                 ///< the device's value, with unit
    std::string to;                   ///< the file's value, with unit
    std::string meaning = {};         ///< "meters 7 and 8 will be switched off"
};

struct RestorePlan {
    std::string refused; ///< why nothing may be written; empty when the plan stands
    std::vector<PlannedWrite> writes;
    std::vector<std::string> locked; ///< differing settings the edit lock keeps
};

/// The writes that make `device` hold what `file` holds: only settings that
/// differ, in write order; the names only when `names`. Refused as a whole
/// when the kinds do not match or any of the file's values is outside the
/// device kind's range (a 100 A monitor's 60 A rating to a 50 A monitor).
RestorePlan planRestore(const DeviceSettings& file, const DeviceSettings& device, bool names);

/// "breaker 7 alarm level: 85 % -> 80 % (register 141)", one line each
/// (the meter enables with the meters switched off and on in words), then
/// the locked settings.
std::string describePlan(const RestorePlan& plan);

struct RestoreReport {
    std::vector<std::string> written;
    std::string failed; ///< the setting whose write failed, with register and result
    std::vector<std::string> notWritten;
    DeviceReadResult readBack;
    std::vector<std::string> notTaken; ///< "name (register 141): device holds 85 %"
    bool ok() const { return failed.empty() && readBack.ok() && notTaken.empty(); }
};

/// Writes the plan in order, stopping at the first failed write, then reads
/// the device again and names every written setting it does not hold.
RestoreReport executeRestore(const DeviceAccess& device, const Clock& clock,
                             const RestorePlan& plan, const DeviceSettings& file);

std::string describeRestore(const RestoreReport& report);

/// "BranchMonitor" and so on; empty for kinds without settings.
std::string kindName(DeviceKind kind);

} // namespace tarvo
