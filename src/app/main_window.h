#pragma once

#include <QDialog>
#include <QPointer>
#include <array>
#include <memory>

#include "config/config_commands.h"
#include "core/qt_operator.h"
#include "session/app_state.h"
#include "session/bus_scan.h"
#include "session/display.h"
#include "session/link_keeper.h"
#include "session/polling.h"
#include "session/sampling.h"

class QAction;
class QLabel;
class QLineEdit;
class QMenuBar;

namespace Ui {
class MainWindow;
}

namespace tarvo {

class ConfigDialogs;
class DeviceFileCommands;
class OdbcCommand;
class HelpViewer;
class TraceWindow;
class TrendViews;

/// The program's one window: the live display of the selected device, the
/// "Available Meters" list and the menus. A dialog-style window: Enter and
/// Escape close it, like the OK and Cancel keys of a dialog.
class MainWindow : public QDialog, public ScanView, public PollView, public AlarmLampDisplay {
    Q_OBJECT

public:
    static constexpr int kTimerPeriodMs = 1000;

    /// `bus` carries the transactions and is the port the window opens and
    /// closes; the program passes state.port.
    /// Messages and the wait cursor go to `op` when given (tests record
    /// them), else to message boxes owned by the window.
    MainWindow(AppState& state, Link& bus, Operator* op = nullptr, QWidget* parent = nullptr);
    ~MainWindow() override;

    /// Start-up after the controls exist: clears the device table, reads the
    /// settings file, starts the one-second timer and shows the branch
    /// layout.
    void start(const std::string& settingsFile);

    /// Restarts the tick's timer with another period (tests).
    void setTimerPeriod(int ms);

    bool branchLayoutShown() const { return m_branchLayout; }

    /// Takes every text and lamp of `display` into the form in one step.
    void transfer(const Display& display) override;

    // What the bus scan asks of the window.
    void meterListChanged(const MeterList& list) override;
    void repaint() override { QWidget::repaint(); }
    void refreshFields() override;
    void showBranchLayout() override;
    void showCircuitLayout() override;
    void namesChanged() override;

    /// The lamps from the block an alarm reset read back.
    void showAlarmsAfterReset(std::span<const std::int32_t> registers) override;

    /// The Config menu's device commands and their forms.
    ConfigCommands& configCommands() { return *m_configCommands; }
    ConfigDialogs& configDialogs() { return *m_configDialogs; }

    BusScan& scan() { return m_scan; }
    PollingCycle& polling() { return m_polling; }
    /// One tick of the one-second timer. The trace window repaints after
    /// each transaction, before the tick counts it, so it is repainted once
    /// more with the counts the tick left.
    void onTimer() {
        m_polling.onTimer();
        m_state.trace.requestRepaint();
    }

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
    const Display& currentDisplay() const override { return m_display; }

    Operator& op() { return m_operator; }
    TraceWindow* traceWindow() const;
    /// The View menu's trends, alarm journal and log viewer.
    TrendViews& trendViews() { return *m_trendViews; }

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

private:
    void buildBreakerGrid();
    void buildMenus();
    void moveListTo(bool bottomBand);
    void setLamp(QLabel* lamp, Lamp state);
    void onListSelectionChanged();
    void showHelpTopic(const QString& topic);
    // Runs a Config menu command for the selected device; a form may have
    // changed the names, so the name fields are refreshed after it.
    template <typename Command>
    void runConfigCommand(Command command);

    AppState& m_state;
    Link& m_bus;
    std::unique_ptr<Ui::MainWindow> m_ui;
    QtOperator m_qtOperator;
    Operator& m_operator;
    BusScan m_scan;
    LinkKeeper m_keeper;
    PollingCycle m_polling;
    SystemClock m_clock;
    Sampler m_sampler;
    OdbcCommand* m_odbcCommand = nullptr; // a child of the window
    std::string m_settingsFile{Settings::kFileName};
    Display m_display;
    int m_timerId = 0;
    bool m_branchLayout = true;

    std::array<QLabel*, LampState::kBreakers> m_breakerLamps{};
    std::array<QLabel*, LampState::kBreakers> m_breakerNumbers{};
    std::array<QLineEdit*, LampState::kBreakers> m_breakerFields{};
    std::array<QLineEdit*, kCircuitTextCount> m_circuitFields{};

    QMenuBar* m_menuBar = nullptr;
    QAction* m_delaysAction = nullptr;
    QPointer<TraceWindow> m_traceWindow;
    QPointer<HelpViewer> m_helpViewer;
    std::unique_ptr<ConfigDialogs> m_configDialogs;
    std::unique_ptr<ConfigCommands> m_configCommands;
    TrendViews* m_trendViews = nullptr;          // a child of the window
    DeviceFileCommands* m_deviceFiles = nullptr; // a child of the window
};

} // namespace tarvo
