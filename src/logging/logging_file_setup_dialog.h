#pragma once

#include <QDialog>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QFileDialog;
class QRadioButton;

namespace Ui {
class LoggingFileSetupDialog;
}

namespace tarvo {

class Operator;
class SampleQueue;
struct Settings;

/// "Logging File Setup": the log file, the "Logging Active" switch and the
/// delimiter. Its controls change the settings at once, so a sampling pass
/// while it is open already uses them; Cancel (or closing the window) puts
/// back the log file path, the switch and the format it opened with. It
/// never writes the settings file.
class LoggingFileSetupDialog : public QDialog {
    Q_OBJECT

public:
    /// Asks the operator for the log file; nothing when cancelled.
    using FileChooser = std::function<std::optional<std::string>(QWidget* parent)>;

    LoggingFileSetupDialog(Settings& settings, Operator& op, std::function<void()> help,
                           QWidget* parent = nullptr);
    ~LoggingFileSetupDialog() override;

    /// Tests answer the save-file chooser themselves.
    void setFileChooser(FileChooser chooser) { m_chooseFile = std::move(chooser); }

    /// The platform's save-file chooser as "Select Output File" opens it:
    /// default extension "TXT", initial name "DATA", and the filters
    /// comma-delimited text (*.csv, selected), tab-delimited text (*.txt) and
    /// all files.
    static std::unique_ptr<QFileDialog> makeFileChooser(QWidget* parent);

    void reject() override;

private:
    void onLoggingActiveClicked();
    void onSelectFile();
    void setFormat(int format);

    std::unique_ptr<Ui::LoggingFileSetupDialog> m_ui;
    Settings& m_settings;
    Operator& m_op;
    std::function<void()> m_help;
    FileChooser m_chooseFile;
    // The values the dialog opened with, for Cancel.
    std::string m_savedFile;
    bool m_savedActive;
    int m_savedFormat;
};

/// Logging > File Config: runs the dialog modally. OK keeps the settings as
/// changed and discards the records waiting in the file queue, unwritten;
/// Cancel restores the three values. Returns whether OK was pressed.
bool runFileConfig(Settings& settings, SampleQueue& fileQueue, Operator& op,
                   std::function<void()> help, QWidget* parent,
                   LoggingFileSetupDialog::FileChooser chooser = {});

} // namespace tarvo
