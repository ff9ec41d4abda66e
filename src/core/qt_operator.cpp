#include "core/qt_operator.h"

#include <QApplication>
#include <QMessageBox>

namespace tarvo {
namespace {

QString fromView(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

void QtOperator::show(int icon, std::string_view text, std::string_view title) {
    const QString caption = fromView(title.empty() ? kApplicationName : title);
    const QString body = fromView(text);
    const auto kind = static_cast<QMessageBox::Icon>(icon);
    if (m_tickDepth == 0) {
        QMessageBox box(kind, caption, body, QMessageBox::Ok, m_parent);
        box.exec();
        return;
    }
    std::erase_if(m_open, [](const auto& entry) { return entry.second.box.isNull(); });
    OpenBox& open = m_open[body];
    if (open.box) {
        ++open.repeats;
        open.box->setInformativeText(
            QStringLiteral("Repeated %1 more %2 while this message was open.")
                .arg(open.repeats)
                .arg(open.repeats == 1 ? QStringLiteral("time") : QStringLiteral("times")));
        return;
    }
    auto* box = new QMessageBox(kind, caption, body, QMessageBox::Ok, m_parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    open = OpenBox{box, 0};
    box->show();
}

void QtOperator::showMessage(std::string_view text, std::string_view title) {
    // A plain OK box: no icon, as the program's messages have always looked.
    show(QMessageBox::NoIcon, text, title);
}

void QtOperator::showWarning(std::string_view text, std::string_view title) {
    show(QMessageBox::Warning, text, title);
}

void QtOperator::beginBusy() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

void QtOperator::endBusy() {
    QApplication::restoreOverrideCursor();
}

} // namespace tarvo
