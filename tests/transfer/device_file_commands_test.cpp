// The Config menu's settings-file commands against the simulator, with the
// file chooser and the questions answered by the test.
#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>

#include "link/serial_port.h"
#include "sim/server.h"
#include "support/fake_clock.h"
#include "support/qt_application.h"
#include "support/recording_operator.h"
#include "support/temp_dir.h"
#include "support/traced_master.h"
#include "transfer/device_file_commands.h"

namespace tarvo {
namespace {

[[maybe_unused]] auto* const kQt = ::testing::AddGlobalTestEnvironment(new test::QtApplication);

struct MenuCase {
    const char* fault;
    const char* action; // object name
    const char* text;   // the menu item's
    int address;
    int alarm7;  // breaker 7's alarm level on the device; the file was saved with 85
    bool answer; // to every question
    const char* message;
    int writes;
};

TEST(DeviceFileCommands, MenuItemsRunOnTheSelectedDevice) {
    test::TempDir dir;
    sim::PtyServer sim;
    sim.bus().addDevice(sim::Model::Branch, 3, "PNL1");
    SerialPort port;
    ASSERT_TRUE(port.open(sim.slavePath()));
    test::TracedMaster bus;
    test::FakeClock clock;
    test::RecordingOperator op;
    int address = 3;
    bool answer = true;
    DeviceFileCommands commands({bus.master, port, bus.devices, op, clock, [&] { return address; }},
                                nullptr);
    const QString file = QString::fromStdString(dir.file("a.tds"));
    commands.chooseFile = [&](const QString&, bool) { return file; };
    commands.ask = [&](const QString&, const QString&) { return answer; };
    commands.showReport = [&](const QString& text, const QString&) {
        op.showMessage(text.toStdString());
    };
    const std::string saved =
        "Saved the settings of the branch monitor at address 3 to " + file.toStdString() + ".";
    const MenuCase cases[] = {
        {"nothing selected reaches the bus", "saveDeviceSettingsAction", "Save Device Settings...",
         -1, 85, true, "You must select a valid meter before attempting to configure it!", 0},
        {"saved file not reported", "saveDeviceSettingsAction", "Save Device Settings...", 3, 85,
         true, saved.c_str(), 0},
        {"difference not reported", "compareDeviceAction", "Compare Device with File...", 3, 80,
         true, "Settings that differ: 1. Nothing was written.", 0},
        {"declined write still written", "writeFileAction", "Write File to Device...", 3, 80, false,
         "", 0},
        {"confirmed write not written", "writeFileAction", "Write File to Device...", 3, 80, true,
         "The device took every setting written.", 1},
    };
    QMenu menu;
    commands.addActions(&menu);
    for (const MenuCase& c : cases) {
        address = c.address;
        answer = c.answer;
        sim.bus().setRegister(3, 141, static_cast<std::uint16_t>(c.alarm7));
        sim.bus().clearLog();
        op.messages.clear();
        auto* action = menu.findChild<QAction*>(QString::fromUtf8(c.action));
        ASSERT_NE(action, nullptr) << c.fault;
        EXPECT_EQ(action->text().toStdString(), c.text) << c.fault;
        action->trigger();
        EXPECT_EQ(op.messages.empty() ? "" : op.messages.back().text, c.message) << c.fault;
        EXPECT_EQ(static_cast<int>(sim.bus().writes().size()), c.writes) << c.fault;
    }
}

} // namespace
} // namespace tarvo
