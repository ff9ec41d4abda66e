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

#include "app/help_viewer.h"
#include "config/config_dialog.h"
#include "config/config_dialogs.h"
#include "link/trace_window.h"
#include "logging/logging_file_setup_dialog.h"
#include "logging/mqtt_setup_dialog.h"
#include "logging/odbc_command.h"
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

QPixmap lampPixmap(Lamp lamp) {
    switch (lamp) {
    case Lamp::Warning:
        return QPixmap(QStringLiteral(":/images/lamp_yellow.png"));
    case Lamp::Alarm:
        return QPixmap(QStringLiteral(":/images/lamp_red.png"));
    case Lamp::Normal:
        break;
    }
    return QPixmap(QStringLiteral(":/images/lamp_green.png"));
}

// Device names reach the fields and the list as the forms show them.
QString text(const std::string& s) {
    return deviceText(s);
}

} // namespace

MainWindow::MainWindow(AppState& state, Link& bus, Operator* op, QWidget* parent)
    : QDialog(parent), m_state(state), m_bus(bus), m_ui(std::make_unique<Ui::MainWindow>()),
      m_qtOperator(this), m_operator(op ? *op : m_qtOperator),
      m_scan(state, bus, m_operator, *this), m_keeper(state, bus, m_operator),
      m_polling(state, bus, m_operator, m_scan, *this), m_sampler(state, bus, m_operator, m_clock) {
    m_polling.setSampler([this] { takeSamples(); });
    m_polling.setKeeper(&m_keeper);
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
    m_configDialogs = std::make_unique<ConfigDialogs>(
        ConfigDialogContext{state.master, bus, state.devices, m_operator, state.panelName,
                            state.boardName, state.currentScale,
                            [this](const QString& topic) { showHelpTopic(topic); }},
        state.selection, this);
    m_configCommands = std::make_unique<ConfigCommands>(state.master, bus, state.devices,
                                                        m_operator, *m_configDialogs, *this);
    m_odbcCommand = new OdbcCommand(state.odbc, state.settings, state.databaseQueue, this);
    m_odbcCommand->showHelp = [this](const QString& topic) { showHelpTopic(topic); };
    m_trendViews = new TrendViews(
        {state.settings, state.meters, state.master, bus, state.devices, state.currentScale,
         [this] { return m_state.port.isOpen() && !m_state.selection.scanInProgress; },
         [this] { return m_state.selection.selectedAddress; }},
        [this] { return m_clock.now(); }, this);
    m_polling.setObserver(&m_trendViews->recorder());
    m_deviceFiles = new DeviceFileCommands({state.master, bus, state.devices, m_operator, m_clock,
                                            [this] { return m_state.selection.selectedAddress; }},
                                           this);
    buildBreakerGrid();
    buildMenus();
    connect(m_ui->meterList, &QListWidget::itemSelectionChanged, this,
            &MainWindow::onListSelectionChanged);
    transfer(m_display);
}

MainWindow::~MainWindow() {
    if (m_timerId != 0)
        killTimer(m_timerId);
    if (m_bus.isOpen())
        m_bus.close();
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
    QAction* scan = file->addAction(QStringLiteral("&Scan"), this, [this] { m_scan.scanBus(); });
    scan->setObjectName(QStringLiteral("scanAction"));
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
    alarms
        ->addAction(QStringLiteral("&Reset"), this,
                    [this] {
                        runConfigCommand(
                            [this](int address) { m_configCommands->onAlarmReset(address); });
                    })
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
    m_trendViews->addMenu(m_menuBar);

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
    const SettingsLoadReport report = m_state.settings.load(settingsFile);
    if (report.portRead)
        m_state.link.portReopenRequested = true;
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
                                            20 - outer.bottom());
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
    if (m_state.trace.traceLive())
        return;
    // A frozen window still exists: bring it forward rather than opening a
    // second one.
    if (m_traceWindow) {
        m_traceWindow->raise();
        m_traceWindow->activateWindow();
        return;
    }
    m_traceWindow = new TraceWindow(m_state.trace, m_state.counters, this);
    m_traceWindow->show();
}

template <typename Command>
void MainWindow::runConfigCommand(Command command) {
    command(m_state.selection.selectedAddress);
    namesChanged();
}

void MainWindow::showAlarmsAfterReset(std::span<const std::int32_t> registers) {
    Display next = m_display;
    showAlarms(next.lamps, m_state.selection.selectedKind, registers);
    transfer(next);
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
    Settings& settings = m_state.settings;
    const std::string before = settings.portName;
    ConfigurationDialog dialog(settings, m_operator, m_settingsFile,
                               {[this](const std::string& name) {
                                    return openFromDialog(m_bus, m_state.settings, m_operator,
                                                          name);
                                },
                                [this] { scheduleNextSample(); },
                                [this] { showHelpTopic(QStringLiteral("configuration_dialog")); }},
                               this);
    const bool ok = dialog.run();
    if (ok && settings.portName != before) {
        // The open scans the bus when it succeeds; the second scan is the
        // Comms command's own, and after a failed open it asks for a port.
        m_scan.openPort(settings.portName);
        m_scan.scanBus();
    } else {
        settings.portName = before;
    }
}

void MainWindow::onFileConfig() {
    runFileConfig(
        m_state.settings, m_state.fileQueue, m_operator,
        [this] { showHelpTopic(QStringLiteral("logging")); }, this);
}

void MainWindow::onMqtt() {
    if (runMqttSetup(m_state.settings, m_state.settings.location, this))
        startMqtt();
}

void MainWindow::startMqtt() {
    // The sink before sends what the broker takes within 3 s on its way out.
    m_state.mqtt.reset();
    std::string why;
    m_state.mqtt = startMqttSink(m_state.settings, m_state.settings.location, why);
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
    // The poll stops while the bus is scanned: the trend curves break there.
    if (m_state.selection.scanInProgress && m_trendViews)
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
    m_state.meters.select(selected.isEmpty() ? -1 : m_ui->meterList->row(selected.first()));
    m_scan.selectListedDevice();
}

void MainWindow::refreshFields() {
    transfer(m_display);
}

void MainWindow::namesChanged() {
    m_display.texts.panelName = m_state.panelName;
    m_display.texts.boardName = m_state.boardName;
    m_ui->panelNameField->setText(text(m_state.panelName));
    m_ui->boardNameField->setText(text(m_state.boardName));
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
