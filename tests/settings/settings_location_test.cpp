// Where the menu entry's --user-config keeps Tarvo.cfg.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

#include "settings/settings_location.h"
#include "support/temp_dir.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;

// "@" stands for the test's temporary folder; expected is the settings
// folder, null when the call must give a problem instead.
struct LocationCase {
    const char* fault;
    const char* xdg;
    const char* home;
    const char* expected;
    mode_t mode;
};
const LocationCase kLocations[] = {
    {"XDG_CONFIG_HOME ignored", "@/xdg", "@/home", "@/xdg/tarvo", 0700},
    {"unset XDG_CONFIG_HOME not falling back", nullptr, "@/home", "@/home/.config/tarvo", 0700},
    {"empty XDG_CONFIG_HOME taken as the working folder", "", "@/h2", "@/h2/.config/tarvo", 0700},
    {"relative XDG_CONFIG_HOME taken", "xdg", "@/h3", "@/h3/.config/tarvo", 0700},
    {"an existing folder's mode changed", "@/own", "@/home", "@/own/tarvo", 0755},
    {"a file named tarvo taken for the folder", "@/plain", "@/home", nullptr, 0},
    {"a file above the folder not reported", "@/plain/tarvo/x", "@/home", nullptr, 0},
    {"no HOME: a folder made in the working folder", nullptr, nullptr, nullptr, 0},
};

TEST(SettingsLocation, UserFolderChosenAndMadePrivate) {
    test::TempDir dir;
    const auto in = [&](const char* s) {
        return s != nullptr && s[0] == '@' ? dir.path().string() + (s + 1)
                                           : std::string(s ? s : "");
    };
    fs::create_directories(in("@/own/tarvo"));
    fs::permissions(in("@/own/tarvo"), fs::perms(0755));
    fs::create_directories(in("@/plain"));
    std::ofstream(in("@/plain/tarvo")) << "x";
    // Folders made with the umask's mode would be readable by everyone; a
    // relative folder wrongly taken lands in the test's own folder.
    const mode_t umaskBefore = ::umask(0);
    const fs::path cwdBefore = fs::current_path();
    fs::current_path(dir.path());
    for (const LocationCase& c : kLocations) {
        const std::string xdg = in(c.xdg), home = in(c.home);
        const UserSettingsFile got =
            userSettingsFile(c.xdg ? xdg.c_str() : nullptr, c.home ? home.c_str() : nullptr);
        if (c.expected == nullptr) {
            EXPECT_EQ(got.path, "") << c.fault;
            EXPECT_NE(got.problem, "") << c.fault;
            continue;
        }
        EXPECT_EQ(got.path, in(c.expected) + "/Tarvo.cfg") << c.fault << ": " << got.problem;
        EXPECT_EQ(static_cast<mode_t>(fs::status(in(c.expected)).permissions()), c.mode) << c.fault;
    }
    ::umask(umaskBefore);
    fs::current_path(cwdBefore);
}

} // namespace
} // namespace tarvo
