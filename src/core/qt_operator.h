#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <map>

#include "core/operator.h"

class QMessageBox;

namespace tarvo {

/// Message boxes and the wait cursor of the widgets, owned by `parent`.
///
/// Outside the timer tick a message blocks until it is dismissed, so a form
/// can put the focus back on the field it refused. Inside the tick (see
/// TickScope) it must not: Qt delivers no further event of a timer while
/// that timer's handler is still running, even inside the nested loop of
/// QMessageBox::exec(), so a box run there would stop polling and sampling
/// until somebody pressed OK. There the box is shown application-modal and
/// the call returns at once.
class QtOperator : public Operator {
public:
    explicit QtOperator(QWidget* parent = nullptr) : m_parent(parent) {}

    void setParent(QWidget* parent) { m_parent = parent; }

    void showMessage(std::string_view text, std::string_view title = {}) override;
    void showWarning(std::string_view text, std::string_view title = {}) override;
    void beginBusy() override;
    void endBusy() override;

    /// Messages shown while the object lives return before they are
    /// dismissed. While such a box is open, the same text again opens no
    /// second box: a failure that repeats every pass overnight leaves one
    /// box, which counts the repeats in its informative text.
    class TickScope {
    public:
        explicit TickScope(QtOperator& op) : m_op(op) { ++m_op.m_tickDepth; }
        ~TickScope() { --m_op.m_tickDepth; }
        TickScope(const TickScope&) = delete;
        TickScope& operator=(const TickScope&) = delete;

    private:
        QtOperator& m_op;
    };

private:
    void show(int icon, std::string_view text, std::string_view title);

    QPointer<QWidget> m_parent;
    int m_tickDepth = 0;
    struct OpenBox {
        QPointer<QMessageBox> box;
        int repeats = 0;
    };
    // The non-blocking boxes by their text; a dismissed box leaves a null
    // pointer, and the next message of that text opens a new one.
    std::map<QString, OpenBox> m_open;
};

} // namespace tarvo
