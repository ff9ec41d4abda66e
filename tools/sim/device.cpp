#include "sim/device.h"

#include <algorithm>
#include <bit>
#include <span>

#include "sim/frame.h"

namespace tarvo::sim {

namespace {

constexpr std::size_t kMaxIdText = 93;

// A register change that is not one register (a live step).
constexpr int kManyRegisters = -1;

std::string twoDigits(int address) {
    return (address < 10 ? "0" : "") + std::to_string(address % 100);
}

// Fixed values. Tests may rely on every number here.
//
// Branch monitors: breaker n (1..42) draws 1.000 A + 0.250 A * (n-1), stored
// in mA (BranchMonitor) or in 10 mA (BranchMonitor100A); no flags; firmware
// 2.5; ratings 20 A (60 A for the 100A model); warning 70 %, alarm 80 %;
// warning delay 5, alarm delay 10; serial number 65536 + 1000 + address;
// panel name as given (default "BR" and the two-digit address).
//
// Circuit meters (CT size 100, so currents and powers are in 0.01 units):
// 45.00 kW, 12.00 kVAr, 47.00 KVA, PF 0.9500, 480.00 V L-L avg, 277.13 V L-N
// avg, 55.00 A avg, 60.00 Hz in register 9, L-L 480.00/481.00/479.00, L-N
// 277.10/277.20/277.00, currents 54.00/55.00/56.00, neutral 1.50 (CircuitMeter6
// only); limits 528.00 V over, 432.00 V under, 80.00 A over, 0 under, 60.00
// KVA over, 0 under; no alarm flags; phase-loss threshold 200.00 V; panel name
// as given (default "CM" and the address), board name "BD" and the address;
// firmware 3.1; serial number 65536 + 2000 + address; meter enable 0x00FF
// (0x003F for CircuitMeter6); critical mask 0x0001; float j (1 to 28) in
// registers 256+2j and 257+2j = 100 + j.
//
// Energy-only: 12345.5 kWh in 258/259, 321.25 kVArh in 260/261. Temperature:
// 21.5 in 256/257. Full-data: float j (1 to 28) at 256+2j = 200 + j. These
// three carry firmware 1.0 in 42/43 and serial number 65536 + 3000 + address
// in 44/45. Foreign: registers 0 to 9 hold 11 * n.

class BranchRules final : public RegisterRules {
public:
    constexpr BranchRules(int countsPerAmp, std::uint16_t rating)
        : m_countsPerAmp(countsPerAmp), m_rating(rating) {}

    void initialise(RegisterFile& regs, int address, std::string_view name) const override {
        using namespace branch;
        for (int k = 0; k < kBreakers; ++k) {
            regs.set(kCurrentFirst + k,
                     static_cast<std::uint16_t>(m_countsPerAmp + m_countsPerAmp / 4 * k));
            regs.set(kRatingFirst + k, m_rating);
            regs.set(kWarningLevelFirst + k, 70);
            regs.set(kAlarmLevelFirst + k, 80);
            regs.set(kWarningDelayFirst + k, 5);
            regs.set(kAlarmDelayFirst + k, 10);
        }
        regs.set(kFirmwareMajor, 2);
        regs.set(kFirmwareMinor, 5);
        regs.setLong(kSerialNumber, 65536u + 1000u + static_cast<std::uint32_t>(address));
        regs.setName(kPanelName, name.empty() ? "BR" + twoDigits(address) : std::string(name));
    }

    // The unused registers 263 to 266 and 272 read 0, as the global settings
    // 267 to 271 read back their last written value.
    bool readable(int reg) const override { return reg <= branch::kLast; }

    bool writable(int reg) const override {
        using namespace branch;
        return isFlag(reg) || (reg >= kRatingFirst && reg <= kSettingsLast) ||
               (reg >= kGlobalFirst && reg <= kGlobalLast) || reg == kPanelName ||
               reg == kPanelName + 1;
    }

    std::uint8_t write(RegisterFile& regs, int reg, std::uint16_t value) const override {
        using namespace branch;
        // Warning and alarm levels, per breaker (93 to 176) or global.
        const bool percent = (reg >= kWarningLevelFirst && reg < kWarningDelayFirst) ||
                             reg == kGlobalWarningLevel || reg == kGlobalAlarmLevel;
        if (percent && value > kMaxPercent)
            return IllegalDataValue;
        if (isFlag(reg)) {
            // Flags latch: a write can only clear bits, and 0 clears them all.
            regs.set(reg, regs.get(reg) & value);
            updateSummary(regs);
            return 0;
        }
        regs.set(reg, value);
        for (const GlobalSetting& g : kGlobalSettings)
            if (reg == g.global)
                for (int k = 0; k < kBreakers; ++k)
                    regs.set(g.perBreakerFirst + k, value);
        return 0;
    }

    void follow(RegisterFile& regs, int reg) const override {
        if (reg == kManyRegisters || isFlag(reg))
            updateSummary(regs);
    }

private:
    // A global setting sets the same value for every breaker.
    struct GlobalSetting {
        int global;
        int perBreakerFirst;
    };
    static constexpr GlobalSetting kGlobalSettings[] = {
        {branch::kGlobalRating, branch::kRatingFirst},
        {branch::kGlobalWarningLevel, branch::kWarningLevelFirst},
        {branch::kGlobalAlarmLevel, branch::kAlarmLevelFirst},
        {branch::kGlobalWarningDelay, branch::kWarningDelayFirst},
        {branch::kGlobalAlarmDelay, branch::kAlarmDelayFirst},
    };

    static bool isFlag(int reg) { return reg >= branch::kFlagsFirst && reg <= branch::kFlagsLast; }

    static void updateSummary(RegisterFile& regs) {
        using namespace branch;
        std::uint16_t summary = 0;
        for (int r = kFlagsFirst; r <= kFlagsLast; ++r)
            if (regs.get(r) != 0)
                summary |= static_cast<std::uint16_t>(1u << (r - kFlagsFirst));
        regs.set(kAlarmSummary, summary);
    }

    int m_countsPerAmp;
    std::uint16_t m_rating;
};

class CircuitRules final : public RegisterRules {
public:
    constexpr CircuitRules(std::uint16_t meters, std::uint16_t neutralCurrent)
        : m_meters(meters), m_neutralCurrent(neutralCurrent) {}

    void initialise(RegisterFile& regs, int address, std::string_view name) const override {
        using namespace circuit;
        struct Fixed {
            int reg;
            std::uint16_t value;
        };
        static constexpr Fixed kFixed[] = {
            {kRealPower, 4500},         {kReactivePower, 1200},       {kApparentPower, 4700},
            {kPowerFactor, 9500},       {kVoltsLlAverage, 48000},     {kVoltsLnAverage, 27713},
            {kCurrentAverage, 5500},    {kFrequency, 6000},           {kVoltsLlFirst, 48000},
            {kVoltsLlFirst + 1, 48100}, {kVoltsLlFirst + 2, 47900},   {kVoltsLnFirst, 27710},
            {kVoltsLnFirst + 1, 27720}, {kVoltsLnFirst + 2, 27700},   {kCurrentFirst, 5400},
            {kCurrentFirst + 1, 5500},  {kCurrentFirst + 2, 5600},    {kCtSize, 100},
            {kVoltsOver, 52800},        {kVoltsUnder, 43200},         {kAmpsOver, 8000},
            {kKvaOver, 6000},           {kPhaseLossThreshold, 20000},
        };
        for (const Fixed& f : kFixed)
            regs.set(f.reg, f.value);
        regs.set(kCurrentNeutral, m_neutralCurrent);
        regs.setName(kPanelName, name.empty() ? "CM" + twoDigits(address) : std::string(name));
        regs.setName(kBoardName, "BD" + twoDigits(address));
        regs.set(kFirmwareMajor, 3);
        regs.set(kFirmwareMinor, 1);
        regs.setLong(kSerialNumber, 65536u + 2000u + static_cast<std::uint32_t>(address));
        regs.set(kMeterEnable, m_meters);
        regs.set(kCriticalMask, 0x0001);
        for (int j = 1; j <= kFloatValues; ++j)
            regs.setFloat(kFloatBlockFirst + 2 * j, 100.0f + static_cast<float>(j));
    }

    bool readable(int reg) const override {
        using namespace circuit;
        return reg <= kCriticalMask || (reg >= kFloatBlockFirst && reg <= kFloatBlockLast);
    }

    bool writable(int reg) const override {
        using namespace circuit;
        return (reg >= kCtSize && reg <= kBoardName + 1) || reg == kMeterEnable ||
               reg == kCriticalMask;
    }

    std::uint8_t write(RegisterFile& regs, int reg, std::uint16_t value) const override {
        using namespace circuit;
        const bool locked = (regs.get(kMeterEnable) & kEditLock) != 0;
        if (reg == kCtSize && (value < kCtSizeMin || value > kCtSizeMax))
            return IllegalDataValue;
        if (locked && (reg == kBoardName || reg == kBoardName + 1 || reg == kMeterEnable))
            return IllegalDataValue;
        if (reg == kAlarmFlags) {
            regs.set(reg, regs.get(reg) & value); // flags only clear
            return 0;
        }
        if (reg == kMeterEnable) {
            // Meter 1 is always on, bits 8 to 14 do not exist, the lock bit is the
            // device's own, and a six-meter board has no meters 7 and 8.
            const auto enable =
                static_cast<std::uint16_t>(((value & kEightMeters) | kMeterOne) & m_meters);
            regs.set(reg, static_cast<std::uint16_t>(enable | (regs.get(reg) & kEditLock)));
            return 0;
        }
        regs.set(reg, value);
        return 0;
    }

private:
    std::uint16_t m_meters;
    std::uint16_t m_neutralCurrent;
};

// Energy-only, temperature and full-data meters: identity registers and a
// run of floats, nothing writable.
class PlainMeterRules final : public RegisterRules {
public:
    constexpr PlainMeterRules(int floatFirst, std::span<const float> fixed)
        : m_floatFirst(floatFirst), m_fixed(fixed) {}

    void initialise(RegisterFile& regs, int address, std::string_view) const override {
        using namespace plain;
        regs.set(kFirmwareMajor, 1);
        regs.set(kFirmwareMinor, 0);
        regs.setLong(kSerialNumber, 65536u + 3000u + static_cast<std::uint32_t>(address));
        for (std::size_t j = 0; j < m_fixed.size(); ++j)
            regs.setFloat(m_floatFirst + 2 * static_cast<int>(j), m_fixed[j]);
    }

    bool readable(int reg) const override {
        const int floatLast = m_floatFirst + 2 * static_cast<int>(m_fixed.size()) - 1;
        return (reg >= plain::kFirmwareMajor && reg <= plain::kIdentityLast) ||
               (reg >= m_floatFirst && reg <= floatLast);
    }
    bool writable(int) const override { return false; }
    std::uint8_t write(RegisterFile&, int, std::uint16_t) const override {
        return IllegalDataAddress;
    }

private:
    int m_floatFirst;
    std::span<const float> m_fixed;
};

// A device of another make: a few registers and no function 6.
class ForeignRules final : public RegisterRules {
public:
    void initialise(RegisterFile& regs, int, std::string_view) const override {
        for (int r = 0; r <= foreign::kLast; ++r)
            regs.set(r, static_cast<std::uint16_t>(11 * r));
    }
    bool readable(int reg) const override { return reg <= foreign::kLast; }
    bool writable(int) const override { return false; }
    bool takesWrites() const override { return false; }
    std::uint8_t write(RegisterFile&, int, std::uint16_t) const override { return IllegalFunction; }
};

constexpr float kEnergyFixed[] = {12345.5f, 321.25f};
constexpr float kTemperatureFixed[] = {21.5f};
constexpr auto kFullDataFixed = [] {
    std::array<float, plain::kFullDataValues> values{};
    for (int j = 1; j <= plain::kFullDataValues; ++j)
        values[static_cast<std::size_t>(j - 1)] =
            static_cast<float>(plain::kFullDataFixedBase) + static_cast<float>(j);
    return values;
}();

constexpr BranchRules kBranchRules{branch::kCountsPerAmp, 20};
constexpr BranchRules kBranch100ARules{branch::kCountsPerAmp100A, 60};
constexpr CircuitRules kCircuit8Rules{circuit::kEightMeters, 0};
constexpr CircuitRules kCircuit6Rules{circuit::kSixMeters, 150};
constexpr PlainMeterRules kEnergyRules{plain::kRealEnergy, kEnergyFixed};
constexpr PlainMeterRules kTemperatureRules{plain::kTemperature, kTemperatureFixed};
constexpr PlainMeterRules kFullDataRules{plain::kFullDataFirst, kFullDataFixed};
constexpr ForeignRules kForeignRules;

using MakeLive = std::unique_ptr<LiveBehaviour> (*)();

template <typename Live, auto... arguments>
std::unique_ptr<LiveBehaviour> makeLive() {
    return std::make_unique<Live>(arguments...);
}

struct ModelInfo {
    Model model;
    const char* name;
    DeviceKind kind;
    std::uint8_t slaveId;
    const char* text;
    const RegisterRules& rules;
    MakeLive makeLive; ///< nullptr: the values never move
};

// The texts are tested by the program's classification in the order
// Energy-Only, Temperature, Full-Data, Branch + 100A, Branch, Circuit +
// "Meter 6,", Circuit + "Meter 8,". So no text carries a word that an earlier
// test looks for: the branch texts say "Circuit" too, which is harmless
// because "Branch" is tested first, but the circuit meter texts must never say
// "Branch".
constexpr ModelInfo kModels[] = {
    {Model::Branch, "branch", BranchMonitor, 230, "Kyrel Branch Circuit Monitor, 42 Breakers",
     kBranchRules, makeLive<BranchLive, branch::kCountsPerAmp>},
    {Model::Branch100A, "branch100a", BranchMonitor100A, 231,
     "Kyrel Branch Circuit Monitor 100A, 42 Breakers", kBranch100ARules,
     makeLive<BranchLive, branch::kCountsPerAmp100A>},
    {Model::Circuit8, "circuit8", CircuitMeter8, 235, "Kyrel Circuit Meter 8, 3-Phase Power Meter",
     kCircuit8Rules, makeLive<CircuitLive>},
    {Model::Circuit6, "circuit6", CircuitMeter6, 236, "Kyrel Circuit Meter 6, 3-Phase Power Meter",
     kCircuit6Rules, makeLive<CircuitLive>},
    {Model::Energy, "energy", EnergyOnlyMeter, 240, "Kyrel Energy-Only Meter", kEnergyRules,
     makeLive<EnergyLive>},
    {Model::Temperature, "temperature", TemperatureDevice, 241, "Kyrel Temperature Sensor",
     kTemperatureRules, makeLive<TemperatureLive>},
    {Model::FullData, "fulldata", FullDataMeter, 242, "Kyrel Full-Data Meter", kFullDataRules,
     makeLive<FullDataLive>},
    // A device of another make on the same bus.
    {Model::Foreign, "foreign", NoDevice, 17, "Northwind RTU Power Monitor PM-20", kForeignRules,
     nullptr},
};

const ModelInfo& info(Model model) {
    for (const ModelInfo& m : kModels)
        if (m.model == model)
            return m;
    return kModels[0];
}

} // namespace

std::optional<Model> modelFromName(std::string_view name) {
    for (const ModelInfo& m : kModels)
        if (name == m.name)
            return m.model;
    return std::nullopt;
}

const char* modelName(Model model) {
    return info(model).name;
}
DeviceKind deviceKind(Model model) {
    return info(model).kind;
}
std::uint8_t defaultSlaveIdByte(Model model) {
    return info(model).slaveId;
}
std::string defaultIdentificationText(Model model) {
    return info(model).text;
}

Device::Device(Model model, int address, std::string_view name)
    : m_model(model), m_address(address), m_rules(info(model).rules),
      m_live(info(model).makeLive ? info(model).makeLive() : nullptr),
      m_slaveIdByte(defaultSlaveIdByte(model)), m_idText(defaultIdentificationText(model)) {
    m_rules.initialise(m_regs, address, name);
}

bool Device::readable(int reg) const {
    return reg >= 0 && reg < kRegisterCount && m_rules.readable(reg);
}

bool Device::writable(int reg) const {
    return reg >= 0 && reg < kRegisterCount && m_rules.writable(reg);
}

std::uint8_t Device::readRegisters(int first, int count, std::vector<std::uint16_t>& out) const {
    if (count < 1 || count > kMaxReadCount)
        return IllegalDataValue;
    for (int r = first; r < first + count; ++r)
        if (!readable(r))
            return IllegalDataAddress;
    out.clear();
    for (int r = first; r < first + count; ++r)
        out.push_back(m_regs.get(r));
    return 0;
}

std::uint8_t Device::writeRegister(int reg, int value) {
    if (!m_rules.takesWrites())
        return IllegalFunction;
    if (!writable(reg))
        return IllegalDataAddress;
    return m_rules.write(m_regs, reg, static_cast<std::uint16_t>(value));
}

std::uint16_t Device::reg(int r) const {
    return m_regs.get(r);
}

void Device::setReg(int r, std::uint16_t value) {
    m_regs.set(r, value);
    m_rules.follow(m_regs, r);
}

void Device::setFloat(int r, float value) {
    m_regs.setFloat(r, value);
    m_rules.follow(m_regs, r);
    m_rules.follow(m_regs, r + 1);
}

float Device::floatAt(int r) const {
    return m_regs.floatAt(r);
}

void Device::setName(int firstReg, std::string_view name) {
    m_regs.setName(firstReg, name);
    m_rules.follow(m_regs, firstReg);
    m_rules.follow(m_regs, firstReg + 1);
}

std::string Device::name(int firstReg) const {
    return m_regs.name(firstReg);
}

void Device::setIdentificationText(std::string_view text) {
    m_idText = std::string(text.substr(0, kMaxIdText));
}

void Device::advance(double seconds, std::mt19937& random) {
    if (seconds <= 0 || !m_live)
        return;
    m_live->advance(m_regs, seconds, random);
    m_rules.follow(m_regs, kManyRegisters);
}

void RegisterFile::setFloat(int r, float value) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    set(r, static_cast<std::uint16_t>(bits >> 16));
    set(r + 1, static_cast<std::uint16_t>(bits & 0xFFFF));
}

float RegisterFile::floatAt(int r) const {
    const std::uint32_t bits = (static_cast<std::uint32_t>(get(r)) << 16) | get(r + 1);
    return std::bit_cast<float>(bits);
}

void RegisterFile::setLong(int r, std::uint32_t value) {
    set(r, static_cast<std::uint16_t>(value >> 16));
    set(r + 1, static_cast<std::uint16_t>(value & 0xFFFF));
}

void RegisterFile::setName(int firstReg, std::string_view name) {
    std::string text(name.substr(0, 4));
    text.resize(4, ' ');
    const auto byte = [&](int i) { return static_cast<std::uint8_t>(text[i]); };
    set(firstReg, static_cast<std::uint16_t>(byte(0) << 8 | byte(1)));
    set(firstReg + 1, static_cast<std::uint16_t>(byte(2) << 8 | byte(3)));
}

std::string RegisterFile::name(int firstReg) const {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const std::uint16_t r = get(firstReg + i / 2);
        const char c = static_cast<char>(i % 2 == 0 ? r >> 8 : r & 0xFF);
        if (c == 0)
            break;
        text.push_back(c);
    }
    return text;
}

} // namespace tarvo::sim
