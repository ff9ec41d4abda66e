#pragma once

#include <functional>

#include <QObject>
#include <QString>

#include "transfer/device_settings.h"

class QMenu;
class QWidget;

namespace tarvo {

class Clock;
class Operator;

/// What the settings-file commands reach: the bus (never owned), the
/// operator and the selected device.
struct DeviceFileContext {
    ModbusMaster& master;
    Transport& port;
    const DeviceTable& devices;
    Operator& op;
    const Clock& clock;
    std::function<int()> selectedAddress;
    /// Runs the device's reads or writes (`work`) where the line is owned,
    /// then `then` back here once they are done; empty: both at once.
    std::function<void(std::function<void()> work, std::function<void()> then)> onBus = {};
};

/// The Config menu's settings-file commands: "Save Device Settings...",
/// "Compare Device with File...", "Write File to Device..." and "Compare Two
/// Files...". They run from menu actions, outside the one-second tick, and
/// reach the device through the forms' register access.
class DeviceFileCommands : public QObject {
    Q_OBJECT

public:
    DeviceFileCommands(const DeviceFileContext& context, QWidget* parent);

    void addActions(QMenu* config);

    void saveDeviceSettings();
    void compareWithFile();
    void writeFileToDevice();
    void compareTwoFiles();

    /// The file chooser (`save` for a new file); an empty name is Cancel.
    /// Tests replace it.
    std::function<QString(const QString& title, bool save)> chooseFile;
    /// A Yes/No question with the lines behind it; tests replace it.
    std::function<bool(const QString& question, const QString& details)> ask;
    /// A result with the lines behind it (a message box); tests replace it.
    std::function<void(const QString& text, const QString& details)> showReport;

private:
    bool deviceSelected();
    // Reads the selected device with the wait cursor shown; `then` gets the
    // settings read when the read succeeded (a failure is shown here).
    void readDevice(std::function<void(const DeviceSettings&)> then);
    bool readFile(const QString& title, DeviceSettings& out, QString* path = nullptr);
    DeviceAccess access();
    void runOnBus(std::function<void()> work, std::function<void()> then);
    void writeToDevice(const DeviceSettings& file, const DeviceSettings& device);

    DeviceFileContext m_context;
    QWidget* m_parent;
};

} // namespace tarvo
