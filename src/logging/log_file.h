#pragma once

#include <cstddef>
#include <ctime>
#include <string>

namespace tarvo {

struct LogSample;
class SampleQueue;
struct Settings;

/// The delimiter of the log file for a `format` value: tab for 2, space for
/// 3, a comma for anything else.
char logDelimiter(int format);

/// A time as the log file stamps its rows: "%m/%d/%Y %H:%M:%S", local time
/// (for example 07/04/2026 14:05:09).
std::string logTimeStamp(std::time_t time);

/// The row a record adds to the log file, line feed included: time stamp
/// ("%m/%d/%Y %H:%M:%S", local time), the address, then the values with
/// "%.3f" and "." as the decimal point whatever the locale. Branch monitors
/// give 44 fields (42 currents); a CircuitMeter6 30 (28 values); a
/// CircuitMeter8 29 (value 25 is not written). Any other kind, NoDevice
/// included, gives an empty text.
std::string logRow(const LogSample& sample, char delimiter);

/// What one WriteLogFile call did.
struct LogFileResult {
    std::size_t written = 0;  ///< records taken from the queue (rows written or nothing to write)
    bool opened = false;      ///< the file was opened
    bool writeFailed = false; ///< a row could not be written whole; it and the rest stay queued
    bool notRegularFile = false; ///< the name is a FIFO, device or folder: refused, nothing written
    int error = 0;               ///< errno of a failed open or write
};

/// Empties the file queue into the log file, oldest record first. Does
/// nothing unless file logging is on, a file is set and the queue holds
/// records.
///
/// The file is opened for appending (created if missing) and closed again
/// in every call, so other programs may read or move it between passes. A
/// file that cannot be opened leaves the queue as it is: the next call that
/// can open it writes the waiting rows, oldest first.
///
/// The open never blocks: a FIFO named as the log file would otherwise hold
/// the call (and a logger's stop) until some reader opened it. Anything but
/// a regular file (FIFO, device, folder) is refused as if it could not be
/// opened, with `notRegularFile` set.
///
/// Each row goes to the file in one write and its record leaves the queue
/// only when the whole row is written. When a write falls short (disk full,
/// file size limit), the part of the row that reached the file is cut off
/// again, the record and all later ones stay queued, and the call stops:
/// a full disk neither loses a row nor leaves a half row to be followed by
/// the full one. Nothing is shown to the operator; the queue's bound and its
/// drop count report a writer that stays stuck.
LogFileResult WriteLogFile(const Settings& settings, SampleQueue& fileQueue);

/// Called once at program start. A write past the file size limit (ulimit
/// -f) raises SIGXFSZ, which by default ends the process with half a row in
/// the log file and every queued record lost; ignored, the write fails with
/// EFBIG and WriteLogFile treats it like a full disk.
void ignoreFileSizeSignal();

} // namespace tarvo
