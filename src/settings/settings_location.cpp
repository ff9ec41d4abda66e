#include "settings/settings_location.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "settings/settings.h"

namespace tarvo {

UserSettingsFile userSettingsFile(const char* xdgConfigHome, const char* home) {
    namespace fs = std::filesystem;
    fs::path base;
    if (xdgConfigHome != nullptr && xdgConfigHome[0] == '/')
        base = xdgConfigHome;
    else if (home != nullptr && home[0] == '/')
        base = fs::path(home) / ".config";
    else
        return {{}, "Cannot find the settings folder: neither XDG_CONFIG_HOME nor HOME names one"};

    const fs::path folder = base / "tarvo";
    fs::path made;
    for (const fs::path& part : folder) {
        made /= part;
        if (::mkdir(made.c_str(), 0700) == 0) {
            ::chmod(made.c_str(), 0700); // the umask may have taken bits away
            continue;
        }
        if (errno != EEXIST)
            return {{},
                    "Cannot create the settings folder " + folder.string() + ": " +
                        std::strerror(errno)};
    }
    struct stat st {};
    const bool found = ::stat(folder.c_str(), &st) == 0;
    if (!found || !S_ISDIR(st.st_mode))
        return {{},
                "Cannot create the settings folder " + folder.string() + ": " +
                    std::strerror(found ? ENOTDIR : errno)};
    return {(folder / Settings::kFileName).string(), {}};
}

UserSettingsFile enterUserSettingsFolder() {
    UserSettingsFile user = userSettingsFile(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
    if (!user.problem.empty())
        return user;
    const std::filesystem::path folder = std::filesystem::path(user.path).parent_path();
    if (::chdir(folder.c_str()) != 0)
        return {{},
                "Cannot enter the settings folder " + folder.string() + ": " +
                    std::strerror(errno)};
    return user;
}

} // namespace tarvo
