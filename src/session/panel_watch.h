#pragma once

#include <chrono>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "devices/device_kind.h"
#include "devices/register_map.h"
#include "session/display.h"
#include "session/journal_events.h"

namespace tarvo {

class Clock;
class MeterList;
class ModbusMaster;
class Transport;

/// One listed device as the watch reads it.
struct WatchedDevice {
    int address = 0;
    DeviceKind kind = NoDevice;
    std::string name; ///< the panel name the list shows ("PNL1"), may be empty

    bool operator==(const WatchedDevice&) const = default;
};

/// The devices of the "Available Meters" list, in list order: address from
/// each line's number, kind from its text, name from between " - " and " [".
std::vector<WatchedDevice> watchedDevices(const MeterList& meters);

/// What the watch knows of one device, for the panel overview.
struct WatchStatus {
    WatchedDevice device;
    /// The worst lamp the last good read showed: a lost phase counts as an
    /// alarm. Normal before the first good read.
    Lamp worst = Lamp::Normal;
    bool read = false;            ///< at least one read was made
    bool commFailed = false;      ///< the last read failed
    std::time_t lastGoodRead = 0; ///< 0 before the first good read
    int failures = 0;             ///< failed reads since the device was listed
};

/// Every listed device's alarms and status, read in turn in the spare time
/// of each second, turned into journal entries as the selected device's
/// poll is (JournalDeriver, one per watch).
///
/// Each device is read with the smallest block that gives its lamps: a
/// branch monitor registers 42 to 48 (summary, warning and alarm flags), a
/// circuit meter register 36. A read whose lamps differ from those the
/// journal knows is followed by the device's poll block, so the entries
/// carry the currents and voltages as the poll's do; when that read does
/// not fit before the deadline the device is read first again the next
/// second.
///
/// Timing at 9600 baud (11 bits a character, 1.15 ms; a read ends 35 ms
/// after the last reply byte, since the master asks for 20 bytes more):
///   branch monitor  1 drain + 9.2 request + 21.8 reply + 35 = 67 ms
///   circuit meter   1 drain + 9.2 request +  8.0 reply + 35 = 53 ms
/// plus the device's turn-around. A silent device gives up after the
/// first-byte wait (200 ms): 210 ms. A read is started only when its worst
/// case, the wait plus the reply and the end wait (267 ms for a branch
/// monitor), ends before the deadline, so the second's poll is never
/// delayed. After the selected branch monitor's poll and name read (about
/// 220 ms) some 780 ms are spare: 8 or 9 watch reads of 67 to 77 ms, so with
/// 4 devices each is read every second, with 8 every 1 to 2 s; with every
/// device silent 3 reads fit, each device every 2 s (4) or 3 s (8).
///
/// Each device is read at most once per call. With watching off (the
/// settings' `watch`, read at each call) nothing is read.
class PanelWatch {
public:
    using SteadyNow = std::function<std::chrono::steady_clock::time_point()>;

    static constexpr std::chrono::milliseconds kFirstByteWait{200};

    /// `watching` is read at each call of watch(); `clock` stamps the
    /// entries; `steadyNow` is compared with the deadlines (a test steps it
    /// with the transactions).
    PanelWatch(ModbusMaster& master, Transport& port, const Clock& clock, const bool& watching,
               int baud = 9600, SteadyNow steadyNow = std::chrono::steady_clock::now);

    /// The devices to watch, as a scan left the list. The status of a
    /// device listed before at the same address and of the same kind is
    /// kept; the rotation starts again with the first.
    void setDevices(const std::vector<WatchedDevice>& devices);

    /// Reads the next devices in turn, each at most once, skipping
    /// `selectedAddress` (its poll reports it), as long as a read's worst
    /// case ends before `deadline`. Returns the journal entries of what
    /// changed, oldest first.
    std::vector<JournalEntry> watch(std::chrono::steady_clock::time_point deadline,
                                    int selectedAddress = -1);

    /// A read of a listed device by another reader (the sampling pass):
    /// its failure or recovery as journal entries, from the same deriver as
    /// the watch's reads, so a device both sampled and watched gives one
    /// entry per event. Read whether or not watching is on; an address not
    /// in the list gives nothing.
    std::vector<JournalEntry> noteResult(int address, int result);

    /// Asked before each read; when it says stop, watch() returns with what
    /// it has, so a stop waits for one read, not for the deadline.
    void setStopCheck(std::function<bool()> stopRequested) {
        m_stopRequested = std::move(stopRequested);
    }

    /// The selected device's poll read, which watch() skips: its journal
    /// entries come from the same deriver as the watch's reads, so a device
    /// that moves between selected and watched reports each change once,
    /// and its status follows the poll as it would a watch read. Reads
    /// nothing.
    std::vector<JournalEntry> polled(const MeterReading& reading);

    /// The line speed the worst cases are reckoned at (a changed `speed`).
    void setBaud(int baud) { m_baud = baud; }

    const std::vector<WatchStatus>& status() const { return m_status; }

    /// The block read for `kind`'s lamps; empty for kinds without lamps.
    static RegisterBlock watchBlock(int kind);
    /// The longest a read of `block` can take at `baud` with the first-byte
    /// wait `wait`: the drain, request and reply on the line, the wait and
    /// the 35 ms end-of-reply wait.
    static std::chrono::milliseconds worstReadTime(RegisterBlock block, int baud,
                                                   std::chrono::milliseconds wait);

private:
    // Reads `block` of the device into a reading with the registers at their
    // poll-block places.
    MeterReading readInto(const WatchedDevice& device, RegisterBlock block);
    // Counts a read's result in the device's status.
    void count(WatchStatus& s, int result, std::time_t now);

    // Takes a read of device `i` into its status and its known lamps.
    void note(std::size_t i, const MeterReading& reading, std::time_t now);

    ModbusMaster& m_master;
    Transport& m_port;
    const Clock& m_clock;
    const bool& m_watching;
    int m_baud;
    SteadyNow m_now;
    std::function<bool()> m_stopRequested;
    std::vector<WatchStatus> m_status;
    std::vector<LampState> m_known; // per device: the lamps the journal knows
    std::size_t m_next = 0;
    JournalDeriver m_deriver;
};

/// The worst of a device's lamps; a lost phase counts as an alarm.
Lamp worstLamp(const LampState& lamps);

} // namespace tarvo
