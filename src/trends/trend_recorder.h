#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "session/journal_events.h"
#include "session/journal_file.h"
#include "session/polling.h"
#include "trends/trend_buffer.h"

namespace tarvo {

class MeterList;
struct MeterReading;
struct Settings;

/// The device name a meter-list line shows: "02 - PNL1 [Kyrel ...]" gives
/// "PNL1"; empty when no line has the address.
std::string listedName(const MeterList& meters, int address);

/// Keeps the trends and the alarm journal of what the bus reads: appends
/// each good poll read to the trend store, and each journal entry to the
/// journal file beside the log file and to the journal's book, which holds
/// the entries' states for the journal window and the main window's count
/// whether the journal window is open or not. No bus traffic of its own;
/// the file is touched only when there is an event.
class TrendRecorder : public PollObserver {
public:
    using Now = std::function<std::time_t()>;

    TrendRecorder(Now now, const Settings& settings, const MeterList& meters);

    /// record(), and the journal entries of the reading's lamp changes and
    /// communication failures (for a program whose poll is its only reader;
    /// the window derives them with its panel watch and calls addEntries).
    void pollRead(const MeterReading& reading) override;
    /// Appends the reading to the trend store.
    void record(const MeterReading& reading);
    /// Writes `entries` to the journal file, places them in the book, then
    /// hands them to onEntries.
    void addEntries(const std::vector<JournalEntry>& entries);
    /// Reads the journal files back into the book (earlier runs included),
    /// before the entries of this run: once, before the first addEntries.
    void readHistory();
    /// The poll stops for a scan: the curves break here.
    void breakCurves();

    const TrendStore& store() const { return m_store; }
    const JournalWriter& journalWriter() const { return m_writer; }
    /// The journal's entries with their states, oldest first.
    JournalBook& journal() { return m_book; }
    const JournalBook& journal() const { return m_book; }
    /// Lines of the journal files that readHistory skipped as no journal line.
    std::size_t historySkipped() const { return m_historySkipped; }
    /// Where the journal goes with the settings as they are now.
    std::string journalFile() const;
    /// Every journal file of this run, in the order first used, the current
    /// one last: choosing a log file moves the journal beside it, and the
    /// events written before are in the earlier file.
    std::vector<std::string> journalFiles() const;

    /// Called with each addEntries' entries (after the file write and the book).
    std::function<void(const std::vector<JournalEntry>&)> onEntries;

private:
    Now m_now;
    const Settings& m_settings;
    const MeterList& m_meters;
    TrendStore m_store;
    JournalDeriver m_deriver;
    JournalWriter m_writer;
    JournalBook m_book;
    std::size_t m_historySkipped = 0;
    std::vector<std::string> m_written; // journal files appended to in this run
};

} // namespace tarvo
