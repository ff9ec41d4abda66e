// The database setup dialogs against the SQLite ODBC driver: automatic and
// hand-made links, what OK stores, table creation, and Logging > ODBC.
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <gtest/gtest.h>

#include "logging/database_logger.h"
#include "logging/database_setup_dialogs.h"
#include "logging/log_variables.h"
#include "logging/odbc_command.h"
#include "logging/sample_queue.h"
#include "logging/save_to_database_setup_dialog.h"
#include "odbc_test_support.h"
#include "settings/settings.h"
#include "support/qt_application.h"
#include "support/recording_operator.h"

namespace tarvo {
namespace {

using test::RecordingOperator;
using test::SharedOdbcConfig;
using test::SqlClient;

// The program's one QApplication; its ODBC data sources are set up in
// odbc_library_test.cpp.
[[maybe_unused]] auto* const kQt = ::testing::AddGlobalTestEnvironment(new test::QtApplication);

class SetupDialog : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::OdbcConfig::sqliteDriverPresent())
            GTEST_SKIP() << "the SQLite ODBC driver (libsqliteodbc) is not installed";
        std::filesystem::remove(SharedOdbcConfig::sqliteFile());
        m_sql = std::make_unique<SqlClient>(SharedOdbcConfig::kSqliteDsn);
        ASSERT_TRUE(m_sql->connected());
        m_settings.databaseLogState = SetupOpen;
    }
    void TearDown() override { delete m_dialog.data(); }

    // Opens the dialog as the command does; whether it started.
    bool open(std::vector<std::string> libraryNames = OdbcLibrary::defaultLibraryNames()) {
        m_odbc = std::make_unique<OdbcLibrary>(std::move(libraryNames));
        m_dialog = new SaveToDatabaseSetupDialog(*m_odbc, m_settings, &m_op);
        m_dialog->show();
        return m_dialog->start();
    }

    QListWidget* list(const char* name) { return m_dialog->findChild<QListWidget*>(name); }
    QPushButton* button(const char* name) { return m_dialog->findChild<QPushButton*>(name); }

    static void select(QListWidget* widget, const QString& text) {
        const QList<QListWidgetItem*> items = widget->findItems(text, Qt::MatchExactly);
        ASSERT_EQ(items.size(), 1) << text.toStdString();
        widget->setCurrentItem(items.first());
    }

    void openTable(const char* createSql, const char* table = "Samples") {
        ASSERT_EQ(m_sql->exec(createSql), "");
        ASSERT_TRUE(open());
        select(list("dsnList"), SharedOdbcConfig::kSqliteDsn);
        select(list("tableList"), table);
    }

    std::string firstRow() { return list("mappingList")->item(0)->text().toStdString(); }

    std::unique_ptr<SqlClient> m_sql;
    std::unique_ptr<OdbcLibrary> m_odbc;
    Settings m_settings;
    RecordingOperator m_op;
    QPointer<SaveToDatabaseSetupDialog> m_dialog;
};

// Every action waits for a table; its columns named like variables are
// linked, and OK stores the choice.
TEST_F(SetupDialog, ColumnsNamedLikeVariablesAreLinkedAndOkStoresThem) {
    ASSERT_EQ(m_sql->exec("CREATE TABLE Samples (meter INTEGER, LOCATION VARCHAR(40), "
                          "\"Date_Time\" TIMESTAMP, Note VARCHAR(10))"),
              "");
    ASSERT_TRUE(open());
    EXPECT_FALSE(m_dialog->isModal());
    ASSERT_EQ(list("variableList")->count(), 45);
    for (const char* name :
         {"okButton", "addTableButton", "addColumnButton", "linkButton", "unlinkButton"})
        EXPECT_FALSE(button(name)->isEnabled()) << name;
    select(list("dsnList"), SharedOdbcConfig::kSqliteDsn);
    select(list("tableList"), "Samples");
    EXPECT_EQ(list("mappingList")->count(), 4) << "one row per column";
    EXPECT_TRUE(button("okButton")->isEnabled());
    EXPECT_TRUE(button("addTableButton")->isEnabled());
    QTest::mouseClick(button("addColumnButton"), Qt::LeftButton);
    ASSERT_EQ(m_op.messages.size(), 1u) << "Add Column only explains";
    EXPECT_EQ(m_op.messages[0].text, "The feature to add another column to a database\nisn't "
                                     "written yet.  Please use your database software");
    QTest::keyClicks(m_dialog->findChild<QLineEdit*>("usernameField"), "scott");
    QTest::keyClicks(m_dialog->findChild<QLineEdit*>("passwordField"), "ti'ger");
    QTest::mouseClick(button("okButton"), Qt::LeftButton);
    EXPECT_EQ(m_settings.dsn + "|" + m_settings.table + "|" + m_settings.user + "|" +
                  m_settings.passwd,
              "tarvo_sqlite|Samples|scott|ti'ger");
    EXPECT_EQ(m_settings.links.size(), 3u);
    EXPECT_FALSE(m_dialog->isVisible());
}

// The list's clicks and buttons reach the mapping, and the list shows it;
// another data source empties it.
TEST_F(SetupDialog, LinkAndUnlinkAreWired) {
    openTable("CREATE TABLE Samples (Notes VARCHAR(40), Other VARCHAR(40))");
    QListWidget* mapping = list("mappingList");
    mapping->setCurrentRow(0);
    select(list("variableList"), "Amps7");
    emit list("variableList")->itemDoubleClicked(list("variableList")->currentItem());
    EXPECT_EQ(firstRow(), "Amps7\t->\tNotes");
    select(list("variableList"), "Location");
    emit mapping->itemDoubleClicked(mapping->item(0));
    EXPECT_EQ(firstRow(), "Location\t->\tNotes");
    EXPECT_EQ(mapping->currentRow(), 0) << "the edited row stays selected";
    QTest::mouseClick(button("unlinkButton"), Qt::LeftButton);
    EXPECT_EQ(firstRow(), "\t\tNotes");
    EXPECT_FALSE(button("okButton")->isEnabled()) << "the last link is gone";
    EXPECT_FALSE(button("unlinkButton")->isEnabled());
    QTest::mouseClick(button("linkButton"), Qt::LeftButton);
    EXPECT_TRUE(button("okButton")->isEnabled());
    select(list("dsnList"), "tarvo_first");
    EXPECT_EQ(list("tableList")->count(), 0) << "another data source empties the mapping";
    EXPECT_EQ(m_dialog->mapping().linkCount(), 0);
    EXPECT_FALSE(button("okButton")->isEnabled());
}

// Tables are listed without regard to case; a name the settings could not
// hold is refused when chosen, a control character in the password at OK.
TEST_F(SetupDialog, TablesSortIgnoringCaseAndControlCharactersAreRefused) {
    for (const char* table : {"b_table", "A_table", "\"bad\nname\""})
        ASSERT_EQ(m_sql->exec(std::string("CREATE TABLE ") + table + " (x INTEGER)"), "");
    openTable("CREATE TABLE a2 (meter INTEGER)", "bad\nname");
    ASSERT_EQ(m_op.messages.size(), 1u);
    EXPECT_EQ(m_op.messages[0].text, "The table name may not contain control characters");
    EXPECT_EQ(list("mappingList")->count(), 0);
    EXPECT_EQ(list("tableList")->item(0)->text().toStdString(), "a2");
    EXPECT_EQ(list("tableList")->item(1)->text().toStdString(), "A_table");

    select(list("tableList"), "a2");
    auto* password = m_dialog->findChild<QLineEdit*>("passwordField");
    password->setText("ti\nger"); // pasted with its line break; a tab is taken
    emit password->textEdited(password->text());
    QTest::mouseClick(button("okButton"), Qt::LeftButton);
    EXPECT_EQ(m_op.messages.size(), 2u) << "the password's refusal, the mapping's text";
    EXPECT_EQ(m_dialog->focusWidget(), password);
    EXPECT_TRUE(m_dialog->isVisible()) << "a refused OK leaves the dialog open";
}

TEST_F(SetupDialog, CancelTurnsLoggingOffAndKeepsTheStoredConfiguration) {
    m_settings.dsn = "kept";
    m_settings.links = {{0, SqlInteger, "m"}};
    openTable("CREATE TABLE Samples (meter INTEGER)");
    QTest::mouseClick(button("cancelButton"), Qt::LeftButton);
    EXPECT_EQ(m_settings.databaseLogState, Off);
    EXPECT_EQ(m_settings.links.size(), 1u);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(m_dialog.isNull()) << "a closed dialog deletes itself";
}

// Each row: the driver manager the dialog gets and what it must say.
TEST_F(SetupDialog, WithoutUsableOdbcItSaysWhyAndCloses) {
    const struct {
        const char* fault;
        std::vector<std::string> library;
        const char* message;
    } cases[] = {
        {"no driver manager", {"/nonexistent/libodbc.so.9"}, kLoadFailedText.data()},
        {"entry point missing", {TARVO_ODBC_STUB_PARTIAL}, kEntryPointMissingText.data()},
        {"no environment", {TARVO_ODBC_STUB}, kNoEnvironmentText.data()},
    };
    for (const auto& c : cases) {
        m_op.messages.clear();
        m_settings.databaseLogState = SetupOpen;
        EXPECT_FALSE(open(c.library)) << c.fault;
        ASSERT_EQ(m_op.messages.size(), 1u) << c.fault;
        EXPECT_EQ(m_op.messages[0].text, c.message) << c.fault;
        EXPECT_EQ(m_settings.databaseLogState, Off) << c.fault;
        EXPECT_FALSE(m_dialog->isVisible()) << c.fault;
        delete m_dialog.data();
    }
}

TEST_F(SetupDialog, AddTableCreatesItAndReloadsTheTableList) {
    openTable("CREATE TABLE Samples (meter INTEGER)");
    m_dialog->askNewTable = [] {
        return SaveToDatabaseSetupDialog::NewTable{"log_2024", AllColumns};
    };
    QTest::mouseClick(button("addTableButton"), Qt::LeftButton);
    EXPECT_TRUE(m_op.messages.empty()) << m_op.messages[0].text;
    EXPECT_EQ(list("mappingList")->count(), 0) << "the mapping is cleared with the reload";
    select(list("tableList"), "log_2024");
    EXPECT_EQ(m_dialog->mapping().linkCount(), 45) << "the new columns carry the variables' names";

    m_dialog->askNewTable = [] { return SaveToDatabaseSetupDialog::NewTable{"Samples", 0}; };
    QTest::mouseClick(button("addTableButton"), Qt::LeftButton);
    EXPECT_EQ(m_op.messages.size(), 1u) << "the driver's refusal";
}

TEST(AddDatabaseTableDialog, NameChecksAndColumnChoice) {
    RecordingOperator op;
    AddDatabaseTableDialog dialog(op);
    auto* name = dialog.findChild<QLineEdit*>("nameField");
    name->setText("log-2024");
    dialog.onOk();
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text, checkNewTableName("log-2024"));
    EXPECT_EQ(dialog.result(), QDialog::Rejected) << "the dialog stays open";
    op.messages.clear();
    name->setText("log_2024");
    dialog.findChild<QRadioButton*>("minimalColumnsRadio")->setChecked(true);
    dialog.onOk();
    EXPECT_TRUE(op.messages.empty());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.tableName(), "log_2024");
    EXPECT_EQ(dialog.columns(), MinimalColumns);
}

TEST(DatabaseSetupDialog, ShowsWhereDataGoes) {
    DatabaseSetupDialog dialog("tarvo_sqlite", "Samples");
    EXPECT_EQ(dialog.findChild<QLineEdit*>("dsnField")->text(), "tarvo_sqlite");
    EXPECT_EQ(dialog.findChild<QLineEdit*>("tableField")->text(), "Samples");
}

TEST(LoggingOdbcCommand, CancelChangesNothingAndNewDatabaseClearsEverything) {
    Settings settings;
    settings.dsn = "tarvo_sqlite";
    settings.table = "Samples";
    settings.links = {{0, SqlInteger, "meter"}};
    settings.databaseLogState = Active;
    SampleQueue queue;
    queue.push(std::make_shared<LogSample>());
    RecordingOperator op;
    OdbcLibrary odbc;
    QWidget window;
    OdbcCommand command{odbc, settings, queue, &window};
    command.dialogOperator = &op;
    std::vector<std::string> shown;
    bool answer = false;
    command.confirmNewDatabase = [&](const std::string& dsn, const std::string& table) {
        shown.push_back(dsn + "/" + table);
        return answer;
    };
    command.run();
    EXPECT_EQ(shown, std::vector<std::string>{"tarvo_sqlite/Samples"});
    EXPECT_EQ(settings.databaseLogState, Active);
    EXPECT_EQ(queue.size(), 1u);
    EXPECT_EQ(command.setupDialog(), nullptr);

    answer = true;
    command.run();
    EXPECT_EQ(settings.databaseLogState, SetupOpen);
    EXPECT_EQ(settings.dsn + settings.table, "");
    EXPECT_TRUE(queue.empty());
    ASSERT_NE(command.setupDialog(), nullptr);
    EXPECT_TRUE(command.setupDialog()->isVisible());

    // While the setup dialog is open the command does nothing.
    shown.clear();
    command.run();
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(window.findChildren<SaveToDatabaseSetupDialog*>().size(), 1);
}

} // namespace
} // namespace tarvo
