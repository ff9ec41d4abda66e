#include "settings/configuration_dialog.h"

#include <QFocusEvent>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "link/serial_port.h"
#include "settings/settings.h"
#include "support/qt_application.h"
#include "support/recording_operator.h"

namespace tarvo {
namespace {

[[maybe_unused]] auto* const kQt = ::testing::AddGlobalTestEnvironment(new test::QtApplication);

namespace fs = std::filesystem;

class ConfigurationDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("tarvo-configdlg-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        settings.portName = "COM2:";
        settings.speedCode = SerialPort::kSpeed9600;
        settings.parityCode = SerialPort::kParityNone;
        settings.saveFile = "/data/DATA.TXT";
        settings.dsn = "plant";
        settings.table = "samples";
    }
    void TearDown() override {
        dialog.reset();
        fs::remove_all(dir);
    }

    void open() {
        dialog = std::make_unique<ConfigurationDialog>(
            settings, op, dir / "Tarvo.cfg",
            ConfigurationDialog::Actions{[this](const std::string& name) {
                                             opened.push_back(name);
                                             if (openSucceeds)
                                                 settings.portName = name;
                                             else
                                                 op.showMessage("Unable to open " + name);
                                             return openSucceeds;
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
    std::string savedFile() {
        std::ostringstream s;
        s << std::ifstream(dir / "Tarvo.cfg").rdbuf();
        return s.str();
    }

    Settings settings;
    test::RecordingOperator op;
    std::unique_ptr<ConfigurationDialog> dialog;
    std::vector<std::string> opened;
    bool openSucceeds = true;
    int scheduled = 0;
    int helps = 0;
    fs::path dir;
};

TEST_F(ConfigurationDialogTest, OpensWithTheCurrentValues) {
    settings.location = "Plant 4";
    settings.scan = 16;
    open();
    EXPECT_EQ(dialog->windowTitle(), "Configuration");
    EXPECT_EQ(text("locationEdit"), "Plant 4");
    EXPECT_EQ(text("intervalEdit"), "5 min");
    EXPECT_EQ(text("portEdit"), "COM2:");
    EXPECT_EQ(text("scanDepthEdit"), "16 devices");
    EXPECT_EQ(text("saveFileEdit"), "/data/DATA.TXT");
    EXPECT_EQ(text("dsnEdit"), "plant");
    EXPECT_EQ(text("tableEdit"), "samples");
    EXPECT_TRUE(child<QRadioButton>("com1Radio")->toolTip().contains("/dev/tty"))
        << "each port button tells which device it opens here";
}

TEST_F(ConfigurationDialogTest, RadioButtonsMatchExactlyOrNotAtAll) {
    const std::vector<const char*> all = {"com1Radio",       "com2Radio",       "com3Radio",
                                          "com4Radio",       "speed2400Radio",  "speed4800Radio",
                                          "speed9600Radio",  "speed19200Radio", "parityNoneRadio",
                                          "parityEvenRadio", "parityOddRadio"};
    const struct {
        const char* name;
        std::string portName;
        int speed;
        int parity;
        std::vector<std::string> checked; // every other port/speed/parity radio is clear
    } cases[] = {
        {"COM5: selects no port button", "COM5:", 2048, 0, {"speed9600Radio", "parityNoneRadio"}},
        {"the name without its colon is another name",
         "COM1",
         256,
         2,
         {"speed2400Radio", "parityEvenRadio"}},
        {"lower case is another name", "com3:", 8192, 1, {"speed19200Radio", "parityOddRadio"}},
        {"unknown speed and parity codes select nothing", "COM4:", 9600, 7, {"com4Radio"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        settings.portName = c.portName;
        settings.speedCode = c.speed;
        settings.parityCode = c.parity;
        open();
        for (const char* name : all) {
            EXPECT_EQ(child<QRadioButton>(name)->isChecked(),
                      std::ranges::count(c.checked, name) == 1)
                << name;
        }
    }
}

TEST_F(ConfigurationDialogTest, IntervalFieldTakesTheNearestEntryWhenLeft) {
    const struct {
        const char* name;
        int settingsInterval;
        QString typed; // empty: none
        QString expected;
    } cases[] = {
        {"7 opens as 6", 7, "", "6 min"},
        {"8 is the midpoint of 6 and 10: the longer", 7, "8", "10 min"},
        {"0 becomes 1", 7, "0", "1 min"},
        {"100 becomes 60", 7, "100", "60 min"},
        {"letters revert to the previous choice", 7, "abc", "6 min"},
        {"fractions count: 44.9 is nearer 30", 5, "44.9", "30 min"},
        {"the field's own text reads back", 5, "12 min", "12 min"},
        {"a settings interval of 0 opens as 1", 0, "", "1 min"},
        {"a negative one too", -3, "", "1 min"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        settings.interval = c.settingsInterval;
        open();
        if (!c.typed.isEmpty()) {
            type("intervalEdit", c.typed);
            leave("intervalEdit");
        }
        EXPECT_EQ(text("intervalEdit"), c.expected);
        EXPECT_EQ(settings.interval, c.settingsInterval) << "Settings changes only on OK";
    }
}

TEST_F(ConfigurationDialogTest, ArrowsWrapAround) {
    const struct {
        const char* name;
        int interval;
        int scan;
        const char* button;
        const char* field;
        QString expected;
    } cases[] = {
        {"interval up at 60 wraps to 1", 60, 247, "intervalUpButton", "intervalEdit", "1 min"},
        {"interval down at 1 wraps to 60", 1, 247, "intervalDownButton", "intervalEdit", "60 min"},
        {"interval up steps through the list", 6, 247, "intervalUpButton", "intervalEdit",
         "10 min"},
        {"scan depth down at 1 wraps to 247", 5, 1, "scanDepthDownButton", "scanDepthEdit",
         "247 devices"},
        {"scan depth up at 247 wraps to 1", 5, 247, "scanDepthUpButton", "scanDepthEdit",
         "1 devices"},
        {"scan depth beyond 247 from the file wraps up to 1", 5, 300, "scanDepthUpButton",
         "scanDepthEdit", "1 devices"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        settings.interval = c.interval;
        settings.scan = c.scan;
        open();
        click(c.button);
        EXPECT_EQ(text(c.field), c.expected);
    }
}

TEST_F(ConfigurationDialogTest, ControlsActAtOnceAndCancelRestoresAllButTheScanDepth) {
    settings.interval = 15;
    open();
    click("com3Radio");
    EXPECT_EQ(opened, (std::vector<std::string>{"COM3:"}));
    EXPECT_EQ(text("portEdit"), "COM3:");
    click("speed19200Radio");
    click("parityOddRadio");
    click("scanDepthDownButton");
    EXPECT_EQ(settings.speedCode, SerialPort::kSpeed19200);
    EXPECT_EQ(settings.parityCode, SerialPort::kParityOdd);
    EXPECT_EQ(settings.scan, 246);
    click("intervalUpButton");
    type("locationEdit", "Elsewhere");
    settings.saveFile = "/elsewhere.txt"; // as a logging dialog would
    click("cancelButton");
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    EXPECT_EQ(settings.portName, "COM2:");
    EXPECT_EQ(settings.speedCode, SerialPort::kSpeed9600);
    EXPECT_EQ(settings.parityCode, SerialPort::kParityNone);
    EXPECT_EQ(settings.interval, 15);
    EXPECT_EQ(settings.location, "Here");
    EXPECT_EQ(settings.saveFile, "/data/DATA.TXT");
    EXPECT_EQ(settings.scan, 246) << "the scan depth is not put back";
    EXPECT_EQ(scheduled, 0);
}

TEST_F(ConfigurationDialogTest, FailedPortOpenKeepsTheShownName) {
    openSucceeds = false;
    open();
    click("com4Radio");
    EXPECT_EQ(text("portEdit"), "COM2:");
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text, "Unable to open COM4:");
}

TEST_F(ConfigurationDialogTest, OkStoresLocationAndIntervalAndReschedules) {
    open();
    type("locationEdit", "Plant 4");
    click("intervalDownButton");
    click("okButton");
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(settings.location, "Plant 4");
    EXPECT_EQ(settings.interval, 4);
    EXPECT_EQ(scheduled, 1);
}

TEST_F(ConfigurationDialogTest, QuotesInTheLocationKeepTheDialogOpen) {
    for (const char* location : {"Bob's", "the \"main\" hall"}) {
        SCOPED_TRACE(location);
        op.messages.clear();
        settings.location = "Here";
        open();
        type("locationEdit", location);
        click("okButton");
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_EQ(settings.location, "Here");
        EXPECT_EQ(scheduled, 0);
        ASSERT_EQ(op.messages.size(), 1u);
        EXPECT_EQ(op.messages[0].text, "The Location name may not contain quote characters");
        EXPECT_EQ(op.messages[0].title, "");
    }
}

TEST_F(ConfigurationDialogTest, SaveWritesTheShownIntervalAndTheTakenLocation) {
    settings.location = "Here";
    open();
    click("intervalUpButton"); // 6 min; the click takes the fields too
    type("locationEdit", "Typed");
    click("saveButton");
    EXPECT_EQ(settings.interval, 5) << "Settings keeps the old interval until OK";
    const std::string file = savedFile();
    EXPECT_NE(file.find("\ninterval 6\n"), std::string::npos) << file;
    EXPECT_NE(file.find("\nlocation Here\n"), std::string::npos)
        << "the location typed after the last take is not saved";
    EXPECT_TRUE(dialog->isVisible()) << "Save does not close the dialog";
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text,
              "Current settings saved to \"Tarvo.cfg\"\nThis file will be read when the program is "
              "restarted");
}

TEST_F(ConfigurationDialogTest, HelpButtonRunsTheHelpCommand) {
    open();
    click("helpButton");
    EXPECT_EQ(helps, 1);
}

} // namespace
} // namespace tarvo
