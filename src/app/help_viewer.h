#pragma once

#include <QDialog>
#include <QString>

class QTextBrowser;

namespace tarvo {

/// The program's own help pages (HTML in the resources), in a modeless
/// window that follows links between topics.
class HelpViewer : public QDialog {
    Q_OBJECT

public:
    explicit HelpViewer(QWidget* parent = nullptr);

    /// Shows the page of `topic` ("main_window", "trace_window", ...); the
    /// index when there is no such page.
    void showTopic(const QString& topic);

    /// The page name for a window: its object name in snake_case
    /// ("BreakerAlarmSetupDialog" -> "breaker_alarm_setup_dialog").
    static QString topicFor(const QString& objectName);

    /// Whether the help resources hold a page for `topic`.
    static bool hasTopic(const QString& topic);

    QString currentTopic() const;

private:
    QTextBrowser* m_browser;
};

} // namespace tarvo
