#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

#include "link/serial_port.h"
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

    void write(const std::string& text) {
        std::ofstream out(file, std::ios::binary);
        out << text;
    }
    std::string read() const {
        std::ifstream in(file, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void load(const std::string& text) {
        write(text);
        settings.load(file, port);
    }

    fs::path dir;
    fs::path file;
    Settings settings;
    SerialPort port;
    RecordingOperator op;
};

TEST_F(SettingsTest, DefaultsWhenNoFile) {
    settings.load(file, port);
    EXPECT_EQ(settings.location, "Here");
    EXPECT_EQ(settings.interval, 5);
    EXPECT_EQ(settings.scan, 247);
    EXPECT_EQ(settings.format, Csv);
    EXPECT_EQ(settings.databaseLogState, Off);
    EXPECT_FALSE(settings.fileLoggingActive);
    EXPECT_EQ(port.portName(), "");
    EXPECT_FALSE(port.portReopenRequested());
    EXPECT_EQ(port.speedCode(), 2048);
    EXPECT_EQ(port.parityCode(), 0);
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
    port.setPortName("COM2:");
    port.setSpeedCode(8192);
    port.setParityCode(2);

    ASSERT_TRUE(settings.save(file, "Plant 7", 15, port, op));
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

    Settings back;
    SerialPort backPort;
    back.load(file, backPort);
    EXPECT_EQ(back.location, "Plant 7");
    EXPECT_EQ(back.interval, 15);
    EXPECT_EQ(back.scan, 16);
    EXPECT_EQ(back.saveFile, settings.saveFile);
    EXPECT_EQ(back.format, TabText);
    EXPECT_TRUE(back.fileLoggingActive);
    EXPECT_EQ(back.dsn, settings.dsn);
    EXPECT_EQ(back.table, settings.table);
    EXPECT_EQ(back.user, settings.user);
    EXPECT_EQ(back.passwd, settings.passwd);
    EXPECT_EQ(back.kludgeFlags, 5);
    EXPECT_EQ(back.links, settings.links);
    EXPECT_EQ(back.databaseLogState, Active);
    EXPECT_EQ(backPort.portName(), "COM2:");
    EXPECT_TRUE(backPort.portReopenRequested());
    EXPECT_EQ(backPort.speedCode(), 8192);
    EXPECT_EQ(backPort.parityCode(), 2);
}

TEST_F(SettingsTest, ConditionalLinesLeftOutWhenEmpty) {
    // An empty port name must not be written, or the next start would try
    // to open a port with no name.
    ASSERT_TRUE(settings.save(file, "", 5, port, op));
    EXPECT_EQ(read(), std::string(kHeader) + "interval 5\nspeed 2048\nparity 0\nscan 247\n");

    Settings back;
    SerialPort backPort;
    back.load(file, backPort);
    EXPECT_FALSE(backPort.portReopenRequested());
    EXPECT_EQ(back.location, "Here") << "no location line keeps the default";
}

// One table for the reader's rules: each file and what it must leave.
struct ReaderCase {
    const char* name;
    std::string text;
    std::function<void(const Settings&, const SerialPort&)> check;
};

TEST_F(SettingsTest, ReaderRules) {
    const ReaderCase cases[] = {
        {"scan-only file leaves every other default", "scan 16\n",
         [](const Settings& s, const SerialPort& p) {
             EXPECT_EQ(s.scan, 16);
             EXPECT_EQ(s.location, "Here");
             EXPECT_EQ(s.interval, 5);
             EXPECT_EQ(p.speedCode(), 2048);
             EXPECT_FALSE(p.portReopenRequested());
         }},
        {"interval that is no number is ignored", "interval often\n",
         [](const Settings& s, const SerialPort&) { EXPECT_EQ(s.interval, 5); }},
        {"interval outside the dialog's list is kept", "interval 7\n",
         [](const Settings& s, const SerialPort&) { EXPECT_EQ(s.interval, 7); }},
        {"number stops at first non-digit", "scan 12abc\n",
         [](const Settings& s, const SerialPort&) { EXPECT_EQ(s.scan, 12); }},
        {"port glued to its value", "portCOM2:\n",
         [](const Settings&, const SerialPort& p) {
             EXPECT_EQ(p.portName(), "COM2:");
             EXPECT_TRUE(p.portReopenRequested());
         }},
        {"port followed only by blanks is ignored", "port    \n",
         [](const Settings&, const SerialPort& p) {
             EXPECT_EQ(p.portName(), "");
             EXPECT_FALSE(p.portReopenRequested());
         }},
        {"scanner matches scan and reads no number", "scanner 9\n",
         [](const Settings& s, const SerialPort&) { EXPECT_EQ(s.scan, 247); }},
        {"user followed by letters keeps the rest", "username bob\n",
         [](const Settings& s, const SerialPort&) {
             // Only kept with complete database settings.
             EXPECT_EQ(s.user, "");
         }},
        {"user followed by letters with database settings",
         "dsn D\ntable T\nlink 1 2 C\nusername bob\n",
         [](const Settings& s, const SerialPort&) { EXPECT_EQ(s.user, "name bob"); }},
        {"leading blank matches no key", " scan 16\n",
         [](const Settings& s, const SerialPort&) { EXPECT_EQ(s.scan, 247); }},
        {"key in capitals matches no key", "SCAN 16\n",
         [](const Settings& s, const SerialPort&) { EXPECT_EQ(s.scan, 247); }},
        {"type code 65535 becomes -1", "dsn D\ntable T\nlink 4 65535 Notes\n",
         [](const Settings& s, const SerialPort&) {
             ASSERT_EQ(s.links.size(), 1u);
             EXPECT_EQ(s.links[0], (ColumnLink{4, -1, "Notes"}));
             EXPECT_EQ(s.databaseLogState, Active);
         }},
        {"type code keeps its low 16 bits", "dsn D\ntable T\nlink 4 65547 Notes\n",
         [](const Settings& s, const SerialPort&) {
             ASSERT_EQ(s.links.size(), 1u);
             EXPECT_EQ(s.links[0].sqlType, 11);
         }},
        {"link word ends at the first blank", "dsn D\ntable T\nlink 4 12 Col Umn\n",
         [](const Settings& s, const SerialPort&) {
             ASSERT_EQ(s.links.size(), 1u);
             EXPECT_EQ(s.links[0].columnName, "Col");
         }},
        {"link without a name is ignored", "dsn D\ntable T\nlink 4 12\n",
         [](const Settings& s, const SerialPort&) {
             EXPECT_TRUE(s.links.empty());
             EXPECT_EQ(s.databaseLogState, Off);
             EXPECT_EQ(s.dsn, "");
         }},
        {"dsn and table without link are discarded",
         "dsn D\ntable T\nuser U\npasswd P\nkludge_flags 5\n",
         [](const Settings& s, const SerialPort&) {
             EXPECT_EQ(s.dsn, "");
             EXPECT_EQ(s.table, "");
             EXPECT_EQ(s.user, "");
             EXPECT_EQ(s.passwd, "");
             EXPECT_EQ(s.kludgeFlags, 0);
             EXPECT_EQ(s.databaseLogState, Off);
         }},
        {"links without table are discarded", "dsn D\nlink 1 2 C\n",
         [](const Settings& s, const SerialPort&) {
             EXPECT_TRUE(s.links.empty());
             EXPECT_EQ(s.databaseLogState, Off);
         }},
        {"last line without line end is ignored", "interval 3\nscan 16",
         [](const Settings& s, const SerialPort&) {
             EXPECT_EQ(s.interval, 3);
             EXPECT_EQ(s.scan, 247);
         }},
        {"text values keep inner and trailing blanks", "location  North  Wing \r\n",
         [](const Settings& s, const SerialPort&) { EXPECT_EQ(s.location, "North  Wing "); }},
        {"CR LF line ends are removed", "save_file /tmp/a.csv\r\n",
         [](const Settings& s, const SerialPort&) {
             EXPECT_EQ(s.saveFile, "/tmp/a.csv");
             EXPECT_TRUE(s.fileLoggingActive);
         }},
        {"comment and empty lines skipped", "#scan 3\n\n\r\nscan 4\n",
         [](const Settings& s, const SerialPort&) { EXPECT_EQ(s.scan, 4); }},
        {"later line wins", "scan 4\nscan 5\n",
         [](const Settings& s, const SerialPort&) { EXPECT_EQ(s.scan, 5); }},
        {"negative numbers are read", "parity -1\nspeed 4096\n",
         [](const Settings&, const SerialPort& p) {
             EXPECT_EQ(p.parityCode(), -1);
             EXPECT_EQ(p.speedCode(), 4096);
         }},
        {"number beyond int range is ignored", "scan 1234567890123456789012345678901234567890\n",
         [](const Settings& s, const SerialPort&) { EXPECT_EQ(s.scan, 247); }},
        {"largest int is read", "scan 2147483647\ninterval -2147483648\n",
         [](const Settings& s, const SerialPort&) {
             EXPECT_EQ(s.scan, 2147483647);
             EXPECT_EQ(s.interval, -2147483647 - 1);
         }},
        {"overlong values cut at capacity",
         "location " + std::string(100, 'L') + "\nport " + std::string(40, 'P') + "\n",
         [](const Settings& s, const SerialPort& p) {
             EXPECT_EQ(s.location, std::string(63, 'L'));
             EXPECT_EQ(p.portName(), std::string(31, 'P'));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Settings s;
        SerialPort p;
        write(c.text);
        s.load(file, p);
        c.check(s, p);
    }
}

TEST_F(SettingsTest, LongLineIsReadInPiecesOf511) {
    // A 511-character piece is handled as a line, and so is the rest: the
    // second piece here begins with a key.
    std::string line = "location " + std::string(502, 'x') + "scan 33\n";
    ASSERT_EQ(line.size(), 511u + 8);
    load(line);
    EXPECT_EQ(settings.location, std::string(63, 'x'));
    EXPECT_EQ(settings.scan, 33);
}

TEST_F(SettingsTest, LinkTypeCodeWrittenBackSigned) {
    load("dsn D\ntable T\nlink 4 65535 Notes\n");
    ASSERT_TRUE(settings.save(file, "Here", 5, port, op));
    EXPECT_NE(read().find("\nlink 4 -1 Notes\n"), std::string::npos) << read();
}

TEST_F(SettingsTest, OverlongValuesCutWhenWritten) {
    settings.saveFile = std::string(2000, 'f');
    port.setPortName(std::string(40, 'p'));
    ASSERT_TRUE(settings.save(file, std::string(80, 'l'), 5, port, op));
    const std::string text = read();
    EXPECT_NE(text.find("location " + std::string(63, 'l') + "\n"), std::string::npos);
    EXPECT_NE(text.find("port " + std::string(31, 'p') + "\n"), std::string::npos);
    // 1033 characters: longer than a 511-character piece, so a reread takes
    // the tail as further lines, none of which begins with a key.
    EXPECT_NE(text.find("save_file " + std::string(1023, 'f') + "\n"), std::string::npos);
}

TEST_F(SettingsTest, SavedFileReadableByOwnerOnly) {
    write("scan 3\n");
    ::chmod(file.c_str(), 0644);
    settings.passwd = "secret";
    ASSERT_TRUE(settings.save(file, "Here", 5, port, op));
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SettingsTest, FailedSaveKeepsOldFileAndSaysSo) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "running as root: a read-only directory does not stop root";
    write("scan 3\n");
    ASSERT_EQ(::chmod(dir.c_str(), 0500), 0);
    EXPECT_FALSE(settings.save(file, "Here", 5, port, op));
    ::chmod(dir.c_str(), 0700);
    EXPECT_EQ(read(), "scan 3\n");
    EXPECT_EQ(op.messages, (std::vector<RecordingOperator::Message>{{kFailedText, ""}}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator{}), 1)
        << "no temporary file left behind";
}

TEST_F(SettingsTest, FailedRenameKeepsOldContentAndSaysSo) {
    // Runs as root too: nothing can be renamed over a non-empty directory.
    fs::create_directory(file);
    std::ofstream(file / "keep") << "old";
    EXPECT_FALSE(settings.save(file, "Here", 5, port, op));
    EXPECT_TRUE(fs::exists(file / "keep"));
    EXPECT_EQ(op.messages, (std::vector<RecordingOperator::Message>{{kFailedText, ""}}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator{}), 1)
        << "no temporary file left behind";
}

TEST_F(SettingsTest, SaveIntoMissingDirectorySaysSo) {
    EXPECT_FALSE(settings.save(dir / "gone" / "Tarvo.cfg", "Here", 5, port, op));
    EXPECT_EQ(op.messages, (std::vector<RecordingOperator::Message>{{kFailedText, ""}}));
}

TEST_F(SettingsTest, SaveReplacesWithoutTemporaryLeftovers) {
    write(std::string(5000, '#') + "\n");
    ASSERT_TRUE(settings.save(file, "Here", 5, port, op));
    EXPECT_EQ(read().substr(0, 12), "# Dodizorari");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator{}), 1);
}

// Hostile files: none may crash the reader (the sanitizer build runs this).
TEST_F(SettingsTest, HostileFilesLoadWithoutHarm) {
    std::mt19937 rng(7);
    std::string binary;
    for (int i = 0; i < 200000; ++i)
        binary += static_cast<char>(rng());
    binary += "\nscan 9\n";

    std::string oneMegLine = "location " + std::string(1 << 20, 'A') + "\nscan 10\n";

    std::string manyLinks = "dsn D\ntable T\n";
    for (int i = 0; i < 100000; ++i)
        manyLinks += "link " + std::to_string(i % 45) + " 12 Column" + std::to_string(i) + "\n";

    std::string bigNumbers;
    for (const char* key : {"interval", "speed", "parity", "scan", "format", "kludge_flags"})
        bigNumbers += std::string(key) + " 9999999999999999999999999999999999999999\n" + key +
                      " -9999999999999999999999999999999999999999\n";
    bigNumbers += "dsn D\ntable T\nlink 99999999999999999999999999999999999999999 1 C\n"
                  "link 1 99999999999999999999999999999999999999999 C\n";

    std::string zeros = std::string("scan 1\0 2\n", 10) + std::string(600, '\0') + "\ninterval 8\n";

    const struct {
        const char* name;
        std::string text;
        std::function<void(const Settings&)> check;
    } cases[] = {
        {"random binary bytes", binary, [](const Settings& s) { EXPECT_EQ(s.scan, 9); }},
        {"1 MB line", oneMegLine,
         [](const Settings& s) {
             EXPECT_EQ(s.location.size(), 63u);
             EXPECT_EQ(s.scan, 10);
         }},
        {"100,000 link lines", manyLinks,
         [](const Settings& s) {
             EXPECT_EQ(s.links.size(), 100000u);
             EXPECT_EQ(s.databaseLogState, Active);
         }},
        {"40-digit numbers", bigNumbers,
         [](const Settings& s) {
             EXPECT_EQ(s.interval, 5);
             EXPECT_EQ(s.scan, 247);
             EXPECT_EQ(s.kludgeFlags, 0);
             EXPECT_TRUE(s.links.empty());
         }},
        {"zero bytes", zeros,
         [](const Settings& s) {
             EXPECT_EQ(s.scan, 1);
             EXPECT_EQ(s.interval, 8);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Settings s;
        SerialPort p;
        write(c.text);
        s.load(file, p);
        c.check(s);
        EXPECT_LE(p.portName().size(), Settings::kPortNameCapacity);
    }
}

TEST_F(SettingsTest, DirectoryInPlaceOfFileLeavesDefaults) {
    fs::create_directory(file);
    settings.load(file, port);
    EXPECT_EQ(settings.scan, 247);
}

} // namespace
} // namespace tarvo
