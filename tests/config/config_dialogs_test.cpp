#include <gtest/gtest.h>

#include <tuple>

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "config/circuit_forms.h"
#include "config/config_dialogs.h"
#include "config/register_bank.h"
#include "session/app_state.h"
#include "support/qt_application.h"

namespace tarvo {
namespace {

[[maybe_unused]] auto* const kQt = ::testing::AddGlobalTestEnvironment(new test::QtApplication);

using test::Log;

class ConfigDialogsTest : public test::RegisterBankTest {
protected:
    // Loads the form for a device of `kind` and shows it as the active
    // window, so focus moves as for the operator.
    ConfigDialog& open(ConfigFormKind form, DeviceKind kind, ConfigDialogs* from = nullptr) {
        devices.record(kAddress, kind);
        selection.selectedAddress = kAddress;
        selection.selectedKind = kind;
        ConfigDialog& dialog = (from ? *from : dialogs).dialog(form);
        dialog.load(kAddress, kind);
        dialog.show();
        dialog.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&dialog));
        return dialog;
    }
    template <typename T = QLineEdit>
    static T* child(QWidget& dialog, const char* name) {
        T* widget = dialog.findChild<T*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    // Types over a field's text and moves the focus on to `next` as Tab
    // would (nullptr: the focus stays in the field).
    QLineEdit* type(QWidget& dialog, const char* name, const char* text,
                    const char* next = nullptr) {
        QLineEdit* field = child(dialog, name);
        field->setFocus(Qt::TabFocusReason);
        QCoreApplication::processEvents(); // leaving the field before, as between key presses
        field->selectAll();
        QTest::keyClicks(field, text);
        if (next != nullptr)
            child(dialog, next)->setFocus(Qt::TabFocusReason);
        QCoreApplication::processEvents();
        return field;
    }
    static void click(QWidget& dialog, const char* name) {
        QTest::mouseClick(child<QAbstractButton>(dialog, name), Qt::LeftButton);
    }

    std::string panelName = "PNL1";
    std::string boardName = "BRD1";
    float currentScale = 0.01f;
    std::vector<QString> helpTopics;
    ConfigDialogContext context{
        master,    bank,      devices,      op,
        panelName, boardName, currentScale, [this](const QString& t) { helpTopics.push_back(t); }};
    Selection selection;
    ConfigDialogs dialogs{context, selection, nullptr};
};

// Titles and button texts stand in the .ui files; the help topic and the one
// object per form for the run are the code's.
TEST_F(ConfigDialogsTest, HelpOpensEachFormsOwnTopic) {
    const std::pair<ConfigFormKind, const char*> cases[] = {
        {ConfigFormKind::BreakerAlarmSetup, "BreakerAlarmSetupDialog"},
        {ConfigFormKind::BreakerAlarmDelay, "BreakerAlarmDelayDialog"},
        {ConfigFormKind::CircuitAlarmSetup, "CircuitAlarmSetupDialog"},
        {ConfigFormKind::BranchPanelConfig, "BranchPanelConfigDialog"},
        {ConfigFormKind::CircuitPanelConfig, "CircuitPanelConfigDialog"},
    };
    for (const auto& [kind, topic] : cases) {
        ConfigDialog& dialog = dialogs.dialog(kind);
        EXPECT_EQ(&dialog, &dialogs.dialog(kind)) << "one object of each form for the run";
        click(dialog, "helpButton");
        EXPECT_EQ(helpTopics.back(), topic);
    }
}

TEST_F(ConfigDialogsTest, OddBreakersStandLeftOfEvenOnes) {
    ConfigDialog& dialog = open(ConfigFormKind::BreakerAlarmDelay, BranchMonitor);
    auto* grid = child<QGridLayout>(dialog, "breakerGrid");
    const auto cell = [grid](QWidget* w) {
        int row = 0, column = 0, rs = 0, cs = 0;
        grid->getItemPosition(grid->indexOf(w), &row, &column, &rs, &cs);
        return std::pair{row, column};
    };
    const auto one = cell(child(dialog, "alarmDelay1"));
    const auto two = cell(child(dialog, "alarmDelay2"));
    const auto three = cell(child(dialog, "alarmDelay3"));
    const auto fortyTwo = cell(child(dialog, "warningDelay42"));
    EXPECT_EQ(one.first, two.first);
    EXPECT_LT(one.second, two.second);
    EXPECT_EQ(three.second, one.second);
    EXPECT_EQ(three.first, one.first + 1);
    EXPECT_EQ(fortyTwo.first, one.first + 20);
    EXPECT_EQ(child(dialog, "panelName")->text(), "PNL1");
    EXPECT_EQ(child(dialog, "alarmDelay1")->maxLength(), 5);
}

TEST_F(ConfigDialogsTest, SetpointGlobalsKeepWhatWasTypedAcrossOpenings) {
    ConfigDialog& dialog = open(ConfigFormKind::BreakerAlarmSetup, BranchMonitor);
    EXPECT_EQ(child(dialog, "globalWarningLimit")->text(), "70");
    EXPECT_EQ(child(dialog, "globalAlarmLimit")->text(), "80");
    EXPECT_EQ(child(dialog, "globalAlarmHoldoff")->text(), "10");
    EXPECT_EQ(child(dialog, "globalWarningHoldoff")->text(), "0");
    type(dialog, "globalWarningLimit", "75", "globalAlarmLimit");
    click(dialog, "cancelButton");
    EXPECT_FALSE(dialog.isVisible());

    dialog.load(kAddress, BranchMonitor);
    EXPECT_EQ(child(dialog, "globalWarningLimit")->text(), "75");
    EXPECT_TRUE(bank.writes().empty()) << "Cancel writes nothing";
}

TEST_F(ConfigDialogsTest, LevelOutOfRangeReportsAndTakesTheFocusBack) {
    ConfigDialog& dialog = open(ConfigFormKind::BreakerAlarmSetup, BranchMonitor);
    type(dialog, "alarmLevel5", "101", "alarmLevel6");
    QCoreApplication::processEvents();
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_TRUE(op.messages[0].exclamation);
    QLineEdit* field = child(dialog, "alarmLevel5");
    EXPECT_TRUE(field->hasFocus());
    EXPECT_EQ(field->selectedText(), "101");

    click(dialog, "okButton");
    EXPECT_TRUE(dialog.isVisible()) << "a bad field keeps the form open";
    EXPECT_EQ(op.messages.size(), 2u);
    EXPECT_TRUE(bank.writes().empty());
}

TEST_F(ConfigDialogsTest, LettersThenCriticalClickIsNotANumber) {
    ConfigDialog& dialog = open(ConfigFormKind::CircuitAlarmSetup, CircuitMeter8);
    EXPECT_EQ(child(dialog, "panelName")->text(), "PNL1");
    EXPECT_EQ(child(dialog, "boardName")->text(), "BRD1");
    QLineEdit* field = type(dialog, "voltageUnder", "abc");
    click(dialog, "kvaOverCritical");
    QCoreApplication::processEvents();
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_FALSE(op.messages[0].exclamation);
    EXPECT_TRUE(field->hasFocus());
    EXPECT_EQ(field->selectedText(), field->text());
    click(dialog, "cancelButton");
    EXPECT_TRUE(bank.writes().empty());
}

// The buttons and boxes reach the form; what each action writes is proven on
// the forms themselves.
TEST_F(ConfigDialogsTest, EachGlobalSetButtonWritesItsOwnRegister) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"globalWarningLimit", "setGlobalWarningLimit", "W 268 50"},
        {"globalAlarmLimit", "setGlobalAlarmLimit", "W 269 50"},
        {"globalWarningHoldoff", "setGlobalWarningHoldoff", "W 270 50"},
        {"globalAlarmHoldoff", "setGlobalAlarmHoldoff", "W 271 50"},
    };
    ConfigDialog& dialog = open(ConfigFormKind::BreakerAlarmSetup, BranchMonitor);
    for (const auto& [field, button, write] : cases) {
        bank.log.clear();
        child(dialog, field)->setText("50");
        click(dialog, button);
        EXPECT_EQ(bank.writes(), Log{write});
    }
}

TEST_F(ConfigDialogsTest, CircuitAlarmOkWritesTheFieldsAndBoxesConverted) {
    bank.set(30, 12010);
    bank.set(73, 0x0040);
    ConfigDialog& dialog = open(ConfigFormKind::CircuitAlarmSetup, CircuitMeter8);
    EXPECT_EQ(child(dialog, "voltageOver")->text(), "120.1");
    EXPECT_TRUE(child<QCheckBox>(dialog, "phaseLossCritical")->isChecked());
    child(dialog, "currentOver")->setText("5");
    bank.log.clear();
    click(dialog, "okButton");
    EXPECT_EQ(bank.log, (Log{"W 32 500", "W 73 448"}));
}

TEST_F(ConfigDialogsTest, BranchPanelShowsItsRangeAndRenamesThePanel) {
    for (int reg = 51; reg <= 92; ++reg)
        bank.set(reg, 60);
    ConfigDialog& dialog = open(ConfigFormKind::BranchPanelConfig, BranchMonitor100A);
    EXPECT_EQ(child(dialog, "maxLine")->text(), "Max Breaker Amps - 100");
    child(dialog, "panelNameEdit")->setText("P1");
    click(dialog, "setPanelName");
    EXPECT_EQ(child(dialog, "headerPanelName")->text(), "P1  ");
    EXPECT_EQ(panelName, "P1  ");
}

TEST_F(ConfigDialogsTest, CircuitPanelEditLockHidesSetsAndDisablesBoardName) {
    bank.set(72, 0x8003);
    ConfigDialog& dialog = open(ConfigFormKind::CircuitPanelConfig, CircuitMeter8);
    EXPECT_FALSE(child<QPushButton>(dialog, "setBoardName")->isVisible());
    EXPECT_FALSE(child<QPushButton>(dialog, "setMeterEnable")->isVisible());
    EXPECT_FALSE(child(dialog, "boardNameEdit")->isEnabled());
    EXPECT_TRUE(child<QPushButton>(dialog, "setPanelName")->isVisible());
}

TEST_F(ConfigDialogsTest, CircuitPanelSixMeterBoxesStayIndeterminateAndKeepTypedText) {
    bank.set(72, 0x0001);
    ConfigDialog& dialog = open(ConfigFormKind::CircuitPanelConfig, CircuitMeter6);
    QLineEdit* ct = type(dialog, "ctSize", "200");
    auto* seven = child<QCheckBox>(dialog, "meter7");
    EXPECT_EQ(seven->checkState(), Qt::PartiallyChecked);
    click(dialog, "meter7");
    EXPECT_EQ(seven->checkState(), Qt::PartiallyChecked);
    click(dialog, "meter2");
    QCoreApplication::processEvents();
    EXPECT_EQ(ct->text(), "200") << "a box click keeps the typed text";
    bank.log.clear();
    click(dialog, "setCtSize");
    click(dialog, "setMeterEnable");
    EXPECT_EQ(bank.writes(), (Log{"W 29 200", "W 72 3"}));
}

// Each row: a register value out of its field's range, as the device holds
// it, and the button that must refuse it rather than write a cut value.
struct CutCase {
    const char* fault;
    DeviceKind kind;
    ConfigFormKind form;
    int reg, value;
    const char *field, *shown, *button, *message;
};
const CutCase kCuts[] = {
    {"CT size cut to 1234 and set", CircuitMeter8, ConfigFormKind::CircuitPanelConfig, 29, 12345,
     "ctSize", "12345", "setCtSize", "Please enter an integer between 1 and 5999."},
    {"100 A rating cut to 100 and written", BranchMonitor100A, ConfigFormKind::BranchPanelConfig,
     51, 1000, "rating1", "1000", "okButton", "Please enter an integer between 10 and 100."},
    {"alarm level cut to 655 and written", BranchMonitor, ConfigFormKind::BreakerAlarmSetup, 135,
     65535, "alarmLevel1", "65535", "okButton", "Please enter an integer between 0 and 100."},
};

TEST_F(ConfigDialogsTest, ValuesReadAreShownWholeAndRefusedNotCut) {
    for (const CutCase& c : kCuts) {
        SCOPED_TRACE(c.fault);
        for (int reg = 51; reg <= 92; ++reg)
            bank.set(reg, 20);
        bank.set(c.reg, c.value);
        bank.log.clear();
        ConfigDialog& dialog = open(c.form, c.kind);
        EXPECT_EQ(child(dialog, c.field)->text(), c.shown);
        click(dialog, c.button);
        ASSERT_FALSE(op.messages.empty());
        EXPECT_EQ(op.messages.back().text, c.message);
        EXPECT_TRUE(bank.writes().empty());
        dialog.close();
    }
}

} // namespace
} // namespace tarvo
