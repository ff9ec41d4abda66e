// How long the real window (offscreen) takes to handle an event while the
// bus is busy, against the simulator: a thread posts a queued call into the
// window's event loop every 20 ms and the call notes how late it ran. The
// aim is a 99th percentile within 50 ms in every case:
//
//   silent   the selected device stopped answering (each tick times out)
//   scan     a scan of 247 addresses, one device answering
//   gateway  the same silent device behind a Modbus TCP gateway
//   form     the panel configuration form reading a device that answers
//            too late (every read times out), with the ticks going on
//   database the first sampling pass inserting into an SQLite database
//            (ODBC) that another process holds locked: the insert waits
//            8 s for it (needs libsqliteodbc and the sqlite3 program)
//
//   ui_latency [seconds per case, default 10] [scan depth, default 247]
//
// Built against the window's public interface only, so the same source
// measures an older tree for comparison.

#include <QAction>
#include <QApplication>
#include <QListWidget>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/main_window.h"
#include "sim/server.h"
#include "sim/tcp_server.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kAimMs = 50.0;

// Posts a stamped call into the loop of `target` every 20 ms from its own
// thread and keeps how late each one ran.
class Probe {
public:
    explicit Probe(QObject* target) : m_target(target) {
        m_thread = std::thread([this] {
            while (!m_stop) {
                const auto sent = Clock::now();
                QMetaObject::invokeMethod(
                    m_target,
                    [this, sent] {
                        const std::chrono::duration<double, std::milli> late = Clock::now() - sent;
                        const std::lock_guard lock(m_mutex);
                        m_ms.push_back(late.count());
                    },
                    Qt::QueuedConnection);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    ~Probe() { stop(); }
    void stop() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    std::vector<double> samples() {
        const std::lock_guard lock(m_mutex);
        return m_ms;
    }

private:
    QObject* m_target;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<double> m_ms;
    std::thread m_thread;
};

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size() - 1));
    return v[i];
}

// Runs the loop until `done` holds or `limit` has passed.
template <typename Done>
void runUntil(Done done, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (!done() && Clock::now() < end)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

void report(const char* name, std::vector<double> ms) {
    const double p99 = percentile(ms, 99);
    std::printf("%-8s %5zu events  p50 %8.1f  p90 %8.1f  p99 %8.1f  max %8.1f ms  "
                "(aim p99 <= %.0f ms: %s)\n",
                name, ms.size(), percentile(ms, 50), percentile(ms, 90), p99,
                ms.empty() ? 0.0 : *std::max_element(ms.begin(), ms.end()), kAimMs,
                p99 <= kAimMs ? "met" : "missed");
    std::fflush(stdout);
}

enum class Case { Silent, Scan, Gateway, Form, Database };

constexpr const char* kSqliteDriver = "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so";

void runCase(Case c, const char* name, int seconds, int scanDepth) {
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::temp_directory_path() / ("tarvo-ui-latency-" + std::to_string(getpid()));
    fs::create_directories(dir);
    tarvo::sim::PtyServer pty;
    tarvo::sim::Bus& bus = pty.bus();
    bus.addDevice(tarvo::sim::Model::Branch, 1, "PNL1");
    std::unique_ptr<tarvo::sim::TcpServer> gateway;
    std::string port = pty.slavePath();
    if (c == Case::Gateway) {
        gateway = std::make_unique<tarvo::sim::TcpServer>(bus, tarvo::sim::GatewayMode::ModbusTcp);
        port = gateway->portName();
    }
    const int depth = c == Case::Scan ? scanDepth : 1;
    std::ofstream(dir / "Tarvo.cfg") << "port " << port << "\nscan " << depth << "\nsave_file "
                                     << (dir / "log.csv").string() << "\n";
    if (c == Case::Database) {
        // The data source of this process only; the lock holder keeps an
        // exclusive transaction open until the case is over.
        const fs::path db = dir / "log.db";
        std::ofstream(dir / "odbcinst.ini") << "[SQLite3]\nDriver=" << kSqliteDriver << "\n";
        std::ofstream(dir / "odbc.ini")
            << "[bench]\nDriver=SQLite3\nDatabase=" << db.string() << "\nTimeout=8000\n";
        setenv("ODBCSYSINI", dir.c_str(), 1);
        setenv("ODBCINI", (dir / "odbc.ini").c_str(), 1);
        const std::string create =
            "sqlite3 '" + db.string() + "' 'CREATE TABLE Samples (Meter INTEGER);'";
        const std::string lock = "(echo 'BEGIN EXCLUSIVE;'; sleep " + std::to_string(seconds + 10) +
                                 ") | sqlite3 '" + db.string() + "' &";
        if (std::system(create.c_str()) != 0 || std::system(lock.c_str()) != 0) {
            std::printf("%-8s skipped: sqlite3 could not make or lock %s\n", name, db.c_str());
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500)); // the lock is taken
        std::ofstream(dir / "Tarvo.cfg", std::ios::app)
            << "dsn bench\ntable Samples\nlink 0 4 Meter\n";
    }

    tarvo::AppState state;
    auto window = std::make_unique<tarvo::MainWindow>(state, state.port);
    window->start((dir / "Tarvo.cfg").string());
    window->show();
    auto* list = window->findChild<QListWidget*>("meterList");
    if (c != Case::Scan && c != Case::Database) {
        // The first tick opens the port and scans; the measure starts after.
        runUntil([&] { return list->count() == 1 && !list->item(0)->text().startsWith("Search"); },
                 std::chrono::seconds(30));
        bus.setFault(1,
                     c == Case::Form ? tarvo::sim::Fault::LateReply : tarvo::sim::Fault::NoAnswer);
    }
    Probe probe(window.get());
    if (c == Case::Form) {
        // The form reads on opening; it is closed when the time is up.
        QTimer::singleShot(0, window.get(),
                           [&] { window->findChild<QAction*>("panelAction")->trigger(); });
    }
    // When the time is up, whatever modal window is open (the form, a box
    // of its) is closed, again and again until none is left.
    bool timeUp = false;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        timeUp = true;
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
    });
    closer.start(seconds * 1000);
    runUntil([&] { return timeUp && !QApplication::activeModalWidget(); },
             std::chrono::seconds(seconds + 600));
    probe.stop();
    QApplication::processEvents();
    report(name, probe.samples());
    window.reset();
    fs::remove_all(dir);
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const int depth = argc > 2 ? std::max(1, std::atoi(argv[2])) : 247;
    runCase(Case::Silent, "silent", seconds, depth);
    runCase(Case::Scan, "scan", seconds, depth);
    runCase(Case::Gateway, "gateway", seconds, depth);
    runCase(Case::Form, "form", seconds, depth);
    if (std::filesystem::exists(kSqliteDriver))
        runCase(Case::Database, "database", seconds, depth);
    else
        std::printf("database skipped: %s is not installed\n", kSqliteDriver);
    return 0;
}
