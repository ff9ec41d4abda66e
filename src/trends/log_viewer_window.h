#pragma once

#include <QDialog>
#include <QFutureWatcher>
#include <atomic>
#include <memory>

#include "trends/log_reader.h"
#include "trends/trend_view.h"

class QComboBox;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;

namespace tarvo {

/// "Log Viewer": opens a log file Tarvo wrote (any delimiter, all three row
/// shapes) and draws the chosen values of one device in the trend view.
/// The file is read on a worker thread, so a large file leaves the window
/// responsive (a progress bar and "Cancel" while it reads); lines that are
/// no log row are counted and shown in the status line. Modeless; deletes
/// itself when closed.
class LogViewerWindow : public QDialog {
    Q_OBJECT

public:
    explicit LogViewerWindow(QWidget* parent = nullptr);
    ~LogViewerWindow() override;

    /// Starts reading `path`; finished() follows when it is done.
    void open(const QString& path);
    bool reading() const { return m_watcher.isRunning(); }
    const LogContents& contents() const { return m_contents; }
    TrendView& view() { return *m_view; }
    QString status() const;

signals:
    void finished();

private:
    void loaded();
    void showDevice();
    void redraw();

    QFutureWatcher<std::shared_ptr<LogContents>> m_watcher;
    std::atomic<bool> m_cancel{false};
    std::atomic<int> m_permille{0};
    LogContents m_contents;
    QString m_path;
    std::unique_ptr<TrendSource> m_source;

    QPushButton* m_open;
    QPushButton* m_cancelButton;
    QPushButton* m_png;
    QPushButton* m_csv;
    QProgressBar* m_progress;
    QComboBox* m_device;
    QListWidget* m_values;
    TrendView* m_view;
    QLabel* m_status;
};

} // namespace tarvo
