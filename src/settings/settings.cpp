#include "settings/settings.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core/file_text.h"
#include "core/operator.h"
#include "link/link.h"

namespace tarvo {
namespace {

constexpr std::string_view kSaveFailed = "Couldn't write file \"Tarvo.cfg\"";
constexpr std::string_view kSaved =
    "Current settings saved to \"Tarvo.cfg\"\nThis file will be read when the program is "
    "restarted";

bool isControl(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

bool isSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string_view skipSpace(std::string_view s) {
    while (!s.empty() && isSpace(s.front()))
        s.remove_prefix(1);
    return s;
}

std::string readProblem(FileTextRead r) {
    switch (r.outcome) {
    case FileTextRead::NotRegular:
        return "is not a regular file";
    case FileTextRead::TooLarge:
        return "is larger than 4 MB";
    default:
        return "is not readable (" + std::string(std::strerror(r.error)) + ")";
    }
}

// What a line names as its key, for a message: up to the first blank, at
// most 32 bytes, control bytes shown as "?".
std::string shownKey(std::string_view line) {
    std::string key(line.substr(0, std::min(line.find_first_of(" \t"), std::size_t{32})));
    std::ranges::replace_if(key, isControl, '?');
    return key;
}

// `lines` under their lead, at most the first few: a hostile file may
// refuse thousands of lines, and the first ones tell the operator what to
// look at.
void appendListed(std::string& text, const std::string& lead,
                  const std::vector<std::string>& lines) {
    if (lines.empty())
        return;
    constexpr std::size_t kListed = 5;
    if (!text.empty())
        text += "\n";
    text += lead;
    for (std::size_t i = 0; i < lines.size() && i < kListed; ++i)
        text += "\n" + lines[i];
    if (lines.size() > kListed)
        text += "\nand " + std::to_string(lines.size() - kListed) + " more";
}

// Reads a decimal integer as the C library's "%d" would: leading white space
// skipped, an optional sign, then digits up to the first character that
// cannot continue the number. A number too large for an int counts as no
// number, so a corrupted line leaves the field at its previous value instead
// of some arbitrary one. On success `s` is left after the digits.
bool readInt(std::string_view& s, int& out) {
    std::string_view t = skipSpace(s);
    bool negative = false;
    if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
        negative = t.front() == '-';
        t.remove_prefix(1);
    }
    std::size_t digits = 0;
    long long value = 0;
    bool tooLarge = false;
    while (digits < t.size() && t[digits] >= '0' && t[digits] <= '9') {
        if (!tooLarge) {
            value = value * 10 + (t[digits] - '0');
            tooLarge = value > static_cast<long long>(std::numeric_limits<int>::max()) + 1;
        }
        ++digits;
    }
    if (digits == 0 || tooLarge)
        return false;
    if (negative)
        value = -value;
    if (value > std::numeric_limits<int>::max() || value < std::numeric_limits<int>::min())
        return false;
    out = static_cast<int>(value);
    s = t.substr(digits);
    return true;
}

// "%d %d %s": two integers and a word that ends at the first white space.
bool readLink(std::string_view value, ColumnLink& link) {
    int index = 0;
    int type = 0;
    if (!readInt(value, index) || !readInt(value, type))
        return false;
    value = skipSpace(value);
    std::size_t length = 0;
    while (length < value.size() && !isSpace(value[length]))
        ++length;
    if (length == 0)
        return false;
    // Bracket quoting lets a column name hold blanks ("[Amps 1]"): a name
    // that opens a bracket and meets a blank before closing it runs to the
    // closing bracket, over printable characters only. Any other name ends
    // at its first blank, as it always did.
    if (value.front() == '[' && value.substr(0, length).find(']') == std::string_view::npos) {
        std::size_t close = length;
        while (close < value.size() && value[close] != ']' && !isControl(value[close]))
            ++close;
        if (close < value.size() && value[close] == ']')
            length = close + 1;
    }
    link.variableIndex = index;
    // The type code is a signed 16-bit value; a file may carry it as its
    // unsigned form (65535 for -1), so only its low 16 bits count.
    link.sqlType = static_cast<std::int16_t>(static_cast<std::uint16_t>(type & 0xFFFF));
    link.columnName = value.substr(0, length);
    return true;
}

enum class Key {
    Location,
    Interval,
    Port,
    Speed,
    Parity,
    Echo,
    Scan,
    SaveFile,
    Format,
    Dsn,
    Table,
    User,
    Passwd,
    KludgeFlags,
    Link,
    ReplyTimeout,
    QuickScanMs,
    Watch,
    AlarmCommand,
    MqttTls,
    MqttCa,
    MqttUser,
    MqttPassword,
    MqttPrefix,
    MqttDiscovery,
    Mqtt,
};

struct KeyName {
    std::string_view name;
    Key key;
};

// Tried in this order; the first whose characters begin the line wins, so a
// line "scanner" is taken as `scan` with the value "ner"; `mqtt` comes after
// the keys it begins.
constexpr KeyName kKeys[] = {
    {"location", Key::Location},
    {"interval", Key::Interval},
    {"port", Key::Port},
    {"speed", Key::Speed},
    {"parity", Key::Parity},
    {"echo", Key::Echo},
    {"scan", Key::Scan},
    {"save_file", Key::SaveFile},
    {"format", Key::Format},
    {"dsn", Key::Dsn},
    {"table", Key::Table},
    {"user", Key::User},
    {"passwd", Key::Passwd},
    {"kludge_flags", Key::KludgeFlags},
    {"link", Key::Link},
    {"reply_timeout", Key::ReplyTimeout},
    {"watch", Key::Watch},
    {"quick_scan_ms", Key::QuickScanMs},
    {"alarm_command", Key::AlarmCommand},
    {"mqtt_tls", Key::MqttTls},
    {"mqtt_ca", Key::MqttCa},
    {"mqtt_user", Key::MqttUser},
    {"mqtt_password", Key::MqttPassword},
    {"mqtt_prefix", Key::MqttPrefix},
    {"mqtt_discovery", Key::MqttDiscovery},
    {"mqtt", Key::Mqtt},
};

void appendInt(std::string& out, int value) {
    char buf[16];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, r.ptr);
}

void appendTextLine(std::string& out, std::string_view key, std::string_view value,
                    std::size_t capacity) {
    out.append(key);
    out += ' ';
    out.append(value.substr(0, capacity));
    out += '\n';
}

void appendIntLine(std::string& out, std::string_view key, int value) {
    out.append(key);
    out += ' ';
    appendInt(out, value);
    out += '\n';
}

// Follows symbolic links to the file they name; a relative link is taken
// from the link's own folder. After 40 links (the kernel's own limit) the
// chain is taken as a loop and the last link is written over.
std::filesystem::path followLinks(std::filesystem::path file) {
    for (int i = 0; i < 40; ++i) {
        std::error_code ec;
        if (!std::filesystem::is_symlink(std::filesystem::symlink_status(file, ec)))
            break;
        const std::filesystem::path to = std::filesystem::read_symlink(file, ec);
        if (ec)
            break;
        file = to.is_absolute() ? to : file.parent_path() / to;
    }
    return file;
}

} // namespace

bool hasControlCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return c != '\t' && isControl(c); });
}

std::string SettingsLoadReport::message() const {
    const std::string name = "\"" + file + "\"";
    if (!fileProblem.empty())
        return name + " was not read: it " + fileProblem +
               ".\nThe program starts with default settings.";
    std::string text;
    appendListed(
        text, "These lines of " + name + " were not read; their settings keep the values they had:",
        refusedLines);
    appendListed(text,
                 "These lines of " + name + " hold codes the program does not know:", unknownCodes);
    return text;
}

void Settings::clearDatabaseSettings() {
    dsn.clear();
    table.clear();
    user.clear();
    passwd.clear();
    kludgeFlags = 0;
    links.clear();
}

SettingsLoadReport Settings::load(const std::filesystem::path& file) {
    SettingsLoadReport report;
    report.file = file.string();
    std::string text;
    if (const FileTextRead r = readFileText(file, kMaxFileSize, text);
        r.outcome != FileTextRead::Read) {
        if (r.outcome != FileTextRead::Missing)
            report.fileProblem = readProblem(r);
        return report;
    }
    keptLines.clear();

    bool dsnSeen = false;
    bool tableSeen = false;
    bool linkSeen = false;
    bool databaseLineKept = false;
    int lineNumber = 0;
    std::string_view line;
    // A line not taken is said and kept, so that Save writes it back as it
    // was: a hand edit to mend, or a newer version's setting.
    auto keep = [&](std::string_view key, const std::string& why) {
        report.refusedLines.push_back("line " + std::to_string(lineNumber) +
                                      (key.empty() ? "" : " (" + std::string(key) + ")") + ": " +
                                      why);
        keptLines.emplace_back(line);
    };
    // A text value that does not fit its field, or would not survive
    // being written back, refuses the line as a whole.
    auto fits = [&](std::string_view key, std::string_view value, std::size_t capacity) {
        std::string why;
        if (value.size() > capacity)
            why = "longer than " + std::to_string(capacity) + " characters";
        else if (hasControlCharacter(value))
            why = "holds a control character";
        if (!why.empty()) {
            keep(key, why);
            databaseLineKept = databaseLineKept || key == "dsn" || key == "table" || key == "link";
        }
        return why.empty();
    };
    auto unknownCode = [&](std::string_view key, int code, const char* what) {
        report.unknownCodes.push_back("line " + std::to_string(lineNumber) + " (" +
                                      std::string(key) + "): " + std::to_string(code) + what);
    };

    // Only lines that end in a line feed count: a last line without one is
    // not handled.
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
        ++lineNumber;
        line = std::string_view(text.data() + start, end - start);
        // Bytes after a zero byte in a line are not part of its text.
        line = line.substr(0, line.find('\0'));
        if (line.empty() || line.front() == '#')
            continue;
        // The carriage returns of a "\r\n" file end the line too, so none
        // stays at the end of a value that save would write and the next
        // read take off again.
        while (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty())
            continue;
        bool keyFound = false;
        for (const KeyName& k : kKeys) {
            if (!line.starts_with(k.name))
                continue;
            keyFound = true;
            std::string_view value = skipSpace(line.substr(k.name.size()));
            if (value.empty())
                continue;
            int number = 0;
            switch (k.key) {
            case Key::Location:
                if (fits(k.name, value, kLocationCapacity))
                    location = value;
                break;
            case Key::Port:
                if (fits(k.name, value, kPortNameCapacity)) {
                    portName = std::string(value);
                    report.portRead = true;
                }
                break;
            case Key::SaveFile:
                if (fits(k.name, value, kSaveFileCapacity)) {
                    saveFile = value;
                    fileLoggingActive = true;
                }
                break;
            case Key::Dsn:
                if (fits(k.name, value, kDsnCapacity)) {
                    dsn = value;
                    dsnSeen = true;
                }
                break;
            case Key::Table:
                if (fits(k.name, value, kTableCapacity)) {
                    table = value;
                    tableSeen = true;
                }
                break;
            case Key::User:
                if (fits(k.name, value, kUserCapacity))
                    user = value;
                break;
            case Key::Passwd:
                if (fits(k.name, value, kPasswdCapacity))
                    passwd = value;
                break;
            case Key::Interval:
                if (readInt(value, number))
                    interval = number;
                break;
            // A code the line does not know opens the port at 9600 baud
            // without parity, and is written back as it is.
            case Key::Speed:
                if (readInt(value, number)) {
                    speedCode = number;
                    if (number != Link::kSpeed2400 && number != Link::kSpeed4800 &&
                        number != Link::kSpeed9600 && number != Link::kSpeed19200)
                        unknownCode(k.name, number,
                                    " is not a speed code; 9600 baud is used (256, 512, 2048 "
                                    "and 8192 stand for 2400, 4800, 9600 and 19200 baud)");
                }
                break;
            case Key::Parity:
                if (readInt(value, number)) {
                    parityCode = number;
                    if (number != Link::kParityNone && number != Link::kParityOdd &&
                        number != Link::kParityEven)
                        unknownCode(k.name, number,
                                    " is not a parity code; no parity is used (0 stands for "
                                    "none, 1 for odd, 2 for even)");
                }
                break;
            case Key::Scan:
                if (readInt(value, number))
                    scan = number;
                break;
            case Key::Echo:
                if (readInt(value, number))
                    adapterEchoes = number != 0;
                break;
            case Key::ReplyTimeout:
                if (readInt(value, number))
                    replyTimeout = number;
                break;
            case Key::QuickScanMs:
                if (readInt(value, number) && number >= kQuickScanMin && number <= kQuickScanMax)
                    quickScanMs = number;
                else
                    report.refusedLines.push_back("line " + std::to_string(lineNumber) +
                                                  " (quick_scan_ms): not a number from " +
                                                  std::to_string(kQuickScanMin) + " to " +
                                                  std::to_string(kQuickScanMax));
                break;
            case Key::Watch:
                if (readInt(value, number))
                    watch = number != 0;
                break;
            case Key::AlarmCommand:
                if (fits(k.name, value, kSaveFileCapacity))
                    alarmCommand = value;
                break;
            case Key::Format:
                if (readInt(value, number))
                    format = number;
                break;
            case Key::KludgeFlags:
                if (readInt(value, number))
                    kludgeFlags = number;
                break;
            case Key::Mqtt:
                if (fits(k.name, value, kMqttServerCapacity))
                    mqttServer = value;
                break;
            case Key::MqttCa:
                if (fits(k.name, value, kSaveFileCapacity))
                    mqttCa = value;
                break;
            case Key::MqttUser:
                if (fits(k.name, value, kUserCapacity))
                    mqttUser = value;
                break;
            case Key::MqttPassword:
                if (fits(k.name, value, kPasswdCapacity))
                    mqttPassword = value;
                break;
            case Key::MqttPrefix:
                if (fits(k.name, value, kMqttPrefixCapacity))
                    mqttPrefix = value;
                break;
            case Key::MqttTls:
                if (readInt(value, number))
                    mqttTls = number != 0;
                break;
            case Key::MqttDiscovery:
                if (readInt(value, number))
                    mqttDiscovery = number != 0;
                break;
            case Key::Link: {
                ColumnLink link;
                if (readLink(value, link) && fits(k.name, link.columnName, kColumnNameCapacity)) {
                    links.push_back(std::move(link));
                    linkSeen = true;
                }
                break;
            }
            }
            break;
        }
        if (!keyFound) {
            const std::string key = shownKey(line);
            keep(key, key.empty() ? "begins with a blank, not a key" : "unknown key");
        }
    }

    // Database settings that are not whole are dropped, unless a line of
    // them was refused: what was read is then kept, unused, for Save to
    // write back beside the refused line.
    if (dsnSeen && tableSeen && linkSeen) {
        databaseLogState = Active;
    } else {
        databaseLogState = Off;
        if (!databaseLineKept)
            clearDatabaseSettings();
    }
    return report;
}

std::string Settings::fileText(std::string_view locationShown, int intervalShown) const {
    std::string out;
    out += "# Dodizorari Vavizevi Configuration setup file\n";
    out += "# This file is generated automatically\n";
    out += "# DO NOT manually edit \n";
    out += "\n";
    if (!locationShown.empty())
        appendTextLine(out, "location", locationShown, kLocationCapacity);
    appendIntLine(out, "interval", intervalShown);
    if (!portName.empty())
        appendTextLine(out, "port", portName, kPortNameCapacity);
    appendIntLine(out, "speed", speedCode);
    appendIntLine(out, "parity", parityCode);
    // Written only when on, so a file from a machine without an echoing
    // adapter stays as older versions wrote it.
    if (adapterEchoes)
        appendIntLine(out, "echo", 1);
    if (replyTimeout != 800)
        appendIntLine(out, "reply_timeout", replyTimeout);
    if (quickScanMs != kQuickScanDefault)
        appendIntLine(out, "quick_scan_ms", quickScanMs);
    if (watch)
        appendIntLine(out, "watch", 1);
    if (!alarmCommand.empty())
        appendTextLine(out, "alarm_command", alarmCommand, kSaveFileCapacity);
    appendIntLine(out, "scan", scan);
    if (!saveFile.empty()) {
        appendTextLine(out, "save_file", saveFile, kSaveFileCapacity);
        appendIntLine(out, "format", format);
    }
    if (!dsn.empty())
        appendTextLine(out, "dsn", dsn, kDsnCapacity);
    if (!table.empty())
        appendTextLine(out, "table", table, kTableCapacity);
    if (!user.empty())
        appendTextLine(out, "user", user, kUserCapacity);
    if (!passwd.empty())
        appendTextLine(out, "passwd", passwd, kPasswdCapacity);
    if (kludgeFlags != 0)
        appendIntLine(out, "kludge_flags", kludgeFlags);
    for (const ColumnLink& link : links) {
        out += "link ";
        appendInt(out, link.variableIndex);
        out += ' ';
        appendInt(out, link.sqlType);
        out += ' ';
        out.append(std::string_view(link.columnName).substr(0, kColumnNameCapacity));
        out += '\n';
    }
    if (!mqttServer.empty())
        appendTextLine(out, "mqtt", mqttServer, kMqttServerCapacity);
    if (mqttTls)
        appendIntLine(out, "mqtt_tls", 1);
    if (!mqttCa.empty())
        appendTextLine(out, "mqtt_ca", mqttCa, kSaveFileCapacity);
    if (!mqttUser.empty())
        appendTextLine(out, "mqtt_user", mqttUser, kUserCapacity);
    if (!mqttPassword.empty())
        appendTextLine(out, "mqtt_password", mqttPassword, kPasswdCapacity);
    if (!mqttPrefix.empty())
        appendTextLine(out, "mqtt_prefix", mqttPrefix, kMqttPrefixCapacity);
    if (mqttDiscovery)
        appendIntLine(out, "mqtt_discovery", 1);
    // Only as many as keep the file readable again.
    for (const std::string& line : keptLines)
        if (out.size() + line.size() + 1 <= kMaxFileSize)
            out.append(line) += '\n';
    return out;
}

bool Settings::save(const std::filesystem::path& file, std::string_view locationShown,
                    int intervalShown, Operator& op) const {
    // A line feed in a value would start a line of its own at the next read
    // (a `save_file` line the operator never chose); no such value is
    // written, and the operator learns which one.
    std::vector<std::pair<std::string_view, std::string_view>> texts = {{"location", locationShown},
                                                                        {"port", portName},
                                                                        {"save_file", saveFile},
                                                                        {"dsn", dsn},
                                                                        {"table", table},
                                                                        {"user", user},
                                                                        {"passwd", passwd}};
    texts.insert(texts.end(), {{"mqtt", mqttServer},
                               {"mqtt_ca", mqttCa},
                               {"mqtt_user", mqttUser},
                               {"mqtt_password", mqttPassword},
                               {"mqtt_prefix", mqttPrefix}});
    for (const ColumnLink& link : links)
        texts.emplace_back("link", link.columnName);
    for (const auto& [key, value] : texts) {
        if (hasControlCharacter(value)) {
            op.showMessage(std::string(kSaveFailed) + "\nThe value of " + std::string(key) +
                           " holds a control character, such as a line break, that would "
                           "break it into further lines.");
            return false;
        }
    }
    const std::string text = fileText(locationShown, intervalShown);

    // A symbolic link keeps pointing at the file it names, which gets the text.
    // It holds the database password in clear: for its owner's eyes only.
    const std::filesystem::path target = followLinks(file);
    const FileTextWrite written = replaceFileText(target, text, FileAccess::OwnerOnly);
    if (written.outcome == FileTextWrite::Failed ||
        (written.outcome == FileTextWrite::NoTemporary &&
         !rewriteFileText(target, text, FileAccess::OwnerOnly))) {
        op.showMessage(kSaveFailed);
        return false;
    }
    op.showMessage(kSaved);
    return true;
}

} // namespace tarvo
