#include "session/journal_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "devices/register_map.h"
#include "logging/log_file.h"

namespace tarvo {
namespace {

void appendText(std::string& line, const std::string& text, char delimiter) {
    const bool quote =
        text.empty() || text.find_first_of(std::string{delimiter, ' ', '\t', '"', ',', '\r',
                                                       '\n'}) != std::string::npos;
    if (!quote) {
        line += text;
        return;
    }
    line += '"';
    for (char c : text) {
        if (c == '\n' || c == '\r')
            c = ' ';
        if (c == '"')
            line += '"';
        line += c;
    }
    line += '"';
}

std::string numberText(double value) {
    std::string text = fixedText(value, 3);
    if (text.find('.') != std::string::npos) {
        while (text.back() == '0')
            text.pop_back();
        if (text.back() == '.')
            text.pop_back();
    }
    return text;
}

template <typename T>
bool parseNumber(const std::string& text, T& value) {
    const char* end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, value);
    return r.ec == std::errc{} && r.ptr == end;
}

} // namespace

std::string journalPath(const std::string& logFile) {
    if (logFile.empty())
        return "Tarvo_journal.csv";
    std::filesystem::path p(logFile);
    const std::string stem = p.stem().string();
    p.replace_filename(stem + "_journal" + p.extension().string());
    return p.string();
}

bool parseStamp(const std::string& text, std::time_t& time) {
    int mon, day, year, h, m, s;
    char tail;
    if (std::sscanf(text.c_str(), "%2d/%2d/%4d %2d:%2d:%2d%c", &mon, &day, &year, &h, &m, &s,
                    &tail) != 6)
        return false;
    if (mon < 1 || mon > 12 || day < 1 || day > 31 || year < 1970 || h > 23 || m > 59 || s > 60 ||
        h < 0 || m < 0 || s < 0)
        return false;
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = mon - 1;
    local.tm_mday = day;
    local.tm_hour = h;
    local.tm_min = m;
    local.tm_sec = s;
    local.tm_isdst = -1;
    time = std::mktime(&local);
    return time != static_cast<std::time_t>(-1);
}

std::string journalLine(const JournalEntry& e, char delimiter) {
    std::string line = logTimeStamp(e.time);
    line += delimiter;
    line += std::to_string(e.address);
    line += delimiter;
    appendText(line, e.name, delimiter);
    line += delimiter;
    appendText(line, eventText(e.event), delimiter);
    line += delimiter;
    appendText(line, e.subject, delimiter);
    line += delimiter;
    line += numberText(e.value);
    line += delimiter;
    appendText(line, e.unit, delimiter);
    line += '\n';
    return line;
}

std::vector<std::string> splitDelimited(const std::string& line, char delimiter) {
    std::vector<std::string> fields;
    std::string field;
    bool quoted = false;
    bool inField = false;
    const bool blanks = delimiter == ' ';
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"' && field.empty()) {
            quoted = true;
            inField = true;
        } else if (c == delimiter || (blanks && c == '\t')) {
            if (blanks && !inField)
                continue; // a run of blanks is one separator
            fields.push_back(std::move(field));
            field.clear();
            inField = false;
        } else if (c != '\r') {
            field += c;
            inField = true;
        }
    }
    if (inField || !blanks)
        fields.push_back(std::move(field));
    return fields;
}

LinesRead readLines(const std::string& path, std::size_t maxLine,
                    const std::function<void(std::string_view)>& line,
                    const std::function<bool(std::uint64_t, std::uint64_t)>& chunk) {
    LinesRead read;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        read.error = std::strerror(errno);
        return read;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        read.error = S_ISREG(st.st_mode) ? std::strerror(errno) : "not a regular file";
        ::close(fd);
        return read;
    }
    read.opened = true;
    const auto total = static_cast<std::uint64_t>(st.st_size);
    std::uint64_t done = 0;
    std::string pending;   // the line begun in an earlier chunk
    bool skipping = false; // the pending line passed the bound: drop it up to its line feed
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        if (chunk && !chunk(done, total)) {
            read.cancelled = true;
            break;
        }
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            read.error = std::strerror(errno);
            break;
        }
        if (n == 0)
            break;
        done += static_cast<std::uint64_t>(n);
        std::string_view rest(buffer.data(), static_cast<std::size_t>(n));
        for (std::size_t end; (end = rest.find('\n')) != std::string_view::npos;
             rest.remove_prefix(end + 1)) {
            if (skipping) {
                // counted when it passed the bound
            } else if (pending.size() + end > maxLine) {
                ++read.overlong;
            } else if (pending.empty()) {
                line(rest.substr(0, end));
            } else {
                pending.append(rest.substr(0, end));
                line(pending);
            }
            pending.clear();
            skipping = false;
        }
        if (skipping)
            continue;
        if (pending.size() + rest.size() > maxLine) {
            pending.clear();
            skipping = true;
            ++read.overlong;
        } else {
            pending.append(rest);
        }
    }
    if (!pending.empty() && !read.cancelled)
        line(pending);
    ::close(fd);
    return read;
}

JournalRead readJournal(const std::string& path) {
    JournalRead read;
    // A journal line is well under 1 KiB; a longer one is damage.
    const LinesRead lines = readLines(path, 4096, [&](std::string_view text) {
        const std::string line(text);
        if (line.empty() || line == "\r")
            return;
        // The delimiter is the character after the time stamp's 19
        // characters: a comma, a tab or a space.
        const char delimiter = line.size() > 19 ? line[19] : ',';
        std::vector<std::string> f = splitDelimited(line, delimiter);
        if (delimiter == ' ' && f.size() >= 2) { // date and time are two tokens
            f[0] += ' ' + f[1];
            f.erase(f.begin() + 1);
        }
        JournalEntry e;
        if (f.size() != 7 || !parseStamp(f[0], e.time) || !parseNumber(f[1], e.address) ||
            e.address < 0 || e.address > 247 || !eventFromText(f[3], e.event) ||
            !parseNumber(f[5], e.value)) {
            ++read.skipped;
            return;
        }
        e.name = f[2];
        e.subject = f[4];
        e.unit = f[6];
        read.entries.push_back(std::move(e));
    });
    read.opened = lines.opened;
    read.error = lines.error;
    read.skipped += lines.overlong;
    return read;
}

bool JournalWriter::append(const std::string& path, char delimiter,
                           const std::vector<JournalEntry>& entries) {
    for (const JournalEntry& e : entries) {
        if (m_waiting.size() >= kMaxWaiting) {
            m_waiting.pop_front();
            ++m_dropped;
        }
        m_waiting.push_back(e);
    }
    if (m_waiting.empty())
        return true;
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) {
        m_lastError = errno == ENXIO ? "not a regular file" : std::strerror(errno);
        return false;
    }
    struct stat st {};
    std::FILE* f = nullptr;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (f = ::fdopen(fd, "a")) == nullptr) {
        m_lastError = S_ISREG(st.st_mode) ? std::strerror(errno) : "not a regular file";
        ::close(fd);
        return false;
    }
    bool ok = true;
    while (!m_waiting.empty()) {
        const std::string line = journalLine(m_waiting.front(), delimiter);
        if (std::fwrite(line.data(), 1, line.size(), f) != line.size() || std::fflush(f) != 0) {
            m_lastError = std::strerror(errno);
            ok = false;
            break;
        }
        m_waiting.pop_front();
    }
    if (std::fclose(f) != 0 && ok) {
        m_lastError = std::strerror(errno);
        ok = false;
    }
    if (ok)
        m_lastError.clear();
    return ok;
}

} // namespace tarvo
