#include "config/config_dialog.h"

#include <QAbstractButton>
#include <QFocusEvent>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include "config/config_form.h"
#include "core/operator.h"

namespace tarvo {

ConfigDialog::ConfigDialog(ConfigDialogContext& context, ConfigForm& form, QWidget* parent)
    : QDialog(parent), m_context(context), m_form(form) {}

int ConfigDialog::run(int address, DeviceKind kind) {
    load(address, kind);
    return exec();
}

void ConfigDialog::beginOpening(int address, DeviceKind kind) {
    m_address = address;
    m_kind = kind;
    m_closing = false;
    if (m_firstField != nullptr)
        m_firstField->setFocus(Qt::OtherFocusReason);
}

ConfigRegisters ConfigDialog::registers() const {
    return ConfigRegisters(m_context.master, m_context.port, m_context.devices, m_address);
}

void ConfigDialog::setFields(std::vector<QLineEdit*> fields) {
    m_fields = std::move(fields);
    for (QLineEdit* field : m_fields)
        field->installEventFilter(this);
}

void ConfigDialog::connectButtons(QPushButton* ok, QPushButton* cancel, QPushButton* help) {
    connect(ok, &QPushButton::clicked, this, [this] {
        if (!takeForm())
            return;
        writeOnOk();
    });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(help, &QPushButton::clicked, this, [this] {
        if (m_context.showHelp)
            m_context.showHelp(objectName());
    });
}

void ConfigDialog::onBus(std::function<void()> work, std::function<void()> then) {
    if (!m_context.onBus) {
        work();
        then();
        return;
    }
    m_busy = true;
    setCursor(Qt::WaitCursor);
    // The fields too: what they hold is the form's values, which the work
    // is reading or writing.
    const QPointer<QWidget> focused = focusWidget();
    const QList<QWidget*> controls = findChildren<QWidget*>();
    QList<QPointer<QWidget>> disabled;
    for (QWidget* w : controls)
        if ((qobject_cast<QLineEdit*>(w) || qobject_cast<QAbstractButton*>(w)) && w->isEnabled()) {
            w->setEnabled(false);
            disabled.append(w);
        }
    m_context.onBus(std::move(work), [this, disabled, focused, then = std::move(then)] {
        for (const QPointer<QWidget>& w : disabled)
            if (w)
                w->setEnabled(true);
        if (focused)
            focused->setFocus(Qt::OtherFocusReason);
        unsetCursor();
        m_busy = false;
        then();
    });
}

ConfigDialog::BreakerFields
ConfigDialog::buildBreakerGrid(QGridLayout* grid, const QString& firstHead,
                               const QString& firstName, const QString& secondHead,
                               const QString& secondName, int maxLength) {
    BreakerFields fields;
    const bool pair = !secondHead.isEmpty();
    // Columns of one side: first field, number, second field; the even side
    // starts after a spacing column.
    const int sideWidth = pair ? 3 : 2;
    const auto makeField = [&](const QString& name, int breaker) {
        auto* field = new QLineEdit(this);
        field->setObjectName(name + QString::number(breaker));
        field->setMaxLength(maxLength);
        field->setMaximumWidth(50);
        return field;
    };
    for (int side = 0; side < 2; ++side) {
        const int column = side * (sideWidth + 1);
        if (pair) {
            grid->addWidget(new QLabel(firstHead, this), 0, column);
            grid->addWidget(new QLabel(secondHead, this), 0, column + 2);
        } else if (!firstHead.isEmpty()) {
            grid->addWidget(new QLabel(firstHead, this), 0, column + 1);
        }
    }
    grid->setColumnMinimumWidth(sideWidth, 16);
    for (int breaker = 1; breaker <= ConfigRegisters::kBreakers; ++breaker) {
        const int row = (breaker + 1) / 2;
        const int column = breaker % 2 == 1 ? 0 : sideWidth + 1;
        auto* number = new QLabel(QString::number(breaker), this);
        number->setAlignment(Qt::AlignCenter);
        QLineEdit* first = makeField(firstName, breaker);
        fields.first.push_back(first);
        number->setBuddy(first);
        if (pair) {
            QLineEdit* second = makeField(secondName, breaker);
            fields.second.push_back(second);
            grid->addWidget(first, row, column);
            grid->addWidget(number, row, column + 1);
            grid->addWidget(second, row, column + 2);
        } else {
            grid->addWidget(number, row, column);
            grid->addWidget(first, row, column + 1);
        }
    }
    // Made after the controls of the .ui, the fields follow them in the tab
    // ring in the order made: breakers 1, 2, 3 ... (row by row, left to
    // right), each breaker's fields left to right. The ring is then in the
    // order seen; the form opens with breaker 1 focused, where it starts.
    m_firstField = fields.first.front();
    return fields;
}

void ConfigDialog::nameBreakerFields(const std::vector<QLineEdit*>& fields, const QString& what) {
    for (std::size_t i = 0; i < fields.size(); ++i)
        fields[i]->setAccessibleName(QStringLiteral("Breaker %1 %2").arg(i + 1).arg(what));
}

QString deviceText(std::string_view bytes) {
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string deviceBytes(const QString& text) {
    const QByteArray bytes = text.toLatin1();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

std::vector<std::string> ConfigDialog::fieldTexts() const {
    std::vector<std::string> texts;
    texts.reserve(m_fields.size());
    for (const QLineEdit* field : m_fields)
        texts.push_back(fromText(field->text()));
    return texts;
}

void ConfigDialog::showValues() {
    const std::vector<std::string> texts = m_form.showValues();
    for (std::size_t i = 0; i < texts.size() && i < m_fields.size(); ++i)
        m_fields[i]->setText(toText(texts[i]));
}

void ConfigDialog::focusField(int index) {
    if (index < 0 || index >= static_cast<int>(m_fields.size()))
        return;
    QLineEdit* field = m_fields[static_cast<std::size_t>(index)];
    field->setFocus(Qt::OtherFocusReason);
    field->selectAll();
}

bool ConfigDialog::takeForm() {
    if (m_taking)
        return false;
    m_taking = true;
    const auto failure = m_form.takeForm(fieldTexts());
    if (failure) {
        if (failure->error.exclamation)
            m_context.op.showWarning(failure->error.message);
        else
            m_context.op.showMessage(failure->error.message);
        focusField(failure->field);
    }
    m_taking = false;
    return !failure;
}

bool ConfigDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusOut && !m_closing && !m_taking && !m_busy && isVisible()) {
        const auto reason = static_cast<QFocusEvent*>(event)->reason();
        // Losing the focus to another window (the message box itself, or
        // the operator switching programs) is not leaving the field.
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
            // After the focus change has finished, so that putting the focus
            // back into a bad field is not undone by the change in progress.
            QTimer::singleShot(0, this, [this] {
                if (!m_closing && !m_busy && isVisible())
                    takeForm();
            });
        }
    }
    return QDialog::eventFilter(watched, event);
}

void ConfigDialog::done(int result) {
    // Escape or the title bar while the bus works on the form's values: the
    // form closes once it is done (OK's write pass closes it itself).
    if (m_busy && result == QDialog::Rejected)
        return;
    m_closing = true;
    if (result == QDialog::Rejected)
        m_form.takeValidFields(fieldTexts());
    QDialog::done(result);
}

} // namespace tarvo
