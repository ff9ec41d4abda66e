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
/// and the panel watch saw, newest first, in a table a screen reader reads
/// cell by cell: the recorder's book (earlier runs included), new entries
/// joining as they come. Filters by device and by kind of event; "Copy"
/// (and Ctrl+C) puts the selected rows on the clipboard as tab-separated
/// text. Each row shows its state; "Acknowledge" and "Acknowledge All"
/// acknowledge the active ones in the recorder's book, counted in the
/// title. Modeless; deletes itself when closed.
class JournalWindow : public QDialog {
    Q_OBJECT

public:
    explicit JournalWindow(TrendRecorder& recorder, QWidget* parent = nullptr);

    /// Shows `entries`, just added to the recorder's book.
    void add(const std::vector<JournalEntry>& entries);
    QTableWidget* table() const { return m_table; }
    /// The selected rows as tab-separated lines with a header line.
    QString selectedText() const;

    /// Active entries (problems neither cleared nor acknowledged), also in
    /// the title: "Alarm Journal (2 active)".
    int activeCount() const;
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
    void updateTitle();

    TrendRecorder& m_recorder;
    QComboBox* m_device;
    QComboBox* m_kind;
    QTableWidget* m_table;
    QLabel* m_status;
};

} // namespace tarvo
