#include "logging/log_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "logging/sample_queue.h"
#include "settings/settings.h"
#include "support/local_zone.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;
using test::LocalZone;

// 07/04/2026 14:05:09 in UTC, the zone every test here runs in.
constexpr std::time_t kStamp = 1783173909;
constexpr const char* kStampText = "07/04/2026 14:05:09";

std::string repeat(const std::string& piece, int times) {
    std::string s;
    for (int i = 0; i < times; ++i)
        s += piece;
    return s;
}

SampleRecord branch(int address, DeviceKind kind = BranchMonitor, std::time_t time = kStamp) {
    auto s = std::make_shared<LogSample>();
    s->kind = kind;
    s->address = address;
    s->time = time;
    s->currents[0] = 12.345f;
    s->currents[2] = 4.21f;
    s->currents[41] = 42.0f;
    return s;
}

// Meter value j is j, except the ones the number cases need.
SampleRecord circuit(int address, DeviceKind kind, std::time_t time = kStamp) {
    auto s = std::make_shared<LogSample>();
    s->kind = kind;
    s->address = address;
    s->time = time;
    for (std::size_t j = 0; j < s->meterValues.size(); ++j)
        s->meterValues[j] = static_cast<float>(j + 1);
    s->meterValues[0] = 1234.5f;
    s->meterValues[1] = -2.0f;
    return s;
}

SampleRecord plain(int address, DeviceKind kind) {
    auto s = std::make_shared<LogSample>();
    s->kind = kind;
    s->address = address;
    s->time = kStamp;
    return s;
}

// The circuit-meter values 3 to 28 as the rows print them, with `d`.
std::string circuitTail(char d, bool skip25) {
    std::string s;
    for (int j = 3; j <= 28; ++j)
        if (!(skip25 && j == 25))
            s += d + std::to_string(j) + ".000";
    return s;
}

std::string branchRow(char d, int address) {
    std::string s = std::string(kStampText) + d + std::to_string(address);
    s += d + std::string("12.345") + d + "0.000" + d + "4.210" +
         repeat(d + std::string("0.000"), 38) + d + "42.000\n";
    return s;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("tarvo-logfile-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        settings.saveFile = (dir / "DATA.TXT").string();
        settings.fileLoggingActive = true;
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string file() const { return readFile(settings.saveFile); }

    LocalZone zone{"UTC0"};
    fs::path dir;
    Settings settings;
    SampleQueue queue;
};

// ---------------------------------------------------------------------------
// Rows byte for byte.

struct RowCase {
    const char* name;
    int format;
    std::function<SampleRecord()> record;
    std::string expected;
};

TEST_F(LogFileTest, RowsByteForByte) {
    const std::string cm6 =
        std::string(kStampText) + ",9,1234.500,-2.000" + circuitTail(',', false) + "\n";
    const std::string cm8 =
        std::string(kStampText) + ",9,1234.500,-2.000" + circuitTail(',', true) + "\n";
    const RowCase cases[] = {
        {"branch monitor, comma", Csv, [] { return branch(3); }, branchRow(',', 3)},
        {"branch monitor, tab", TabText, [] { return branch(3); }, branchRow('\t', 3)},
        {"branch monitor, space splits date and time", SpaceText, [] { return branch(3); },
         branchRow(' ', 3)},
        {"format 0 is not a known delimiter: comma", 0, [] { return branch(3); },
         branchRow(',', 3)},
        {"format 7 is not a known delimiter: comma", 7, [] { return branch(3); },
         branchRow(',', 3)},
        {"100 A branch monitor has the same row", Csv,
         [] { return branch(247, BranchMonitor100A); }, branchRow(',', 247)},
        {"circuit meter 6 keeps value 25", Csv, [] { return circuit(9, CircuitMeter6); }, cm6},
        {"circuit meter 8 leaves out value 25", Csv, [] { return circuit(9, CircuitMeter8); }, cm8},
        {"circuit meter 8, tab", TabText, [] { return circuit(9, CircuitMeter8); },
         std::string(kStampText) + "\t9\t1234.500\t-2.000" + circuitTail('\t', true) + "\n"},
        {"circuit meter 6, space", SpaceText, [] { return circuit(9, CircuitMeter6); },
         "07/04/2026 14:05:09 9 1234.500 -2.000" + circuitTail(' ', false) + "\n"},
        {"no device writes nothing", Csv, [] { return plain(5, NoDevice); }, ""},
        {"temperature device writes nothing", Csv, [] { return plain(5, TemperatureDevice); }, ""},
        {"energy-only meter writes nothing", Csv, [] { return plain(5, EnergyOnlyMeter); }, ""},
        {"full-data meter writes nothing", Csv, [] { return plain(5, FullDataMeter); }, ""},
    };
    for (const RowCase& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(settings.saveFile);
        settings.format = c.format;
        queue.push(c.record());
        WriteLogFile(settings, queue);
        EXPECT_TRUE(queue.empty()) << "every record is consumed, written or not";
        EXPECT_EQ(file(), c.expected);
    }
}

struct FieldCase {
    const char* name;
    SampleRecord record;
    int format;
    std::size_t fields;
};

TEST_F(LogFileTest, FieldCounts) {
    const FieldCase cases[] = {
        {"branch monitor", branch(3), Csv, 44},
        {"circuit meter 6", circuit(4, CircuitMeter6), Csv, 30},
        {"circuit meter 8", circuit(4, CircuitMeter8), TabText, 29},
        {"space format: the time stamp is two tokens", branch(3), SpaceText, 45},
    };
    for (const FieldCase& c : cases) {
        SCOPED_TRACE(c.name);
        const char d = logDelimiter(c.format);
        const std::string row = logRow(*c.record, d);
        ASSERT_FALSE(row.empty());
        EXPECT_EQ(row.back(), '\n');
        EXPECT_EQ(static_cast<std::size_t>(std::count(row.begin(), row.end(), d)) + 1, c.fields);
        EXPECT_NE(row[row.size() - 2], d) << "no delimiter after the last value";
    }
}

TEST_F(LogFileTest, NumbersKeepTheirPointUnderADecimalCommaLocale) {
    const std::string old = std::setlocale(LC_ALL, nullptr);
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr)
        GTEST_SKIP() << "the de_DE.UTF-8 locale is not installed (scripts/setup generates it)";
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.3f", 1.5);
    const std::string localeText = probe;

    queue.push(circuit(9, CircuitMeter6));
    WriteLogFile(settings, queue);
    std::setlocale(LC_ALL, old.c_str());

    ASSERT_EQ(localeText, "1,500") << "the locale is in force for the write";
    EXPECT_EQ(file(),
              std::string(kStampText) + ",9,1234.500,-2.000" + circuitTail(',', false) + "\n");
}

TEST_F(LogFileTest, APassAppendsOneLinePerDeviceInSamplingOrder) {
    fs::remove(settings.saveFile);
    { std::ofstream(settings.saveFile) << "earlier line\n"; }
    queue.push(branch(3));
    queue.push(branch(7));
    queue.push(circuit(12, CircuitMeter8));
    WriteLogFile(settings, queue);
    EXPECT_EQ(file(), "earlier line\n" + branchRow(',', 3) + branchRow(',', 7) + kStampText +
                          ",12,1234.500,-2.000" + circuitTail(',', true) + "\n");
}

// ---------------------------------------------------------------------------
// When nothing is written, nothing is lost.

struct ConditionCase {
    const char* name;
    bool active;
    bool withFile;
};

TEST_F(LogFileTest, WritesNothingAndKeepsRecordsUnlessAllThreeConditionsHold) {
    const ConditionCase cases[] = {
        {"file logging off", false, true},
        {"no file set", true, false},
    };
    for (const ConditionCase& c : cases) {
        SCOPED_TRACE(c.name);
        Settings s = settings;
        s.fileLoggingActive = c.active;
        if (!c.withFile)
            s.saveFile.clear();
        SampleQueue q;
        q.push(branch(3));
        const LogFileResult r = WriteLogFile(s, q);
        EXPECT_FALSE(r.opened);
        EXPECT_EQ(q.size(), 1u);
        EXPECT_FALSE(fs::exists(settings.saveFile));
    }
    SampleQueue none;
    EXPECT_FALSE(WriteLogFile(settings, none).opened)
        << "an empty queue does not even create the file";
    EXPECT_FALSE(fs::exists(settings.saveFile));
}

TEST_F(LogFileTest, UnopenableFileKeepsRecordsForTheNextPassOldestFirst) {
    const std::string good = settings.saveFile;
    settings.saveFile = (dir / "missing-folder" / "DATA.TXT").string();
    queue.push(branch(3, BranchMonitor, kStamp));
    queue.push(branch(7, BranchMonitor, kStamp));
    LogFileResult r = WriteLogFile(settings, queue);
    EXPECT_FALSE(r.opened);
    EXPECT_EQ(queue.size(), 2u);

    // The next pass, a minute later, finds the folder there.
    fs::create_directories(dir / "missing-folder");
    auto later = branch(3, BranchMonitor, kStamp + 60);
    queue.push(later);
    r = WriteLogFile(settings, queue);
    EXPECT_TRUE(r.opened);
    EXPECT_EQ(r.written, 3u);
    EXPECT_TRUE(queue.empty());
    std::string laterRow = branchRow(',', 3);
    laterRow.replace(0, std::string(kStampText).size(), "07/04/2026 14:06:09");
    EXPECT_EQ(file(), branchRow(',', 3) + branchRow(',', 7) + laterRow);
    (void)good;
}

TEST_F(LogFileTest, FullDeviceKeepsEveryRecord) {
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full here";
    settings.saveFile = "/dev/full";
    queue.push(branch(3));
    queue.push(branch(7));
    const LogFileResult r = WriteLogFile(settings, queue);
    EXPECT_TRUE(r.opened);
    EXPECT_TRUE(r.writeFailed);
    EXPECT_EQ(queue.size(), 2u);
    EXPECT_EQ(queue.front()->address, 3);
}

// A disk that fills in the middle of a row: the file size limit stands in
// for it. The half row must go and its record must stay, so the next pass
// writes it once, whole.
TEST_F(LogFileTest, RowCutShortByAFullDiskIsRemovedAndWrittenWholeLater) {
    struct sigaction ignore {
    }, old{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &old), 0);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);

    const std::string row3 = branchRow(',', 3);
    rlimit limited = saved;
    limited.rlim_cur = row3.size() + 100; // the second row stops 100 bytes in
    if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < limited.rlim_cur)
        GTEST_SKIP() << "the file size limit is already lower than this test needs";
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);

    queue.push(branch(3));
    queue.push(branch(7));
    queue.push(branch(9));
    const LogFileResult first = WriteLogFile(settings, queue);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::sigaction(SIGXFSZ, &old, nullptr);

    EXPECT_TRUE(first.writeFailed);
    EXPECT_EQ(first.written, 1u);
    EXPECT_EQ(file(), row3) << "no half row left behind";
    ASSERT_EQ(queue.size(), 2u);
    EXPECT_EQ(queue.front()->address, 7);

    const LogFileResult second = WriteLogFile(settings, queue);
    EXPECT_FALSE(second.writeFailed);
    EXPECT_EQ(file(), row3 + branchRow(',', 7) + branchRow(',', 9)) << "each row exactly once";
}

} // namespace
} // namespace tarvo
