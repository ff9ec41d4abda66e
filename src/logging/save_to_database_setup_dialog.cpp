#include "logging/save_to_database_setup_dialog.h"

#include <QListWidget>

#include "logging/database_logger.h"
#include "logging/database_setup_dialogs.h"
#include "logging/log_variables.h"
#include "logging/odbc_library.h"
#include "settings/configuration_form.h"
#include "settings/settings.h"
#include "ui_save_to_database_setup_dialog.h"

namespace tarvo {
namespace {

QString qtext(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// The selected row of a single-selection list; -1 for none.
int selectedRow(QListWidget* list) {
    const QList<QListWidgetItem*> selected = list->selectedItems();
    return selected.isEmpty() ? -1 : list->row(selected.first());
}

} // namespace

SaveToDatabaseSetupDialog::SaveToDatabaseSetupDialog(OdbcLibrary& odbc, Settings& settings,
                                                     Operator* op, QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::SaveToDatabaseSetupDialog>()), m_odbc(odbc),
      m_settings(settings), m_qtOperator(this), m_op(op ? *op : m_qtOperator) {
    m_ui->setupUi(this);
    setModal(false);
    setAttribute(Qt::WA_DeleteOnClose);
    askNewTable = [this] { return runAddTableDialog(); };

    connect(m_ui->usernameField, &QLineEdit::textEdited, this,
            [this](const QString& text) { m_user = text.toStdString(); });
    connect(m_ui->passwordField, &QLineEdit::textEdited, this,
            [this](const QString& text) { m_passwd = text.toStdString(); });
    connect(m_ui->dsnList, &QListWidget::itemSelectionChanged, this,
            &SaveToDatabaseSetupDialog::onDataSourceSelected);
    connect(m_ui->tableList, &QListWidget::itemSelectionChanged, this,
            &SaveToDatabaseSetupDialog::onTableSelected);
    connect(m_ui->mappingList, &QListWidget::itemSelectionChanged, this,
            &SaveToDatabaseSetupDialog::onMappingSelected);
    connect(m_ui->variableList, &QListWidget::itemSelectionChanged, this,
            &SaveToDatabaseSetupDialog::onVariableSelected);
    connect(m_ui->variableList, &QListWidget::itemDoubleClicked, this,
            &SaveToDatabaseSetupDialog::onLink);
    connect(m_ui->mappingList, &QListWidget::itemDoubleClicked, this,
            &SaveToDatabaseSetupDialog::onLink);
    connect(m_ui->linkButton, &QPushButton::clicked, this, &SaveToDatabaseSetupDialog::onLink);
    connect(m_ui->unlinkButton, &QPushButton::clicked, this, &SaveToDatabaseSetupDialog::onUnlink);
    connect(m_ui->addTableButton, &QPushButton::clicked, this,
            &SaveToDatabaseSetupDialog::onAddTable);
    connect(m_ui->addColumnButton, &QPushButton::clicked, this,
            &SaveToDatabaseSetupDialog::onAddColumn);
    connect(m_ui->okButton, &QPushButton::clicked, this, &SaveToDatabaseSetupDialog::onOk);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_ui->helpButton, &QPushButton::clicked, this, [this] {
        if (showHelp)
            showHelp();
    });
    disableActions();
}

SaveToDatabaseSetupDialog::~SaveToDatabaseSetupDialog() = default;

bool SaveToDatabaseSetupDialog::start() {
    if (!m_odbc.loaded()) {
        const int bound = BindOdbc(m_odbc);
        if (bound != Bound) {
            m_op.showMessage(bindFailureText(bound));
            reject();
            return false;
        }
    }
    {
        const QSignalBlocker blockDsn(m_ui->dsnList);
        const QSignalBlocker blockTable(m_ui->tableList);
        const QSignalBlocker blockVariables(m_ui->variableList);
        const QSignalBlocker blockMapping(m_ui->mappingList);
        m_ui->dsnList->clear();
        m_ui->tableList->clear();
        m_ui->variableList->clear();
        m_ui->mappingList->clear();
    }
    m_dataSources.clear();
    m_tables.clear();
    m_mapping.clear();
    m_user.clear();
    m_passwd.clear();
    if (!m_odbc.ensureEnvironment()) {
        m_op.showMessage(kNoEnvironmentText);
        reject();
        return false;
    }
    fillList(m_ui->dsnList, m_dataSources, ListDataSources(m_odbc, m_op));
    {
        const QSignalBlocker block(m_ui->variableList);
        for (int i = 0; i < kLogVariableCount; ++i)
            m_ui->variableList->addItem(qtext(logVariableName(i)));
        m_ui->variableList->setCurrentRow(0);
    }
    disableActions();
    return true;
}

void SaveToDatabaseSetupDialog::fillList(QListWidget* list, std::vector<std::string>& store,
                                         std::vector<std::string> names) {
    store = sortIgnoringCase(std::move(names));
    const QSignalBlocker block(list);
    list->clear();
    for (const std::string& name : store)
        list->addItem(qtext(name));
    list->clearSelection();
}

std::string SaveToDatabaseSetupDialog::selectedName(QListWidget* list,
                                                    const std::vector<std::string>& names) {
    const int row = selectedRow(list);
    return row < 0 || row >= static_cast<int>(names.size()) ? std::string()
                                                            : names[static_cast<std::size_t>(row)];
}

bool SaveToDatabaseSetupDialog::refuseChosenName(QListWidget* list, std::string_view what,
                                                 const std::string& name) {
    const std::optional<std::string> refusal = refuseControlCharacters(what, name);
    if (!refusal)
        return false;
    m_op.showMessage(*refusal);
    const QSignalBlocker block(list);
    list->clearSelection();
    return true;
}

void SaveToDatabaseSetupDialog::showMapping() {
    const QSignalBlocker block(m_ui->mappingList);
    const int current = m_ui->mappingList->currentRow();
    m_ui->mappingList->clear();
    for (const ColumnMapping::Row& row : m_mapping.rows())
        m_ui->mappingList->addItem(qtext(ColumnMapping::rowText(row)));
    if (current >= 0 && current < m_ui->mappingList->count())
        m_ui->mappingList->setCurrentRow(current);
}

void SaveToDatabaseSetupDialog::disableActions() {
    m_ui->okButton->setEnabled(false);
    m_ui->addTableButton->setEnabled(false);
    m_ui->addColumnButton->setEnabled(false);
    m_ui->linkButton->setEnabled(false);
    m_ui->unlinkButton->setEnabled(false);
}

void SaveToDatabaseSetupDialog::onDataSourceSelected() {
    {
        const QSignalBlocker blockTable(m_ui->tableList);
        const QSignalBlocker blockMapping(m_ui->mappingList);
        m_ui->tableList->clear();
        m_ui->mappingList->clear();
    }
    m_tables.clear();
    m_mapping.clear();
    disableActions();
    const std::string dsn = selectedName(m_ui->dsnList, m_dataSources);
    if (dsn.empty() || refuseChosenName(m_ui->dsnList, "data source name", dsn))
        return;
    const BusyCursor busy(m_op);
    auto session = OdbcSession::open(m_odbc, m_op, dsn, m_user, m_passwd, [this](SQLHDBC c) {
        // Access wants its names in square brackets. Choosing another source
        // later does not turn the quoting off again.
        if (DbmsName(m_odbc, c).find("ACCESS") != std::string::npos)
            m_settings.kludgeFlags = 5;
    });
    if (!session)
        return;
    const std::optional<std::vector<std::string>> tables = ReadTables(*session, m_op);
    if (!tables)
        return;
    fillList(m_ui->tableList, m_tables, *tables);
    m_ui->addTableButton->setEnabled(true);
}

void SaveToDatabaseSetupDialog::onTableSelected() {
    m_mapping.clear();
    {
        const QSignalBlocker block(m_ui->mappingList);
        m_ui->mappingList->clear();
    }
    m_ui->okButton->setEnabled(false);
    m_ui->addColumnButton->setEnabled(false);
    m_ui->linkButton->setEnabled(false);
    m_ui->unlinkButton->setEnabled(false);
    const std::string dsn = selectedName(m_ui->dsnList, m_dataSources);
    const std::string table = selectedName(m_ui->tableList, m_tables);
    if (dsn.empty() || table.empty() || refuseChosenName(m_ui->tableList, "table name", table))
        return;
    const BusyCursor busy(m_op);
    auto session = OdbcSession::open(m_odbc, m_op, dsn, m_user, m_passwd);
    if (!session)
        return;
    const std::optional<std::vector<ColumnInfo>> columns = ReadColumns(*session, m_op, table);
    if (!columns)
        return;
    m_mapping.setColumns(*columns);
    showMapping();
    m_ui->addColumnButton->setEnabled(true);
    m_ui->okButton->setEnabled(m_mapping.canStore());
}

void SaveToDatabaseSetupDialog::updateRowButtons() {
    const int row = selectedRow(m_ui->mappingList);
    if (row < 0)
        return;
    m_ui->unlinkButton->setEnabled(m_mapping.canUnlink(row));
    m_ui->linkButton->setEnabled(m_mapping.canLink(row, selectedRow(m_ui->variableList)));
    m_ui->okButton->setEnabled(m_mapping.canStore());
}

void SaveToDatabaseSetupDialog::onMappingSelected() {
    updateRowButtons();
}

void SaveToDatabaseSetupDialog::onVariableSelected() {
    m_ui->linkButton->setEnabled(
        m_mapping.canLink(selectedRow(m_ui->mappingList), selectedRow(m_ui->variableList)));
}

void SaveToDatabaseSetupDialog::onLink() {
    if (!m_mapping.link(selectedRow(m_ui->mappingList), selectedRow(m_ui->variableList)))
        return;
    showMapping();
    updateRowButtons();
}

void SaveToDatabaseSetupDialog::onUnlink() {
    if (!m_mapping.unlink(selectedRow(m_ui->mappingList)))
        return;
    showMapping();
    updateRowButtons();
}

void SaveToDatabaseSetupDialog::onAddColumn() {
    m_op.showMessage("The feature to add another column to a database\nisn't written yet.  Please "
                     "use your database software");
}

std::optional<SaveToDatabaseSetupDialog::NewTable> SaveToDatabaseSetupDialog::runAddTableDialog() {
    AddDatabaseTableDialog dialog(m_op, this);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return NewTable{dialog.tableName(), dialog.columns()};
}

void SaveToDatabaseSetupDialog::onAddTable() {
    const std::optional<NewTable> table = askNewTable ? askNewTable() : std::nullopt;
    if (!table)
        return;
    const std::string dsn = selectedName(m_ui->dsnList, m_dataSources);
    if (dsn.empty())
        return;
    bool created = false;
    {
        const BusyCursor busy(m_op);
        auto session = OdbcSession::open(m_odbc, m_op, dsn, m_user, m_passwd);
        if (!session)
            return;
        created = createLogTable(*session, m_op, table->name, table->columns);
    }
    // The new table appears in a fresh table list, ready to be chosen.
    if (created)
        onDataSourceSelected();
}

void SaveToDatabaseSetupDialog::onOk() {
    const ColumnMapping::Choice choice{selectedName(m_ui->dsnList, m_dataSources),
                                       selectedName(m_ui->tableList, m_tables), m_user, m_passwd};
    if (const auto refusal = m_mapping.store(choice, m_settings)) {
        m_op.showMessage(refusal->message);
        if (refusal->field == ColumnMapping::Refusal::User)
            m_ui->usernameField->setFocus();
        else if (refusal->field == ColumnMapping::Refusal::Password)
            m_ui->passwordField->setFocus();
        return;
    }
    accept();
}

void SaveToDatabaseSetupDialog::done(int result) {
    if (result != QDialog::Accepted)
        m_settings.databaseLogState = Off;
    QDialog::done(result);
}

} // namespace tarvo
