#include "logging/logging_file_setup_dialog.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "settings/settings.h"
#include "support/recording_operator.h"

namespace tarvo {
namespace {

class LoggingFileSetupDialogTest : public ::testing::Test {
protected:
    void open() {
        dialog = std::make_unique<LoggingFileSetupDialog>(settings, op, nullptr);
        dialog->setFileChooser([this](QWidget*) { return chooserAnswer; });
        dialog->show();
    }
    template <class T>
    T* child(const char* name) {
        T* w = dialog->findChild<T*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    // Near the left edge: a radio button or check box takes clicks only on
    // its indicator and label, not on the whole width the layout gives it.
    void click(const char* name) {
        QAbstractButton* b = child<QAbstractButton>(name);
        QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(6, b->height() / 2));
    }
    bool checked(const char* name) { return child<QAbstractButton>(name)->isChecked(); }

    Settings settings;
    test::RecordingOperator op;
    std::unique_ptr<LoggingFileSetupDialog> dialog;
    std::optional<std::string> chooserAnswer;
};

TEST_F(LoggingFileSetupDialogTest, LoggingNeedsAFileFirst) {
    open();
    click("loggingActiveCheck");
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text, "You must specify a file before enabling the logging function!");
    EXPECT_EQ(op.messages[0].title, "") << "the program's own title";
    EXPECT_FALSE(checked("loggingActiveCheck"));
    EXPECT_FALSE(settings.fileLoggingActive);

    chooserAnswer = "/tmp/DATA.TXT";
    click("selectFileButton");
    EXPECT_EQ(child<QLineEdit>("fileNameEdit")->text(), "/tmp/DATA.TXT");
    EXPECT_EQ(settings.saveFile, "/tmp/DATA.TXT");
    EXPECT_FALSE(settings.fileLoggingActive) << "choosing a file does not switch logging on";

    click("loggingActiveCheck");
    EXPECT_TRUE(settings.fileLoggingActive);
    EXPECT_EQ(op.messages.size(), 1u);
}

TEST_F(LoggingFileSetupDialogTest, OpensWithTheFormatsRadioAndUnknownFormatsAsComma) {
    const struct {
        const char* name;
        int format;
        const char* radio;
    } cases[] = {
        {"comma", Csv, "csvRadio"},         {"tab", TabText, "tabRadio"},
        {"space", SpaceText, "spaceRadio"}, {"0 is a comma", 0, "csvRadio"},
        {"9 is a comma", 9, "csvRadio"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        settings.format = c.format;
        open();
        for (const char* r : {"csvRadio", "tabRadio", "spaceRadio"})
            EXPECT_EQ(checked(r), std::string(r) == c.radio) << r;
    }
}

TEST_F(LoggingFileSetupDialogTest, FormatRadiosActAtOnceAndCancelRestoresAllThree) {
    settings.saveFile = "/old.csv";
    settings.fileLoggingActive = true;
    settings.format = Csv;
    open();
    click("selectFileButton"); // the chooser is cancelled
    EXPECT_EQ(settings.saveFile, "/old.csv");
    click("tabRadio");
    EXPECT_EQ(settings.format, TabText) << "at once, while the dialog is open";
    chooserAnswer = "/new.txt";
    click("selectFileButton");
    click("loggingActiveCheck");
    EXPECT_FALSE(settings.fileLoggingActive);
    click("cancelButton");
    EXPECT_EQ(settings.format, Csv);
    EXPECT_EQ(settings.saveFile, "/old.csv");
    EXPECT_TRUE(settings.fileLoggingActive);
}

// Chosen paths the settings could not keep as they are.
TEST_F(LoggingFileSetupDialogTest, UnstorablePathIsRefusedRatherThanCutOrSplit) {
    const struct {
        std::string path;
        const char* message;
    } cases[] = {
        {"/" + std::string(Settings::kSaveFileCapacity, 'x'),
         "The file name is too long: at most 1023 characters."},
        {"/tmp/a\nsave_file /etc/passwd", "The file name may not contain control characters"},
    };
    for (const auto& c : cases) {
        op.messages.clear();
        open();
        chooserAnswer = c.path;
        click("selectFileButton");
        EXPECT_TRUE(settings.saveFile.empty());
        ASSERT_EQ(op.messages.size(), 1u);
        EXPECT_EQ(op.messages[0].text, c.message);
        EXPECT_EQ(dialog->focusWidget(), child<QLineEdit>("fileNameEdit"));
    }
}

TEST_F(LoggingFileSetupDialogTest, FileChooserOffersTheThreeFiltersAndTheDefaults) {
    const auto chooser = LoggingFileSetupDialog::makeFileChooser(nullptr);
    EXPECT_EQ(chooser->acceptMode(), QFileDialog::AcceptSave);
    EXPECT_EQ(chooser->defaultSuffix(), "TXT");
    EXPECT_EQ(chooser->nameFilters(),
              (QStringList{"Text (Comma Delimited) (*.csv)", "Text (Tab Delimited) (*.txt)",
                           "All Files (*)"}));
    EXPECT_EQ(chooser->selectedNameFilter(), "Text (Comma Delimited) (*.csv)");
}

} // namespace
} // namespace tarvo
