#include "logging/log_variables.h"

namespace tarvo {
namespace {

constexpr std::array<std::string_view, kLogVariableCount> kNames = {
    "Meter",  "Location", "Date_Time", "Amps1",  "Amps2",  "Amps3",  "Amps4",  "Amps5",  "Amps6",
    "Amps7",  "Amps8",    "Amps9",     "Amps10", "Amps11", "Amps12", "Amps13", "Amps14", "Amps15",
    "Amps16", "Amps17",   "Amps18",    "Amps19", "Amps20", "Amps21", "Amps22", "Amps23", "Amps24",
    "Amps25", "Amps26",   "Amps27",    "Amps28", "Amps29", "Amps30", "Amps31", "Amps32", "Amps33",
    "Amps34", "Amps35",   "Amps36",    "Amps37", "Amps38", "Amps39", "Amps40", "Amps41", "Amps42",
};

bool isAsciiLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

std::string_view logVariableName(int index) {
    if (index < 0 || index >= kLogVariableCount)
        return {};
    return kNames[static_cast<std::size_t>(index)];
}

int logVariableIndex(std::string_view name) {
    for (int i = 0; i < kLogVariableCount; ++i)
        if (kNames[static_cast<std::size_t>(i)] == name)
            return i;
    return -1;
}

bool isTextType(int sqlType) {
    return sqlType == SqlChar || sqlType == SqlVarChar || sqlType == SqlLongVarChar;
}

bool isNumericType(int sqlType) {
    return sqlType >= SqlNumeric && sqlType <= SqlDouble;
}

bool isDateTimeType(int sqlType) {
    return sqlType >= SqlDate && sqlType <= SqlTimestamp;
}

bool VariableFitsColumnType(int index, int sqlType) {
    if (index < 0 || index >= kLogVariableCount)
        return false;
    if (isTextType(sqlType))
        return true;
    if (isNumericType(sqlType))
        return index == kMeterVariable || index >= kFirstAmpsVariable;
    if (isDateTimeType(sqlType))
        return index == kDateTimeVariable;
    return false;
}

bool NameMatches(std::string_view variableName, std::string_view columnName) {
    if (variableName.size() != columnName.size())
        return false;
    for (std::size_t i = 0; i < variableName.size(); ++i) {
        const char v = variableName[i];
        const char c = columnName[i];
        if (v == c || lower(v) == lower(c))
            continue;
        if ((v == ' ' && c == '_') || (v == '_' && c == ' '))
            continue;
        return false;
    }
    return true;
}

std::string BracketQuote(std::string_view name, int kludgeFlags) {
    if (kludgeFlags == 5)
        return "[" + std::string(name) + "]";
    return std::string(name);
}

bool identifierIsSafe(std::string_view name) {
    if (name.empty())
        return false;
    if (name.front() == '[') {
        if (name.size() < 3 || name.back() != ']')
            return false;
        for (char c : name.substr(1, name.size() - 2))
            if (c == ']' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                return false;
        return true;
    }
    for (char c : name) {
        const bool nonAscii = static_cast<unsigned char>(c) >= 0x80;
        if (!isAsciiLetter(c) && !isDigit(c) && c != '_' && c != '$' && c != '.' && !nonAscii)
            return false;
    }
    return true;
}

std::string quoteString(std::string_view text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c;
        if (c == '\'')
            quoted += '\'';
    }
    quoted += '\'';
    return quoted;
}

} // namespace tarvo
