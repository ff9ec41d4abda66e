#pragma once

#include <QDialog>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/qt_operator.h"
#include "logging/column_mapping.h"

class QListWidget;

namespace Ui {
class SaveToDatabaseSetupDialog;
}

namespace tarvo {

class OdbcLibrary;
struct Settings;

/// "Save-to-Database Setup": the operator picks a data source and a table
/// and links the loggable variables to the table's columns. Modeless; it
/// deletes itself when closed. OK stores the configuration in the settings
/// and turns database logging Active; Cancel (or closing the window) turns
/// it Off and leaves the stored configuration as it was.
///
/// Every catalogue query connects, asks and disconnects; nothing stays open
/// while the dialog waits for the operator.
class SaveToDatabaseSetupDialog : public QDialog {
    Q_OBJECT

public:
    /// What "Add Table" asks for.
    struct NewTable {
        std::string name;
        int columns = 0; ///< AllColumns or MinimalColumns
    };

    /// Messages go to `op` when given, else to message boxes owned by the
    /// dialog.
    SaveToDatabaseSetupDialog(OdbcLibrary& odbc, Settings& settings, Operator* op = nullptr,
                              QWidget* parent = nullptr);
    ~SaveToDatabaseSetupDialog() override;

    /// Binds ODBC, makes sure of the environment and fills the data-source
    /// and variable lists. Without ODBC it shows why and closes as by Cancel;
    /// returns whether the dialog stays open.
    bool start();

    const ColumnMapping& mapping() const { return m_mapping; }

    /// Asks for the new table's name and column set; nothing for Cancel. The
    /// "Add Database Table" dialog by default; tests put their answer here.
    std::function<std::optional<NewTable>()> askNewTable;
    /// The help command with this dialog's topic.
    std::function<void()> showHelp;

    // The operator's actions, also callable by tests.
    void onDataSourceSelected();
    void onTableSelected();
    void onMappingSelected();
    void onVariableSelected();
    void onLink();
    void onUnlink();
    void onAddColumn();
    /// CreateLogTable: "Add Table".
    void onAddTable();
    void onOk();

protected:
    /// Any closing but OK (Cancel, Escape, the window's close button) turns
    /// database logging Off.
    void done(int result) override;

private:
    void disableActions();
    void updateRowButtons();
    void showMapping();
    /// Fills `list` with `names` (kept in `store`), none selected.
    static void fillList(QListWidget* list, std::vector<std::string>& store,
                         std::vector<std::string> names);
    /// The name behind the list's selected row; empty for none.
    static std::string selectedName(QListWidget* list, const std::vector<std::string>& names);
    /// A chosen name the settings could not hold is refused: its message,
    /// and the selection cleared. Returns whether it was.
    bool refuseChosenName(QListWidget* list, std::string_view what, const std::string& name);
    std::optional<NewTable> runAddTableDialog();

    std::unique_ptr<Ui::SaveToDatabaseSetupDialog> m_ui;
    OdbcLibrary& m_odbc;
    Settings& m_settings;
    QtOperator m_qtOperator;
    Operator& m_op;
    std::string m_user;
    std::string m_passwd;
    /// The names behind the rows of the data source and table lists. The
    /// lists show them; the names themselves go to the driver and the
    /// settings as the driver gave them.
    std::vector<std::string> m_dataSources;
    std::vector<std::string> m_tables;
    /// The rows behind the mapping list, of any width.
    ColumnMapping m_mapping;
};

} // namespace tarvo
