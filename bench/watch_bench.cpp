// Measures the panel watch as the window runs it, against the simulator on a
// pseudo-terminal: each second the selected branch monitor's tick
// (PollingCycle::onTimer: the 49-register poll and the name read), then
// PanelWatch::watch over the other listed devices until the second ends.
//
// A pseudo-terminal carries bytes at once, so a transport between the
// master and the pty holds each byte's time on a 9600-baud line (11 bits a
// character, 1.15 ms): the request's after writing it, the reply's after
// reading it. A branch monitor's watch read then takes 1 drain + 9.2 request
// + 5 (the simulator's end-of-frame silence) + 35 end-of-reply + 21.8 reply
// = 72 ms; a silent one 1 + 9.2 + 200 first-byte wait = 210 ms.
//
// Printed: how often each device is read with 4 and with 8 devices listed
// (all branch monitors, the slowest to read), all answering and all silent
// but the selected; the bytes on the line per second with watching on, off,
// and with the poll alone, and whether off and the poll alone put the same
// bytes on the line.
//   Aim: each device read at least every few seconds with up to 8 devices;
//   watching off identical to the poll alone.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "session/app_state.h"
#include "session/bus_scan.h"
#include "session/panel_watch.h"
#include "session/polling.h"
#include "session/quiet_views.h"
#include "sim/server.h"

namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

constexpr int kBaud = 9600;
constexpr int kSelected = 1;

// Holds each byte's time on the line and keeps what went over it.
class WireTime : public tarvo::Transport {
public:
    explicit WireTime(tarvo::Transport& inner) : m_inner(inner) {}

    void drain() override { m_inner.drain(); }
    std::size_t write(std::span<const std::uint8_t> bytes) override {
        const std::size_t n = m_inner.write(bytes);
        if (!bytes.empty())
            ++requests[bytes[0]];
        keep(bytes);
        return n;
    }
    tarvo::ReadResult read(std::span<std::uint8_t> buffer, std::size_t& received) override {
        const tarvo::ReadResult r = m_inner.read(buffer, received);
        keep(buffer.first(received));
        return r;
    }
    tarvo::ReadResult readWithin(std::span<std::uint8_t> buffer, std::size_t& received,
                                 std::chrono::milliseconds firstByteWait) override {
        const tarvo::ReadResult r = m_inner.readWithin(buffer, received, firstByteWait);
        keep(buffer.first(received));
        return r;
    }
    bool isOpen() const override { return m_inner.isOpen(); }

    std::vector<std::uint8_t> wire; // every byte, both ways, in order
    std::map<int, int> requests;    // by slave address

private:
    void keep(std::span<const std::uint8_t> bytes) {
        wire.insert(wire.end(), bytes.begin(), bytes.end());
        std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long long>(bytes.size()) *
                                                              11 * 1'000'000 / kBaud));
    }
    tarvo::Transport& m_inner;
};

struct SystemClock : tarvo::Clock {
    std::time_t now() const override { return std::time(nullptr); }
};

enum class Watch { Alone, Off, On };

struct Figures {
    std::map<int, int> requests;
    std::vector<std::uint8_t> wire;
    int late = 0; // seconds whose work ran past their end
};

// `devices` branch monitors at 1 to `devices`, 1 selected; the others
// answer unless `silent`.
Figures run(int devices, bool silent, Watch mode, int seconds) {
    tarvo::sim::PtyServer sim;
    for (int a = 1; a <= devices; ++a)
        if (a == kSelected || !silent)
            sim.bus().addDevice(tarvo::sim::Model::Branch, a, "P" + std::to_string(a));
    tarvo::AppState state;
    tarvo::QuietOperator op;
    tarvo::NullView view;
    if (!state.port.open(sim.slavePath())) {
        std::fprintf(stderr, "cannot open %s\n", sim.slavePath().c_str());
        std::exit(1);
    }
    WireTime line(state.port);
    tarvo::BusScan scan(state, state.port, op, view, [](std::chrono::milliseconds) {});
    tarvo::PollingCycle polling(state, line, op, scan, view);
    state.devices.record(kSelected, tarvo::BranchMonitor);
    state.selection.selectedAddress = kSelected;
    state.selection.selectedKind = tarvo::BranchMonitor;

    const SystemClock clock;
    const bool watching = mode == Watch::On;
    tarvo::PanelWatch watch(state.master, line, clock, watching, kBaud);
    std::vector<tarvo::WatchedDevice> listed;
    for (int a = 1; a <= devices; ++a)
        listed.push_back({a, tarvo::BranchMonitor, "P" + std::to_string(a)});
    watch.setDevices(listed);

    int late = 0;
    const auto start = Steady::now();
    for (int s = 0; s < seconds; ++s) {
        const auto end = start + (s + 1) * 1s;
        polling.onTimer();
        if (mode != Watch::Alone)
            watch.watch(end, kSelected);
        late += Steady::now() > end ? 1 : 0;
        std::this_thread::sleep_until(end);
    }
    return {line.requests, line.wire, late};
}

void report(const char* what, int devices, bool silent, int seconds) {
    const Figures f = run(devices, silent, Watch::On, seconds);
    int fewest = seconds, most = 0;
    for (int a = 1; a <= devices; ++a) {
        if (a == kSelected)
            continue;
        const auto it = f.requests.find(a);
        const int n = it == f.requests.end() ? 0 : it->second;
        fewest = std::min(fewest, n);
        most = std::max(most, n);
    }
    const auto every = [&](int n) { return n == 0 ? 0.0 : static_cast<double>(seconds) / n; };
    std::printf("%d devices, %-22s the selected polled %d times in %d s (%d seconds overran); "
                "the other %d each read every %.2f to %.2f s; %.0f bytes a tick\n",
                devices, what, f.requests.at(kSelected) / 2, seconds, f.late, devices - 1,
                every(most), every(fewest), static_cast<double>(f.wire.size()) / seconds);
}

} // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(2, std::atoi(argv[1])) : 20;
    std::printf("panel watch at %d baud (byte times held over a pseudo-terminal), %d s a run\n",
                kBaud, seconds);
    report("all answering:", 4, false, seconds);
    report("all answering:", 8, false, seconds);
    report("silent but selected:", 4, true, seconds);
    report("silent but selected:", 8, true, seconds);
    const int quiet = std::min(seconds, 10);
    const Figures alone = run(8, false, Watch::Alone, quiet);
    const Figures off = run(8, false, Watch::Off, quiet);
    const bool same = alone.wire == off.wire;
    std::printf("8 devices, the poll alone:  %.0f bytes a tick\n",
                static_cast<double>(alone.wire.size()) / quiet);
    std::printf("8 devices, watching off:    %.0f bytes a tick, %s the poll alone\n",
                static_cast<double>(off.wire.size()) / quiet,
                same ? "byte for byte the same as" : "DIFFERENT from");
    return same ? 0 : 1;
}
