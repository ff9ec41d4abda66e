#include "logging/odbc_command.h"

#include "logging/database_logger.h"
#include "logging/database_setup_dialogs.h"
#include "logging/sample_queue.h"
#include "logging/save_to_database_setup_dialog.h"
#include "settings/settings.h"

namespace tarvo {

OdbcCommand::OdbcCommand(OdbcLibrary& odbc, Settings& settings, SampleQueue& databaseQueue,
                         QWidget* window)
    : QObject(window), m_settings(settings), m_databaseQueue(databaseQueue), m_window(window),
      m_odbc(odbc) {
    confirmNewDatabase = [this](const std::string& dsn, const std::string& table) {
        DatabaseSetupDialog dialog(dsn, table, m_window);
        return dialog.exec() == QDialog::Accepted;
    };
}

SaveToDatabaseSetupDialog* OdbcCommand::setupDialog() const {
    return m_setupDialog;
}

void OdbcCommand::run() {
    if (m_settings.databaseLogState == Active) {
        if (!confirmNewDatabase(m_settings.dsn, m_settings.table))
            return;
        shutDownDatabaseLogging(m_settings, m_databaseQueue);
        closeDatabaseConnection(m_odbc);
    }
    if (m_settings.databaseLogState != Off)
        return;
    m_settings.databaseLogState = SetupOpen;
    auto* dialog = new SaveToDatabaseSetupDialog(m_odbc, m_settings, dialogOperator, m_window);
    m_setupDialog = dialog;
    dialog->showHelp = [this] {
        if (showHelp)
            showHelp(QStringLiteral("save_to_database_setup_dialog"));
    };
    dialog->show();
    // start() closes the dialog itself (state Off) when ODBC cannot be used.
    dialog->start();
}

} // namespace tarvo
