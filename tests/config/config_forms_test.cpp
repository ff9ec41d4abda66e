#include <gtest/gtest.h>

#include "config/breaker_forms.h"
#include "config/circuit_forms.h"
#include "config/register_bank.h"
#include "devices/device_table.h"
#include "link/comm_trace.h"
#include "support/recording_operator.h"

namespace tarvo {
namespace {

using test::RecordingOperator;
using test::RegisterBank;
using Log = std::vector<std::string>;

class ConfigFormsTest : public ::testing::Test {
protected:
    ConfigRegisters regs(int slaveId) {
        devices.record(kAddress, slaveId);
        return ConfigRegisters(master, bank, devices, kAddress);
    }
    // Texts as shown, with some replaced, taken back into the form.
    static std::optional<TakeFailure>
    edit(ConfigForm& form, std::initializer_list<std::pair<int, const char*>> edits) {
        std::vector<std::string> texts = form.showValues();
        for (const auto& [field, text] : edits)
            texts[static_cast<std::size_t>(field)] = text;
        return form.takeForm(texts);
    }

    static constexpr int kAddress = 3;
    CommTrace trace;
    DeviceTable devices;
    ModbusMaster master{trace, devices};
    RegisterBank bank{kAddress};
    RecordingOperator op;
};

// ---- breaker alarm setpoints

TEST_F(ConfigFormsTest, SetpointGlobalsStartAtTheirDefaultsAndKeepWhatWasTyped) {
    auto r = regs(BranchMonitor);
    BreakerSetpointForm form;
    form.open(r, "P1");
    auto texts = form.showValues();
    EXPECT_EQ(texts[BreakerSetpointForm::kGlobalWarningLimitField], "70");
    EXPECT_EQ(texts[BreakerSetpointForm::kGlobalAlarmLimitField], "80");
    EXPECT_EQ(texts[BreakerSetpointForm::kGlobalAlarmHoldoffField], "10");
    EXPECT_EQ(texts[BreakerSetpointForm::kGlobalWarningHoldoffField], "0");
    EXPECT_EQ(texts[BreakerSetpointForm::kPanelNameField], "P1");
    EXPECT_FALSE(edit(form, {{BreakerSetpointForm::kGlobalWarningLimitField, "75"}}));

    form.open(r, "P1");
    EXPECT_EQ(form.showValues()[BreakerSetpointForm::kGlobalWarningLimitField], "75");
}

TEST_F(ConfigFormsTest, SetpointOkWritesOnlyChangedLevelsAlarmsFirst) {
    const struct {
        const char* name;
        std::vector<std::pair<int, const char*>> edits;
        Log writes;
    } cases[] = {
        {"no change sends nothing", {}, {}},
        {"breaker 42 warning level goes to register 134",
         {{BreakerSetpointForm::warningLevelField(42), "33"}},
         {"W 134 33"}},
        {"alarm level before warning level",
         {{BreakerSetpointForm::warningLevelField(1), "85"},
          {BreakerSetpointForm::alarmLevelField(1), "90"}},
         {"W 135 90", "W 93 85"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = regs(BranchMonitor);
        BreakerSetpointForm form;
        form.open(r, "");
        bank.log.clear();
        std::vector<std::string> texts = form.showValues();
        for (const auto& [field, text] : c.edits)
            texts[static_cast<std::size_t>(field)] = text;
        ASSERT_FALSE(form.takeForm(texts));
        form.writeChanged(r, op);
        EXPECT_EQ(bank.log, c.writes);
        EXPECT_EQ(op.busyDepth, 0);
    }
}

TEST_F(ConfigFormsTest, SetpointLevelAbove100NamesItsFieldAndBounds) {
    auto r = regs(BranchMonitor);
    BreakerSetpointForm form;
    form.open(r, "");
    const auto failure = edit(form, {{BreakerSetpointForm::alarmLevelField(7), "101"}});
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->field, BreakerSetpointForm::alarmLevelField(7));
    EXPECT_EQ(failure->error.message, "Please enter an integer between 0 and 100.");
}

TEST_F(ConfigFormsTest, SetpointSetWritesItsRegisterAndReReadsBothBlocks) {
    auto r = regs(BranchMonitor);
    BreakerSetpointForm form;
    form.open(r, "");
    ASSERT_FALSE(edit(form, {{BreakerSetpointForm::kGlobalAlarmHoldoffField, "65535"},
                             {BreakerSetpointForm::alarmLevelField(2), "55"}}));
    bank.log.clear();
    bank.set(136, 44);
    form.set(r, BreakerSetpointForm::Global::AlarmHoldoff);
    EXPECT_EQ(bank.log, (Log{"W 271 65535", "R 135 42", "R 93 42"}));
    EXPECT_EQ(form.alarmLevels[1], 44) << "the re-read replaces a typed, unwritten level";
    EXPECT_FALSE(edit(form, {{BreakerSetpointForm::kGlobalAlarmHoldoffField, "65535"}}));
    EXPECT_TRUE(edit(form, {{BreakerSetpointForm::kGlobalAlarmHoldoffField, "65536"}}));
}

TEST_F(ConfigFormsTest, SetpointFailedReadShowsMinusOneAndIsRefused) {
    auto r = regs(BranchMonitor);
    bank.failReads = {135};
    BreakerSetpointForm form;
    form.open(r, "");
    EXPECT_EQ(form.showValues()[0], "-1");
    const auto failure = edit(form, {});
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->field, 0);
    EXPECT_EQ(failure->error.message, "Please enter an integer between 0 and 100.");
}

// ---- breaker alarm delays

TEST_F(ConfigFormsTest, DelayOkWritesAlarmDelaysBeforeWarningDelays) {
    auto r = regs(BranchMonitor);
    BreakerDelayForm form;
    form.open(r, "");
    EXPECT_EQ(bank.log, (Log{"R 219 42", "R 177 42"}));
    bank.log.clear();
    ASSERT_FALSE(edit(form, {{BreakerDelayForm::warningDelayField(42), "9"},
                             {BreakerDelayForm::alarmDelayField(1), "65535"}}));
    form.writeChanged(r, op);
    EXPECT_EQ(bank.log, (Log{"W 219 65535", "W 218 9"}));
}

TEST_F(ConfigFormsTest, DelayAbove65535IsRefusedWithItsBounds) {
    auto r = regs(BranchMonitor);
    BreakerDelayForm form;
    form.open(r, "");
    const auto failure = edit(form, {{BreakerDelayForm::warningDelayField(3), "65536"}});
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->field, BreakerDelayForm::warningDelayField(3));
    EXPECT_EQ(failure->error.message, "Please enter an integer between 0 and 65535.");
}

// ---- branch panel configuration

TEST_F(ConfigFormsTest, BranchPanelRangeFollowsTheKind) {
    const struct {
        DeviceKind kind;
        const char* maxLine;
        const char* global;
        bool sixtyAccepted;
    } cases[] = {
        {BranchMonitor, "Max Breaker Amps - 50", "20", false},
        {BranchMonitor100A, "Max Breaker Amps - 100", "60", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.maxLine);
        auto r = regs(c.kind);
        for (int k = 51; k <= 92; ++k)
            bank.set(k, 20);
        BranchPanelForm form;
        form.open(r, "", c.kind);
        EXPECT_EQ(form.maxLine, c.maxLine);
        EXPECT_EQ(form.minLine, "Min Breaker Amps - 10");
        EXPECT_EQ(form.showValues()[BranchPanelForm::kGlobalRatingField], c.global);
        EXPECT_EQ(!edit(form, {{BranchPanelForm::ratingField(1), "60"}}).has_value(),
                  c.sixtyAccepted);
        const auto nine = edit(form, {{BranchPanelForm::ratingField(1), "9"}});
        ASSERT_TRUE(nine);
        EXPECT_EQ(nine->error.message, std::string("Please enter an integer between 10 and ") +
                                           (c.kind == BranchMonitor ? "50." : "100."));
    }
}

TEST_F(ConfigFormsTest, BranchPanelNameSetWritesPaddedNameAndReReads) {
    auto r = regs(BranchMonitor);
    std::string shared = "OLD";
    BranchPanelForm form;
    form.open(r, shared, BranchMonitor);
    ASSERT_FALSE(form.showValues().empty());
    form.panelNameEdit = "P1";
    bank.log.clear();
    form.setPanelName(r, shared);
    EXPECT_EQ(bank.log, (Log{"W 273 20529", "W 274 8224", "R 273 2", "R 51 42"}));
    EXPECT_EQ(shared, "P1  ");
    EXPECT_EQ(form.headerName, "P1  ");
}

TEST_F(ConfigFormsTest, BranchPanelOkWritesOneChangedRating) {
    auto r = regs(BranchMonitor);
    for (int k = 51; k <= 92; ++k)
        bank.set(k, 20);
    BranchPanelForm form;
    form.open(r, "", BranchMonitor);
    bank.log.clear();
    ASSERT_FALSE(edit(form, {{BranchPanelForm::ratingField(7), "30"}}));
    form.writeChanged(r, op);
    EXPECT_EQ(bank.log, Log{"W 57 30"});
}

TEST_F(ConfigFormsTest, BranchPanelLinesShowFailedReadsAsZero) {
    auto r = regs(BranchMonitor);
    bank.failReads = {49, 261, 51};
    BranchPanelForm form;
    form.open(r, "", BranchMonitor);
    EXPECT_EQ(form.firmwareLine, "Firmware V0.0");
    EXPECT_EQ(form.serialLine, "Serial Number - 00000000");
    const auto failure = edit(form, {});
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->field, BranchPanelForm::ratingField(1));
    EXPECT_EQ(failure->error.message, "Please enter an integer between 10 and 50.");
}

TEST(SerialNumberLineTest, PrintsSignedZeroPadded) {
    EXPECT_EQ(serialNumberLine(65538), "Serial Number - 00065538");
    EXPECT_EQ(serialNumberLine(-5), "Serial Number - -0000005");
}

// ---- circuit alarm setup

class CircuitAlarmTest : public ConfigFormsTest {
protected:
    CircuitAlarmForm open(float scale) {
        auto r = regs(CircuitMeter8);
        CircuitAlarmForm form;
        form.open(r, "PNL", "BRD", scale);
        form.showValues();
        bank.log.clear();
        return form;
    }
    void ok(CircuitAlarmForm& form, float scale) {
        auto r = regs(CircuitMeter8);
        form.writeChanged(r, op, scale);
    }
};

TEST_F(CircuitAlarmTest, VoltageLimitConvertsInSinglePrecision) {
    bank.set(30, 12010);
    bank.set(31, 12010);
    bank.set(73, 0);
    CircuitAlarmForm form = open(0.01f);
    EXPECT_EQ(form.showValues()[CircuitAlarmForm::VoltageOverField], "120.1");
    ok(form, 0.01f);
    EXPECT_TRUE(bank.log.empty()) << "an untouched limit must compare equal";
}

TEST_F(CircuitAlarmTest, TypedVoltageLimitTruncatesTowardZero) {
    bank.set(30, 12000);
    bank.set(73, 0);
    CircuitAlarmForm form = open(0.01f);
    // 120.1 in single precision times 100 is 12009.99..., just below 12010.
    ASSERT_FALSE(edit(form, {{CircuitAlarmForm::VoltageOverField, "120.1"},
                             {CircuitAlarmForm::VoltageUnderField, "110"}}));
    ok(form, 0.01f);
    EXPECT_EQ(bank.log, (Log{"W 30 12009", "W 31 11000"}));
}

TEST_F(CircuitAlarmTest, CurrentLimitsDivideByCurrentScale) {
    const struct {
        const char* name;
        float scale;
        const char* text;
        Log writes;
    } cases[] = {
        {"5 at 0.01 is 500", 0.01f, "5", {"W 32 500"}},
        {"100 at 0.001 is 99999, out of range, not sent", 0.001f, "100", {}},
        {"scale 0 writes no current limit", 0.0f, "5", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bank.set(73, 0);
        CircuitAlarmForm form = open(c.scale);
        ASSERT_FALSE(edit(form, {{CircuitAlarmForm::CurrentOverField, c.text}}));
        ok(form, c.scale);
        EXPECT_EQ(bank.log, c.writes);
    }
}

TEST_F(CircuitAlarmTest, CriticalMaskKeepsOnlyBitsWithBoxes) {
    const struct {
        const char* name;
        int deviceMask;
        Log writes;
    } cases[] = {
        {"bit 9 has no box", 0x0208, {"W 73 8"}},
        {"one phase loss bit sets all three", 0x0040, {"W 73 448"}},
        {"a mask the boxes show exactly is not rewritten", 0x01C3, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bank.set(73, c.deviceMask);
        CircuitAlarmForm form = open(0.01f);
        ok(form, 0.01f);
        EXPECT_EQ(bank.log, c.writes);
    }
}

TEST_F(CircuitAlarmTest, FailedReadsShowFillsAndTheFirstRangeMessage) {
    bank.failReads = {30, 73};
    CircuitAlarmForm form = open(0.01f);
    const auto texts = form.showValues();
    EXPECT_EQ(texts[CircuitAlarmForm::VoltageOverField], "-0.01");
    EXPECT_EQ(texts[CircuitAlarmForm::CurrentOverField], "-0.01");
    EXPECT_EQ(texts[CircuitAlarmForm::PhaseLossField], "-1");
    EXPECT_TRUE(form.critical[CircuitAlarmForm::CriticalCurrentOver]);
    EXPECT_TRUE(form.critical[CircuitAlarmForm::CriticalPhaseLoss]);
    EXPECT_FALSE(form.critical[CircuitAlarmForm::CriticalKvaUnder]);
    const auto failure = form.takeForm(texts);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->field, CircuitAlarmForm::CurrentOverField);
    EXPECT_EQ(failure->error.message, "Please enter a number between 0 and 65535.");
    EXPECT_EQ(form.criticalMask(), 0x1C1);
}

TEST_F(CircuitAlarmTest, LettersInALimitAreNotANumber) {
    bank.set(73, 0);
    CircuitAlarmForm form = open(0.01f);
    const auto failure = edit(form, {{CircuitAlarmForm::KvaUnderField, "abc"}});
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->field, CircuitAlarmForm::KvaUnderField);
    EXPECT_EQ(failure->error.message, "Please enter a number.");
    EXPECT_FALSE(failure->error.exclamation);
}

// ---- circuit panel configuration

class CircuitPanelTest : public ConfigFormsTest {
protected:
    CircuitPanelForm open(DeviceKind kind, int meterEnable) {
        bank.set(72, meterEnable);
        auto r = regs(kind);
        CircuitPanelForm form;
        form.open(r, op, panel, board, kind);
        bank.log.clear();
        return form;
    }
    std::string panel = "P";
    std::string board = "B";
};

using Box = CircuitPanelForm::Box;

TEST_F(CircuitPanelTest, MeterBoxesFollowRegister72) {
    CircuitPanelForm form = open(CircuitMeter8, 0x0007);
    const std::array<Box, 8> expected = {Box::Checked,   Box::Checked,   Box::Checked,
                                         Box::Unchecked, Box::Unchecked, Box::Unchecked,
                                         Box::Unchecked, Box::Unchecked};
    EXPECT_EQ(form.boxes, expected);
    EXPECT_TRUE(form.editingAllowed);
    auto r = regs(CircuitMeter8);
    form.setMeterEnable(r, op, panel, board);
    EXPECT_EQ(bank.log, (Log{"W 72 7", "R 38 4", "R 29 1", "R 72 1"}));
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text,
              "When using a network display, you should perform a\r\n'FIND METERS' operation "
              "at the display after changing meter selection\r\nsettings.  Otherwise, comms "
              "failures may occur.");
    EXPECT_EQ(op.busyDepth, 0);
}

TEST_F(CircuitPanelTest, SixMeterDeviceKeepsBoxes7And8Indeterminate) {
    CircuitPanelForm form = open(CircuitMeter6, 0x00FF);
    EXPECT_EQ(form.boxes[6], Box::Indeterminate);
    form.clickBox(7);
    form.clickBox(8);
    EXPECT_EQ(form.boxes[6], Box::Indeterminate);
    EXPECT_EQ(form.boxes[7], Box::Indeterminate);
    EXPECT_EQ(form.meterEnableValue() & 0xC0, 0);
}

TEST_F(CircuitPanelTest, EditLockFreezesBoxes2To6AndBox1NeverClears) {
    CircuitPanelForm form = open(CircuitMeter8, 0x8003);
    EXPECT_FALSE(form.editingAllowed);
    form.clickBox(3);
    EXPECT_EQ(form.boxes[2], Box::Unchecked);
    form.clickBox(1);
    EXPECT_EQ(form.boxes[0], Box::Checked);
    form.clickBox(7); // boxes 7 and 8 of an 8-meter device toggle regardless
    EXPECT_EQ(form.boxes[6], Box::Checked);
    EXPECT_EQ(form.meterEnableValue(), 0x43) << "bit 15 is never written";
}

TEST_F(CircuitPanelTest, ClicksToggleWhenEditingIsAllowed) {
    CircuitPanelForm form = open(CircuitMeter8, 0x0001);
    form.clickBox(2);
    form.clickBox(8);
    EXPECT_EQ(form.meterEnableValue(), 0x83);
    form.clickBox(2);
    EXPECT_EQ(form.meterEnableValue(), 0x81);
}

TEST_F(CircuitPanelTest, BoardNameSetWritesPaddedAndReReadsNames) {
    CircuitPanelForm form = open(CircuitMeter8, 0);
    form.boardNameEdit = "X";
    auto r = regs(CircuitMeter8);
    form.setBoardName(r, op, panel, board);
    EXPECT_EQ(bank.log, (Log{"W 40 22560", "W 41 8224", "R 38 4"}));
    EXPECT_EQ(board, "X   ");
    EXPECT_EQ(form.headerBoardName, "X   ");
    EXPECT_EQ(form.boardNameEdit, "X   ");
}

TEST_F(CircuitPanelTest, CtSizeSetWritesWithoutReRead) {
    CircuitPanelForm form = open(CircuitMeter8, 0);
    ASSERT_FALSE(edit(form, {{CircuitPanelForm::CtSizeField, "200"}}));
    auto r = regs(CircuitMeter8);
    form.setCtSize(r);
    EXPECT_EQ(bank.log, Log{"W 29 200"});
    const auto failure = edit(form, {{CircuitPanelForm::CtSizeField, "6000"}});
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->error.message, "Please enter an integer between 1 and 5999.");
}

TEST_F(CircuitPanelTest, FailedReadsLockEditingAndRefuseTheCtSize) {
    bank.failReads = {72, 29, 38};
    CircuitPanelForm form = open(CircuitMeter8, 0x0007);
    EXPECT_FALSE(form.editingAllowed);
    EXPECT_EQ(form.boxes[1], Box::Indeterminate);
    EXPECT_EQ(form.ctSize, -1);
    EXPECT_EQ(panel, "P") << "names stay as they were";
    EXPECT_EQ(form.headerPanelName, "P");
}

} // namespace
} // namespace tarvo
