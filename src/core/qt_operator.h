#pragma once

#include <QPointer>
#include <QWidget>

#include "core/operator.h"

namespace tarvo {

/// Message boxes and the wait cursor of the widgets, owned by `parent`.
class QtOperator : public Operator {
public:
    explicit QtOperator(QWidget* parent = nullptr) : m_parent(parent) {}

    void setParent(QWidget* parent) { m_parent = parent; }

    void showMessage(std::string_view text, std::string_view title = {}) override;
    void showWarning(std::string_view text, std::string_view title = {}) override;
    void beginBusy() override;
    void endBusy() override;

private:
    QPointer<QWidget> m_parent;
};

} // namespace tarvo
