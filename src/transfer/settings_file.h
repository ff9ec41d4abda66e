#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "transfer/device_settings.h"

namespace tarvo {

/// A device's settings as a text file, one setting a line:
///
///     Tarvo device settings 1
///     [device]
///     kind = BranchMonitor
///     address = 3
///     identification = Kyrel Branch Circuit Monitor, 42 Breakers
///     serial number = 00012345
///     firmware = 1.2
///     read at = 12/07/2026 04:10:00
///     [settings]
///     breaker 7 alarm level = 80 % [141: 80]
///     panel name = "PNL1" [273: 20558 19505]
///
/// The first line names the format and its version, so a foreign file is
/// recognised at once. In brackets stand the register and the register
/// values a restore writes; the value before them must agree with them, so a
/// value changed by hand without its register value is refused rather than
/// silently ignored. Lines starting with # are comments. Every setting of
/// the kind must be present.
inline constexpr std::string_view kSettingsFileHeader = "Tarvo device settings";
inline constexpr int kSettingsFileVersion = 1;

std::string formatSettingsFile(const DeviceSettings& settings);

/// Why a file was refused: its line (0 for the file as a whole) and reason.
struct FileProblem {
    int line = 0;
    std::string reason;
    /// "FILE, line 12: reason"
    std::string message(const std::string& path) const;
};

/// Reads a whole file's text into `out`; every line is checked and every
/// value must be in range for the file's own kind.
std::optional<FileProblem> parseSettingsFile(std::string_view text, DeviceSettings& out);

std::optional<FileProblem> readSettingsFile(const std::string& path, DeviceSettings& out);

/// Writes through a temporary file and a rename (replaceFileText), so a
/// failed write never leaves half a file in place of an earlier backup, and
/// no link planted beside the file is written through. Returns the problem
/// as the operator is told it; empty on success.
std::string writeSettingsFile(const std::string& path, const DeviceSettings& settings);

} // namespace tarvo
