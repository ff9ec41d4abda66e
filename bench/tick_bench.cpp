// Times one polling tick of a branch monitor against the simulator on a
// pseudo-terminal. A tick is two transactions (the 49-register poll and the
// 2-register name read); each cannot end before the 35 ms end-of-reply wait,
// and on a real line the bytes also take their time on the wire:
//   poll: 8 request + 103 reply bytes, names: 8 + 9 bytes = 128 bytes,
//   at 9600 baud and 10 bits per byte (8N1) that is 133 ms.
// A pseudo-terminal has no wire time, so its floor is 2 x 35 ms = 70 ms of
// the master's own waiting; each transaction also carries the 1 ms drain and
// the simulator's 5 ms of silence that ends a request frame on a pty (a real
// slave waits 3.5 characters, 4 ms at 9600 baud): 2 x 41 ms = 82 ms in all.
// Each tick runs as a job of a bus thread, as the window runs it, and is
// timed from its posting to its end.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include <sys/resource.h>

#include "core/operator.h"
#include "session/app_state.h"
#include "session/bus_engine.h"
#include "session/bus_scan.h"
#include "session/polling.h"
#include "session/quiet_views.h"
#include "sim/server.h"

namespace {

using Clock = std::chrono::steady_clock;

double threadCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    const int ticks = argc > 1 ? std::atoi(argv[1]) : 100;
    tarvo::sim::PtyServer sim;
    sim.bus().addDevice(tarvo::sim::Model::Branch, 3, "PNL1");

    tarvo::AppState state;
    tarvo::QuietOperator op;
    tarvo::NullView view;
    tarvo::BusScan scan(state, state.port, op, view, [](std::chrono::milliseconds) {});
    tarvo::PollingCycle polling(state, state.port, op, scan, view);
    if (!state.port.open(sim.slavePath())) {
        std::fprintf(stderr, "cannot open %s\n", sim.slavePath().c_str());
        return 1;
    }
    state.devices.record(3, tarvo::BranchMonitor);
    state.selection.selectedAddress = 3;
    state.selection.selectedKind = tarvo::BranchMonitor;

    std::vector<double> ms;
    tarvo::BusEngine engine(nullptr, tarvo::BusEngine::Mode::Thread);
    double cpu0 = 0;
    double cpu = 0; // the bus thread's
    engine.call([&] { cpu0 = threadCpuSeconds(); });
    for (int i = 0; i < ticks; ++i) {
        const auto t0 = Clock::now();
        engine.call([&] { polling.onTimer(); });
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    engine.call([&] { cpu = threadCpuSeconds() - cpu0; });
    std::sort(ms.begin(), ms.end());
    const double median = ms[ms.size() / 2];
    std::printf("branch-monitor tick over a pseudo-terminal: %d ticks, %ld failed reads\n", ticks,
                state.counters.badCount);
    std::printf("median tick           %.3f ms\n", median);
    std::printf("floor (2 x 35 ms)     70.000 ms   ratio %.3f\n", median / 70.0);
    std::printf("with drain and slave  82.000 ms   ratio %.3f (2 x (35 + 1 + 5 ms))\n",
                median / 82.0);
    std::printf("CPU per tick          %.3f ms (program side)\n", 1000.0 * cpu / ticks);
    std::printf("at 9600 baud the floor adds 133 ms of wire time: 203 ms per tick\n");
    return state.counters.badCount == 0 ? 0 : 1;
}
