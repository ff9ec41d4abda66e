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

/// What Settings::load could not take from the file, for the one message the
/// operator sees at start-up.
struct SettingsLoadReport {
    /// The file as load was given it; the messages name it so.
    std::string file;
    /// Why the file was not read at all, after "it": "is not a regular
    /// file" (a folder, a FIFO, a device), "is larger than 4 MB", "is not
    /// readable (Permission denied)"; empty when it was read or does not
    /// exist.
    std::string fileProblem;
    /// One entry per line not read, e.g. "line 7 (save_file): longer than
    /// 1023 characters" or "line 9 (colour): unknown key"; the field keeps
    /// the value it had, and Save writes the line back as it was.
    std::vector<std::string> refusedLines;
    /// One entry per `speed` or `parity` line whose code is none of the
    /// codes, e.g. "line 5 (speed): 19200 is not a speed code; 9600 baud is
    /// used (...)". The code is kept, and the port opens as it says.
    std::vector<std::string> unknownCodes;
    /// A `port` line was read, so the port is to be opened at the first
    /// timer tick.
    bool portRead = false;

    /// The message for the operator at start-up, or an empty text when all
    /// went well. A file not read is followed by "The program starts with
    /// default settings.", as the window does; the headless logger says
    /// fileProblem its own way, since it stops instead.
    std::string message() const;
};

/// True when `text` holds a byte below 32 other than a tab, or 127 (line
/// feed, carriage return, ...). No value stored in "Tarvo.cfg" may hold one:
/// a line feed would start a line of its own when the file is read again. A
/// tab breaks no line (a password may hold one) and is taken as it is.
bool hasControlCharacter(std::string_view text);

/// The persisted configuration, kept in "Tarvo.cfg" as lines of key, blank,
/// value.
///
/// Text fields hold at most the capacity below (bytes, as read and written),
/// the size the rest of the program (dialog limits, SQL statements, the log
/// file path) was made for. Save cuts a longer value at the capacity; load
/// refuses a line whose value does not fit rather than cut it, since a cut
/// log file path would send the rows to a file nobody chose.
struct Settings {
    static constexpr std::string_view kFileName = "Tarvo.cfg";

    static constexpr std::size_t kLocationCapacity = 63;
    /// A stable adapter name such as /dev/serial/by-id/usb-FTDI_FT232R_USB_
    /// UART_A50285BI-if00-port0 runs to 50 to 80 bytes; 255 is the longest
    /// file name Linux allows in one folder.
    static constexpr std::size_t kPortNameCapacity = 255;
    static constexpr std::size_t kSaveFileCapacity = 1023;
    static constexpr std::size_t kDsnCapacity = 255;
    static constexpr std::size_t kTableCapacity = 255;
    static constexpr std::size_t kUserCapacity = 127;
    static constexpr std::size_t kPasswdCapacity = 127;
    static constexpr std::size_t kColumnNameCapacity = 255;

    /// A settings file holds a few hundred bytes, a few kilobytes with many
    /// links; a larger file is not a settings file and is not read.
    static constexpr std::size_t kMaxFileSize = 4 << 20; // 4 MB

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
    /// `echo`: the adapter sends back a copy of every request before the
    /// reply (a full-duplex wiring or an adapter whose receiver stays on
    /// while it transmits); the master discards that copy. "echo 1" is
    /// written only when on.
    bool adapterEchoes = false;
    /// `reply_timeout`: milliseconds a gateway (rtu+tcp://, modbus+tcp://)
    /// is given to answer, plus 1 ms per requested byte, and to accept the
    /// connection. 800 as on the serial line; a slow gateway may need more.
    /// Written only when it differs from 800.
    int replyTimeout = 800;
    /// `quick_scan_ms`: how long the quick scan waits for a reply's first
    /// byte at each address, 10 to 800. A device answers a Report Slave ID
    /// within a few milliseconds; 50 leaves room for a slow one and asks 247
    /// empty addresses in about 15 s at 9600 baud. Written only when it
    /// differs from 50; a value out of range refuses its line.
    static constexpr int kQuickScanDefault = 50;
    static constexpr int kQuickScanMin = 10;
    static constexpr int kQuickScanMax = 800;
    int quickScanMs = kQuickScanDefault;
    /// `watch`: the alarms and status of every listed device are read in
    /// the spare time of each second (PanelWatch). "watch 1" is written
    /// only when on.
    bool watch = false;
    /// `alarm_command`: the program run once per journal event (AlarmHook);
    /// empty for none. Written only when set.
    std::string alarmCommand;

    /// MQTT: the broker readings, alarms and status go to. Each line is
    /// written only when set, so a file without MQTT stays as it was.
    static constexpr std::size_t kMqttServerCapacity = 255;
    static constexpr std::size_t kMqttPrefixCapacity = 127;
    std::string mqttServer;     ///< `mqtt`, HOST[:PORT]; empty means no MQTT
    bool mqttTls = false;       ///< `mqtt_tls 1`: TLS with the system's CA store
    std::string mqttCa;         ///< `mqtt_ca`, a CA file used instead of the store
    std::string mqttUser;       ///< `mqtt_user`
    std::string mqttPassword;   ///< `mqtt_password`, kept in clear like `passwd`
    std::string mqttPrefix;     ///< `mqtt_prefix`; empty means "tarvo"
    bool mqttDiscovery = false; ///< `mqtt_discovery 1`: Home Assistant discovery
    /// The topic prefix used: mqttPrefix, or "tarvo" when it is empty.
    std::string mqttTopicPrefix() const { return mqttPrefix.empty() ? "tarvo" : mqttPrefix; }

    /// Lines load did not take (refused, or of a key this version does not
    /// know), as they were; save writes them back after the settings, so a
    /// hand edit to mend or a newer version's setting is not lost.
    std::vector<std::string> keptLines;

    /// Run-time states derived while reading; not written to the file.
    bool fileLoggingActive = false;
    DatabaseLogState databaseLogState = Off;

    /// Reads `file` into this record. A missing file changes nothing and
    /// reports nothing. Anything but a regular file of at most kMaxFileSize
    /// bytes (a FIFO, a device, a directory) is not read and changes nothing;
    /// the report says why. The file is opened without blocking, so a FIFO
    /// cannot stall the start.
    ///
    /// Each line is read whole. Malformed lines are skipped one by one; a
    /// text value longer than its field's capacity, or holding a control
    /// character, refuses its line as a whole; a line of no known key is not
    /// read either. The report names each such line, and keptLines keeps it.
    /// A `speed` or `parity` code that is none of the codes is taken and
    /// named in the report. One trailing line feed and every carriage return
    /// before it end a line. At the end the database settings are kept only
    /// when `dsn`, `table` and a `link` were all read, or when a line of
    /// them was refused (logging then stays off). The report's portRead says
    /// whether a `port` line was read: the caller then asks for the port to
    /// be opened at the next timer tick.
    SettingsLoadReport load(const std::filesystem::path& file);

    /// The file text as save writes it, with the location and interval the
    /// Configuration dialog shows, and the kept lines at its end (as many as
    /// keep it within kMaxFileSize).
    std::string fileText(std::string_view location, int interval) const;

    /// Writes the file text to `file` and tells the operator the outcome.
    /// A value holding a control character is refused with a message naming
    /// its key, and nothing is written.
    ///
    /// When `file` is a symbolic link the text goes to the file it names.
    /// The text goes to a temporary file beside that file (readable by its
    /// owner only, since it holds the password), which then replaces it, so
    /// the previous settings survive a failure or a crash mid-write (see
    /// replaceFileText for the temporary's name and which leftovers of a
    /// killed save are removed). When the folder takes no new file but the
    /// file itself is writable, the file is rewritten in place instead (not
    /// proof against a crash mid-write). On failure shows "Couldn't write file \"Tarvo.cfg\"" and
    /// leaves the file as it was. Returns whether the file was written.
    bool save(const std::filesystem::path& file, std::string_view location, int interval,
              Operator& op) const;

    /// Empties dsn, table, user and passwd, zeroes kludge_flags and the links.
    void clearDatabaseSettings();
};

} // namespace tarvo
