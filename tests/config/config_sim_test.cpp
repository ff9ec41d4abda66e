// The configuration actions against the bus simulator over a pseudo-terminal:
// the exact traffic each action puts on the line, from the simulator's log.
#include <gtest/gtest.h>

#include "config/breaker_forms.h"
#include "config/circuit_forms.h"
#include "config/config_commands.h"
#include "devices/register_map.h"
#include "link/comm_trace.h"
#include "link/device_table.h"
#include "link/serial_port.h"
#include "sim/server.h"
#include "support/recording_operator.h"

namespace tarvo {
namespace {

using test::RecordingOperator;
using Log = std::vector<std::string>;

class ConfigSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        try {
            m_sim = std::make_unique<sim::PtyServer>();
        } catch (const std::exception& e) {
            GTEST_SKIP() << "no pseudo-terminal here: " << e.what();
        }
        ASSERT_TRUE(port.open(m_sim->slavePath()));
    }

    sim::Bus& bus() { return m_sim->bus(); }

    // Adds a device and identifies it the way the bus scan does.
    ConfigRegisters add(sim::Model model) {
        bus().addDevice(model, kAddress, "PNL1");
        int slaveId = 0;
        std::array<char, ModbusMaster::kSlaveIdTextSize> text{};
        EXPECT_EQ(master.reportSlaveId(port, kAddress, slaveId, text), Ok);
        bus().clearLog();
        return ConfigRegisters(master, port, devices, kAddress);
    }

    // Every request on the line since the last clear, as "R first count",
    // "W reg value" or "? x y" for any other function.
    Log traffic() {
        Log log;
        for (const sim::FrameRecord& frame : bus().frames()) {
            const auto& b = frame.bytes;
            if (b.size() < 6)
                continue;
            const char* function = b[1] == 3 ? "R " : b[1] == 6 ? "W " : "? ";
            log.push_back(function + std::to_string(b[2] * 256 + b[3]) + " " +
                          std::to_string(b[4] * 256 + b[5]));
        }
        bus().clearLog();
        return log;
    }

    template <typename Form>
    static void type(Form& form, std::initializer_list<std::pair<int, const char*>> edits) {
        std::vector<std::string> texts = form.showValues();
        for (const auto& [field, text] : edits)
            texts[static_cast<std::size_t>(field)] = text;
        ASSERT_FALSE(form.takeForm(texts).has_value());
    }

    static constexpr int kAddress = 3;
    std::unique_ptr<sim::PtyServer> m_sim;
    SerialPort port;
    CommTrace trace;
    DeviceTable devices;
    ModbusMaster master{trace, devices};
    RecordingOperator op;
};

TEST_F(ConfigSimTest, SetpointsWriteOnlyWhatChangedInOrder) {
    ConfigRegisters regs = add(sim::Model::Branch);
    BreakerSetpointForm form;
    form.open(regs, "PNL1");
    EXPECT_EQ(traffic(), (Log{"R 135 42", "R 93 42"}));

    type(form, {});
    form.writeChanged(regs, op);
    EXPECT_EQ(traffic(), Log{}) << "OK without changes";

    type(form, {{BreakerSetpointForm::warningLevelField(42), "65"}});
    form.writeChanged(regs, op);
    EXPECT_EQ(traffic(), Log{"W 134 65"});

    form.open(regs, "PNL1");
    traffic();
    type(form, {{BreakerSetpointForm::alarmLevelField(1), "90"},
                {BreakerSetpointForm::warningLevelField(1), "85"}});
    form.writeChanged(regs, op);
    EXPECT_EQ(traffic(), (Log{"W 135 90", "W 93 85"}));
    EXPECT_EQ(bus().registerValue(kAddress, 135), 90);

    type(form, {{BreakerSetpointForm::kGlobalAlarmHoldoffField, "65535"}});
    form.set(regs, BreakerSetpointForm::Global::AlarmHoldoff);
    EXPECT_EQ(traffic(), (Log{"W 271 65535", "R 135 42", "R 93 42"}));
    EXPECT_EQ(bus().registerValue(kAddress, 271), 65535);
}

TEST_F(ConfigSimTest, DelaysWriteAlarmBeforeWarning) {
    ConfigRegisters regs = add(sim::Model::Branch);
    BreakerDelayForm form;
    form.open(regs, "PNL1");
    EXPECT_EQ(traffic(), (Log{"R 219 42", "R 177 42"}));
    type(form, {{BreakerDelayForm::warningDelayField(42), "7"},
                {BreakerDelayForm::alarmDelayField(1), "30"}});
    form.writeChanged(regs, op);
    EXPECT_EQ(traffic(), (Log{"W 219 30", "W 218 7"}));
}

TEST_F(ConfigSimTest, CircuitAlarmConversionsOnTheLine) {
    ConfigRegisters regs = add(sim::Model::Circuit8);
    bus().setRegister(kAddress, 30, 12010);
    bus().setRegister(kAddress, 73, 0x0208);
    CircuitAlarmForm form;
    form.open(regs, "PNL1", "BRD1", 0.01f);
    EXPECT_EQ(traffic(), (Log{"R 30 8", "R 73 1"}));
    EXPECT_EQ(form.showValues()[CircuitAlarmForm::VoltageOverField], "120.1");
    form.writeChanged(regs, op, 0.01f);
    EXPECT_EQ(traffic(), Log{"W 73 8"}) << "120.1 is not rewritten; bit 9 has no box";

    bus().setRegister(kAddress, 30, 12000);
    bus().setRegister(kAddress, 73, 0x0040);
    form.open(regs, "PNL1", "BRD1", 0.01f);
    traffic();
    type(form, {{CircuitAlarmForm::VoltageOverField, "120.1"},
                {CircuitAlarmForm::CurrentOverField, "5"}});
    form.writeChanged(regs, op, 0.01f);
    EXPECT_EQ(traffic(), (Log{"W 30 12009", "W 32 500", "W 73 448"}));

    form.open(regs, "PNL1", "BRD1", 0.001f);
    traffic();
    type(form, {{CircuitAlarmForm::CurrentOverField, "100"}});
    form.writeChanged(regs, op, 0.001f);
    EXPECT_EQ(traffic(), Log{}) << "99999 does not fit a register";

    bus().setFault(kAddress, sim::Fault::NoAnswer, 1);
    form.open(regs, "PNL1", "BRD1", 0.01f);
    const auto texts = form.showValues();
    EXPECT_EQ(texts[CircuitAlarmForm::VoltageOverField], "-0.01");
    EXPECT_EQ(texts[CircuitAlarmForm::PhaseLossField], "-1");
    const auto failure = form.takeForm(texts);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->field, CircuitAlarmForm::CurrentOverField);
    EXPECT_EQ(failure->error.message, "Please enter a number between 0 and 65535.");
}

TEST_F(ConfigSimTest, BranchPanelNameAndRating) {
    ConfigRegisters regs = add(sim::Model::Branch);
    std::string panelName = "PNL1";
    BranchPanelForm form;
    form.open(regs, panelName, BranchMonitor);
    EXPECT_EQ(traffic(), (Log{"R 51 42", "R 49 2", "R 261 2"}));
    EXPECT_EQ(form.firmwareLine, "Firmware V2.5");
    EXPECT_EQ(form.serialLine, "Serial Number - 00066539");

    type(form, {{BranchPanelForm::kPanelNameField, "P1"}});
    form.setPanelName(regs, panelName);
    EXPECT_EQ(traffic(), (Log{"W 273 20529", "W 274 8224", "R 273 2", "R 51 42"}));
    EXPECT_EQ(panelName, "P1  ");
    EXPECT_EQ(form.headerName, "P1  ");

    type(form, {{BranchPanelForm::ratingField(7), "30"}});
    form.writeChanged(regs, op);
    EXPECT_EQ(traffic(), Log{"W 57 30"});
}

TEST_F(ConfigSimTest, CircuitPanelSetsAndTheNextPollFactor) {
    ConfigRegisters regs = add(sim::Model::Circuit8);
    bus().setRegister(kAddress, 72, 0x0007);
    std::string panelName = "PNL1", boardName = "BRD1";
    CircuitPanelForm form;
    form.open(regs, op, panelName, boardName, CircuitMeter8);
    EXPECT_EQ(traffic(), (Log{"R 42 2", "R 44 2", "R 38 4", "R 29 1", "R 72 1"}));
    form.setMeterEnable(regs, op, panelName, boardName);
    EXPECT_EQ(traffic(), (Log{"W 72 7", "R 38 4", "R 29 1", "R 72 1"}));
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text,
              "When using a network display, you should perform a\r\n'FIND METERS' operation "
              "at the display after changing meter selection\r\nsettings.  Otherwise, comms "
              "failures may occur.");

    type(form, {{CircuitPanelForm::BoardNameField, "X"}});
    form.setBoardName(regs, op, panelName, boardName);
    EXPECT_EQ(traffic(), (Log{"W 40 22560", "W 41 8224", "R 38 4"}));
    EXPECT_EQ(boardName, "X   ");
    EXPECT_EQ(form.headerBoardName, "X   ");
    EXPECT_EQ(form.boardNameEdit, "X   ");

    type(form, {{CircuitPanelForm::CtSizeField, "200"}});
    form.setCtSize(regs);
    EXPECT_EQ(traffic(), Log{"W 29 200"});
    std::array<std::int32_t, 37> block{};
    ASSERT_EQ(master.readHoldingRegisters(port, kAddress, 0, 37, block), Ok);
    EXPECT_EQ(currentScaleFor(block[29]), 0.01f);

    bus().setRegister(kAddress, 72, 0x8003);
    form.refresh(regs, op, panelName, boardName);
    EXPECT_FALSE(form.editingAllowed);
}

class RecordingHost : public ConfigFormOpener, public AlarmLampDisplay {
public:
    void openForm(ConfigFormKind) override {}
    void showAlarmsAfterReset(std::span<const std::int32_t> registers) override {
        blocks.emplace_back(registers.begin(), registers.end());
    }
    std::vector<std::vector<std::int32_t>> blocks;
};

TEST_F(ConfigSimTest, AlarmResetTraffic) {
    const struct {
        const char* name;
        sim::Model model;
        Log traffic;
        std::size_t lampRegisters; // 0: lamps not touched
    } cases[] = {
        {"branch monitor",
         sim::Model::Branch,
         {"W 43 0", "W 44 0", "W 45 0", "W 46 0", "W 47 0", "W 48 0", "R 0 49"},
         49},
        {"100 A branch monitor",
         sim::Model::Branch100A,
         {"W 43 0", "W 44 0", "W 45 0", "W 46 0", "W 47 0", "W 48 0", "R 0 49"},
         49},
        {"circuit meter", sim::Model::Circuit6, {"W 36 0", "R 0 37"}, 37},
        {"energy-only meter", sim::Model::Energy, {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        add(c.model);
        RecordingHost host;
        ConfigCommands commands(master, port, devices, op, host, host);
        commands.onAlarmReset(kAddress);
        EXPECT_EQ(traffic(), c.traffic);
        ASSERT_EQ(host.blocks.size(), c.lampRegisters == 0 ? 0u : 1u);
        if (c.lampRegisters != 0) {
            EXPECT_EQ(host.blocks[0].size(), c.lampRegisters);
        }
    }
    EXPECT_TRUE(op.messages.empty());
    EXPECT_EQ(op.busyDepth, 0);
}

} // namespace
} // namespace tarvo
