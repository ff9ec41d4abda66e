// `tarvo settings` run as a process against the simulator: its exit statuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/child_process.h"
#include "sim/server.h"

namespace tarvo {
namespace {

struct ExitCase {
    const char* fault;
    std::vector<std::string> args; // after "settings"; PORT stands for the simulator's line
    int status;
    const char* says;
};

TEST(SettingsCommand, ExitStatuses) {
    // The children inherit standard input: without a terminal there, a
    // restore without --yes must write nothing, even when run from a shell.
    ASSERT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
    test::TempDir dir;
    sim::PtyServer sim;
    sim.bus().addDevice(sim::Model::Branch, 3, "PNL1");
    sim.bus().addDevice(sim::Model::Circuit8, 4, "MTRB");
    sim.bus().addDevice(sim::Model::Circuit6, 5, "MTRC");
    const std::string a = dir.file("a.tds");
    const std::string b = dir.file("b.tds");
    const std::string six = dir.file("six.tds");
    const std::string victim = dir.file("victim");
    std::ofstream(victim) << "mine";
    std::filesystem::create_symlink(victim, b + ".tmp");
    const ExitCase first[] = {
        {"missing address taken as address 0", {"backup", "--port", "PORT", a}, 2, "--address"},
        {"silent address saved as a file of fills",
         {"backup", "--port", "PORT", "--address", "9", a},
         3,
         "Timeout"},
        {"backup not reported done", {"backup", "--port", "PORT", "--address", "3", a}, 0, "Saved"},
        {"6-meter backup", {"backup", "--port", "PORT", "--address", "5", six}, 0, "Saved"},
        {"backup writes through a link planted at FILE.tmp",
         {"backup", "--port", "PORT", "--address", "3", b},
         0,
         "Saved"},
    };
    const ExitCase second[] = {
        {"unchanged device reported different",
         {"compare", "--port", "PORT", "--address", "3", a},
         0,
         "Settings that differ: 0"},
        {"changed device reported the same",
         {"compare", "--port", "PORT", "--address", "3", b},
         1,
         "breaker 7 alarm level: file 85 %, device 80 %"},
        {"two files need a port", {"compare", a, b}, 1, "first 80 %, second 85 %"},
        {"endless device read as a file", {"compare", a, "/dev/zero"}, 4, "not a regular file"},
        {"restore without terminal or --yes writes",
         {"restore", "--port", "PORT", "--address", "3", b},
         2,
         "--yes"},
        {"branch file written to a circuit meter",
         {"restore", "--port", "PORT", "--address", "4", "--yes", b},
         4,
         "8-meter circuit meter"},
        {"restore not reported done",
         {"restore", "--port", "PORT", "--address", "3", "--yes", b},
         0,
         "Settings written: 1"},
        {"meters a 6-meter file switches off told as a hex word only",
         {"restore", "--port", "PORT", "--address", "4", "--yes", six},
         0,
         "(register 72): meters 7 and 8 will be switched off"},
    };
    const auto run = [&](const ExitCase& c) {
        std::vector<std::string> argv{TARVO_PROGRAM, "settings"};
        for (const std::string& arg : c.args)
            argv.push_back(arg == "PORT" ? sim.slavePath() : arg);
        std::string out;
        EXPECT_EQ(test::runProgram(argv, out), c.status) << c.fault << "\n" << out;
        EXPECT_NE(out.find(c.says), std::string::npos) << c.fault << "\n" << out;
    };
    for (const ExitCase& c : first)
        run(c);
    EXPECT_EQ(test::readLines(victim), std::vector<std::string>{"mine"});
    std::stringstream text;
    text << std::ifstream(a).rdbuf();
    std::string changed = text.str();
    const std::string line = "breaker 7 alarm level = 80 % [141: 80]";
    changed.replace(changed.find(line), line.size(), "breaker 7 alarm level = 85 % [141: 85]");
    std::ofstream(b) << changed;
    for (const ExitCase& c : second)
        run(c);
}

} // namespace
} // namespace tarvo
