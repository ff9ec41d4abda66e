#pragma once

#include <QDialog>
#include <functional>
#include <vector>

#include "session/panel_overview.h"

class QTableWidget;

namespace tarvo {

/// "Panel Overview": one row per listed device with its worst lamp (the
/// lamp's image and its word, so neither colour nor image alone carries
/// it), last good read and failures. Double-click or Enter on a row selects
/// that device in the main window (onSelect). Rows come from outside
/// (setRows); the dialog never reads the bus. Modeless.
class PanelOverviewDialog : public QDialog {
    Q_OBJECT

public:
    explicit PanelOverviewDialog(QWidget* parent = nullptr);

    /// Shows `rows`, keeping the selected device selected.
    void setRows(const std::vector<OverviewRow>& rows);
    QTableWidget* table() const { return m_table; }

    /// Called with the address of the row chosen.
    std::function<void(int)> onSelect;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void choose(int row);

    QTableWidget* m_table;
    std::vector<OverviewRow> m_rows;
};

} // namespace tarvo
