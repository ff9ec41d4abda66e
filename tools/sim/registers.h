#pragma once

// The register map the simulated devices serve, and the register file that
// holds it.
//
// The numbers are written here a second time, apart from the program's own
// maps (src/devices/register_map.h, src/config/config_registers.h): the
// simulator is the program's test peer, so a wrong number on the program's
// side must show up as a failed test rather than be shared by both ends.
// Register numbers are the addresses sent in a request, counted from 0.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvo::sim {

/// Branch monitors (branch, branch100a).
namespace branch {
inline constexpr int kBreakers = 42;
/// 0 to 41: breaker k's current in register k-1, in counts of 1 mA
/// (10 mA on the 100 A model).
inline constexpr int kCurrentFirst = 0;
inline constexpr int kCountsPerAmp = 1000;
inline constexpr int kCountsPerAmp100A = 100;
/// Bit i is set while flag register 43 + i holds any bit.
inline constexpr int kAlarmSummary = 42;
/// 43 to 45 and 46 to 48: one bit per breaker, breakers 1-16, 17-32, 33-42.
inline constexpr int kWarningFlagsFirst = 43;
inline constexpr int kAlarmFlagsFirst = 46;
inline constexpr int kFlagsFirst = kWarningFlagsFirst;
inline constexpr int kFlagsLast = 48;
inline constexpr int kBreakersPerFlagWord = 16;
inline constexpr int kFirmwareMajor = 49;
inline constexpr int kFirmwareMinor = 50;
/// Per-breaker settings, breaker k in register first + k - 1.
inline constexpr int kRatingFirst = 51;        ///< 51 to 92, amperes
inline constexpr int kWarningLevelFirst = 93;  ///< 93 to 134, percent of the rating
inline constexpr int kAlarmLevelFirst = 135;   ///< 135 to 176, percent of the rating
inline constexpr int kWarningDelayFirst = 177; ///< 177 to 218, seconds
inline constexpr int kAlarmDelayFirst = 219;   ///< 219 to 260, seconds
inline constexpr int kSettingsLast = kAlarmDelayFirst + kBreakers - 1;
inline constexpr int kSerialNumber = 261; ///< 261 high word, 262 low word
/// Global settings (267 to 271): a write sets the same value for every breaker.
inline constexpr int kGlobalRating = 267;
inline constexpr int kGlobalWarningLevel = 268;
inline constexpr int kGlobalAlarmLevel = 269;
inline constexpr int kGlobalWarningDelay = 270;
inline constexpr int kGlobalAlarmDelay = 271;
inline constexpr int kGlobalFirst = kGlobalRating;
inline constexpr int kGlobalLast = kGlobalAlarmDelay;
inline constexpr int kPanelName = 273; ///< 273, 274
inline constexpr int kLast = 274;
inline constexpr int kMaxPercent = 100;
} // namespace branch

/// Circuit meters (circuit8, circuit6). Currents and powers are in counts of
/// the scale the CT size chooses, volts in 0.01 V, the power factor in 0.0001.
namespace circuit {
inline constexpr int kRealPower = 2;
inline constexpr int kReactivePower = 3;
inline constexpr int kApparentPower = 4;
inline constexpr int kPowerFactor = 5;
inline constexpr int kVoltsLlAverage = 6;
inline constexpr int kVoltsLnAverage = 7;
inline constexpr int kCurrentAverage = 8;
inline constexpr int kFrequency = 9;
inline constexpr int kVoltsLlFirst = 16;   ///< A-B, B-C, C-A
inline constexpr int kVoltsLnFirst = 19;   ///< A-N, B-N, C-N
inline constexpr int kCurrentFirst = 22;   ///< phases A, B, C
inline constexpr int kCurrentNeutral = 25; ///< a six-meter board only
inline constexpr int kPhases = 3;
inline constexpr int kCtSize = 29;
inline constexpr int kCtSizeMin = 1;
inline constexpr int kCtSizeMax = 5999;
/// Limits: 0 switches a limit off.
inline constexpr int kVoltsOver = 30;
inline constexpr int kVoltsUnder = 31;
inline constexpr int kAmpsOver = 32;
inline constexpr int kAmpsUnder = 33;
inline constexpr int kKvaOver = 34;
inline constexpr int kKvaUnder = 35;
inline constexpr int kAlarmFlags = 36;
inline constexpr int kPhaseLossThreshold = 37;
inline constexpr int kPanelName = 38; ///< 38, 39
inline constexpr int kBoardName = 40; ///< 40, 41
inline constexpr int kFirmwareMajor = 42;
inline constexpr int kFirmwareMinor = 43;
inline constexpr int kSerialNumber = 44; ///< 44 high word, 45 low word
inline constexpr int kMeterEnable = 72;
inline constexpr int kCriticalMask = 73;
/// The float block: value j (1 to 28) in registers 256 + 2j and 257 + 2j;
/// 256 and 257 read 0.
inline constexpr int kFloatBlockFirst = 256;
inline constexpr int kFloatBlockLast = 313;
inline constexpr int kFloatValues = 28;
inline constexpr int kRealEnergy = 258;        ///< value 1
inline constexpr int kApparentEnergy = 260;    ///< value 2
inline constexpr int kFloatCurrentFirst = 262; ///< values 3 to 5, phases A to C
inline constexpr int kFloatVoltsLnFirst = 268; ///< values 6 to 8, A-N to C-N
inline constexpr int kCountsPerVolt = 100;
inline constexpr double kCountsPerPowerFactor = 10000.0;

/// Bits of the alarm flags register.
inline constexpr std::uint16_t kAmpsOverBit = 0x0001;
inline constexpr std::uint16_t kAmpsUnderBit = 0x0002;
inline constexpr std::uint16_t kKvaOverBit = 0x0004;
inline constexpr std::uint16_t kKvaUnderBit = 0x0008;
inline constexpr std::uint16_t kVoltsOverBit = 0x0010;
inline constexpr std::uint16_t kVoltsUnderBit = 0x0020;
inline constexpr std::uint16_t kPhaseALostBit = 0x0040; ///< B and C in the next two bits

/// Bits of the meter enable register: meters 1 to 8 in bits 0 to 7, the
/// device's own edit lock in bit 15.
inline constexpr std::uint16_t kMeterOne = 0x0001;
inline constexpr std::uint16_t kEightMeters = 0x00FF;
inline constexpr std::uint16_t kSixMeters = 0x003F;
inline constexpr std::uint16_t kEditLock = 0x8000;
} // namespace circuit

/// Energy-only, temperature and full-data meters.
namespace plain {
inline constexpr int kFirmwareMajor = 42;
inline constexpr int kFirmwareMinor = 43;
inline constexpr int kSerialNumber = 44; ///< 44 high word, 45 low word
inline constexpr int kIdentityLast = 45;
inline constexpr int kTemperature = 256; ///< one float
inline constexpr int kRealEnergy = 258;  ///< energy-only: kWh, then kVArh in 260
inline constexpr int kReactiveEnergy = 260;
inline constexpr int kFullDataFirst = 258; ///< full-data: 28 floats, 258 to 313
inline constexpr int kFullDataValues = 28;
/// Full-data value j (1 to 28) holds 200 + j until live mode moves it.
inline constexpr int kFullDataFixedBase = 200;
} // namespace plain

/// The device of another make: registers 0 to 9 only, no writes.
namespace foreign {
inline constexpr int kLast = 9;
}

/// The 1024 holding registers of one device, with the encodings the devices
/// use. Registers outside 0 to 1023 read 0 and ignore writes.
class RegisterFile {
public:
    static constexpr int kCount = 1024;

    std::uint16_t get(int r) const { return inside(r) ? m_regs[static_cast<std::size_t>(r)] : 0; }
    void set(int r, std::uint16_t value) {
        if (inside(r))
            m_regs[static_cast<std::size_t>(r)] = value;
    }
    /// A float in two registers, the lower-numbered one holding the high word.
    void setFloat(int r, float value);
    float floatAt(int r) const;
    /// A 32-bit number, high word first.
    void setLong(int r, std::uint32_t value);
    /// A 4-character name in two registers, padded with spaces.
    void setName(int firstReg, std::string_view name);
    std::string name(int firstReg) const;

private:
    static bool inside(int r) { return r >= 0 && r < kCount; }
    std::array<std::uint16_t, kCount> m_regs{};
};

} // namespace tarvo::sim
