// "Panel Overview" offscreen: the rows as the watch left the devices, and
// the device chosen by double-click or Enter.
#include <gtest/gtest.h>

#include <QTableWidget>
#include <QTest>

#include "session/panel_overview_dialog.h"
#include "support/local_zone.h"
#include "support/qt_application.h"

namespace tarvo {
namespace {

[[maybe_unused]] auto* const kQt = ::testing::AddGlobalTestEnvironment(new test::QtApplication);

TEST(PanelOverview, RowsSayTheLampInWordsAndEnterSelectsTheDevice) {
    const test::LocalZone utc("UTC");
    std::vector<WatchStatus> status(3);
    status[0] = {{2, BranchMonitor, "PNL1"}, Lamp::Alarm, true, false, 1783173909, 0};
    status[1] = {{3, CircuitMeter8, "MAIN"}, Lamp::Normal, true, true, 0, 4};
    status[2] = {{5, BranchMonitor100A, ""}, Lamp::Normal, false, false, 0, 0};
    PanelOverviewDialog dialog;
    int chosen = -1;
    dialog.onSelect = [&](int address) { chosen = address; };
    dialog.setRows(overviewRows(status));
    QTableWidget* t = dialog.table();
    const char* expected[3][6] = {
        {"02", "PNL1", "Branch monitor", "alarm", "14:05:09", "0"},
        {"03", "MAIN", "Circuit meter 8", "no answer", "never", "4"},
        {"05", "", "Branch monitor 100A", "not read yet", "never", "0"},
    };
    ASSERT_EQ(t->rowCount(), 3);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 6; ++c)
            EXPECT_EQ(t->item(r, c)->text().toStdString(), expected[r][c]) << r << "," << c;
    t->setCurrentCell(1, 0);
    QTest::keyClick(&dialog, Qt::Key_Return);
    EXPECT_EQ(chosen, 3) << "Enter did not select the device";
    status.insert(status.begin(), WatchStatus{{1, CircuitMeter6, "NEW"}});
    dialog.setRows(overviewRows(status));
    EXPECT_EQ(t->currentRow(), 2) << "a device listed before moved the selection";
}

} // namespace
} // namespace tarvo
