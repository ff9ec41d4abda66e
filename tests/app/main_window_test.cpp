#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <fstream>

#include "app/help_viewer.h"
#include "app/main_window.h"
#include "link/trace_window.h"
#include "sim/server.h"
#include "support/qt_application.h"
#include "support/recording_operator.h"
#include "support/temp_dir.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;

[[maybe_unused]] auto* const kQt = ::testing::AddGlobalTestEnvironment(new test::QtApplication);

class MainWindowTest : public ::testing::Test {
protected:
    void writeSettings(const std::string& body) { std::ofstream(dir.path() / "Tarvo.cfg") << body; }

    QLineEdit* field(const char* name) { return window.findChild<QLineEdit*>(name); }
    QAction* action(const char* name) { return window.findChild<QAction*>(name); }
    QStringList listLines() {
        QStringList lines;
        auto* list = window.findChild<QListWidget*>("meterList");
        for (int i = 0; i < list->count(); ++i)
            lines << list->item(i)->text();
        return lines;
    }

    test::TempDir dir{"tarvo-mw"};
    AppState state;
    test::RecordingOperator op;
    MainWindow window{state, state.port, &op};
};

TEST_F(MainWindowTest, FirstTickOpensTheSettingsPortScansAndPolls) {
    sim::PtyServer sim;
    sim.bus().addDevice(sim::Model::Branch, 2, "P\xDCL1"); // Latin-1, as the forms write
    sim.bus().addDevice(sim::Model::Circuit8, 3, "MAIN");
    writeSettings("port " + sim.slavePath() + "\nscan 3\n");

    window.start((dir.path() / "Tarvo.cfg").string());
    EXPECT_EQ(field("breakerField1")->text(), "0.000") << "before the first tick";
    EXPECT_TRUE(listLines().isEmpty());
    EXPECT_FALSE(state.port.isOpen()) << "the port waits for the first tick";

    window.onTimer();
    ASSERT_TRUE(state.port.isOpen());
    EXPECT_EQ(listLines(), (QStringList{
                               "02 - PÜL1 [Kyrel Branch Circuit Monitor, 42 Breakers]",
                               "03 - MAIN [Kyrel Circuit Meter 8, 3-Phase Power Meter]",
                           }));
    EXPECT_EQ(window.findChild<QListWidget*>("meterList")->currentRow(), 0);
    EXPECT_EQ(state.selection.selectedAddress, 2);
    EXPECT_TRUE(window.branchLayoutShown());
    EXPECT_TRUE(op.messages.empty());
    EXPECT_EQ(op.busyDepth, 0) << "the wait cursor was restored";

    window.onTimer();
    EXPECT_EQ(field("breakerField1")->text(), "1.000");
    EXPECT_EQ(field("breakerField42")->text(), "11.250");
    EXPECT_EQ(field("panelNameField")->text(), "PÜL1");
}

TEST_F(MainWindowTest, ClickingACircuitMeterSwitchesLayoutAndGreysDelays) {
    sim::PtyServer sim;
    sim.bus().addDevice(sim::Model::Branch, 1, "PNL1");
    sim.bus().addDevice(sim::Model::Circuit6, 2, "MAIN");
    writeSettings("port " + sim.slavePath() + "\nscan 2\n");
    window.start((dir.path() / "Tarvo.cfg").string());
    window.onTimer();
    ASSERT_EQ(listLines().size(), 2);
    EXPECT_TRUE(action("delaysAction")->isEnabled());

    auto* list = window.findChild<QListWidget*>("meterList");
    list->setCurrentRow(1);
    EXPECT_EQ(state.selection.selectedAddress, 2);
    EXPECT_EQ(state.selection.selectedKind, CircuitMeter6);
    EXPECT_FALSE(window.branchLayoutShown());
    EXPECT_FALSE(action("delaysAction")->isEnabled());

    window.onTimer();
    EXPECT_EQ(field("currentAField")->text(), "54.00");
    EXPECT_EQ(field("currentNField")->text(), "1.50");
    EXPECT_EQ(field("voltsAbField")->text(), "480.00");
    EXPECT_EQ(field("boardNameField")->text(), "BD02");

    list->setCurrentRow(0);
    EXPECT_TRUE(window.branchLayoutShown());
    EXPECT_TRUE(action("delaysAction")->isEnabled());
}

TEST_F(MainWindowTest, ValueFieldsAndLampsSpeakToScreenReaders) {
    EXPECT_EQ(field("breakerField7")->accessibleName(), "Breaker 7 current");
    EXPECT_EQ(field("currentAField")->accessibleName(), "Current A");
    auto* lamp = window.findChild<QLabel*>("breakerLamp7");
    EXPECT_EQ(lamp->accessibleDescription(), "normal");

    Display d;
    d.lamps.breakers[6] = Lamp::Alarm;
    d.lamps.breakers[7] = Lamp::Warning;
    window.transfer(d);
    EXPECT_EQ(lamp->accessibleDescription(), "alarm");
    EXPECT_EQ(window.findChild<QLabel*>("breakerLamp8")->accessibleDescription(), "warning");

    window.showCircuitLayout();
    d.lamps.phaseLossVisible = false;
    d.lamps.phaseLetterVisible = {false, true, false};
    window.transfer(d);
    EXPECT_EQ(window.findChild<QLabel*>("phaseLetterB")->accessibleDescription(), "phase lost");
    EXPECT_EQ(window.findChild<QLabel*>("phaseLossLamp")->accessibleDescription(), "phase lost");
}

TEST_F(MainWindowTest, PhaseLettersTakeTheLampsPlace) {
    window.show();
    window.showCircuitLayout();
    Display d;
    d.lamps.phaseLossVisible = false;
    d.lamps.phaseLetterVisible = {true, false, true};
    window.transfer(d);
    EXPECT_FALSE(window.findChild<QLabel*>("phaseLossLamp")->isVisible());
    EXPECT_TRUE(window.findChild<QLabel*>("phaseLetterA")->isVisible());
    EXPECT_FALSE(window.findChild<QLabel*>("phaseLetterB")->isVisible());

    window.showBranchLayout();
    EXPECT_FALSE(window.findChild<QLabel*>("phaseLetterA")->isVisible())
        << "the branch layout hides the letters";
}

TEST_F(MainWindowTest, CircuitLayoutPutsTheListInTheBottomBand) {
    window.resize(760, 620);
    window.show();
    window.showCircuitLayout();
    QApplication::processEvents();
    auto* list = window.findChild<QListWidget*>("meterList");
    const QRect band(list->mapTo(&window, QPoint(0, 0)), list->size());
    const QRect client = window.rect();
    EXPECT_EQ(band.left(), 22);
    EXPECT_EQ(client.right() - band.right(), 18);
    EXPECT_EQ(client.bottom() - band.bottom(), 20);
    EXPECT_EQ(band.height(), 180);
}

TEST_F(MainWindowTest, DisplayCommsNeverOpensASecondWindow) {
    window.onDisplayComms();
    TraceWindow* first = window.traceWindow();
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(state.trace.traceLive());
    window.onDisplayComms();
    EXPECT_EQ(window.traceWindow(), first);

    first->findChild<QPushButton*>("freezeButton")->click();
    EXPECT_FALSE(state.trace.traceLive());
    window.onDisplayComms();
    EXPECT_EQ(window.traceWindow(), first) << "a frozen window is brought forward";
    EXPECT_EQ(window.findChildren<TraceWindow*>().size(), 1);

    first->findChild<QPushButton*>("okButton")->click();
    QApplication::processEvents();
    EXPECT_FALSE(state.trace.traceLive());
}

TEST_F(MainWindowTest, TraceWindowShowsTransactionsOldestFirstWithCounters) {
    window.onDisplayComms();
    TraceWindow* trace = window.traceWindow();
    auto* text = trace->findChild<QPlainTextEdit*>("traceText");
    EXPECT_EQ(text->toPlainText(), "");
    EXPECT_EQ(trace->findChild<QLineEdit*>("okField")->text(), "0");
    EXPECT_EQ(trace->findChild<QLineEdit*>("lastErrorField")->text(), "Ok");

    for (std::uint8_t t = 1; t <= 5; ++t) {
        const std::uint8_t request[] = {t, 0x11};
        state.trace.recordSend(request);
        state.trace.recordReceive({}, 2);
    }
    state.counters = {12, 3, Timeout};
    state.trace.requestRepaint();
    EXPECT_EQ(text->toPlainText(), "Send->02 11\nRecv->\nSend->03 11\nRecv->\n"
                                   "Send->04 11\nRecv->\nSend->05 11\nRecv->\n");
    EXPECT_EQ(trace->findChild<QLineEdit*>("okField")->text(), "12");
    EXPECT_EQ(trace->findChild<QLineEdit*>("badField")->text(), "3");
    EXPECT_EQ(trace->findChild<QLineEdit*>("lastErrorField")->text(),
              "Err #1, Timeout Waiting For Response");
}

TEST_F(MainWindowTest, TraceCountsShowTheTickThatChangedThem) {
    sim::PtyServer sim;
    sim.bus().addDevice(sim::Model::Branch, 1, "PNL1");
    sim.bus().setFault(1, sim::Fault::BadCrc);
    ASSERT_TRUE(state.port.open(sim.slavePath()));
    state.selection = {1, BranchMonitor};
    window.onDisplayComms();
    window.onTimer();
    EXPECT_EQ(window.traceWindow()->findChild<QLineEdit*>("badField")->text(), "1");
    EXPECT_EQ(window.traceWindow()->findChild<QLineEdit*>("lastErrorField")->text(),
              ModbusMaster::resultText(5));
}

TEST_F(MainWindowTest, EnterAndEscapeCloseTheWindow) {
    for (int key : {Qt::Key_Escape, Qt::Key_Return}) {
        window.show();
        ASSERT_TRUE(window.isVisible());
        QTest::keyClick(&window, static_cast<Qt::Key>(key));
        EXPECT_FALSE(window.isVisible()) << key;
    }
}

TEST_F(MainWindowTest, HelpShowsTheTopicOfTheActiveWindowAndTheIndex) {
    EXPECT_EQ(HelpViewer::topicFor("BreakerAlarmSetupDialog"), "breaker_alarm_setup_dialog");
    EXPECT_TRUE(HelpViewer::hasTopic("main_window"));
    EXPECT_TRUE(HelpViewer::hasTopic("trace_window"));
    window.onHelp();
    auto* viewer = window.findChild<HelpViewer*>();
    ASSERT_NE(viewer, nullptr);
    EXPECT_EQ(viewer->currentTopic(), "main_window");
    window.onHelpIndex();
    EXPECT_EQ(viewer->currentTopic(), "index");
}

TEST_F(MainWindowTest, HelpFromAModalFormTakesInputWhileTheFormIsOpen) {
    window.show();
    bool closedByKey = false;
    QTimer::singleShot(0, [&] {
        QWidget* form = QApplication::activeModalWidget();
        ASSERT_NE(form, nullptr);
        QTest::mouseClick(form->findChild<QPushButton*>("helpButton"), Qt::LeftButton);
        auto* viewer = window.findChild<HelpViewer*>();
        ASSERT_TRUE(viewer && viewer->isVisible());
        // Through the window system, where modality blocks input.
        QTest::keyClick(viewer->windowHandle(), Qt::Key_Escape);
        closedByKey = !viewer->isVisible();
        form->close();
    });
    window.onFileConfig();
    EXPECT_TRUE(closedByKey) << "the page ignored input while the form was open";
}

TEST_F(MainWindowTest, EveryWindowHasAHelpPage) {
    // F1 shows the page named after the active window, so each form needs one.
    for (const char* window :
         {"MainWindow", "TraceWindow", "ConfigurationDialog", "BreakerAlarmSetupDialog",
          "BreakerAlarmDelayDialog", "CircuitAlarmSetupDialog", "BranchPanelConfigDialog",
          "CircuitPanelConfigDialog", "SaveToDatabaseSetupDialog", "DatabaseSetupDialog",
          "AddDatabaseTableDialog"})
        EXPECT_TRUE(HelpViewer::hasTopic(HelpViewer::topicFor(window))) << window;
    // The Logging File Setup dialog shares the logging page.
    EXPECT_TRUE(HelpViewer::hasTopic("logging"));
}

TEST_F(MainWindowTest, MenusOfTheWindow) {
    QStringList menus;
    for (QAction* a : window.findChild<QMenuBar*>("menuBar")->actions())
        menus << a->text().remove('&');
    EXPECT_EQ(menus, (QStringList{"File", "Config", "Logging", "Help"}));
    EXPECT_EQ(window.windowTitle(), "Zoveduzidi Radazuzeri Vedodavo, Version 1.0.7");
}

TEST_F(MainWindowTest, AlarmResetFromTheConfigMenu) {
    sim::PtyServer sim;
    sim.bus().addDevice(sim::Model::Branch, 1, "PNL1");
    writeSettings("port " + sim.slavePath() + "\nscan 1\n");
    window.start((dir.path() / "Tarvo.cfg").string());
    window.onTimer();
    ASSERT_EQ(state.selection.selectedAddress, 1);
    sim.bus().setRegister(1, 42, 0x0008);
    sim.bus().setRegister(1, 46, 0x0001);
    window.onTimer();
    EXPECT_EQ(window.findChild<QLabel*>("breakerLamp1")->accessibleDescription(), "alarm");

    sim.bus().clearLog();
    action("resetAction")->trigger();
    std::vector<int> cleared;
    for (const auto& w : sim.bus().writes())
        cleared.push_back(w.reg);
    EXPECT_EQ(cleared, (std::vector<int>{43, 44, 45, 46, 47, 48}));
    EXPECT_EQ(window.findChild<QLabel*>("breakerLamp1")->accessibleDescription(), "normal")
        << "the lamps follow the block read back after the reset";
    EXPECT_EQ(op.busyDepth, 0);
}

TEST_F(MainWindowTest, ConfigCommandsWithoutASelectionSayWhy) {
    action("panelAction")->trigger();
    action("delaysAction")->trigger();
    action("resetAction")->trigger();
    ASSERT_EQ(op.messages.size(), 3u);
    EXPECT_EQ(op.messages[0].text,
              "You must select a valid meter before attempting to configure it!");
    EXPECT_EQ(op.messages[1].text, "You must select a valid meter before configuring alarms!");
    EXPECT_EQ(op.messages[2].text, "There is no valid meter selected to reset!");
}

TEST_F(MainWindowTest, ScanWithoutAPortAsksForOne) {
    writeSettings("port /dev/tarvo-no-such-port\n");
    window.start((dir.path() / "Tarvo.cfg").string());
    action("scanAction")->trigger();
    ASSERT_EQ(op.messages.size(), 2u);
    EXPECT_EQ(op.messages[0].text,
              "Unable to open /dev/tarvo-no-such-port\n/dev/tarvo-no-such-port is not present: is "
              "the adapter plugged in?");
    EXPECT_EQ(op.messages[1].text, "Please select a COM port");
    EXPECT_FALSE(state.selection.scanInProgress);
}

} // namespace
} // namespace tarvo
