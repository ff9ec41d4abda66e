#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "settings/settings.h"
#include "support/recording_operator.h"
#include "support/temp_dir.h"

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
    std::string kept;
    for (const std::string& line : s.keptLines)
        kept += line + ";";
    return "|location=" + s.location + "|port=" + s.portName + "|save_file=" + s.saveFile +
           "|dsn=" + s.dsn + "|table=" + s.table + "|user=" + s.user + "|passwd=" + s.passwd +
           "|links=" + links + "|link count=" + to_string(s.links.size()) +
           "|interval=" + to_string(s.interval) + "|scan=" + to_string(s.scan) +
           "|format=" + to_string(s.format) + "|kludge_flags=" + to_string(s.kludgeFlags) +
           "|speed=" + to_string(s.speedCode) + "|parity=" + to_string(s.parityCode) +
           "|db=" + to_string(s.databaseLogState) + "|logging=" + to_string(s.fileLoggingActive) +
           "|reopen=" + to_string(reopen) + "|quick_scan_ms=" + to_string(s.quickScanMs) +
           "|watch=" + to_string(s.watch) + "|alarm_command=" + s.alarmCommand + "|kept=" + kept +
           "|mqtt=" + s.mqttServer + "|mqtt_tls=" + to_string(s.mqttTls) + "|mqtt_ca=" + s.mqttCa +
           "|mqtt_user=" + s.mqttUser + "|mqtt_password=" + s.mqttPassword +
           "|mqtt_prefix=" + s.mqttTopicPrefix() + "|mqtt_discovery=" + to_string(s.mqttDiscovery) +
           "|";
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

class SettingsTest : public ::testing::Test {
protected:
    void write(const std::string& text) { std::ofstream(file, std::ios::binary) << text; }
    std::string read() const {
        std::stringstream s;
        s << std::ifstream(file, std::ios::binary).rdbuf();
        return s.str();
    }
    long entries() const {
        return std::distance(fs::directory_iterator(dir), fs::directory_iterator{});
    }
    // Loads the file into a fresh record and checks the fields.
    std::string expectLoaded(const std::string& expected) {
        Settings s;
        const SettingsLoadReport report = s.load(file);
        expectFields(s, report.portRead, expected);
        return report.message();
    }

    test::TempDir temp{"tarvo-settings"};
    const fs::path dir = temp.path();
    const fs::path file = dir / "Tarvo.cfg";
    Settings settings;
    RecordingOperator op;
};

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
    settings.replyTimeout = 2500; // a slow gateway's; left out while unchanged
    settings.quickScanMs = 80;    // left out at 50
    settings.watch = true;        // left out while off
    settings.alarmCommand = "/usr/local/bin/page tech";
    settings.mqttServer = "broker.lan:8884";
    settings.mqttTls = true;
    settings.mqttCa = "/etc/ssl/plant-ca.pem";
    settings.mqttUser = "panel";
    settings.mqttPassword = "p w";
    settings.mqttPrefix = "site/a";
    settings.mqttDiscovery = true;

    ASSERT_TRUE(settings.save(file, "Plant 7", 15, op));
    const std::string expected = std::string(kHeader) + "location Plant 7\n"
                                                        "interval 15\n"
                                                        "port COM2:\n"
                                                        "speed 8192\n"
                                                        "parity 2\n"
                                                        "reply_timeout 2500\n"
                                                        "quick_scan_ms 80\n"
                                                        "watch 1\n"
                                                        "alarm_command /usr/local/bin/page tech\n"
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
                                                        "link 44 8 [Neutral]\n"
                                                        "mqtt broker.lan:8884\n"
                                                        "mqtt_tls 1\n"
                                                        "mqtt_ca /etc/ssl/plant-ca.pem\n"
                                                        "mqtt_user panel\n"
                                                        "mqtt_password p w\n"
                                                        "mqtt_prefix site/a\n"
                                                        "mqtt_discovery 1\n";
    EXPECT_EQ(read(), expected);

    // Every key read back: what was read writes the same text again.
    Settings back;
    const bool reopen = back.load(file).portRead;
    EXPECT_EQ(back.fileText(back.location, back.interval), expected);
    expectFields(back, reopen, "logging=1|db=2|reopen=1");
}

TEST_F(SettingsTest, ConditionalLinesLeftOutWhenEmpty) {
    // An empty port name must not be written, or the next start would try
    // to open a port with no name.
    ASSERT_TRUE(settings.save(file, "", 5, op));
    EXPECT_EQ(read(), std::string(kHeader) + "interval 5\nspeed 2048\nparity 0\nscan 247\n");
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
         "scan=16|location=Here|interval=5|speed=2048|reopen=0|mqtt=|mqtt_tls=0|mqtt_prefix=tarvo"},
        {"interval that is no number is ignored", "interval often\n", "interval=5"},
        {"interval outside the dialog's list is kept", "interval 7\n", "interval=7"},
        {"number stops at first non-digit", "scan 12abc\n", "scan=12"},
        {"port glued to its value", "portCOM2:\n", "port=COM2:|reopen=1"},
        {"port followed only by blanks is ignored", "port    \n", "port=|reopen=0"},
        {"scanner matches scan and reads no number", "scanner 9\n", "scan=247"},
        {"leading blank matches no key", " scan 16\n", "scan=247"},
        {"key in capitals matches no key", "SCAN 16\n", "scan=247"},
        {"type code 65535 becomes -1", db + "link 4 65535 Notes\n", "links=4 -1 Notes;|db=2"},
        {"type code keeps its low 16 bits", db + "link 4 65547 Notes\n", "links=4 11 Notes;"},
        {"link without a name is ignored", db + "link 4 12\n", "links=|db=0|dsn="},
        {"dsn and table without link are discarded", db + "user U\npasswd P\nkludge_flags 5\n",
         "dsn=|table=|user=|passwd=|kludge_flags=0|db=0"},
        {"links without table are discarded", "dsn D\nlink 1 2 C\n", "links=|db=0"},
        {"last line without line end is ignored", "interval 3\nscan 16", "interval=3|scan=247"},
        {"text values keep inner and trailing blanks", "location  North  Wing \r\n",
         "location=North  Wing "},
        {"comment and empty lines skipped", "#scan 3\n\n\r\nscan 4\n", "scan=4"},
        {"later line wins", "scan 4\nscan 5\n", "scan=5"},
        {"quick scan wait outside 10 to 800 refuses its line",
         "quick_scan_ms 9\nquick_scan_ms 801\n", "quick_scan_ms=50"},
        {"quick scan wait at its limit is read", "quick_scan_ms 800\n", "quick_scan_ms=800"},
        {"watch 0 keeps watching off", "watch 0\n", "watch=0"},
        {"largest int is read", "scan 2147483647\ninterval -2147483648\n",
         "scan=2147483647|interval=-2147483648"},
        {"overlong values refuse their lines, not cut",
         "location " + std::string(64, 'L') + "\nport " + std::string(256, 'P') + "\n",
         "location=Here|port=|reopen=0"},
        {"values at capacity are read",
         "location " + std::string(63, 'L') + "\nport /dev/serial/by-id/" + std::string(237, 'P') +
             "\n",
         "location=" + std::string(63, 'L') + "|port=/dev/serial/by-id/" + std::string(237, 'P') +
             "|reopen=1"},
        {"bracket without a blank before it closes ends at a blank as before",
         db + "link 4 12 [a]b c\nlink 5 12 [Amps 1\n", "links=4 12 [a]b;5 12 [Amps;"},
        {"mqtt keys read as themselves, not as mqtt with a tail",
         "mqtt_user u\nmqtt_tls 1\nmqtt h:1\nmqtt_prefix p\nmqtt_discovery 1\n",
         "mqtt=h:1|mqtt_user=u|mqtt_tls=1|mqtt_prefix=p|mqtt_discovery=1"},
        {"over-long or control-character mqtt values refused",
         "mqtt " + std::string(256, 'h') + "\nmqtt_password a\x01" + "b\nmqtt_prefix " +
             std::string(128, 'p') + "\nmqtt_ca c\x7f\n",
         "mqtt=|mqtt_password=|mqtt_prefix=tarvo|mqtt_ca="},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write(c.text);
        expectLoaded(c.expected);
    }
}

TEST_F(SettingsTest, OverlongValuesCutWhenWritten) {
    settings.saveFile = std::string(2000, 'f');
    settings.portName = std::string(300, 'p');
    ASSERT_TRUE(settings.save(file, std::string(80, 'l'), 5, op));
    const std::string text = read();
    EXPECT_NE(text.find("location " + std::string(63, 'l') + "\n"), std::string::npos);
    EXPECT_NE(text.find("port " + std::string(255, 'p') + "\n"), std::string::npos);
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

// Runs `body` where folder permissions hold: as root, in a child process
// that has become "nobody". False when the body or the child failed.
bool runUnprivileged(const std::function<bool()>& body) {
    if (::geteuid() != 0)
        return body();
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(::setgid(65534) == 0 && ::setuid(65534) == 0 && body() ? 0 : 1);
    int status = 0;
    return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A folder that takes no new file: a writable file in it is saved in place;
// a read-only one is left as it was, and the operator told.
TEST_F(SettingsTest, UnwritableFolderSavesAWritableFileInPlace) {
    for (const bool writable : {true, false}) {
        SCOPED_TRACE(writable ? "writable file" : "read-only file");
        write(std::string(5000, '#') + "\n");
        ASSERT_EQ(::chmod(file.c_str(), writable ? 0666 : 0444), 0);
        ASSERT_EQ(::chmod(dir.c_str(), 0555), 0);
        const bool done = runUnprivileged([&] {
            RecordingOperator childOp;
            return settings.save(file, "Here", 5, childOp) == writable &&
                   childOp.messages == std::vector<RecordingOperator::Message>{
                                           {writable ? kSavedText : kFailedText, ""}};
        });
        ::chmod(dir.c_str(), 0700);
        EXPECT_TRUE(done);
        EXPECT_EQ(read(), writable ? settings.fileText("Here", 5) : std::string(5000, '#') + "\n");
        EXPECT_EQ(entries(), 1) << "no temporary file left behind";
    }
}

TEST_F(SettingsTest, SymlinkKeepsPointingAtItsUpdatedTarget) {
    fs::create_directory(dir / "real");
    std::ofstream(dir / "real" / "panel.cfg") << "scan 3\n";
    fs::create_symlink("real/panel.cfg", file);
    ASSERT_TRUE(settings.save(file, "Here", 5, op));
    EXPECT_TRUE(fs::is_symlink(file));
    EXPECT_EQ(read(), settings.fileText("Here", 5));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "real"), fs::directory_iterator{}), 1);
}

// Temporaries of a killed save hold the password: the next save removes
// them, and only them: not the user's copies, not another save's.
TEST_F(SettingsTest, SaveRemovesTemporariesOfAKilledSave) {
    const struct {
        const char* name;
        bool old;
        bool removed;
    } files[] = {
        {".Tarvo.cfg.tarvo-tmp-a1B2c3", true, true},
        {"Tarvo.cfg.backup", true, false},
        {"Tarvo.cfg.240115", true, false},             // a dated copy
        {".Tarvo.cfg.tarvo-tmp-x1y2z3", false, false}, // another window saving now
    };
    for (const auto& f : files) {
        std::ofstream(dir / f.name) << kHeader;
        ::chmod((dir / f.name).c_str(), 0600);
        const timespec twoHoursAgo[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 7200, 0}};
        if (f.old)
            ::utimensat(AT_FDCWD, (dir / f.name).c_str(), twoHoursAgo, 0);
    }
    ASSERT_TRUE(settings.save(file, "Here", 5, op));
    for (const auto& f : files)
        EXPECT_EQ(fs::exists(dir / f.name), !f.removed) << f.name;
}

// A line feed in a value would come back as a line of its own.
TEST_F(SettingsTest, SaveRefusesAControlCharacterNamingItsKey) {
    settings.saveFile = "/tmp/a.csv\nport /dev/ttyS9";
    EXPECT_FALSE(settings.save(file, "Here", 5, op));
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(op.messages[0].text, std::string(kFailedText) +
                                       "\nThe value of save_file holds a control character, such "
                                       "as a line break, that would break it into further lines.");
}

TEST_F(SettingsTest, FailedRenameKeepsOldContentAndSaysSo) {
    // Runs as root too: nothing can be renamed over a non-empty directory.
    fs::create_directory(file);
    std::ofstream(file / "keep") << "old";
    EXPECT_FALSE(settings.save(file, "Here", 5, op));
    EXPECT_TRUE(fs::exists(file / "keep"));
    EXPECT_EQ(entries(), 1) << "no temporary file left behind";
    EXPECT_EQ(op.messages, (std::vector<RecordingOperator::Message>{{kFailedText, ""}}));
}

// Hostile files: what the program does with each (the sanitizer build runs
// this; random bytes are the settings fuzz target's). A file that was read
// must come back the same from save and reload.
TEST_F(SettingsTest, HostileFiles) {
    std::string manyLinks = "dsn D\ntable T\n";
    for (int i = 0; i < 100000; ++i)
        manyLinks += "link " + std::to_string(i % 45) + " 12 Column" + std::to_string(i) + "\n";
    std::string bigNumbers;
    for (const char* key : {"interval", "speed", "parity", "scan", "format", "kludge_flags"})
        bigNumbers += std::string(key) + " 9999999999999999999999999999999999999999\n" + key +
                      " -9999999999999999999999999999999999999999\n";
    bigNumbers += "dsn D\ntable T\nlink 99999999999999999999999999999999999999999 1 C\n"
                  "link 1 99999999999999999999999999999999999999999 C\n";
    // The tail of a 511-character piece, once read as a line of its own.
    const std::string path = "/" + std::string(500, 'd') + "port /dev/ttyS9";

    enum Kind { Text, Missing, Fifo, ZeroDevice, Oversized };
    const std::string name = "\"" + file.string() + "\"";
    const std::string refused =
        "These lines of " + name + " were not read; their settings keep the values they had:\n";
    const std::string notRegular = name + " was not read: it is not a regular file.";
    const std::string db = "dsn D\ntable T\nuser U\npasswd P\n";
    const struct {
        const char* name;
        Kind kind;
        std::string text;
        std::string expected;
        std::string message;
    } cases[] = {
        {"missing file: defaults, silently", Missing, "", kDefaults, ""},
        {"FIFO does not block the start", Fifo, "", kDefaults, notRegular},
        {"link to /dev/zero does not spin", ZeroDevice, "", kDefaults, notRegular},
        {"file over 4 MB is not read", Oversized, "scan 9\n", kDefaults,
         name + " was not read: it is larger than 4 MB."},
        {"1 MB line refused whole, reported once", Text,
         "location " + std::string(1 << 20, 'A') + "\nscan 10\n", "location=Here|scan=10",
         "line 1 (location): longer than 63 characters"},
        {"long path read whole, its tail no line of its own", Text, "save_file " + path + "\n",
         "save_file=" + path + "|port=|logging=1", ""},
        {"carriage return inside a value refused", Text, "location a\rsave_file /etc/x\n",
         "location=Here|save_file=", "line 1 (location): holds a control character"},
        {"bracketed column name with a blank", Text, "dsn D\ntable T\nlink 4 12 [Amps 1]\n",
         "links=4 12 [Amps 1];|db=2", ""},
        {"CR LF endings leave no CR on a value", Text, "location North\r\r\nscan 4\r\n",
         "location=North|scan=4", ""},
        {"100,000 link lines", Text, manyLinks, "link count=100000|db=2", ""},
        {"40-digit numbers", Text, bigNumbers, "interval=5|scan=247|kludge_flags=0|links=", ""},
        {"bytes above 127 end the reading", Text, "\xFF\xFE\x80 \x81\nscan 9\n", "scan=9",
         "line 1 (\xFF\xFE\x80): unknown key"},
        {"zero bytes", Text,
         std::string("scan 1\0 2\n", 10) + std::string(600, '\0') + "\ninterval 8\n",
         "scan=1|interval=8", ""},
        {"over-long link line drops the database settings", Text,
         db + "link 1 2 " + std::string(256, 'C') + "\n", "dsn=D|table=T|user=U|passwd=P|db=0",
         "line 5 (link): longer than 255 characters"},
        {"tab in a password refused and dropped at save", Text, db + "link 1 2 C\npasswd a\tb\n",
         "passwd=a\tb|db=2", ""},
        {"hand edits accepted without a word", Text, "speed 19200\ncolour blue\n",
         "speed=19200|kept=colour blue;",
         "line 2 (colour): unknown key\nThese lines of " + name +
             " hold codes the program does not know:\nline 1 (speed): 19200 is not a speed code; "
             "9600 baud is used (256, 512, 2048 and 8192 stand for 2400, 4800, 9600 and 19200 "
             "baud)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(file);
        if (c.kind == Text || c.kind == Oversized)
            write(c.text);
        if (c.kind == Oversized)
            fs::resize_file(file, Settings::kMaxFileSize + 1);
        if (c.kind == Fifo)
            ::mkfifo(file.c_str(), 0600);
        if (c.kind == ZeroDevice)
            fs::create_symlink("/dev/zero", file);
        const std::string message = expectLoaded(c.expected);
        std::string expected;
        if (!c.message.empty())
            expected = c.kind == Text ? refused + c.message
                                      : c.message + "\nThe program starts with default settings.";
        EXPECT_EQ(message, expected);
        if (c.kind != Text)
            continue;
        Settings s;
        const SettingsLoadReport first = s.load(file);
        ASSERT_TRUE(s.save(file, s.location, s.interval, op));
        Settings back;
        const SettingsLoadReport report = back.load(file);
        EXPECT_EQ(report.refusedLines.size(), first.refusedLines.size()) << "written back as read";
        EXPECT_EQ(fields(back, report.portRead), fields(s, first.portRead));
    }
}

} // namespace
} // namespace tarvo
