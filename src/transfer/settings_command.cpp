#include "transfer/settings_command.h"

#include <memory>
#include <string_view>
#include <unistd.h>

#include "core/clock.h"
#include "link/open_failure.h"
#include "session/app_state.h"
#include "session/bus_engine.h"
#include "transfer/settings_file.h"

namespace tarvo {
namespace {

void say(const std::string& text) {
    std::fputs(text.c_str(), stderr);
    if (!text.empty() && text.back() != '\n')
        std::fputc('\n', stderr);
}

int speedCodeFor(std::string_view baud) {
    if (baud == "2400")
        return Link::kSpeed2400;
    if (baud == "4800")
        return Link::kSpeed4800;
    if (baud == "9600")
        return Link::kSpeed9600;
    if (baud == "19200")
        return Link::kSpeed19200;
    return -1;
}

int parityCodeFor(std::string_view parity) {
    if (parity == "none")
        return Link::kParityNone;
    if (parity == "odd")
        return Link::kParityOdd;
    if (parity == "even")
        return Link::kParityEven;
    return -1;
}

bool readFile(const std::string& path, DeviceSettings& out) {
    if (auto problem = readSettingsFile(path, out)) {
        say("Refused: " + problem->message(path) + ". Nothing was written.");
        return false;
    }
    return true;
}

// The device side of a command: the port opened, the device read.
class DeviceSession {
public:
    explicit DeviceSession(const SettingsOptions& options)
        : m_options(options), m_state(std::make_unique<AppState>()) {}

    // 0 when the port is open and `out` holds what the device holds.
    int read(DeviceSettings& out) {
        const OpenResult opened =
            m_state->port.open(m_options.port, m_options.speedCode, m_options.parityCode);
        if (!opened) {
            say(openFailureText(m_options.port, opened,
                                lookUpPortFacts(m_options.port, opened.error)));
            return kSettingsCommFailure;
        }
        const DeviceReadResult result = readDeviceSettings(access(), m_clock, out);
        if (!result.ok() && m_state->port.lost()) {
            // A closed or reset connection reads as a time-out to the master:
            // what happened to the link is the cause to give.
            const std::string cause = m_state->port.lostCause();
            say("Reading the device at address " + std::to_string(m_options.address) +
                " failed: " + (cause.empty() ? "the line hung up" : cause) + ".");
            return kSettingsCommFailure;
        }
        if (!result.ok()) {
            say(result.problem);
            return kSettingsCommFailure;
        }
        return 0;
    }

    DeviceAccess access() {
        return {m_state->master, m_state->port, m_state->devices, m_options.address};
    }
    const Clock& clock() const { return m_clock; }

private:
    const SettingsOptions& m_options;
    std::unique_ptr<AppState> m_state; // large (trace ring, queues): on the heap
    SystemClock m_clock;
};

int backup(const SettingsOptions& options) {
    DeviceSession session(options);
    DeviceSettings device;
    if (const int status = session.read(device))
        return status;
    const std::string& path = options.files[0];
    if (const std::string problem = writeSettingsFile(path, device); !problem.empty()) {
        say(problem);
        return kSettingsFileRefused;
    }
    std::printf("Saved the settings of the %s at address %d to %s\n", kindName(device.kind).c_str(),
                device.address, path.c_str());
    return kSettingsSame;
}

int report(const std::vector<SettingDifference>& differences, const char* first,
           const char* second) {
    std::fputs(describeDifferences(differences, first, second).c_str(), stdout);
    std::printf("Settings that differ: %zu\n", differences.size());
    return differences.empty() ? kSettingsSame : kSettingsDiffer;
}

int compare(const SettingsOptions& options) {
    DeviceSettings file;
    if (!readFile(options.files[0], file))
        return kSettingsFileRefused;
    if (options.files.size() == 2) {
        DeviceSettings other;
        if (!readFile(options.files[1], other))
            return kSettingsFileRefused;
        if (auto problem = kindProblem(file.kind, other.kind, "the first file", "the second")) {
            say("Refused: " + *problem);
            return kSettingsFileRefused;
        }
        return report(compareSettings(file, other), "first", "second");
    }
    DeviceSession session(options);
    DeviceSettings device;
    if (const int status = session.read(device))
        return status;
    if (auto problem = kindProblem(file.kind, device.kind)) {
        say("Refused: " + *problem);
        return kSettingsFileRefused;
    }
    return report(compareSettings(file, device), "file", "device");
}

bool confirmed(std::FILE* in, std::size_t count, int address) {
    std::printf("Settings to write: %zu. Write them to the device at address %d? [y/N] ", count,
                address);
    std::fflush(stdout);
    char answer[16] = {};
    if (std::fgets(answer, sizeof answer, in) == nullptr)
        return false;
    return answer[0] == 'y' || answer[0] == 'Y';
}

int restore(const SettingsOptions& options, std::FILE* in) {
    DeviceSettings file;
    if (!readFile(options.files[0], file))
        return kSettingsFileRefused;
    DeviceSession session(options);
    DeviceSettings device;
    if (const int status = session.read(device))
        return status;
    const RestorePlan plan = planRestore(file, device, options.names);
    if (!plan.refused.empty()) {
        say("Refused: " + plan.refused + ". Nothing was written.");
        return kSettingsFileRefused;
    }
    std::fputs(describePlan(plan).c_str(), stdout);
    if (plan.writes.empty()) {
        std::printf("Nothing to write: the device holds the file's settings\n");
        return plan.locked.empty() ? kSettingsSame : kSettingsDiffer;
    }
    if (!options.yes) {
        if (::isatty(::fileno(in)) == 0) {
            say("Nothing was written: confirm on a terminal or give --yes");
            return kSettingsUsage;
        }
        if (!confirmed(in, plan.writes.size(), options.address)) {
            std::printf("Nothing was written\n");
            return kSettingsDiffer;
        }
    }
    const RestoreReport result = executeRestore(session.access(), session.clock(), plan, file);
    std::fputs(describeRestore(result).c_str(), stdout);
    if (!result.failed.empty() || !result.readBack.ok())
        return kSettingsCommFailure;
    return result.notTaken.empty() && plan.locked.empty() ? kSettingsSame : kSettingsDiffer;
}

} // namespace

bool wantsSettingsCommand(int argc, char** argv) {
    return argc >= 2 && std::string_view(argv[1]) == "settings";
}

std::string parseSettingsArguments(const std::vector<std::string>& args, SettingsOptions& options) {
    using Action = SettingsOptions::Action;
    options = SettingsOptions{};
    options.speedCode = Link::kSpeed9600;
    options.parityCode = Link::kParityNone;
    if (args.empty())
        return "settings needs backup, compare or restore";
    const std::string& action = args[0];
    if (action == "--help" || action == "-h")
        return options.action = Action::Help, std::string();
    if (action == "backup")
        options.action = Action::Backup;
    else if (action == "compare")
        options.action = Action::Compare;
    else if (action == "restore")
        options.action = Action::Restore;
    else
        return "unknown settings action " + action;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool takesValue =
            arg == "--port" || arg == "--address" || arg == "--speed" || arg == "--parity";
        if (takesValue && i + 1 >= args.size())
            return arg + " needs a value";
        if (arg == "--port") {
            options.port = args[++i];
        } else if (arg == "--address") {
            const std::string& text = args[++i];
            char* end = nullptr;
            const long address = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || address < 1 || address > 247)
                return "--address must be 1 to 247";
            options.address = static_cast<int>(address);
        } else if (arg == "--speed") {
            options.speedCode = speedCodeFor(args[++i]);
            if (options.speedCode < 0)
                return "--speed must be 2400, 4800, 9600 or 19200";
        } else if (arg == "--parity") {
            options.parityCode = parityCodeFor(args[++i]);
            if (options.parityCode < 0)
                return "--parity must be none, odd or even";
        } else if (arg == "--yes" && options.action == Action::Restore) {
            options.yes = true;
        } else if (arg == "--names" && options.action == Action::Restore) {
            options.names = true;
        } else if (arg.starts_with("-")) {
            return "unknown option " + arg + " for settings " + action;
        } else {
            options.files.push_back(arg);
        }
    }
    const bool twoFiles = options.action == Action::Compare && options.files.size() == 2;
    if (options.files.size() != 1 && !twoFiles)
        return "settings " + action + " needs one file" +
               (options.action == Action::Compare ? " (or two to compare)" : "");
    if (twoFiles && !options.port.empty())
        return "comparing two files needs no port";
    if (!twoFiles && (options.port.empty() || options.address == 0))
        return "settings " + action + " needs --port and --address";
    return {};
}

std::string settingsUsage() {
    return "Usage: tarvo settings backup  --port NAME --address N [LINE] FILE\n"
           "       tarvo settings compare --port NAME --address N [LINE] FILE\n"
           "       tarvo settings compare FILE FILE\n"
           "       tarvo settings restore --port NAME --address N [LINE] [--names] [--yes] FILE\n"
           "LINE: --speed 2400|4800|9600|19200 (9600) --parity none|odd|even (none)\n"
           "\n"
           "  backup   read every setting of the device and save it to FILE\n"
           "  compare  show the settings that differ between FILE and the device\n"
           "           (or between two files); nothing is written\n"
           "  restore  write the settings of FILE that differ to the device, after\n"
           "           showing them and asking; then read them back\n"
           "  --names  restore the names too (by default the device keeps its own)\n"
           "  --yes    do not ask; without a terminal and without --yes nothing is written\n"
           "\n"
           "Exit status: 0 done, or no differences; 1 differences found (compare), or left\n"
           "by a restore (declined, locked, or not taken by the device); 2 bad command line,\n"
           "or a restore nobody confirmed; 3 the port did not open or the device did not\n"
           "answer; 4 the file was refused (damaged, foreign, another kind, values out of\n"
           "range) or could not be written.\n";
}

int settingsMain(int argc, char** argv, std::FILE* in) {
    SettingsOptions options;
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (const std::string problem = parseSettingsArguments(args, options); !problem.empty()) {
        std::fprintf(stderr, "tarvo: %s\nTry 'tarvo settings --help'.\n", problem.c_str());
        return kSettingsUsage;
    }
    if (options.action == SettingsOptions::Action::Help) {
        std::fputs(settingsUsage().c_str(), stdout);
        return kSettingsSame;
    }
    // The device's reads and writes run on a bus thread, as the window's
    // do; this thread waits for them.
    int status = kSettingsUsage;
    BusEngine engine(nullptr, BusEngine::Mode::Thread);
    engine.call([&] {
        switch (options.action) {
        case SettingsOptions::Action::Backup:
            status = backup(options);
            return;
        case SettingsOptions::Action::Compare:
            status = compare(options);
            return;
        case SettingsOptions::Action::Help:
        case SettingsOptions::Action::Restore:
            break;
        }
        status = restore(options, in);
    });
    return status;
}

} // namespace tarvo
