#include "settings/configuration_dialog.h"

#include <QEvent>
#include <QRadioButton>
#include <charconv>
#include <optional>

#include "core/operator.h"
#include "link/serial_port.h"
#include "settings/settings.h"
#include "ui_configuration_dialog.h"

namespace tarvo {

namespace {

constexpr int kMaxScanDepth = 247;

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

// The decimal number at the start of `text` (blanks and a sign allowed,
// fractions too), read with "." whatever the locale.
std::optional<double> leadingDecimal(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    double value = 0;
    const auto r = std::from_chars(text.data() + i, text.data() + text.size(), value,
                                   std::chars_format::fixed);
    if (r.ec != std::errc())
        return std::nullopt;
    return negative ? -value : value;
}

QString minutesText(int minutes) {
    return QStringLiteral("%1 min").arg(minutes);
}
QString devicesText(int depth) {
    return QStringLiteral("%1 devices").arg(depth);
}

} // namespace

int ConfigurationDialog::nearestIntervalIndex(double minutes) {
    const int last = static_cast<int>(kIntervals.size()) - 1;
    for (int i = 0; i < last; ++i) {
        const double midpoint = (kIntervals[static_cast<std::size_t>(i)] +
                                 kIntervals[static_cast<std::size_t>(i + 1)]) /
                                2.0;
        if (minutes < midpoint)
            return i;
    }
    return last;
}

ConfigurationDialog::ConfigurationDialog(Settings& settings, Operator& op,
                                         std::filesystem::path settingsFile, Actions actions,
                                         QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::ConfigurationDialog>()), m_settings(settings),
      m_op(op), m_settingsFile(std::move(settingsFile)), m_actions(std::move(actions)),
      m_savedInterval(settings.interval), m_savedPortName(settings.portName),
      m_savedSpeed(settings.speedCode), m_savedParity(settings.parityCode),
      m_savedFile(settings.saveFile), m_savedLocation(settings.location) {
    m_ui->setupUi(this);

    m_intervalIndex = nearestIntervalIndex(settings.interval);
    m_intervalText =
        minutesText(kIntervals[static_cast<std::size_t>(m_intervalIndex)]).toStdString();
    m_location = settings.location;

    const std::array<QRadioButton*, 4> ports = {m_ui->com1Radio, m_ui->com2Radio, m_ui->com3Radio,
                                                m_ui->com4Radio};
    int portIndex = -1;
    for (int n = 1; n <= 4; ++n) {
        const std::string name = "COM" + std::to_string(n) + ":";
        QRadioButton* button = ports[static_cast<std::size_t>(n - 1)];
        // What the name stands for here, since a Linux machine has no COM1.
        button->setToolTip(QStringLiteral("%1 opens %2")
                               .arg(QString::fromStdString(name),
                                    QString::fromStdString(SerialPort::devicePath(name))));
        if (settings.portName == name)
            portIndex = n - 1;
        connect(button, &QRadioButton::clicked, this, [this, n] { onPortButton(n); });
    }
    checkOnly(ports, portIndex);

    const std::array<QRadioButton*, 3> parities = {m_ui->parityNoneRadio, m_ui->parityEvenRadio,
                                                   m_ui->parityOddRadio};
    const std::array<int, 3> parityCodes = {SerialPort::kParityNone, SerialPort::kParityEven,
                                            SerialPort::kParityOdd};
    int parityIndex = -1;
    for (std::size_t i = 0; i < parities.size(); ++i) {
        if (settings.parityCode == parityCodes[i])
            parityIndex = static_cast<int>(i);
        connect(parities[i], &QRadioButton::clicked, this,
                [this, code = parityCodes[i]] { m_settings.parityCode = code; });
    }
    checkOnly(parities, parityIndex);

    const std::array<QRadioButton*, 4> speeds = {m_ui->speed2400Radio, m_ui->speed4800Radio,
                                                 m_ui->speed9600Radio, m_ui->speed19200Radio};
    const std::array<int, 4> speedCodes = {SerialPort::kSpeed2400, SerialPort::kSpeed4800,
                                           SerialPort::kSpeed9600, SerialPort::kSpeed19200};
    int speedIndex = -1;
    for (std::size_t i = 0; i < speeds.size(); ++i) {
        if (settings.speedCode == speedCodes[i])
            speedIndex = static_cast<int>(i);
        connect(speeds[i], &QRadioButton::clicked, this,
                [this, code = speedCodes[i]] { m_settings.speedCode = code; });
    }
    checkOnly(speeds, speedIndex);

    connect(m_ui->intervalUpButton, &QToolButton::clicked, this, [this] { stepInterval(1); });
    connect(m_ui->intervalDownButton, &QToolButton::clicked, this, [this] { stepInterval(-1); });
    connect(m_ui->scanDepthUpButton, &QToolButton::clicked, this, [this] { stepScanDepth(1); });
    connect(m_ui->scanDepthDownButton, &QToolButton::clicked, this, [this] { stepScanDepth(-1); });
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

void ConfigurationDialog::takeFields() {
    m_location = m_ui->locationEdit->text().toStdString();
    m_intervalText = m_ui->intervalEdit->text().toStdString();
}

void ConfigurationDialog::showValues() {
    m_ui->locationEdit->setText(QString::fromStdString(m_location));
    m_ui->intervalEdit->setText(QString::fromStdString(m_intervalText));
    m_ui->portEdit->setText(QString::fromStdString(m_settings.portName));
    m_ui->scanDepthEdit->setText(devicesText(m_settings.scan));
    m_ui->saveFileEdit->setText(QString::fromStdString(m_settings.saveFile));
    m_ui->dsnEdit->setText(QString::fromStdString(m_settings.dsn));
    m_ui->tableEdit->setText(QString::fromStdString(m_settings.table));
}

void ConfigurationDialog::stepInterval(int step) {
    takeFields();
    const int n = static_cast<int>(kIntervals.size());
    m_intervalIndex = ((m_intervalIndex + step) % n + n) % n;
    m_intervalText =
        minutesText(kIntervals[static_cast<std::size_t>(m_intervalIndex)]).toStdString();
    showValues();
}

void ConfigurationDialog::intervalFieldLeft() {
    takeFields();
    if (const std::optional<double> minutes = leadingDecimal(m_intervalText))
        m_intervalIndex = nearestIntervalIndex(*minutes);
    m_intervalText =
        minutesText(kIntervals[static_cast<std::size_t>(m_intervalIndex)]).toStdString();
    showValues();
}

void ConfigurationDialog::stepScanDepth(int step) {
    takeFields();
    int depth = m_settings.scan + step;
    if (depth < 1)
        depth = kMaxScanDepth;
    else if (depth > kMaxScanDepth)
        depth = 1;
    m_settings.scan = depth;
    showValues();
}

bool ConfigurationDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusOut) {
        if (watched == m_ui->intervalEdit) {
            intervalFieldLeft();
        } else if (watched == m_ui->scanDepthEdit) {
            takeFields();
            showValues();
        }
    }
    return QDialog::eventFilter(watched, event);
}

void ConfigurationDialog::onPortButton(int number) {
    const std::string name = "COM" + std::to_string(number) + ":";
    if (m_actions.openPort && m_actions.openPort(name))
        showValues();
}

void ConfigurationDialog::onSave() {
    // Deliberately the dialog's values as they stand, not the fields' texts:
    // a location typed but not yet taken is not what the operator confirmed.
    m_settings.save(m_settingsFile, m_location,
                    kIntervals[static_cast<std::size_t>(m_intervalIndex)], m_op);
}

void ConfigurationDialog::accept() {
    takeFields();
    if (m_location.find_first_of("'\"") != std::string::npos) {
        m_op.showMessage("The Location name may not contain quote characters");
        return;
    }
    m_settings.location = m_location;
    m_settings.interval = kIntervals[static_cast<std::size_t>(m_intervalIndex)];
    if (m_actions.scheduleNextSample)
        m_actions.scheduleNextSample();
    QDialog::accept();
}

void ConfigurationDialog::reject() {
    m_settings.interval = m_savedInterval;
    m_settings.portName = m_savedPortName;
    m_settings.speedCode = m_savedSpeed;
    m_settings.parityCode = m_savedParity;
    m_settings.saveFile = m_savedFile;
    m_settings.location = m_savedLocation;
    QDialog::reject();
}

} // namespace tarvo
