#pragma once

#include <QDialog>
#include <array>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

class QRadioButton;

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
    /// The logging intervals offered, in minutes; all divide the hour.
    static constexpr std::array<int, 12> kIntervals = {1, 2, 3, 4, 5, 6, 10, 12, 15, 20, 30, 60};

    /// What the dialog asks of the program.
    struct Actions {
        /// A port button: close the port and open `portName` (showing "Unable
        /// to open ..." on failure). Returns whether the port is open.
        std::function<bool(const std::string& portName)> openPort;
        /// Called on OK after the new interval is stored.
        std::function<void()> scheduleNextSample;
        std::function<void()> help;
    };

    ConfigurationDialog(Settings& settings, Operator& op, std::filesystem::path settingsFile,
                        Actions actions, QWidget* parent = nullptr);
    ~ConfigurationDialog() override;

    /// Runs the dialog modally; true when it closed with OK.
    bool run();

    /// Index of the interval list entry nearest to `minutes`: a value on the
    /// midpoint of two entries goes to the longer one.
    static int nearestIntervalIndex(double minutes);

    void accept() override;
    void reject() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void takeFields();
    void showValues();
    void stepInterval(int step);
    void stepScanDepth(int step);
    void intervalFieldLeft();
    void onPortButton(int number);
    void onSave();

    std::unique_ptr<Ui::ConfigurationDialog> m_ui;
    Settings& m_settings;
    Operator& m_op;
    std::filesystem::path m_settingsFile;
    Actions m_actions;

    // The dialog's values.
    std::string m_location;
    std::string m_intervalText;
    int m_intervalIndex = 4;

    // Remembered for Cancel.
    int m_savedInterval;
    std::string m_savedPortName;
    int m_savedSpeed;
    int m_savedParity;
    std::string m_savedFile;
    std::string m_savedLocation;
};

} // namespace tarvo
