#include "settings/configuration_form.h"

#include <algorithm>
#include <charconv>

#include "link/link.h"
#include "settings/settings.h"

namespace tarvo {
namespace {

// The decimal number at the start of `text` (blanks and a sign allowed,
// fractions too), read with "." whatever the locale.
std::optional<double> leadingDecimal(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    double value = 0;
    const auto r = std::from_chars(text.data() + i, text.data() + text.size(), value,
                                   std::chars_format::fixed);
    if (r.ec != std::errc())
        return std::nullopt;
    return negative ? -value : value;
}

// Well-formed UTF-8: lead bytes with the right number of continuation bytes,
// no overlong forms, no surrogates, nothing above U+10FFFF.
bool isUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        int more = 0;
        unsigned min = 0;
        unsigned code = 0;
        if (b < 0x80) {
            ++i;
            continue;
        } else if (b >= 0xC2 && b <= 0xDF) {
            more = 1, min = 0x80, code = b & 0x1Fu;
        } else if (b >= 0xE0 && b <= 0xEF) {
            more = 2, min = 0x800, code = b & 0x0Fu;
        } else if (b >= 0xF0 && b <= 0xF4) {
            more = 3, min = 0x10000, code = b & 0x07u;
        } else {
            return false;
        }
        if (i + static_cast<std::size_t>(more) >= text.size())
            return false;
        for (int k = 1; k <= more; ++k) {
            const auto c = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            if ((c & 0xC0u) != 0x80u)
                return false;
            code = (code << 6) | (c & 0x3Fu);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += static_cast<std::size_t>(more) + 1;
    }
    return true;
}

constexpr std::array<int, 4> kSpeedCodes = {Link::kSpeed2400, Link::kSpeed4800, Link::kSpeed9600,
                                            Link::kSpeed19200};
constexpr std::array<int, 3> kParityCodes = {Link::kParityNone, Link::kParityEven,
                                             Link::kParityOdd};

template <std::size_t N>
int indexOf(const std::array<int, N>& codes, int code) {
    const auto found = std::ranges::find(codes, code);
    return found == codes.end() ? -1 : static_cast<int>(found - codes.begin());
}

std::string latin1ToUtf8(std::string_view text) {
    std::string out;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

} // namespace

std::optional<std::string> refuseControlCharacters(std::string_view what, std::string_view text) {
    if (!hasControlCharacter(text))
        return std::nullopt;
    return "The " + std::string(what) + " may not contain control characters";
}

ConfigurationForm::ConfigurationForm(const Settings& settings)
    : m_intervalIndex(nearestIntervalIndex(settings.interval)), m_location(settings.location),
      m_savedInterval(settings.interval), m_savedPortName(settings.portName),
      m_savedSpeed(settings.speedCode), m_savedParity(settings.parityCode),
      m_savedEcho(settings.adapterEchoes), m_savedFile(settings.saveFile),
      m_savedLocation(settings.location) {}

ConfigurationForm::CheckedButtons ConfigurationForm::checkedButtons(const Settings& settings) {
    CheckedButtons checked{-1, indexOf(kSpeedCodes, settings.speedCode),
                           indexOf(kParityCodes, settings.parityCode)};
    // The name must match exactly: "COM1" and "com1:" are other names.
    for (int button = 0; button < 4; ++button)
        if (settings.portName == portButtonName(button))
            checked.port = button;
    return checked;
}

std::string ConfigurationForm::portButtonName(int button) {
    return "COM" + std::to_string(button + 1) + ":";
}

int ConfigurationForm::speedCode(int button) {
    return kSpeedCodes.at(static_cast<std::size_t>(button));
}

int ConfigurationForm::parityCode(int button) {
    return kParityCodes.at(static_cast<std::size_t>(button));
}

int ConfigurationForm::nearestIntervalIndex(double minutes) {
    const int last = static_cast<int>(kIntervals.size()) - 1;
    for (int i = 0; i < last; ++i) {
        const double midpoint = (kIntervals[static_cast<std::size_t>(i)] +
                                 kIntervals[static_cast<std::size_t>(i + 1)]) /
                                2.0;
        if (minutes < midpoint)
            return i;
    }
    return last;
}

std::string ConfigurationForm::intervalText() const {
    return m_typedInterval.value_or(std::to_string(intervalMinutes()) + " min");
}

void ConfigurationForm::stepInterval(int step) {
    const int n = static_cast<int>(kIntervals.size());
    m_intervalIndex = ((m_intervalIndex + step) % n + n) % n;
    m_typedInterval.reset();
}

void ConfigurationForm::leaveInterval(std::string_view text) {
    if (const std::optional<double> minutes = leadingDecimal(text))
        m_intervalIndex = nearestIntervalIndex(*minutes);
    m_typedInterval.reset();
}

void ConfigurationForm::takeInterval(std::string_view fieldText) {
    m_typedInterval.reset();
    if (fieldText != intervalText())
        m_typedInterval = std::string(fieldText);
}

int ConfigurationForm::stepScanDepth(int depth, int step) {
    // Compared before adding: the file may hold any int, and 2147483647 + 1
    // would overflow.
    if (step > 0) {
        if (depth < 0) // depth + 1 is below 1
            return kMaxScanDepth;
        return depth >= kMaxScanDepth ? 1 : depth + 1;
    }
    if (depth > kMaxScanDepth + 1) // depth - 1 is above 247
        return 1;
    return depth <= 1 ? kMaxScanDepth : depth - 1;
}

std::string ConfigurationForm::scanDepthText(int depth) {
    return std::to_string(depth) + " devices";
}

std::string ConfigurationForm::locationText() const {
    return isUtf8(m_location) ? m_location : latin1ToUtf8(m_location);
}

void ConfigurationForm::takeLocation(std::string_view fieldText) {
    if (fieldText == locationText())
        return;
    m_location = std::string(fieldText);
    m_locationTyped = true;
}

std::optional<std::string> ConfigurationForm::checkOk() const {
    if (m_location.find_first_of("'\"") != std::string::npos)
        return "The Location name may not contain quote characters";
    if (auto refusal = refuseControlCharacters("Location name", m_location))
        return refusal;
    if (!m_locationTyped)
        return std::nullopt;
    // Characters of UTF-8 are the bytes that do not continue one.
    const auto characters = std::ranges::count_if(
        m_location, [](char c) { return (static_cast<unsigned char>(c) & 0xC0u) != 0x80u; });
    if (static_cast<std::size_t>(characters) > kLocationLength)
        return "Please enter no more than " + std::to_string(kLocationLength) + " characters.";
    if (m_location.size() > Settings::kLocationCapacity)
        return "The Location name is too long to be stored: at most " +
               std::to_string(Settings::kLocationCapacity) + " bytes.";
    return std::nullopt;
}

void ConfigurationForm::store(Settings& settings) const {
    settings.location = m_location;
    settings.interval = intervalMinutes();
}

void ConfigurationForm::restore(Settings& settings) const {
    settings.interval = m_savedInterval;
    settings.portName = m_savedPortName;
    settings.adapterEchoes = m_savedEcho;
    settings.speedCode = m_savedSpeed;
    settings.parityCode = m_savedParity;
    settings.saveFile = m_savedFile;
    settings.location = m_savedLocation;
}

} // namespace tarvo
