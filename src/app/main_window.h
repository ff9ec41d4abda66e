#pragma once

#include <QDialog>
#include <QPixmap>
#include <QPointer>
#include <array>
#include <atomic>
#include <ctime>
#include <functional>
#include <memory>

#include "config/config_commands.h"
#include "core/qt_operator.h"
#include "session/alarm_hook.h"
#include "session/app_state.h"
#include "session/bus_engine.h"
#include "session/bus_scan.h"
#include "session/display.h"
#include "session/link_keeper.h"
#include "session/panel_watch.h"
#include "session/polling.h"
#include "session/sampling.h"

class QAction;
class QLabel;
class QLineEdit;
class QMenuBar;
class QStatusBar;

namespace Ui {
class MainWindow;
}

namespace tarvo {

class ConfigDialogs;
class DeviceFileCommands;
class OdbcCommand;
class HelpViewer;
class PanelOverviewDialog;
class TraceWindow;
class TrendViews;

/// The program's one window: the live display of the selected device, the
/// "Available Meters" list and the menus. A dialog-style window: Enter and
/// Escape close it, like the OK and Cancel keys of a dialog.
///
/// The window never calls the link. The tick, the scan, the list selection
/// and the alarm reset are jobs of its BusEngine; what they show comes back
/// as copies (the display, the list, the selection, the names, the slave-ID
/// bytes, the trace and its counts, the line's state) posted into the
/// window's event loop. While the bus thread runs, AppState belongs to it;
/// the window keeps its own copy of the settings the dialogs edit and sends
/// it with each job (see post()).
class MainWindow : public QDialog {
    Q_OBJECT

public:
    static constexpr int kTimerPeriodMs = 1000;

    /// `bus` carries the transactions and is the port the window opens and
    /// closes; the program passes state.port.
    /// Messages and the wait cursor go to `op` when given (tests record
    /// them), else to message boxes owned by the window. `mode` Inline runs
    /// every job at once on the window's thread: tests that step the window
    /// call by call.
    MainWindow(AppState& state, Link& bus, Operator* op = nullptr, QWidget* parent = nullptr,
               BusEngine::Mode mode = BusEngine::Mode::Thread);
    ~MainWindow() override;

    /// Start-up after the controls exist: clears the device table, reads the
    /// settings file, starts the one-second timer and shows the branch
    /// layout.
    void start(const std::string& settingsFile);

    /// Restarts the tick's timer with another period (tests).
    void setTimerPeriod(int ms);

    bool branchLayoutShown() const { return m_branchLayout; }

    /// Takes every text and lamp of `display` into the form in one step.
    void transfer(const Display& display);

    // What the bus scan's results do to the window.
    void meterListChanged(const MeterList& list);
    void showBranchLayout();
    void showCircuitLayout();

    /// The Config menu's device commands and their forms.
    ConfigCommands& configCommands() { return *m_configCommands; }
    ConfigDialogs& configDialogs() { return *m_configDialogs; }

    BusScan& scan() { return m_scan; }
    PollingCycle& polling() { return m_polling; }
    BusEngine& engine() { return m_engine; }
    /// One tick of the one-second timer: posts the polling tick as a job
    /// unless the previous one has not finished (ticks never queue up). The
    /// trace window repaints after each transaction, before the tick counts
    /// it, so it is repainted once more with the counts the tick left. With
    /// `watch` on, the job goes on with the panel watch after the poll, until
    /// shortly before the next tick is due. The alarm command's children are
    /// collected here.
    void onTimer();

    /// File > Scan, or "Stop Scan" while a scan runs.
    void onScanCommand(bool quick = false);
    bool scanRunning() const { return m_scanJobs > 0 || m_busScanning; }

    /// The sampling pass the tick runs while file or database logging is
    /// on, and its schedule.
    void takeSamples() { m_sampler.takeSamples(); }
    void scheduleNextSample() { m_sampler.scheduleNextSample(); }
    Sampler& sampler() { return m_sampler; }

    /// Config > Comms: the "Configuration" dialog; OK with another port
    /// opens it and scans the bus.
    void onComms();
    /// Logging > File Config: the "Logging File Setup" dialog.
    void onFileConfig();
    void onMqtt();
    /// Starts the MQTT sink the settings name (stopping the one before).
    void startMqtt();
    /// Logging > ODBC, and the database sink of the sampling pass.
    OdbcCommand& odbcCommand() { return *m_odbcCommand; }

    /// The current display (texts and lamps), as last transferred.
    const Display& currentDisplay() const { return m_display; }

    /// The state of the line as the last finished job left it.
    struct LineStatus {
        std::string portName;
        enum State { Closed, Open, Lost } state = Closed;
        /// The last good poll read of the selected device; 0 for none.
        std::time_t lastGoodRead = 0;
    };
    /// The status bar's texts: "<port>: open" (or "lost — reopening",
    /// "closed"), and "Last good read hh:mm:ss" or "No good read yet";
    /// "MQTT: <problem>" beside them while the MQTT sink has one.
    static QString lineText(const LineStatus& line);
    static QString lastReadText(const LineStatus& line);

    Operator& op() { return m_operator; }
    TraceWindow* traceWindow() const;
    /// The View menu's trends, alarm journal and log viewer.
    TrendViews& trendViews() { return *m_trendViews; }
    /// View > Panel Overview...: opens the overview or brings it forward.
    PanelOverviewDialog* openPanelOverview();
    /// The status bar's count of active alarms: "Active alarms: 2", empty at 0.
    static QString activeAlarmsText(int active);

    /// File > Display Comms.
    void onDisplayComms();
    /// Help > Help: the topic of the active window.
    void onHelp();
    /// Help > Help Index.
    void onHelpIndex();
    /// Help > About and the system-menu entry.
    void onAbout();

protected:
    void timerEvent(QTimerEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    class BusSide;
    struct Snapshot;
    /// Runs `work` as a job with the window's settings taken over first,
    /// then `done` on the window with the copies of what the job left.
    void post(std::function<void()> work, std::function<void()> done = {});
    /// `fn` on the window's thread: queued from the bus thread, at once
    /// when the jobs run inline.
    void toWindow(std::function<void()> fn);
    void applySnapshot(const Snapshot& snapshot);
    void showLineStatus();
    void refreshScanAction();
    void showNames(const std::string& panel, const std::string& board);
    Settings& uiSettings() { return m_engine.threaded() ? m_uiSettings : m_state.settings; }
    void buildStatusBar();
    void buildBreakerGrid();
    void buildMenus();
    void moveListTo(bool bottomBand);
    void setLamp(QLabel* lamp, Lamp state);
    void onListSelectionChanged();
    /// Selects the listed device at `address` as a click on its line does.
    void selectDevice(int address);
    /// Journal entries of the poll and the watch: the journal file and the
    /// book, the journal window, the alarm command.
    void journal(const std::vector<JournalEntry>& entries);
    void showHelpTopic(const QString& topic);
    // Runs a Config menu command for the selected device; a form may have
    // changed the names, so the name fields are refreshed after it.
    template <typename Command>
    void runConfigCommand(Command command);
    /// Config > Alarms > Reset: the writes and the read-back as a job.
    void onAlarmReset();

    AppState& m_state;
    Link& m_bus;
    std::unique_ptr<Ui::MainWindow> m_ui;
    QtOperator m_qtOperator;
    Operator& m_operator;
    std::unique_ptr<ResultPoster> m_poster;
    // The bus thread's views and operator: they copy what they are given
    // and post it to the window.
    std::unique_ptr<BusSide> m_side;
    BusScan m_scan;
    LinkKeeper m_keeper;
    PollingCycle m_polling;
    SystemClock m_clock;
    Sampler m_sampler;
    OdbcCommand* m_odbcCommand = nullptr; // a child of the window
    std::string m_settingsFile{Settings::kFileName};
    Display m_display;
    int m_timerId = 0;
    int m_timerPeriodMs = kTimerPeriodMs;
    bool m_branchLayout = true;

    // The window's copies of what the bus thread owns (Inline: unused, the
    // window reads AppState).
    Settings m_uiSettings;
    std::string m_sentPortName; // as last sent to or heard from the bus
    DatabaseLogState m_sentDatabaseState = Off;
    Selection m_selection;
    DeviceTable m_devices;
    MeterList m_meters;
    CommTrace m_trace;
    Counters m_counters;
    SampleQueue m_scratchQueue; // the dialogs' queue; the bus clears its own
    // The panel watch's status as the last tick left it (the overview's rows).
    std::vector<WatchStatus> m_watchStatus;
    LineStatus m_line;
    bool m_tickPending = false;
    int m_scanJobs = 0;         // scan jobs posted and not finished
    bool m_busScanning = false; // a scan started by the bus itself (the tick's open)
    std::atomic<bool> m_stopScan{false};
    std::atomic<bool> m_closing{false};

    QStatusBar* m_statusBar = nullptr;
    int m_statusHeight = 0;
    QLabel* m_lineLabel = nullptr;
    QLabel* m_lastReadLabel = nullptr;
    QLabel* m_notListedLabel = nullptr;
    QLabel* m_activeAlarmsLabel = nullptr;
    QAction* m_watchAction = nullptr;
    QLabel* m_mqttLabel = nullptr;
    std::string m_mqttProblem; // as the last job left the sink's; empty while it sends
    QAction* m_scanAction = nullptr;
    QAction* m_quickScanAction = nullptr;
    std::array<QLabel*, LampState::kBreakers> m_breakerLamps{};
    std::array<QLabel*, LampState::kBreakers> m_breakerNumbers{};
    std::array<QLineEdit*, LampState::kBreakers> m_breakerFields{};
    std::array<QLineEdit*, kCircuitTextCount> m_circuitFields{};

    QMenuBar* m_menuBar = nullptr;
    QAction* m_delaysAction = nullptr;
    QPointer<TraceWindow> m_traceWindow;
    QPointer<HelpViewer> m_helpViewer;
    QPointer<PanelOverviewDialog> m_overview;
    // Runs the alarm command on the window's thread: it only starts and
    // collects children, never waits for one.
    AlarmHook m_hook;
    std::unique_ptr<ConfigDialogs> m_configDialogs;
    std::unique_ptr<ConfigCommands> m_configCommands;
    TrendViews* m_trendViews = nullptr;          // a child of the window
    DeviceFileCommands* m_deviceFiles = nullptr; // a child of the window
    // Last: stopped and joined first, before anything its jobs use goes.
    BusEngine m_engine;
};

} // namespace tarvo
