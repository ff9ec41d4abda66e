#include "logging/mqtt_setup_dialog.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include "settings/settings.h"

namespace tarvo {
namespace {

// What the dialog says for values it must not store or a server it cannot
// reach; the window stays live while the test connection runs.
TEST(MqttSetupDialog, RefusesAndTestsInWords) {
    const struct {
        const char* fault;
        QString server;
        QString user;
        bool test; // press "Test connection" rather than OK
        const char* says;
    } rows[] = {
        {"a line break stored in the file", "localhost", "a\nb", false, "control character"},
        {"a port out of range taken", "localhost:0", "", false, "is not 1 to 65535"},
        {"a refused connection said as anything else", "127.0.0.1:1", "", true,
         "refused the connection"},
    };
    for (const auto& row : rows) {
        Settings settings;
        MqttSetupDialog dialog(settings, "Here");
        dialog.findChild<QLineEdit*>("server")->setText(row.server);
        dialog.findChild<QLineEdit*>("user")->setText(row.user);
        if (row.test)
            dialog.findChild<QPushButton*>("testButton")->click();
        else
            dialog.accept();
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.testing(), 10000);
        EXPECT_TRUE(dialog.testResult().contains(row.says))
            << row.fault << ": " << dialog.testResult().toStdString();
        EXPECT_EQ(dialog.result(), QDialog::Rejected) << row.fault;
        EXPECT_TRUE(settings.mqttServer.empty()) << row.fault;
    }
}

} // namespace
} // namespace tarvo
