#pragma once

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "session/journal_events.h"

class QComboBox;
class QLabel;
class QTableWidget;

namespace tarvo {

class TrendRecorder;

/// "Alarm Journal": every lamp change and communication failure the poll
/// saw, newest first, in a table a screen reader reads cell by cell.
/// Opening it reads the journal file back (earlier runs included); entries
/// that are still waiting for the file and new ones join as they come.
/// Filters by device and by kind of event; "Copy" (and Ctrl+C) puts the
/// selected rows on the clipboard as tab-separated text. Each row shows its
/// state (JournalBook); "Acknowledge" and "Acknowledge All" acknowledge the
/// active ones, counted in the title. Modeless; deletes itself when closed.
class JournalWindow : public QDialog {
    Q_OBJECT

public:
    explicit JournalWindow(const TrendRecorder& recorder, QWidget* parent = nullptr);

    /// New entries from the poll.
    void add(const std::vector<JournalEntry>& entries);
    QTableWidget* table() const { return m_table; }
    /// The selected rows as tab-separated lines with a header line.
    QString selectedText() const;

    /// Active entries (problems neither cleared nor acknowledged), also in
    /// the title: "Alarm Journal (2 active)".
    int activeCount() const { return m_book.activeCount(); }
    /// Called with activeCount() whenever it changes (the main window's
    /// status bar).
    std::function<void(int)> onActiveCountChanged;
    /// Acknowledges the active entries of the selected rows, or all.
    void acknowledgeSelected();
    void acknowledgeAll();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    bool passes(const JournalEntry& e) const;
    void fillTable();
    void insertRow(int row, std::size_t index);
    void updateStatus();
    void updateDevices();
    void updateTitle(int active);

    const TrendRecorder& m_recorder;
    JournalBook m_book; // oldest first, with their states
    std::size_t m_skipped = 0;
    bool m_fileRead = false;
    QComboBox* m_device;
    QComboBox* m_kind;
    QTableWidget* m_table;
    QLabel* m_status;
};

} // namespace tarvo
