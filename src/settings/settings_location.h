#pragma once

#include <string>
#include <string_view>

namespace tarvo {

/// The option of the desktop menu entry: the settings file is the user's,
/// in their configuration folder, instead of Tarvo.cfg in the working folder
/// (which is what a start from a shell uses, as it always has).
inline constexpr std::string_view kUserConfigOption = "--user-config";

/// The user's settings file, or why there is none.
struct UserSettingsFile {
    std::string path;    ///< .../tarvo/Tarvo.cfg; empty when `problem` is set
    std::string problem; ///< why the folder could not be made, for the operator
};

/// Tarvo.cfg in `$XDG_CONFIG_HOME/tarvo`, or in `$HOME/.config/tarvo` when
/// XDG_CONFIG_HOME is unset, empty or relative (the XDG base directory rules
/// say a relative one is to be ignored). `xdgConfigHome` and `home` are the
/// variables' values, null when unset.
///
/// The folder, and any missing folder above it, is created with mode 0700
/// whatever the umask, since the file holds the database password in clear.
/// A folder that exists already keeps its mode: it is the user's.
UserSettingsFile userSettingsFile(const char* xdgConfigHome, const char* home);

/// What --user-config does, in the window and in the logger alike: the
/// folder of userSettingsFile (made if missing) becomes the working folder,
/// so that what Tarvo keeps in the working folder beside its settings (the
/// alarm journal without a log file, a log file named without a folder)
/// stays with them, as in a start from a shell in that folder. Reads
/// XDG_CONFIG_HOME and HOME.
UserSettingsFile enterUserSettingsFolder();

} // namespace tarvo
