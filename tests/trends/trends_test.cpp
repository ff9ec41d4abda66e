#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <utility>

#include "devices/register_map.h"
#include "session/journal_events.h"
#include "session/journal_file.h"
#include "support/local_zone.h"
#include "support/temp_dir.h"
#include "trends/log_reader.h"
#include "trends/trend_buffer.h"

namespace tarvo {
namespace {

using Regs = std::initializer_list<std::pair<int, int>>;

MeterReading reading(DeviceKind kind, int address, Regs regs, int result = Ok) {
    MeterReading r;
    r.kind = kind;
    r.address = address;
    r.result = result;
    for (auto [reg, value] : regs)
        r.registers[static_cast<std::size_t>(reg)] = value;
    return r;
}

// --- Trend buffers ---------------------------------------------------------

TEST(TrendStore, HoldsOnlyTheMostRecentlyPolledDevicesAndGoodReads) {
    TrendStore store(10, 2);
    store.record(reading(BranchMonitor, 2, {{0, 1000}}), 1);
    store.record(reading(CircuitMeter6, 3, {{kRegCtSize, 100}, {kRegCurrentA, 1234}}), 2);
    store.record(reading(BranchMonitor, 2, {}, Timeout), 3); // failed: a gap, no false zero
    store.record(reading(BranchMonitor, 2, {{0, 2000}}), 4);
    store.record(reading(BranchMonitor100A, 5, {{0, 1234}}), 5); // evicts 3, polled longest ago
    EXPECT_EQ(store.addresses(), (std::vector<int>{5, 2}));
    ASSERT_NE(store.find(2), nullptr);
    ASSERT_EQ(store.find(2)->size(), 3u);
    EXPECT_TRUE(store.find(2)->isGap(1)) << "a failed read joined its neighbours with a line";
    EXPECT_FLOAT_EQ(store.find(2)->value(2, 0), 2.0f);
    EXPECT_FLOAT_EQ(store.find(5)->value(0, 0), 12.34f) << "100 A factor not applied";
    store.record(reading(CircuitMeter8, 5, {{kRegCtSize, 100}, {kRegCurrentA, 1234}}), 6);
    ASSERT_EQ(store.find(5)->size(), 1u) << "another kind at the address mixed its curves";
    EXPECT_FLOAT_EQ(store.find(5)->value(0, 0), 12.34f);
    EXPECT_TRUE(std::isnan(store.find(5)->value(0, kTrendNeutralChannel)));
    store.breakCurves(7);
    EXPECT_TRUE(store.find(5)->size() == 2 && store.find(5)->isGap(1)) << "a scan left no gap";
}

// --- Journal events --------------------------------------------------------

// A scripted run of poll reads, each row one read as "register=value ..."
// and the journal lines it must add, as "event|subject|value" joined by "; ".
// Circuit meter registers: 7 volts L-N average, 8 current average, 21 volts
// C-N, 29 CT size, 36 alarm flags.
struct JournalCase {
    const char* name;
    DeviceKind kind;
    int address;
    int result;
    const char* regs;
    const char* expected;
};

const JournalCase kJournalRun[] = {
    {"first read all normal gives nothing", BranchMonitor, 3, Ok, "0=5000", ""},
    {"flag without summary bit is ignored", BranchMonitor, 3, Ok, "43=1", ""},
    {"warning on breaker 1", BranchMonitor, 3, Ok, "0=12345 42=1 43=1", "Warning|Breaker 1|12.345"},
    {"alarm wins over warning", BranchMonitor, 3, Ok, "0=15000 42=9 43=1 46=1",
     "Alarm|Breaker 1|15"},
    {"breaker 42 from the third group", BranchMonitor, 3, Ok, "41=2500 42=0xC 43=1 46=1 45=0x200",
     "Warning|Breaker 42|2.5"},
    {"failure reported once", BranchMonitor, 3, Timeout, "",
     "Comm failure|Err #1, Timeout Waiting For Response|1"},
    {"second failure is the same run", BranchMonitor, 3, Timeout, "", ""},
    {"recovery with lamps unchanged", BranchMonitor, 3, Ok, "41=2500 42=0xC 43=1 46=1 45=0x200",
     "Comm recovered||0"},
    {"all back to normal", BranchMonitor, 3, Ok, "0=900",
     "Normal|Breaker 1|0.9; Normal|Breaker 42|0"},
    {"circuit meter first read already over", CircuitMeter6, 4, Ok, "29=100 8=9000 36=0x01",
     "Alarm|Amps over|90"},
    {"phases lost A and C", CircuitMeter6, 4, Ok, "29=100 8=9000 36=0x141 21=1234",
     "Phase lost|Phase A|0; Phase lost|Phase C|12.34"},
    {"volts under, amps back, phase A back", CircuitMeter6, 4, Ok, "29=100 7=20000 36=0x120",
     "Normal|Amps over|0; Alarm|Volts under|200; Phase back|Phase A|0"},
    {"other kinds only fail", FullDataMeter, 5, WrongByteCount, "",
     "Comm failure|Err #3, Response Has Incorrect Number of Bytes|3"},
    {"branch device at the circuit address starts afresh", BranchMonitor, 4, Ok, "", ""},
};

MeterReading reading(const JournalCase& c) {
    MeterReading r = reading(c.kind, c.address, {}, c.result);
    std::istringstream in(c.regs);
    for (std::string pair; in >> pair;) {
        const auto eq = pair.find('=');
        r.registers[std::stoul(pair.substr(0, eq))] = std::stoi(pair.substr(eq + 1), nullptr, 0);
    }
    return r;
}

std::string describe(const JournalEntry& e) {
    char value[32];
    std::snprintf(value, sizeof value, "%g", e.value);
    return std::string(eventText(e.event)) + "|" + e.subject + "|" + value;
}

TEST(JournalDeriver, ScriptedReadsGiveTheirEvents) {
    JournalDeriver deriver;
    std::time_t t = 1000;
    for (const JournalCase& c : kJournalRun) {
        std::string got;
        for (const JournalEntry& e : deriver.derive(reading(c), t, "PNL1")) {
            EXPECT_EQ(e.time, t) << c.name;
            EXPECT_EQ(e.address, c.address) << c.name;
            got += (got.empty() ? "" : "; ") + describe(e);
        }
        EXPECT_EQ(got, c.expected) << c.name;
        ++t;
    }
}

// Entries added in order, as "EVENT ADDRESS SUBJECT" (A alarm, W warning, N
// normal, L phase lost, B phase back, F comm failure, R comm recovered),
// then acknowledged (an index, or -1 for all): the states left and the
// count told to the main window.
struct BookCase {
    const char* fault;
    std::vector<const char*> entries;
    std::vector<int> acknowledged;
    const char* states;
};
const BookCase kBooks[] = {
    {"an alarm back to normal left active", {"A3 B7", "N3 B7"}, {}, "cleared cleared"},
    {"a return clears another device's or breaker's alarm",
     {"A3 B7", "W4 B7", "N3 B8"},
     {},
     "active active cleared"},
    {"a warning turned alarm counted twice", {"W3 B7", "A3 B7"}, {}, "cleared active"},
    {"a recovery leaves the failure active", {"F5 Err #1", "R5 "}, {}, "cleared cleared"},
    {"acknowledging a row acknowledges a cleared one",
     {"A3 B7", "L4 Phase B", "B4 Phase B"},
     {0, 2},
     "acknowledged cleared cleared"},
    {"acknowledging all misses one", {"A3 B7", "L4 Phase B"}, {-1}, "acknowledged acknowledged"},
};

TEST(JournalBook, ReturnsClearAndAcknowledgmentsCount) {
    const std::string events = "WANLBFR"; // in JournalEvent's order
    for (const BookCase& c : kBooks) {
        JournalBook book;
        int told = 0;
        book.onActiveCountChanged = [&](int n) { told = n; };
        std::vector<JournalEntry> entries;
        for (std::string e : c.entries)
            entries.push_back({1000, e[1] - '0', "P", static_cast<JournalEvent>(events.find(e[0])),
                               e.substr(3), 0, ""});
        book.add(entries);
        for (int a : c.acknowledged)
            a < 0 ? book.acknowledgeAll() : (void)book.acknowledge(static_cast<std::size_t>(a));
        std::string states;
        for (const JournalEntry& e : book.entries())
            states += (states.empty() ? "" : " ") + std::string(stateText(e.state));
        EXPECT_EQ(states, c.states) << c.fault;
        // Each "active" has the one v of the three state words.
        EXPECT_EQ(book.activeCount(),
                  static_cast<int>(std::count(states.begin(), states.end(), 'v')))
            << c.fault;
        EXPECT_EQ(told, book.activeCount()) << c.fault << ": the count told is not the count";
    }
}

// --- Journal file ----------------------------------------------------------

TEST(JournalFile, RoundTripsEveryDelimiterAcrossARestart) {
    test::LocalZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    test::TempDir dir;
    const std::string path = journalPath(dir.file("panel.csv"));
    const std::vector<JournalEntry> entries = {
        {1783166709, 3, "A, B", JournalEvent::Warning, "Breaker 7", 12.345, "A"},
        {1783166710, 4, "", JournalEvent::CommFailure, "Err #1, Timeout Waiting For Response", 1,
         ""},
        {1783166711, 4, "Q\"T", JournalEvent::PhaseLost, "Phase B", -0.5, "V"},
    };
    std::vector<JournalEntry> all;
    for (char delimiter : {',', '\t', ' '}) {
        JournalWriter writer; // a fresh writer each time: the program restarted
        ASSERT_TRUE(writer.append(path, delimiter, entries)) << writer.lastError();
        all.insert(all.end(), entries.begin(), entries.end());
    }
    {
        std::ofstream(path, std::ios::app) << "07/04/2026 14:05:09,3,PNL1,Exploded,x,1,A\n"
                                              "half a line\n";
    }
    const JournalRead read = readJournal(path);
    EXPECT_EQ(read.entries, all);
    EXPECT_EQ(read.skipped, 2u) << "unknown event or damaged line not counted";
    EXPECT_NE(test::readLines(path).front().find("12.345"), std::string::npos);
}

TEST(JournalFile, EntriesWaitForAFileThatCannotBeOpenedAndAreNotLost) {
    test::TempDir dir;
    const std::string path = dir.file("missing/x_journal.csv");
    JournalWriter writer;
    EXPECT_FALSE(writer.append(path, ',', {{1, 3, "N", JournalEvent::Alarm, "Breaker 1", 2, "A"}}));
    EXPECT_FALSE(writer.lastError().empty());
    EXPECT_EQ(writer.waiting().size(), 1u);
    std::filesystem::create_directory(dir.file("missing"));
    EXPECT_TRUE(writer.append(path, ',', {{2, 3, "N", JournalEvent::Normal, "Breaker 1", 0, "A"}}));
    const JournalRead read = readJournal(path);
    ASSERT_EQ(read.entries.size(), 2u);
    EXPECT_EQ(read.entries[0].event, JournalEvent::Alarm) << "oldest first";
}

// --- Log file reader ------------------------------------------------------

std::string row(const char* stamp, char d, int address, int values) {
    std::string line = std::string(stamp) + d + std::to_string(address);
    for (int i = 0; i < values; ++i)
        line += d + std::to_string(i) + ".250";
    return line;
}

struct RowCase {
    const char* name;
    std::string line;
    bool ok;
    int values;
};

const char* const kStamp = "07/04/2026 14:05:09";
const RowCase kRows[] = {
    {"branch row with commas", row(kStamp, ',', 3, 42), true, 42},
    {"circuit6 row with tabs", row(kStamp, '\t', 4, 28), true, 28},
    {"circuit8 row with spaces: date and time two tokens", row(kStamp, ' ', 5, 27), true, 27},
    {"CR LF line end", row(kStamp, ',', 3, 42) + "\r\n", true, 42},
    {"negative value", row(kStamp, ',', 3, 41) + ",-2.000", true, 42},
    {"row cut short", row(kStamp, ',', 3, 30), false, 0},
    {"one value too many", row(kStamp, ',', 3, 43), false, 0},
    {"address 0", row(kStamp, ',', 0, 42), false, 0},
    {"address 248", row(kStamp, ',', 248, 42), false, 0},
    {"month 13", row("13/04/2026 14:05:09", ',', 3, 42), false, 0},
    {"decimal comma in a value", row(kStamp, '\t', 3, 27) + "\t1,5", false, 0},
    {"text where a number belongs", row(kStamp, ',', 3, 41) + ",abc", false, 0},
    {"foreign header line", "Time,Address,Breaker 1", false, 0},
    {"empty", "", false, 0},
};

TEST(LogReader, ParsesTheThreeShapesAndRefusesDamagedLines) {
    test::LocalZone zone("UTC0");
    for (const RowCase& c : kRows) {
        std::time_t time = 0;
        int address = 0;
        std::vector<float> values;
        EXPECT_EQ(parseLogRow(c.line, time, address, values), c.ok) << c.name;
        if (!c.ok)
            continue;
        EXPECT_EQ(time, 1783173909) << c.name;
        EXPECT_EQ(static_cast<int>(values.size()), c.values) << c.name;
        EXPECT_FLOAT_EQ(values[26], 26.25f) << c.name;
    }
}

TEST(LogReader, FileKeepsRowsPerDeviceAndCountsWhatItSkips) {
    test::TempDir dir;
    const std::string path = dir.file("log.txt");
    {
        std::ofstream out(path);
        out << row("07/04/2026 14:05:09", ' ', 3, 42) << "\n"
            << row("07/04/2026 14:05:09", ' ', 4, 27) << "\n"
            << "garbage\n\n"
            << row("07/04/2026 14:10:09", ' ', 3, 42) << "\n"
            << row("07/04/2026 14:10:09", ' ', 3, 28) << "\n"        // another shape at 3
            << row("07/04/2026 14:15:09", ',', 3, 42).substr(0, 60); // cut off, no line end
    }
    const LogContents c = readLogFile(path);
    ASSERT_TRUE(c.opened);
    EXPECT_EQ(c.rows, 3u);
    EXPECT_EQ(c.skipped, 3u);
    EXPECT_EQ(c.shapeChanges, 1u);
    EXPECT_EQ(c.devices.at(3).rows(), 2u);
    EXPECT_EQ(c.devices.at(4).shape, LogRowShape::Circuit8);
    EXPECT_FALSE(readLogFile(dir.file("none")).opened);
}

// Files that must not stall the readers, fill memory or outlast a cancel.
TEST(LogReader, NeitherWaitsNorGrowsNorReadsPastACancel) {
    test::TempDir dir;
    const std::string fifo = dir.file("fifo"), flat = dir.file("flat"), small = dir.file("small");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(flat) << std::string(1 << 20, '7');
    std::ofstream(small) << row(kStamp, ',', 3, 42) << "\n";
    const std::atomic<bool> cancelled{true};
    const struct {
        const char* fault;
        bool failed;
    } cases[] = {
        {"log viewer waits on a FIFO", readLogFile(fifo).error != "not a regular file"},
        {"journal reader waits on a FIFO", readJournal(fifo).opened},
        {"line without line feeds held whole",
         readLines(flat, 4096, [](std::string_view) {}).overlong != 1},
        {"cancel asked only every 16,384 lines", !readLogFile(small, &cancelled).cancelled},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(c.failed) << c.fault;
}

} // namespace
} // namespace tarvo
