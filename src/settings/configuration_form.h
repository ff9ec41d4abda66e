#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace tarvo {

struct Settings;

/// "The <what> may not contain control characters" when `text` holds one.
std::optional<std::string> refuseControlCharacters(std::string_view what, std::string_view text);

/// The values of the "Configuration" form: the location and the logging
/// interval, which reach Settings only on OK, the scan depth steps, and what
/// Cancel puts back. The dialog binds its fields to these values.
///
/// The location is kept as the bytes Settings holds, whatever their
/// encoding: a location the operator did not edit goes back exactly as it
/// came, even when it is longer than a new one may be typed or is not UTF-8.
class ConfigurationForm {
public:
    /// The logging intervals offered, in minutes; all divide the hour.
    static constexpr std::array<int, 12> kIntervals = {1, 2, 3, 4, 5, 6, 10, 12, 15, 20, 30, 60};
    static constexpr int kMaxScanDepth = 247;
    /// What the operator may type as a location, in characters. The
    /// settings keep 63 bytes, which a typed text must fit as well: 32
    /// characters of UTF-8 can take up to 128.
    static constexpr std::size_t kLocationLength = 32;

    /// The port, speed and parity buttons checked at opening, each an index
    /// in the form's order (COM1 to COM4; 2400, 4800, 9600, 19.2K; None,
    /// Even, Odd), -1 where the setting matches no button exactly.
    struct CheckedButtons {
        int port = -1;
        int speed = -1;
        int parity = -1;
        bool operator==(const CheckedButtons&) const = default;
    };
    static CheckedButtons checkedButtons(const Settings& settings);
    /// What the buttons stand for: "COM1:" to "COM4:", speed and parity codes.
    static std::string portButtonName(int button);
    static int speedCode(int button);
    static int parityCode(int button);

    /// Opening: the Cancel snapshot of Settings, the interval
    /// entry nearest to Settings' interval, and the location.
    explicit ConfigurationForm(const Settings& settings);

    /// Index of the interval list entry nearest to `minutes`: below 1.5 the
    /// first, from 45 on the last, a value on a midpoint the longer one.
    static int nearestIntervalIndex(double minutes);

    /// The interval field's text: what was typed and taken, until an arrow
    /// or leaving the field picks an entry; else "%d min" of the chosen
    /// entry. The minutes are always the chosen entry's.
    std::string intervalText() const;
    int intervalMinutes() const { return kIntervals[static_cast<std::size_t>(m_intervalIndex)]; }
    int intervalIndex() const { return m_intervalIndex; }

    /// An arrow click: one entry longer (+1) or shorter (-1), wrapping
    /// around the 12 entries.
    void stepInterval(int step);

    /// The interval field was left: a leading decimal number (fractions
    /// allowed) picks the nearest entry; other text keeps the entry.
    void leaveInterval(std::string_view text);

    /// The interval field's text taken as it stands (a click on another
    /// control): typed text stays in the field, and counts only when the
    /// field is left.
    void takeInterval(std::string_view fieldText);

    /// One arrow click on the scan depth: +1 or -1, and below 1 it becomes
    /// 247, above 247 it becomes 1. Any int from the file steps without
    /// overflow: 2147483647 goes up to 1.
    static int stepScanDepth(int depth, int step);
    static std::string scanDepthText(int depth);

    /// The location as the field shows it, in UTF-8: the stored bytes when
    /// they are UTF-8, else read as Latin-1.
    std::string locationText() const;
    /// The location field's text (UTF-8) taken into the form: the same text
    /// as shown keeps the stored bytes; anything else is a new location.
    void takeLocation(std::string_view fieldText);
    /// The location's bytes as Settings will hold them.
    const std::string& location() const { return m_location; }

    /// OK's check of the location; the message when it is refused (the
    /// location field then gets the focus).
    std::optional<std::string> checkOk() const;

    /// OK: the location and the interval into Settings.
    void store(Settings& settings) const;

    /// Cancel: the interval, port name, speed, parity, echo, log file path
    /// and location back as they were at opening; not the scan depth.
    void restore(Settings& settings) const;

private:
    int m_intervalIndex = 4;
    std::optional<std::string> m_typedInterval;
    std::string m_location;
    bool m_locationTyped = false;

    int m_savedInterval;
    std::string m_savedPortName;
    int m_savedSpeed;
    int m_savedParity;
    bool m_savedEcho;
    std::string m_savedFile;
    std::string m_savedLocation;
};

} // namespace tarvo
