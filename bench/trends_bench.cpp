// What the trends, the journal and the log viewer cost:
//  1. memory of one hour of trends (3600 one-second points) of a branch
//     monitor and a circuit meter;
//  2. CPU the poll tick gains from the trend recorder (append and journal
//     check per read), and the trend window's once-a-second refresh with
//     five breakers of a full hour drawn (on its own timer, not in the tick);
//  3. the log viewer on a 100 MB log file: the read on its worker thread,
//     the drawing on the window's thread, and the longest time the window's
//     thread went without handling events while the file loaded.
// Usage: QT_QPA_PLATFORM=offscreen trends_bench [MEGABYTES]

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>

#include "devices/meter_list.h"
#include "devices/register_map.h"
#include "logging/log_file.h"
#include "settings/settings.h"
#include "session/journal_file.h"
#include "trends/log_viewer_window.h"
#include "trends/trend_recorder.h"
#include "trends/trend_window.h"

namespace {

using namespace tarvo;
using Steady = std::chrono::steady_clock;

double ms(Steady::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

long residentKb() {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * 4;
}

MeterReading reading(DeviceKind kind, int address, std::mt19937& random) {
    MeterReading r;
    r.kind = kind;
    r.address = address;
    std::uniform_int_distribution<int> value(1000, 30000);
    const int count = isBranchMonitor(kind) ? kBreakerCount : 30;
    for (int i = 0; i < count; ++i)
        r.registers[static_cast<std::size_t>(i)] = value(random);
    if (isCircuitMeter(kind)) {
        r.registers[kRegCtSize] = 100;
        r.registers[kRegCircuitAlarms] = 0;
    }
    return r;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const long megabytes = argc > 1 ? std::atol(argv[1]) : 100;
    std::mt19937 random(1);
    QTemporaryDir dir;
    Settings settings;
    settings.saveFile = dir.filePath(QStringLiteral("panel.csv")).toStdString();
    MeterList meters;
    std::time_t now = 1'780'000'000;
    TrendRecorder recorder([&] { return now; }, settings, meters);

    // 1 and 2: an hour of polls of each device through the recorder.
    const long before = residentKb();
    double tickMs[2] = {0, 0};
    const DeviceKind kinds[2] = {BranchMonitor, CircuitMeter6};
    for (int k = 0; k < 2; ++k) {
        double total = 0;
        for (int i = 0; i < 3600; ++i, ++now) {
            const MeterReading r = reading(kinds[k], k + 2, random);
            const auto t0 = Steady::now();
            recorder.pollRead(r);
            total += ms(Steady::now() - t0);
        }
        tickMs[k] = total / 3600;
    }
    const long after = residentKb();
    std::printf("one hour of trends: branch monitor %zu KB, circuit meter %zu KB "
                "(resident set grew %ld KB)\n",
                recorder.store().find(2)->memoryBytes() / 1024,
                recorder.store().find(3)->memoryBytes() / 1024, after - before);
    std::printf("recorder per poll read: branch monitor %.4f ms, circuit meter %.4f ms\n",
                tickMs[0], tickMs[1]);

    // Deletes itself when closed.
    auto& window = *new TrendWindow(
        recorder.store(), {}, [](int) { return QString(); }, 2);
    window.show();
    app.processEvents();
    double refreshTotal = 0, refreshMax = 0, paintTotal = 0;
    const int refreshes = 60;
    for (int i = 0; i < refreshes; ++i, ++now) {
        recorder.pollRead(reading(BranchMonitor, 2, random));
        const auto t0 = Steady::now();
        window.refresh();
        const auto t1 = Steady::now();
        window.repaint(); // the paint that follows
        const double t = ms(Steady::now() - t0);
        paintTotal += ms(Steady::now() - t1);
        refreshTotal += t;
        refreshMax = std::max(refreshMax, t);
    }
    std::printf("trend window refresh with 5 curves of 3600 points, paint included: "
                "mean %.2f ms (%.2f ms of it painting), max %.2f ms (once a second, outside "
                "the tick)\n",
                refreshTotal / refreshes, paintTotal / refreshes, refreshMax);
    window.close();

    // 3: a log file of about `megabytes` MB, branch and circuit rows.
    const std::string path = dir.filePath(QStringLiteral("big.csv")).toStdString();
    {
        std::ofstream out(path);
        std::time_t t = 1'780'000'000;
        std::uniform_real_distribution<float> amps(0, 50);
        long written = 0;
        while (written < megabytes * 1'000'000) {
            const std::string row = logTimeStamp(t);
            for (int address : {2, 3}) {
                std::string r = row + "," + std::to_string(address);
                const int values = address == 2 ? 42 : 27;
                for (int v = 0; v < values; ++v)
                    r += "," + fixedText(amps(random), 3);
                r += '\n';
                out << r;
                written += static_cast<long>(r.size());
            }
            t += 60;
        }
    }
    LogViewerWindow viewer;
    viewer.show();
    app.processEvents();
    // The longest stretch the window's thread spent away from its events.
    QElapsedTimer gap;
    double longest = 0;
    QTimer probe;
    probe.setInterval(5);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        longest = std::max(longest, static_cast<double>(gap.nsecsElapsed()) / 1e6);
        gap.restart();
    });
    QEventLoop loop;
    QObject::connect(&viewer, &LogViewerWindow::finished, &loop, &QEventLoop::quit);
    const auto t0 = Steady::now();
    gap.start();
    probe.start();
    viewer.open(QString::fromStdString(path));
    loop.exec();
    const double total = ms(Steady::now() - t0);
    probe.stop();
    std::printf("log viewer, %ld MB file, %zu rows: loaded and drawn in %.0f ms; the window's "
                "thread was at most %.0f ms away from its events\n",
                megabytes, viewer.contents().rows, total, longest);
    return 0;
}
