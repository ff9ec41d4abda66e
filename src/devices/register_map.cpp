#include "devices/register_map.h"

#include <algorithm>
#include <bit>
#include <charconv>

#include "link/device_table.h"

namespace tarvo {
namespace {

constexpr RegisterBlock kBranchPoll{0, 49};
constexpr RegisterBlock kCircuitPoll{0, 37};
constexpr RegisterBlock kTemperaturePoll{256, 2};
constexpr RegisterBlock kEnergyOnlyPoll{258, 4};
constexpr RegisterBlock kFullDataPoll{258, 52};
constexpr RegisterBlock kBranchNames{273, 2};
constexpr RegisterBlock kCircuitNames{38, 4};
constexpr RegisterBlock kCircuitSample{258, 56};

std::uint32_t u16(std::int32_t reg) {
    return static_cast<std::uint32_t>(reg) & 0xFFFFu;
}

} // namespace

RegisterBlock pollBlock(int kind) {
    if (isBranchMonitor(kind))
        return kBranchPoll;
    if (isCircuitMeter(kind))
        return kCircuitPoll;
    switch (kind) {
    case TemperatureDevice:
        return kTemperaturePoll;
    case EnergyOnlyMeter:
        return kEnergyOnlyPoll;
    case FullDataMeter:
        return kFullDataPoll;
    default:
        return {};
    }
}

RegisterBlock nameBlock(int kind) {
    if (isBranchMonitor(kind))
        return kBranchNames;
    if (isCircuitMeter(kind))
        return kCircuitNames;
    return {};
}

RegisterBlock sampleBlock(int kind) {
    if (isCircuitMeter(kind))
        return kCircuitSample;
    return pollBlock(kind);
}

ModbusResult readBlock(ModbusMaster& master, Transport& port, int address, RegisterBlock block,
                       std::span<std::int32_t> values) {
    if (block.empty())
        return Ok;
    const ModbusResult r =
        master.readHoldingRegisters(port, address, block.first, block.count, values);
    if (r != Ok) {
        const auto n = std::min(values.size(), static_cast<std::size_t>(block.count));
        std::fill_n(values.begin(), n, 0);
    }
    return r;
}

MeterReading readMeter(ModbusMaster& master, Transport& port, DeviceKind kind, int address) {
    MeterReading reading;
    reading.kind = kind;
    reading.address = address;
    reading.result = readBlock(master, port, address, pollBlock(kind), reading.registers);
    return reading;
}

double scaled(std::int32_t reg, float factor) {
    return static_cast<double>(u16(reg)) * static_cast<double>(factor);
}

float scaledSample(std::int32_t reg, float factor) {
    return static_cast<float>(scaled(reg, factor));
}

float breakerScale(int kind) {
    switch (kind) {
    case BranchMonitor:
        return kScaleThousandth;
    case BranchMonitor100A:
        return kScaleHundredth;
    default:
        return 0.0f;
    }
}

float currentScaleFor(std::int32_t ctSize) {
    const std::uint32_t c = static_cast<std::uint32_t>(ctSize);
    if (c <= 5)
        return kScaleTenThousandth;
    if (c <= 59)
        return kScaleThousandth;
    if (c <= 599)
        return kScaleHundredth;
    if (c <= 5999)
        return kScaleTenth;
    return 0.0f;
}

float decodeFloat(std::int32_t high, std::int32_t low) {
    return std::bit_cast<float>((u16(high) << 16) | u16(low));
}

std::string nameText(std::int32_t first, std::int32_t second) {
    const char bytes[4] = {
        static_cast<char>(u16(first) >> 8),
        static_cast<char>(u16(first) & 0xFF),
        static_cast<char>(u16(second) >> 8),
        static_cast<char>(u16(second) & 0xFF),
    };
    const auto end = std::find(std::begin(bytes), std::end(bytes), '\0');
    return std::string(std::begin(bytes), end);
}

std::string fixedText(double value, int decimals) {
    // to_chars never looks at the locale, so the decimal point is always ".".
    char buf[400];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    if (r.ec != std::errc())
        return {};
    return std::string(buf, r.ptr);
}

std::string breakerText(int kind, std::int32_t reg) {
    return fixedText(scaled(reg, breakerScale(kind)), 3);
}

std::string circuitText(std::int32_t reg, float factor) {
    return fixedText(scaled(reg, factor), 2);
}

std::string neutralText(int kind, std::int32_t reg, float currentScale) {
    if (kind == CircuitMeter6)
        return circuitText(reg, currentScale);
    return "N/A";
}

std::array<float, kBreakerCount> breakerSampleCurrents(int kind,
                                                       std::span<const std::int32_t> registers) {
    std::array<float, kBreakerCount> currents{};
    const float factor = breakerScale(kind);
    for (std::size_t i = 0; i < currents.size() && i < registers.size(); ++i)
        currents[i] = scaledSample(registers[i], factor);
    return currents;
}

ModbusResult readNames(ModbusMaster& master, Transport& port, const DeviceTable& devices,
                       int address, DeviceNames& names) {
    const int kind = devices.slaveId(address);
    const RegisterBlock block = nameBlock(kind);
    if (block.empty()) {
        names.panel.clear();
        names.board.clear();
        return Ok;
    }
    std::array<std::int32_t, 4> regs{};
    const ModbusResult r = readBlock(master, port, address, block, regs);
    // A failed read leaves the registers 0, which is the empty name.
    names.panel = nameText(regs[0], regs[1]);
    if (isCircuitMeter(kind))
        names.board = nameText(regs[2], regs[3]);
    return r;
}

} // namespace tarvo
