#include "trends/journal_window.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <set>

#include "devices/register_map.h"
#include "logging/log_file.h"
#include "trends/trend_recorder.h"

namespace tarvo {
namespace {

// The kind filter: its text and the events it lets through.
struct KindFilter {
    const char* text;
    std::initializer_list<JournalEvent> events;
};
const KindFilter kKindFilters[] = {
    {"All events", {}},
    {"Warnings and alarms", {JournalEvent::Warning, JournalEvent::Alarm}},
    {"Back to normal", {JournalEvent::Normal, JournalEvent::PhaseBack}},
    {"Phase loss", {JournalEvent::PhaseLost, JournalEvent::PhaseBack}},
    {"Communication", {JournalEvent::CommFailure, JournalEvent::CommRecovered}},
};

constexpr int kColumns = 7;

QString valueText(const JournalEntry& e) {
    if (e.event == JournalEvent::CommRecovered)
        return QString();
    if (e.event == JournalEvent::CommFailure)
        return QString::number(static_cast<int>(e.value));
    return QString::fromStdString(fixedText(e.value, e.unit == "A" && e.value < 1000 ? 3 : 2)) +
           (e.unit.empty() ? QString() : QLatin1Char(' ') + QString::fromStdString(e.unit));
}

} // namespace

JournalWindow::JournalWindow(TrendRecorder& recorder, QWidget* parent)
    : QDialog(parent), m_recorder(recorder), m_device(new QComboBox(this)),
      m_kind(new QComboBox(this)), m_table(new QTableWidget(this)), m_status(new QLabel(this)) {
    setObjectName(QStringLiteral("AlarmJournalWindow"));
    setWindowTitle(QStringLiteral("Alarm Journal"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowFlags(Qt::Window | Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    m_device->setObjectName(QStringLiteral("deviceFilter"));
    m_device->setAccessibleName(QStringLiteral("Show events of device"));
    m_kind->setObjectName(QStringLiteral("kindFilter"));
    m_kind->setAccessibleName(QStringLiteral("Show events of kind"));
    for (const KindFilter& f : kKindFilters)
        m_kind->addItem(QLatin1String(f.text));
    m_table->setObjectName(QStringLiteral("journalTable"));
    m_table->setAccessibleName(QStringLiteral("Alarm journal, newest first"));
    m_table->setColumnCount(kColumns);
    m_table->setHorizontalHeaderLabels({QStringLiteral("Time"), QStringLiteral("Address"),
                                        QStringLiteral("Name"), QStringLiteral("Event"),
                                        QStringLiteral("What"), QStringLiteral("Value"),
                                        QStringLiteral("State")});
    m_table->verticalHeader()->hide();
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->setTabKeyNavigation(false);
    m_status->setObjectName(QStringLiteral("journalStatus"));
    m_status->setWordWrap(true);

    auto* deviceLabel = new QLabel(QStringLiteral("&Device:"), this);
    deviceLabel->setBuddy(m_device);
    auto* kindLabel = new QLabel(QStringLiteral("&Show:"), this);
    kindLabel->setBuddy(m_kind);
    auto* copy = new QPushButton(QStringLiteral("&Copy"), this);
    copy->setObjectName(QStringLiteral("copyButton"));
    auto* close = new QPushButton(QStringLiteral("C&lose"), this);
    auto* acknowledge = new QPushButton(QStringLiteral("&Acknowledge"), this);
    acknowledge->setObjectName(QStringLiteral("acknowledgeButton"));
    auto* acknowledgeAll = new QPushButton(QStringLiteral("Ac&knowledge All"), this);
    acknowledgeAll->setObjectName(QStringLiteral("acknowledgeAllButton"));
    for (QPushButton* b : {copy, close, acknowledge, acknowledgeAll})
        b->setAutoDefault(false);
    auto* top = new QHBoxLayout;
    top->addWidget(deviceLabel);
    top->addWidget(m_device, 1);
    top->addWidget(kindLabel);
    top->addWidget(m_kind, 1);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(m_status, 1);
    bottom->addWidget(acknowledge);
    bottom->addWidget(acknowledgeAll);
    bottom->addWidget(copy);
    bottom->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(m_table, 1);
    layout->addLayout(bottom);
    resize(760, 480);

    connect(m_device, &QComboBox::currentIndexChanged, this, &JournalWindow::fillTable);
    connect(m_kind, &QComboBox::currentIndexChanged, this, &JournalWindow::fillTable);
    connect(copy, &QPushButton::clicked, this,
            [this] { QApplication::clipboard()->setText(selectedText()); });
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    connect(acknowledge, &QPushButton::clicked, this, &JournalWindow::acknowledgeSelected);
    connect(acknowledgeAll, &QPushButton::clicked, this, &JournalWindow::acknowledgeAll);

    updateDevices();
    fillTable();
}

bool JournalWindow::passes(const JournalEntry& e) const {
    const QVariant device = m_device->currentData();
    if (device.isValid() && device.toInt() != e.address)
        return false;
    const KindFilter& f = kKindFilters[std::max(0, m_kind->currentIndex())];
    return f.events.size() == 0 ||
           std::find(f.events.begin(), f.events.end(), e.event) != f.events.end();
}

void JournalWindow::updateDevices() {
    std::set<std::pair<int, std::string>> devices;
    for (const JournalEntry& e : m_recorder.journal().entries())
        devices.insert({e.address, e.name});
    const QSignalBlocker block(m_device);
    const QVariant current = m_device->currentData();
    m_device->clear();
    m_device->addItem(QStringLiteral("All devices"));
    std::set<int> added;
    for (const auto& [address, name] : devices) {
        if (!added.insert(address).second)
            continue;
        m_device->addItem(QStringLiteral("%1 - %2")
                              .arg(address, 2, 10, QLatin1Char('0'))
                              .arg(QString::fromStdString(name)),
                          address);
    }
    const int at = current.isValid() ? m_device->findData(current) : 0;
    m_device->setCurrentIndex(std::max(at, 0));
}

void JournalWindow::insertRow(int row, std::size_t index) {
    const JournalEntry& e = m_recorder.journal().entries()[index];
    m_table->insertRow(row);
    const QString texts[kColumns] = {QString::fromStdString(logTimeStamp(e.time)),
                                     QString::number(e.address),
                                     QString::fromStdString(e.name),
                                     QLatin1String(eventText(e.event)),
                                     QString::fromStdString(e.subject),
                                     valueText(e),
                                     QLatin1String(stateText(e.state))};
    for (int col = 0; col < kColumns; ++col)
        m_table->setItem(row, col, new QTableWidgetItem(texts[col]));
    m_table->item(row, 0)->setData(Qt::UserRole, static_cast<qulonglong>(index));
}

void JournalWindow::fillTable() {
    m_table->setUpdatesEnabled(false);
    m_table->setRowCount(0);
    int row = 0;
    const std::vector<JournalEntry>& entries = m_recorder.journal().entries();
    for (std::size_t i = entries.size(); i-- > 0;)
        if (passes(entries[i]))
            insertRow(row++, i);
    m_table->resizeColumnsToContents();
    m_table->setUpdatesEnabled(true);
    updateStatus();
    updateTitle();
}

void JournalWindow::add(const std::vector<JournalEntry>& entries) {
    bool newDevice = false;
    for (const JournalEntry& e : entries)
        newDevice = newDevice || m_device->findData(e.address) < 0;
    // A new entry may have cleared earlier ones: the rows are filled again.
    if (newDevice)
        updateDevices();
    fillTable();
}

void JournalWindow::acknowledgeSelected() {
    for (const QModelIndex& i : m_table->selectionModel()->selectedRows())
        m_recorder.journal().acknowledge(
            m_table->item(i.row(), 0)->data(Qt::UserRole).toULongLong());
    fillTable();
}

void JournalWindow::acknowledgeAll() {
    m_recorder.journal().acknowledgeAll();
    fillTable();
}

int JournalWindow::activeCount() const {
    return m_recorder.journal().activeCount();
}

void JournalWindow::updateTitle() {
    const int active = activeCount();
    setWindowTitle(active > 0 ? QStringLiteral("Alarm Journal (%1 active)").arg(active)
                              : QStringLiteral("Alarm Journal"));
}

void JournalWindow::updateStatus() {
    QStringList files;
    for (const std::string& file : m_recorder.journalFiles())
        files << QString::fromStdString(file);
    QString text = QStringLiteral("%1 events in %2")
                       .arg(m_recorder.journal().entries().size())
                       .arg(files.join(", "));
    if (const std::size_t skipped = m_recorder.historySkipped(); skipped > 0)
        text += QStringLiteral("; %1 damaged lines skipped").arg(skipped);
    const JournalWriter& w = m_recorder.journalWriter();
    if (!w.waiting().empty())
        text += QStringLiteral(". The journal file cannot be written (%1); %2 events wait for it")
                    .arg(QString::fromStdString(w.lastError()))
                    .arg(w.waiting().size());
    if (w.dropped() > 0)
        text += QStringLiteral("; %1 events dropped").arg(w.dropped());
    m_status->setText(text + QLatin1Char('.'));
}

QString JournalWindow::selectedText() const {
    QStringList lines;
    QStringList header;
    for (int col = 0; col < m_table->columnCount(); ++col)
        header << m_table->horizontalHeaderItem(col)->text();
    lines << header.join(QLatin1Char('\t'));
    std::set<int> rows;
    for (const QModelIndex& i : m_table->selectionModel()->selectedRows())
        rows.insert(i.row());
    for (int row : rows) {
        QStringList cells;
        for (int col = 0; col < m_table->columnCount(); ++col)
            cells << m_table->item(row, col)->text();
        lines << cells.join(QLatin1Char('\t'));
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

void JournalWindow::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        QApplication::clipboard()->setText(selectedText());
        return;
    }
    QDialog::keyPressEvent(event);
}

} // namespace tarvo
