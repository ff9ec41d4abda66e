#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "devices/device_kind.h"
#include "link/modbus_master.h"

namespace tarvo {

class DeviceTable;
class Transport;

/// A run of holding registers: the first register number as sent in the
/// request (counted from 0) and how many. A count of 0 means no read.
struct RegisterBlock {
    int first = 0;
    int count = 0;
    bool empty() const { return count == 0; }
    bool operator==(const RegisterBlock&) const = default;
};

/// The one read each timer tick makes of the selected device:
/// branch monitors 0..48, circuit meters 0..36, temperature 256..257,
/// energy-only 258..261, full-data 258..309; none for NoDevice.
RegisterBlock pollBlock(int kind);
/// The name read after the poll: branch monitors 273..274 (panel name),
/// circuit meters 38..41 (panel name, board name); none for the others.
RegisterBlock nameBlock(int kind);
/// The read the sampling pass makes of each listed device: branch monitors
/// 0..48, circuit meters 258..313 (28 floats), the others as their poll.
RegisterBlock sampleBlock(int kind);

/// Largest poll block (the full-data meter's) and largest sample block
/// (the circuit meter's).
inline constexpr int kMaxPollRegisters = 52;
inline constexpr int kMaxSampleRegisters = 56;

/// Branch-monitor poll block.
inline constexpr int kBreakerCount = 42;
inline constexpr int kRegAlarmSummary = 42;
inline constexpr int kRegWarningFlags = 43; ///< 43, 44, 45: breakers 1-16, 17-32, 33-42
inline constexpr int kRegAlarmFlags = 46;   ///< 46, 47, 48

/// Circuit-meter poll block.
inline constexpr int kRegRealPower = 2;
inline constexpr int kRegReactivePower = 3;
inline constexpr int kRegApparentPower = 4;
inline constexpr int kRegPowerFactor = 5;
inline constexpr int kRegVoltsLlAvg = 6;
inline constexpr int kRegVoltsLnAvg = 7;
inline constexpr int kRegCurrentAvg = 8;
inline constexpr int kRegVoltsAB = 16;
inline constexpr int kRegVoltsBC = 17;
inline constexpr int kRegVoltsCA = 18;
inline constexpr int kRegVoltsAN = 19;
inline constexpr int kRegVoltsBN = 20;
inline constexpr int kRegVoltsCN = 21;
inline constexpr int kRegCurrentA = 22;
inline constexpr int kRegCurrentB = 23;
inline constexpr int kRegCurrentC = 24;
inline constexpr int kRegCurrentN = 25;
inline constexpr int kRegCtSize = 29;
inline constexpr int kRegCircuitAlarms = 36;

/// Circuit-meter sample block: 28 floats from register pairs 258/259 to 312/313.
inline constexpr int kCircuitSampleValues = 28;

/// The scale factors. They are single-precision constants: a display text
/// widens them to double before multiplying, a logged value is rounded back
/// to single precision.
inline constexpr float kScaleTenth = 0.1f;
inline constexpr float kScaleHundredth = 0.01f;
inline constexpr float kScaleThousandth = 0.001f;
inline constexpr float kScaleTenThousandth = 0.0001f;

/// Volts (registers 6, 7, 16 to 21) are hundredths; the power factor
/// (register 5) ten-thousandths.
inline constexpr float kVoltsScale = kScaleHundredth;
inline constexpr float kPowerFactorScale = kScaleTenThousandth;

/// Result of one poll of the selected device.
struct MeterReading {
    DeviceKind kind = NoDevice;
    int address = -1;
    int result = Ok;
    /// The kind's poll block, first register first, each 0 to 65535. All 0
    /// after a failed read.
    std::array<std::int32_t, kMaxPollRegisters> registers{};

    std::int32_t reg(int offset) const {
        return offset >= 0 && offset < kMaxPollRegisters
                   ? registers[static_cast<std::size_t>(offset)]
                   : 0;
    }
};

/// The poll read of the device of `kind` at `address`. Never throws; a kind
/// without a poll read reads nothing and gives Ok with all registers 0.
MeterReading readMeter(ModbusMaster& master, Transport& port, DeviceKind kind, int address);

/// Reads `block` from `address` into values[0 .. count-1]. On failure the
/// values are set to 0, so a failed read never leaves stale numbers behind.
ModbusResult readBlock(ModbusMaster& master, Transport& port, int address, RegisterBlock block,
                       std::span<std::int32_t> values);

/// A register (taken as its unsigned 16 bits) times a factor, formed in
/// double precision: the value a display text is printed from.
double scaled(std::int32_t reg, float factor);
/// The same product rounded to single precision: the value a sample keeps.
float scaledSample(std::int32_t reg, float factor);

/// Amperes per count of a breaker current: 0.001 for BranchMonitor, 0.01 for
/// BranchMonitor100A, 0 for any other kind.
float breakerScale(int kind);

/// The circuit-meter factor for currents and powers from the CT size
/// (register 29, compared unsigned): 0..5 → 0.0001, 6..59 → 0.001,
/// 60..599 → 0.01, 600..5999 → 0.1, above → 0.
float currentScaleFor(std::int32_t ctSize);

/// The IEEE-754 single-precision value whose upper 16 bits are `high` (the
/// lower-numbered register) and lower 16 bits are `low`.
float decodeFloat(std::int32_t high, std::int32_t low);

/// Four characters packed in two registers, each high byte first; the text
/// ends at the first zero byte, so it has 0 to 4 characters.
std::string nameText(std::int32_t first, std::int32_t second);

/// `value` printed as "%.*f" would in the "C" locale, whatever the locale.
std::string fixedText(double value, int decimals);

/// Breaker current text of register `reg` of a branch monitor: "%.3f" amperes.
std::string breakerText(int kind, std::int32_t reg);
/// A circuit-meter value text: "%.2f" of the register times `factor`.
std::string circuitText(std::int32_t reg, float factor);
/// The neutral current text: "%.2f" for a CircuitMeter6, "N/A" for a
/// CircuitMeter8, whose neutral register is never converted.
std::string neutralText(int kind, std::int32_t reg, float currentScale);

/// The 42 breaker currents of a branch-monitor block in amperes, as a sample
/// keeps them.
std::array<float, kBreakerCount> breakerSampleCurrents(int kind,
                                                       std::span<const std::int32_t> registers);

/// `count` floats decoded from consecutive register pairs.
template <std::size_t N>
std::array<float, N> decodeFloats(std::span<const std::int32_t> registers) {
    std::array<float, N> values{};
    for (std::size_t j = 0; j < N && 2 * j + 1 < registers.size(); ++j)
        values[j] = decodeFloat(registers[2 * j], registers[2 * j + 1]);
    return values;
}

/// Name texts of a device.
struct DeviceNames {
    std::string panel;
    std::string board; ///< circuit meters only
};

/// The name read of the device at `address`, chosen by its DeviceTable entry
/// (the slave-ID byte it reported): registers 273..274 for a branch monitor,
/// 38..41 for a circuit meter, no read for anything else. A failed read
/// leaves the names it would have set empty. The result is the read's, or Ok
/// when nothing was read.
ModbusResult readNames(ModbusMaster& master, Transport& port, const DeviceTable& devices,
                       int address, DeviceNames& names);

} // namespace tarvo
