#include <gtest/gtest.h>

#include <QComboBox>
#include <QLegendMarker>
#include <QLineSeries>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <fstream>

#include "devices/meter_list.h"
#include "devices/register_map.h"
#include "settings/settings.h"
#include "support/qt_application.h"
#include "support/temp_dir.h"
#include "trends/journal_window.h"
#include "trends/log_viewer_window.h"
#include "trends/trend_recorder.h"
#include "trends/trend_window.h"

namespace tarvo {
namespace {

[[maybe_unused]] auto* const kQt = ::testing::AddGlobalTestEnvironment(new test::QtApplication);

MeterReading branch(int address, int tick) {
    MeterReading r;
    r.kind = BranchMonitor;
    r.address = address;
    for (int i = 0; i < kBreakerCount; ++i) // breaker 42 draws most, then 41, ...
        r.registers[static_cast<std::size_t>(i)] = 1000 * (i + 1) + tick;
    return r;
}

std::string curveNames(TrendView& view) {
    QStringList names;
    for (QLineSeries* s : view.curveSeries())
        names << s->name();
    return names.join(',').toStdString();
}

TEST(TrendWindow, DrawsTheTickedBreakersWithOnePointPerPoll) {
    TrendStore store(100, 2);
    for (int t = 0; t < 30; ++t)
        store.record(branch(3, t), 1000 + t);
    const auto levels = [](int, int, const TrendWindow::GiveLevels& give) {
        DeviceLevels l = DeviceLevels::none();
        l.breakerWarning.fill(30), l.breakerAlarm.fill(40);
        give(l);
    };
    TrendWindow window(
        store, levels, [](int) { return QStringLiteral("PNL1"); }, 3);
    EXPECT_EQ(curveNames(window.view()), "Breaker 38,Breaker 39,Breaker 40,Breaker 41,Breaker 42")
        << "the default is not the five highest currents";
    for (int c = 0; c < 5; ++c)
        EXPECT_EQ(window.view().drawnPoints(c), 30);
    EXPECT_EQ(window.view().summary()->rowCount(), 5) << "summary lacks a curve";
    EXPECT_EQ(window.view().summary()->item(0, 1)->text().toStdString(), "38.029") << "latest";
    window.show(); // markers of a legend never shown are all hidden
    QStringList legend;
    for (QLegendMarker* m : window.view().chart()->legend()->markers())
        if (m->isVisible())
            legend << m->label();
    EXPECT_EQ(legend.mid(5).join(',').toStdString(),
              "Warning levels (dotted),Alarm levels (dashed)");

    window.setTicked({0, 6});
    EXPECT_EQ(curveNames(window.view()), "Breaker 1,Breaker 7");
    // Past the buffer's bound the curves keep the newest 100 points.
    for (int t = 30; t < 130; ++t)
        store.record(branch(3, t), 1000 + t);
    window.refresh();
    EXPECT_EQ(window.view().drawnPoints(0), 100);
    EXPECT_FLOAT_EQ(static_cast<float>(window.view().curveSeries()[1]->at(99).y()), 7.129f);
    MeterReading failed = branch(3, 0);
    failed.result = Timeout;
    store.record(failed, 1130);
    store.record(branch(3, 131), 1131);
    window.refresh();
    EXPECT_EQ(window.view().runs(0), 2u) << "a failed read drawn as a straight line";
    test::TempDir dir;
    ASSERT_EQ(window.view().exportCsv(dir.file("trend")), "");
    const auto rows = test::readLines(dir.file("trend.csv"));
    ASSERT_EQ(rows.size(), 100u) << "gap written, or first row twice";
    EXPECT_EQ(rows[0], "Time,Breaker 1 (A),Breaker 7 (A)") << "units missing";
    window.setPaused(true);
    store.record(branch(3, 200), 1200);
    window.refresh();
    EXPECT_EQ(window.view().curveSeries()[0]->at(0).x(), 1032000.0) << "paused curves moved";
}

TEST(JournalWindow, NewestFirstFilteredAndCopied) {
    test::TempDir dir;
    Settings settings;
    settings.saveFile = dir.file("log.csv");
    MeterList meters;
    meters.addDevice("03 - PNL1 [Kyrel Branch Circuit Monitor, 42 Breakers]");
    std::time_t now = 5000;
    MeterReading r = branch(3, 0);
    r.registers[kRegAlarmSummary] = 1;
    r.registers[kRegWarningFlags] = 1;
    TrendRecorder([&] { return now; }, settings, meters).pollRead(r); // an earlier run's warning
    TrendRecorder recorder([&] { return now; }, settings, meters);
    recorder.readHistory();
    JournalWindow window(recorder);
    recorder.onEntries = [&](const std::vector<JournalEntry>& e) { window.add(e); };
    ++now;
    r.result = Timeout;
    recorder.pollRead(r);
    QTableWidget* table = window.table();
    ASSERT_EQ(table->rowCount(), 2);
    EXPECT_EQ(table->item(0, 3)->text(), "Comm failure") << "not newest first";
    window.findChild<QComboBox*>("kindFilter")->setCurrentIndex(1); // warnings and alarms
    ASSERT_EQ(table->rowCount(), 1);
    table->selectRow(0);
    EXPECT_TRUE(window.selectedText().endsWith("3\tPNL1\tWarning\tBreaker 1\t1.000 A\tactive\n"))
        << window.selectedText().toStdString();
    // Both entries are active; acknowledging the selected one, then all,
    // is counted in the title and in the book the main window counts.
    int told = -1;
    recorder.journal().onActiveCountChanged = [&](int n) { told = n; };
    EXPECT_EQ(window.windowTitle(), "Alarm Journal (2 active)");
    window.findChild<QPushButton*>("acknowledgeButton")->click();
    EXPECT_EQ(window.windowTitle(), "Alarm Journal (1 active)");
    EXPECT_EQ(table->item(0, 6)->text(), "acknowledged") << "the row shows no state";
    window.acknowledgeAll();
    EXPECT_EQ(window.windowTitle(), "Alarm Journal");
    EXPECT_EQ(told, 0);
}

TEST(LogViewerWindow, ReadsAFileInTheBackgroundAndReportsSkippedLines) {
    test::TempDir dir;
    const std::string path = dir.file("log.txt");
    {
        std::ofstream out(path);
        for (int row = 0; row < 3; ++row) {
            out << "07/04/2026 14:0" << row << ":00\t4";
            for (int v = 0; v < 27; ++v)
                out << '\t' << v + row;
            out << "\n";
        }
        out << "not a row\n";
    }
    LogViewerWindow window;
    auto* csv = window.findChild<QPushButton*>("exportCsvButton");
    EXPECT_FALSE(csv->isEnabled()) << "Export offered with nothing loaded";
    QSignalSpy done(&window, &LogViewerWindow::finished);
    window.open(QString::fromStdString(path));
    ASSERT_TRUE(done.wait(20000));
    EXPECT_TRUE(window.status().contains("3 rows of 1 devices; 1 lines skipped"))
        << window.status().toStdString();
    EXPECT_EQ(window.findChild<QListWidget*>("valueList")->count(), 27);
    ASSERT_EQ(window.view().curveSeries().size(), 3u);
    EXPECT_EQ(window.view().drawnPoints(0), 3);
    EXPECT_TRUE(csv->isEnabled());
}

} // namespace
} // namespace tarvo
