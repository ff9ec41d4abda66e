#pragma once

#include <QDialog>
#include <QFutureWatcher>
#include <string>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tarvo {

struct Settings;

/// "MQTT Setup": the broker, TLS, user, password, topic prefix and Home
/// Assistant discovery. OK takes the values into the settings (the settings
/// file is written as always, by the Configuration dialog's save); Cancel
/// leaves them as they were. "Test connection" tries the values shown on a
/// thread of its own, so the window stays live, and says the outcome in
/// words.
class MqttSetupDialog : public QDialog {
    Q_OBJECT

public:
    MqttSetupDialog(const Settings& settings, std::string location, QWidget* parent = nullptr);
    ~MqttSetupDialog() override;

    /// The settings as the fields say; false with the reason in `error` when
    /// a field cannot be stored or names no usable server.
    bool take(Settings& settings, std::string& error) const;

    void accept() override;

    /// The outcome of the last test, as shown.
    QString testResult() const;
    /// True while a test runs, until its outcome is shown: the watcher
    /// stops running before its finished signal reaches the dialog.
    bool testing() const;

private:
    void onTest();

    const Settings& m_settings;
    std::string m_location;
    QLineEdit* m_server;
    QCheckBox* m_tls;
    QLineEdit* m_ca;
    QLineEdit* m_user;
    QLineEdit* m_password;
    QLineEdit* m_prefix;
    QCheckBox* m_discovery;
    QPushButton* m_test;
    QLabel* m_result;
    QFutureWatcher<std::string> m_watcher;
};

/// Logging > MQTT: runs the dialog; on OK stores the values in `settings`
/// and returns true when any of them changed.
bool runMqttSetup(Settings& settings, const std::string& location, QWidget* parent);

} // namespace tarvo
