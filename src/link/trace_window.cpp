#include "link/trace_window.h"

#include "ui_trace_window.h"

namespace tarvo {

TraceWindow::TraceWindow(CommTrace& trace, const Counters& counters, QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::TraceWindow>()), m_trace(trace),
      m_counters(counters) {
    m_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);
    if (parent)
        setWindowIcon(parent->windowIcon());
    connect(m_ui->okButton, &QPushButton::clicked, this, &QDialog::close);
    connect(m_ui->freezeButton, &QPushButton::toggled, this, &TraceWindow::setFrozen);
    // Escape would close the window without going through close(); route
    // "OK", Escape and the title-bar close the same way.
    connect(this, &QDialog::rejected, this, &QDialog::close);
    // Transactions block the event loop (a scan runs many in a row), so a
    // live window paints at once rather than when the loop comes back.
    m_trace.setRepaintHandler([this] { paintNow(); });
    m_trace.setTraceLive(true);
    paint();
}

TraceWindow::~TraceWindow() {
    m_trace.setTraceLive(false);
    m_trace.setRepaintHandler({});
}

void TraceWindow::paint() {
    // Each entry is "Send->...\rRecv->...\r\n"; every carriage return or line
    // feed is a line break, so a transaction takes two lines.
    QString text = QString::fromLatin1(m_trace.text());
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    if (m_ui->traceText->toPlainText() != text)
        m_ui->traceText->setPlainText(text);
    m_ui->okField->setText(QString::number(m_counters.goodCount));
    m_ui->badField->setText(QString::number(m_counters.badCount));
    m_ui->droppedField->setText(QString::number(m_counters.droppedCount));
    m_ui->lastErrorField->setText(QString::fromLatin1(ModbusMaster::resultText(m_counters.lastError)));
}

void TraceWindow::paintNow() {
    paint();
    repaint();
}

void TraceWindow::setFrozen(bool frozen) {
    m_trace.setTraceLive(!frozen);
    if (!frozen)
        paint();
}

} // namespace tarvo
