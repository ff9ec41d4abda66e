#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace tarvo {

/// The exit statuses of `tarvo settings`.
enum SettingsExit : int {
    kSettingsSame = 0,   ///< done; compare: no differences
    kSettingsDiffer = 1, ///< compare found differences; restore left some (declined, not taken)
    kSettingsUsage = 2,  ///< bad command line, or a restore nobody confirmed
    kSettingsCommFailure = 3, ///< the port did not open or a transaction failed
    kSettingsFileRefused =
        4, ///< the file is damaged, foreign, of another kind, out of range, or unwritable
};

/// What `tarvo settings ...` was asked to do.
struct SettingsOptions {
    enum class Action { Backup, Compare, Restore, Help };
    Action action = Action::Help;
    std::string port;
    int address = 0;
    int speedCode = 0;  ///< Link speed code; 9600 baud unless given
    int parityCode = 0; ///< Link parity code; none unless given
    bool yes = false;   ///< restore without asking
    bool names = false; ///< restore the names too (a clone keeps the target's)
    std::vector<std::string> files;
};

/// True when the command line is `tarvo settings ...`. Decided before any Qt
/// object exists: the command runs where there is no display.
bool wantsSettingsCommand(int argc, char** argv);

/// Reads the options after "settings". Returns an empty text on success,
/// else what is wrong with them.
std::string parseSettingsArguments(const std::vector<std::string>& args, SettingsOptions& options);

std::string settingsUsage();

/// The command as a program; `in` is where a restore reads its answer,
/// asked only when `in` is a terminal.
int settingsMain(int argc, char** argv, std::FILE* in = stdin);

} // namespace tarvo
