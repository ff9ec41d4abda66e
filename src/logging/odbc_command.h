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

/// Logging > ODBC and the database sink of the sampling pass, around the one
/// ODBC driver manager of the run (loaded on first use, kept to the end).
class OdbcCommand : public QObject {
    Q_OBJECT

public:
    /// `op` shows the row insert's messages (the main window's); `window`
    /// owns the dialogs.
    OdbcCommand(Settings& settings, SampleQueue& databaseQueue, Operator& op, QWidget* window,
                std::vector<std::string> libraryNames = OdbcLibrary::defaultLibraryNames());
    ~OdbcCommand() override;

    /// Logging > ODBC. While database logging is Active: "Database Setup"
    /// with the data source and table; "New Database" turns logging Off,
    /// clears the configuration and lets go of the waiting records. Then,
    /// when logging is Off: SetupOpen and the modeless "Save-to-Database
    /// Setup" dialog. While that dialog is open: nothing.
    void run();

    /// InsertSamples for the sampling pass.
    void insertSamples();

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
    Operator& m_op;
    QWidget* m_window;
    OdbcLibrary m_odbc;
    QPointer<SaveToDatabaseSetupDialog> m_setupDialog;
};

} // namespace tarvo
