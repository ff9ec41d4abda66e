#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

#include "settings/settings.h"
#include "support/recording_operator.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;
using test::RecordingOperator;

const char* const kHeader = "# Dodizorari Vavizevi Configuration setup file\n"
                            "# This file is generated automatically\n"
                            "# DO NOT manually edit \n"
                            "\n";
const char* const kSavedText = "Current settings saved to \"Tarvo.cfg\"\n"
                               "This file will be read when the program is restarted";
const char* const kFailedText = "Couldn't write file \"Tarvo.cfg\"";

// What load left, as "|key=value|key=value|", so that a table row can name
// the fields it expects in one line.
std::string fields(const Settings& s, bool reopen) {
    using std::to_string;
    std::string links;
    for (const ColumnLink& l : s.links)
        links += to_string(l.variableIndex) + " " + to_string(l.sqlType) + " " + l.columnName + ";";
    return "|location=" + s.location + "|port=" + s.portName + "|save_file=" + s.saveFile +
           "|dsn=" + s.dsn + "|table=" + s.table + "|user=" + s.user + "|passwd=" + s.passwd +
           "|links=" + links + "|link count=" + to_string(s.links.size()) +
           "|interval=" + to_string(s.interval) + "|scan=" + to_string(s.scan) +
           "|format=" + to_string(s.format) + "|kludge_flags=" + to_string(s.kludgeFlags) +
           "|speed=" + to_string(s.speedCode) + "|parity=" + to_string(s.parityCode) +
           "|db=" + to_string(s.databaseLogState) + "|logging=" + to_string(s.fileLoggingActive) +
           "|reopen=" + to_string(reopen) + "|";
}

// Checks fields named as "key=value|key=value".
void expectFields(const Settings& s, bool reopen, const std::string& expected) {
    const std::string all = fields(s, reopen);
    std::istringstream in(expected);
    for (std::string item; std::getline(in, item, '|');)
        EXPECT_NE(all.find("|" + item + "|"), std::string::npos)
            << item << " not in " << all.substr(0, 2000);
}

const std::string kDefaults = "location=Here|interval=5|scan=247|format=1|db=0|logging=0|port=|"
                              "reopen=0|speed=2048|parity=0|links=|dsn=";

// Each test gets its own directory, removed afterwards.
class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "tarvo-settings-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
        file = dir / "Tarvo.cfg";
    }
    void TearDown() override {
        ::chmod(dir.c_str(), 0700);
        fs::remove_all(dir);
    }

    void write(const std::string& text) { std::ofstream(file, std::ios::binary) << text; }
    std::string read() const {
        std::stringstream s;
        s << std::ifstream(file, std::ios::binary).rdbuf();
        return s.str();
    }
    long entries() const {
        return std::distance(fs::directory_iterator(dir), fs::directory_iterator{});
    }
    // Loads `text` into a fresh record and checks the fields.
    void expectLoad(const std::string& text, const std::string& expected) {
        Settings s;
        write(text);
        expectFields(s, s.load(file), expected);
        EXPECT_LE(s.portName.size(), Settings::kPortNameCapacity);
    }

    fs::path dir;
    fs::path file;
    Settings settings;
    RecordingOperator op;
};

TEST_F(SettingsTest, NoFileOrADirectoryInItsPlaceLeavesDefaults) {
    expectFields(settings, settings.load(file), kDefaults);
    fs::create_directory(file);
    expectFields(settings, settings.load(file), kDefaults);
}

TEST_F(SettingsTest, EveryKeyWrittenInLayoutOrderAndReadBack) {
    settings.scan = 16;
    settings.saveFile = "/var/log/panel 3.csv";
    settings.format = TabText;
    settings.dsn = "PanelDb";
    settings.table = "[Samples]";
    settings.user = "tech";
    settings.passwd = "s3cret pass";
    settings.kludgeFlags = 5;
    settings.links = {{0, 11, "[Stamp]"}, {3, -1, "[Notes]"}, {44, 8, "[Neutral]"}};
    settings.portName = "COM2:";
    settings.speedCode = 8192;
    settings.parityCode = 2;

    ASSERT_TRUE(settings.save(file, "Plant 7", 15, op));
    const std::string expected = std::string(kHeader) + "location Plant 7\n"
                                                        "interval 15\n"
                                                        "port COM2:\n"
                                                        "speed 8192\n"
                                                        "parity 2\n"
                                                        "scan 16\n"
                                                        "save_file /var/log/panel 3.csv\n"
                                                        "format 2\n"
                                                        "dsn PanelDb\n"
                                                        "table [Samples]\n"
                                                        "user tech\n"
                                                        "passwd s3cret pass\n"
                                                        "kludge_flags 5\n"
                                                        "link 0 11 [Stamp]\n"
                                                        "link 3 -1 [Notes]\n"
                                                        "link 44 8 [Neutral]\n";
    EXPECT_EQ(read(), expected);
    EXPECT_EQ(op.messages, (std::vector<RecordingOperator::Message>{{kSavedText, ""}}));

    // Every key read back: what was read writes the same text again.
    Settings back;
    const bool reopen = back.load(file);
    EXPECT_EQ(back.fileText(back.location, back.interval), expected);
    expectFields(back, reopen, "logging=1|db=2|reopen=1");
}

TEST_F(SettingsTest, ConditionalLinesLeftOutWhenEmpty) {
    // An empty port name must not be written, or the next start would try
    // to open a port with no name.
    ASSERT_TRUE(settings.save(file, "", 5, op));
    EXPECT_EQ(read(), std::string(kHeader) + "interval 5\nspeed 2048\nparity 0\nscan 247\n");
    expectLoad(read(), "reopen=0|location=Here");
}

// One table for the reader's rules: each file and the fields it must leave.
TEST_F(SettingsTest, ReaderRules) {
    const std::string db = "dsn D\ntable T\n";
    const struct {
        const char* name;
        std::string text;
        std::string expected;
    } cases[] = {
        {"scan-only file leaves every other default", "scan 16\n",
         "scan=16|location=Here|interval=5|speed=2048|reopen=0"},
        {"interval that is no number is ignored", "interval often\n", "interval=5"},
        {"interval outside the dialog's list is kept", "interval 7\n", "interval=7"},
        {"number stops at first non-digit", "scan 12abc\n", "scan=12"},
        {"port glued to its value", "portCOM2:\n", "port=COM2:|reopen=1"},
        {"port followed only by blanks is ignored", "port    \n", "port=|reopen=0"},
        {"scanner matches scan and reads no number", "scanner 9\n", "scan=247"},
        // Only kept with complete database settings.
        {"user followed by letters keeps the rest", "username bob\n", "user="},
        {"user followed by letters with database settings", db + "link 1 2 C\nusername bob\n",
         "user=name bob"},
        {"leading blank matches no key", " scan 16\n", "scan=247"},
        {"key in capitals matches no key", "SCAN 16\n", "scan=247"},
        {"type code 65535 becomes -1", db + "link 4 65535 Notes\n", "links=4 -1 Notes;|db=2"},
        {"type code keeps its low 16 bits", db + "link 4 65547 Notes\n", "links=4 11 Notes;"},
        {"link word ends at the first blank", db + "link 4 12 Col Umn\n", "links=4 12 Col;"},
        {"link without a name is ignored", db + "link 4 12\n", "links=|db=0|dsn="},
        {"dsn and table without link are discarded", db + "user U\npasswd P\nkludge_flags 5\n",
         "dsn=|table=|user=|passwd=|kludge_flags=0|db=0"},
        {"links without table are discarded", "dsn D\nlink 1 2 C\n", "links=|db=0"},
        {"last line without line end is ignored", "interval 3\nscan 16", "interval=3|scan=247"},
        {"text values keep inner and trailing blanks", "location  North  Wing \r\n",
         "location=North  Wing "},
        {"CR LF line ends are removed", "save_file /tmp/a.csv\r\n",
         "save_file=/tmp/a.csv|logging=1"},
        {"comment and empty lines skipped", "#scan 3\n\n\r\nscan 4\n", "scan=4"},
        {"later line wins", "scan 4\nscan 5\n", "scan=5"},
        {"negative numbers are read", "parity -1\nspeed 4096\n", "parity=-1|speed=4096"},
        {"number beyond int range is ignored", "scan 1234567890123456789012345678901234567890\n",
         "scan=247"},
        {"largest int is read", "scan 2147483647\ninterval -2147483648\n",
         "scan=2147483647|interval=-2147483648"},
        {"overlong values cut at capacity",
         "location " + std::string(100, 'L') + "\nport " + std::string(40, 'P') + "\n",
         "location=" + std::string(63, 'L') + "|port=" + std::string(31, 'P')},
        // A 511-character piece is handled as a line, and so is the rest: the
        // second piece here begins with a key.
        {"long line read in pieces of 511", "location " + std::string(502, 'x') + "scan 33\n",
         "location=" + std::string(63, 'x') + "|scan=33"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        expectLoad(c.text, c.expected);
    }
}

TEST_F(SettingsTest, LinkTypeCodeWrittenBackSigned) {
    write("dsn D\ntable T\nlink 4 65535 Notes\n");
    settings.load(file);
    ASSERT_TRUE(settings.save(file, "Here", 5, op));
    EXPECT_NE(read().find("\nlink 4 -1 Notes\n"), std::string::npos) << read();
}

TEST_F(SettingsTest, OverlongValuesCutWhenWritten) {
    settings.saveFile = std::string(2000, 'f');
    settings.portName = std::string(40, 'p');
    ASSERT_TRUE(settings.save(file, std::string(80, 'l'), 5, op));
    const std::string text = read();
    EXPECT_NE(text.find("location " + std::string(63, 'l') + "\n"), std::string::npos);
    EXPECT_NE(text.find("port " + std::string(31, 'p') + "\n"), std::string::npos);
    // 1033 characters: longer than a 511-character piece, so a reread takes
    // the tail as further lines, none of which begins with a key.
    EXPECT_NE(text.find("save_file " + std::string(1023, 'f') + "\n"), std::string::npos);
}

TEST_F(SettingsTest, SaveReplacesReadableByOwnerOnlyWithoutLeftovers) {
    write(std::string(5000, '#') + "\n");
    ::chmod(file.c_str(), 0644);
    settings.passwd = "secret";
    ASSERT_TRUE(settings.save(file, "Here", 5, op));
    EXPECT_EQ(read().substr(0, 12), "# Dodizorari");
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(entries(), 1) << "no temporary file left behind";
}

TEST_F(SettingsTest, FailedSaveKeepsOldFileAndSaysSo) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "running as root: a read-only directory does not stop root";
    write("scan 3\n");
    ASSERT_EQ(::chmod(dir.c_str(), 0500), 0);
    EXPECT_FALSE(settings.save(file, "Here", 5, op));
    ::chmod(dir.c_str(), 0700);
    EXPECT_EQ(read(), "scan 3\n");
    EXPECT_EQ(op.messages, (std::vector<RecordingOperator::Message>{{kFailedText, ""}}));
    EXPECT_EQ(entries(), 1) << "no temporary file left behind";
}

TEST_F(SettingsTest, FailedRenameKeepsOldContentAndSaysSo) {
    // Runs as root too: nothing can be renamed over a non-empty directory.
    fs::create_directory(file);
    std::ofstream(file / "keep") << "old";
    EXPECT_FALSE(settings.save(file, "Here", 5, op));
    EXPECT_TRUE(fs::exists(file / "keep"));
    EXPECT_EQ(op.messages, (std::vector<RecordingOperator::Message>{{kFailedText, ""}}));
    EXPECT_EQ(entries(), 1) << "no temporary file left behind";
}

TEST_F(SettingsTest, SaveIntoMissingDirectorySaysSo) {
    EXPECT_FALSE(settings.save(dir / "gone" / "Tarvo.cfg", "Here", 5, op));
    EXPECT_EQ(op.messages, (std::vector<RecordingOperator::Message>{{kFailedText, ""}}));
}

// Hostile files: none may crash the reader (the sanitizer build runs this).
TEST_F(SettingsTest, HostileFilesLoadWithoutHarm) {
    std::mt19937 rng(7);
    std::string binary;
    for (int i = 0; i < 200000; ++i)
        binary += static_cast<char>(rng());
    std::string manyLinks = "dsn D\ntable T\n";
    for (int i = 0; i < 100000; ++i)
        manyLinks += "link " + std::to_string(i % 45) + " 12 Column" + std::to_string(i) + "\n";
    std::string bigNumbers;
    for (const char* key : {"interval", "speed", "parity", "scan", "format", "kludge_flags"})
        bigNumbers += std::string(key) + " 9999999999999999999999999999999999999999\n" + key +
                      " -9999999999999999999999999999999999999999\n";
    bigNumbers += "dsn D\ntable T\nlink 99999999999999999999999999999999999999999 1 C\n"
                  "link 1 99999999999999999999999999999999999999999 C\n";

    const struct {
        const char* name;
        std::string text;
        std::string expected;
    } cases[] = {
        {"random binary bytes", binary + "\nscan 9\n", "scan=9"},
        {"1 MB line", "location " + std::string(1 << 20, 'A') + "\nscan 10\n",
         "location=" + std::string(63, 'A') + "|scan=10"},
        {"100,000 link lines", manyLinks, "link count=100000|db=2"},
        {"40-digit numbers", bigNumbers, "interval=5|scan=247|kludge_flags=0|links="},
        {"zero bytes", std::string("scan 1\0 2\n", 10) + std::string(600, '\0') + "\ninterval 8\n",
         "scan=1|interval=8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        expectLoad(c.text, c.expected);
    }
}

} // namespace
} // namespace tarvo
