#pragma once

#include <QDialog>
#include <memory>
#include <string>

namespace Ui {
class DatabaseSetupDialog;
class AddDatabaseTableDialog;
} // namespace Ui

namespace tarvo {

class Operator;

/// "Database Setup": where data is being logged, with "New Database" to
/// start over. Modal; Accepted means "New Database".
class DatabaseSetupDialog : public QDialog {
    Q_OBJECT

public:
    DatabaseSetupDialog(const std::string& dsn, const std::string& table,
                        QWidget* parent = nullptr);
    ~DatabaseSetupDialog() override;

private:
    std::unique_ptr<Ui::DatabaseSetupDialog> m_ui;
};

/// "Add Database Table": the new table's name (up to 20 characters) and
/// the column set. OK closes only with a name of letters, digits and "_".
class AddDatabaseTableDialog : public QDialog {
    Q_OBJECT

public:
    /// Messages go to `op` (the owner's operator).
    AddDatabaseTableDialog(Operator& op, QWidget* parent = nullptr);
    ~AddDatabaseTableDialog() override;

    std::string tableName() const;
    /// AllColumns (0) or MinimalColumns (1).
    int columns() const;

    /// OK: checks the name; closes with Accepted only when it is fit.
    void onOk();

private:
    std::unique_ptr<Ui::AddDatabaseTableDialog> m_ui;
    Operator& m_op;
};

} // namespace tarvo
