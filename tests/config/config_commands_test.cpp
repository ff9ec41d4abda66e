#include <gtest/gtest.h>

#include "config/config_commands.h"
#include "config/register_bank.h"

namespace tarvo {
namespace {

using test::Log;

class RecordingHost : public ConfigFormOpener, public AlarmLampDisplay {
public:
    void openForm(ConfigFormKind form) override { opened.push_back(form); }
    void showAlarmsAfterReset(std::span<const std::int32_t> registers) override {
        lampBlocks.emplace_back(registers.begin(), registers.end());
    }
    std::vector<ConfigFormKind> opened;
    std::vector<std::vector<std::int32_t>> lampBlocks;
};

class ConfigCommandsTest : public test::RegisterBankTest {
protected:
    RecordingHost host;
    ConfigCommands commands{master, bank, devices, op, host, host};
};

TEST_F(ConfigCommandsTest, AlarmResetClearsEachFamilysFlagsAndReadsTheLampsBack) {
    const Log branch{"W 43 0", "W 44 0", "W 45 0", "W 46 0", "W 47 0", "W 48 0", "R 0 49"};
    const struct {
        const char* name;
        int slaveId;
        Log traffic;
        std::size_t lampRegisters; // 0: lamps not touched
        bool readBackFails;        // the lamps then get zeros
    } cases[] = {
        {"branch monitor", BranchMonitor, branch, 49, false},
        {"100 A branch monitor", BranchMonitor100A, branch, 49, false},
        {"circuit meter", CircuitMeter6, {"W 36 0", "R 0 37"}, 37, false},
        {"circuit meter, read-back failed", CircuitMeter8, {"W 36 0", "R 0 37"}, 37, true},
        {"energy-only meter", EnergyOnlyMeter, {}, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        devices.record(kAddress, c.slaveId);
        bank.log.clear();
        host.lampBlocks.clear();
        bank.set(0, 0x0140);
        bank.failReads = c.readBackFails ? std::set<int>{0} : std::set<int>{};
        commands.onAlarmReset(kAddress);
        EXPECT_EQ(bank.log, c.traffic);
        ASSERT_EQ(host.lampBlocks.size(), c.lampRegisters == 0 ? 0u : 1u);
        if (c.lampRegisters != 0) {
            EXPECT_EQ(host.lampBlocks[0].size(), c.lampRegisters);
            EXPECT_EQ(host.lampBlocks[0][0], c.readBackFails ? 0 : 0x0140);
        }
    }
    EXPECT_TRUE(op.messages.empty());
    EXPECT_EQ(op.busyDepth, 0);
}

TEST_F(ConfigCommandsTest, EachCommandWithoutSelectionShowsItsMessage) {
    using Command = void (ConfigCommands::*)(int);
    const struct {
        const char* name;
        Command command;
        const char* message;
    } cases[] = {
        {"panel", &ConfigCommands::onPanelConfig,
         "You must select a valid meter before attempting to configure it!"},
        {"reset", &ConfigCommands::onAlarmReset, "There is no valid meter selected to reset!"},
        {"setpoints", &ConfigCommands::onAlarmSetpoints,
         "You must select a valid meter before configuring alarms!"},
        {"delays", &ConfigCommands::onAlarmDelays,
         "You must select a valid meter before configuring alarms!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        op.messages.clear();
        (commands.*c.command)(-1);
        (commands.*c.command)(0);
        ASSERT_EQ(op.messages.size(), 2u);
        EXPECT_EQ(op.messages[0].text, c.message);
        EXPECT_EQ(op.messages[0].title, "") << "the application's own caption";
        EXPECT_TRUE(host.opened.empty());
        EXPECT_TRUE(bank.log.empty());
    }
}

TEST_F(ConfigCommandsTest, FormsAreChosenBySlaveIdByte) {
    const struct {
        const char* name;
        int slaveId;
        ConfigFormKind panel, setpoints;
    } cases[] = {
        {"branch monitor", BranchMonitor, ConfigFormKind::BranchPanelConfig,
         ConfigFormKind::BreakerAlarmSetup},
        {"100 A branch monitor", BranchMonitor100A, ConfigFormKind::BranchPanelConfig,
         ConfigFormKind::BreakerAlarmSetup},
        {"circuit meter", CircuitMeter8, ConfigFormKind::CircuitPanelConfig,
         ConfigFormKind::CircuitAlarmSetup},
        {"unidentified device", 0, ConfigFormKind::CircuitPanelConfig,
         ConfigFormKind::CircuitAlarmSetup},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host.opened.clear();
        devices.record(kAddress, c.slaveId);
        commands.onPanelConfig(kAddress);
        commands.onAlarmSetpoints(kAddress);
        commands.onAlarmDelays(kAddress);
        EXPECT_EQ(host.opened, (std::vector<ConfigFormKind>{c.panel, c.setpoints,
                                                            ConfigFormKind::BreakerAlarmDelay}));
    }
}

} // namespace
} // namespace tarvo
