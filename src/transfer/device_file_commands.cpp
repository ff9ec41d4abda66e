#include "transfer/device_file_commands.h"

#include <QAction>
#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>

#include "config/config_commands.h"
#include "core/operator.h"
#include "transfer/settings_file.h"

namespace tarvo {
namespace {

const QString kFilter = QStringLiteral("Device settings (*.tds);;All files (*)");

QString text(const std::string& bytes) {
    return QString::fromStdString(bytes);
}

} // namespace

DeviceFileCommands::DeviceFileCommands(const DeviceFileContext& context, QWidget* parent)
    : QObject(parent), m_context(context), m_parent(parent) {
    chooseFile = [this](const QString& title, bool save) {
        return save ? QFileDialog::getSaveFileName(m_parent, title, {}, kFilter)
                    : QFileDialog::getOpenFileName(m_parent, title, {}, kFilter);
    };
    ask = [this](const QString& question, const QString& details) {
        QMessageBox box(QMessageBox::Question, QStringLiteral("Tarvo"), question,
                        QMessageBox::Yes | QMessageBox::No, m_parent);
        box.setDefaultButton(QMessageBox::No);
        box.setDetailedText(details);
        return box.exec() == QMessageBox::Yes;
    };
    showReport = [this](const QString& message, const QString& details) {
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Tarvo"), message, QMessageBox::Ok,
                        m_parent);
        box.setDetailedText(details);
        box.exec();
    };
}

void DeviceFileCommands::addActions(QMenu* config) {
    config->addSeparator();
    const auto add = [&](const char* label, const char* name, void (DeviceFileCommands::*slot)()) {
        config->addAction(QString::fromUtf8(label), this, slot)
            ->setObjectName(QString::fromUtf8(name));
    };
    add("Save Device Settings...", "saveDeviceSettingsAction",
        &DeviceFileCommands::saveDeviceSettings);
    add("Compare Device with File...", "compareDeviceAction", &DeviceFileCommands::compareWithFile);
    add("Write File to Device...", "writeFileAction", &DeviceFileCommands::writeFileToDevice);
    add("Compare Two Files...", "compareFilesAction", &DeviceFileCommands::compareTwoFiles);
}

DeviceAccess DeviceFileCommands::access() {
    return {m_context.master, m_context.port, m_context.devices, m_context.selectedAddress()};
}

void DeviceFileCommands::runOnBus(const std::function<void()>& work) {
    if (m_context.onBus)
        m_context.onBus(work);
    else
        work();
}

bool DeviceFileCommands::deviceSelected() {
    if (m_context.selectedAddress() >= 1)
        return true;
    m_context.op.showMessage(ConfigCommands::kNoMeterToConfigure);
    return false;
}

bool DeviceFileCommands::readDevice(DeviceSettings& out) {
    DeviceReadResult result;
    {
        BusyCursor busy(m_context.op);
        const DeviceAccess device = access();
        runOnBus([&] { result = readDeviceSettings(device, m_context.clock, out); });
    }
    if (!result.ok())
        m_context.op.showMessage(result.problem);
    return result.ok();
}

bool DeviceFileCommands::readFile(const QString& title, DeviceSettings& out, QString* chosen) {
    const QString path = chooseFile(title, false);
    if (path.isEmpty())
        return false;
    if (chosen != nullptr)
        *chosen = path;
    if (auto problem = readSettingsFile(path.toStdString(), out)) {
        m_context.op.showMessage("Refused: " + problem->message(path.toStdString()) +
                                 ". Nothing was written.");
        return false;
    }
    return true;
}

void DeviceFileCommands::saveDeviceSettings() {
    if (!deviceSelected())
        return;
    const QString path = chooseFile(QStringLiteral("Save Device Settings"), true);
    if (path.isEmpty())
        return;
    DeviceSettings device;
    if (!readDevice(device))
        return;
    const std::string problem = writeSettingsFile(path.toStdString(), device);
    m_context.op.showMessage(
        problem.empty() ? "Saved the settings of the " + kindName(device.kind) + " at address " +
                              std::to_string(device.address) + " to " + path.toStdString() + "."
                        : problem);
}

void DeviceFileCommands::compareWithFile() {
    if (!deviceSelected())
        return;
    DeviceSettings file;
    DeviceSettings device;
    if (!readFile(QStringLiteral("Compare Device with File"), file) || !readDevice(device))
        return;
    if (auto problem = kindProblem(file.kind, device.kind)) {
        m_context.op.showMessage("Refused: " + *problem + ".");
        return;
    }
    const auto differences = compareSettings(file, device);
    if (differences.empty()) {
        m_context.op.showMessage("The device holds the file's settings.");
        return;
    }
    showReport(
        QStringLiteral("Settings that differ: %1. Nothing was written.").arg(differences.size()),
        text(describeDifferences(differences)));
}

void DeviceFileCommands::compareTwoFiles() {
    DeviceSettings first;
    DeviceSettings second;
    if (!readFile(QStringLiteral("Compare Two Files: First File"), first) ||
        !readFile(QStringLiteral("Compare Two Files: Second File"), second))
        return;
    if (auto problem = kindProblem(first.kind, second.kind, "the first file", "the second")) {
        m_context.op.showMessage("Refused: " + *problem + ".");
        return;
    }
    const auto differences = compareSettings(first, second);
    if (differences.empty()) {
        m_context.op.showMessage("The two files hold the same settings.");
        return;
    }
    showReport(QStringLiteral("Settings that differ: %1.").arg(differences.size()),
               text(describeDifferences(differences, "first", "second")));
}

void DeviceFileCommands::writeFileToDevice() {
    if (!deviceSelected())
        return;
    DeviceSettings file;
    DeviceSettings device;
    if (!readFile(QStringLiteral("Write File to Device"), file) || !readDevice(device))
        return;
    // A clone to another panel keeps the target's names; a restore of the
    // same panel brings them back. Only the operator knows which this is,
    // and is asked only when the names differ and the file can be written.
    RestorePlan plan = planRestore(file, device, false);
    if (!plan.refused.empty()) {
        m_context.op.showMessage("Refused: " + plan.refused + ". Nothing was written.");
        return;
    }
    RestorePlan withNames = planRestore(file, device, true);
    const bool namesDiffer = withNames.writes.size() != plan.writes.size();
    if (namesDiffer &&
        ask(QStringLiteral("Write the names in the file too?\n\nAnswer No to keep the device's "
                           "own names, as a copy to another panel usually should."),
            {}))
        plan = std::move(withNames);
    if (plan.writes.empty()) {
        m_context.op.showMessage(
            std::string("Nothing to write: the device holds the file's settings") +
            (namesDiffer ? ", apart from the names it keeps." : ".") +
            (plan.locked.empty() ? std::string() : "\n" + describePlan(plan)));
        return;
    }
    if (!ask(QStringLiteral("Settings to write: %1. Write them to the device at address %2?")
                 .arg(plan.writes.size())
                 .arg(device.address),
             text(describePlan(plan))))
        return;
    RestoreReport result;
    {
        BusyCursor busy(m_context.op);
        const DeviceAccess device = access();
        runOnBus([&] { result = executeRestore(device, m_context.clock, plan, file); });
    }
    showReport(result.ok() ? QStringLiteral("The device took every setting written.")
                           : QStringLiteral("The device does not hold every setting of the file."),
               text(describeRestore(result)));
}

} // namespace tarvo
