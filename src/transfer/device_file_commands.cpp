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

void DeviceFileCommands::runOnBus(std::function<void()> work, std::function<void()> then) {
    if (m_context.onBus) {
        m_context.onBus(std::move(work), std::move(then));
        return;
    }
    work();
    then();
}

bool DeviceFileCommands::deviceSelected() {
    if (m_context.selectedAddress() >= 1)
        return true;
    m_context.op.showMessage(ConfigCommands::kNoMeterToConfigure);
    return false;
}

void DeviceFileCommands::readDevice(std::function<void(const DeviceSettings&)> then) {
    m_context.op.beginBusy();
    auto read = std::make_shared<std::pair<DeviceReadResult, DeviceSettings>>();
    runOnBus(
        [this, read, device = access()] {
            read->first = readDeviceSettings(device, m_context.clock, read->second);
        },
        [this, read, then = std::move(then)] {
            m_context.op.endBusy();
            if (!read->first.ok()) {
                m_context.op.showMessage(read->first.problem);
                return;
            }
            then(read->second);
        });
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
    readDevice([this, path](const DeviceSettings& device) {
        const std::string problem = writeSettingsFile(path.toStdString(), device);
        m_context.op.showMessage(problem.empty()
                                     ? "Saved the settings of the " + kindName(device.kind) +
                                           " at address " + std::to_string(device.address) +
                                           " to " + path.toStdString() + "."
                                     : problem);
    });
}

void DeviceFileCommands::compareWithFile() {
    if (!deviceSelected())
        return;
    DeviceSettings file;
    if (!readFile(QStringLiteral("Compare Device with File"), file))
        return;
    readDevice([this, file](const DeviceSettings& device) {
        if (auto problem = kindProblem(file.kind, device.kind)) {
            m_context.op.showMessage("Refused: " + *problem + ".");
            return;
        }
        const auto differences = compareSettings(file, device);
        if (differences.empty()) {
            m_context.op.showMessage("The device holds the file's settings.");
            return;
        }
        showReport(QStringLiteral("Settings that differ: %1. Nothing was written.")
                       .arg(differences.size()),
                   text(describeDifferences(differences)));
    });
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
    if (!readFile(QStringLiteral("Write File to Device"), file))
        return;
    readDevice([this, file](const DeviceSettings& device) { writeToDevice(file, device); });
}

void DeviceFileCommands::writeToDevice(const DeviceSettings& file, const DeviceSettings& device) {
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
    m_context.op.beginBusy();
    auto result = std::make_shared<RestoreReport>();
    runOnBus([this, result, target = access(), plan = std::move(plan),
              file] { *result = executeRestore(target, m_context.clock, plan, file); },
             [this, result] {
                 m_context.op.endBusy();
                 showReport(
                     result->ok()
                         ? QStringLiteral("The device took every setting written.")
                         : QStringLiteral("The device does not hold every setting of the file."),
                     text(describeRestore(*result)));
             });
}

} // namespace tarvo
