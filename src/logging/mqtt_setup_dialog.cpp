#include "logging/mqtt_setup_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

#include "logging/mqtt_sink.h"
#include "settings/settings.h"

namespace tarvo {
namespace {

// A connect attempt with more time than this is not worth waiting for in a
// dialog; the sink itself waits longer.
constexpr int kTestTimeoutMs = 5000;

QLineEdit* field(const std::string& value, std::size_t capacity, const char* name) {
    auto* edit = new QLineEdit(QString::fromStdString(value));
    edit->setMaxLength(static_cast<int>(capacity));
    edit->setObjectName(QString::fromLatin1(name));
    return edit;
}

std::string text(const QLineEdit* edit) {
    return edit->text().toStdString();
}

} // namespace

MqttSetupDialog::MqttSetupDialog(const Settings& settings, std::string location, QWidget* parent)
    : QDialog(parent), m_settings(settings), m_location(std::move(location)) {
    setWindowTitle(QStringLiteral("MQTT Setup"));
    m_server = field(settings.mqttServer, Settings::kMqttServerCapacity, "server");
    m_server->setPlaceholderText(QStringLiteral("host or host:port; empty sends nothing"));
    m_tls = new QCheckBox(QStringLiteral("Use &TLS (port 8883 unless given)"));
    m_tls->setChecked(settings.mqttTls);
    m_ca = field(settings.mqttCa, Settings::kSaveFileCapacity, "caFile");
    m_ca->setPlaceholderText(QStringLiteral("the system's certificate authorities"));
    m_user = field(settings.mqttUser, Settings::kUserCapacity, "user");
    m_password = field(settings.mqttPassword, Settings::kPasswdCapacity, "password");
    m_password->setEchoMode(QLineEdit::Password);
    m_prefix = field(settings.mqttPrefix, Settings::kMqttPrefixCapacity, "prefix");
    m_prefix->setPlaceholderText(QStringLiteral("tarvo"));
    m_discovery = new QCheckBox(QStringLiteral("Announce the sensors to &Home Assistant"));
    m_discovery->setChecked(settings.mqttDiscovery);
    m_test = new QPushButton(QStringLiteral("Test &connection"));
    m_test->setObjectName(QStringLiteral("testButton"));
    m_result = new QLabel;
    m_result->setObjectName(QStringLiteral("result"));
    m_result->setWordWrap(true);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("&Server:"), m_server);
    form->addRow(QString(), m_tls);
    form->addRow(QStringLiteral("C&A file:"), m_ca);
    form->addRow(QStringLiteral("&User:"), m_user);
    form->addRow(QStringLiteral("&Password:"), m_password);
    form->addRow(QStringLiteral("Topic p&refix:"), m_prefix);
    form->addRow(QString(), m_discovery);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_test);
    layout->addWidget(m_result);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &MqttSetupDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &MqttSetupDialog::reject);
    connect(m_test, &QPushButton::clicked, this, &MqttSetupDialog::onTest);
    connect(&m_watcher, &QFutureWatcher<std::string>::finished, this, [this] {
        const std::string problem = m_watcher.result();
        m_result->setText(problem.empty() ? QStringLiteral("The MQTT server took the connection.")
                                          : QString::fromStdString(problem));
        m_test->setEnabled(true);
    });
}

MqttSetupDialog::~MqttSetupDialog() {
    // A test still running holds its own copy of the options; wait for it,
    // at most the test's time-out, so the thread pool ends clean.
    m_watcher.waitForFinished();
}

bool MqttSetupDialog::take(Settings& settings, std::string& error) const {
    Settings s = settings;
    s.mqttServer = text(m_server);
    s.mqttTls = m_tls->isChecked();
    s.mqttCa = text(m_ca);
    s.mqttUser = text(m_user);
    s.mqttPassword = text(m_password);
    s.mqttPrefix = text(m_prefix);
    s.mqttDiscovery = m_discovery->isChecked();
    for (const auto& [key, value] : {std::pair{"server", &s.mqttServer},
                                     {"CA file", &s.mqttCa},
                                     {"user", &s.mqttUser},
                                     {"password", &s.mqttPassword},
                                     {"topic prefix", &s.mqttPrefix}})
        if (hasControlCharacter(*value)) {
            error = std::string("The ") + key +
                    " holds a control character, such as a line break, that the settings "
                    "file cannot keep.";
            return false;
        }
    MqttOptions options;
    if (!s.mqttServer.empty() && !MqttOptions::fromSettings(s, m_location, options, error))
        return false;
    settings = std::move(s);
    return true;
}

void MqttSetupDialog::accept() {
    Settings probe = m_settings;
    std::string error;
    if (!take(probe, error)) {
        m_result->setText(QString::fromStdString(error));
        return;
    }
    QDialog::accept();
}

QString MqttSetupDialog::testResult() const {
    return m_result->text();
}

bool MqttSetupDialog::testing() const {
    return !m_test->isEnabled();
}

void MqttSetupDialog::onTest() {
    Settings probe = m_settings;
    std::string error;
    MqttOptions options;
    if (!take(probe, error) || !MqttOptions::fromSettings(probe, m_location, options, error)) {
        m_result->setText(QString::fromStdString(error));
        return;
    }
    m_test->setEnabled(false);
    m_result->setText(QStringLiteral("Connecting to %1...").arg(m_server->text()));
    m_watcher.setFuture(
        QtConcurrent::run([options] { return mqttTestConnection(options, kTestTimeoutMs); }));
}

bool runMqttSetup(Settings& settings, const std::string& location, QWidget* parent) {
    MqttSetupDialog dialog(settings, location, parent);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    const Settings before = settings;
    std::string error;
    dialog.take(settings, error);
    return settings.fileText("", 0) != before.fileText("", 0);
}

} // namespace tarvo
