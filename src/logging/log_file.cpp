#include "logging/log_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <ctime>

#include "devices/device_kind.h"
#include "devices/register_map.h"
#include "logging/sample_queue.h"
#include "settings/settings.h"

namespace tarvo {

namespace {

// "%.3f" of the float widened to double, with "." whatever the locale.
void appendValue(std::string& row, char delimiter, float value) {
    row += delimiter;
    row += fixedText(static_cast<double>(value), 3);
}

void appendStamp(std::string& row, std::time_t time, char delimiter, int address) {
    row += logTimeStamp(time);
    row += delimiter;
    char digits[16];
    const auto r = std::to_chars(digits, digits + sizeof digits, address);
    row.append(digits, r.ptr);
}

// Writes all of `row`; on failure cuts off whatever part reached the file,
// so the file never ends in half a row.
bool writeRow(int fd, const std::string& row) {
    struct stat before {};
    const bool sized = ::fstat(fd, &before) == 0;
    std::size_t done = 0;
    while (done < row.size()) {
        const ssize_t n = ::write(fd, row.data() + done, row.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int cause = n == 0 ? ENOSPC : errno;
            if (done > 0 && sized) {
                // Best effort: if even this fails the half row stays, but the
                // record is still kept and written whole next time.
                [[maybe_unused]] const int rc = ::ftruncate(fd, before.st_size);
            }
            errno = cause;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

std::string logTimeStamp(std::time_t time) {
    std::tm local{};
    char stamp[32] = "";
    if (localtime_r(&time, &local) != nullptr)
        std::strftime(stamp, sizeof stamp, "%m/%d/%Y %H:%M:%S", &local);
    return stamp;
}

char logDelimiter(int format) {
    switch (format) {
    case TabText:
        return '\t';
    case SpaceText:
        return ' ';
    default:
        return ',';
    }
}

std::string logRow(const LogSample& sample, char delimiter) {
    std::string row;
    if (isBranchMonitor(sample.kind)) {
        row.reserve(32 + 42 * 10);
        appendStamp(row, sample.time, delimiter, sample.address);
        for (float current : sample.currents)
            appendValue(row, delimiter, current);
    } else if (isCircuitMeter(sample.kind)) {
        row.reserve(32 + 28 * 16);
        appendStamp(row, sample.time, delimiter, sample.address);
        for (std::size_t j = 0; j < sample.meterValues.size(); ++j) {
            // A CircuitMeter8 has no use for value 25 (registers 306/307).
            if (sample.kind == CircuitMeter8 && j == 24)
                continue;
            appendValue(row, delimiter, sample.meterValues[j]);
        }
    } else {
        return row;
    }
    row += '\n';
    return row;
}

LogFileResult WriteLogFile(const Settings& settings, SampleQueue& fileQueue) {
    LogFileResult result;
    if (!settings.fileLoggingActive || settings.saveFile.empty() || fileQueue.empty())
        return result;
    const int fd = ::open(settings.saveFile.c_str(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) {
        result.error = errno;
        // A folder fails with EISDIR, a FIFO nobody reads with ENXIO.
        result.notRegularFile = errno == EISDIR || errno == ENXIO;
        return result;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        result.notRegularFile = true;
        ::close(fd);
        return result;
    }
    result.opened = true;

    const char delimiter = logDelimiter(settings.format);
    while (!fileQueue.empty()) {
        const std::string row = logRow(*fileQueue.front(), delimiter);
        if (!row.empty() && !writeRow(fd, row)) {
            result.writeFailed = true;
            result.error = errno;
            break;
        }
        fileQueue.popFront();
        ++result.written;
    }
    ::close(fd);
    return result;
}

void ignoreFileSizeSignal() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, nullptr);
}

} // namespace tarvo
