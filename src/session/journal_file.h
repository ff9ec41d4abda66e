#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "session/journal_events.h"

namespace tarvo {

/// The journal file beside the log file: "panel.csv" keeps its journal in
/// "panel_journal.csv", "log" in "log_journal". Without a log file the
/// journal is "Tarvo_journal.csv" in the working directory, beside
/// Tarvo.cfg.
std::string journalPath(const std::string& logFile);

/// One journal line, line feed included, delimited like the log file:
/// time stamp ("%m/%d/%Y %H:%M:%S", local time), address, name, event,
/// subject, value, unit. Numbers use "." whatever the locale (a value with
/// up to three decimals, no trailing zeros). A text that holds the
/// delimiter, a blank, a quote or nothing at all is put in double quotes
/// with its quotes doubled, so names and result texts survive every
/// delimiter, the space included.
std::string journalLine(const JournalEntry& entry, char delimiter);

/// What reading a journal file found.
struct JournalRead {
    std::vector<JournalEntry> entries; ///< in file order, oldest first
    std::size_t skipped = 0;           ///< lines that are no journal line
    bool opened = false;               ///< false when the file is missing or unreadable
    std::string error;                 ///< why it was not opened
};

/// What a line-by-line read found besides the lines.
struct LinesRead {
    bool opened = false;
    bool cancelled = false;
    std::size_t overlong = 0; ///< lines longer than the bound, left out
    std::string error;        ///< why the file could not be read
};

/// Reads a regular file line by line, each line handed to `line` without its
/// line feed. The file is opened without blocking and anything but a regular
/// file is refused ("not a regular file"), so a FIFO cannot stall the reader
/// and a device cannot feed it for ever. A line longer than `maxLine` bytes
/// is skipped and counted, so a file without line feeds costs no more than
/// one bound of memory. `chunk` (when given) is called with the bytes read
/// so far and the file's size after every 64 KiB read, and before the
/// first; returning false stops the read (cancelled).
LinesRead readLines(const std::string& path, std::size_t maxLine,
                    const std::function<void(std::string_view)>& line,
                    const std::function<bool(std::uint64_t done, std::uint64_t total)>& chunk = {});

/// Reads a journal file written with any of the three delimiters (each line
/// may have its own). Damaged, foreign or over-long lines are counted, never
/// fatal; only a regular file is read.
JournalRead readJournal(const std::string& path);

/// Appends entries to the journal file. An entry leaves the waiting list
/// only once its whole line is in the file; while the file cannot be
/// written they wait (up to kMaxWaiting, the oldest dropped and counted
/// beyond that) and go out, oldest first, with the next append that can
/// open it. The file is opened and closed in each call, without blocking:
/// anything but a regular file (a FIFO, a device, a folder) is refused
/// ("not a regular file") instead of holding the window until a reader comes.
class JournalWriter {
public:
    static constexpr std::size_t kMaxWaiting = 10000;

    /// Queues `entries` and writes everything waiting to `path`. Returns
    /// false when something is still waiting.
    bool append(const std::string& path, char delimiter, const std::vector<JournalEntry>& entries);

    const std::deque<JournalEntry>& waiting() const { return m_waiting; }
    std::size_t dropped() const { return m_dropped; }
    /// Why the last write failed ("Permission denied"), empty after a good one.
    const std::string& lastError() const { return m_lastError; }

private:
    std::deque<JournalEntry> m_waiting;
    std::size_t m_dropped = 0;
    std::string m_lastError;
};

/// Splits a delimited line into fields, honouring double quotes. With the
/// space as delimiter, runs of blanks separate fields.
std::vector<std::string> splitDelimited(const std::string& line, char delimiter);

/// Parses "%m/%d/%Y %H:%M:%S" as local time; false for anything else.
bool parseStamp(const std::string& text, std::time_t& time);

} // namespace tarvo
