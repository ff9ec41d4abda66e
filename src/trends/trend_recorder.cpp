#include "trends/trend_recorder.h"

#include <algorithm>

#include "devices/meter_list.h"
#include "devices/register_map.h"
#include "logging/log_file.h"
#include "settings/settings.h"

namespace tarvo {

std::string listedName(const MeterList& meters, int address) {
    for (int i = 0; i < meters.count(); ++i) {
        const std::string_view line = meters.text(i);
        if (MeterList::lineAddress(line) != address)
            continue;
        const std::size_t dash = line.find(" - ");
        if (dash == std::string_view::npos)
            return {};
        std::string_view rest = line.substr(dash + 3);
        rest = rest.substr(0, rest.find(" ["));
        return std::string(rest);
    }
    return {};
}

TrendRecorder::TrendRecorder(Now now, const Settings& settings, const MeterList& meters)
    : m_now(std::move(now)), m_settings(settings), m_meters(meters) {}

std::string TrendRecorder::journalFile() const {
    return journalPath(m_settings.saveFile);
}

std::vector<std::string> TrendRecorder::journalFiles() const {
    std::vector<std::string> files = m_written;
    const std::string current = journalFile();
    std::erase(files, current);
    files.push_back(current);
    return files;
}

void TrendRecorder::breakCurves() {
    m_store.breakCurves(m_now());
}

void TrendRecorder::record(const MeterReading& reading) {
    m_store.record(reading, m_now());
}

void TrendRecorder::pollRead(const MeterReading& reading) {
    record(reading);
    std::vector<JournalEntry> entries = m_deriver.derive(reading, m_now(), {});
    if (entries.empty())
        return;
    const std::string name = listedName(m_meters, reading.address);
    for (JournalEntry& e : entries)
        e.name = name;
    addEntries(entries);
}

void TrendRecorder::addEntries(const std::vector<JournalEntry>& entries) {
    if (entries.empty())
        return;
    const std::string file = journalFile();
    if (std::find(m_written.begin(), m_written.end(), file) == m_written.end())
        m_written.push_back(file);
    m_writer.append(file, logDelimiter(m_settings.format), entries);
    m_book.add(entries);
    if (onEntries)
        onEntries(entries);
}

void TrendRecorder::readHistory() {
    std::vector<JournalEntry> earlier;
    for (const std::string& file : journalFiles()) {
        const JournalRead read = readJournal(file);
        m_historySkipped += read.skipped;
        earlier.insert(earlier.end(), read.entries.begin(), read.entries.end());
    }
    // Each file is oldest first; the files of a run take turns.
    std::stable_sort(earlier.begin(), earlier.end(),
                     [](const JournalEntry& a, const JournalEntry& b) { return a.time < b.time; });
    m_book.add(earlier);
}

} // namespace tarvo
