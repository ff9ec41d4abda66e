#include "settings/settings.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/operator.h"
#include "link/link.h"

namespace tarvo {
namespace {

constexpr std::string_view kSaveFailed = "Couldn't write file \"Tarvo.cfg\"";
constexpr std::string_view kSaved =
    "Current settings saved to \"Tarvo.cfg\"\nThis file will be read when the program is "
    "restarted";

bool isSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string_view skipSpace(std::string_view s) {
    while (!s.empty() && isSpace(s.front()))
        s.remove_prefix(1);
    return s;
}

std::string cut(std::string_view value, std::size_t capacity) {
    return std::string(value.substr(0, capacity));
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
    link.variableIndex = index;
    // The type code is a signed 16-bit value; a file may carry it as its
    // unsigned form (65535 for -1), so only its low 16 bits count.
    link.sqlType = static_cast<std::int16_t>(static_cast<std::uint16_t>(type & 0xFFFF));
    link.columnName = cut(value.substr(0, length), Settings::kColumnNameCapacity);
    return true;
}

enum class Key {
    Location,
    Interval,
    Port,
    Speed,
    Parity,
    Scan,
    SaveFile,
    Format,
    Dsn,
    Table,
    User,
    Passwd,
    KludgeFlags,
    Link,
};

struct KeyName {
    std::string_view name;
    Key key;
};

// Tried in this order; the first whose characters begin the line wins, so a
// line "scanner" is taken as `scan` with the value "ner".
constexpr KeyName kKeys[] = {
    {"location", Key::Location},
    {"interval", Key::Interval},
    {"port", Key::Port},
    {"speed", Key::Speed},
    {"parity", Key::Parity},
    {"scan", Key::Scan},
    {"save_file", Key::SaveFile},
    {"format", Key::Format},
    {"dsn", Key::Dsn},
    {"table", Key::Table},
    {"user", Key::User},
    {"passwd", Key::Passwd},
    {"kludge_flags", Key::KludgeFlags},
    {"link", Key::Link},
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

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

} // namespace

void Settings::clearDatabaseSettings() {
    dsn.clear();
    table.clear();
    user.clear();
    passwd.clear();
    kludgeFlags = 0;
    links.clear();
}

bool Settings::load(const std::filesystem::path& file) {
    std::unique_ptr<std::FILE, FileCloser> f(std::fopen(file.c_str(), "r"));
    if (!f)
        return false;

    bool portSeen = false;
    bool dsnSeen = false;
    bool tableSeen = false;
    bool linkSeen = false;
    char buf[kLinePiece + 1];
    for (;;) {
        // A longer line comes in pieces of 511 characters, each handled as a
        // line. What the read that reaches the end of the file returns is a
        // last line without a line end, which is not handled.
        if (!std::fgets(buf, sizeof buf, f.get()) || std::feof(f.get()))
            break;
        // Bytes after a zero byte in a line are not part of its text.
        std::string_view line(buf, std::strlen(buf));
        if (line.empty() || line.front() == '#')
            continue;
        for (int i = 0; i < 2 && !line.empty() && (line.back() == '\r' || line.back() == '\n'); ++i)
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
                location = cut(value, kLocationCapacity);
                break;
            case Key::Port:
                portName = cut(value, kPortNameCapacity);
                portSeen = true;
                break;
            case Key::SaveFile:
                saveFile = cut(value, kSaveFileCapacity);
                fileLoggingActive = true;
                break;
            case Key::Dsn:
                dsn = cut(value, kDsnCapacity);
                dsnSeen = true;
                break;
            case Key::Table:
                table = cut(value, kTableCapacity);
                tableSeen = true;
                break;
            case Key::User:
                user = cut(value, kUserCapacity);
                break;
            case Key::Passwd:
                passwd = cut(value, kPasswdCapacity);
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
                if (readLink(value, link)) {
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
    return portSeen;
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
    const std::string text = fileText(locationShown, intervalShown);

    // The new text goes to a temporary file in the same directory, which is
    // renamed over the old file only once it is completely on disk: a crash
    // or a full disk mid-write leaves the previous settings in place.
    std::filesystem::path dir = file.parent_path();
    if (dir.empty())
        dir = ".";
    std::string temp = (dir / (file.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        op.showMessage(kSaveFailed);
        return false;
    }
    // mkstemp already creates the file for its owner only; say so explicitly,
    // since the file holds the database password in clear.
    bool ok = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0;
    std::size_t written = 0;
    while (ok && written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            written += static_cast<std::size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp.c_str(), file.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        op.showMessage(kSaveFailed);
        return false;
    }
    // Make the rename itself durable; a failure here loses nothing that the
    // old file did not already hold.
    if (const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY); dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    op.showMessage(kSaved);
    return true;
}

} // namespace tarvo
