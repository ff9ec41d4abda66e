// Renders the main window in both layouts, the trace window and the lamp
// legend of the help to PNG files, with sample values, for the README and
// for checking the forms by eye.
// Usage: tarvo-screenshots OUTPUT_DIR

#include <QApplication>
#include <QDir>
#include <cstdio>

#include "app/help_viewer.h"
#include "app/main_window.h"
#include "link/trace_window.h"
#include "session/app_state.h"

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
    const char* texts[kCircuitTextCount] = {"277.12", "276.80", "278.05", "277.32", "480.01",
                                            "479.44", "481.20", "480.22", "112.40", "108.95",
                                            "0.00",   "73.78",  "N/A",    "62.41",  "18.20",
                                            "65.01",  "0.96"};
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
    QApplication::processEvents();
    const QString path = dir.filePath(QString::fromLatin1(name));
    if (!w.grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QDir dir(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("."));
    tarvo::AppState state;
    tarvo::MainWindow window(state, state.port);
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
    return ok ? 0 : 1;
}
