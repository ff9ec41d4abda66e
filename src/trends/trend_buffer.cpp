#include "trends/trend_buffer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "devices/register_map.h"

namespace tarvo {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

const std::array<TrendChannel, kBreakerCount> kBreakerChannels = [] {
    static const char* const names[kBreakerCount] = {
        "Breaker 1",  "Breaker 2",  "Breaker 3",  "Breaker 4",  "Breaker 5",  "Breaker 6",
        "Breaker 7",  "Breaker 8",  "Breaker 9",  "Breaker 10", "Breaker 11", "Breaker 12",
        "Breaker 13", "Breaker 14", "Breaker 15", "Breaker 16", "Breaker 17", "Breaker 18",
        "Breaker 19", "Breaker 20", "Breaker 21", "Breaker 22", "Breaker 23", "Breaker 24",
        "Breaker 25", "Breaker 26", "Breaker 27", "Breaker 28", "Breaker 29", "Breaker 30",
        "Breaker 31", "Breaker 32", "Breaker 33", "Breaker 34", "Breaker 35", "Breaker 36",
        "Breaker 37", "Breaker 38", "Breaker 39", "Breaker 40", "Breaker 41", "Breaker 42"};
    std::array<TrendChannel, kBreakerCount> channels{};
    for (int i = 0; i < kBreakerCount; ++i)
        channels[static_cast<std::size_t>(i)] = {names[i], "Breakers", "A"};
    return channels;
}();

// Register and factor of each circuit-meter channel; a factor of 0 means
// the CT-size scale of the reading.
struct CircuitSource {
    int reg;
    float factor;
};

const TrendChannel kCircuitChannels[] = {
    {"A", "Current", "A"},
    {"B", "Current", "A"},
    {"C", "Current", "A"},
    {"N", "Current", "A"},
    {"Avg", "Current", "A"},
    {"A-N", "L-N Volts", "V"},
    {"B-N", "L-N Volts", "V"},
    {"C-N", "L-N Volts", "V"},
    {"Avg", "L-N Volts", "V"},
    {"A-B", "L-L Volts", "V"},
    {"B-C", "L-L Volts", "V"},
    {"C-A", "L-L Volts", "V"},
    {"Avg", "L-L Volts", "V"},
    {"kW", "Power", "kW, kVAr, KVA"},
    {"kVAr", "Power", "kW, kVAr, KVA"},
    {"KVA", "Power", "kW, kVAr, KVA"},
    {"PF", "Power Factor", ""},
};

const CircuitSource kCircuitSources[] = {
    {kRegCurrentA, 0},
    {kRegCurrentB, 0},
    {kRegCurrentC, 0},
    {kRegCurrentN, 0},
    {kRegCurrentAvg, 0},
    {kRegVoltsAN, kVoltsScale},
    {kRegVoltsBN, kVoltsScale},
    {kRegVoltsCN, kVoltsScale},
    {kRegVoltsLnAvg, kVoltsScale},
    {kRegVoltsAB, kVoltsScale},
    {kRegVoltsBC, kVoltsScale},
    {kRegVoltsCA, kVoltsScale},
    {kRegVoltsLlAvg, kVoltsScale},
    {kRegRealPower, 0},
    {kRegReactivePower, 0},
    {kRegApparentPower, 0},
    {kRegPowerFactor, kPowerFactorScale},
};
static_assert(std::size(kCircuitChannels) == std::size(kCircuitSources));

} // namespace

std::span<const TrendChannel> trendChannels(int kind) {
    if (isBranchMonitor(kind))
        return kBreakerChannels;
    if (isCircuitMeter(kind))
        return kCircuitChannels;
    return {};
}

TrendValues trendValues(const MeterReading& reading) {
    TrendValues values;
    values.fill(kNaN);
    if (isBranchMonitor(reading.kind)) {
        const auto currents = breakerSampleCurrents(reading.kind, reading.registers);
        std::copy(currents.begin(), currents.end(), values.begin());
        return values;
    }
    if (!isCircuitMeter(reading.kind))
        return values;
    const float scale = currentScaleFor(reading.reg(kRegCtSize));
    std::size_t c = 0;
    for (const CircuitSource& s : kCircuitSources)
        values[c++] = scaledSample(reading.reg(s.reg), s.factor == 0 ? scale : s.factor);
    if (reading.kind == CircuitMeter8)
        values[kTrendNeutralChannel] = kNaN;
    return values;
}

TrendBuffer::TrendBuffer(int kind, int address, std::size_t capacity)
    : m_kind(kind), m_address(address), m_channels(static_cast<int>(trendChannels(kind).size())),
      m_capacity(std::max<std::size_t>(capacity, 1)), m_times(m_capacity),
      m_values(m_capacity * static_cast<std::size_t>(m_channels), kNaN) {}

void TrendBuffer::append(std::time_t time, std::span<const float> values) {
    std::size_t at;
    if (m_size < m_capacity) {
        at = slot(m_size);
        ++m_size;
    } else {
        at = m_head;
        m_head = (m_head + 1) % m_capacity;
    }
    m_times[at] = time;
    float* row = m_values.data() + at * static_cast<std::size_t>(m_channels);
    for (int c = 0; c < m_channels; ++c)
        row[c] = static_cast<std::size_t>(c) < values.size() ? values[static_cast<std::size_t>(c)]
                                                             : kNaN;
    ++m_appended;
}

void TrendBuffer::appendGap(std::time_t time) {
    if (m_size == 0 || isGap(m_size - 1))
        return;
    append(time, {});
}

bool TrendBuffer::isGap(std::size_t i) const {
    return m_channels == 0 || std::isnan(value(i, 0));
}

std::size_t TrendBuffer::memoryBytes() const {
    return m_times.capacity() * sizeof(std::time_t) + m_values.capacity() * sizeof(float);
}

TrendStore::TrendStore(std::size_t pointsPerDevice, std::size_t devices)
    : m_points(pointsPerDevice), m_devices(std::max<std::size_t>(devices, 1)) {}

void TrendStore::record(const MeterReading& reading, std::time_t time) {
    if (trendChannels(reading.kind).empty())
        return;
    auto it = std::find_if(m_buffers.begin(), m_buffers.end(),
                           [&](const auto& b) { return b->address() == reading.address; });
    if (reading.result != Ok) {
        if (it != m_buffers.end() && (*it)->kind() == reading.kind)
            (*it)->appendGap(time);
        return;
    }
    if (it != m_buffers.end() && (*it)->kind() != reading.kind) {
        m_buffers.erase(it);
        it = m_buffers.end();
    }
    if (it == m_buffers.end()) {
        if (m_buffers.size() >= m_devices)
            m_buffers.pop_back();
        m_buffers.insert(m_buffers.begin(),
                         std::make_unique<TrendBuffer>(reading.kind, reading.address, m_points));
        it = m_buffers.begin();
    } else if (it != m_buffers.begin()) {
        std::rotate(m_buffers.begin(), it, it + 1);
        it = m_buffers.begin();
    }
    const TrendValues values = trendValues(reading);
    (*it)->append(time, values);
}

void TrendStore::breakCurves(std::time_t time) {
    for (const auto& b : m_buffers)
        b->appendGap(time);
}

const TrendBuffer* TrendStore::find(int address) const {
    for (const auto& b : m_buffers)
        if (b->address() == address)
            return b.get();
    return nullptr;
}

std::vector<int> TrendStore::addresses() const {
    std::vector<int> list;
    for (const auto& b : m_buffers)
        list.push_back(b->address());
    return list;
}

} // namespace tarvo
