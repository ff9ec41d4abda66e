// Device settings as files against the simulator over a pseudo-terminal:
// backup, compare, restore and clone, and the files that must be refused.
#include <gtest/gtest.h>

#include <functional>

#include "link/serial_port.h"
#include "sim/server.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"
#include "support/traced_master.h"
#include "transfer/settings_file.h"

namespace tarvo {
namespace {

using sim::Model;
using Writes = std::vector<std::pair<int, int>>; // register, value

// The serial port with a hook run before each frame it sends (counted from
// 1), so a test can inject a fault or change the device halfway through.
struct HookedPort : Transport {
    SerialPort& port;
    std::function<void(int frame)> hook;
    int frames = 0;
    explicit HookedPort(SerialPort& p) : port(p) {}
    void drain() override { port.drain(); }
    std::size_t write(std::span<const std::uint8_t> bytes) override {
        if (hook)
            hook(++frames);
        return port.write(bytes);
    }
    ReadResult read(std::span<std::uint8_t> buffer, std::size_t& received) override {
        return port.read(buffer, received);
    }
};

struct Bench : test::TracedMaster {
    sim::PtyServer sim;
    SerialPort serial;
    HookedPort port{serial};
    test::FakeClock clock;

    Bench(std::initializer_list<std::pair<Model, int>> models) {
        for (auto [model, address] : models)
            sim.bus().addDevice(model, address, "PNL1");
        EXPECT_TRUE(serial.open(sim.slavePath()));
    }
    DeviceSettings read(int address) {
        DeviceSettings out;
        const DeviceReadResult result =
            readDeviceSettings({master, port, devices, address}, clock, out);
        EXPECT_TRUE(result.ok()) << result.problem;
        return out;
    }
};

struct BackupCase {
    const char* fault;
    Model model;
    int reg;
    int value;
    const char* kind;
    const char* line;
    bool handMade = false; // read from a file without its `read at` line
};

TEST(DeviceSettings, BackupOfEachKindReadsBackAsWritten) {
    const BackupCase cases[] = {
        {"rating read from the level block", Model::Branch, 57, 30, "branch monitor",
         "breaker 7 rating = 30 A [57: 30]"},
        {"100 A monitor saved as a 50 A one", Model::Branch100A, 57, 90, "100 A branch monitor",
         "breaker 7 rating = 90 A [57: 90]"},
        {"current limit scaled by another CT size", Model::Circuit8, 32, 5000,
         "8-meter circuit meter", "current over limit = 50 A [32: 5000]"},
        {"six-meter monitor saved with meters 7 and 8", Model::Circuit6, 72, 0x8003,
         "6-meter circuit meter", "meter enables = 0x8003 [72: 32771]"},
        {"empty value written as a line the reader refuses", Model::Branch, 57, 20,
         "branch monitor", "read at = ", true},
    };
    for (const BackupCase& c : cases) {
        Bench bench{{c.model, 3}};
        bench.sim.bus().setRegister(3, c.reg, static_cast<std::uint16_t>(c.value));
        DeviceSettings device = bench.read(3);
        if (c.handMade)
            device.readAt.clear();
        const std::string text = formatSettingsFile(device);
        EXPECT_NE(text.find(std::string("kind = ") + c.kind + "\n"), std::string::npos) << c.fault;
        EXPECT_NE(text.find(std::string("\n") + c.line + "\n"), std::string::npos) << c.fault;
        DeviceSettings file;
        const auto problem = parseSettingsFile(text, file);
        EXPECT_FALSE(problem) << c.fault << ": " << problem->reason;
        EXPECT_EQ(file.registers, device.registers) << c.fault;
        EXPECT_TRUE(bench.sim.bus().writes().empty()) << c.fault;
    }
}

struct ChangeCase {
    const char* fault;
    Model model;
    Writes changes;          // raw register changes on the device after the backup
    const char* differences; // as the operator reads them
};

TEST(DeviceSettings, CompareNamesExactlyTheChangedSettings) {
    const ChangeCase cases[] = {
        {"alarm flags taken for a setting", Model::Branch, {{46, 1}}, ""},
        {"one breaker's change shown on its neighbour",
         Model::Branch,
         {{141, 85}, {178, 7}},
         "breaker 7 alarm level: file 80 %, device 85 %\n"
         "breaker 2 warning delay: file 5, device 7\n"},
        {"name change missed",
         Model::Branch,
         {{274, 0x2020}},
         "panel name: file \"PNL1\", device \"PN  \"\n"},
        {"CT size change reported as changed current limits",
         Model::Circuit8,
         {{29, 200}},
         "CT size: file 100, device 200\n"},
        {"lock bit reported as a meter change", Model::Circuit8, {{72, 0x80FF}}, ""},
        {"locked meter change offered for writing",
         Model::Circuit8,
         {{72, 0x8007}},
         "meter enables: file 0x00FF, device 0x8007 (locked on the device)\n"},
    };
    for (const ChangeCase& c : cases) {
        Bench bench{{c.model, 3}};
        const DeviceSettings file = bench.read(3);
        for (auto [reg, value] : c.changes)
            bench.sim.bus().setRegister(3, reg, static_cast<std::uint16_t>(value));
        EXPECT_EQ(describeDifferences(compareSettings(file, bench.read(3))), c.differences)
            << c.fault;
    }
}

using Hook = std::function<void(int frame, sim::Bus&)>; // run before each frame sent

struct RestoreCase {
    const char* fault;
    Model model;
    Writes changes;
    bool names;
    Hook hook;
    Writes written; // what the device took, in order
    const char* report;
};

TEST(DeviceSettings, RestoreWritesOnlyDifferencesInOrderAndReadsBack) {
    // The second write goes unanswered; breaker 7's level goes back after the writes.
    const Hook silent = [](int frame, sim::Bus& bus) {
        if (frame == 2)
            bus.setFault(3, sim::Fault::NoAnswer, 1);
    };
    const Hook revert = [](int frame, sim::Bus& bus) {
        if (frame == 3)
            bus.setRegister(3, 141, 85);
    };
    const RestoreCase cases[] = {
        {"writes out of the forms' order, or unchanged ones",
         Model::Branch,
         {{178, 7}, {141, 85}, {51, 30}},
         false,
         {},
         {{51, 20}, {141, 80}, {178, 5}},
         "Settings written: 3.\n"},
        {"names not written when asked to",
         Model::Branch,
         {{273, 0x5858}},
         true,
         {},
         {{273, 0x504E}, {274, 0x4C31}},
         "Settings written: 1.\n"},
        {"written past a failed write",
         Model::Branch,
         {{51, 30}, {141, 85}, {178, 7}},
         false,
         silent,
         {{51, 20}, {141, 80}},
         "Settings written: 1.\nWriting breaker 7 alarm level (register 141): Err #1, Timeout "
         "Waiting For Response. Stopped there.\nWritten before: breaker 1 rating\nNot written: "
         "breaker 2 warning delay\n"},
        {"a value the device dropped reported as taken",
         Model::Branch,
         {{141, 85}, {178, 7}},
         false,
         revert,
         {{141, 80}, {178, 5}},
         "Settings written: 2.\nDid not take: breaker 7 alarm level (register 141): device "
         "holds 85 %\n"},
        {"locked meter change written",
         Model::Circuit8,
         {{72, 0x8007}},
         false,
         {},
         {},
         "Settings written: 0.\n"},
    };
    for (const RestoreCase& c : cases) {
        Bench bench{{c.model, 3}};
        const DeviceSettings file = bench.read(3);
        for (auto [reg, value] : c.changes)
            bench.sim.bus().setRegister(3, reg, static_cast<std::uint16_t>(value));
        const RestorePlan plan = planRestore(file, bench.read(3), c.names);
        ASSERT_TRUE(plan.refused.empty()) << c.fault << ": " << plan.refused;
        bench.port.hook = [&](int frame) {
            if (c.hook)
                c.hook(frame, bench.sim.bus());
        };
        bench.port.frames = 0;
        const RestoreReport report =
            executeRestore({bench.master, bench.port, bench.devices, 3}, bench.clock, plan, file);
        Writes taken;
        for (const sim::WriteRecord& w : bench.sim.bus().writes())
            taken.emplace_back(w.reg, w.value);
        EXPECT_EQ(taken, c.written) << c.fault;
        EXPECT_EQ(describeRestore(report), c.report) << c.fault;
    }
}

TEST(DeviceSettings, CloneKeepsTheTargetsNamesAndRefusesValuesOutOfItsRange) {
    Bench bench{{Model::Branch100A, 3}, {Model::Branch, 5}};
    bench.sim.bus().setName(5, 273, "PNL5");
    bench.sim.bus().setRegister(3, 141, 90);
    const DeviceSettings wide = bench.read(3);
    // Every 100 A rating (60 A) is beyond the 50 A monitor's 10 to 50.
    const RestorePlan refused = planRestore(wide, bench.read(5), false);
    EXPECT_EQ(refused.refused,
              "Not for the kind \"branch monitor\": breaker 1 rating: Please enter an integer "
              "between 10 and 50")
        << "the callers end the sentence: no \"..\"";
    for (int reg = 51; reg <= 92; ++reg)
        bench.sim.bus().setRegister(3, reg, 40);
    const DeviceSettings source = bench.read(3);
    const RestoreReport report =
        executeRestore({bench.master, bench.port, bench.devices, 5}, bench.clock,
                       planRestore(source, bench.read(5), false), source);
    EXPECT_TRUE(report.ok()) << describeRestore(report);
    EXPECT_EQ(describeDifferences(compareSettings(source, bench.read(5))),
              "panel name: file \"PNL1\", device \"PNL5\"\n");
}

// A line edit of a valid branch-monitor file: the first line starting with
// `key` is replaced by `replacement` (several lines, or none to delete it).
struct BadFileCase {
    const char* fault;
    const char* key;
    const char* replacement;
    int line; // the line blamed: 0 the edited one, 1 the one after it, -1 the last
    const char* reason;
};

TEST(DeviceSettings, DamagedAndForeignFilesRefusedWithLineAndReason) {
    const BadFileCase cases[] = {
        {"foreign file read as settings", "Tarvo", "kind,address,value", 0, "not a Tarvo device"},
        {"newer format read as this one", "Tarvo", "Tarvo device settings 2", 0, "version 2"},
        {"unknown kind taken for a branch monitor", "kind", "kind = Toaster", 0, "unknown kind"},
        {"value edited without its register", "breaker 7 alarm level",
         "breaker 7 alarm level = 85 % [141: 80]", 0, "does not match"},
        {"another setting's register written", "breaker 7 alarm level",
         "breaker 7 alarm level = 80 % [140: 80]", 0, "is register 141"},
        {"level beyond the form's range", "breaker 7 alarm level",
         "breaker 7 alarm level = 101 % [141: 101]", 0, "between 0 and 100"},
        {"register value cut to 16 bits", "breaker 7 alarm level",
         "breaker 7 alarm level = 80 % [141: 65616]", 0, "0 to 65535"},
        {"setting of another kind skipped", "breaker 7 alarm level",
         "breaker 7 alarm level = 80 % [141: 80]\nCT size = 100 [29: 100]", 1, "has no setting"},
        {"repeated setting, last one wins", "breaker 7 alarm level",
         "breaker 7 alarm level = 80 % [141: 80]\nbreaker 7 alarm level = 80 % [141: 80]", 1,
         "given twice"},
        {"missing setting left as it is", "breaker 7 alarm level", "", -1, "is missing"},
        {"file without its address written back as address 0", "address", "", -1, "no address"},
    };
    Bench bench{{Model::Branch, 3}};
    const std::string valid = formatSettingsFile(bench.read(3));
    for (const BadFileCase& c : cases) {
        std::string text = valid;
        const std::size_t at =
            text.starts_with(c.key) ? 0 : text.find("\n" + std::string(c.key)) + 1;
        const std::size_t end = text.find('\n', at);
        text.replace(at, end - at + (*c.replacement == '\0' ? 1 : 0), c.replacement);
        const auto lines = [](std::string_view t) {
            return static_cast<int>(std::count(t.begin(), t.end(), '\n'));
        };
        const int edited = 1 + lines(std::string_view(valid).substr(0, at));
        DeviceSettings out;
        const auto problem = parseSettingsFile(text, out);
        ASSERT_TRUE(problem) << c.fault;
        EXPECT_EQ(problem->line, c.line < 0 ? lines(text) : edited + c.line) << c.fault;
        EXPECT_NE(problem->reason.find(c.reason), std::string::npos)
            << c.fault << ": " << problem->reason;
    }
}

} // namespace
} // namespace tarvo
