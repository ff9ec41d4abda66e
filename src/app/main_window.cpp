#include "app/main_window.h"

#include <QAction>
#include <QApplication>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QStatusBar>
#include <QTableWidget>

#include "app/help_viewer.h"
#include "config/config_dialog.h"
#include "config/config_dialogs.h"
#include "link/serial_port.h"
#include "link/trace_window.h"
#include "logging/logging_file_setup_dialog.h"
#include "logging/mqtt_setup_dialog.h"
#include "logging/odbc_command.h"
#include "session/lamp_images.h"
#include "session/panel_overview_dialog.h"
#include "settings/configuration_dialog.h"
#include "transfer/device_file_commands.h"
#include "trends/trend_views.h"
#include "ui_main_window.h"

// The images and help pages are compiled into the static widget library,
// whose resource initialiser the linker would drop without this call.
static void initResources() {
    Q_INIT_RESOURCE(tarvo);
}

namespace tarvo {
namespace {

// A grey lamp of the green one's shape, hollow: nothing is known.
// Runs what the bus thread hands back in the window's event loop.
class QueuedPoster : public ResultPoster {
public:
    explicit QueuedPoster(QObject* context) : m_context(context) {}
    void post(std::function<void()> fn) override {
        QMetaObject::invokeMethod(m_context, std::move(fn), Qt::QueuedConnection);
    }

private:
    QObject* m_context;
};

// Device names reach the fields and the list as the forms show them.
QString text(const std::string& s) {
    return deviceText(s);
}

} // namespace

/// What the scan, the tick and the alarm reset show, seen from the bus
/// thread: each call copies its values and posts them to the window. The
/// operator's messages never block the bus: they come up as the tick's
/// boxes do (one box per text, repeats counted).
class MainWindow::BusSide : public ScanView,
                            public PollView,
                            public PollObserver,
                            public AlarmLampDisplay,
                            public Operator {
public:
    explicit BusSide(MainWindow& w)
        : m_w(w), m_watch(w.m_state.master, w.m_bus, w.m_clock, w.m_state.settings.watch) {}

    void meterListChanged(const MeterList& list) override {
        // The watch follows the list: both scans, and whatever else changes
        // it. A selection alone leaves the devices and the rotation alone.
        if (std::vector<WatchedDevice> devices = watchedDevices(list); devices != m_watched) {
            m_watched = std::move(devices);
            m_watch.setDevices(m_watched);
        }
        m_w.toWindow([w = &m_w, list] { w->meterListChanged(list); });
    }
    void repaint() override {
        if (!m_w.m_engine.threaded())
            m_w.QWidget::repaint();
    }
    void refreshFields() override {
        m_w.toWindow([w = &m_w, d = m_display] { w->transfer(d); });
    }
    void showBranchLayout() override {
        m_w.toWindow([w = &m_w] { w->showBranchLayout(); });
    }
    void showCircuitLayout() override {
        m_w.toWindow([w = &m_w] { w->showCircuitLayout(); });
    }
    void namesChanged() override {
        m_display.texts.panelName = m_w.m_state.panelName;
        m_display.texts.boardName = m_w.m_state.boardName;
        m_w.toWindow([w = &m_w, panel = m_w.m_state.panelName, board = m_w.m_state.boardName] {
            w->showNames(panel, board);
        });
    }
    void devicesNotListed(const std::vector<std::string>& lines) override {
        std::string text;
        for (const std::string& line : lines)
            text += (text.empty() ? "" : "; ") + line;
        m_w.toWindow([w = &m_w, text] { w->m_notListedLabel->setText(deviceText(text)); });
    }
    void scanRunning(bool running) override {
        m_w.toWindow([w = &m_w, running] {
            if (running)
                w->m_notListedLabel->clear();
            w->m_busScanning = running;
            w->refreshScanAction();
        });
    }

    void transfer(const Display& display) override {
        m_display = display;
        m_w.toWindow([w = &m_w, display] { w->transfer(display); });
    }
    const Display& currentDisplay() const override { return m_display; }

    void pollRead(const MeterReading& reading) override {
        if (reading.address != m_lastGoodAddress)
            m_lastGoodRead = 0;
        m_lastGoodAddress = reading.address;
        if (reading.result == Ok)
            m_lastGoodRead = m_w.m_clock.now();
        std::vector<JournalEntry> entries = m_watch.polled(reading);
        toMqtt(entries);
        m_w.toWindow([w = &m_w, reading, entries = std::move(entries)] {
            w->m_trendViews->recorder().record(reading);
            w->journal(entries);
        });
    }

    /// The watch's reads in what is left of the tick, until `deadline`; the
    /// entries go to the window, and the status of every device comes back.
    std::vector<WatchStatus> watchPanel(std::chrono::steady_clock::time_point deadline) {
        const Selection& sel = m_w.m_state.selection;
        // A closed or lost port would make every device a communication
        // failure; the poll of the selected device already tells of that.
        if (m_w.m_bus.isOpen() && !sel.scanInProgress) {
            m_watch.setBaud(SerialPort::baudRate(m_w.m_state.settings.speedCode));
            std::vector<JournalEntry> entries = m_watch.watch(deadline, sel.selectedAddress);
            if (!entries.empty()) {
                toMqtt(entries);
                m_w.toWindow([w = &m_w, entries = std::move(entries)] { w->journal(entries); });
            }
        }
        return m_watch.status();
    }
    std::time_t lastGoodRead(int selectedAddress) const {
        return selectedAddress == m_lastGoodAddress ? m_lastGoodRead : 0;
    }

    // The MQTT sink's problem as a job leaves it; its start and its end go
    // into the trace. Read here, on the bus thread, which owns the sink:
    // the window never waits on the sink's lock.
    std::string mqttProblem() {
        AppState& s = m_w.m_state;
        std::string problem = s.mqtt ? s.mqtt->status().problem : std::string();
        if (problem != m_mqttProblem && (s.mqtt || !problem.empty()))
            s.trace.recordNote(problem.empty() ? "The MQTT server takes readings again" : problem);
        m_mqttProblem = problem;
        return problem;
    }

    void showAlarmsAfterReset(std::span<const std::int32_t> registers) override {
        Display next = m_display;
        showAlarms(next.lamps, m_w.m_state.selection.selectedKind, registers);
        transfer(next);
    }

    void showMessage(std::string_view text, std::string_view title) override {
        m_w.toWindow([w = &m_w, text = std::string(text), title = std::string(title)] {
            const QtOperator::TickScope scope(w->m_qtOperator);
            w->m_operator.showMessage(text, title);
        });
    }
    void beginBusy() override {
        m_w.toWindow([w = &m_w] { w->m_operator.beginBusy(); });
    }
    void endBusy() override {
        m_w.toWindow([w = &m_w] { w->m_operator.endBusy(); });
    }

private:
    // The sink runs on the bus thread's side: its queue takes the events.
    void toMqtt(const std::vector<JournalEntry>& entries) {
        if (!m_w.m_state.mqtt)
            return;
        for (const JournalEntry& e : entries)
            m_w.m_state.mqtt->queueAlarm(mqttAlarmEvent(e, m_w.m_state.settings.location));
    }

    MainWindow& m_w;
    Display m_display;
    int m_lastGoodAddress = -1;
    std::time_t m_lastGoodRead = 0;
    // The bus thread's: touched only in jobs.
    PanelWatch m_watch;
    std::vector<WatchedDevice> m_watched;
    std::string m_mqttProblem;
};

/// What every job hands back besides its own result.
struct MainWindow::Snapshot {
    Selection selection;
    std::string panelName;
    std::string boardName;
    DeviceTable devices;
    std::string portName;
    DatabaseLogState databaseState = Off;
    LineStatus line;
    std::string mqttProblem;
};

MainWindow::MainWindow(AppState& state, Link& bus, Operator* op, QWidget* parent,
                       BusEngine::Mode mode)
    : QDialog(parent), m_state(state), m_bus(bus), m_ui(std::make_unique<Ui::MainWindow>()),
      m_qtOperator(this), m_operator(op ? *op : m_qtOperator),
      m_poster(std::make_unique<QueuedPoster>(this)), m_side(std::make_unique<BusSide>(*this)),
      m_scan(state, bus, *m_side, *m_side), m_keeper(state, bus, *m_side),
      m_polling(state, bus, *m_side, m_scan, *m_side), m_sampler(state, bus, *m_side, m_clock),
      m_uiSettings(state.settings), m_hook(m_operator, m_clock), m_engine(m_poster.get(), mode) {
    m_polling.setSampler([this] { takeSamples(); });
    m_polling.setKeeper(&m_keeper);
    m_polling.setObserver(m_side.get());
    m_scan.setStopCheck([this] { return m_stopScan.load() || m_closing.load(); });
    m_sampler.setStopCheck([this] { return m_closing.load(); });
    const bool threaded = m_engine.threaded();
    if (threaded) {
        // The bus thread's trace is always live: each transaction posts a
        // copy, which the trace window paints when it is open.
        m_state.trace.setTraceLive(true);
        m_state.trace.setRepaintHandler([this] {
            toWindow([this, trace = m_state.trace, counters = m_state.counters] {
                const bool live = m_trace.traceLive();
                m_trace = trace;
                m_trace.setTraceLive(live);
                m_trace.setRepaintHandler({});
                m_counters = counters;
                if (m_traceWindow && live)
                    m_traceWindow->paint();
            });
        });
    }
    const Selection& selection = threaded ? m_selection : state.selection;
    initResources();
    m_ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral(":/images/tarvo_large.png")));
    setWindowFlags(Qt::Window | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    m_circuitFields = {
        m_ui->voltsAnField,  m_ui->voltsBnField,  m_ui->voltsCnField,   m_ui->voltsLnAvgField,
        m_ui->voltsAbField,  m_ui->voltsBcField,  m_ui->voltsCaField,   m_ui->voltsLlAvgField,
        m_ui->currentAField, m_ui->currentBField, m_ui->currentCField,  m_ui->currentAvgField,
        m_ui->currentNField, m_ui->powerKwField,  m_ui->powerKvarField, m_ui->powerKvaField,
        m_ui->powerPfField,
    };
    ConfigDialogContext forms{
        state.master,       bus,
        state.devices,      m_operator,
        state.panelName,    state.boardName,
        state.currentScale, [this](const QString& topic) {
                                  showHelpTopic(topic); }};
    // Threaded, a form's reads and writes are jobs; it is busy meanwhile and
    // the window goes on. The names a form wrote come back with the job.
    if (threaded) {
        forms.onBus = [this](std::function<void()> work, std::function<void()> then) {
            auto names = std::make_shared<std::pair<std::string, std::string>>();
            post(
                [this, names, work = std::move(work)] {
                    work();
                    *names = {m_state.panelName, m_state.boardName};
                },
                [this, names, then = std::move(then)] {
                    showNames(names->first, names->second);
                    then();
                });
        };
        forms.busOp = m_side.get();
    }
    m_configDialogs = std::make_unique<ConfigDialogs>(forms, selection, this);
    m_configCommands =
        std::make_unique<ConfigCommands>(state.master, bus, threaded ? m_devices : state.devices,
                                         m_operator, *m_configDialogs, *m_side);
    m_odbcCommand = new OdbcCommand(state.odbc, uiSettings(),
                                    threaded ? m_scratchQueue : state.databaseQueue, this);
    m_odbcCommand->showHelp = [this](const QString& topic) { showHelpTopic(topic); };
    m_trendViews = new TrendViews(
        {uiSettings(), threaded ? m_meters : state.meters, state.master, bus, state.devices,
         state.currentScale,
         [this] {
             if (m_engine.threaded())
                 return m_line.state == LineStatus::Open && !scanRunning();
             return m_state.port.isOpen() && !m_state.selection.scanInProgress;
         },
         [&selection] { return selection.selectedAddress; },
         [this](std::function<void()> work, std::function<void()> done) {
             post(std::move(work), std::move(done));
         }},
        [this] { return m_clock.now(); }, this);
    DeviceFileContext files{state.master,  bus,
                            state.devices, m_operator,
                            m_clock,       [&selection] { return selection.selectedAddress; }};
    if (threaded)
        files.onBus = [this](std::function<void()> work, std::function<void()> then) {
            post(std::move(work), std::move(then));
        };
    m_deviceFiles = new DeviceFileCommands(files, this);
    buildBreakerGrid();
    buildMenus();
    buildStatusBar();
    connect(m_ui->meterList, &QListWidget::itemSelectionChanged, this,
            &MainWindow::onListSelectionChanged);
    transfer(m_display);
}

MainWindow::~MainWindow() {
    if (m_timerId != 0)
        killTimer(m_timerId);
    // A scan or a sampling pass in progress ends after its transaction.
    m_closing = true;
    m_engine.stop();
    if (m_engine.threaded()) {
        m_state.trace.setRepaintHandler({});
        m_state.trace.setTraceLive(false);
    }
    if (m_bus.isOpen())
        m_bus.close();
}

void MainWindow::toWindow(std::function<void()> fn) {
    if (m_engine.threaded())
        m_poster->post(std::move(fn));
    else
        fn();
}

void MainWindow::post(std::function<void()> work, std::function<void()> done) {
    const bool threaded = m_engine.threaded();
    // The settings go along only when the jobs run on their own thread; a
    // port name or a database state goes along only when the window changed
    // it, so a job queued behind an open or a failing insert does not undo
    // what the bus did meanwhile.
    auto settings = std::make_shared<Settings>(threaded ? m_uiSettings : Settings{});
    const bool sendPort = threaded && m_uiSettings.portName != m_sentPortName;
    const bool sendDatabase = threaded && m_uiSettings.databaseLogState != m_sentDatabaseState;
    m_sentPortName = m_uiSettings.portName;
    m_sentDatabaseState = m_uiSettings.databaseLogState;
    auto snapshot = std::make_shared<Snapshot>();
    m_engine.post(
        [this, threaded, settings, sendPort, sendDatabase, snapshot, work = std::move(work)] {
            Settings& s = m_state.settings;
            if (threaded) {
                std::string portName = std::move(s.portName);
                const DatabaseLogState databaseState = s.databaseLogState;
                s = std::move(*settings);
                if (!sendPort)
                    s.portName = std::move(portName);
                if (!sendDatabase)
                    s.databaseLogState = databaseState;
                else if (s.databaseLogState != Active)
                    m_state.databaseQueue.clear(); // as the ODBC command's shut-down does
            }
            if (work)
                work();
            Snapshot& out = *snapshot;
            out.selection = m_state.selection;
            out.panelName = m_state.panelName;
            out.boardName = m_state.boardName;
            out.devices = m_state.devices;
            out.portName = s.portName;
            out.databaseState = s.databaseLogState;
            out.line.portName = s.portName;
            out.line.state = m_bus.isOpen()          ? LineStatus::Open
                             : m_state.link.portLost ? LineStatus::Lost
                                                     : LineStatus::Closed;
            out.line.lastGoodRead = m_side->lastGoodRead(out.selection.selectedAddress);
            out.mqttProblem = m_side->mqttProblem();
        },
        [this, snapshot, done = std::move(done)] {
            applySnapshot(*snapshot);
            if (done)
                done();
        });
}

void MainWindow::applySnapshot(const Snapshot& snapshot) {
    m_selection = snapshot.selection;
    m_devices = snapshot.devices;
    if (m_engine.threaded()) {
        // What the bus changed itself: an open stores the port name, a
        // failing database sink turns itself off.
        if (snapshot.portName != m_sentPortName)
            m_uiSettings.portName = m_sentPortName = snapshot.portName;
        if (snapshot.databaseState != m_sentDatabaseState)
            m_uiSettings.databaseLogState = m_sentDatabaseState = snapshot.databaseState;
    }
    m_line = snapshot.line;
    m_mqttProblem = snapshot.mqttProblem;
    showLineStatus();
}

void MainWindow::onTimer() {
    {
        const QtOperator::TickScope scope(m_qtOperator);
        m_hook.check();
    }
    if (m_tickPending)
        return;
    m_tickPending = true;
    if (!scanRunning())
        m_stopScan = false;
    // The watch stops in time for this job's end to reach the window before
    // the next tick: a tick that finds the job still running is skipped, and
    // the selected device would miss a second. A tenth of the period is kept
    // free: Qt's coarse timer may fire up to 5 % early (50 ms of a second),
    // and the other 50 ms cover the result's way back to the window.
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(m_timerPeriodMs - m_timerPeriodMs / 10);
    auto status = std::make_shared<std::vector<WatchStatus>>();
    post(
        [this, deadline, status] {
            m_polling.onTimer();
            *status = m_side->watchPanel(deadline);
            m_state.trace.requestRepaint();
        },
        [this, status] {
            m_tickPending = false;
            m_watchStatus = std::move(*status);
            if (m_overview)
                m_overview->setRows(overviewRows(m_watchStatus));
        });
}

void MainWindow::journal(const std::vector<JournalEntry>& entries) {
    if (entries.empty())
        return;
    m_trendViews->recorder().addEntries(entries);
    // A command that cannot be started is told without blocking, as in the tick.
    const QtOperator::TickScope scope(m_qtOperator);
    m_hook.run(uiSettings().alarmCommand, entries, uiSettings().location);
}

PanelOverviewDialog* MainWindow::openPanelOverview() {
    if (!m_overview) {
        m_overview = new PanelOverviewDialog(this);
        m_overview->onSelect = [this](int address) { selectDevice(address); };
        m_overview->setRows(overviewRows(m_watchStatus));
    }
    m_overview->show();
    m_overview->raise();
    m_overview->activateWindow();
    // From the keyboard: the arrows move from a row, Enter takes it.
    QTableWidget* table = m_overview->table();
    if (table->currentRow() < 0 && table->rowCount() > 0)
        table->setCurrentCell(0, 0);
    table->setFocus();
    return m_overview;
}

void MainWindow::selectDevice(int address) {
    const MeterList& meters = m_engine.threaded() ? m_meters : m_state.meters;
    for (int i = 0; i < meters.count(); ++i) {
        if (MeterList::lineAddress(meters.text(i)) == address) {
            m_ui->meterList->setCurrentRow(i);
            return;
        }
    }
}

QString MainWindow::activeAlarmsText(int active) {
    return active > 0 ? QStringLiteral("Active alarms: %1").arg(active) : QString();
}

void MainWindow::onScanCommand(bool quick) {
    if (scanRunning()) {
        // Ends after the address in progress; the devices found so far stay.
        m_stopScan = true;
        return;
    }
    m_stopScan = false;
    ++m_scanJobs;
    refreshScanAction();
    post([this, quick] { m_scan.scanBus(quick); },
         [this] {
             --m_scanJobs;
             refreshScanAction();
         });
}

void MainWindow::refreshScanAction() {
    m_scanAction->setText(scanRunning() ? QStringLiteral("Stop &Scan") : QStringLiteral("&Scan"));
    // A scan asked for while one runs does nothing: only its stop is offered.
    m_quickScanAction->setEnabled(!scanRunning());
}

QString MainWindow::lineText(const LineStatus& line) {
    const QString name =
        line.portName.empty() ? QStringLiteral("No port") : QString::fromStdString(line.portName);
    switch (line.state) {
    case LineStatus::Open:
        return name + QStringLiteral(": open");
    case LineStatus::Lost:
        return name + QString::fromUtf8(": lost \u2014 reopening");
    case LineStatus::Closed:
        break;
    }
    return name + QStringLiteral(": closed");
}

QString MainWindow::lastReadText(const LineStatus& line) {
    if (line.lastGoodRead == 0)
        return QStringLiteral("No good read yet");
    std::tm local{};
    localtime_r(&line.lastGoodRead, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return QStringLiteral("Last good read ") + QString::fromLatin1(text);
}

void MainWindow::showLineStatus() {
    m_lineLabel->setText(lineText(m_line));
    m_lastReadLabel->setText(lastReadText(m_line));
    m_mqttLabel->setText(QStringLiteral("MQTT: ") + QString::fromStdString(m_mqttProblem));
    m_mqttLabel->setVisible(!m_mqttProblem.empty());
}

void MainWindow::buildStatusBar() {
    // Below the client area: the layouts' measures are taken above it.
    m_statusBar = new QStatusBar(this);
    m_statusBar->setObjectName(QStringLiteral("statusBar"));
    m_statusBar->setSizeGripEnabled(false);
    m_lineLabel = new QLabel(m_statusBar);
    m_lineLabel->setObjectName(QStringLiteral("lineStateLabel"));
    m_lineLabel->setAccessibleName(QStringLiteral("Line"));
    m_lastReadLabel = new QLabel(m_statusBar);
    m_lastReadLabel->setObjectName(QStringLiteral("lastReadLabel"));
    m_lastReadLabel->setAccessibleName(QStringLiteral("Last good read"));
    // What the last scan found but does not list (an energy-only meter, a
    // device of another maker), so a technician counting meters is not
    // left one short without a word.
    m_notListedLabel = new QLabel(m_statusBar);
    m_notListedLabel->setObjectName(QStringLiteral("notListedLabel"));
    m_notListedLabel->setAccessibleName(QStringLiteral("Devices not listed"));
    // Counted with the journal window closed too: an alarm of any watched
    // device is seen from the main window.
    m_activeAlarmsLabel = new QLabel(m_statusBar);
    m_activeAlarmsLabel->setObjectName(QStringLiteral("activeAlarmsLabel"));
    m_activeAlarmsLabel->setAccessibleName(QStringLiteral("Active alarms"));
    m_trendViews->recorder().journal().onActiveCountChanged = [this](int active) {
        m_activeAlarmsLabel->setText(activeAlarmsText(active));
    };
    // The MQTT server's problem while it lasts: the readings wait meanwhile.
    m_mqttLabel = new QLabel(m_statusBar);
    m_mqttLabel->setObjectName(QStringLiteral("mqttLabel"));
    m_mqttLabel->setAccessibleName(QStringLiteral("MQTT"));
    m_statusBar->addWidget(m_lineLabel, 1);
    m_statusBar->addWidget(m_mqttLabel);
    m_statusBar->addWidget(m_notListedLabel);
    m_statusBar->addPermanentWidget(m_activeAlarmsLabel);
    m_statusBar->addPermanentWidget(m_lastReadLabel);
    showLineStatus();
    // The layouts keep its height free along the bottom edge (resizeEvent).
    m_statusHeight = m_statusBar->sizeHint().height();
    QMargins margins = layout()->contentsMargins();
    margins.setBottom(margins.bottom() + m_statusHeight);
    layout()->setContentsMargins(margins);
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    m_statusBar->setGeometry(0, height() - m_statusHeight, width(), m_statusHeight);
}

void MainWindow::buildBreakerGrid() {
    // 21 rows of two breakers: odd numbers on the left, even on the right,
    // breakers 1 and 2 in the top row. Each has a lamp, its number and its
    // current field.
    auto* grid = new QGridLayout(m_ui->breakerGrid);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(4);
    grid->setVerticalSpacing(1);
    grid->setColumnMinimumWidth(3, 18);
    // The grid keeps its natural width; the list takes what is left.
    m_ui->breakerGrid->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Preferred);
    for (int i = 0; i < LampState::kBreakers; ++i) {
        const int breaker = i + 1;
        const int row = i / 2;
        const int column = (i % 2) * 4;
        auto* lamp = new QLabel(m_ui->breakerGrid);
        lamp->setObjectName(QStringLiteral("breakerLamp%1").arg(breaker));
        lamp->setAccessibleName(QStringLiteral("Breaker %1 lamp").arg(breaker));
        auto* number = new QLabel(QString::number(breaker), m_ui->breakerGrid);
        number->setObjectName(QStringLiteral("breakerNumber%1").arg(breaker));
        number->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        number->setMinimumWidth(18);
        auto* field = new QLineEdit(m_ui->breakerGrid);
        field->setObjectName(QStringLiteral("breakerField%1").arg(breaker));
        field->setAccessibleName(QStringLiteral("Breaker %1 current").arg(breaker));
        field->setReadOnly(true);
        field->setFocusPolicy(Qt::NoFocus);
        field->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        field->setMaximumWidth(72);
        number->setBuddy(field);
        grid->addWidget(lamp, row, column);
        grid->addWidget(number, row, column + 1);
        grid->addWidget(field, row, column + 2);
        m_breakerLamps[static_cast<std::size_t>(i)] = lamp;
        m_breakerNumbers[static_cast<std::size_t>(i)] = number;
        m_breakerFields[static_cast<std::size_t>(i)] = field;
    }
}

void MainWindow::buildMenus() {
    // The menu bar with "Logging": without it the logging dialogs could be
    // reached only by editing the settings file.
    m_menuBar = new QMenuBar(this);
    m_menuBar->setObjectName(QStringLiteral("menuBar"));
    layout()->setMenuBar(m_menuBar);

    QMenu* file = m_menuBar->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("fileMenu"));
    m_scanAction = file->addAction(QStringLiteral("&Scan"), this, &MainWindow::onScanCommand);
    m_scanAction->setObjectName(QStringLiteral("scanAction"));
    m_quickScanAction =
        file->addAction(QStringLiteral("&Quick Scan"), this, [this] { onScanCommand(true); });
    m_quickScanAction->setObjectName(QStringLiteral("quickScanAction"));
    QAction* comms =
        file->addAction(QStringLiteral("&Display Comms"), this, &MainWindow::onDisplayComms);
    comms->setObjectName(QStringLiteral("displayCommsAction"));
    file->addSeparator();
    QAction* exit = file->addAction(QStringLiteral("E&xit"), this, &QDialog::close);
    exit->setObjectName(QStringLiteral("exitAction"));

    QMenu* config = m_menuBar->addMenu(QStringLiteral("&Config"));
    config->setObjectName(QStringLiteral("configMenu"));
    config
        ->addAction(QStringLiteral("&Panel"), this,
                    [this] {
                        runConfigCommand(
                            [this](int address) { m_configCommands->onPanelConfig(address); });
                    })
        ->setObjectName(QStringLiteral("panelAction"));
    config->addAction(QStringLiteral("&Comms"), this, &MainWindow::onComms)
        ->setObjectName(QStringLiteral("commsAction"));
    QMenu* alarms = config->addMenu(QStringLiteral("&Alarms"));
    alarms->setObjectName(QStringLiteral("alarmsMenu"));
    alarms->addAction(QStringLiteral("&Reset"), this, &MainWindow::onAlarmReset)
        ->setObjectName(QStringLiteral("resetAction"));
    alarms
        ->addAction(QStringLiteral("&Setpoints"), this,
                    [this] {
                        runConfigCommand(
                            [this](int address) { m_configCommands->onAlarmSetpoints(address); });
                    })
        ->setObjectName(QStringLiteral("setpointsAction"));
    m_delaysAction = alarms->addAction(QStringLiteral("&Delays"), this, [this] {
        runConfigCommand([this](int address) { m_configCommands->onAlarmDelays(address); });
    });
    m_delaysAction->setObjectName(QStringLiteral("delaysAction"));
    m_deviceFiles->addActions(config);

    QMenu* logging = m_menuBar->addMenu(QStringLiteral("&Logging"));
    logging->setObjectName(QStringLiteral("loggingMenu"));
    logging->addAction(QStringLiteral("&File Config"), this, &MainWindow::onFileConfig)
        ->setObjectName(QStringLiteral("fileConfigAction"));
    logging->addAction(QStringLiteral("&ODBC"), this, [this] { m_odbcCommand->run(); })
        ->setObjectName(QStringLiteral("odbcAction"));
    logging->addAction(QStringLiteral("&MQTT..."), this, &MainWindow::onMqtt)
        ->setObjectName(QStringLiteral("mqttAction"));

    // "View" between "Logging" and "Help": the trends, the journal and the
    // log viewer only look at what was read, like the windows of a View menu.
    QMenu* view = m_trendViews->addMenu(m_menuBar);
    view->addSeparator();
    // Read with every job's settings: the next tick watches, or stops.
    m_watchAction = view->addAction(QStringLiteral("&Watch All Devices"));
    m_watchAction->setObjectName(QStringLiteral("watchAction"));
    m_watchAction->setCheckable(true);
    connect(m_watchAction, &QAction::toggled, this, [this](bool on) { uiSettings().watch = on; });
    view->addAction(QStringLiteral("&Panel Overview..."), this, [this] { openPanelOverview(); })
        ->setObjectName(QStringLiteral("panelOverviewAction"));

    QMenu* help = m_menuBar->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("helpMenu"));
    QAction* helpAction = help->addAction(QStringLiteral("&Help"), this, &MainWindow::onHelp);
    helpAction->setObjectName(QStringLiteral("helpAction"));
    helpAction->setShortcut(QKeySequence::HelpContents);
    helpAction->setShortcutContext(Qt::ApplicationShortcut);
    help->addAction(QStringLiteral("Help &Index"), this, &MainWindow::onHelpIndex)
        ->setObjectName(QStringLiteral("helpIndexAction"));
    help->addSeparator();
    // X11 and Wayland window managers give a program no system menu to
    // extend, so "About Tarvo..." lives in the Help menu only.
    help->addAction(QStringLiteral("&About Tarvo..."), this, &MainWindow::onAbout)
        ->setObjectName(QStringLiteral("aboutAction"));
}

void MainWindow::start(const std::string& settingsFile) {
    tzset(); // local-time conversions of the sampling and the log file
    m_state.devices.clear();
    m_settingsFile = settingsFile;
    // Whatever the file held that could not be taken is said once, before
    // the timer starts.
    // Before the first job: the bus thread does not touch the settings yet.
    const SettingsLoadReport report = m_state.settings.load(settingsFile);
    if (report.portRead)
        m_state.link.portReopenRequested = true;
    m_uiSettings = m_state.settings;
    m_watchAction->setChecked(m_uiSettings.watch);
    m_trendViews->recorder().readHistory();
    m_sentPortName = m_uiSettings.portName;
    m_sentDatabaseState = m_uiSettings.databaseLogState;
    m_line.portName = m_uiSettings.portName;
    showLineStatus();
    if (const std::string problem = report.message(); !problem.empty())
        m_operator.showMessage(problem);
    startMqtt();
    m_timerId = startTimer(kTimerPeriodMs);
    if (m_timerId == 0)
        m_operator.showMessage("Error: couldn't set up timer, try closing other programs");
    showBranchLayout();
}

void MainWindow::setTimerPeriod(int ms) {
    if (m_timerId != 0)
        killTimer(m_timerId);
    m_timerPeriodMs = ms;
    m_timerId = startTimer(ms);
}

void MainWindow::moveListTo(bool bottomBand) {
    QWidget* list = m_ui->meterList;
    m_ui->upperListSlot->removeWidget(list);
    m_ui->lowerListSlot->removeWidget(list);
    if (!bottomBand) {
        list->setMinimumHeight(0);
        list->setMaximumHeight(QWIDGETSIZE_MAX);
        m_ui->upperListSlot->addWidget(list);
        return;
    }
    // The circuit layout's band along the bottom of the client area: 22 px
    // from the left edge, 18 px from the right, from 200 px to 20 px above
    // the bottom. The slot's margins make up what the window's own layout
    // margins leave.
    const QMargins outer = layout()->contentsMargins();
    m_ui->lowerListSlot->setContentsMargins(22 - outer.left(), 0, 18 - outer.right(),
                                            20 - (outer.bottom() - m_statusHeight));
    list->setFixedHeight(180);
    m_ui->lowerListSlot->addWidget(list);
}

void MainWindow::showBranchLayout() {
    m_branchLayout = true;
    m_ui->circuitPanel->hide();
    m_ui->boardNameField->hide();
    m_ui->meterListLabelLower->hide();
    for (QLabel* letter : {m_ui->phaseLetterA, m_ui->phaseLetterB, m_ui->phaseLetterC})
        letter->hide();
    m_ui->breakersLabel->show();
    m_ui->breakerGrid->show();
    m_ui->meterListLabelUpper->show();
    m_delaysAction->setEnabled(true);
    moveListTo(false);
}

void MainWindow::showCircuitLayout() {
    m_branchLayout = false;
    m_ui->breakerGrid->hide();
    m_ui->breakersLabel->hide();
    m_ui->meterListLabelUpper->hide();
    m_ui->boardNameField->show();
    m_ui->circuitPanel->show();
    m_ui->meterListLabelLower->show();
    m_delaysAction->setEnabled(false);
    moveListTo(true);
}

void MainWindow::setLamp(QLabel* lamp, Lamp state) {
    const char* description = lampDescription(state);
    if (lamp->accessibleDescription() == QLatin1String(description) && !lamp->pixmap().isNull())
        return;
    lamp->setPixmap(lampPixmap(state));
    lamp->setAccessibleDescription(QLatin1String(description));
}

void MainWindow::transfer(const Display& display) {
    m_display = display;
    const DisplayTexts& t = display.texts;
    for (std::size_t i = 0; i < t.breakers.size(); ++i)
        m_breakerFields[i]->setText(text(t.breakers[i]));
    for (std::size_t i = 0; i < t.circuit.size(); ++i)
        m_circuitFields[i]->setText(text(t.circuit[i]));
    m_ui->panelNameField->setText(text(t.panelName));
    m_ui->boardNameField->setText(text(t.boardName));

    const LampState& l = display.lamps;
    for (std::size_t i = 0; i < l.breakers.size(); ++i)
        setLamp(m_breakerLamps[i], l.breakers[i]);
    setLamp(m_ui->ampsOverLamp, l.ampsOver);
    setLamp(m_ui->ampsUnderLamp, l.ampsUnder);
    setLamp(m_ui->kvaOverLamp, l.kvaOver);
    setLamp(m_ui->kvaUnderLamp, l.kvaUnder);
    setLamp(m_ui->voltsOverLamp, l.voltsOver);
    setLamp(m_ui->voltsUnderLamp, l.voltsUnder);
    setLamp(m_ui->phaseLossLamp, l.phaseLoss);
    // The letters are the circuit layout's business; the branch layout keeps
    // them hidden.
    if (!m_branchLayout) {
        m_ui->phaseLossLamp->setVisible(l.phaseLossVisible);
        const std::array letters{m_ui->phaseLetterA, m_ui->phaseLetterB, m_ui->phaseLetterC};
        for (std::size_t p = 0; p < letters.size(); ++p) {
            letters[p]->setVisible(l.phaseLetterVisible[p]);
            letters[p]->setAccessibleDescription(
                QLatin1String(l.phaseLetterVisible[p] ? "phase lost" : "normal"));
        }
        m_ui->phaseLossLamp->setAccessibleDescription(
            QLatin1String(l.phaseLossVisible ? lampDescription(l.phaseLoss) : "phase lost"));
    }
}

TraceWindow* MainWindow::traceWindow() const {
    return m_traceWindow;
}

void MainWindow::onDisplayComms() {
    if ((m_engine.threaded() ? m_trace : m_state.trace).traceLive())
        return;
    // A frozen window still exists: bring it forward rather than opening a
    // second one.
    if (m_traceWindow) {
        m_traceWindow->raise();
        m_traceWindow->activateWindow();
        return;
    }
    if (m_engine.threaded())
        m_traceWindow = new TraceWindow(m_trace, m_counters, this);
    else
        m_traceWindow = new TraceWindow(m_state.trace, m_state.counters, this);
    m_traceWindow->show();
}

template <typename Command>
void MainWindow::runConfigCommand(Command command) {
    command(m_engine.threaded() ? m_selection.selectedAddress : m_state.selection.selectedAddress);
    if (!m_engine.threaded())
        showNames(m_state.panelName, m_state.boardName);
}

void MainWindow::onAlarmReset() {
    const int address =
        m_engine.threaded() ? m_selection.selectedAddress : m_state.selection.selectedAddress;
    if (address < 1) {
        m_operator.showMessage(ConfigCommands::kNoMeterToReset);
        return;
    }
    // The writes, the read-back and the lamps it sets are the bus's.
    post([this, address] {
        ConfigCommands(m_state.master, m_bus, m_state.devices, *m_side, *m_configDialogs, *m_side)
            .onAlarmReset(address);
    });
}

void MainWindow::showHelpTopic(const QString& topic) {
    // A modal form blocks the input of every window but its own and their
    // children, so while one is open the page is a window of the form's (it
    // goes with the form), else of this window.
    QWidget* owner = QApplication::activeModalWidget();
    if (!owner || owner == m_helpViewer)
        owner = this;
    if (!m_helpViewer)
        m_helpViewer = new HelpViewer(owner);
    else if (m_helpViewer->parentWidget() != owner)
        m_helpViewer->setParent(owner, m_helpViewer->windowFlags() | Qt::Window);
    m_helpViewer->showTopic(topic);
}

void MainWindow::onHelp() {
    QWidget* active = QApplication::activeModalWidget();
    if (!active)
        active = QApplication::activeWindow();
    if (!active || active == m_helpViewer)
        active = this;
    // A window whose page is shared with others names it in "helpTopic";
    // any other window's page is named after the window.
    const QString topic = active->property("helpTopic").toString();
    showHelpTopic(topic.isEmpty() ? HelpViewer::topicFor(active->objectName()) : topic);
}

void MainWindow::onComms() {
    Settings& settings = uiSettings();
    const std::string before = settings.portName;
    ConfigurationDialog dialog(
        settings, m_operator, m_settingsFile,
        {[this](const std::string& name, std::function<void(bool)> done) {
             if (!m_engine.threaded()) {
                 done(openFromDialog(m_bus, m_state.settings, m_operator, name));
                 return;
             }
             // The dialog is greyed until the open, behind the job running
             // now, has answered.
             auto chosen = std::make_shared<Settings>(m_uiSettings);
             auto opened = std::make_shared<bool>(false);
             post([this, chosen, opened,
                   name] { *opened = openFromDialog(m_bus, *chosen, *m_side, name); },
                  [this, opened, name, done = std::move(done)] {
                      if (*opened)
                          m_uiSettings.portName = name;
                      done(*opened);
                  });
         },
         // With the interval the dialog set.
         [this] { post([this] { scheduleNextSample(); }); },
         [this] { showHelpTopic(QStringLiteral("configuration_dialog")); }},
        this);
    const bool ok = dialog.run();
    if (ok && settings.portName != before) {
        // The open scans the bus when it succeeds; the second scan is the
        // Comms command's own, and after a failed open it asks for a port.
        ++m_scanJobs;
        m_stopScan = false;
        refreshScanAction();
        post(
            [this, name = settings.portName] {
                m_scan.openPort(name);
                m_scan.scanBus();
            },
            [this] {
                --m_scanJobs;
                refreshScanAction();
            });
    } else {
        settings.portName = before;
    }
}

void MainWindow::onFileConfig() {
    const bool threaded = m_engine.threaded();
    const bool ok = runFileConfig(
        uiSettings(), threaded ? m_scratchQueue : m_state.fileQueue, m_operator,
        [this] { showHelpTopic(QStringLiteral("logging")); }, this);
    // The bus's own queue: its records were taken under the old choice.
    if (ok && threaded)
        post([this] { m_state.fileQueue.clear(); });
}

void MainWindow::onMqtt() {
    Settings& settings = uiSettings();
    if (runMqttSetup(settings, settings.location, this))
        startMqtt();
}

void MainWindow::startMqtt() {
    const Settings& settings = uiSettings();
    std::string why;
    // Made here, handed to the sampling pass by a job: the bus thread owns
    // the sink it publishes through. The sink before sends what the broker
    // takes within 3 s on its way out, on the bus thread, never the window's.
    auto sink = std::make_shared<std::unique_ptr<MqttSink>>(
        startMqttSink(settings, settings.location, why));
    post([this, sink] { m_state.mqtt = std::move(*sink); });
    if (!why.empty())
        m_operator.showMessage(why);
}

void MainWindow::onHelpIndex() {
    showHelpTopic(QStringLiteral("index"));
}

void MainWindow::onAbout() {
    QMessageBox box(this);
    box.setObjectName(QStringLiteral("AboutBox"));
    box.setWindowTitle(QStringLiteral("About Tarvo"));
    box.setIconPixmap(QPixmap(QStringLiteral(":/images/tarvo_large.png")).scaled(64, 64));
    box.setText(QString::fromUtf8("Dodizorari Vavizevi, V" TARVO_VERSION));
    box.setInformativeText(QString());
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

void MainWindow::timerEvent(QTimerEvent* event) {
    if (event->timerId() == m_timerId) {
        // The tick's messages must not block: see QtOperator::TickScope.
        const QtOperator::TickScope scope(m_qtOperator);
        onTimer();
    }
    QDialog::timerEvent(event);
}

void MainWindow::meterListChanged(const MeterList& list) {
    m_meters = list;
    // The poll stops while the bus is scanned: the trend curves break there.
    if (scanRunning() && m_trendViews)
        m_trendViews->recorder().breakCurves();
    // Mirror the core list; the selection set here is the scan's, not an
    // operator click, so it must not come back as one.
    QListWidget* widget = m_ui->meterList;
    const QSignalBlocker block(widget);
    const std::vector<std::string> lines = list.lines();
    if (widget->count() != static_cast<int>(lines.size())) {
        widget->clear();
        for (const auto& line : lines)
            widget->addItem(text(line));
    } else {
        for (int i = 0; i < widget->count(); ++i)
            widget->item(i)->setText(text(lines[static_cast<std::size_t>(i)]));
    }
    widget->setCurrentRow(list.selectedIndex());
    if (list.selectedIndex() < 0)
        widget->clearSelection();
}

void MainWindow::onListSelectionChanged() {
    const QList<QListWidgetItem*> selected = m_ui->meterList->selectedItems();
    const int row = selected.isEmpty() ? -1 : m_ui->meterList->row(selected.first());
    post([this, row] {
        m_state.meters.select(row);
        m_scan.selectListedDevice();
    });
}

void MainWindow::showNames(const std::string& panel, const std::string& board) {
    m_display.texts.panelName = panel;
    m_display.texts.boardName = board;
    m_ui->panelNameField->setText(text(panel));
    m_ui->boardNameField->setText(text(board));
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    // A dialog's keys: Enter acts as OK and Escape as Cancel; both close the
    // window, which ends the program.
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        accept();
        return;
    case Qt::Key_Escape:
        reject();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

} // namespace tarvo
