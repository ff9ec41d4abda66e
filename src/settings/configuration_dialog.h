#pragma once

#include <QDialog>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "settings/configuration_form.h"

namespace Ui {
class ConfigurationDialog;
}

namespace tarvo {

class Operator;
struct Settings;

/// "Configuration": location, logging interval, port, speed, parity, scan
/// depth, and "Save" for the settings file.
///
/// The port buttons open the port at once through the open function given;
/// speed, parity and scan depth change at the click; location and interval
/// only on OK. Cancel (or closing the window) puts back the interval, port
/// name, speed, parity, log file path and location it opened with, but not
/// the scan depth. The dialog reads and sets the port's name and codes in
/// the settings as plain values; it never opens or closes the line itself.
class ConfigurationDialog : public QDialog {
    Q_OBJECT

public:
    /// What the dialog asks of the program.
    struct Actions {
        /// A port button: close the port and open `portName` (showing "Unable
        /// to open ..." on failure), then call `done` with whether the port
        /// is open. It may return first: the line is the bus thread's, and
        /// the dialog waits with its controls greyed, never in a loop.
        std::function<void(const std::string& portName, std::function<void(bool opened)> done)>
            openPort;
        /// Called on OK after the new interval is stored.
        std::function<void()> scheduleNextSample;
        std::function<void()> help;
    };

    ConfigurationDialog(Settings& settings, Operator& op, std::filesystem::path settingsFile,
                        Actions actions, QWidget* parent = nullptr);
    ~ConfigurationDialog() override;

    /// Runs the dialog modally; true when it closed with OK.
    bool run();

    void accept() override;
    void reject() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void takeFields();
    void showValues();
    void onPortButton(const std::string& name);
    void onSave();

    std::unique_ptr<Ui::ConfigurationDialog> m_ui;
    Settings& m_settings;
    Operator& m_op;
    std::filesystem::path m_settingsFile;
    Actions m_actions;

    ConfigurationForm m_form;
    /// A port open asked for and not answered yet.
    bool m_opening = false;
};

} // namespace tarvo
