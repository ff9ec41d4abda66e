#include "session/headless_logger.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <poll.h>
#include <sys/signalfd.h>
#include <thread>
#include <unistd.h>

#include "core/text_operator.h"
#include "link/serial_port.h"
#include "link/tcp_link.h"
#include "logging/log_file.h"
#include "session/app_state.h"
#include "session/bus_engine.h"
#include "session/sampling.h"
#include "settings/settings_location.h"

namespace tarvo {
namespace {

bool isHeadlessOption(std::string_view arg) {
    return arg == "--headless" || arg == "--once" || arg == "--scan-only" || arg == "--quick" ||
           arg == "--help" || arg == "-h" || arg == "--version" || arg == "--config" ||
           arg.starts_with("--config=");
}

// SIGTERM, SIGINT and SIGHUP as a file descriptor: blocked for the whole
// process so that they arrive only here, read between transactions and waking
// any wait. A hang-up (the terminal closed, `kill -HUP` meant as "reopen")
// ends the run like SIGTERM: the log file is opened afresh at every pass
// anyway, and the queued records get their last write instead of being lost.
class SignalStop : public StopSource {
public:
    SignalStop() {
        sigemptyset(&m_set);
        sigaddset(&m_set, SIGTERM);
        sigaddset(&m_set, SIGINT);
        sigaddset(&m_set, SIGHUP);
        sigprocmask(SIG_BLOCK, &m_set, &m_previous);
        m_fd = signalfd(-1, &m_set, SFD_CLOEXEC | SFD_NONBLOCK);
    }
    ~SignalStop() override {
        if (m_fd >= 0)
            ::close(m_fd);
        sigprocmask(SIG_SETMASK, &m_previous, nullptr);
    }
    SignalStop(const SignalStop&) = delete;
    SignalStop& operator=(const SignalStop&) = delete;

    bool valid() const { return m_fd >= 0; }
    bool stopRequested() override {
        poll(0);
        return m_stopped;
    }
    void waitFor(std::chrono::milliseconds period) override {
        const auto end = std::chrono::steady_clock::now() + period;
        while (!m_stopped) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return;
            poll(static_cast<int>(left.count()));
        }
    }

private:
    void poll(int timeoutMs) {
        if (m_stopped)
            return;
        pollfd p{m_fd, POLLIN, 0};
        const int n = ::poll(&p, 1, timeoutMs);
        if (n <= 0)
            return; // time up, or EINTR from another signal: the caller loops
        signalfd_siginfo info{};
        if (::read(m_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
            m_stopped = true;
    }

    sigset_t m_set{};
    sigset_t m_previous{};
    int m_fd = -1;
    bool m_stopped = false;
};

// Test-only: TARVO_TEST_CLOCK_SCALE=N runs the logger's clock N times faster
// than the system's from the moment of the start, so tests and the bench see
// minutes of passes in seconds. Kept out of the settings file on purpose.
class ScaledClock : public Clock {
public:
    explicit ScaledClock(long scale)
        : m_scale(scale), m_start(std::time(nullptr)), m_steady(std::chrono::steady_clock::now()) {}
    std::time_t now() const override {
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - m_steady);
        return m_start + static_cast<std::time_t>(elapsed.count() * m_scale / 1000);
    }

private:
    long m_scale;
    std::time_t m_start;
    std::chrono::steady_clock::time_point m_steady;
};

long testClockScale() {
    const char* text = std::getenv("TARVO_TEST_CLOCK_SCALE");
    if (text == nullptr)
        return 1;
    char* end = nullptr;
    const long scale = std::strtol(text, &end, 10);
    return (end != text && *end == '\0' && scale >= 1 && scale <= 100000) ? scale : 1;
}

std::string records(std::size_t n) {
    return std::to_string(n) + (n == 1 ? " record" : " records");
}

std::string meters(std::size_t n) {
    return std::to_string(n) + (n == 1 ? " meter" : " meters");
}

// Qt's own options, which the window passes on to QApplication; Qt also
// takes them with two dashes.
constexpr std::string_view kQtOptionsWithValue[] = {
    "platform",    "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
    "qwindowicon", "qwindowtitle",       "session",       "style",  "stylesheet",
    "display",     "geometry",           "title"};
constexpr std::string_view kQtFlags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

} // namespace

bool wantsHeadless(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (isHeadlessOption(argv[i]))
            return true;
    return false;
}

std::string parseHeadlessArguments(const std::vector<std::string>& args, HeadlessOptions& options) {
    using Mode = HeadlessOptions::Mode;
    bool modeGiven = false;
    bool configGiven = false;
    const auto setMode = [&](Mode mode, const std::string& arg) -> std::string {
        if (modeGiven && options.mode != mode)
            return arg + " cannot be combined with the option before it";
        options.mode = mode;
        modeGiven = true;
        return {};
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string problem;
        if (arg == "--headless")
            continue;
        if (arg == "--help" || arg == "-h")
            return options.mode = Mode::Help, std::string();
        if (arg == "--version")
            return options.mode = Mode::Version, std::string();
        if (arg == "--once")
            problem = setMode(Mode::Once, arg);
        else if (arg == "--scan-only")
            problem = setMode(Mode::ScanOnly, arg);
        else if (arg == "--config" || arg.starts_with("--config=")) {
            std::string path;
            if (arg == "--config") {
                if (i + 1 >= args.size())
                    return "--config needs a file name";
                path = args[++i];
            } else {
                path = arg.substr(9);
            }
            if (path.empty())
                return "--config needs a file name";
            options.configPath = path;
            configGiven = true;
        } else if (arg == "--quick") {
            options.quick = true;
        } else if (arg == kUserConfigOption) {
            options.userConfig = true;
        } else {
            return "unknown option " + arg;
        }
        if (!problem.empty())
            return problem;
    }
    if (configGiven && options.userConfig)
        return "--config cannot be combined with --user-config";
    return {};
}

std::string checkWindowArguments(const std::vector<std::string>& args) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == kUserConfigOption)
            continue;
        std::string_view name(arg);
        if (name.starts_with("--"))
            name.remove_prefix(2);
        else if (name.starts_with("-"))
            name.remove_prefix(1);
        else
            return "unknown option " + arg;
        const std::string_view bare = name.substr(0, name.find('='));
        if (std::ranges::find(kQtFlags, name) != std::end(kQtFlags))
            continue;
        if (std::ranges::find(kQtOptionsWithValue, bare) == std::end(kQtOptionsWithValue))
            return "unknown option " + arg;
        if (bare == name && ++i >= args.size())
            return arg + " needs a value";
    }
    return {};
}

std::string headlessUsage() {
    return "Usage: tarvo [--headless] [--config PATH | --user-config] [--once | --scan-only]\n"
           "             [--quick]\n"
           "       tarvo settings backup|compare|restore ... (see tarvo settings --help)\n"
           "Without options (or with Qt's own, such as -platform or -style), Tarvo opens\n"
           "its window. With these it runs without one:\n"
           "\n"
           "  --headless       sample every meter found on the bus to the log file and/or\n"
           "                   the database on the logging interval, as the window does,\n"
           "                   until SIGTERM, SIGINT or SIGHUP\n"
           "  --config PATH    the settings file (default: Tarvo.cfg in the current folder)\n"
           "  --user-config    work in ~/.config/tarvo (XDG_CONFIG_HOME) with its Tarvo.cfg,\n"
           "                   as the window does when started from the menu\n"
           "  --once           scan, take one sample of every meter now, write it, exit\n"
           "  --scan-only      scan and print the \"Available Meters\" lines, then exit;\n"
           "                   devices of other kinds follow as \"Not listed: ADDR [TEXT]\"\n"
           "  --quick          scan quickly: wait quick_scan_ms (50 ms) for an answer at\n"
           "                   each address instead of the full reply time-out\n"
           "  --help           this text\n"
           "  --version        the program's version\n"
           "\n"
           "The port, the log file, the database and the interval come from the settings\n"
           "file, as the window saves it. Messages go to standard error, one line each.\n"
           "Failed reads and recoveries, and with \"watch 1\" every meter's alarm changes\n"
           "read between passes, also go to the journal beside the log file and to the\n"
           "settings' alarm_command.\n"
           "\n"
           "Exit status: 0 stopped by a signal or done; 1 --once could not write every\n"
           "record; 2 bad command line or unreadable settings; 3 the port did not open\n"
           "(3 attempts, 2 s apart); 4 no log file, database or MQTT server is set up;\n"
           "5 --once or --scan-only found no meter, or --once read none.\n"
           "--headless with no meter keeps asking the bus and says so at every pass.\n";
}

HeadlessLogger::HeadlessLogger(AppState& state, Link& bus, TextOperator& op, const Clock& clock,
                               StopSource& stop, std::FILE* out, std::chrono::milliseconds tick)
    : m_state(state), m_bus(bus), m_op(op), m_clock(clock), m_stop(stop), m_out(out), m_tick(tick),
      m_scan(state, bus, op, m_view), m_keeper(state, bus, op), m_hook(op, clock) {
    m_scan.setStopCheck([this] { return m_stop.stopRequested(); });
}

void HeadlessLogger::ensureLinkOpen() {
    m_keeper.keepOpen();
}

bool HeadlessLogger::openAtStart(bool quick) {
    for (int attempt = 1; attempt <= kOpenAttempts; ++attempt) {
        m_scan.openPort(m_state.settings.portName, quick);
        if (m_bus.isOpen())
            return true;
        if (attempt < kOpenAttempts)
            m_stop.waitFor(kOpenRetryDelay);
        if (m_stop.stopRequested())
            return false;
    }
    m_op.finish();
    m_op.note("Gave up opening " + m_state.settings.portName + " after " +
              std::to_string(kOpenAttempts) + " attempts");
    return false;
}

int HeadlessLogger::run(const HeadlessOptions& options) {
    using Mode = HeadlessOptions::Mode;
    tzset(); // local-time conversions of the sampling and the log file
    Settings& settings = m_state.settings;
    m_state.devices.clear();

    std::error_code error;
    if (!std::filesystem::exists(options.configPath, error)) {
        m_op.note("Cannot read the settings: " + options.configPath + " does not exist");
        return kExitUsage;
    }
    const SettingsLoadReport report = settings.load(options.configPath);
    if (!report.fileProblem.empty()) {
        m_op.note("Cannot read the settings: " + options.configPath + " " + report.fileProblem);
        return kExitUsage;
    }
    // Refused lines are said once and the rest is used, as the window does.
    if (const std::string problem = report.message(); !problem.empty())
        m_op.showMessage(problem);
    const bool logging = settings.fileLoggingActive || settings.databaseLogState == Active ||
                         !settings.mqttServer.empty();
    if (options.mode != Mode::ScanOnly && !logging) {
        m_op.note("Logging is not set up in " + options.configPath +
                  ": choose a log file or a database in the window first");
        return kExitNotConfigured;
    }
    if (settings.portName.empty()) {
        m_op.note("No port is set in " + options.configPath);
        return kExitUsage;
    }
    // Started before the port opens: its connect runs meanwhile, and a server
    // it cannot name stops the logger before the bus is scanned.
    if (options.mode != Mode::ScanOnly && !settings.mqttServer.empty()) {
        std::string why;
        m_state.mqtt = startMqttSink(settings, settings.location, why);
        if (!m_state.mqtt) {
            m_op.note(why);
            return kExitUsage;
        }
    }

    if (!openAtStart(options.quick))
        return m_stop.stopRequested() ? finish(false) : kExitPortFailed;

    const std::string noMeter = "No meter answered on " + settings.portName + " up to address " +
                                std::to_string(std::min(settings.scan, BusScan::kMaxAddress));
    if (options.mode == Mode::ScanOnly) {
        for (const std::string& line : m_state.meters.lines())
            std::fprintf(m_out, "%s\n", line.c_str());
        for (const std::string& line : m_scan.notListed())
            std::fprintf(m_out, "%s\n", line.c_str());
        std::fflush(m_out);
        if (m_state.meters.count() > 0 || m_stop.stopRequested())
            return kExitClean;
        m_op.note(noMeter);
        return kExitNoMeter;
    }

    m_watch = std::make_unique<PanelWatch>(m_state.master, m_bus, m_clock, settings.watch,
                                           SerialPort::baudRate(settings.speedCode));
    m_watch->setStopCheck([this] { return m_stop.stopRequested(); });
    Sampler sampler(m_state, m_bus, m_op, m_clock);
    sampler.setStopCheck([this] { return m_stop.stopRequested(); });
    sampler.setDroppedHint("The count is said when the logger stops.");
    announceList();

    if (options.mode == Mode::Once) {
        const long good = m_state.counters.goodCount;
        sampler.takeSamples();
        reportPass(sampler);
        const int status = finish(true);
        if (status != kExitClean || m_stop.stopRequested() || m_state.counters.goodCount > good)
            return status;
        m_op.note(m_state.meters.count() == 0 ? noMeter : "No meter answered the sample read");
        return kExitNoMeter;
    }
    while (!m_stop.stopRequested()) {
        const auto tickEnd = std::chrono::steady_clock::now() + m_tick;
        const bool wasLost = m_state.link.portLost;
        ensureLinkOpen();
        if (wasLost && !m_state.link.portLost && m_bus.isOpen()) {
            // The meters may have changed while it was away (a gateway reset
            // during a name read, a panel powered meanwhile).
            m_op.note("Reopened " + settings.portName + "; scanning the bus again");
            m_scan.scanBus();
            announceList();
        }
        const bool due = sampler.nextSampleTime() == 0 || m_clock.now() >= sampler.nextSampleTime();
        // While a lost port is away the pass still runs: its reads fail at
        // once and are counted, and no rows are invented.
        const bool linkUp = m_bus.isOpen() || m_state.link.portLost;
        if (linkUp && !m_state.selection.scanInProgress && due) {
            m_op.endRound();
            if (m_state.meters.count() == 0)
                m_op.showMessage(noMeter + "; asking every address again between passes");
            sampler.takeSamples();
            reportPass(sampler);
        } else if (m_bus.isOpen() && !m_stop.stopRequested()) {
            // The watch before the probe, which may take the rest of the
            // tick and more (a silent address: the 800 ms time-out).
            if (settings.watch)
                tell(m_watch->watch(tickEnd));
            probeNextAddress(sampler.nextSampleTime());
            announceList();
        }
        m_hook.check();
        if (!settings.watch) {
            m_stop.waitFor(m_tick);
            continue;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            tickEnd - std::chrono::steady_clock::now());
        if (left.count() > 0)
            m_stop.waitFor(left);
    }
    // The last chance for what the sinks could not take so far.
    if (!m_state.fileQueue.empty() || !m_state.databaseQueue.empty())
        sampler.writeQueued();
    return finish(false);
}

void HeadlessLogger::announceList() {
    std::vector<std::string> lines = m_state.meters.lines();
    if (m_announcedOnce && lines == m_announced)
        return;
    m_announcedOnce = true;
    m_announced = std::move(lines);
    if (m_watch)
        m_watch->setDevices(watchedDevices(m_state.meters));
    const Settings& s = m_state.settings;
    std::string line = "Sampling " + meters(m_announced.size()) + " on " + s.portName;
    // A gateway keeps its own line settings; Tarvo's are not used there.
    if (!isGatewayName(s.portName))
        line += " (" + std::to_string(SerialPort::baudRate(s.speedCode)) + " baud, " +
                (s.parityCode == Link::kParityOdd    ? "odd parity"
                 : s.parityCode == Link::kParityEven ? "even parity"
                                                     : "no parity") +
                ")";
    m_op.note(line + " every " + std::to_string(Sampler::intervalUsed(s.interval)) + " min");
}

std::time_t HeadlessLogger::probeCostGuess() const {
    const long timeoutMs = m_state.settings.replyTimeout > 0 ? m_state.settings.replyTimeout : 800;
    // 4 x (800 ms + 100 ms of frame) = 3.6 s, rounded up, plus the second
    // the clock may tick over meanwhile: 5 s. The tick stands for one second
    // of the logger's clock, which a test may run faster than the bus.
    const long tickMs = std::max(1L, static_cast<long>(m_tick.count()));
    return (4 * (timeoutMs + 100) + tickMs - 1) / tickMs + 1;
}

void HeadlessLogger::probeNextAddress(std::time_t nextPass) {
    const int depth = std::min(m_state.settings.scan, BusScan::kMaxAddress);
    if (depth < 1 || nextPass == 0)
        return;
    const std::time_t start = m_clock.now();
    if (nextPass - start <= std::max(m_probeCost, probeCostGuess()))
        return;
    std::vector<bool> listed(static_cast<std::size_t>(depth) + 1, false);
    for (const std::string& line : m_state.meters.lines())
        if (const int a = MeterList::lineAddress(line); a >= 1 && a <= depth)
            listed[static_cast<std::size_t>(a)] = true;
    for (int step = 0; step < depth; ++step) {
        m_probeAddress = m_probeAddress % depth + 1;
        if (listed[static_cast<std::size_t>(m_probeAddress)])
            continue;
        int line = -1;
        DeviceKind kind = NoDevice;
        m_scan.listIfMeter(m_probeAddress, line, kind);
        m_probeCost = std::max(m_probeCost, m_clock.now() - start + 1);
        return;
    }
}

void HeadlessLogger::reportPass(const Sampler& sampler) {
    const Settings& s = m_state.settings;
    const LogFileResult& file = sampler.lastFileResult();
    if (s.fileLoggingActive && m_state.fileQueue.empty() && file.written > 0 && m_fileFailing) {
        m_fileFailing = false;
        m_op.note("The log file " + s.saveFile + " is written again");
    } else if (s.fileLoggingActive && !m_state.fileQueue.empty()) {
        m_fileFailing = true;
        const std::string why = file.notRegularFile ? "it is not a regular file"
                                : file.error != 0   ? std::strerror(file.error)
                                                    : "it cannot be opened";
        // The same text every pass: the operator prints it once and then
        // sums the repeats up hourly.
        m_op.showMessage("Cannot write the log file " + s.saveFile + ": " + why +
                         ". Its records wait in the queue.");
    }
    if (m_state.mqtt) {
        // Said when it changes: a broker away for a day is one message.
        const MqttSink::Status mqtt = m_state.mqtt->status();
        if (mqtt.problem != m_mqttProblem && !mqtt.problem.empty())
            m_op.showMessage(mqtt.problem + " The readings wait in the queue.");
        else if (mqtt.problem.empty() && !m_mqttProblem.empty())
            m_op.note("The MQTT server takes readings again");
        m_mqttProblem = mqtt.problem;
    }
    std::vector<JournalEntry> entries;
    for (const Sampler::Read& read : sampler.lastReads()) {
        const std::vector<JournalEntry> found = m_watch->noteResult(read.address, read.result);
        entries.insert(entries.end(), found.begin(), found.end());
    }
    tell(entries);
}

void HeadlessLogger::tell(const std::vector<JournalEntry>& entries) {
    const Settings& s = m_state.settings;
    if (!entries.empty() || !m_journal.waiting().empty()) {
        const std::string path = journalPath(s.saveFile);
        if (m_journal.append(path, logDelimiter(s.format), entries)) {
            if (m_journalFailing)
                m_op.note("The journal file " + path + " is written again");
            m_journalFailing = false;
        } else {
            m_journalFailing = true;
            m_op.showMessage("Cannot write the journal file " + path + ": " +
                             m_journal.lastError() + ". Its entries wait.");
        }
    }
    for (const JournalEntry& e : entries) {
        m_op.note(journalMessage(e));
        if (m_state.mqtt)
            m_state.mqtt->queueAlarm(mqttAlarmEvent(e, s.location));
    }
    m_hook.run(s.alarmCommand, entries, s.location);
}

void HeadlessLogger::awaitAlarmCommands() {
    m_hook.check();
    if (m_hook.running() == 0)
        return;
    m_op.note("Waiting for the alarm command to end (at most " +
              std::to_string(AlarmHook::kHangLimit.count()) + " s)");
    // Each check kills what ran past the limit and collects what ended.
    for (; m_hook.running() > 0; m_hook.check())
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

int HeadlessLogger::finish(bool once) {
    m_op.finish();
    if (!m_journal.waiting().empty())
        tell({});
    awaitAlarmCommands();
    if (const std::size_t n = m_journal.waiting().size() + m_journal.dropped(); n > 0)
        m_op.note(std::to_string(n) + (n == 1 ? " journal entry" : " journal entries") +
                  " could not be written to the journal file " +
                  journalPath(m_state.settings.saveFile));
    const std::size_t file = m_state.fileQueue.size();
    const std::size_t database = m_state.databaseQueue.size();
    if (file > 0)
        m_op.note(records(file) + " could not be written to the log file " +
                  m_state.settings.saveFile);
    if (database > 0)
        m_op.note(records(database) + " could not be written to the database " +
                  m_state.settings.dsn);
    const std::size_t mqtt = m_state.mqtt ? m_state.mqtt->stop() : 0;
    if (mqtt > 0)
        m_op.note(std::to_string(mqtt) + (mqtt == 1 ? " MQTT message" : " MQTT messages") +
                  " could not be sent to " + m_state.settings.mqttServer);
    if (m_state.counters.droppedCount > 0)
        m_op.note(records(m_state.counters.droppedCount) +
                  " were dropped earlier while a sink was not taking them");
    if (!once)
        m_op.note("Stopped");
    return once && (file > 0 || database > 0 || mqtt > 0) ? kExitUnwritten : kExitClean;
}

int headlessMain(int argc, char** argv, std::string_view version) {
    HeadlessOptions options;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (const std::string problem = parseHeadlessArguments(args, options); !problem.empty()) {
        std::fprintf(stderr, "tarvo: %s\nTry 'tarvo --help'.\n", problem.c_str());
        return kExitUsage;
    }
    if (options.mode == HeadlessOptions::Mode::Help) {
        std::fputs(headlessUsage().c_str(), stdout);
        return kExitClean;
    }
    if (options.mode == HeadlessOptions::Mode::Version) {
        std::printf("Tarvo %.*s\n", static_cast<int>(version.size()), version.data());
        return kExitClean;
    }
    if (options.userConfig) {
        const UserSettingsFile user = enterUserSettingsFolder();
        if (!user.problem.empty()) {
            std::fprintf(stderr, "tarvo: %s\n", user.problem.c_str());
            return kExitUsage;
        }
        options.configPath = user.path;
    }
    SignalStop stop;
    if (!stop.valid()) {
        std::fprintf(stderr, "tarvo: cannot watch for SIGTERM, SIGINT and SIGHUP: %s\n",
                     std::strerror(errno));
        return kExitUsage;
    }
    const long scale = testClockScale();
    const ScaledClock scaled(scale);
    // The system's own clock unless a test speeds it up: a logger started
    // before the time was set must stamp its records with the set time.
    const SystemClock system;
    const Clock& clock = scale == 1 ? static_cast<const Clock&>(system) : scaled;
    TextOperator op(clock);
    if (scale != 1)
        op.note("TARVO_TEST_CLOCK_SCALE: the clock runs " + std::to_string(scale) +
                " times faster (for tests only)");
    // The state is large (trace ring, queues, the driver manager); it lives
    // on the heap, owned here for the whole run.
    const auto state = std::make_unique<AppState>();
    HeadlessLogger logger(*state, state->port, op, clock, stop, stdout,
                          std::chrono::milliseconds(std::max(5L, 1000 / scale)));
    // The run is a job of the bus thread, as the window's work is; this
    // thread only waits. SIGTERM and SIGINT stay blocked in both threads
    // (the mask is inherited), so `stop` takes them on the bus thread.
    int status = kExitClean;
    BusEngine engine(nullptr, BusEngine::Mode::Thread);
    engine.call([&] { status = logger.run(options); });
    return status;
}

} // namespace tarvo
