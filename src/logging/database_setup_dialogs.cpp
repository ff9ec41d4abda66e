#include "logging/database_setup_dialogs.h"

#include "core/operator.h"
#include "logging/database_logger.h"
#include "ui_add_database_table_dialog.h"
#include "ui_database_setup_dialog.h"

namespace tarvo {

DatabaseSetupDialog::DatabaseSetupDialog(const std::string& dsn, const std::string& table,
                                         QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::DatabaseSetupDialog>()) {
    m_ui->setupUi(this);
    m_ui->dsnField->setText(QString::fromStdString(dsn));
    m_ui->tableField->setText(QString::fromStdString(table));
    connect(m_ui->newDatabaseButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

DatabaseSetupDialog::~DatabaseSetupDialog() = default;

AddDatabaseTableDialog::AddDatabaseTableDialog(Operator& op, QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::AddDatabaseTableDialog>()), m_op(op) {
    m_ui->setupUi(this);
    connect(m_ui->okButton, &QPushButton::clicked, this, &AddDatabaseTableDialog::onOk);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

AddDatabaseTableDialog::~AddDatabaseTableDialog() = default;

std::string AddDatabaseTableDialog::tableName() const {
    return m_ui->nameField->text().toStdString();
}

int AddDatabaseTableDialog::columns() const {
    return m_ui->minimalColumnsRadio->isChecked() ? MinimalColumns : AllColumns;
}

void AddDatabaseTableDialog::onOk() {
    const std::string problem = checkNewTableName(tableName());
    if (!problem.empty()) {
        m_op.showMessage(problem);
        m_ui->nameField->setFocus();
        return;
    }
    accept();
}

} // namespace tarvo
