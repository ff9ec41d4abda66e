#include "core/qt_operator.h"

#include <QApplication>
#include <QMessageBox>

namespace tarvo {
namespace {

QString fromView(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

void QtOperator::showMessage(std::string_view text, std::string_view title) {
    // A plain OK box: no icon, as the program's messages have always looked.
    QMessageBox box(QMessageBox::NoIcon, fromView(title.empty() ? kApplicationName : title),
                    fromView(text), QMessageBox::Ok, m_parent);
    box.exec();
}

void QtOperator::showWarning(std::string_view text, std::string_view title) {
    const QString caption = fromView(title.empty() ? kApplicationName : title);
    QMessageBox::warning(m_parent, caption, fromView(text), QMessageBox::Ok);
}

void QtOperator::beginBusy() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

void QtOperator::endBusy() {
    QApplication::restoreOverrideCursor();
}

} // namespace tarvo
