#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>

#include "devices/device_kind.h"
#include "devices/register_map.h"

namespace tarvo {

/// One sampled record: what one sampling pass read from one listed device.
///
/// A record may wait in the file queue, the database queue or both. It is
/// held through a shared pointer, so it is freed exactly when the last queue
/// that holds it lets go of it (the writer or inserter consumes it, a queue
/// is discarded, or the bound drops it): the shared pointer's count is the
/// record's reference count. Consumers take records through `const` pointers
/// and never change one another's view of a record.
struct LogSample {
    /// The kind derived from the list entry; NoDevice when the read failed
    /// or the kind is not one the pass can read. Consumers write nothing for
    /// a NoDevice record but still consume it.
    DeviceKind kind = NoDevice;
    int address = 0;      ///< Modbus address, 1 to 247
    std::time_t time = 0; ///< start of the pass; the same for every record of a pass
    /// Breaker 1 to 42 in amperes; meaningful for branch monitors only.
    std::array<float, kBreakerCount> currents{};
    /// The circuit meter's float block, value 1 (registers 258/259) first;
    /// meaningful for circuit meters only.
    std::array<float, kCircuitSampleValues> meterValues{};
};

using SampleRecord = std::shared_ptr<const LogSample>;

/// A first-in first-out queue of sampled records waiting for one consumer
/// (the log file writer or the database inserter).
///
/// The queue is bounded: a sink that cannot take records (a file that cannot
/// be opened, a database that is down) would otherwise let it grow by one
/// record per device and pass until memory runs out. Beyond the bound the
/// oldest record is dropped, so the newest data survive, and every drop is
/// counted for the operator to see.
class SampleQueue {
public:
    /// A day of passes for 64 devices at the shortest interval, 1 minute:
    /// 64 x 1440 = 92,160 records, so a bus of 32 devices keeps two days.
    /// A record takes about 330 bytes with its shared-pointer block, so a
    /// full queue holds about 30 MB.
    static constexpr std::size_t kDefaultBound = 64 * 1440;

    explicit SampleQueue(std::size_t bound = kDefaultBound) : m_bound(bound < 1 ? 1 : bound) {}

    /// What one push did.
    enum class Push {
        Queued,          ///< appended, nothing dropped
        Dropped,         ///< appended; the oldest record was dropped to make room
        DroppingStarted, ///< as Dropped, and it is the first drop since the queue was last empty
    };

    /// Appends `record` at the tail, dropping the oldest record when the
    /// queue is full. A null record is ignored (reported as Queued).
    Push push(SampleRecord record);

    bool empty() const { return m_records.empty(); }
    std::size_t size() const { return m_records.size(); }
    std::size_t bound() const { return m_bound; }

    /// The oldest record; null when the queue is empty.
    SampleRecord front() const { return empty() ? nullptr : m_records.front(); }
    /// Unlinks the oldest record (freeing it if no other queue holds it).
    void popFront();
    /// Unlinks every record without handing it to the consumer.
    void clear();

    /// Records dropped by the bound since the program started; never reset.
    std::uint64_t droppedCount() const { return m_dropped; }

private:
    std::deque<SampleRecord> m_records;
    std::size_t m_bound;
    std::uint64_t m_dropped = 0;
    // Set by the first drop, cleared when the queue is emptied: a new run of
    // drops after the sink caught up is reported again.
    bool m_dropping = false;
};

} // namespace tarvo
