// Form logic against a register bank: the exact traffic of each action,
// refusals, failure fills and the meter boxes.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <tuple>
#include <utility>

#include "config/breaker_forms.h"
#include "config/circuit_forms.h"
#include "config/register_bank.h"

namespace tarvo {
namespace {

using test::Log;
using Edits = std::vector<std::pair<int, const char*>>;

class ConfigFormsTest : public test::RegisterBankTest {
protected:
    // A form of a device of `kind`, opened against the bank.
    template <typename Form, typename... Args>
    std::unique_ptr<Form> opened(int kind, Args&&... args) {
        auto r = regs(kind);
        auto form = std::make_unique<Form>();
        form->open(r, args...);
        form->showValues();
        bank.log.clear();
        return form;
    }
    auto setpoints() { return opened<BreakerSetpointForm>(BranchMonitor, ""); }
    auto branchPanel(DeviceKind kind) {
        for (int k = 51; k <= 92; ++k)
            bank.set(k, 30);
        return opened<BranchPanelForm>(kind, "", kind);
    }
    auto circuitPanel(DeviceKind kind) {
        return opened<CircuitPanelForm>(kind, op, panel, board, kind);
    }
    // Texts as shown, with some replaced, taken back into the form.
    static std::optional<TakeFailure> edit(ConfigForm& form, const Edits& edits) {
        std::vector<std::string> texts = form.showValues();
        for (const auto& [field, text] : edits)
            texts[static_cast<std::size_t>(field)] = text;
        return form.takeForm(texts);
    }
    // The requests since the last call, as "R first count" and "W reg value".
    Log traffic() { return std::exchange(bank.log, {}); }

    std::string panel = "P";
    std::string board = "B";
};

TEST_F(ConfigFormsTest, SetpointsWriteOnlyWhatChangedInOrder) {
    auto r = regs(BranchMonitor);
    BreakerSetpointForm form;
    form.open(r, "PNL1");
    EXPECT_EQ(traffic(), (Log{"R 135 42", "R 93 42"}));
    ASSERT_FALSE(edit(form, {}));
    form.writeChanged(r, op);
    EXPECT_EQ(traffic(), Log{}) << "OK without changes";

    ASSERT_FALSE(edit(form, {{BreakerSetpointForm::warningLevelField(42), "65"}}));
    form.writeChanged(r, op);
    EXPECT_EQ(traffic(), Log{"W 134 65"});

    form.open(r, "PNL1");
    traffic();
    ASSERT_FALSE(edit(form, {{BreakerSetpointForm::alarmLevelField(1), "90"},
                             {BreakerSetpointForm::warningLevelField(1), "85"}}));
    form.writeChanged(r, op);
    EXPECT_EQ(traffic(), (Log{"W 135 90", "W 93 85"}));

    ASSERT_FALSE(edit(form, {{BreakerSetpointForm::kGlobalAlarmHoldoffField, "65535"},
                             {BreakerSetpointForm::alarmLevelField(2), "55"}}));
    bank.set(136, 44);
    form.set(r, BreakerSetpointForm::Global::AlarmHoldoff);
    EXPECT_EQ(traffic(), (Log{"W 271 65535", "R 135 42", "R 93 42"}));
    EXPECT_EQ(form.alarmLevels[1], 44) << "the re-read replaces a typed, unwritten level";
    EXPECT_EQ(op.busyDepth, 0);
}

TEST_F(ConfigFormsTest, DelaysWriteAlarmBeforeWarning) {
    auto r = regs(BranchMonitor);
    BreakerDelayForm form;
    form.open(r, "PNL1");
    EXPECT_EQ(traffic(), (Log{"R 219 42", "R 177 42"}));
    ASSERT_FALSE(edit(form, {{BreakerDelayForm::warningDelayField(42), "7"},
                             {BreakerDelayForm::alarmDelayField(1), "30"}}));
    form.writeChanged(r, op);
    EXPECT_EQ(traffic(), (Log{"W 219 30", "W 218 7"}));
}

TEST_F(ConfigFormsTest, CircuitAlarmConversionsOnTheLine) {
    auto r = regs(CircuitMeter8);
    bank.set(30, 12010);
    bank.set(73, 0x0208);
    CircuitAlarmForm form;
    form.open(r, "PNL1", "BRD1", 0.01f);
    EXPECT_EQ(traffic(), (Log{"R 30 8", "R 73 1"}));
    EXPECT_EQ(form.showValues()[CircuitAlarmForm::VoltageOverField], "120.1");
    form.writeChanged(r, op, 0.01f);
    EXPECT_EQ(traffic(), Log{"W 73 8"}) << "120.1 is not rewritten; bit 9 has no box";

    bank.set(30, 12000);
    bank.set(73, 0x0040);
    form.open(r, "PNL1", "BRD1", 0.01f);
    traffic();
    ASSERT_FALSE(edit(form, {{CircuitAlarmForm::VoltageOverField, "120.1"},
                             {CircuitAlarmForm::CurrentOverField, "5"}}));
    form.writeChanged(r, op, 0.01f);
    EXPECT_EQ(traffic(), (Log{"W 30 12009", "W 32 500", "W 73 448"}));

    form.open(r, "PNL1", "BRD1", 0.001f);
    traffic();
    ASSERT_FALSE(edit(form, {{CircuitAlarmForm::CurrentOverField, "100"}}));
    form.writeChanged(r, op, 0.001f);
    EXPECT_EQ(traffic(), Log{}) << "99999 does not fit a register; the boxes show the mask";

    form.open(r, "PNL1", "BRD1", 0.0f);
    traffic();
    ASSERT_FALSE(edit(form, {{CircuitAlarmForm::CurrentOverField, "5"}}));
    form.writeChanged(r, op, 0.0f);
    EXPECT_EQ(traffic(), Log{}) << "scale 0 gives a current limit no register value";

    bank.failReads = {30, 73};
    form.open(r, "PNL1", "BRD1", 0.01f);
    EXPECT_EQ(form.criticalMask(), 0x1C1) << "a failed mask read ticks only the boxed bits";
    const auto texts = form.showValues();
    EXPECT_EQ(texts[CircuitAlarmForm::VoltageOverField], "-0.01");
    EXPECT_EQ(texts[CircuitAlarmForm::PhaseLossField], "-1");
    const auto failure = form.takeForm(texts);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->field, CircuitAlarmForm::CurrentOverField);
    EXPECT_EQ(failure->error.message, "Please enter a number between 0 and 65535.");
}

TEST_F(ConfigFormsTest, BranchPanelNameAndRatingTraffic) {
    for (int k = 51; k <= 92; ++k)
        bank.set(k, 20);
    bank.set(49, 2);
    bank.set(50, 5);
    bank.set(261, 0xFFFF); // -5, printed signed
    bank.set(262, 0xFFFB);
    auto r = regs(BranchMonitor);
    std::string panelName = "PNL1";
    BranchPanelForm form;
    form.open(r, panelName, BranchMonitor);
    EXPECT_EQ(traffic(), (Log{"R 51 42", "R 49 2", "R 261 2"}));
    EXPECT_EQ(form.firmwareLine, "Firmware V2.5");
    EXPECT_EQ(form.serialLine, "Serial Number - -0000005");

    ASSERT_FALSE(edit(form, {{BranchPanelForm::kPanelNameField, "P1"}}));
    form.setPanelName(r, panelName);
    EXPECT_EQ(traffic(), (Log{"W 273 20529", "W 274 8224", "R 273 2", "R 51 42"}));
    EXPECT_EQ(panelName, "P1  ");
    EXPECT_EQ(form.headerName, "P1  ");

    ASSERT_FALSE(edit(form, {{BranchPanelForm::ratingField(7), "30"}}));
    form.writeChanged(r, op);
    EXPECT_EQ(traffic(), Log{"W 57 30"});
}

TEST_F(ConfigFormsTest, CircuitPanelSetsTraffic) {
    bank.set(72, 0x0007);
    bank.set(29, 100);
    auto r = regs(CircuitMeter8);
    std::string panelName = "PNL1", boardName = "BRD1";
    CircuitPanelForm form;
    form.open(r, op, panelName, boardName, CircuitMeter8);
    EXPECT_EQ(traffic(), (Log{"R 42 2", "R 44 2", "R 38 4", "R 29 1", "R 72 1"}));
    form.setMeterEnable(r, op, panelName, boardName);
    EXPECT_EQ(traffic(), (Log{"W 72 7", "R 38 4", "R 29 1", "R 72 1"}));
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text,
              "When using a network display, you should perform a\r\n'FIND METERS' operation "
              "at the display after changing meter selection\r\nsettings.  Otherwise, comms "
              "failures may occur.");

    ASSERT_FALSE(edit(form, {{CircuitPanelForm::BoardNameField, "X"}}));
    form.setBoardName(r, op, panelName, boardName);
    EXPECT_EQ(traffic(), (Log{"W 40 22560", "W 41 8224", "R 38 4"}));
    EXPECT_EQ(boardName, "X   ");
    EXPECT_EQ(form.headerBoardName, "X   ");
    EXPECT_EQ(form.boardNameEdit, "X   ");

    ASSERT_FALSE(edit(form, {{CircuitPanelForm::CtSizeField, "200"}}));
    form.setCtSize(r);
    EXPECT_EQ(traffic(), Log{"W 29 200"});

    bank.set(72, 0x8003);
    form.refresh(r, op, panelName, boardName);
    EXPECT_FALSE(form.editingAllowed);
}

// What takeForm refuses names its field, so the dialog can focus it, and the
// bounds. A block that could not be read holds -1, which is refused too, so
// OK cannot write the fill back.
TEST_F(ConfigFormsTest, RefusedFieldsNameThemselvesAndTheirBounds) {
    const auto failing = [this](std::set<int> reads, auto open) {
        return [this, reads, open] {
            bank.failReads = reads;
            return std::unique_ptr<ConfigForm>(open());
        };
    };
    const struct {
        const char* name;
        std::function<std::unique_ptr<ConfigForm>()> open;
        int field;
        const char* typed;   // nullptr: the form as opened
        const char* message; // nullptr: the whole form is accepted
    } cases[] = {
        {"holdoff above 65535", [this] { return setpoints(); },
         BreakerSetpointForm::kGlobalAlarmHoldoffField, "65536",
         "Please enter an integer between 0 and 65535."},
        {"delay above 65535", [this] { return opened<BreakerDelayForm>(BranchMonitor, ""); },
         BreakerDelayForm::warningDelayField(3), "65536",
         "Please enter an integer between 0 and 65535."},
        {"CT size above 5999", [this] { return circuitPanel(CircuitMeter8); },
         CircuitPanelForm::CtSizeField, "6000", "Please enter an integer between 1 and 5999."},
        {"rating 60 on a 50 A monitor", [this] { return branchPanel(BranchMonitor); },
         BranchPanelForm::ratingField(1), "60", "Please enter an integer between 10 and 50."},
        {"rating 60 on a 100 A monitor", [this] { return branchPanel(BranchMonitor100A); },
         BranchPanelForm::ratingField(1), "60", nullptr},
        {"rating 9 on a 100 A monitor", [this] { return branchPanel(BranchMonitor100A); },
         BranchPanelForm::ratingField(1), "9", "Please enter an integer between 10 and 100."},
        {"failed level read", failing({135}, [this] { return setpoints(); }), 0, nullptr,
         "Please enter an integer between 0 and 100."},
        {"failed rating read",
         failing({49, 261, 51}, [this] { return branchPanel(BranchMonitor); }),
         BranchPanelForm::ratingField(1), nullptr, "Please enter an integer between 10 and 50."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bank.failReads.clear();
        auto form = c.open();
        const auto failure = c.typed ? edit(*form, {{c.field, c.typed}}) : edit(*form, {});
        if (c.message == nullptr) {
            EXPECT_FALSE(failure);
            continue;
        }
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->field, c.field);
        EXPECT_EQ(failure->error.message, c.message);
    }
}

TEST_F(ConfigFormsTest, BranchPanelShowsTheRangeOfItsKind) {
    const std::tuple<DeviceKind, const char*, const char*> cases[] = {
        {BranchMonitor, "Max Breaker Amps - 50", "20"},
        {BranchMonitor100A, "Max Breaker Amps - 100", "60"},
    };
    for (const auto& [kind, maxLine, globalRating] : cases) {
        auto form = branchPanel(kind);
        EXPECT_EQ(form->maxLine, maxLine);
        EXPECT_EQ(form->minLine, "Min Breaker Amps - 10");
        EXPECT_EQ(form->showValues()[BranchPanelForm::kGlobalRatingField], globalRating);
    }
}

using Box = CircuitPanelForm::Box;

TEST_F(ConfigFormsTest, MeterBoxClicksFollowTheKindAndTheEditLock) {
    const struct {
        const char* name;
        DeviceKind kind;
        int meterEnable;
        std::vector<int> clicks;
        int value;
    } cases[] = {
        {"boxes toggle when editing is allowed", CircuitMeter8, 0x0001, {2, 8}, 0x83},
        {"a second click clears", CircuitMeter8, 0x0001, {2, 8, 2}, 0x81},
        {"the lock freezes 2-6, box 1 never clears, 7 still toggles, bit 15 is not written",
         CircuitMeter8,
         0x8003,
         {3, 1, 7},
         0x43},
        {"a six-meter device has no meters 7 and 8", CircuitMeter6, 0x00FF, {7, 8}, 0x3F},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bank.set(72, c.meterEnable);
        auto form = circuitPanel(c.kind);
        EXPECT_EQ(form->editingAllowed, (c.meterEnable & 0x8000) == 0);
        for (int meter : c.clicks)
            form->clickBox(meter);
        EXPECT_EQ(form->meterEnableValue(), c.value);
        if (c.kind == CircuitMeter6) {
            EXPECT_EQ(form->boxes[6], Box::Indeterminate);
            EXPECT_EQ(form->boxes[7], Box::Indeterminate);
        }
    }
}

TEST_F(ConfigFormsTest, CircuitPanelFailedReadsLockEditingAndKeepTheNames) {
    bank.failReads = {72, 29, 38};
    bank.set(72, 0x0007);
    auto form = circuitPanel(CircuitMeter8);
    EXPECT_FALSE(form->editingAllowed);
    EXPECT_EQ(form->boxes[1], Box::Indeterminate);
    EXPECT_EQ(form->ctSize, -1);
    EXPECT_EQ(panel, "P");
    EXPECT_EQ(form->headerPanelName, "P");
}

} // namespace
} // namespace tarvo
