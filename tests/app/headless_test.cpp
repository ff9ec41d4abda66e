// The tarvo program without a display: its exit statuses, and two loggers on
// two simulated buses writing into one PostgreSQL table through a server
// restart.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "../logging/odbc_test_support.h"
#include "logging/log_variables.h"
#include "settings/settings.h"
#include "sim/child_process.h"
#include "support/temp_dir.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::ControlClient;
using test::TempDir;

const std::string kTarvo = TARVO_PROGRAM;
const std::string kSim = TARVO_SIM_PROGRAM;

// A simulated bus on a pseudo-terminal reached through `link`, with its
// control socket at `control` when one is given.
std::unique_ptr<ChildProcess> startBus(TempDir& dir, const std::string& link,
                                       const std::vector<std::string>& devices,
                                       const std::string& control = {}) {
    std::vector<std::string> argv{kSim, "--link", link};
    if (!control.empty())
        argv.insert(argv.end(), {"--control", control});
    for (const std::string& d : devices) {
        argv.push_back("--device");
        argv.push_back(d);
    }
    auto sim =
        std::make_unique<ChildProcess>(argv, dir.file(link.substr(link.rfind('/') + 1) + ".out"));
    for (int i = 0; i < 200 && !std::filesystem::exists(link); ++i)
        std::this_thread::sleep_for(25ms);
    return sim;
}

struct ExitCase {
    const char* fault;
    std::string config; // settings file text; empty: no file; "-": no --config either
    std::vector<std::string> options;
    int status;
    const char* says;
    int signal = 0;                // sent once `says` is out
    const char* command = nullptr; // to the simulator once "Sampling" is out, ';' between
    const char* never = nullptr;   // not said
    const char* file = nullptr;    // of the folder, removed before the run ...
    const char* fileHas = nullptr; // ... and holding this after it
};

TEST(Headless, ExitStatusesAndScanList) {
    TempDir dir;
    const std::string bus = dir.file("bus");
    const std::string control = dir.file("control"), fifo = dir.file("fifo");
    const auto sim = startBus(dir, bus, {"1:branch:PNLA", "2:circuit8:MTRB", "4:energy"}, control);
    ASSERT_TRUE(sim->waitForOutput("control", 10s)) << sim->output();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string port = "port " + bus + "\n";
    const std::string logs = port + "scan 1\nsave_file " + dir.file("log.csv") + "\n";
    const std::string noPort = "port " + dir.file("none") + "\nsave_file " + dir.file("l") + "\n";
    const std::string noFile = "save_file " + dir.file("no/such/folder.csv") + "\n";
    const std::string hook = dir.file("hook");
    std::ofstream(hook) << "#!/bin/sh\necho \"$TARVO_ADDRESS $TARVO_DEVICE $TARVO_EVENT "
                           "$TARVO_VALUE\" >>"
                        << dir.file("hook.out") << "\n";
    ASSERT_EQ(::chmod(hook.c_str(), 0755), 0);
    const char* list = "01 - PNLA [Kyrel Branch Circuit Monitor, 42 Breakers]\n"
                       "02 - MTRB [Kyrel Circuit Meter 8, 3-Phase Power Meter]\n";
    const ExitCase cases[] = {
        {"missing settings file taken as empty", "", {"--headless"}, 2, "does not exist"},
        {"a folder as settings said to start with defaults",
         "",
         {"--config", "/", "--once"},
         2,
         "Cannot read the settings: / is not a regular file"},
        {"conflicting modes: one silently wins", "", {"--once", "--scan-only"}, 2, "combined"},
        {"nothing to log runs forever", port, {"--once"}, 4, "Logging is not set up"},
        {"MQTT alone not taken as logging, or its unsent readings lost",
         port + "scan 1\nmqtt 127.0.0.1:1\n",
         {"--once"},
         1,
         "2 MQTT messages could not be sent to 127.0.0.1:1"}, // the reading, its alarm_active
        {"a broker port out of range tried anyway",
         port + "mqtt h:70000\n",
         {"--once"},
         2,
         "port 70000 is not 1 to 65535"},
        {"unopenable port retried forever", noPort, {"--headless"}, 3, "Gave up opening"},
        {"unwritten records not counted",
         port + "scan 1\n" + noFile,
         {"--once"},
         1,
         "1 record could"},
        {"scan list differs from the window's", port + "scan 2\n", {"--scan-only"}, 0, list},
        {"no meter found reported as success", logs + "scan 0\n", {"--once"}, 5, "No meter"},
        {"a FIFO as the log file hangs the logger",
         port + "scan 1\nsave_file " + fifo + "\n",
         {"--once"},
         1,
         "not a regular file"},
        {"an unknown option aborts without a display", "-", {"--bogus"}, 2, "unknown option"},
        {"no line settings; interval -5 said as every -5 min",
         logs + "interval -5\n",
         {"--once"},
         0,
         "(9600 baud, no parity) every 1 min"},
        {"SIGHUP kills the logger, losing the queue", logs, {"--headless"}, 0, "Sampling", SIGHUP},
        {"SIGINT not taken like SIGTERM", logs, {"--headless"}, 0, "Sampling", SIGINT},
        {"an unwritable log file said only at the stop",
         port + "scan 1\n" + noFile,
         {"--headless"},
         0,
         "Cannot write the log file",
         SIGTERM},
        {"a meter powered after the scan never logged",
         logs + "scan 3\n",
         {"--headless"},
         0,
         "Sampling 3 meters",
         SIGTERM,
         "add 3 branch PNLC"},
        {"a meter of no listed kind left out without a word",
         port + "scan 4\n",
         {"--scan-only", "--quick"},
         0,
         "]\nNot listed: 04 [Kyrel Energy-Only Meter]\n"},
        // The rows before added 3, so the probe lists 5 as the fourth meter.
        {"alarms read without watch 1",
         logs + "scan 5\n",
         {"--headless"},
         0,
         "Sampling 4 meters",
         SIGTERM,
         "set 2 36 1;add 5 branch PNLE",
         "Alarm at"},
        {"an alarm on a device besides the first not said or not journalled",
         logs + "scan 2\nwatch 1\n",
         {"--headless"},
         0,
         "Alarm at address [2] (MTRB): Amps over, ",
         SIGTERM,
         "set 2 36 1",
         nullptr,
         "log_journal.csv",
         ",2,MTRB,Alarm,\"Amps over\","},
        {"a recovery not said, or not handed to the alarm command",
         logs + "scan 2\nwatch 1\nalarm_command " + hook + "\n",
         {"--headless"},
         0,
         "Device at address [1] answers again",
         SIGTERM,
         "fault 1 silent 1",
         nullptr,
         "hook.out",
         "1 PNLA comm recovered 0\n"},
    };
    for (const ExitCase& c : cases) {
        const std::string path = dir.file("case.cfg");
        std::filesystem::remove(path);
        if (!c.config.empty())
            std::ofstream(path) << c.config;
        if (c.file != nullptr)
            std::filesystem::remove(dir.file(c.file));
        std::vector<std::string> argv{kTarvo, "--config", path};
        if (c.config == "-")
            argv.resize(1);
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        std::string out;
        if (c.signal == 0) {
            EXPECT_EQ(test::runProgram(argv, out), c.status) << c.fault << "\n" << out;
        } else {
            ChildProcess logger(argv, dir.file("logger.out"));
            if (c.command != nullptr) {
                EXPECT_TRUE(logger.waitForOutput("Sampling", 20s));
                std::istringstream commands(c.command);
                for (std::string command; std::getline(commands, command, ';');)
                    EXPECT_EQ(ControlClient(control).command(command), "ok\n") << command;
            }
            logger.waitForOutput(c.says, 20s);
            logger.signal(c.signal);
            EXPECT_EQ(logger.wait(20s), c.status) << c.fault << "\n" << logger.output();
            out = logger.output();
        }
        EXPECT_NE(out.find(c.says), std::string::npos) << c.fault << "\n" << out;
        if (c.never != nullptr) {
            EXPECT_EQ(out.find(c.never), std::string::npos) << c.fault << "\n" << out;
        }
        if (c.file != nullptr) {
            std::ifstream in(dir.file(c.file));
            const std::string text{std::istreambuf_iterator<char>(in), {}};
            EXPECT_NE(text.find(c.fileHas), std::string::npos) << c.fault << "\n" << text;
        }
    }
}

// Two buses, each with its own logger and location, one table; the server
// goes away for a few passes. Every pass of every device must arrive exactly
// once, in its own location, with no gap in the minutes.
TEST(Headless, TwoLoggersOneDatabaseThroughAServerRestart) {
    if (!test::OdbcConfig::postgresDriverPresent())
        GTEST_SKIP() << "the PostgreSQL ODBC driver (odbc-postgresql) is not installed";
    test::PostgresServer server;
    if (const std::string why = server.init(); !why.empty())
        GTEST_SKIP() << why;
    ASSERT_TRUE(server.start());
    test::OdbcConfig odbc;
    odbc.addPostgres("tarvo_pg", server.socketDir(), server.port(), "postgres");
    odbc.install();
    {
        test::SqlClient sql("tarvo_pg", server.kUser, server.kPassword);
        ASSERT_TRUE(sql.connected());
        ASSERT_EQ(sql.exec("CREATE TABLE log (meter integer, location varchar(32), "
                           "date_time timestamp, amps1 double precision)"),
                  "");
    }

    TempDir dir;
    Settings s;
    s.dsn = "tarvo_pg";
    s.table = "log";
    s.user = server.kUser;
    s.passwd = server.kPassword;
    s.links = {{kMeterVariable, SqlInteger, "meter"},
               {kLocationVariable, SqlVarChar, "location"},
               {kDateTimeVariable, SqlTimestamp, "date_time"},
               {3, SqlDouble, "amps1"}};
    const auto busA = startBus(dir, dir.file("busA"), {"1:branch:PNLA", "2:branch100a:PNLB"});
    const auto busB = startBus(dir, dir.file("busB"), {"3:circuit8:MTRC", "4:branch:PNLD"});
    s.portName = dir.file("busA");
    s.scan = 2;
    const std::string configA = dir.file("a.cfg"), configB = dir.file("b.cfg");
    std::ofstream(configA) << s.fileText("Hall A", 1);
    s.portName = dir.file("busB");
    s.scan = 4;
    std::ofstream(configB) << s.fileText("Hall B", 1);

    // A logging minute passes every real second; times are read in UTC.
    ::setenv("TARVO_TEST_CLOCK_SCALE", "60", 1);
    ::setenv("TZ", "UTC0", 1);
    // Under the sanitizers: unixODBC or the driver keeps memory per
    // connection that becomes unreachable when the logger unloads the driver
    // manager at exit; that growth is the library's and is measured apart
    // (bench/headless_day.sh), so leak checks are off for these loggers only.
    const char* asan = std::getenv("ASAN_OPTIONS");
    ::setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":detect_leaks=0").c_str(), 1);
    ChildProcess loggerA({kTarvo, "--headless", "--config", configA}, dir.file("a.out"));
    ChildProcess loggerB({kTarvo, "--headless", "--config", configB}, dir.file("b.out"));
    ::unsetenv("TARVO_TEST_CLOCK_SCALE");

    const auto waitForRows = [&](int n) {
        for (int i = 0; i < 600; ++i) {
            test::SqlClient sql("tarvo_pg", server.kUser, server.kPassword);
            if (sql.query("SELECT location FROM log GROUP BY 1 HAVING count(*) >= " +
                          std::to_string(n))
                    .size() == 2)
                return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    };
    ASSERT_TRUE(waitForRows(4)) << loggerA.output() << loggerB.output();
    server.stop();
    ASSERT_TRUE(loggerA.waitForOutput("Error connecting", 30s)) << loggerA.output();
    ASSERT_TRUE(loggerB.waitForOutput("Error connecting", 30s)) << loggerB.output();
    std::this_thread::sleep_for(2s);
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(waitForRows(16)) << loggerA.output() << loggerB.output();
    loggerA.signal(SIGTERM);
    loggerB.signal(SIGTERM);
    EXPECT_EQ(loggerA.wait(30s), 0) << loggerA.output();
    EXPECT_EQ(loggerB.wait(30s), 0) << loggerB.output();

    test::SqlClient sql("tarvo_pg", server.kUser, server.kPassword);
    // Each pass of a logger holds each of its own meters once.
    for (const auto& row : sql.query("SELECT location, date_time, string_agg(meter::text, ' ' "
                                     "ORDER BY meter) FROM log GROUP BY 1, 2"))
        EXPECT_EQ(*row[2], *row[0] == "Hall A" ? "1 2" : "3 4") << *row[0] << " " << *row[1];
    // No minute is missing between a logger's first and last pass (a
    // scaled-clock tick may take a pass time a second late).
    for (const auto& row : sql.query(
             "SELECT location, count(DISTINCT date_trunc('minute', date_time)), extract(epoch "
             "FROM max(date_trunc('minute', date_time)) - min(date_trunc('minute', date_time)))"
             "::int / 60 + 1 FROM log GROUP BY 1"))
        EXPECT_EQ(row[1], row[2]) << *row[0] << ": passes missing";
}

} // namespace
} // namespace tarvo
