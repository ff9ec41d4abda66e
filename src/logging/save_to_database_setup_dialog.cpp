#include "logging/save_to_database_setup_dialog.h"

#include <QListWidget>

#include "logging/database_logger.h"
#include "logging/database_setup_dialogs.h"
#include "logging/log_variables.h"
#include "logging/odbc_library.h"
#include "settings/settings.h"
#include "ui_save_to_database_setup_dialog.h"

namespace tarvo {
namespace {

QString qtext(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
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
    m_columnTypes.clear();
    m_user.clear();
    m_passwd.clear();
    if (!m_odbc.ensureEnvironment()) {
        m_op.showMessage(kNoEnvironmentText);
        reject();
        return false;
    }
    {
        const QSignalBlocker block(m_ui->dsnList);
        for (const std::string& name : ListDataSources(m_odbc, m_op))
            m_ui->dsnList->addItem(qtext(name));
        m_ui->dsnList->clearSelection();
    }
    {
        const QSignalBlocker block(m_ui->variableList);
        for (int i = 0; i < kLogVariableCount; ++i)
            m_ui->variableList->addItem(qtext(logVariableName(i)));
        m_ui->variableList->setCurrentRow(0);
    }
    m_linkCount = 0;
    disableActions();
    return true;
}

std::string SaveToDatabaseSetupDialog::selectedText(QListWidget* list) const {
    const QList<QListWidgetItem*> selected = list->selectedItems();
    return selected.isEmpty() ? std::string() : selected.first()->text().toStdString();
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
    m_columnTypes.clear();
    disableActions();
    m_linkCount = 0;
    const std::string dsn = selectedText(m_ui->dsnList);
    if (dsn.empty())
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
    {
        const QSignalBlocker block(m_ui->tableList);
        for (const std::string& table : *tables)
            m_ui->tableList->addItem(qtext(table));
        m_ui->tableList->clearSelection();
    }
    m_ui->addTableButton->setEnabled(true);
}

void SaveToDatabaseSetupDialog::onTableSelected() {
    {
        const QSignalBlocker block(m_ui->mappingList);
        m_ui->mappingList->clear();
    }
    m_columnTypes.clear();
    m_ui->okButton->setEnabled(false);
    m_ui->addColumnButton->setEnabled(false);
    m_ui->linkButton->setEnabled(false);
    m_ui->unlinkButton->setEnabled(false);
    m_linkCount = 0;
    const std::string dsn = selectedText(m_ui->dsnList);
    const std::string table = selectedText(m_ui->tableList);
    if (dsn.empty() || table.empty())
        return;
    const BusyCursor busy(m_op);
    auto session = OdbcSession::open(m_odbc, m_op, dsn, m_user, m_passwd);
    if (!session)
        return;
    const std::optional<std::vector<ColumnInfo>> columns = ReadColumns(*session, m_op, table);
    if (!columns)
        return;
    {
        const QSignalBlocker block(m_ui->mappingList);
        for (const ColumnInfo& column : *columns) {
            std::string row;
            for (int v = 0; v < kLogVariableCount; ++v) {
                if (VariableFitsColumnType(v, column.sqlType) &&
                    NameMatches(logVariableName(v), column.name)) {
                    row = std::string(logVariableName(v)) + kLinkMark;
                    ++m_linkCount;
                }
            }
            if (row.empty())
                row = "\t\t";
            row += column.name;
            m_columnTypes.push_back(column.sqlType);
            m_ui->mappingList->addItem(qtext(row));
        }
    }
    m_ui->addColumnButton->setEnabled(true);
    m_ui->okButton->setEnabled(m_linkCount > 0);
}

void SaveToDatabaseSetupDialog::updateRowButtons() {
    const int row = m_ui->mappingList->currentRow();
    if (row < 0 || m_ui->mappingList->selectedItems().isEmpty())
        return;
    const std::string text = m_ui->mappingList->item(row)->text().toStdString();
    m_ui->unlinkButton->setEnabled(text.find(kLinkMark) != std::string::npos);
    const int variable = m_ui->variableList->currentRow();
    m_ui->linkButton->setEnabled(
        !m_ui->variableList->selectedItems().isEmpty() &&
        VariableFitsColumnType(variable, m_columnTypes[static_cast<std::size_t>(row)]));
    m_ui->okButton->setEnabled(m_linkCount > 0);
}

void SaveToDatabaseSetupDialog::onMappingSelected() {
    updateRowButtons();
}

void SaveToDatabaseSetupDialog::onVariableSelected() {
    const int row = m_ui->mappingList->currentRow();
    const int variable = m_ui->variableList->currentRow();
    const bool rowSelected = row >= 0 && !m_ui->mappingList->selectedItems().isEmpty();
    const bool variableSelected = !m_ui->variableList->selectedItems().isEmpty();
    m_ui->linkButton->setEnabled(
        rowSelected && variableSelected &&
        VariableFitsColumnType(variable, m_columnTypes[static_cast<std::size_t>(row)]));
}

void SaveToDatabaseSetupDialog::onLink() {
    const int row = m_ui->mappingList->currentRow();
    const int variable = m_ui->variableList->currentRow();
    if (row < 0 || m_ui->mappingList->selectedItems().isEmpty() ||
        m_ui->variableList->selectedItems().isEmpty() ||
        !VariableFitsColumnType(variable, m_columnTypes[static_cast<std::size_t>(row)]))
        return;
    const std::string text = m_ui->mappingList->item(row)->text().toStdString();
    std::string column;
    if (const std::size_t mark = text.find(kLinkMark); mark != std::string::npos) {
        column = text.substr(mark + std::string_view(kLinkMark).size());
    } else {
        column = text.substr(2);
        ++m_linkCount;
    }
    m_ui->mappingList->item(row)->setText(
        qtext(std::string(logVariableName(variable)) + kLinkMark + column));
    {
        const QSignalBlocker block(m_ui->mappingList);
        m_ui->mappingList->setCurrentRow(row);
    }
    updateRowButtons();
}

void SaveToDatabaseSetupDialog::onUnlink() {
    const int row = m_ui->mappingList->currentRow();
    if (row < 0 || m_ui->mappingList->selectedItems().isEmpty())
        return;
    const std::string text = m_ui->mappingList->item(row)->text().toStdString();
    const std::size_t mark = text.find(kLinkMark);
    if (mark == std::string::npos)
        return;
    m_ui->mappingList->item(row)->setText(
        qtext("\t\t" + text.substr(mark + std::string_view(kLinkMark).size())));
    {
        const QSignalBlocker block(m_ui->mappingList);
        m_ui->mappingList->setCurrentRow(row);
    }
    --m_linkCount;
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
    const std::string dsn = selectedText(m_ui->dsnList);
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
    m_settings.links.clear();
    m_settings.user = m_user;
    m_settings.passwd = m_passwd;
    const std::string dsn = selectedText(m_ui->dsnList);
    if (dsn.empty()) {
        m_op.showMessage("Error storing DSN");
        return;
    }
    m_settings.dsn = dsn;
    const std::string table = selectedText(m_ui->tableList);
    if (table.empty()) {
        m_op.showMessage("Error storing table name");
        return;
    }
    m_settings.table = BracketQuote(table, m_settings.kludgeFlags);
    std::vector<ColumnLink> links;
    for (int row = 0; row < m_ui->mappingList->count(); ++row) {
        const std::string text = m_ui->mappingList->item(row)->text().toStdString();
        const std::size_t mark = text.find(kLinkMark);
        if (mark == std::string::npos)
            continue;
        const int variable = logVariableIndex(std::string_view(text).substr(0, mark));
        if (variable < 0)
            continue;
        links.push_back({variable, m_columnTypes[static_cast<std::size_t>(row)],
                         BracketQuote(text.substr(mark + std::string_view(kLinkMark).size()),
                                      m_settings.kludgeFlags)});
    }
    // The names go into every INSERT as they are; a name that would not
    // stay one identifier there (a space, a quote, a semicolon) is refused
    // now rather than failing, or worse, at every sampling pass.
    std::vector<std::string> names{m_settings.table};
    for (const ColumnLink& link : links)
        names.push_back(link.columnName);
    for (const std::string& name : names) {
        if (!identifierIsSafe(name)) {
            m_op.showMessage("The name \"" + name +
                             "\" can't be used in the statements that store the samples: "
                             "names may hold only letters, digits, '_', '$' and '.'.\nPlease "
                             "rename it in the database or leave that column unlinked.");
            return;
        }
    }
    m_settings.links = std::move(links);
    m_settings.databaseLogState = Active;
    accept();
}

void SaveToDatabaseSetupDialog::done(int result) {
    if (result != QDialog::Accepted)
        m_settings.databaseLogState = Off;
    QDialog::done(result);
}

} // namespace tarvo
