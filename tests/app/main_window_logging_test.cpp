// The main window's sampling, Config > Comms and Logging > File Config,
// against the bus simulator.

#include <QAction>
#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "sim/server.h"
#include "support/local_zone.h"
#include "support/qt_application.h"
#include "support/recording_operator.h"
#include "support/temp_dir.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;

[[maybe_unused]] auto* const kQt = ::testing::AddGlobalTestEnvironment(new test::QtApplication);

struct FakeClock : Clock {
    std::time_t t = 1783173909; // 07/04/2026 14:05:09 UTC
    std::time_t now() const override { return t; }
};

// Clicks `button` of the next modal dialog once it runs.
void answerNextDialog(const char* button) {
    QTimer::singleShot(0, [button] {
        QWidget* modal = QApplication::activeModalWidget();
        ASSERT_NE(modal, nullptr);
        auto* b = modal->findChild<QAbstractButton*>(button);
        ASSERT_NE(b, nullptr) << button;
        QTest::mouseClick(b, Qt::LeftButton);
    });
}

class MainWindowLoggingTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("tarvo-mwlog-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        sim.bus().addDevice(sim::Model::Branch, 3, "PNL3");
        sim.bus().setRegister(3, 0, 1500);
        ASSERT_TRUE(state.port.open(sim.slavePath()));
        state.settings.portName = sim.slavePath();
        state.meters.addDevice("03 - PNL3 [Kyrel Branch Circuit Monitor, 42 Breakers]");
        window.sampler().setClock(clock);
    }
    void TearDown() override { fs::remove_all(dir); }

    QAction* action(const char* name) { return window.findChild<QAction*>(name); }
    std::vector<std::string> logLines() const { return test::readLines(dir / "DATA.TXT"); }

    test::LocalZone zone{"UTC0"};
    sim::PtyServer sim;
    fs::path dir;
    AppState state;
    test::RecordingOperator op;
    FakeClock clock;
    MainWindow window{state, state.port, &op};
};

TEST_F(MainWindowLoggingTest, TickSamplesWhileFileLoggingIsOnAndOnlyWhenDue) {
    state.settings.saveFile = (dir / "DATA.TXT").string();
    window.onTimer();
    EXPECT_TRUE(logLines().empty()) << "file logging is off";
    EXPECT_TRUE(sim.bus().frames().empty()) << "no device is read for sampling";

    state.settings.fileLoggingActive = true;
    window.onTimer();
    ASSERT_EQ(logLines().size(), 1u);
    EXPECT_EQ(logLines()[0].rfind("07/04/2026 14:05:09,3,1.500,", 0), 0u) << logLines()[0];

    clock.t += 1;
    window.onTimer();
    EXPECT_EQ(logLines().size(), 1u) << "the next pass waits for 14:10:00";
    clock.t = 1783174200; // 14:10:00
    window.onTimer();
    EXPECT_EQ(logLines().size(), 2u);
}

TEST_F(MainWindowLoggingTest, CommsOkWithTheSamePortNeitherReopensNorScans) {
    const std::string before = state.settings.portName;
    answerNextDialog("okButton");
    action("commsAction")->trigger();
    EXPECT_TRUE(state.port.isOpen());
    EXPECT_EQ(state.settings.portName, before);
    EXPECT_TRUE(sim.bus().frames().empty()) << "no scan";
}

TEST_F(MainWindowLoggingTest, CommsOkReschedulesTheNextSample) {
    state.settings.saveFile = (dir / "DATA.TXT").string();
    state.settings.fileLoggingActive = true;
    window.onTimer(); // a pass at 14:05:09; next due 14:10:00
    ASSERT_EQ(window.sampler().nextSampleTime(), 1783174200);
    answerNextDialog("intervalDownButton"); // 5 -> 4 minutes...
    QTimer::singleShot(10, [] {
        QWidget* modal = QApplication::activeModalWidget();
        ASSERT_NE(modal, nullptr);
        QTest::mouseClick(modal->findChild<QPushButton*>("okButton"), Qt::LeftButton);
    });
    action("commsAction")->trigger();
    EXPECT_EQ(state.settings.interval, 4);
    EXPECT_EQ(window.sampler().nextSampleTime(), 1783174080) << "14:08:00";
}

TEST_F(MainWindowLoggingTest, FileConfigOkEmptiesTheFileQueueAndCancelKeepsIt) {
    state.settings.saveFile = (dir / "missing" / "DATA.TXT").string(); // cannot be opened
    state.settings.fileLoggingActive = true;
    window.onTimer();
    ASSERT_EQ(state.fileQueue.size(), 1u) << "the record waits for the file";

    answerNextDialog("cancelButton");
    action("fileConfigAction")->trigger();
    EXPECT_EQ(state.fileQueue.size(), 1u);

    answerNextDialog("okButton");
    action("fileConfigAction")->trigger();
    EXPECT_TRUE(state.fileQueue.empty());
}

} // namespace
} // namespace tarvo
