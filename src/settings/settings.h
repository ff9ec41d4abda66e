#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "link/link.h"

namespace tarvo {

class Operator;

/// Delimiter of the log file.
enum LogFormat : int {
    Csv = 1,
    TabText = 2,
    SpaceText = 3,
};

/// Whether samples are inserted into the database.
enum DatabaseLogState : int {
    Off = 0,
    SetupOpen = 1, ///< the "Save-to-Database Setup" dialog is open
    Active = 2,
};

/// One logged variable mapped to one table column.
struct ColumnLink {
    int variableIndex = 0;
    std::int16_t sqlType = 0; ///< as the data source reported it; -1 is LONGVARCHAR
    std::string columnName;
    bool operator==(const ColumnLink&) const = default;
};

/// The persisted configuration, kept in "Tarvo.cfg" as lines of key, blank,
/// value.
///
/// Text fields hold at most the capacity below (bytes, as read and written).
/// A longer value, from a hand-edited file or a dialog, is cut at the
/// capacity, so every field keeps the size the rest of the program (dialog
/// limits, SQL statements, the log file path) was made for.
struct Settings {
    static constexpr std::string_view kFileName = "Tarvo.cfg";

    static constexpr std::size_t kLocationCapacity = 63;
    static constexpr std::size_t kPortNameCapacity = 31;
    static constexpr std::size_t kSaveFileCapacity = 1023;
    static constexpr std::size_t kDsnCapacity = 255;
    static constexpr std::size_t kTableCapacity = 255;
    static constexpr std::size_t kUserCapacity = 127;
    static constexpr std::size_t kPasswdCapacity = 127;
    static constexpr std::size_t kColumnNameCapacity = 255;

    /// Reads of a line stop after this many characters; the rest of a longer
    /// line is read as further lines.
    static constexpr std::size_t kLinePiece = 511;

    std::string location = "Here"; ///< `location`
    int interval = 5;              ///< `interval`, minutes between samples
    int scan = 247;                ///< `scan`, highest address scanned
    std::string saveFile;          ///< `save_file`, the log file path
    int format = Csv;              ///< `format`, a LogFormat
    std::string dsn;               ///< `dsn`
    std::string table;             ///< `table`
    std::string user;              ///< `user`
    std::string passwd;            ///< `passwd`, kept in clear
    int kludgeFlags = 0;           ///< `kludge_flags`; 5 asks for bracket quoting
    std::vector<ColumnLink> links; ///< `link`, in file order

    /// `port`, `speed` and `parity`: the port opened at start and by the
    /// Configuration dialog (a successful open stores the name it opened)
    /// and its line settings.
    std::string portName;
    int speedCode = Link::kSpeed9600;
    int parityCode = Link::kParityNone;

    /// Run-time states derived while reading; not written to the file.
    bool fileLoggingActive = false;
    DatabaseLogState databaseLogState = Off;

    /// Reads `file` into this record. A missing or unreadable file changes
    /// nothing. Malformed lines are skipped one by one. At the end the
    /// database settings are kept only when `dsn`, `table` and a `link` were
    /// all read. Returns whether a `port` line was read: the caller then asks
    /// for the port to be opened at the next timer tick.
    bool load(const std::filesystem::path& file);

    /// The file text as save writes it, with the location and interval the
    /// Configuration dialog shows.
    std::string fileText(std::string_view location, int interval) const;

    /// Writes the file text to `file` and tells the operator the outcome.
    /// The text goes to a temporary file beside `file` (readable by its owner
    /// only, since it holds the password), which then replaces `file`, so
    /// the previous settings survive a failure or a crash mid-write. On
    /// failure shows "Couldn't write file \"Tarvo.cfg\"" and leaves `file`
    /// as it was. Returns whether the file was written.
    bool save(const std::filesystem::path& file, std::string_view location, int interval,
              Operator& op) const;

    /// Empties dsn, table, user and passwd, zeroes kludge_flags and the links.
    void clearDatabaseSettings();
};

} // namespace tarvo
