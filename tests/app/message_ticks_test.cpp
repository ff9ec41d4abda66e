// The real window's one-second tick, through a real event loop, while the
// boxes it raised are left open: polling, counting and sampling go on, and a
// failure that repeats leaves one box.

#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <gtest/gtest.h>

#include <filesystem>

#include "app/main_window.h"
#include "logging/log_variables.h"
#include "logging/odbc_test_support.h"
#include "sim/server.h"
#include "support/fake_clock.h"
#include "support/local_zone.h"

namespace tarvo {
namespace {

[[maybe_unused]] auto* const kOdbc =
    ::testing::AddGlobalTestEnvironment(new test::SharedOdbcConfig);

using test::FakeClock;

// Runs the event loop until `condition` holds; false after 10 s without it.
// (QTRY_* would only return from the test, which GoogleTest counts as passed.)
template <typename Condition>
bool eventually(Condition condition) {
    return QTest::qWaitFor(condition, 10000);
}

// The message boxes open now (each a child of the window, gone with it).
QList<QMessageBox*> openBoxes() {
    QList<QMessageBox*> found;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
            found.append(box);
    return found;
}

class MessageTicksTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim.bus().addDevice(sim::Model::Branch, 3, "PNL3");
        ASSERT_TRUE(state.port.open(sim.slavePath()));
        state.meters.addDevice("03 - PNL3 [Kyrel Branch Circuit Monitor, 42 Breakers]");
        window.sampler().setClock(clock);
        window.setTimerPeriod(20);
    }

    test::LocalZone zone{"UTC0"};
    test::TempDir dir;
    sim::PtyServer sim;
    AppState state;
    FakeClock clock;
    MainWindow window{state, state.port, nullptr, nullptr, BusEngine::Mode::Inline};
};

TEST_F(MessageTicksTest, PollingAndSamplingGoOnUnderTheFifthFailureBox) {
    state.selection = {3, BranchMonitor};
    state.settings.saveFile = (dir.path() / "DATA.TXT").string();
    state.settings.fileLoggingActive = true;
    sim.bus().addDevice(sim::Model::Branch, 5, "PNL5"); // sampled and logged
    state.meters.addDevice("05 - PNL5 [Kyrel Branch Circuit Monitor, 42 Breakers]");
    sim.bus().setFault(3, sim::Fault::BadCrc); // fails at once, every read
    ASSERT_TRUE(eventually([&] { return openBoxes().size() == 1; }));

    const long bad = state.counters.badCount;
    ASSERT_TRUE(eventually([&] { return state.counters.badCount >= bad + 3; }));
    const std::size_t rows = test::readLines(dir.path() / "DATA.TXT").size();
    clock.t = window.sampler().nextSampleTime(); // a pass falls due under the box
    ASSERT_TRUE(eventually([&] { return test::readLines(dir.path() / "DATA.TXT").size() > rows; }));
    sim.bus().clearFaults();
    const long good = state.counters.goodCount;
    clock.t = window.sampler().nextSampleTime(); // the sample read counts good reads
    ASSERT_TRUE(eventually([&] {
        return state.counters.goodCount > good && window.polling().consecutiveFailures() == 0;
    }));
    EXPECT_EQ(openBoxes().size(), 1) << "still open, and only one";
}

TEST_F(MessageTicksTest, InsertsRefusedForTenPassesLeaveOneBox) {
    if (!test::OdbcConfig::sqliteDriverPresent())
        GTEST_SKIP() << "the SQLite ODBC driver (libsqliteodbc) is not installed";
    std::filesystem::remove(test::SharedOdbcConfig::sqliteFile());
    Settings& s = state.settings;
    s.dsn = test::SharedOdbcConfig::kSqliteDsn;
    s.table = "NoSuchTable"; // every insert fails the same way
    s.links = {{kMeterVariable, SqlInteger, "Meter"}};
    s.databaseLogState = Active;
    for (int pass = 0; pass < 10; ++pass) {
        const std::time_t due = window.sampler().nextSampleTime();
        clock.t = std::max(clock.t, due);
        ASSERT_TRUE(eventually([&] {
            return window.sampler().passTime() == clock.t &&
                   window.sampler().nextSampleTime() > due;
        })) << "pass "
            << pass;
    }
    const QList<QMessageBox*> boxes = openBoxes();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0]->text().contains(QStringLiteral("NoSuchTable")))
        << boxes[0]->text().toStdString();
    EXPECT_EQ(boxes[0]->informativeText(),
              QStringLiteral("Repeated 9 more times while this message was open."));
}

} // namespace
} // namespace tarvo
