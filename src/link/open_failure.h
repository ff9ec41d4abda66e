#pragma once

#include <chrono>
#include <filesystem>
#include <string>

#include "link/link.h"

namespace tarvo {

/// What the machine says about a port that would not open: enough to tell
/// the operator why and what to do. Looked up once, after the failure.
struct PortFacts {
    std::string path;         ///< the device the name stands for
    std::string kind;         ///< "a regular file", "a folder", ... when it is no device
    std::string group;        ///< owning group of the device, e.g. "dialout"
    bool groupMayOpen = true; ///< the owning group may read and write it
    std::string user;         ///< the user this program runs as
    std::string holderName;   ///< the program holding the port, when known
    int holderPid = 0;        ///< its process id, 0 when unknown
};

/// Looks up the facts for `path` after an open failed with `error`: the
/// owning group for a refused permission, the holder for a busy port (a
/// process with the device among its /proc/<pid>/fd, or the process id in a
/// UUCP lock file LCK..<name> under /run/lock or /var/lock), the file kind
/// for a name that is not a terminal. `root` is prepended to those folders
/// so tests can use a fake tree; the real machine is "/".
PortFacts lookUpPortFacts(const std::string& path, int error,
                          const std::filesystem::path& root = "/");

/// The operator's message for a failed open of `portName`: the line
/// "Unable to open <name>", then what went wrong and what to do about it.
/// Causes told apart: not present (is the adapter plugged in?), permission
/// denied (the owning group and the command adding the user to it, or for a
/// device no group may open, the udev rule that opens it to one), busy
/// (in use by another program, named when known), not a serial port; any
/// other errno is given as the system's text.
std::string openFailureText(const std::string& portName, const OpenResult& result,
                            const PortFacts& facts);

/// The operator's message for a gateway (rtu+tcp://, modbus+tcp://) that
/// could not be reached: "Unable to open <name>", then the cause told apart
/// by the errno TcpLink::open gives (a malformed name with the forms to
/// write, an unknown host, a refused connection, no answer within
/// `timeout`, an unreachable network) and what to check.
std::string gatewayFailureText(const std::string& portName, const OpenResult& result,
                               std::chrono::milliseconds timeout);

} // namespace tarvo
