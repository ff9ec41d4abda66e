#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/bus.h"

namespace tarvo::sim {

/// One device of a bus description: "ADDR:KIND[:NAME]" on the command line,
/// the same or "ADDR KIND [NAME]" in a bus file.
struct DeviceSpec {
    int address = 0;
    Model model = Model::Branch;
    std::string name;
};

/// Parses one device description; nullopt with `error` set when it is not
/// one (address outside 1 to 247, unknown kind, name over 4 characters).
std::optional<DeviceSpec> parseDeviceSpec(std::string_view text, std::string& error);

/// Parses a bus file: one device per line, blank lines and lines starting with
/// '#' ignored. Stops at the first bad line with `error` naming it.
std::optional<std::vector<DeviceSpec>> parseBusFile(std::string_view contents, std::string& error);

/// The text of the control channel's commands, for --help and "help".
const char* controlHelp();

/// Runs one line of the control channel on the bus and returns the answer:
/// zero or more lines of output followed by a final line "ok" or
/// "error: <why>". Every answer line ends in "\n".
std::string runControlCommand(Bus& bus, std::string_view line);

} // namespace tarvo::sim
