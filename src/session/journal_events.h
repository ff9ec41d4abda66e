#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tarvo {

struct MeterReading;

/// What changed. The texts (eventText) are what the journal window and the
/// journal file show.
enum class JournalEvent : int {
    Warning,       ///< a breaker lamp turned yellow
    Alarm,         ///< a breaker lamp or a circuit-meter under/over lamp turned red
    Normal,        ///< such a lamp went back to green
    PhaseLost,     ///< a circuit meter's phase-loss letter appeared
    PhaseBack,     ///< ... and went away
    CommFailure,   ///< a poll read failed after a good one (or as the first)
    CommRecovered, ///< the first good poll read after failures
};

/// Where an entry stands. A problem (a warning, an alarm, a lost phase, a
/// communication failure) is active until a later entry of the same device
/// and subject clears it (a recovery clears the device's failures), or
/// until the operator acknowledges it; the other entries are cleared from
/// the start. Only a JournalBook places entries; the journal file keeps no
/// state, so a file of any age is read the same way: each line's state
/// follows from the lines after it.
enum class JournalState : int { Active, Cleared, Acknowledged };

/// "active", "cleared", "acknowledged".
const char* stateText(JournalState state);

const char* eventText(JournalEvent event);
/// The event of a text written by eventText; false for any other text.
bool eventFromText(const std::string& text, JournalEvent& event);

/// One line of the alarm journal.
struct JournalEntry {
    std::time_t time = 0; ///< when the poll read it, seconds since 1970 UTC
    int address = 0;
    std::string name; ///< the device's name as the meter list shows it
    JournalEvent event = JournalEvent::Normal;
    std::string subject; ///< "Breaker 7", "Amps over", "Phase B", or a result text
    double value = 0;    ///< what was read at that moment (an error code for failures)
    std::string unit;    ///< "A", "V", "KVA", or empty
    JournalState state = JournalState::Active; ///< as a JournalBook placed it

    bool operator==(const JournalEntry&) const = default;
};

/// Turns the poll reads of the selected device into journal entries: every
/// lamp change the display would show and every communication failure and
/// recovery, per device address.
///
/// The first good read of a device reports what is not normal then (a lamp
/// already red is news to the journal); later reads report changes. A
/// failed read reports a failure once per run of failures and leaves the
/// remembered lamps alone: its all-zero block says nothing about the
/// device, so lamps that were red before a failure and are red after it
/// give no events. Values: a breaker's current, "Amps" the average current,
/// "Volts" the L-N average, "KVA" the apparent power, a lost or returned
/// phase its L-N voltage, a failure its result code.
class JournalDeriver {
public:
    std::vector<JournalEntry> derive(const MeterReading& reading, std::time_t time,
                                     const std::string& name);
    /// A read by a reader that learns only whether the device answered (the
    /// sampling pass, whose block is not the poll's): a failure or a
    /// recovery, as derive() gives them, with the remembered lamps left
    /// alone. Sharing the deriver with the device's other reads keeps one
    /// entry per event however many readers see it.
    std::vector<JournalEntry> deriveComm(int address, int kind, int result, std::time_t time,
                                         const std::string& name);

private:
    struct DeviceState {
        int kind = 0;
        bool seen = false;   // a good read set the lamps below
        bool failed = false; // the last read failed
        std::array<std::uint8_t, 42> breakers{};
        int circuitFlags = 0;
    };
    // The device's state, reset when another kind answers at its address.
    DeviceState& device(int address, int kind);
    // Adds the failure or recovery `result` makes; true when it is Ok.
    static bool comm(DeviceState& d, int address, int result, std::time_t time,
                     const std::string& name, std::vector<JournalEntry>& out);

    std::map<int, DeviceState> m_devices;
};

/// The journal's entries with their states, oldest first: what the journal
/// window shows and the main window counts.
class JournalBook {
public:
    /// Appends the entries in order, each with its state, clearing the
    /// active entries each one ends.
    void add(const std::vector<JournalEntry>& entries);
    /// Acknowledges the entry at `index` when it is active; false otherwise.
    bool acknowledge(std::size_t index);
    /// Acknowledges every active entry.
    void acknowledgeAll();

    /// Active entries: problems neither cleared nor acknowledged.
    int activeCount() const { return m_active; }
    const std::vector<JournalEntry>& entries() const { return m_entries; }

    /// Called with activeCount() whenever it changes.
    std::function<void(int)> onActiveCountChanged;

private:
    void setActive(int count);

    std::vector<JournalEntry> m_entries;
    // The active entries of each device and subject, by index.
    std::map<std::pair<int, std::string>, std::vector<std::size_t>> m_open;
    int m_active = 0;
};

/// Lamp of each breaker from a branch-monitor poll block, as the display
/// derives it: 0 normal, 1 warning, 2 alarm. Flag registers whose summary bit
/// (register 42) is clear are ignored; alarms win over warnings.
std::array<std::uint8_t, 42> breakerLamps(const MeterReading& reading);

} // namespace tarvo
