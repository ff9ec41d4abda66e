#include "logging/log_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <clocale>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "logging/sample_queue.h"
#include "settings/settings.h"
#include "support/local_zone.h"
#include "support/temp_dir.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;

// 07/04/2026 14:05:09 in UTC, the zone every test here runs in.
constexpr std::time_t kStamp = 1783173909;
const std::string kStampText = "07/04/2026 14:05:09";

// Breakers 1, 3 and 42 carry a current; meter value j is j, except values 1
// and 2, which the number cases need.
SampleRecord record(int address, DeviceKind kind = BranchMonitor, std::time_t time = kStamp) {
    auto s = std::make_shared<LogSample>();
    s->kind = kind;
    s->address = address;
    s->time = time;
    s->currents[0] = 12.345f;
    s->currents[2] = 4.21f;
    s->currents[41] = 42.0f;
    for (std::size_t j = 0; j < s->meterValues.size(); ++j)
        s->meterValues[j] = static_cast<float>(j + 1);
    s->meterValues[0] = 1234.5f;
    s->meterValues[1] = -2.0f;
    return s;
}

std::string branchRow(char d, int address, const std::string& stamp = kStampText) {
    std::string s = stamp + d + std::to_string(address) + d + "12.345" + d + "0.000" + d + "4.210";
    for (int i = 0; i < 38; ++i)
        s += d + std::string("0.000");
    return s + d + "42.000\n";
}

std::string circuitRow(char d, int address, bool skip25) {
    std::string s = kStampText + d + std::to_string(address) + d + "1234.500" + d + "-2.000";
    for (int j = 3; j <= 28; ++j)
        if (!(skip25 && j == 25))
            s += d + std::to_string(j) + ".000";
    return s + "\n";
}

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        settings.saveFile = dir.file("DATA.TXT");
        settings.fileLoggingActive = true;
    }

    std::string file() const {
        std::ifstream in(settings.saveFile, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    test::LocalZone zone{"UTC0"};
    test::TempDir dir{"tarvo-logfile"};
    Settings settings;
    SampleQueue queue;
};

struct RowCase {
    const char* name;
    int format;
    SampleRecord record;
    std::string expected;
};

TEST_F(LogFileTest, RowsByteForByte) {
    const RowCase cases[] = {
        {"branch monitor, comma", Csv, record(3), branchRow(',', 3)},
        {"branch monitor, tab", TabText, record(3), branchRow('\t', 3)},
        {"branch monitor, space splits date and time", SpaceText, record(3), branchRow(' ', 3)},
        {"format 0 is not a known delimiter: comma", 0, record(3), branchRow(',', 3)},
        {"100 A branch monitor has the same row", Csv, record(247, BranchMonitor100A),
         branchRow(',', 247)},
        {"circuit meter 6 keeps value 25", Csv, record(9, CircuitMeter6),
         circuitRow(',', 9, false)},
        {"circuit meter 8 leaves out value 25", Csv, record(9, CircuitMeter8),
         circuitRow(',', 9, true)},
        {"no device writes nothing", Csv, record(5, NoDevice), ""},
        {"temperature device writes nothing", Csv, record(5, TemperatureDevice), ""},
    };
    for (const RowCase& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(settings.saveFile);
        settings.format = c.format;
        queue.push(c.record);
        WriteLogFile(settings, queue);
        EXPECT_TRUE(queue.empty()) << "every record is consumed, written or not";
        EXPECT_EQ(file(), c.expected);
    }
}

TEST_F(LogFileTest, NumbersKeepTheirPointUnderADecimalCommaLocale) {
    const std::string old = std::setlocale(LC_ALL, nullptr);
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr)
        GTEST_SKIP() << "the de_DE.UTF-8 locale is not installed (scripts/setup generates it)";
    queue.push(record(9, CircuitMeter6));
    WriteLogFile(settings, queue);
    std::setlocale(LC_ALL, old.c_str());
    EXPECT_EQ(file(), circuitRow(',', 9, false));
}

TEST_F(LogFileTest, WritesNothingAndKeepsRecordsUnlessAllThreeConditionsHold) {
    const std::string saveFile = settings.saveFile;
    queue.push(record(3));
    settings.fileLoggingActive = false;
    EXPECT_FALSE(WriteLogFile(settings, queue).opened) << "file logging off";
    settings.fileLoggingActive = true;
    settings.saveFile.clear();
    EXPECT_FALSE(WriteLogFile(settings, queue).opened) << "no file set";
    EXPECT_EQ(queue.size(), 1u);
    settings.saveFile = saveFile;
    queue.clear();
    EXPECT_FALSE(WriteLogFile(settings, queue).opened) << "empty queue";
    EXPECT_FALSE(fs::exists(saveFile)) << "the file is not even created";
}

TEST_F(LogFileTest, UnopenableFileKeepsRecordsForTheNextPassOldestFirst) {
    settings.saveFile = dir.file("missing-folder/DATA.TXT");
    queue.push(record(3));
    queue.push(record(7));
    LogFileResult r = WriteLogFile(settings, queue);
    EXPECT_FALSE(r.opened);
    EXPECT_EQ(queue.size(), 2u);

    // The next pass, a minute later, finds the folder there and appends to
    // the file in it, one line per device in sampling order.
    fs::create_directories(dir.path() / "missing-folder");
    std::ofstream(settings.saveFile) << "earlier line\n";
    queue.push(record(12, CircuitMeter8));
    queue.push(record(3, BranchMonitor, kStamp + 60));
    r = WriteLogFile(settings, queue);
    EXPECT_TRUE(r.opened);
    EXPECT_EQ(r.written, 4u);
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(file(), "earlier line\n" + branchRow(',', 3) + branchRow(',', 7) +
                          circuitRow(',', 12, true) + branchRow(',', 3, "07/04/2026 14:06:09"));
}

// A file size limit (ulimit -f) reached in the middle of a row, in a child
// process set up as main() sets up the program: it must live on, the half
// row must go and its record stay, so the next pass writes it once, whole.
TEST_F(LogFileTest, FileSizeLimitMidRowKillsNothingAndLosesNothing) {
    const std::string row3 = branchRow(',', 3);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_DFL); // as a shell starts a program, whatever ours inherited
        ignoreFileSizeSignal();
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        const rlimit saved = limit;
        limit.rlim_cur = row3.size() + 100; // the second row stops 100 bytes in
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            ::_exit(99);
        for (int address : {3, 7, 9})
            queue.push(record(address));
        const LogFileResult first = WriteLogFile(settings, queue);
        const bool kept = first.writeFailed && first.written == 1 && queue.size() == 2;
        ::setrlimit(RLIMIT_FSIZE, &saved);
        const LogFileResult second = WriteLogFile(settings, queue);
        ::_exit(kept && !second.writeFailed && queue.empty() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 99)
        GTEST_SKIP() << "the file size limit is already lower than this test needs";
    ASSERT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the record cut short was not kept queued";
    EXPECT_EQ(file(), row3 + branchRow(',', 7) + branchRow(',', 9)) << "each row exactly once";
}

} // namespace
} // namespace tarvo
