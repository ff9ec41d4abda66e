#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "devices/device_kind.h"

namespace tarvo {

struct MeterReading;

/// One curve a device can draw: its name, its group and the group's unit.
struct TrendChannel {
    const char* name;  ///< "Breaker 7", "A", "A-N", "kW"
    const char* group; ///< "Breakers", "Current", "L-N Volts", "L-L Volts", "Power", "Power Factor"
    const char* unit;  ///< "A", "V", "kW, kVAr, KVA", ""
};

/// The curves of a device kind, in the order a TrendBuffer keeps them:
/// 42 breaker currents for a branch monitor; for a circuit meter the 17
/// values of its display (currents A, B, C, N, Avg; L-N volts A-N, B-N,
/// C-N, Avg; L-L volts A-B, B-C, C-A, Avg; kW, kVAr, KVA; PF). None for
/// the other kinds, whose values the window does not show either.
std::span<const TrendChannel> trendChannels(int kind);

/// Index of the circuit meter's neutral current among its channels: a
/// CircuitMeter8 has none and keeps NaN there.
inline constexpr int kTrendNeutralChannel = 3;

/// Most channels of any kind: the branch monitor's 42 breakers.
inline constexpr int kMaxTrendChannels = 42;
using TrendValues = std::array<float, kMaxTrendChannels>;

/// The values of one poll read, one per channel of its kind (the rest NaN),
/// scaled as the display scales them (the circuit meter's currents and
/// powers with the factor its own CT-size register chooses). Fixed size, so
/// the tick allocates nothing.
TrendValues trendValues(const MeterReading& reading);

/// The last `capacity` points of one device's poll: a time and one float per
/// channel. Memory is taken once, when the buffer is made:
/// capacity × (8 + 4 × channels) bytes, so an hour at one point a second
/// costs 3600 × 176 = 634 KB for a branch monitor and 3600 × 76 = 274 KB
/// for a circuit meter. When full, each new point replaces the oldest.
class TrendBuffer {
public:
    TrendBuffer(int kind, int address, std::size_t capacity);

    int kind() const { return m_kind; }
    int address() const { return m_address; }
    int channelCount() const { return m_channels; }
    std::size_t capacity() const { return m_capacity; }
    std::size_t size() const { return m_size; }
    /// Points appended since the buffer was made; grows past the capacity,
    /// so a reader can tell how many points are new since it last looked.
    std::uint64_t appended() const { return m_appended; }

    /// Adds a point; `values` beyond the channel count are ignored, missing
    /// ones are NaN.
    void append(std::time_t time, std::span<const float> values);
    /// Adds a gap: a point whose values are all NaN, where the curves break
    /// (a failed read, a scan). Nothing when the newest point is one already.
    void appendGap(std::time_t time);
    /// Point i is a gap. A good read always has its first channel (breaker 1,
    /// current A), so that channel tells.
    bool isGap(std::size_t i) const;

    /// Point i, 0 the oldest held.
    std::time_t time(std::size_t i) const { return m_times[slot(i)]; }
    float value(std::size_t i, int channel) const {
        return m_values[slot(i) * static_cast<std::size_t>(m_channels) +
                        static_cast<std::size_t>(channel)];
    }

    /// Bytes held by the points.
    std::size_t memoryBytes() const;

private:
    std::size_t slot(std::size_t i) const { return (m_head + i) % m_capacity; }

    int m_kind;
    int m_address;
    int m_channels;
    std::size_t m_capacity;
    std::size_t m_head = 0; // oldest point
    std::size_t m_size = 0;
    std::uint64_t m_appended = 0;
    std::vector<std::time_t> m_times;
    std::vector<float> m_values;
};

/// The trend buffers of the most recently polled devices. Polling one more
/// device than the store holds drops the buffer of the one polled longest
/// ago, so memory stays within kDevices buffers: at most 8 × 634 KB ≈ 5 MB.
class TrendStore {
public:
    static constexpr std::size_t kPointsPerHour = 3600;
    static constexpr std::size_t kDevices = 8;

    explicit TrendStore(std::size_t pointsPerDevice = kPointsPerHour,
                        std::size_t devices = kDevices);

    /// Appends a successful poll read of a branch monitor or circuit meter;
    /// a failed read of a device held appends a gap, so its curves break
    /// there instead of joining the reads on either side with a straight
    /// line, and never show a false zero. Other kinds are left out. A device
    /// whose kind changed (another device at the address) starts afresh.
    void record(const MeterReading& reading, std::time_t time);
    /// A gap in every buffer: the poll stops while the bus is scanned.
    void breakCurves(std::time_t time);

    /// The buffer of the device at `address`, or null.
    const TrendBuffer* find(int address) const;
    /// Addresses held, most recently polled first.
    std::vector<int> addresses() const;

private:
    std::size_t m_points;
    std::size_t m_devices;
    // Most recently polled first; a handful of entries, so a vector is the
    // cheapest map.
    std::vector<std::unique_ptr<TrendBuffer>> m_buffers;
};

} // namespace tarvo
