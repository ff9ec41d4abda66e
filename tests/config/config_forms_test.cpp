// Form logic against a register bank. The traffic of each action on a real
// line is asserted in config_sim_test.cpp; these are the cases it cannot
// reach: refusals, failure fills and the meter boxes.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

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
            bank.set(k, 20);
        return opened<BranchPanelForm>(kind, "", kind);
    }
    auto circuitAlarm(float scale) {
        return opened<CircuitAlarmForm>(CircuitMeter8, "PNL", "BRD", scale);
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

    std::string panel = "P";
    std::string board = "B";
};

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
        {"rating 9 on a 50 A monitor", [this] { return branchPanel(BranchMonitor); },
         BranchPanelForm::ratingField(1), "9", "Please enter an integer between 10 and 50."},
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

TEST_F(ConfigFormsTest, SetpointSetReReadReplacesTypedUnwrittenLevels) {
    auto form = setpoints();
    ASSERT_FALSE(edit(*form, {{BreakerSetpointForm::alarmLevelField(2), "55"}}));
    bank.set(136, 44);
    auto r = regs(BranchMonitor);
    form->set(r, BreakerSetpointForm::Global::AlarmHoldoff);
    EXPECT_EQ(form->alarmLevels[1], 44);
}

// The 100 A lines are read from the dialog in config_dialogs_test.cpp.
TEST_F(ConfigFormsTest, BranchPanelOf50AMonitorShowsItsRange) {
    auto form = branchPanel(BranchMonitor);
    EXPECT_EQ(form->maxLine, "Max Breaker Amps - 50");
    EXPECT_EQ(form->minLine, "Min Breaker Amps - 10");
    EXPECT_EQ(form->showValues()[BranchPanelForm::kGlobalRatingField], "20");
}

TEST(SerialNumberLineTest, PrintsSignedZeroPadded) {
    EXPECT_EQ(serialNumberLine(65538), "Serial Number - 00065538");
    EXPECT_EQ(serialNumberLine(-5), "Serial Number - -0000005");
}

TEST_F(ConfigFormsTest, CircuitAlarmOkSendsNothingItCannotOrNeedNotWrite) {
    const struct {
        const char* name;
        float scale;
        int deviceMask;
        Edits edits;
    } cases[] = {
        {"current scale 0 gives a current limit no register value",
         0.0f,
         0,
         {{CircuitAlarmForm::CurrentOverField, "5"}}},
        {"a mask the boxes show exactly is not rewritten", 0.01f, 0x01C3, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bank.set(73, c.deviceMask);
        auto form = circuitAlarm(c.scale);
        ASSERT_FALSE(edit(*form, c.edits));
        auto r = regs(CircuitMeter8);
        form->writeChanged(r, op, c.scale);
        EXPECT_EQ(bank.log, Log{});
    }
}

TEST_F(ConfigFormsTest, CircuitAlarmFailedMaskReadTicksOnlyTheBoxedBits) {
    bank.failReads = {73};
    auto form = circuitAlarm(0.01f);
    EXPECT_TRUE(form->critical[CircuitAlarmForm::CriticalCurrentOver]);
    EXPECT_TRUE(form->critical[CircuitAlarmForm::CriticalPhaseLoss]);
    EXPECT_FALSE(form->critical[CircuitAlarmForm::CriticalKvaUnder]);
    EXPECT_EQ(form->criticalMask(), 0x1C1);
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
