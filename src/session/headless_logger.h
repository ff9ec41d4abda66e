#pragma once

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "session/alarm_hook.h"
#include "session/bus_scan.h"
#include "session/journal_file.h"
#include "session/link_keeper.h"
#include "session/panel_watch.h"
#include "session/quiet_views.h"

namespace tarvo {

struct AppState;
class Link;
class Sampler;
class TextOperator;

/// What `tarvo` does when started with one of the logger's options instead
/// of the window.
struct HeadlessOptions {
    enum class Mode { Run, Once, ScanOnly, Help, Version };
    Mode mode = Mode::Run;
    std::string configPath = "Tarvo.cfg";
    /// --user-config: work in the user's settings folder with its settings
    /// file (enterUserSettingsFolder), as the window started from the menu.
    bool userConfig = false;
    /// --quick: the scan at start is the quick scan.
    bool quick = false;
};

/// The exit statuses of the logger.
enum HeadlessExit : int {
    kExitClean = 0,         ///< stopped by SIGTERM/SIGINT, or --once/--scan-only done
    kExitUnwritten = 1,     ///< --once: some records could not be written
    kExitUsage = 2,         ///< bad command line, or settings that cannot be read
    kExitPortFailed = 3,    ///< the port did not open after kOpenAttempts tries
    kExitNotConfigured = 4, ///< no log file, database or MQTT server is set up
    kExitNoMeter = 5,       ///< --once/--scan-only: no meter answered, or --once read none
};

/// True when the command line asks for the logger (or its --help or
/// --version) rather than the window. Decided before any Qt object exists,
/// so the logger starts on a machine without a display.
bool wantsHeadless(int argc, char** argv);

/// Reads the logger's options (argv without the program name). Returns an
/// empty text on success, else what is wrong with them.
std::string parseHeadlessArguments(const std::vector<std::string>& args, HeadlessOptions& options);

/// The --help text.
std::string headlessUsage();

/// What is wrong with the window's command line (argv without the program
/// name): an empty text when every argument is --user-config or one of Qt's
/// own options (-platform NAME, -style NAME, --reverse ...), else "unknown
/// option X". Decided before any Qt object exists, since Qt aborts without
/// a display before it could say anything about a mistyped option.
std::string checkWindowArguments(const std::vector<std::string>& args);

/// How the logger waits between ticks and learns that it is to stop. The
/// program's own waits on SIGTERM, SIGINT and SIGHUP; any wait ends early
/// when one arrives.
class StopSource {
public:
    virtual ~StopSource() = default;
    /// Whether a stop was asked for. Never blocks.
    virtual bool stopRequested() = 0;
    /// Waits `period`, less when a stop is asked for meanwhile.
    virtual void waitFor(std::chrono::milliseconds period) = 0;
};

/// The sampling of every listed device to the log file and the database
/// without the window: the same settings file, the same port open and bus
/// scan (BusScan), the same sampling pass, queues, writers and schedule
/// (Sampler), with messages as lines of a TextOperator and a plain loop
/// instead of the window's timer. No device is polled for display.
///
/// Every transaction blocks the loop; a stop asked for during a scan or a
/// pass is taken after the transaction under way, and one last write is
/// given to the records still queued. The log file is opened without
/// blocking, so nothing else holds a stop longer.
///
/// The list is not fixed by the scan at the start. When a lost port is back
/// the bus is scanned again, and between passes one address at a time up to
/// the scan depth that is not listed is asked for its slave ID, one per
/// tick, only when the next pass is further away than the longest such
/// request took so far (so a pass is never delayed). A silent address costs
/// the 800 ms time-out plus the 1 s tick, so all 247 are asked within about
/// 8 minutes, well inside the hour even when most of it goes to passes. A
/// meter that answers is listed and sampled from the next pass, and
/// "Sampling N meters" is said again. With no meter listed the logger keeps asking and says so
/// at every pass, repeats summed up hourly: a restart by the service would
/// do no more, and the journal shows why nothing is logged.
///
/// Failures are said when they start (the log file cannot be written, a
/// lost port), repeats at most once an hour, and a line says when they end
/// (written again, port reopened).
///
/// The devices' own events go to the alarm journal beside the log file
/// (journalPath), one line each on standard error, to the settings'
/// `alarm_command` (AlarmHook) and to the MQTT sink when one runs: a
/// failed read and the first good one after it ("Device at address [3]
/// timed out", "... answers again") as the passes see them, and with `watch
/// 1` every listed device's alarm, warning and phase changes. One
/// PanelWatch per run derives them all, so a device both sampled and
/// watched gives one entry per event. Its reads fill the rest of each tick
/// that no pass takes, before the probe of an unlisted address: a watch
/// tick ends when the second does instead of waiting a whole tick more.
class HeadlessLogger {
public:
    /// Opening the port at start: 3 attempts, 2 s apart, then kExitPortFailed
    /// (a service manager restarts the program later). After the start a
    /// lost port is tried again at every tick, without giving up.
    static constexpr int kOpenAttempts = 3;
    static constexpr std::chrono::milliseconds kOpenRetryDelay{2000};

    /// `bus` is the port opened, scanned and sampled (the program passes
    /// state.port); `out` takes the --scan-only list. `tick` is how often the
    /// loop looks at the port and the schedule (1 s, like the window's timer).
    HeadlessLogger(AppState& state, Link& bus, TextOperator& op, const Clock& clock,
                   StopSource& stop, std::FILE* out = stdout,
                   std::chrono::milliseconds tick = std::chrono::milliseconds(1000));

    /// Runs the mode of `options` (Run, Once or ScanOnly) to its end and
    /// returns the exit status.
    int run(const HeadlessOptions& options);

private:
    /// The first step of every tick, as in the window's: a lost adapter is
    /// closed, reported once and reopened by itself once it is back.
    void ensureLinkOpen();
    bool openAtStart(bool quick);
    int finish(bool once);
    /// "Sampling N meters on ..." when the list differs from the one said last.
    void announceList();
    /// Asks the next unlisted address for its slave ID when the pass due at
    /// `nextPass` (0: none yet) leaves time for it.
    void probeNextAddress(std::time_t nextPass);
    /// Says the failures that started and ended in the latest pass.
    void reportPass(const Sampler& sampler);
    /// Journal entries to the journal file, standard error, the alarm
    /// command and the MQTT sink; with none, retries the entries waiting
    /// for the journal file.
    void tell(const std::vector<JournalEntry>& entries);
    /// Lets alarm commands still running end (each is killed after
    /// AlarmHook::kHangLimit), so a stop does not lose the last alarm's mail.
    void awaitAlarmCommands();

    /// A first guess of what a probe may take, in clock seconds (ticks): the
    /// slave ID request and the name reads after an answer, 4 time-outs at
    /// most.
    std::time_t probeCostGuess() const;

    AppState& m_state;
    Link& m_bus;
    TextOperator& m_op;
    const Clock& m_clock;
    StopSource& m_stop;
    std::FILE* m_out;
    std::chrono::milliseconds m_tick;
    NullView m_view; // nothing to show: --scan-only prints the list itself
    BusScan m_scan;
    LinkKeeper m_keeper;
    std::vector<std::string> m_announced; // the list as "Sampling N meters" said it
    bool m_announcedOnce = false;
    int m_probeAddress = 0;      // the address asked last
    std::time_t m_probeCost = 0; // the longest probe so far, in clock seconds
    bool m_fileFailing = false;
    std::string m_mqttProblem;           // the MQTT sink's last problem said
    std::unique_ptr<PanelWatch> m_watch; // made once the settings give the speed
    JournalWriter m_journal;
    bool m_journalFailing = false;
    AlarmHook m_hook;
};

/// The logger as a program: options, signals, clock and operator around
/// HeadlessLogger::run. `version` is what --version prints.
int headlessMain(int argc, char** argv, std::string_view version);

} // namespace tarvo
