#include "settings/configuration_dialog.h"

#include <QFocusEvent>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>
#include <gtest/gtest.h>

#include "link/serial_port.h"
#include "settings/settings.h"
#include "support/qt_application.h"
#include "support/recording_operator.h"
#include "support/temp_dir.h"

namespace tarvo {
namespace {

[[maybe_unused]] auto* const kQt = ::testing::AddGlobalTestEnvironment(new test::QtApplication);

class ConfigurationDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        settings.portName = "COM2:";
        settings.speedCode = SerialPort::kSpeed9600;
        settings.parityCode = SerialPort::kParityNone;
        settings.saveFile = "/data/DATA.TXT";
        settings.dsn = "plant";
        settings.table = "samples";
    }

    void open() {
        dialog = std::make_unique<ConfigurationDialog>(
            settings, op, dir.file("Tarvo.cfg"),
            ConfigurationDialog::Actions{[this](const std::string& name, const auto& done) {
                                             opened.push_back(name);
                                             if (openSucceeds)
                                                 settings.portName = name;
                                             else
                                                 op.showMessage("Unable to open " + name);
                                             done(openSucceeds);
                                         },
                                         [this] { ++scheduled; }, [this] { ++helps; }});
        dialog->show();
    }

    template <class T>
    T* child(const char* name) {
        T* w = dialog->findChild<T*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QString text(const char* name) { return child<QLineEdit>(name)->text(); }
    void click(const char* name) {
        QTest::mouseClick(child<QAbstractButton>(name), Qt::LeftButton);
    }
    void leave(const char* name) {
        QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
        QApplication::sendEvent(child<QLineEdit>(name), &out);
    }
    void type(const char* name, const QString& t) {
        QLineEdit* e = child<QLineEdit>(name);
        e->clear();
        QTest::keyClicks(e, t);
    }

    test::TempDir dir{"tarvo-configdlg"};
    Settings settings;
    test::RecordingOperator op;
    std::unique_ptr<ConfigurationDialog> dialog;
    std::vector<std::string> opened;
    bool openSucceeds = true;
    int scheduled = 0;
    int helps = 0;
};

TEST_F(ConfigurationDialogTest, OpensWithTheCurrentValues) {
    settings.location = std::string(50, 'L'); // beyond the 32 that can be typed
    settings.scan = 16;
    settings.speedCode = SerialPort::kSpeed4800;
    settings.parityCode = SerialPort::kParityEven;
    open();
    EXPECT_EQ(text("locationEdit"), QString(50, 'L'));
    EXPECT_EQ(text("intervalEdit"), "5 min");
    EXPECT_EQ(text("portEdit"), "COM2:");
    EXPECT_EQ(text("scanDepthEdit"), "16 devices");
    EXPECT_EQ(text("saveFileEdit"), "/data/DATA.TXT");
    EXPECT_EQ(text("dsnEdit"), "plant");
    EXPECT_EQ(text("tableEdit"), "samples");
    EXPECT_TRUE(child<QRadioButton>("com1Radio")->toolTip().contains("/dev/tty"))
        << "each port button tells which device it opens here";
    click("helpButton");
    EXPECT_EQ(helps, 1);
    for (const char* name : {"com1Radio", "com2Radio", "com3Radio", "com4Radio", "speed2400Radio",
                             "speed4800Radio", "speed9600Radio", "speed19200Radio",
                             "parityNoneRadio", "parityEvenRadio", "parityOddRadio"}) {
        const std::string n = name;
        EXPECT_EQ(child<QRadioButton>(name)->isChecked(),
                  n == "com2Radio" || n == "speed4800Radio" || n == "parityEvenRadio")
            << name;
    }
    click("okButton");
    EXPECT_EQ(settings.location, std::string(50, 'L')) << "OK without an edit keeps it whole";
}

TEST_F(ConfigurationDialogTest, ControlsActAtOnceAndCancelRestoresAllButTheScanDepth) {
    settings.interval = 15;
    open();
    click("com3Radio");
    EXPECT_EQ(text("portEdit"), "COM3:");
    openSucceeds = false;
    click("com4Radio");
    EXPECT_EQ(opened, (std::vector<std::string>{"COM3:", "COM4:"}));
    EXPECT_EQ(text("portEdit"), "COM3:") << "a port that failed to open is not shown";
    click("speed19200Radio");
    click("parityOddRadio");
    click("scanDepthDownButton");
    EXPECT_EQ(settings.speedCode, SerialPort::kSpeed19200);
    EXPECT_EQ(settings.parityCode, SerialPort::kParityOdd);
    click("scanDepthUpButton");
    click("scanDepthUpButton");
    EXPECT_EQ(text("scanDepthEdit"), "1 devices");
    click("intervalUpButton");
    EXPECT_EQ(text("intervalEdit"), "20 min");
    type("locationEdit", "Elsewhere");
    settings.saveFile = "/elsewhere.txt"; // as a logging dialog would
    click("cancelButton");
    EXPECT_EQ(settings.portName, "COM2:");
    EXPECT_EQ(settings.speedCode, SerialPort::kSpeed9600);
    EXPECT_EQ(settings.parityCode, SerialPort::kParityNone);
    EXPECT_EQ(settings.interval, 15);
    EXPECT_EQ(settings.location, "Here");
    EXPECT_EQ(settings.saveFile, "/data/DATA.TXT");
    EXPECT_EQ(settings.scan, 1) << "the scan depth is not put back";
    EXPECT_EQ(scheduled, 0);
}

// A refused location keeps the dialog open on its field; OK then stores.
TEST_F(ConfigurationDialogTest, OkStoresLocationAndIntervalAndReschedules) {
    open();
    child<QLineEdit>("locationEdit")->setText("Plant\nsave_file /etc/passwd"); // pasted
    click("okButton");
    EXPECT_EQ(dialog->focusWidget(), child<QLineEdit>("locationEdit"));
    EXPECT_EQ(settings.location, "Here");
    EXPECT_EQ(scheduled, 0);
    EXPECT_EQ(op.messages.size(), 1u) << "the refusal, whose text the form's table holds";
    type("locationEdit", "Plant 4");
    type("intervalEdit", "8");
    click("scanDepthUpButton");
    EXPECT_EQ(text("intervalEdit"), "8") << "another control's click keeps the typed interval";
    leave("intervalEdit");
    EXPECT_EQ(text("intervalEdit"), "10 min");
    click("intervalDownButton");
    click("okButton");
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(settings.location, "Plant 4");
    EXPECT_EQ(settings.interval, 6);
    EXPECT_EQ(scheduled, 1);
}

TEST_F(ConfigurationDialogTest, SaveWritesTheShownIntervalAndTheTakenLocation) {
    settings.location = "Here";
    open();
    click("intervalUpButton"); // 6 min; the click takes the fields too
    type("locationEdit", "Typed");
    click("saveButton");
    EXPECT_EQ(settings.interval, 5) << "Settings keeps the old interval until OK";
    const std::vector<std::string> file = test::readLines(dir.file("Tarvo.cfg"));
    EXPECT_EQ(file[4], "location Here") << "the location typed after the last take is not saved";
    EXPECT_EQ(file[5], "interval 6");
    EXPECT_TRUE(dialog->isVisible()) << "Save does not close the dialog";
    EXPECT_EQ(op.messages.size(), 1u) << "the saved message, whose text the settings tests hold";
}

} // namespace
} // namespace tarvo
