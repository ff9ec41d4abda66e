#pragma once

#include <QObject>
#include <QPointer>
#include <functional>
#include <string>

#include "logging/odbc_library.h"

class QWidget;

namespace tarvo {

class Operator;
class SampleQueue;
class SaveToDatabaseSetupDialog;
struct Settings;

/// Logging > ODBC: opens the database dialogs over the program's one ODBC
/// driver manager. The sampling pass inserts without it.
class OdbcCommand : public QObject {
    Q_OBJECT

public:
    /// `odbc`, `settings` and `databaseQueue` must outlive the command;
    /// `window` owns the dialogs.
    OdbcCommand(OdbcLibrary& odbc, Settings& settings, SampleQueue& databaseQueue,
                QWidget* window);

    /// Logging > ODBC. While database logging is Active: "Database Setup"
    /// with the data source and table; "New Database" turns logging Off,
    /// clears the configuration and lets go of the waiting records. Then,
    /// when logging is Off: SetupOpen and the modeless "Save-to-Database
    /// Setup" dialog. While that dialog is open: nothing.
    void run();

    OdbcLibrary& odbc() { return m_odbc; }
    SaveToDatabaseSetupDialog* setupDialog() const;

    /// Shows "Database Setup"; true for "New Database". Tests answer here.
    std::function<bool(const std::string& dsn, const std::string& table)> confirmNewDatabase;
    /// Where the dialogs' messages go; null for their own message boxes.
    Operator* dialogOperator = nullptr;
    /// The help command with a topic.
    std::function<void(const QString& topic)> showHelp;

private:
    Settings& m_settings;
    SampleQueue& m_databaseQueue;
    QWidget* m_window;
    OdbcLibrary& m_odbc;
    QPointer<SaveToDatabaseSetupDialog> m_setupDialog;
};

} // namespace tarvo
