#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tarvo {

/// The three row shapes of the log file, by the number of values after the
/// address.
enum class LogRowShape : int {
    Branch = 42,   ///< a branch monitor's 42 breaker currents (44 fields)
    Circuit6 = 28, ///< a CircuitMeter6's 28 meter values (30 fields)
    Circuit8 = 27, ///< a CircuitMeter8's values 1-24 and 26-28 (29 fields)
};

/// Names of the values of a row shape: "Breaker 1" to "Breaker 42", or
/// "Value 1" to "Value 28" (a CircuitMeter8 has no "Value 25").
std::vector<std::string> logValueNames(LogRowShape shape);

/// Every row of one device in a log file, oldest first as the file holds
/// them: times and, row by row, the values.
struct LogDevice {
    int address = 0;
    LogRowShape shape = LogRowShape::Branch;
    std::vector<std::time_t> times;
    std::vector<float> values; ///< rows × valueCount(), row-major

    int valueCount() const { return static_cast<int>(shape); }
    std::size_t rows() const { return times.size(); }
    float value(std::size_t row, int index) const {
        return values[row * static_cast<std::size_t>(valueCount()) +
                      static_cast<std::size_t>(index)];
    }
};

/// What reading a log file found.
struct LogContents {
    std::map<int, LogDevice> devices; ///< by address
    std::size_t rows = 0;             ///< rows read
    std::size_t skipped = 0;          ///< lines that are no log row, counted and left out
    /// Rows of an address that first wrote another shape (a device swapped
    /// at the address): skipped with the others, counted here too.
    std::size_t shapeChanges = 0;
    bool opened = false;
    bool cancelled = false;
    std::string error; ///< why the file could not be read
};

/// Parses one line of a log file written with any delimiter: comma, tab or
/// space (where the time stamp's own blank makes date and time two tokens).
/// False for a line that is not a whole row of one of the three shapes:
/// a bad time stamp, an address outside 1 to 247, a value that is no
/// number, too few or too many fields.
bool parseLogRow(const std::string& line, std::time_t& time, int& address,
                 std::vector<float>& values);

/// Reads a log file: a regular file only, opened without blocking; a line
/// longer than 4 KiB counts as skipped. `progress` (when given) gets the
/// fraction read after every 64 KiB; setting `cancel` stops the read within
/// the next 64 KiB with what was read so far. Safe to run on a worker thread: it touches nothing
/// shared but `cancel`.
LogContents readLogFile(const std::string& path, const std::atomic<bool>* cancel = nullptr,
                        const std::function<void(double)>& progress = {});

} // namespace tarvo
