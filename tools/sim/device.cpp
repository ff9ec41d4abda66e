#include "sim/device.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "sim/frame.h"

namespace tarvo::sim {

namespace {

struct ModelInfo {
    Model model;
    const char* name;
    DeviceKind kind;
    std::uint8_t slaveId;
    const char* text;
};

// The texts are tested by the program's classification in the order
// Energy-Only, Temperature, Full-Data, Branch + 100A, Branch, Circuit +
// "Meter 6,", Circuit + "Meter 8,". So no text carries a word that an earlier
// test looks for: the branch texts say "Circuit" too, which is harmless
// because "Branch" is tested first, but the circuit meter texts must never say
// "Branch".
constexpr ModelInfo kModels[] = {
    {Model::Branch, "branch", BranchMonitor, 230, "Kyrel Branch Circuit Monitor, 42 Breakers"},
    {Model::Branch100A, "branch100a", BranchMonitor100A, 231,
     "Kyrel Branch Circuit Monitor 100A, 42 Breakers"},
    {Model::Circuit8, "circuit8", CircuitMeter8, 235, "Kyrel Circuit Meter 8, 3-Phase Power Meter"},
    {Model::Circuit6, "circuit6", CircuitMeter6, 236, "Kyrel Circuit Meter 6, 3-Phase Power Meter"},
    {Model::Energy, "energy", EnergyOnlyMeter, 240, "Kyrel Energy-Only Meter"},
    {Model::Temperature, "temperature", TemperatureDevice, 241, "Kyrel Temperature Sensor"},
    {Model::FullData, "fulldata", FullDataMeter, 242, "Kyrel Full-Data Meter"},
    // A device of another make on the same bus.
    {Model::Foreign, "foreign", NoDevice, 17, "Northwind RTU Power Monitor PM-20"},
};

const ModelInfo& info(Model model) {
    for (const ModelInfo& m : kModels)
        if (m.model == model)
            return m;
    return kModels[0];
}

constexpr std::size_t kMaxIdText = 93;

// Branch monitor registers.
constexpr int kBranchSummary = 42;
constexpr int kBranchFlagsFirst = 43;
constexpr int kBranchFlagsLast = 48;
constexpr int kRatingFirst = 51;
constexpr int kWarnLevelFirst = 93;
constexpr int kAlarmLevelFirst = 135;
constexpr int kWarnDelayFirst = 177;
constexpr int kAlarmDelayFirst = 219;
constexpr int kGlobalRating = 267;
constexpr int kGlobalWarnLimit = 268;
constexpr int kGlobalAlarmLimit = 269;
constexpr int kGlobalWarnHoldoff = 270;
constexpr int kGlobalAlarmHoldoff = 271;
constexpr int kBranchName = 273;
constexpr int kBranchLast = 274;

// Circuit meter registers.
constexpr int kCtSize = 29;
constexpr int kAlarmFlags = 36;
constexpr int kPhaseLoss = 37;
constexpr int kPanelName = 38;
constexpr int kBoardName = 40;
constexpr int kMeterEnable = 72;
constexpr int kCriticalMask = 73;
constexpr std::uint16_t kEditLock = 0x8000;
constexpr int kFloatBlockFirst = 256;
constexpr int kFloatBlockLast = 313;

std::uint16_t clampReg(double value) {
    if (!(value > 0))
        return 0;
    return static_cast<std::uint16_t>(std::min(65535.0, std::lround(value) * 1.0));
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
    : m_model(model), m_address(address), m_slaveIdByte(defaultSlaveIdByte(model)),
      m_idText(defaultIdentificationText(model)) {
    initialise(name);
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
void Device::initialise(std::string_view name) {
    const std::string addr2 = (m_address < 10 ? "0" : "") + std::to_string(m_address % 100);
    switch (m_model) {
    case Model::Branch:
    case Model::Branch100A: {
        const bool hundred = m_model == Model::Branch100A;
        for (int n = 0; n < 42; ++n)
            m_regs[n] = static_cast<std::uint16_t>(hundred ? 100 + 25 * n : 1000 + 250 * n);
        m_regs[49] = 2;
        m_regs[50] = 5;
        for (int k = 0; k < 42; ++k) {
            m_regs[kRatingFirst + k] = hundred ? 60 : 20;
            m_regs[kWarnLevelFirst + k] = 70;
            m_regs[kAlarmLevelFirst + k] = 80;
            m_regs[kWarnDelayFirst + k] = 5;
            m_regs[kAlarmDelayFirst + k] = 10;
        }
        const std::uint32_t serial = 65536u + 1000u + static_cast<std::uint32_t>(m_address);
        m_regs[261] = static_cast<std::uint16_t>(serial >> 16);
        m_regs[262] = static_cast<std::uint16_t>(serial & 0xFFFF);
        setName(kBranchName, name.empty() ? "BR" + addr2 : std::string(name));
        break;
    }
    case Model::Circuit8:
    case Model::Circuit6: {
        const std::uint16_t fixed[] = {
            0, 0, 4500, 1200,  4700,  9500,  48000, 27713, 5500,  6000, 0,    0,    0,
            0, 0, 0,    48000, 48100, 47900, 27710, 27720, 27700, 5400, 5500, 5600, 150,
            0, 0, 0,    100,   52800, 43200, 8000,  0,     6000,  0,    0,    20000};
        for (std::size_t r = 0; r < std::size(fixed); ++r)
            m_regs[r] = fixed[r];
        if (m_model == Model::Circuit8)
            m_regs[25] = 0;
        setName(kPanelName, name.empty() ? "CM" + addr2 : std::string(name));
        setName(kBoardName, "BD" + addr2);
        m_regs[42] = 3;
        m_regs[43] = 1;
        const std::uint32_t serial = 65536u + 2000u + static_cast<std::uint32_t>(m_address);
        m_regs[44] = static_cast<std::uint16_t>(serial >> 16);
        m_regs[45] = static_cast<std::uint16_t>(serial & 0xFFFF);
        m_regs[kMeterEnable] = m_model == Model::Circuit8 ? 0x00FF : 0x003F;
        m_regs[kCriticalMask] = 0x0001;
        for (int j = 1; j <= 28; ++j)
            setFloat(256 + 2 * j, 100.0f + static_cast<float>(j));
        break;
    }
    case Model::Energy:
    case Model::Temperature:
    case Model::FullData: {
        m_regs[42] = 1;
        m_regs[43] = 0;
        const std::uint32_t serial = 65536u + 3000u + static_cast<std::uint32_t>(m_address);
        m_regs[44] = static_cast<std::uint16_t>(serial >> 16);
        m_regs[45] = static_cast<std::uint16_t>(serial & 0xFFFF);
        if (m_model == Model::Energy) {
            setFloat(258, 12345.5f);
            setFloat(260, 321.25f);
        } else if (m_model == Model::Temperature) {
            setFloat(256, 21.5f);
        } else {
            for (int j = 1; j <= 28; ++j)
                setFloat(256 + 2 * j, 200.0f + static_cast<float>(j));
        }
        break;
    }
    case Model::Foreign:
        for (int r = 0; r < 10; ++r)
            m_regs[r] = static_cast<std::uint16_t>(11 * r);
        break;
    }
}

bool Device::readable(int reg) const {
    if (reg < 0 || reg >= kRegisterCount)
        return false;
    switch (m_model) {
    case Model::Branch:
    case Model::Branch100A:
        // The unused registers 263 to 266 and 272 read 0, as the global
        // settings 267 to 271 read back their last written value.
        return reg <= kBranchLast;
    case Model::Circuit8:
    case Model::Circuit6:
        return reg <= kCriticalMask || (reg >= kFloatBlockFirst && reg <= kFloatBlockLast);
    case Model::Energy:
        return (reg >= 42 && reg <= 45) || (reg >= 258 && reg <= 261);
    case Model::Temperature:
        return (reg >= 42 && reg <= 45) || (reg >= 256 && reg <= 257);
    case Model::FullData:
        return (reg >= 42 && reg <= 45) || (reg >= 258 && reg <= kFloatBlockLast);
    case Model::Foreign:
        return reg <= 9;
    }
    return false;
}

bool Device::writable(int reg) const {
    if (isBranch())
        return (reg >= kBranchFlagsFirst && reg <= kBranchFlagsLast) ||
               (reg >= kRatingFirst && reg <= kAlarmDelayFirst + 41) ||
               (reg >= kGlobalRating && reg <= kGlobalAlarmHoldoff) || reg == kBranchName ||
               reg == kBranchName + 1;
    if (isCircuit())
        return (reg >= kCtSize && reg <= kBoardName + 1) || reg == kMeterEnable ||
               reg == kCriticalMask;
    return false;
}

std::uint8_t Device::readRegisters(int first, int count, std::vector<std::uint16_t>& out) const {
    if (count < 1 || count > kMaxReadCount)
        return IllegalDataValue;
    for (int r = first; r < first + count; ++r)
        if (!readable(r))
            return IllegalDataAddress;
    out.assign(m_regs.begin() + first, m_regs.begin() + first + count);
    return 0;
}

std::uint8_t Device::writeRegister(int reg, int value) {
    if (m_model == Model::Foreign)
        return IllegalFunction;
    if (!writable(reg))
        return IllegalDataAddress;
    const auto v = static_cast<std::uint16_t>(value);
    if (isBranch()) {
        const bool percent = (reg >= kWarnLevelFirst && reg < kWarnDelayFirst) ||
                             reg == kGlobalWarnLimit || reg == kGlobalAlarmLimit;
        if (percent && v > 100)
            return IllegalDataValue;
        if (reg >= kBranchFlagsFirst && reg <= kBranchFlagsLast) {
            // Flags latch: a write can only clear bits, and 0 clears them all.
            m_regs[reg] &= v;
            updateBranchSummary();
            return 0;
        }
        m_regs[reg] = v;
        // A global setting sets the same value for every breaker.
        int spreadFirst = -1;
        switch (reg) {
        case kGlobalRating:
            spreadFirst = kRatingFirst;
            break;
        case kGlobalWarnLimit:
            spreadFirst = kWarnLevelFirst;
            break;
        case kGlobalAlarmLimit:
            spreadFirst = kAlarmLevelFirst;
            break;
        case kGlobalWarnHoldoff:
            spreadFirst = kWarnDelayFirst;
            break;
        case kGlobalAlarmHoldoff:
            spreadFirst = kAlarmDelayFirst;
            break;
        default:
            break;
        }
        if (spreadFirst >= 0)
            for (int k = 0; k < 42; ++k)
                m_regs[spreadFirst + k] = v;
        return 0;
    }
    // Circuit meters.
    const bool locked = (m_regs[kMeterEnable] & kEditLock) != 0;
    if (reg == kCtSize && (v < 1 || v > 5999))
        return IllegalDataValue;
    if (locked && (reg == kBoardName || reg == kBoardName + 1 || reg == kMeterEnable))
        return IllegalDataValue;
    if (reg == kAlarmFlags) {
        m_regs[reg] &= v;
        return 0;
    }
    if (reg == kMeterEnable) {
        // Meter 1 is always on, bits 8 to 14 do not exist, the lock bit is the
        // device's own, and a six-meter board has no meters 7 and 8.
        std::uint16_t enable = static_cast<std::uint16_t>((v & 0x00FF) | 0x0001);
        if (m_model == Model::Circuit6)
            enable &= 0x003F;
        m_regs[reg] = static_cast<std::uint16_t>(enable | (m_regs[reg] & kEditLock));
        return 0;
    }
    m_regs[reg] = v;
    return 0;
}

std::uint16_t Device::reg(int r) const {
    return r >= 0 && r < kRegisterCount ? m_regs[r] : 0;
}

void Device::setReg(int r, std::uint16_t value) {
    if (r < 0 || r >= kRegisterCount)
        return;
    m_regs[r] = value;
    if (isBranch() && r >= kBranchFlagsFirst && r <= kBranchFlagsLast)
        updateBranchSummary();
}

void Device::setFloat(int r, float value) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    setReg(r, static_cast<std::uint16_t>(bits >> 16));
    setReg(r + 1, static_cast<std::uint16_t>(bits & 0xFFFF));
}

float Device::floatAt(int r) const {
    const std::uint32_t bits = (static_cast<std::uint32_t>(reg(r)) << 16) | reg(r + 1);
    return std::bit_cast<float>(bits);
}

void Device::setName(int firstReg, std::string_view name) {
    std::string text(name.substr(0, 4));
    text.resize(4, ' ');
    const auto byte = [&](int i) { return static_cast<std::uint8_t>(text[i]); };
    setReg(firstReg, static_cast<std::uint16_t>(byte(0) << 8 | byte(1)));
    setReg(firstReg + 1, static_cast<std::uint16_t>(byte(2) << 8 | byte(3)));
}

std::string Device::name(int firstReg) const {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const std::uint16_t r = reg(firstReg + i / 2);
        const char c = static_cast<char>(i % 2 == 0 ? r >> 8 : r & 0xFF);
        if (c == 0)
            break;
        text.push_back(c);
    }
    return text;
}

void Device::setIdentificationText(std::string_view text) {
    m_idText = std::string(text.substr(0, kMaxIdText));
}

void Device::updateBranchSummary() {
    std::uint16_t summary = 0;
    for (int i = 0; i < 6; ++i)
        if (m_regs[kBranchFlagsFirst + i] != 0)
            summary |= static_cast<std::uint16_t>(1u << i);
    m_regs[kBranchSummary] = summary;
}

void Device::advance(double seconds, std::mt19937& random) {
    if (seconds <= 0)
        return;
    if (isBranch())
        advanceBranch(seconds, random);
    else if (isCircuit())
        advanceCircuit(seconds, random);
    else if (m_model != Model::Foreign)
        advanceFloats(seconds, random);
    m_liveStarted = true;
}

void Device::advanceBranch(double seconds, std::mt19937& random) {
    const double unit = m_model == Model::Branch100A ? 100.0 : 1000.0;
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    if (!m_liveStarted)
        for (int k = 0; k < 42; ++k)
            m_baseAmps[k] = m_regs[kRatingFirst + k] * (0.2 + 0.35 * uniform(random));
    // Roughly one overload a minute: one breaker runs at 85 to 100 % of its
    // rating for 20 to 40 s, long enough to pass the default warning and alarm
    // delays.
    if (m_overloadBreaker < 0 && uniform(random) < seconds / 60.0) {
        m_overloadBreaker = std::uniform_int_distribution<int>(0, 41)(random);
        m_overloadLeft = 20.0 + 20.0 * uniform(random);
    }
    std::normal_distribution<double> noise(0.0, 0.01);
    for (int k = 0; k < 42; ++k) {
        const double rating = m_regs[kRatingFirst + k];
        m_baseAmps[k] = std::clamp(m_baseAmps[k] + rating * noise(random) * std::sqrt(seconds),
                                   0.05 * rating, 0.6 * rating);
        double amps = m_baseAmps[k] * (1.0 + noise(random));
        if (k == m_overloadBreaker)
            amps = rating * (0.85 + 0.15 * uniform(random));
        m_regs[k] = clampReg(amps * unit);

        const double percent = rating > 0 ? 100.0 * amps / rating : 0.0;
        const int word = k / 16;
        const auto bit = static_cast<std::uint16_t>(1u << (k % 16));
        m_warnSeconds[k] = percent >= m_regs[kWarnLevelFirst + k] ? m_warnSeconds[k] + seconds : 0;
        m_alarmSeconds[k] =
            percent >= m_regs[kAlarmLevelFirst + k] ? m_alarmSeconds[k] + seconds : 0;
        if (m_warnSeconds[k] > 0 && m_warnSeconds[k] >= m_regs[kWarnDelayFirst + k])
            m_regs[kBranchFlagsFirst + word] |= bit;
        if (m_alarmSeconds[k] > 0 && m_alarmSeconds[k] >= m_regs[kAlarmDelayFirst + k])
            m_regs[kBranchFlagsFirst + 3 + word] |= bit;
    }
    if (m_overloadBreaker >= 0 && (m_overloadLeft -= seconds) <= 0)
        m_overloadBreaker = -1;
    updateBranchSummary();
}

void Device::advanceCircuit(double seconds, std::mt19937& random) {
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::normal_distribution<double> noise(0.0, 0.005);
    const std::uint16_t ct = m_regs[kCtSize];
    // Registers hold amperes divided by the scale the CT size chooses.
    const double scale = ct <= 5 ? 0.0001 : ct <= 59 ? 0.001 : ct <= 599 ? 0.01 : 0.1;
    if (!m_liveStarted)
        for (int p = 0; p < 3; ++p)
            m_basePhaseAmps[p] = m_regs[22 + p] * scale;
    // Roughly every 90 s one phase drops for 10 to 20 s.
    if (m_droppedPhase < 0 && uniform(random) < seconds / 90.0) {
        m_droppedPhase = std::uniform_int_distribution<int>(0, 2)(random);
        m_dropLeft = 10.0 + 10.0 * uniform(random);
    }
    double sumAmps = 0, sumLn = 0, sumLl = 0;
    for (int p = 0; p < 3; ++p) {
        m_basePhaseAmps[p] = std::max(0.0, m_basePhaseAmps[p] * (1.0 + noise(random)));
        const bool dropped = p == m_droppedPhase;
        const double amps = dropped ? 0.0 : m_basePhaseAmps[p];
        const double ln = dropped ? 0.0 : 277.1 * (1.0 + noise(random) * 0.2);
        m_regs[22 + p] = clampReg(amps / scale);
        m_regs[19 + p] = clampReg(ln * 100.0);
        sumAmps += amps;
        sumLn += ln;
    }
    for (int p = 0; p < 3; ++p) {
        const double a = m_regs[19 + p] / 100.0, b = m_regs[19 + (p + 1) % 3] / 100.0;
        // Line-to-line voltage of two phases 120 degrees apart.
        const double ll = std::sqrt(a * a + b * b + a * b);
        m_regs[16 + p] = clampReg(ll * 100.0);
        sumLl += ll;
    }
    const double pf = m_regs[5] / 10000.0;
    const double kva = sumLn * sumAmps / 3.0 / 1000.0 * 1.0;
    m_regs[8] = clampReg(sumAmps / 3.0 / scale);
    m_regs[7] = clampReg(sumLn / 3.0 * 100.0);
    m_regs[6] = clampReg(sumLl / 3.0 * 100.0);
    m_regs[4] = clampReg(kva / scale);
    m_regs[2] = clampReg(kva * pf / scale);
    m_regs[3] = clampReg(kva * std::sqrt(std::max(0.0, 1.0 - pf * pf)) / scale);

    // Alarm flags latch until a master writes them with 0.
    std::uint16_t flags = 0;
    const auto maxAmps = std::max({m_regs[22], m_regs[23], m_regs[24]});
    const auto minAmps = std::min({m_regs[22], m_regs[23], m_regs[24]});
    if (m_regs[32] > 0 && maxAmps > m_regs[32])
        flags |= 0x01;
    if (m_regs[33] > 0 && minAmps < m_regs[33])
        flags |= 0x02;
    if (m_regs[34] > 0 && m_regs[4] > m_regs[34])
        flags |= 0x04;
    if (m_regs[35] > 0 && m_regs[4] < m_regs[35])
        flags |= 0x08;
    if (m_regs[30] > 0 && m_regs[6] > m_regs[30])
        flags |= 0x10;
    if (m_regs[31] > 0 && m_regs[6] < m_regs[31])
        flags |= 0x20;
    for (int p = 0; p < 3; ++p)
        if (m_regs[19 + p] < m_regs[kPhaseLoss])
            flags |= static_cast<std::uint16_t>(0x40u << p);
    m_regs[kAlarmFlags] |= flags;

    // The float block: energy counters run on, the rest follow the readings.
    setFloat(258, floatAt(258) + static_cast<float>(kva * pf * seconds / 3600.0));
    setFloat(260, floatAt(260) + static_cast<float>(kva * seconds / 3600.0));
    for (int p = 0; p < 3; ++p) {
        setFloat(262 + 2 * p, static_cast<float>(m_regs[22 + p] * scale));
        setFloat(268 + 2 * p, static_cast<float>(m_regs[19 + p] / 100.0));
    }
    if (m_droppedPhase >= 0 && (m_dropLeft -= seconds) <= 0)
        m_droppedPhase = -1;
}

void Device::advanceFloats(double seconds, std::mt19937& random) {
    std::normal_distribution<double> noise(0.0, 1.0);
    switch (m_model) {
    case Model::Energy:
        setFloat(258, floatAt(258) + static_cast<float>(12.0 * seconds / 3600.0));
        setFloat(260, floatAt(260) + static_cast<float>(3.0 * seconds / 3600.0));
        break;
    case Model::Temperature:
        setFloat(256, static_cast<float>(std::clamp(
                          floatAt(256) + 0.05 * noise(random) * std::sqrt(seconds), 15.0, 35.0)));
        break;
    case Model::FullData:
        for (int j = 1; j <= 28; ++j) {
            const double base = 200.0 + j;
            const double v = floatAt(256 + 2 * j) + 0.1 * noise(random);
            setFloat(256 + 2 * j, static_cast<float>(std::clamp(v, base * 0.95, base * 1.05)));
        }
        break;
    default:
        break;
    }
}

} // namespace tarvo::sim
