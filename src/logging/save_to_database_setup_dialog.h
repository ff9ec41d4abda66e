#pragma once

#include <QDialog>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/qt_operator.h"

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

    /// The rows of the mapping list: "Variable\t->\tcolumn" when linked,
    /// "\t\tcolumn" when not.
    static constexpr const char* kLinkMark = "\t->\t";

    int linkCount() const { return m_linkCount; }

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
    std::string selectedText(QListWidget* list) const;
    void disableActions();
    void updateRowButtons();
    std::optional<NewTable> runAddTableDialog();

    std::unique_ptr<Ui::SaveToDatabaseSetupDialog> m_ui;
    OdbcLibrary& m_odbc;
    Settings& m_settings;
    QtOperator m_qtOperator;
    Operator& m_op;
    std::string m_user;
    std::string m_passwd;
    int m_linkCount = 0;
    /// The SQL type of each mapping row, in row order. A vector rather than
    /// a fixed store, so a table of any width can be mapped.
    std::vector<std::int16_t> m_columnTypes;
};

} // namespace tarvo
