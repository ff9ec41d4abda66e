// The MQTT sink's cost: CPU per pass of 32 devices on the bus thread (which
// only builds the payloads and hands them over) and in the whole process
// (the sink's thread publishing and taking the acknowledgements), against a
// mosquitto started here on a free port; and the memory the queue takes
// while the broker is away. Run by hand: mqtt_bench [passes].
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "devices/device_kind.h"
#include "logging/mqtt_payloads.h"
#include "logging/mqtt_sink.h"
#include "sim/tcp_server.h"

using namespace tarvo;
using namespace std::chrono_literals;

namespace {

double cpuMs(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

long residentKb() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// 16 branch monitors and 16 circuit meters, as one pass reads them.
std::vector<MqttSink::Reading> pass(std::time_t time) {
    std::vector<MqttSink::Reading> readings;
    for (int i = 1; i <= 32; ++i) {
        auto s = std::make_shared<LogSample>();
        s->kind = i <= 16 ? BranchMonitor : CircuitMeter6;
        s->address = i;
        s->time = time;
        for (std::size_t b = 0; b < s->currents.size(); ++b)
            s->currents[b] = static_cast<float>(b) * 1.25f + static_cast<float>(i);
        for (std::size_t v = 0; v < s->meterValues.size(); ++v)
            s->meterValues[v] = 230.0f + static_cast<float>(v);
        readings.push_back({s, "Panel " + std::to_string(i)});
    }
    return readings;
}

} // namespace

int main(int argc, char** argv) {
    const int passes = argc > 1 ? std::atoi(argv[1]) : 200;
    const int port = sim::freeLoopbackPort();
    const std::string conf = "/tmp/tarvo-mqtt-bench-" + std::to_string(::getpid()) + ".conf";
    std::ofstream(conf) << "listener " << port
                        << " 127.0.0.1\nallow_anonymous true\nlog_dest none\n";
    const pid_t broker = ::fork();
    if (broker == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        [[maybe_unused]] FILE* quiet = ::freopen("/dev/null", "w", stderr);
        ::execlp("mosquitto", "mosquitto", "-c", conf.c_str(), nullptr);
        ::_exit(127);
    }
    std::this_thread::sleep_for(500ms);
    MqttOptions options;
    options.host = "127.0.0.1";
    options.port = port;
    options.topics = {"tarvo", "Bench"};
    {
        MqttSink sink(options);
        while (!sink.status().connected)
            std::this_thread::sleep_for(10ms);
        double caller = 0;
        const double process0 = cpuMs(CLOCK_PROCESS_CPUTIME_ID);
        for (int p = 0; p < passes; ++p) {
            const auto readings = pass(1700000000 + 60 * p);
            const double t0 = cpuMs(CLOCK_THREAD_CPUTIME_ID);
            sink.queuePass(readings);
            caller += cpuMs(CLOCK_THREAD_CPUTIME_ID) - t0;
        }
        while (sink.status().waiting > 0)
            std::this_thread::sleep_for(5ms);
        const double process = cpuMs(CLOCK_PROCESS_CPUTIME_ID) - process0;
        std::printf("%d passes of 32 devices, every message acknowledged\n", passes);
        std::printf("bus thread (hand-over): %.3f ms CPU per pass\n", caller / passes);
        std::printf("whole process, sink thread included: %.3f ms CPU per pass (aim: under 5 ms)\n",
                    (process) / passes);
    }
    ::kill(broker, SIGTERM);
    ::waitpid(broker, nullptr, 0);
    std::remove(conf.c_str());

    // The broker away: passes wait in the queue. 10 minutes at the shortest
    // interval (1 min) are 10 passes; the full bound is 92,160 readings.
    options.port = sim::freeLoopbackPort(); // nobody listens
    MqttSink away(options);
    const long before = residentKb();
    const int full = static_cast<int>(SampleQueue::kDefaultBound / 32);
    for (int p = 0; p < full; ++p)
        away.queuePass(pass(p));
    const long grown = residentKb() - before;
    const double perReading =
        1024.0 * static_cast<double>(grown) / static_cast<double>(away.status().waiting);
    std::printf("full queue (%zu readings, 2 days of 32 devices at 1 min): %ld kB more resident, "
                "%.0f bytes per reading\n",
                away.status().waiting, grown, perReading);
    std::printf("10-minute outage at 1-minute passes: 320 readings, about %.0f kB\n",
                320 * perReading / 1024);
    return 0;
}
