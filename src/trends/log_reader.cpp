#include "trends/log_reader.h"

#include <charconv>
#include <string_view>

#include "session/journal_file.h"

namespace tarvo {
namespace {

// Splits on one delimiter; the space delimiter also takes runs of blanks.
void split(std::string_view line, char delimiter, std::vector<std::string_view>& out) {
    out.clear();
    std::size_t start = 0;
    for (std::size_t i = 0; i <= line.size(); ++i) {
        if (i < line.size() && line[i] != delimiter)
            continue;
        if (delimiter != ' ' || i > start)
            out.push_back(line.substr(start, i - start));
        start = i + 1;
    }
}

bool shapeOf(std::size_t values, LogRowShape& shape) {
    switch (values) {
    case 42:
        shape = LogRowShape::Branch;
        return true;
    case 28:
        shape = LogRowShape::Circuit6;
        return true;
    case 27:
        shape = LogRowShape::Circuit8;
        return true;
    default:
        return false;
    }
}

} // namespace

std::vector<std::string> logValueNames(LogRowShape shape) {
    std::vector<std::string> names;
    if (shape == LogRowShape::Branch) {
        for (int i = 1; i <= 42; ++i)
            names.push_back("Breaker " + std::to_string(i));
        return names;
    }
    for (int i = 1; i <= 28; ++i)
        if (i != 25 || shape == LogRowShape::Circuit6)
            names.push_back("Value " + std::to_string(i));
    return names;
}

bool parseLogRow(const std::string& text, std::time_t& time, int& address,
                 std::vector<float>& values) {
    std::string_view line(text);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.remove_suffix(1);
    // The delimiter follows the 19-character time stamp.
    if (line.size() < 21)
        return false;
    const char delimiter = line[19];
    if (delimiter != ',' && delimiter != '\t' && delimiter != ' ')
        return false;
    std::time_t t;
    if (!parseStamp(std::string(line.substr(0, 19)), t))
        return false;
    thread_local std::vector<std::string_view> fields;
    split(line.substr(20), delimiter, fields);
    if (fields.size() < 2)
        return false;
    int a = 0;
    const std::string_view addr = fields[0];
    const auto ar = std::from_chars(addr.data(), addr.data() + addr.size(), a);
    if (ar.ec != std::errc{} || ar.ptr != addr.data() + addr.size() || a < 1 || a > 247)
        return false;
    LogRowShape shape;
    if (!shapeOf(fields.size() - 1, shape))
        return false;
    values.resize(fields.size() - 1);
    for (std::size_t i = 1; i < fields.size(); ++i) {
        const std::string_view f = fields[i];
        const auto r = std::from_chars(f.data(), f.data() + f.size(), values[i - 1]);
        if (r.ec != std::errc{} || r.ptr != f.data() + f.size())
            return false;
    }
    time = t;
    address = a;
    return true;
}

LogContents readLogFile(const std::string& path, const std::atomic<bool>* cancel,
                        const std::function<void(double)>& progress) {
    LogContents c;
    std::string line;
    std::vector<float> values;
    // A branch row is some 300 bytes; 4 KiB leaves room for any delimiter
    // and number width, and bounds what a file without line feeds costs.
    const LinesRead read = readLines(
        path, 4096,
        [&](std::string_view text) {
            line.assign(text);
            std::time_t time;
            int address;
            if (line.find_first_not_of(" \t\r\n") == std::string::npos)
                return; // blank lines are no damage
            if (!parseLogRow(line, time, address, values)) {
                ++c.skipped;
                return;
            }
            LogRowShape shape = LogRowShape::Branch;
            shapeOf(values.size(), shape);
            auto [it, fresh] = c.devices.try_emplace(address);
            LogDevice& d = it->second;
            if (fresh) {
                d.address = address;
                d.shape = shape;
            } else if (d.shape != shape) {
                ++c.skipped;
                ++c.shapeChanges;
                return;
            }
            d.times.push_back(time);
            d.values.insert(d.values.end(), values.begin(), values.end());
            ++c.rows;
        },
        // Asked after every chunk read, not every so many lines: a file of
        // few, long lines stops as soon as one that is short.
        [&](std::uint64_t done, std::uint64_t total) {
            if (cancel && cancel->load(std::memory_order_relaxed))
                return false;
            if (progress && total > 0)
                progress(static_cast<double>(done) / static_cast<double>(total));
            return true;
        });
    c.opened = read.opened;
    c.cancelled = read.cancelled;
    c.error = read.error;
    c.skipped += read.overlong;
    return c;
}

} // namespace tarvo
