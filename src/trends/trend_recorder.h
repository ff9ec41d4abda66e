#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "session/polling.h"
#include "session/journal_events.h"
#include "session/journal_file.h"
#include "trends/trend_buffer.h"

namespace tarvo {

class MeterList;
struct MeterReading;
struct Settings;

/// The device name a meter-list line shows: "02 - PNL1 [Kyrel ...]" gives
/// "PNL1"; empty when no line has the address.
std::string listedName(const MeterList& meters, int address);

/// Keeps the trends and the alarm journal of what the poll reads: appends
/// each good read to the trend store and turns lamp changes and
/// communication failures into journal entries, appended to the journal
/// file beside the log file. No bus traffic of its own; the file is
/// touched only when there is an event.
class TrendRecorder : public PollObserver {
public:
    using Now = std::function<std::time_t()>;

    TrendRecorder(Now now, const Settings& settings, const MeterList& meters);

    void pollRead(const MeterReading& reading) override;
    /// The poll stops for a scan: the curves break here.
    void breakCurves();

    const TrendStore& store() const { return m_store; }
    const JournalWriter& journalWriter() const { return m_writer; }
    /// Where the journal goes with the settings as they are now.
    std::string journalFile() const;
    /// Every journal file of this run, in the order first used, the current
    /// one last: choosing a log file moves the journal beside it, and the
    /// events written before are in the earlier file.
    std::vector<std::string> journalFiles() const;

    /// Called with each reading's new entries (after the file write).
    std::function<void(const std::vector<JournalEntry>&)> onEntries;

private:
    Now m_now;
    const Settings& m_settings;
    const MeterList& m_meters;
    TrendStore m_store;
    JournalDeriver m_deriver;
    JournalWriter m_writer;
    std::vector<std::string> m_written; // journal files appended to in this run
};

} // namespace tarvo
