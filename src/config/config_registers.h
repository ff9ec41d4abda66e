#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/modbus_master.h"

namespace tarvo {

class DeviceTable;
class Transport;

/// One register write of a form's write pass.
struct RegisterWrite {
    int reg;
    std::int64_t value; ///< outside 0 to 65535 the master refuses it and sends nothing
    bool operator==(const RegisterWrite&) const = default;
};

/// The configuration registers of one device and the readers and writes the
/// configuration forms share.
///
/// The register layout is chosen by the slave-ID byte the bus scan recorded
/// for the address (230/231 branch monitors, 235/236 circuit meters), not by
/// the device kind, so a device that was never identified takes the branch
/// for "other" devices.
///
/// Every reader makes exactly one function-3 read (or none) and never talks
/// to the operator. A failed read leaves a fixed failure fill that no real
/// register value can be mistaken for. Writes are single-register writes
/// whose results are deliberately not examined: a form that needs to know
/// what the device holds re-reads it.
class ConfigRegisters {
public:
    static constexpr int kBreakers = 42;
    using BreakerBlock = std::array<std::int32_t, kBreakers>;

    // Branch monitors (slave-ID byte 230 or 231). Breaker k is register base + k.
    static constexpr int kBranchFlagsFirst = 43; ///< warning flags 43-45, alarm flags 46-48
    static constexpr int kBranchFlagsCount = 6;
    static constexpr int kBranchFirmware = 49;
    static constexpr int kRatingBase = 50;        ///< 51 to 92
    static constexpr int kWarningLevelBase = 92;  ///< 93 to 134
    static constexpr int kAlarmLevelBase = 134;   ///< 135 to 176
    static constexpr int kWarningDelayBase = 176; ///< 177 to 218
    static constexpr int kAlarmDelayBase = 218;   ///< 219 to 260
    static constexpr int kBranchSerial = 261;
    static constexpr int kGlobalRating = 267;
    static constexpr int kGlobalWarningLimit = 268;
    static constexpr int kGlobalAlarmLimit = 269;
    static constexpr int kGlobalWarningHoldoff = 270;
    static constexpr int kGlobalAlarmHoldoff = 271;
    static constexpr int kBranchPanelName = 273;

    // Circuit meters (slave-ID byte 235 or 236).
    static constexpr int kCtSize = 29;
    static constexpr int kLimitsFirst = 30; ///< 30 to 37: six limits, alarm flags, phase loss
    static constexpr int kLimitsCount = 8;
    static constexpr int kCircuitAlarmFlags = 36;
    static constexpr int kPhaseLossThreshold = 37;
    static constexpr int kCircuitPanelName = 38;
    static constexpr int kCircuitBoardName = 40;
    static constexpr int kCircuitFirmware = 42;
    static constexpr int kCircuitSerial = 44;
    static constexpr int kMeterEnable = 72;
    static constexpr int kCriticalMask = 73;

    /// Failure fill of the critical mask: bits no device sets together, so the
    /// next OK writes the mask the boxes show.
    static constexpr std::int32_t kCriticalMaskFill = 0x01010101;

    struct FirmwareVersion {
        int major = 0;
        int minor = 0;
    };

    ConfigRegisters(ModbusMaster& master, Transport& port, const DeviceTable& devices, int address);

    int address() const { return m_address; }
    int slaveId() const;
    bool isBranchMonitor() const;
    bool isCircuitMeter() const;

    /// Registers 49, 50 (branch monitors) or 42, 43 (everything else); 0.0 on failure.
    FirmwareVersion readFirmwareVersion();

    /// Registers 261, 262 (branch) or 44, 45 (circuit) as a signed 32-bit
    /// value, high word first; 0 on failure and, without any read, for every
    /// other slave-ID byte.
    std::int32_t readSerialNumber();

    /// 42 alarm levels from 135 (branch monitors) or registers 30 to 37
    /// (everything else); every entry -1 on failure, as many as were asked for.
    std::vector<std::int32_t> readAlarmLimits();

    /// 42 registers each from 93, 177, 219 and 51; every entry -1 on failure.
    BreakerBlock readWarningLevels();
    BreakerBlock readWarningDelays();
    BreakerBlock readAlarmDelays();
    BreakerBlock readRatings();

    /// Register 73, or kCriticalMaskFill on failure. Returns the read's result.
    ModbusResult readCriticalMask(std::int32_t& mask);

    /// Registers 273, 274 into `panelName`. A failed read leaves the name as it
    /// was: the operator keeps seeing the last name the device gave rather
    /// than an empty or garbage name, and the next successful read corrects it.
    void readBranchPanelName(std::string& panelName);

    /// Registers 38 to 41 in one read: panel name from 38, 39 and board name
    /// from 40, 41. A failed read leaves both names as they were (see above).
    void readCircuitNames(std::string& panelName, std::string& boardName);

    /// One register; `value` is untouched when the read fails.
    bool readRegister(int reg, std::int32_t& value);

    /// One function-6 write. The forms do not examine the result; a restore
    /// from a settings file stops at the first failure.
    ModbusResult writeRegister(int reg, std::int64_t value);

    /// Reads that failed since this object was made. The readers hide a
    /// failure behind their fill, which a form shows; a backup must not
    /// save a fill as if the device held it.
    int failedReads() const { return m_failedReads; }
    /// The result of the last failed read; Ok when none failed.
    ModbusResult lastReadFailure() const { return m_lastReadFailure; }

    /// Pads `text` with spaces to 4 bytes and writes bytes 1, 2 to
    /// `firstRegister` and bytes 3, 4 to the next, each byte taken unsigned.
    /// Bytes beyond the fourth are not sent.
    void writeName(int firstRegister, std::string_view text);

    /// The write-if-changed pass: writes values[i] to firstRegister + i for
    /// every i whose value differs from lastReadCopy[i], in ascending order.
    /// Returns the number of writes sent to the master.
    int writeChanged(int firstRegister, std::span<const std::int32_t> values,
                     std::span<const std::int32_t> lastReadCopy);

    /// Writes each entry in order (a pass whose change test the form made).
    void writeAll(std::span<const RegisterWrite> writes);

    /// The two name registers as text: the four bytes high byte first, ended
    /// by the first zero byte. Trailing spaces stay.
    static std::string decodeName(std::int32_t first, std::int32_t second);

    /// `text` padded with spaces to 4 bytes, as the two register values.
    static std::array<int, 2> encodeName(std::string_view text);

private:
    BreakerBlock readBreakerBlock(int first);
    bool read(int first, int count, std::span<std::int32_t> values);

    ModbusMaster& m_master;
    Transport& m_port;
    const DeviceTable& m_devices;
    int m_address;
    int m_failedReads = 0;
    ModbusResult m_lastReadFailure = Ok;
};

} // namespace tarvo
