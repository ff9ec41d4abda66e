#include "transfer/settings_file.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "config/form_fields.h"
#include "core/file_text.h"

namespace tarvo {
namespace {

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

// A whole decimal integer within [min, max].
bool parseInteger(const std::string& text, long long min, long long max, long long& value) {
    if (text.empty())
        return false;
    std::size_t used = 0;
    try {
        value = std::stoll(text, &used, 10);
    } catch (const std::exception&) {
        return false; // not a number, or beyond long long
    }
    return used == text.size() && value >= min && value <= max;
}

// One line of text: a device's identification may hold any byte.
std::string oneLine(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20)
            c = '?';
    return text;
}

const DeviceKind kKinds[] = {BranchMonitor, BranchMonitor100A, CircuitMeter8, CircuitMeter6};

struct SettingLine {
    int line = 0;
    std::string shown; // value and unit as the line gives them
};

class Parser {
public:
    explicit Parser(DeviceSettings& out) : m_out(out) {}

    std::optional<FileProblem> run(std::string_view text) {
        std::istringstream in{std::string(text)};
        std::string raw;
        while (std::getline(in, raw)) {
            ++m_line;
            const std::string line = trimmed(raw);
            if (auto problem = take(line))
                return FileProblem{m_line, *problem};
        }
        if (m_line == 0)
            return FileProblem{0, "the file is empty"};
        return finish();
    }

private:
    std::optional<std::string> take(const std::string& line) {
        if (m_line == 1) {
            const std::string header(kSettingsFileHeader);
            if (!line.starts_with(header + " "))
                return "not a Tarvo device settings file (it must begin with \"" + header + " " +
                       std::to_string(kSettingsFileVersion) + "\")";
            long long version = 0;
            if (!parseInteger(line.substr(header.size() + 1), 1, 1000000, version) ||
                version != kSettingsFileVersion)
                return "format version " + line.substr(header.size() + 1) +
                       " is not one this program reads (" + std::to_string(kSettingsFileVersion) +
                       ")";
            return std::nullopt;
        }
        if (line.empty() || line.starts_with("#"))
            return std::nullopt;
        if (line.starts_with("[")) {
            if (line != "[device]" && line != "[settings]")
                return "unknown section " + line;
            m_section = line;
            if (line == "[settings]" && m_out.kind == NoDevice)
                return "[settings] before the [device] section names the kind";
            return std::nullopt;
        }
        auto equals = line.find(" = ");
        // An empty value as the writer puts it ("read at = ") lost its blank
        // to the trimming.
        if (equals == std::string::npos && line.ends_with(" ="))
            equals = line.size() - 2;
        if (equals == std::string::npos)
            return "expected \"name = value\"";
        const std::string key = line.substr(0, equals);
        const std::string value = line.substr(std::min(equals + 3, line.size()));
        if (m_section == "[device]")
            return deviceLine(key, value);
        if (m_section == "[settings]")
            return settingLine(key, value);
        return "\"" + key + "\" outside any section";
    }

    std::optional<std::string> deviceLine(const std::string& key, const std::string& value) {
        if (!m_deviceKeys.insert(key).second)
            return key + " is given twice";
        long long number = 0;
        if (key == "kind") {
            for (DeviceKind kind : kKinds)
                if (kindName(kind) == value)
                    m_out.kind = kind;
            if (m_out.kind == NoDevice)
                return "unknown kind \"" + value + "\"";
        } else if (key == "address") {
            if (!parseInteger(value, 1, 247, number))
                return "address must be 1 to 247";
            m_out.address = static_cast<int>(number);
        } else if (key == "identification") {
            m_out.identification = value;
        } else if (key == "serial number") {
            if (!parseInteger(value, INT32_MIN, INT32_MAX, number))
                return "serial number is not a number";
            m_out.serialNumber = static_cast<std::int32_t>(number);
        } else if (key == "firmware") {
            long long minor = 0;
            const auto dot = value.find('.');
            if (dot == std::string::npos || !parseInteger(value.substr(0, dot), 0, 65535, number) ||
                !parseInteger(value.substr(dot + 1), 0, 65535, minor))
                return "firmware must be major.minor";
            m_out.firmwareMajor = static_cast<int>(number);
            m_out.firmwareMinor = static_cast<int>(minor);
        } else if (key == "read at") {
            m_out.readAt = value;
        } else {
            return "unknown key \"" + key + "\" in [device]";
        }
        return std::nullopt;
    }

    std::optional<std::string> settingLine(const std::string& name, const std::string& value) {
        if (m_defs.empty())
            m_defs = settingDefinitions(m_out.kind);
        const SettingDefinition* def = nullptr;
        for (const SettingDefinition& d : m_defs)
            if (d.name == name)
                def = &d;
        if (def == nullptr)
            return "the kind \"" + kindName(m_out.kind) + "\" has no setting \"" + name + "\"";
        if (m_settings.contains(def->reg))
            return name + " is given twice";
        const auto open = value.rfind(" [");
        const auto colon = value.find(':', open == std::string::npos ? 0 : open);
        if (open == std::string::npos || !value.ends_with("]") || colon == std::string::npos)
            return "expected \"value [register: register values]\"";
        long long reg = 0;
        if (!parseInteger(value.substr(open + 2, colon - open - 2), 0, 65535, reg) ||
            reg != def->reg)
            return name + " is register " + std::to_string(def->reg);
        std::istringstream words(value.substr(colon + 1, value.size() - colon - 2));
        const int count = def->format == SettingFormat::Name ? 2 : 1;
        std::string word;
        int n = 0;
        while (words >> word) {
            long long raw = 0;
            if (n >= count || !parseInteger(word, 0, 65535, raw))
                return "expected " + std::to_string(count) +
                       " register value(s) of 0 to 65535 after the colon";
            m_out.registers[def->reg + n++] = static_cast<std::int32_t>(raw);
        }
        if (n != count)
            return "expected " + std::to_string(count) + " register value(s) after the colon";
        m_settings[def->reg] = {m_line, value.substr(0, open)};
        return std::nullopt;
    }

    // Values are checked once every register is known: current limits are
    // shown scaled by the CT size, which may stand on any line.
    std::optional<FileProblem> finish() {
        if (m_out.kind == NoDevice)
            return FileProblem{m_line, "the [device] section names no kind"};
        if (m_out.address == 0)
            return FileProblem{m_line, "the [device] section names no address"};
        if (m_defs.empty())
            m_defs = settingDefinitions(m_out.kind);
        for (const SettingDefinition& def : m_defs) {
            const auto found = m_settings.find(def.reg);
            if (found == m_settings.end())
                return FileProblem{m_line, "setting \"" + def.name + "\" is missing"};
            std::string expected = settingText(def, m_out);
            if (!def.unit.empty())
                expected += " " + def.unit;
            if (found->second.shown != expected)
                return FileProblem{found->second.line, def.name + ": the value " +
                                                           found->second.shown +
                                                           " does not match its register value, "
                                                           "which means " +
                                                           expected};
            if (auto problem = rangeProblem(def, m_out))
                return FileProblem{found->second.line, *problem};
        }
        return std::nullopt;
    }

    DeviceSettings& m_out;
    int m_line = 0;
    std::string m_section;
    std::set<std::string> m_deviceKeys;
    std::vector<SettingDefinition> m_defs;
    std::map<int, SettingLine> m_settings;
};

} // namespace

std::string FileProblem::message(const std::string& path) const {
    if (line == 0)
        return path + ": " + reason;
    return path + ", line " + std::to_string(line) + ": " + reason;
}

std::string formatSettingsFile(const DeviceSettings& settings) {
    char serial[24];
    std::snprintf(serial, sizeof serial, "%08d", static_cast<int>(settings.serialNumber));
    std::string text =
        std::string(kSettingsFileHeader) + " " + std::to_string(kSettingsFileVersion) + "\n" +
        "# name = value unit [register: the register values a restore writes]\n"
        "\n[device]\n"
        "kind = " +
        kindName(settings.kind) + "\naddress = " + std::to_string(settings.address) +
        "\nidentification = " + oneLine(settings.identification) + "\nserial number = " + serial +
        "\nfirmware = " + std::to_string(settings.firmwareMajor) + "." +
        std::to_string(settings.firmwareMinor) + "\nread at = " + settings.readAt +
        "\n\n[settings]\n";
    for (const SettingDefinition& def : settingDefinitions(settings.kind)) {
        text += def.name + " = " + settingText(def, settings);
        if (!def.unit.empty())
            text += " " + def.unit;
        text += " [" + std::to_string(def.reg) + ":";
        const int count = def.format == SettingFormat::Name ? 2 : 1;
        for (int i = 0; i < count; ++i) {
            const auto found = settings.registers.find(def.reg + i);
            text += " " + std::to_string(found == settings.registers.end() ? 0 : found->second);
        }
        text += "]\n";
    }
    return text;
}

std::optional<FileProblem> parseSettingsFile(std::string_view text, DeviceSettings& out) {
    out = DeviceSettings{};
    return Parser(out).run(text);
}

std::optional<FileProblem> readSettingsFile(const std::string& path, DeviceSettings& out) {
    // A settings file is a few kilobytes; anything far larger is not one.
    std::string text;
    switch (const FileTextRead read = readFileText(path, 1'000'000, text); read.outcome) {
    case FileTextRead::Read:
        return parseSettingsFile(text, out);
    case FileTextRead::NotRegular:
        return FileProblem{0, "is not a regular file"};
    case FileTextRead::TooLarge:
        return FileProblem{0, "too large to be a settings file"};
    default:
        return FileProblem{0, std::string("cannot be read: ") + std::strerror(read.error)};
    }
}

std::string writeSettingsFile(const std::string& path, const DeviceSettings& settings) {
    const FileTextWrite written =
        replaceFileText(path, formatSettingsFile(settings), FileAccess::Default);
    if (written.outcome != FileTextWrite::Written)
        return "Cannot write " + path + ": " + std::strerror(written.error);
    return {};
}

} // namespace tarvo
