// Renders the main window in both layouts, the trace window and the lamp
// legend of the help to PNG files, with sample values, for the README and
// for checking the forms by eye; then polls a live simulated bus (a branch
// monitor and a circuit meter) and renders the trend window of each, the
// alarm journal and the log viewer with the log file the sampling wrote
// meanwhile.
// Usage: tarvo-screenshots OUTPUT_DIR

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>

#include "app/help_viewer.h"
#include "app/main_window.h"
#include "core/operator.h"
#include "link/trace_window.h"
#include "session/app_state.h"
#include "session/bus_scan.h"
#include "session/polling.h"
#include "session/quiet_views.h"
#include "session/sampling.h"
#include "sim/server.h"
#include "trends/journal_window.h"
#include "trends/log_viewer_window.h"
#include "trends/trend_views.h"

namespace {

tarvo::Display sampleBranch() {
    tarvo::Display d;
    for (int i = 0; i < 42; ++i) {
        char text[16];
        std::snprintf(text, sizeof text, "%.3f", 3.0 + 0.731 * i);
        d.texts.breakers[static_cast<std::size_t>(i)] = text;
    }
    d.texts.panelName = "PNL1";
    d.lamps.breakers[6] = tarvo::Lamp::Warning;
    d.lamps.breakers[13] = tarvo::Lamp::Alarm;
    return d;
}

tarvo::Display sampleCircuit() {
    using namespace tarvo;
    tarvo::Display d;
    const char* texts[kCircuitTextCount] = {
        "277.12", "276.80", "278.05", "277.32", "480.01", "479.44", "481.20", "480.22", "112.40",
        "108.95", "0.00",   "73.78",  "N/A",    "62.41",  "18.20",  "65.01",  "0.96"};
    for (int i = 0; i < kCircuitTextCount; ++i)
        d.texts.circuit[static_cast<std::size_t>(i)] = texts[i];
    d.texts.panelName = "MAIN";
    d.texts.boardName = "BRD2";
    d.lamps.ampsUnder = Lamp::Alarm;
    d.lamps.phaseLossVisible = false;
    d.lamps.phaseLetterVisible = {false, false, true};
    return d;
}

bool save(QWidget& w, const QDir& dir, const char* name) {
    w.show();
    // Charts drop replaced axes with deleteLater, which processEvents leaves
    // to the event loop.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QApplication::processEvents();
    const QString path = dir.filePath(QString::fromLatin1(name));
    if (!w.grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

struct StepClock : tarvo::Clock {
    std::time_t now() const override { return t; }
    std::time_t t = 0;
};

// Polls the simulator in live mode: one tick per trend second, while the
// simulated panel moves on by a few seconds per tick, so a few minutes of
// trends show overloads, alarms and dropped phases.
bool saveLiveWindows(const QDir& dir) {
    using namespace tarvo;
    QTemporaryDir work;
    sim::PtyServer sim;
    sim.bus().addDevice(sim::Model::Branch, 2, "PNL1");
    sim.bus().addDevice(sim::Model::Circuit6, 3, "MAIN");
    sim.bus().setLive(true, 7);
    AppState state;
    QuietOperator op;
    NullView view;
    BusScan scan(state, state.port, op, view, [](std::chrono::milliseconds) {});
    PollingCycle polling(state, state.port, op, scan, view);
    if (!state.port.open(sim.slavePath()))
        return false;
    state.settings.scan = 3;
    scan.scanBus();
    state.settings.saveFile = work.filePath(QStringLiteral("panel.csv")).toStdString();
    state.settings.fileLoggingActive = true;
    state.settings.interval = 1;
    StepClock trendClock, sampleClock;
    trendClock.t = std::time(nullptr) - 600;
    sampleClock.t = trendClock.t;
    Sampler sampler(state, state.port, op, sampleClock);
    polling.setSampler([&] { sampler.takeSamples(); });
    TrendViews views(
        {state.settings, state.meters, state.master, state.port, state.devices, state.currentScale,
         [] { return true; }, [&] { return state.selection.selectedAddress; }},
        [&] { return trendClock.t; }, nullptr);
    polling.setObserver(&views.recorder());

    const auto start = sim::Clock::now() + std::chrono::hours(1);
    int step = 0;
    for (const auto& [address, kind] : {std::pair{2, BranchMonitor}, {3, CircuitMeter6}}) {
        state.selection.selectedAddress = address;
        state.selection.selectedKind = kind;
        for (int tick = 0; tick < 240; ++tick, ++step) {
            sim.bus().advance(start + std::chrono::seconds(4 * step));
            if (tick == 100) // the line goes quiet for three polls
                sim.bus().setFault(address, sim::Fault::NoAnswer, 3);
            polling.onTimer();
            ++trendClock.t;
            sampleClock.t += 15; // a sample each fourth tick
        }
    }
    bool ok = true;
    TrendWindow* trends = views.openTrends();
    auto* device = trends->findChild<QComboBox*>(QStringLiteral("deviceBox"));
    device->setCurrentIndex(device->findData(2));
    ok = save(*trends, dir, "trend_branch.png") && ok;
    device->setCurrentIndex(device->findData(3));
    ok = save(*trends, dir, "trend_circuit.png") && ok;
    ok = save(*views.openJournal(), dir, "alarm_journal.png") && ok;

    LogViewerWindow* viewer = views.openLogViewer();
    QEventLoop loop;
    QObject::connect(viewer, &LogViewerWindow::finished, &loop, &QEventLoop::quit);
    viewer->open(QString::fromStdString(state.settings.saveFile));
    loop.exec();
    ok = save(*viewer, dir, "log_viewer.png") && ok;
    for (QWidget* w : {static_cast<QWidget*>(trends), static_cast<QWidget*>(viewer)})
        w->close();
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QDir dir(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("."));
    tarvo::AppState state;
    tarvo::MainWindow window(state, state.port, nullptr, nullptr, tarvo::BusEngine::Mode::Inline);
    window.showBranchLayout();
    window.transfer(sampleBranch());
    bool ok = save(window, dir, "branch_layout.png");

    window.showCircuitLayout();
    window.transfer(sampleCircuit());
    window.adjustSize();
    ok = save(window, dir, "circuit_layout.png") && ok;

    const std::uint8_t request[] = {0x02, 0x03, 0x00, 0x00, 0x00, 0x31, 0x84, 0x2D};
    const std::uint8_t reply[] = {0x02, 0x83, 0x02, 0x31, 0x31};
    for (int i = 0; i < 4; ++i) {
        state.trace.recordSend(request);
        state.trace.recordReceive(i == 3 ? std::span(reply) : std::span<const std::uint8_t>(), 8);
    }
    state.counters = {1200, 7, tarvo::ExceptionResponse};
    tarvo::TraceWindow trace(state.trace, state.counters);
    ok = save(trace, dir, "trace_window.png") && ok;

    // The lamp states by shape as well as colour, as the help shows them.
    tarvo::HelpViewer help;
    help.showTopic(QStringLiteral("lamps"));
    help.resize(640, 420);
    ok = save(help, dir, "lamp_legend.png") && ok;
    ok = saveLiveWindows(dir) && ok;
    return ok ? 0 : 1;
}
