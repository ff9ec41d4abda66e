#include "settings/settings.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/operator.h"
#include "link/link.h"
#include "settings/file_text.h"

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

const std::string kStartsWithDefaults = "\nThe program starts with default settings.";

std::string readProblemText(FileTextRead::Outcome r) {
    switch (r) {
    case FileTextRead::NotRegular:
        return "\"Tarvo.cfg\" was not read: it is not a regular file." + kStartsWithDefaults;
    case FileTextRead::TooLarge:
        return "\"Tarvo.cfg\" was not read: it is larger than 4 MB." + kStartsWithDefaults;
    default:
        return "Couldn't read file \"Tarvo.cfg\"" + kStartsWithDefaults;
    }
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
};

struct KeyName {
    std::string_view name;
    Key key;
};

// Tried in this order; the first whose characters begin the line wins, so a
// line "scanner" is taken as `scan` with the value "ner".
// clang-format off
constexpr KeyName kKeys[] = {
    {"location", Key::Location}, {"interval", Key::Interval},
    {"port", Key::Port},         {"speed", Key::Speed},
    {"parity", Key::Parity},     {"echo", Key::Echo},
    {"scan", Key::Scan},         {"save_file", Key::SaveFile},
    {"format", Key::Format},     {"dsn", Key::Dsn},
    {"table", Key::Table},       {"user", Key::User},
    {"passwd", Key::Passwd},     {"kludge_flags", Key::KludgeFlags},
    {"link", Key::Link},         {"reply_timeout", Key::ReplyTimeout},
    {"watch", Key::Watch},       {"quick_scan_ms", Key::QuickScanMs},
    {"alarm_command", Key::AlarmCommand},
};
// clang-format on

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

std::filesystem::path folderOf(const std::filesystem::path& file) {
    return file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path();
}

constexpr std::string_view kFirstLine = "# Dodizorari Vavizevi Configuration setup file\n";

// A save killed between creating its temporary file and renaming it leaves
// "Tarvo.cfg.XXXXXX" behind, holding the password. Removed are only files
// that look like exactly that: named as mkstemp names them (six letters or
// digits after the dot), regular, ours, readable by us only, and holding
// the start of what save writes (or nothing, when killed before writing).
void removeStaleTemporaries(const std::filesystem::path& file) {
    const std::string prefix = file.filename().string() + ".";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folderOf(file), ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() != prefix.size() + 6 || !name.starts_with(prefix) ||
            !std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                         [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }))
            continue;
        const int fd = ::open(entry.path().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st {};
        char head[kFirstLine.size()];
        ssize_t n = -1;
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
            (st.st_mode & 0777) == (S_IRUSR | S_IWUSR))
            n = ::read(fd, head, sizeof head);
        ::close(fd);
        if (n >= 0 && kFirstLine.starts_with(std::string_view(head, static_cast<std::size_t>(n))))
            ::unlink(entry.path().c_str());
    }
}

enum class WriteOutcome { Written, NoTemporary, Failed };

bool writeAll(int fd, const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

// The new text goes to a temporary file in the same folder, which is renamed
// over the old file only once it is completely on disk: a crash or a full
// disk mid-write leaves the previous settings in place. NoTemporary: the
// folder took no new file, and nothing was changed.
WriteOutcome writeReplacing(const std::filesystem::path& file, const std::string& text) {
    const std::filesystem::path dir = folderOf(file);
    std::string temp = (dir / (file.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return WriteOutcome::NoTemporary;
    // mkstemp already creates the file for its owner only; say so explicitly,
    // since the file holds the database password in clear.
    bool ok = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0 && writeAll(fd, text) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp.c_str(), file.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return WriteOutcome::Failed;
    }
    // Make the rename itself durable; a failure here loses nothing that the
    // old file did not already hold.
    if (const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return WriteOutcome::Written;
}

// For a writable settings file in a folder the user may not add files to
// (one an administrator set up): the file is rewritten where it is. The new
// text is written over the old before the rest is cut off, so a failure
// part-way can leave a mix of both; that is the price of keeping the file
// savable at all.
bool writeInPlace(const std::filesystem::path& file, const std::string& text) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    // The password inside is for the owner's eyes, as with a replaced file.
    if (ok && st.st_uid == ::geteuid())
        ok = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0;
    ok = ok && writeAll(fd, text) && ::ftruncate(fd, static_cast<off_t>(text.size())) == 0 &&
         ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    return ok;
}

} // namespace

bool hasControlCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(), isControl);
}

std::string SettingsLoadReport::message() const {
    if (!fileProblem.empty())
        return fileProblem;
    if (refusedLines.empty())
        return {};
    // A hostile file may refuse thousands of lines; the first few tell the
    // operator what to look at.
    constexpr std::size_t kListed = 5;
    std::string text = "These lines of \"Tarvo.cfg\" were not read; their settings keep the "
                       "values they had:";
    for (std::size_t i = 0; i < refusedLines.size() && i < kListed; ++i)
        text += "\n" + refusedLines[i];
    if (refusedLines.size() > kListed)
        text += "\nand " + std::to_string(refusedLines.size() - kListed) + " more";
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
    std::string text;
    if (const auto r = readFileText(file, kMaxFileSize, text).outcome; r != FileTextRead::Read) {
        if (r != FileTextRead::Missing)
            report.fileProblem = readProblemText(r);
        return report;
    }

    bool dsnSeen = false;
    bool tableSeen = false;
    bool linkSeen = false;
    int lineNumber = 0;
    // A text value that does not fit its field, or would not survive
    // being written back, refuses the line as a whole.
    auto fits = [&](std::string_view key, std::string_view value, std::size_t capacity) {
        std::string why;
        if (value.size() > capacity)
            why = "longer than " + std::to_string(capacity) + " characters";
        else if (hasControlCharacter(value))
            why = "holds a control character";
        if (!why.empty())
            report.refusedLines.push_back("line " + std::to_string(lineNumber) + " (" +
                                          std::string(key) + "): " + why);
        return why.empty();
    };

    // Only lines that end in a line feed count: a last line without one is
    // not handled.
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
        ++lineNumber;
        std::string_view line(text.data() + start, end - start);
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
        for (const KeyName& k : kKeys) {
            if (!line.starts_with(k.name))
                continue;
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
            case Key::Speed:
                if (readInt(value, number))
                    speedCode = number;
                break;
            case Key::Parity:
                if (readInt(value, number))
                    parityCode = number;
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
    }

    if (dsnSeen && tableSeen && linkSeen) {
        databaseLogState = Active;
    } else {
        databaseLogState = Off;
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
    const std::filesystem::path target = followLinks(file);
    removeStaleTemporaries(file);
    if (target != file)
        removeStaleTemporaries(target);
    const WriteOutcome written = writeReplacing(target, text);
    if (written == WriteOutcome::Failed ||
        (written == WriteOutcome::NoTemporary && !writeInPlace(target, text))) {
        op.showMessage(kSaveFailed);
        return false;
    }
    op.showMessage(kSaved);
    return true;
}

} // namespace tarvo
