#include "logging/logging_file_setup_dialog.h"

#include <QFileDialog>

#include "core/operator.h"
#include "logging/sample_queue.h"
#include "settings/configuration_form.h"
#include "settings/settings.h"
#include "ui_logging_file_setup_dialog.h"

namespace tarvo {

LoggingFileSetupDialog::LoggingFileSetupDialog(Settings& settings, Operator& op,
                                               std::function<void()> help, QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::LoggingFileSetupDialog>()), m_settings(settings),
      m_op(op), m_help(std::move(help)), m_savedFile(settings.saveFile),
      m_savedActive(settings.fileLoggingActive), m_savedFormat(settings.format) {
    m_ui->setupUi(this);
    m_chooseFile = [](QWidget* parent) -> std::optional<std::string> {
        const std::unique_ptr<QFileDialog> chooser = makeFileChooser(parent);
        if (chooser->exec() != QDialog::Accepted || chooser->selectedFiles().isEmpty())
            return std::nullopt;
        return chooser->selectedFiles().first().toStdString();
    };

    m_ui->fileNameEdit->setText(QString::fromStdString(m_settings.saveFile));
    m_ui->loggingActiveCheck->setChecked(m_settings.fileLoggingActive);
    switch (m_settings.format) {
    case TabText:
        m_ui->tabRadio->setChecked(true);
        break;
    case SpaceText:
        m_ui->spaceRadio->setChecked(true);
        break;
    default:
        m_ui->csvRadio->setChecked(true);
        break;
    }

    connect(m_ui->loggingActiveCheck, &QCheckBox::clicked, this,
            &LoggingFileSetupDialog::onLoggingActiveClicked);
    connect(m_ui->selectFileButton, &QPushButton::clicked, this,
            &LoggingFileSetupDialog::onSelectFile);
    connect(m_ui->csvRadio, &QRadioButton::clicked, this, [this] { setFormat(Csv); });
    connect(m_ui->tabRadio, &QRadioButton::clicked, this, [this] { setFormat(TabText); });
    connect(m_ui->spaceRadio, &QRadioButton::clicked, this, [this] { setFormat(SpaceText); });
    connect(m_ui->okButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_ui->helpButton, &QPushButton::clicked, this, [this] {
        if (m_help)
            m_help();
    });
}

LoggingFileSetupDialog::~LoggingFileSetupDialog() = default;

std::unique_ptr<QFileDialog> LoggingFileSetupDialog::makeFileChooser(QWidget* parent) {
    auto chooser = std::make_unique<QFileDialog>(parent);
    chooser->setAcceptMode(QFileDialog::AcceptSave);
    chooser->setFileMode(QFileDialog::AnyFile);
    chooser->setDefaultSuffix(QStringLiteral("TXT"));
    chooser->setNameFilters({QStringLiteral("Text (Comma Delimited) (*.csv)"),
                             QStringLiteral("Text (Tab Delimited) (*.txt)"),
                             // "*": "*.*" would hide files without an extension.
                             QStringLiteral("All Files (*)")});
    chooser->selectNameFilter(QStringLiteral("Text (Comma Delimited) (*.csv)"));
    chooser->selectFile(QStringLiteral("DATA"));
    return chooser;
}

void LoggingFileSetupDialog::onLoggingActiveClicked() {
    const bool checked = m_ui->loggingActiveCheck->isChecked();
    if (checked && m_settings.saveFile.empty()) {
        m_op.showMessage("You must specify a file before enabling the logging function!");
        m_settings.fileLoggingActive = false;
        m_ui->loggingActiveCheck->setChecked(false);
        return;
    }
    m_settings.fileLoggingActive = checked;
}

void LoggingFileSetupDialog::onSelectFile() {
    const std::optional<std::string> chosen = m_chooseFile(this);
    if (!chosen)
        return;
    // The settings keep at most this many bytes of the path; a longer one
    // would be cut and name another file.
    if (chosen->size() > Settings::kSaveFileCapacity) {
        m_op.showMessage("The file name is too long: at most " +
                         std::to_string(Settings::kSaveFileCapacity) + " characters.");
        m_ui->fileNameEdit->setFocus();
        return;
    }
    // A Linux file name may hold a line feed, which would end the settings
    // line early and start a line of its own at the next start.
    if (const auto refusal = refuseControlCharacters("file name", *chosen)) {
        m_op.showMessage(*refusal);
        m_ui->fileNameEdit->setFocus();
        return;
    }
    m_settings.saveFile = *chosen;
    m_ui->fileNameEdit->setText(QString::fromStdString(*chosen));
}

void LoggingFileSetupDialog::setFormat(int format) {
    m_settings.format = format;
}

void LoggingFileSetupDialog::reject() {
    m_settings.saveFile = m_savedFile;
    m_settings.fileLoggingActive = m_savedActive;
    m_settings.format = m_savedFormat;
    QDialog::reject();
}

bool runFileConfig(Settings& settings, SampleQueue& fileQueue, Operator& op,
                   std::function<void()> help, QWidget* parent,
                   LoggingFileSetupDialog::FileChooser chooser) {
    LoggingFileSetupDialog dialog(settings, op, std::move(help), parent);
    if (chooser)
        dialog.setFileChooser(std::move(chooser));
    if (dialog.exec() != QDialog::Accepted)
        return false;
    // The records waiting were taken under the old file and format; OK
    // starts the new choice afresh.
    fileQueue.clear();
    return true;
}

} // namespace tarvo
