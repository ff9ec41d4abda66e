#include "settings/configuration_dialog.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QLineEdit>
#include <QPointer>
#include <QRadioButton>
#include <algorithm>
#include <optional>

#include "core/operator.h"
#include "link/serial_port.h"
#include "settings/port_list.h"
#include "settings/settings.h"
#include "ui_configuration_dialog.h"

namespace tarvo {

namespace {

// Checks radios[index] and clears the others; -1 clears them all, which
// auto-exclusive buttons do not allow while one of them is checked.
template <std::size_t N>
void checkOnly(const std::array<QRadioButton*, N>& radios, int index) {
    for (QRadioButton* r : radios) {
        r->setAutoExclusive(false);
        r->setChecked(false);
    }
    if (index >= 0 && index < static_cast<int>(N))
        radios[static_cast<std::size_t>(index)]->setChecked(true);
    for (QRadioButton* r : radios)
        r->setAutoExclusive(true);
}

QString utf8(const std::string& text) {
    return QString::fromStdString(text);
}

} // namespace

ConfigurationDialog::ConfigurationDialog(Settings& settings, Operator& op,
                                         std::filesystem::path settingsFile, Actions actions,
                                         QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::ConfigurationDialog>()), m_settings(settings),
      m_op(op), m_settingsFile(std::move(settingsFile)), m_actions(std::move(actions)),
      m_form(settings) {
    m_ui->setupUi(this);
    // The 32-character limit is for typing: a longer location from the file
    // is shown whole, and stays so unless the operator edits it.
    m_ui->locationEdit->setMaxLength(std::max(
        m_ui->locationEdit->maxLength(), static_cast<int>(utf8(m_form.locationText()).size())));

    const ConfigurationForm::CheckedButtons checked = ConfigurationForm::checkedButtons(settings);
    const std::array<QRadioButton*, 4> ports = {m_ui->com1Radio, m_ui->com2Radio, m_ui->com3Radio,
                                                m_ui->com4Radio};
    for (int i = 0; i < 4; ++i) {
        const std::string name = ConfigurationForm::portButtonName(i);
        // What the name stands for here, since a Linux machine has no COM1.
        ports[static_cast<std::size_t>(i)]->setToolTip(
            QStringLiteral("%1 opens %2").arg(utf8(name), utf8(SerialPort::devicePath(name))));
        connect(ports[static_cast<std::size_t>(i)], &QRadioButton::clicked, this,
                [this, name] { onPortButton(name); });
    }
    checkOnly(ports, checked.port);

    // The ports present on this machine, stable names first; a path typed
    // into the chooser opens as it is.
    for (const PortEntry& entry : listSerialPorts())
        m_ui->portChooser->addItem(utf8(entry.label()), utf8(entry.path));
    m_ui->portChooser->setEditText(utf8(settings.portName));
    m_ui->portChooser->lineEdit()->setAccessibleName(QStringLiteral("Port to open"));
    m_ui->portChooser->view()->setAccessibleName(QStringLiteral("Ports found"));
    connect(m_ui->portChooser, &QComboBox::activated, this, [this](int index) {
        onPortButton(m_ui->portChooser->itemData(index).toString().toStdString());
    });
    connect(m_ui->portOpenButton, &QPushButton::clicked, this, [this] {
        const int index = m_ui->portChooser->findText(m_ui->portChooser->currentText());
        onPortButton(index >= 0 ? m_ui->portChooser->itemData(index).toString().toStdString()
                                : m_ui->portChooser->currentText().trimmed().toStdString());
    });
    m_ui->echoCheck->setChecked(settings.adapterEchoes);
    connect(m_ui->echoCheck, &QCheckBox::toggled, this,
            [this](bool on) { m_settings.adapterEchoes = on; });

    const std::array<QRadioButton*, 4> speeds = {m_ui->speed2400Radio, m_ui->speed4800Radio,
                                                 m_ui->speed9600Radio, m_ui->speed19200Radio};
    for (int i = 0; i < 4; ++i)
        connect(speeds[static_cast<std::size_t>(i)], &QRadioButton::clicked, this,
                [this, i] { m_settings.speedCode = ConfigurationForm::speedCode(i); });
    checkOnly(speeds, checked.speed);

    const std::array<QRadioButton*, 3> parities = {m_ui->parityNoneRadio, m_ui->parityEvenRadio,
                                                   m_ui->parityOddRadio};
    for (int i = 0; i < 3; ++i)
        connect(parities[static_cast<std::size_t>(i)], &QRadioButton::clicked, this,
                [this, i] { m_settings.parityCode = ConfigurationForm::parityCode(i); });
    checkOnly(parities, checked.parity);

    const auto stepInterval = [this](int step) {
        takeFields();
        m_form.stepInterval(step);
        showValues();
    };
    const auto stepScanDepth = [this](int step) {
        takeFields();
        m_settings.scan = ConfigurationForm::stepScanDepth(m_settings.scan, step);
        showValues();
    };
    connect(m_ui->intervalUpButton, &QToolButton::clicked, this, [=] { stepInterval(1); });
    connect(m_ui->intervalDownButton, &QToolButton::clicked, this, [=] { stepInterval(-1); });
    connect(m_ui->scanDepthUpButton, &QToolButton::clicked, this, [=] { stepScanDepth(1); });
    connect(m_ui->scanDepthDownButton, &QToolButton::clicked, this, [=] { stepScanDepth(-1); });
    m_ui->intervalEdit->installEventFilter(this);
    m_ui->scanDepthEdit->installEventFilter(this);

    connect(m_ui->okButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_ui->saveButton, &QPushButton::clicked, this, &ConfigurationDialog::onSave);
    connect(m_ui->helpButton, &QPushButton::clicked, this, [this] {
        if (m_actions.help)
            m_actions.help();
    });

    showValues();
}

ConfigurationDialog::~ConfigurationDialog() = default;

bool ConfigurationDialog::run() {
    return exec() == QDialog::Accepted;
}

// Every field the operator types into is taken, so that showing the values
// gives back what was typed: a typed interval stays in its field until the
// field is left (which picks the nearest entry) or an interval arrow
// replaces it.
void ConfigurationDialog::takeFields() {
    m_form.takeLocation(m_ui->locationEdit->text().toStdString());
    m_form.takeInterval(m_ui->intervalEdit->text().toStdString());
}

void ConfigurationDialog::showValues() {
    m_ui->locationEdit->setText(utf8(m_form.locationText()));
    m_ui->intervalEdit->setText(utf8(m_form.intervalText()));
    m_ui->portEdit->setText(utf8(m_settings.portName));
    m_ui->scanDepthEdit->setText(utf8(ConfigurationForm::scanDepthText(m_settings.scan)));
    m_ui->saveFileEdit->setText(utf8(m_settings.saveFile));
    m_ui->dsnEdit->setText(utf8(m_settings.dsn));
    m_ui->tableEdit->setText(utf8(m_settings.table));
}

bool ConfigurationDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusOut) {
        if (watched == m_ui->intervalEdit) {
            takeFields();
            m_form.leaveInterval(m_ui->intervalEdit->text().toStdString());
            showValues();
        } else if (watched == m_ui->scanDepthEdit) {
            takeFields();
            showValues();
        }
    }
    return QDialog::eventFilter(watched, event);
}

void ConfigurationDialog::onPortButton(const std::string& name) {
    if (name.empty() || !m_actions.openPort || m_opening)
        return;
    m_opening = true;
    setEnabled(false);
    m_op.beginBusy();
    m_actions.openPort(name, [self = QPointer<ConfigurationDialog>(this)](bool opened) {
        if (!self)
            return;
        self->m_opening = false;
        self->m_op.endBusy();
        self->setEnabled(true);
        if (opened)
            self->showValues();
    });
}

void ConfigurationDialog::onSave() {
    // Deliberately the dialog's values as they stand, not the fields' texts:
    // a location typed but not yet taken is not what the operator confirmed.
    m_settings.save(m_settingsFile, m_form.location(), m_form.intervalMinutes(), m_op);
}

void ConfigurationDialog::accept() {
    takeFields();
    if (const std::optional<std::string> refusal = m_form.checkOk()) {
        m_op.showMessage(*refusal);
        m_ui->locationEdit->setFocus();
        return;
    }
    m_form.store(m_settings);
    if (m_actions.scheduleNextSample)
        m_actions.scheduleNextSample();
    QDialog::accept();
}

void ConfigurationDialog::reject() {
    // Closed by the title bar while a port opens: the open's answer would
    // come back to settings already put back.
    if (m_opening)
        return;
    m_form.restore(m_settings);
    QDialog::reject();
}

} // namespace tarvo
