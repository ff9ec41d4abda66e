// Times the quick scan of a whole bus against the simulator on a
// pseudo-terminal: 247 empty addresses, then the same bus with one branch
// monitor at address 200 that answers 40 ms after each request. A silent
// address costs the scan's 10 ms pause, the 1 ms drain and the 50 ms wait
// for a first byte: 247 x 61 ms = 15.1 s. A pseudo-terminal has no wire
// time; on a real line at 9600 baud (11 bits a character with the stop bit
// and the gap) each 4-byte request adds 4.6 ms, 1.1 s over the bus.
//   Aim: under 20 s at 9600 baud, every device that answers within 50 ms found.

#include <chrono>
#include <cstdio>

#include "core/operator.h"
#include "session/app_state.h"
#include "session/bus_scan.h"
#include "session/quiet_views.h"
#include "sim/server.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
    double seconds = 0;
    int listed = 0;
};

Run quickScan(tarvo::sim::PtyServer& sim) {
    tarvo::AppState state;
    tarvo::QuietOperator op;
    tarvo::NullView view;
    tarvo::BusScan scan(state, state.port, op, view);
    if (!state.port.open(sim.slavePath()))
        return {-1, 0};
    const auto t0 = Clock::now();
    scan.scanBus(true);
    return {std::chrono::duration<double>(Clock::now() - t0).count(),
            static_cast<int>(state.meters.count())};
}

} // namespace

int main() {
    constexpr double kAim = 20.0;
    constexpr double kWireSeconds = 247 * 4 * 11.0 / 9600;
    tarvo::sim::PtyServer empty;
    const Run silent = quickScan(empty);
    tarvo::sim::PtyServer slow;
    slow.bus().addDevice(tarvo::sim::Model::Branch, 200, "SLOW");
    slow.bus().setReplyDelay(200, std::chrono::milliseconds(40));
    const Run one = quickScan(slow);
    if (silent.seconds < 0 || one.seconds < 0) {
        std::fprintf(stderr, "cannot open the simulator's pseudo-terminal\n");
        return 1;
    }
    std::printf("quick scan of 247 addresses over a pseudo-terminal (50 ms first-byte wait)\n");
    std::printf("empty bus             %6.2f s   + %.2f s wire time at 9600 baud = %.2f s "
                "(aim %.0f s)\n",
                silent.seconds, kWireSeconds, silent.seconds + kWireSeconds, kAim);
    std::printf("one device at 40 ms   %6.2f s   found %d of 1\n", one.seconds, one.listed);
    std::printf("the specified scan takes about 247 x (10 + 1 + 804) ms = 201 s on an empty bus\n");
    const bool ok = silent.seconds + kWireSeconds < kAim && one.listed == 1;
    return ok ? 0 : 1;
}
