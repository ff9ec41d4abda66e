#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <set>

#include "app/help_viewer.h"
#include "app/main_window.h"
#include "link/trace_window.h"
#include "session/journal_file.h"
#include "session/panel_overview_dialog.h"
#include "sim/server.h"
#include "sim/tcp_server.h"
#include "support/fake_clock.h"
#include "support/local_zone.h"
#include "support/qt_application.h"
#include "support/recording_operator.h"
#include "support/temp_dir.h"
#include "trends/journal_window.h"
#include "trends/trend_views.h"

namespace tarvo {
namespace {

// The one QApplication of this folder's program.
[[maybe_unused]] auto* const kQt = ::testing::AddGlobalTestEnvironment(new test::QtApplication);

template <BusEngine::Mode kMode>
class MainWindowFixture : public ::testing::Test {
protected:
    // The alarm journal goes beside the log file: keep it in the test's folder.
    MainWindowFixture() { state.settings.saveFile = (dir.path() / "panel.csv").string(); }

    void writeSettings(const std::string& body) { std::ofstream(dir.path() / "Tarvo.cfg") << body; }

    QLineEdit* field(const char* name) { return window.findChild<QLineEdit*>(name); }
    QAction* action(const char* name) { return window.findChild<QAction*>(name); }
    // The addresses read by function 3 (polls, name and watch reads).
    static std::set<int> devicesRead(sim::PtyServer& sim) {
        std::set<int> read;
        for (const auto& f : sim.bus().frames())
            if (f.bytes.size() >= 2 && f.bytes[1] == 0x03)
                read.insert(f.bytes[0]);
        return read;
    }
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
    MainWindow window{state, state.port, &op, nullptr, kMode};
};

class MainWindowTest : public MainWindowFixture<BusEngine::Mode::Inline> {};

// Only branch monitors and circuit meters are listed, and names are read of
// listed ones only.
TEST_F(MainWindowTest, FirstTickOpensScansAndPollsAndAClickSwitchesTheLayout) {
    using sim::Model;
    const Model models[] = {Model::Energy,      Model::Branch,   Model::Circuit6,
                            Model::Temperature, Model::FullData, Model::Foreign};
    // Latin-1, as the forms write.
    const char* const names[] = {"E1", "P\xDCL1", "MAIN", "T4", "F5", "X6"};
    sim::PtyServer sim;
    for (int address = 1; address <= 6; ++address)
        sim.bus().addDevice(models[address - 1], address, names[address - 1]);
    writeSettings("port " + sim.slavePath() + "\nscan 6\n");

    window.start((dir.path() / "Tarvo.cfg").string());
    EXPECT_EQ(field("breakerField1")->text(), "0.000") << "before the first tick";
    EXPECT_TRUE(listLines().isEmpty());
    EXPECT_FALSE(state.port.isOpen()) << "the port waits for the first tick";

    window.onTimer();
    ASSERT_TRUE(state.port.isOpen());
    EXPECT_EQ(listLines(), // sorted, the first found selected
              (QStringList{"02 - PÜL1 [Kyrel Branch Circuit Monitor, 42 Breakers]",
                           QString::fromStdString(
                               "03 - MAIN [" +
                               sim::defaultIdentificationText(sim::Model::Circuit6) + "]")}));
    auto* list = window.findChild<QListWidget*>("meterList");
    EXPECT_EQ(list->currentRow(), 0);
    EXPECT_EQ(state.selection.selectedAddress, 2);
    EXPECT_TRUE(window.branchLayoutShown());
    EXPECT_TRUE(action("delaysAction")->isEnabled());
    EXPECT_TRUE(op.messages.empty());
    EXPECT_EQ(op.busyDepth, 0) << "the wait cursor was restored";
    EXPECT_EQ(devicesRead(sim), (std::set<int>{2, 3})) << "the name reads and the first poll";

    window.onTimer();
    EXPECT_EQ(field("breakerField1")->text(), "1.000");
    EXPECT_EQ(field("breakerField42")->text(), "11.250");
    EXPECT_EQ(field("panelNameField")->text(), "PÜL1");

    list->setCurrentRow(1);
    EXPECT_EQ(state.selection.selectedAddress, 3);
    EXPECT_EQ(state.selection.selectedKind, CircuitMeter6);
    EXPECT_FALSE(window.branchLayoutShown());
    EXPECT_FALSE(action("delaysAction")->isEnabled());
    window.onTimer();
    EXPECT_EQ(field("currentAField")->text(), "54.00");
    EXPECT_EQ(field("currentNField")->text(), "1.50");
    EXPECT_EQ(field("boardNameField")->text(), "BD03");

    action("scanAction")->trigger(); // selects the first device found again
    EXPECT_EQ(state.selection.selectedAddress, 2);
    EXPECT_TRUE(window.branchLayoutShown());
    EXPECT_TRUE(action("delaysAction")->isEnabled()) << "Delays left greyed on the way back";
}

TEST_F(MainWindowTest, LampsSpeakToScreenReadersAndPhaseLettersTakeTheLampsPlace) {
    EXPECT_EQ(field("breakerField7")->accessibleName(), "Breaker 7 current");
    auto* lamp = window.findChild<QLabel*>("breakerLamp7");
    EXPECT_EQ(lamp->accessibleDescription(), "normal");
    Display d;
    d.lamps.breakers[6] = Lamp::Alarm;
    d.lamps.breakers[7] = Lamp::Warning;
    window.transfer(d);
    EXPECT_EQ(lamp->accessibleDescription(), "alarm");
    EXPECT_EQ(window.findChild<QLabel*>("breakerLamp8")->accessibleDescription(), "warning");

    window.show();
    window.showCircuitLayout();
    d.lamps.phaseLossVisible = false;
    d.lamps.phaseLetterVisible = {true, false, true};
    window.transfer(d);
    auto* phaseLoss = window.findChild<QLabel*>("phaseLossLamp");
    auto* letterA = window.findChild<QLabel*>("phaseLetterA");
    EXPECT_FALSE(phaseLoss->isVisible());
    EXPECT_TRUE(letterA->isVisible());
    EXPECT_FALSE(window.findChild<QLabel*>("phaseLetterB")->isVisible());
    EXPECT_EQ(letterA->accessibleDescription(), "phase lost");
    EXPECT_EQ(phaseLoss->accessibleDescription(), "phase lost");

    window.showBranchLayout();
    EXPECT_FALSE(letterA->isVisible()) << "the branch layout hides the letters";
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
    // The client area ends where the status bar begins.
    EXPECT_EQ(window.findChild<QWidget*>("statusBar")->y() - 1 - band.bottom(), 20);
    EXPECT_EQ(band.height(), 180);
}

TEST_F(MainWindowTest, TraceWindowShowsTheCountsOfEachTickAndTheLastTransactions) {
    sim::PtyServer sim;
    sim.bus().addDevice(sim::Model::Branch, 1, "PNL1");
    sim.bus().setFault(1, sim::Fault::BadCrc);
    ASSERT_TRUE(state.port.open(sim.slavePath()));
    state.selection = {1, BranchMonitor};
    window.onDisplayComms();
    TraceWindow* trace = window.traceWindow();
    const auto shown = [trace](const char* name) {
        return trace->findChild<QLineEdit*>(name)->text();
    };
    EXPECT_EQ(shown("lastErrorField"), "Ok");
    window.onTimer();
    EXPECT_EQ(shown("okField"), "0");
    EXPECT_EQ(shown("badField"), "1");
    EXPECT_EQ(shown("lastErrorField"), "Err #5, CRC Error");

    for (std::uint8_t t = 1; t <= 5; ++t) {
        const std::uint8_t request[] = {t, 0x11};
        state.trace.recordSend(request);
        state.trace.recordReceive({}, 2);
    }
    state.counters.droppedCount = 1234;
    state.trace.requestRepaint();
    EXPECT_EQ(trace->findChild<QPlainTextEdit*>("traceText")->toPlainText(),
              "Send->02 11\nRecv->\nSend->03 11\nRecv->\n"
              "Send->04 11\nRecv->\nSend->05 11\nRecv->\n");
    EXPECT_EQ(shown("droppedField"), "1234");

    EXPECT_TRUE(state.trace.traceLive());
    window.onDisplayComms();
    EXPECT_EQ(window.traceWindow(), trace) << "Display Comms never opens a second window";
    trace->findChild<QPushButton*>("freezeButton")->click();
    EXPECT_FALSE(state.trace.traceLive());
    window.onDisplayComms();
    EXPECT_EQ(window.traceWindow(), trace) << "a frozen window is brought forward";
    EXPECT_EQ(window.findChildren<TraceWindow*>().size(), 1);
    trace->findChild<QPushButton*>("okButton")->click();
    QApplication::processEvents();
    EXPECT_FALSE(state.trace.traceLive());
}

TEST_F(MainWindowTest, MenusOfTheWindow) {
    QStringList menus;
    for (QAction* a : window.findChild<QMenuBar*>("menuBar")->actions())
        menus << a->text().remove('&');
    EXPECT_EQ(menus, (QStringList{"File", "Config", "Logging", "View", "Help"}));
    // The View windows open again where they were closed.
    action("trendsAction")->trigger();
    window.findChild<QDialog*>("TrendWindow")->setGeometry(40, 50, 700, 500);
    window.findChild<QDialog*>("TrendWindow")->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    action("trendsAction")->trigger();
    EXPECT_EQ(window.findChild<QDialog*>("TrendWindow")->geometry(), QRect(40, 50, 700, 500));
}

TEST_F(MainWindowTest, EnterAndEscapeCloseTheWindow) {
    for (int key : {Qt::Key_Escape, Qt::Key_Return}) {
        window.show();
        ASSERT_TRUE(window.isVisible());
        QTest::keyClick(&window, static_cast<Qt::Key>(key));
        EXPECT_FALSE(window.isVisible()) << key;
    }
}

TEST_F(MainWindowTest, HelpShowsThePageOfTheActiveWindowAndTheIndex) {
    // F1 shows the page named after the active window, so each form needs one.
    for (const char* window :
         {"MainWindow", "TraceWindow", "ConfigurationDialog", "BreakerAlarmSetupDialog",
          "BreakerAlarmDelayDialog", "CircuitAlarmSetupDialog", "BranchPanelConfigDialog",
          "CircuitPanelConfigDialog", "SaveToDatabaseSetupDialog", "DatabaseSetupDialog",
          "AddDatabaseTableDialog", "TrendWindow", "AlarmJournalWindow", "LogViewerWindow",
          "PanelOverviewDialog"})
        EXPECT_TRUE(HelpViewer::hasTopic(HelpViewer::topicFor(window))) << window;
    // The Logging File Setup dialog shares the logging page.
    EXPECT_TRUE(HelpViewer::hasTopic("logging"));
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

TEST_F(MainWindowTest, ConfigMenuCommandsAndTheAlarmReset) {
    for (const char* name : {"panelAction", "delaysAction", "resetAction"})
        action(name)->trigger();
    // Each command without a selection says why.
    EXPECT_EQ(op.messages,
              (std::vector<test::RecordingOperator::Message>{
                  {"You must select a valid meter before attempting to configure it!", ""},
                  {"You must select a valid meter before configuring alarms!", ""},
                  {"There is no valid meter selected to reset!", ""}}));
    op.messages.clear();

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

    action("resetAction")->trigger(); // its writes are the commands' own case
    EXPECT_EQ(window.findChild<QLabel*>("breakerLamp1")->accessibleDescription(), "normal")
        << "the lamps follow the block read back after the reset";
    EXPECT_EQ(op.busyDepth, 0);
}

using test::FakeClock;

// Clicks `button` of the next modal dialog once it runs.
void answerNextDialog(const char* button, int afterMs = 0) {
    QTimer::singleShot(afterMs, [button] {
        QWidget* modal = QApplication::activeModalWidget();
        ASSERT_NE(modal, nullptr);
        auto* b = modal->findChild<QAbstractButton*>(button);
        ASSERT_NE(b, nullptr) << button;
        QTest::mouseClick(b, Qt::LeftButton);
    });
}

// Config > Comms with a branch monitor listed and file logging on.
TEST_F(MainWindowTest, CommsOkReschedulesTheNextSampleAndKeepsTheSamePort) {
    test::LocalZone zone{"UTC0"};
    sim::PtyServer sim;
    sim.bus().addDevice(sim::Model::Branch, 3, "PNL3");
    ASSERT_TRUE(state.port.open(sim.slavePath()));
    state.settings.portName = sim.slavePath();
    state.meters.addDevice("03 - PNL3 [Kyrel Branch Circuit Monitor, 42 Breakers]");
    state.settings.fileLoggingActive = true;
    FakeClock clock;
    window.sampler().setClock(clock);
    window.onTimer(); // a pass at 14:05:09; next due 14:10:00
    ASSERT_EQ(window.sampler().nextSampleTime(), 1783174200);
    sim.bus().clearLog();
    answerNextDialog("intervalDownButton"); // 5 -> 4 minutes...
    answerNextDialog("okButton", 10);
    action("commsAction")->trigger();
    EXPECT_EQ(state.settings.interval, 4);
    EXPECT_EQ(window.sampler().nextSampleTime(), 1783174080) << "14:08:00";
    EXPECT_TRUE(state.port.isOpen()) << "the same port is not reopened";
    EXPECT_TRUE(sim.bus().frames().empty()) << "no scan";
}

// What OK and Cancel do to the queue is the dialog's own case; this is the
// menu's wiring to the program's file queue.
TEST_F(MainWindowTest, FileConfigOkEmptiesTheProgramsFileQueue) {
    state.fileQueue.push(std::make_shared<LogSample>());
    answerNextDialog("okButton");
    action("fileConfigAction")->trigger();
    EXPECT_TRUE(state.fileQueue.empty());
}

// The window with its own bus thread, through a real event loop: what the
// test posts is handled while a bus job still runs.
class BusThreadWindowTest : public MainWindowFixture<BusEngine::Mode::Thread> {
protected:
    void start(const std::string& settings) {
        writeSettings(settings);
        window.start((dir.path() / "Tarvo.cfg").string());
        window.setTimerPeriod(3600 * 1000); // the test ticks
    }
    // Runs the loop until every job has finished and its results are shown.
    bool settled() {
        const bool idle = QTest::qWaitFor([&] { return window.engine().pending() == 0; }, 20000);
        QApplication::processEvents();
        return idle;
    }
    // Whether an event posted now is handled while the bus is still busy.
    bool answersWhileBusy() {
        bool handled = false;
        bool busy = false;
        QTimer::singleShot(0, &window, [&] {
            handled = true;
            busy = window.engine().pending() > 0;
        });
        return QTest::qWaitFor([&] { return handled; }, 20000) && busy;
    }
    QString described(const char* name) {
        return window.findChild<QLabel*>(name)->accessibleDescription();
    }
    QString label(const char* name) { return window.findChild<QLabel*>(name)->text(); }
};

TEST_F(BusThreadWindowTest, ASilentDeviceLeavesTheWindowAnsweringAndItsValuesUnknown) {
    sim::PtyServer sim;
    sim.bus().addDevice(sim::Model::Branch, 1, "PNL1");
    start("port " + sim.slavePath() + "\nscan 1\n");
    EXPECT_EQ(label("lineStateLabel"), QString::fromStdString(sim.slavePath() + ": closed"));
    window.onTimer(); // opens and scans
    ASSERT_TRUE(settled());
    window.onTimer();
    ASSERT_TRUE(settled());
    EXPECT_EQ(field("breakerField1")->text(), "1.000");
    EXPECT_EQ(label("lineStateLabel"), QString::fromStdString(sim.slavePath() + ": open"));
    const QString goodRead = label("lastReadLabel");
    EXPECT_TRUE(goodRead.startsWith("Last good read ")) << goodRead.toStdString();

    sim.bus().setFault(1, sim::Fault::NoAnswer);
    window.onTimer();
    EXPECT_TRUE(answersWhileBusy()) << "the window waited for the silent device";
    ASSERT_TRUE(settled());
    EXPECT_EQ(field("breakerField1")->text(), "") << "a failed read shows the last value";
    EXPECT_EQ(described("breakerLamp1"), "no data") << "a failed read shows green";
    EXPECT_EQ(label("lastReadLabel"), goodRead);
}

TEST_F(BusThreadWindowTest, StopScanKeepsWhatWasFoundAndQueuesNoOtherScan) {
    sim::PtyServer sim;
    sim.bus().addDevice(sim::Model::Branch, 1, "PNL1");
    sim.bus().addDevice(sim::Model::Branch, 2, "PNL2");
    start("port " + sim.slavePath() + "\nscan 247\n");
    window.onTimer(); // the open scans up to 247
    QAction* scan = action("scanAction");
    ASSERT_TRUE(QTest::qWaitFor([&] { return listLines().size() == 3; }, 20000)); // and progress
    EXPECT_EQ(scan->text(), "Stop &Scan");
    EXPECT_TRUE(answersWhileBusy()) << "the window waited for the scan";
    scan->trigger();
    scan->trigger(); // input during the scan starts no scan of its own
    ASSERT_TRUE(settled());
    EXPECT_EQ(scan->text(), "&Scan");
    EXPECT_EQ(listLines(), (QStringList{"01 - PNL1 [Kyrel Branch Circuit Monitor, 42 Breakers]",
                                        "02 - PNL2 [Kyrel Branch Circuit Monitor, 42 Breakers]"}));
    EXPECT_EQ(window.findChild<QListWidget*>("meterList")->currentRow(), 0);
    EXPECT_LT(sim.bus().frames().size(), 20u) << "the scan went on";
}

// Two branch monitors, an alarm on the one not selected: read only once the
// watch is on, then in the journal file, the status bar's count and the
// alarm command; the overview shows it, and its double-click selects it.
TEST_F(BusThreadWindowTest, WatchAllDevicesJournalsTheUnselectedDevicesAlarm) {
    sim::PtyServer sim;
    for (int address : {1, 2})
        sim.bus().addDevice(sim::Model::Branch, address, "PNL" + std::to_string(address));
    sim.bus().setRegister(2, 42, 0x0008);
    sim.bus().setRegister(2, 46, 0x0001); // breaker 1 alarm
    const std::string hook = dir.file("hook"), hookOut = dir.file("hook.txt");
    std::ofstream(hook) << "#!/bin/sh\necho \"$TARVO_ADDRESS $TARVO_EVENT\" >> " << hookOut << "\n";
    std::filesystem::permissions(hook, std::filesystem::perms::owner_all);
    start("port " + sim.slavePath() + "\nscan 2\nalarm_command " + hook + "\n");
    window.onTimer(); // opens, scans, selects 1
    ASSERT_TRUE(settled());
    sim.bus().clearLog();
    window.onTimer();
    ASSERT_TRUE(settled());
    EXPECT_EQ(devicesRead(sim), std::set<int>{1}) << "watching off read another device";

    action("watchAction")->trigger();
    window.onTimer();
    ASSERT_TRUE(settled());
    EXPECT_EQ(devicesRead(sim), (std::set<int>{1, 2}));
    const JournalRead journal = readJournal(dir.file("panel_journal.csv"));
    ASSERT_EQ(journal.entries.size(), 1u);
    EXPECT_EQ(journal.entries[0].address, 2);
    EXPECT_EQ(journal.entries[0].event, JournalEvent::Alarm);
    EXPECT_EQ(label("activeAlarmsLabel"), "Active alarms: 1");
    EXPECT_TRUE(QTest::qWaitFor([&] { return test::readLines(hookOut).size() == 1; }, 20000));
    EXPECT_EQ(test::readLines(hookOut), std::vector<std::string>{"2 alarm"});

    action("panelOverviewAction")->trigger();
    QTableWidget* rows = window.findChild<PanelOverviewDialog*>()->table();
    ASSERT_EQ(rows->rowCount(), 2);
    EXPECT_EQ(rows->item(1, 3)->text(), "alarm");
    const QPoint at = rows->visualItemRect(rows->item(1, 0)).center();
    QTest::mouseClick(rows->viewport(), Qt::LeftButton, {}, at); // the double-click's first
    QTest::mouseDClick(rows->viewport(), Qt::LeftButton, {}, at);
    ASSERT_TRUE(settled());
    EXPECT_EQ(window.findChild<QListWidget*>("meterList")->currentRow(), 1);
    EXPECT_EQ(state.selection.selectedAddress, 2);
    window.trendViews().openJournal()->acknowledgeAll();
    EXPECT_EQ(label("activeAlarmsLabel"), "") << "the journal window acknowledged another book";
}

TEST_F(BusThreadWindowTest, TheMqttServersProblemShowsInTheStatusBar) {
    start("mqtt 127.0.0.1:" + std::to_string(sim::freeLoopbackPort()) + "\n");
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            window.onTimer();
            return settled() && label("mqttLabel").contains("refused the connection");
        },
        20000))
        << label("mqttLabel").toStdString();
    EXPECT_TRUE(label("mqttLabel").startsWith("MQTT: The MQTT server 127.0.0.1:"));
}

TEST(StatusBarTest, LineStatesAndTheLastGoodRead) {
    using L = MainWindow::LineStatus;
    const struct {
        L line;
        const char* text;
    } rows[] = {
        {{"/dev/ttyUSB0", L::Open, 0}, "/dev/ttyUSB0: open"},
        {{"gw:10.0.0.7", L::Lost, 0}, "gw:10.0.0.7: lost \u2014 reopening"},
        {{"", L::Closed, 0}, "No port: closed"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(MainWindow::lineText(r.line).toStdString(), r.text);
    EXPECT_EQ(MainWindow::lastReadText({}), "No good read yet");
}

} // namespace
} // namespace tarvo
