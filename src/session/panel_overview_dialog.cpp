#include "session/panel_overview_dialog.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QTableWidget>
#include <QVBoxLayout>

#include "session/lamp_images.h"

namespace tarvo {
namespace {

QIcon lampIcon(Lamp lamp) {
    return QIcon(lampPixmap(lamp));
}

} // namespace

PanelOverviewDialog::PanelOverviewDialog(QWidget* parent)
    : QDialog(parent), m_table(new QTableWidget(this)) {
    setObjectName(QStringLiteral("PanelOverviewDialog"));
    setWindowTitle(QStringLiteral("Panel Overview"));
    setWindowFlags(Qt::Window | Qt::WindowCloseButtonHint);
    m_table->setObjectName(QStringLiteral("overviewTable"));
    m_table->setAccessibleName(QStringLiteral("Devices of the panel"));
    m_table->setColumnCount(6);
    m_table->setHorizontalHeaderLabels(
        {QStringLiteral("Address"), QStringLiteral("Name"), QStringLiteral("Kind"),
         QStringLiteral("Lamp"), QStringLiteral("Last good read"), QStringLiteral("Failures")});
    m_table->verticalHeader()->hide();
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setTabKeyNavigation(false);
    m_table->horizontalHeader()->setStretchLastSection(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_table);
    resize(640, 320);
    connect(m_table, &QTableWidget::cellDoubleClicked, this, [this](int row, int) { choose(row); });
}

void PanelOverviewDialog::setRows(const std::vector<OverviewRow>& rows) {
    const int selected = m_table->currentRow();
    const int address = selected >= 0 && selected < static_cast<int>(m_rows.size())
                            ? m_rows[static_cast<std::size_t>(selected)].address
                            : -1;
    m_rows = rows;
    m_table->setRowCount(static_cast<int>(rows.size()));
    for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
        const OverviewRow& r = rows[static_cast<std::size_t>(i)];
        const QString texts[6] = {QStringLiteral("%1").arg(r.address, 2, 10, QLatin1Char('0')),
                                  QString::fromStdString(r.name),
                                  QString::fromStdString(r.kind),
                                  QString::fromStdString(r.lampText),
                                  QString::fromStdString(r.lastGoodRead),
                                  QString::number(r.failures)};
        for (int col = 0; col < 6; ++col)
            m_table->setItem(i, col, new QTableWidgetItem(texts[col]));
        m_table->item(i, 3)->setIcon(lampIcon(r.lamp));
        if (r.address == address)
            m_table->selectRow(i);
    }
    m_table->resizeColumnsToContents();
}

void PanelOverviewDialog::choose(int row) {
    if (row >= 0 && row < static_cast<int>(m_rows.size()) && onSelect)
        onSelect(m_rows[static_cast<std::size_t>(row)].address);
}

void PanelOverviewDialog::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        choose(m_table->currentRow());
        return;
    }
    QDialog::keyPressEvent(event);
}

} // namespace tarvo
