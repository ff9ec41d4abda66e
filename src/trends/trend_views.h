#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>

#include "trends/trend_recorder.h"
#include "trends/trend_window.h"

class QDialog;
class QMenu;
class QMenuBar;

namespace tarvo {

class DeviceTable;
class JournalWindow;
class LogViewerWindow;
class MeterList;
class ModbusMaster;
class Transport;
struct Settings;

/// What the views need of the program: the settings (where the journal
/// goes), the meter list (device names), and the bus for reading alarm
/// levels when a trend window first shows a device.
struct TrendContext {
    const Settings& settings;
    const MeterList& meters;
    ModbusMaster& master;
    Transport& bus;
    const DeviceTable& devices;
    /// The circuit-meter factor the last poll chose from the CT size.
    const float& currentScale;
    /// The port is open and no scan runs: the bus may be read.
    std::function<bool()> busFree;
    std::function<int()> selectedAddress;
    /// Runs the reads of the alarm levels where the line is owned and then
    /// `done` on the window's thread, returning at once; empty: both at once.
    std::function<void(std::function<void()> work, std::function<void()> done)> onBus = {};
};

/// The "View" menu and what stands behind it: the trend recorder the poll
/// feeds, and the "Trends", "Alarm Journal" and "Log Viewer" windows (one of
/// each at a time, modeless).
class TrendViews : public QObject {
    Q_OBJECT

public:
    /// `now` is the clock of the trend points and journal entries. F1 in
    /// the windows opens their help page through the main window's Help
    /// command, which names a page after the window's object name.
    TrendViews(TrendContext context, TrendRecorder::Now now, QWidget* window);
    ~TrendViews() override;

    /// The observer to give the polling cycle.
    TrendRecorder& recorder() { return *m_recorder; }
    /// Appends the "View" menu to `bar` and returns it.
    QMenu* addMenu(QMenuBar* bar);

    TrendWindow* openTrends();
    JournalWindow* openJournal();
    LogViewerWindow* openLogViewer();

private:
    // Warning and alarm levels of a device, read once when a trend window
    // first shows it and handed to `give`; none while the port is closed or
    // a scan runs.
    void readLevels(int address, int kind, TrendWindow::GiveLevels give);
    // Puts a window made afresh where the last one of its kind was closed:
    // each deletes itself on close, so the place is kept here for the run.
    void keepPlace(QDialog* window, QByteArray& place);
    DeviceLevels readLevelsNow(int address, int kind);

    TrendContext m_context;
    QWidget* m_window;
    std::unique_ptr<TrendRecorder> m_recorder;
    QPointer<TrendWindow> m_trends;
    QPointer<JournalWindow> m_journal;
    QPointer<LogViewerWindow> m_viewer;
    QByteArray m_trendsPlace;
    QByteArray m_journalPlace;
    QByteArray m_viewerPlace;
};

} // namespace tarvo
