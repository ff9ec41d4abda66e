#include "session/journal_events.h"

#include <cmath>

#include "devices/register_map.h"

namespace tarvo {
namespace {

const char* const kEventTexts[] = {"Warning",    "Alarm",        "Normal",        "Phase lost",
                                   "Phase back", "Comm failure", "Comm recovered"};

// Circuit-meter register 36, bits 0 to 5, and the value read with each.
struct LimitLamp {
    int bit;
    const char* subject;
    int reg;
    const char* unit;
    bool currentScale; // else volts, × 0.01
};
const LimitLamp kLimitLamps[] = {
    {0, "Amps over", kRegCurrentAvg, "A", true},
    {1, "Amps under", kRegCurrentAvg, "A", true},
    {2, "KVA over", kRegApparentPower, "KVA", true},
    {3, "KVA under", kRegApparentPower, "KVA", true},
    {4, "Volts over", kRegVoltsLnAvg, "V", false},
    {5, "Volts under", kRegVoltsLnAvg, "V", false},
};
const int kPhaseVolts[] = {kRegVoltsAN, kRegVoltsBN, kRegVoltsCN};
const char* const kPhaseNames[] = {"Phase A", "Phase B", "Phase C"};
constexpr int kPhaseBitFirst = 6;

double rounded(float value, int decimals) {
    const double f = std::pow(10.0, decimals);
    return std::round(static_cast<double>(value) * f) / f;
}

} // namespace

const char* eventText(JournalEvent event) {
    return kEventTexts[static_cast<int>(event)];
}

bool eventFromText(const std::string& text, JournalEvent& event) {
    for (int i = 0; i < static_cast<int>(std::size(kEventTexts)); ++i) {
        if (text == kEventTexts[i]) {
            event = static_cast<JournalEvent>(i);
            return true;
        }
    }
    return false;
}

const char* stateText(JournalState state) {
    switch (state) {
    case JournalState::Cleared:
        return "cleared";
    case JournalState::Acknowledged:
        return "acknowledged";
    case JournalState::Active:
        break;
    }
    return "active";
}

void JournalBook::setActive(int count) {
    if (count == m_active)
        return;
    m_active = count;
    if (onActiveCountChanged)
        onActiveCountChanged(count);
}

void JournalBook::add(const std::vector<JournalEntry>& entries) {
    int active = m_active;
    for (JournalEntry e : entries) {
        const bool comm =
            e.event == JournalEvent::CommFailure || e.event == JournalEvent::CommRecovered;
        // A failure's subject is its result text; any recovery ends them all.
        std::vector<std::size_t>& open = m_open[{e.address, comm ? std::string() : e.subject}];
        for (std::size_t i : open) {
            if (m_entries[i].state == JournalState::Active) {
                m_entries[i].state = JournalState::Cleared;
                --active;
            }
        }
        open.clear();
        const bool problem = e.event == JournalEvent::Warning || e.event == JournalEvent::Alarm ||
                             e.event == JournalEvent::PhaseLost ||
                             e.event == JournalEvent::CommFailure;
        e.state = problem ? JournalState::Active : JournalState::Cleared;
        if (problem) {
            open.push_back(m_entries.size());
            ++active;
        }
        m_entries.push_back(std::move(e));
    }
    setActive(active);
}

bool JournalBook::acknowledge(std::size_t index) {
    if (index >= m_entries.size() || m_entries[index].state != JournalState::Active)
        return false;
    m_entries[index].state = JournalState::Acknowledged;
    setActive(m_active - 1);
    return true;
}

void JournalBook::acknowledgeAll() {
    for (auto& [key, open] : m_open) {
        for (std::size_t i : open)
            if (m_entries[i].state == JournalState::Active)
                m_entries[i].state = JournalState::Acknowledged;
    }
    setActive(0);
}

std::array<std::uint8_t, 42> breakerLamps(const MeterReading& reading) {
    std::array<std::uint8_t, 42> lamps{};
    const int summary = reading.reg(kRegAlarmSummary);
    for (int level = 1; level <= 2; ++level) {
        const int firstReg = level == 1 ? kRegWarningFlags : kRegAlarmFlags;
        for (int g = 0; g < 3; ++g) {
            if ((summary & (1 << ((level - 1) * 3 + g))) == 0)
                continue;
            const int flags = reading.reg(firstReg + g);
            for (int b = 0; b < 16 && g * 16 + b < kBreakerCount; ++b)
                if (flags & (1 << b))
                    lamps[static_cast<std::size_t>(g * 16 + b)] = static_cast<std::uint8_t>(level);
        }
    }
    return lamps;
}

JournalDeriver::DeviceState& JournalDeriver::device(int address, int kind) {
    DeviceState& d = m_devices[address];
    if (d.kind != kind) { // another device now answers at this address
        d = DeviceState{};
        d.kind = kind;
    }
    return d;
}

bool JournalDeriver::comm(DeviceState& d, int address, int result, std::time_t time,
                          const std::string& name, std::vector<JournalEntry>& out) {
    if (result != Ok) {
        if (!d.failed)
            out.push_back({time, address, name, JournalEvent::CommFailure,
                           ModbusMaster::resultText(result), static_cast<double>(result), ""});
        d.failed = true;
        return false;
    }
    if (d.failed)
        out.push_back({time, address, name, JournalEvent::CommRecovered, "", 0, ""});
    d.failed = false;
    return true;
}

std::vector<JournalEntry> JournalDeriver::deriveComm(int address, int kind, int result,
                                                     std::time_t time, const std::string& name) {
    std::vector<JournalEntry> out;
    comm(device(address, kind), address, result, time, name, out);
    return out;
}

std::vector<JournalEntry> JournalDeriver::derive(const MeterReading& reading, std::time_t time,
                                                 const std::string& name) {
    std::vector<JournalEntry> out;
    DeviceState& d = device(reading.address, reading.kind);
    auto add = [&](JournalEvent event, std::string subject, double value, const char* unit) {
        out.push_back({time, reading.address, name, event, std::move(subject), value, unit});
    };
    if (!comm(d, reading.address, reading.result, time, name, out))
        return out;

    if (isBranchMonitor(reading.kind)) {
        const auto lamps = breakerLamps(reading);
        const float scale = breakerScale(reading.kind);
        for (int i = 0; i < kBreakerCount; ++i) {
            const auto k = static_cast<std::size_t>(i);
            const std::uint8_t before = d.seen ? d.breakers[k] : 0;
            if (lamps[k] == before)
                continue;
            const JournalEvent e = lamps[k] == 2   ? JournalEvent::Alarm
                                   : lamps[k] == 1 ? JournalEvent::Warning
                                                   : JournalEvent::Normal;
            add(e, "Breaker " + std::to_string(i + 1),
                rounded(scaledSample(reading.reg(i), scale), 3), "A");
        }
        d.breakers = lamps;
    } else if (isCircuitMeter(reading.kind)) {
        const int flags = reading.reg(kRegCircuitAlarms);
        const int before = d.seen ? d.circuitFlags : 0;
        const float scale = currentScaleFor(reading.reg(kRegCtSize));
        for (const LimitLamp& l : kLimitLamps) {
            const int mask = 1 << l.bit;
            const bool now = (flags & mask) != 0;
            if (now == ((before & mask) != 0))
                continue;
            const float value =
                scaledSample(reading.reg(l.reg), l.currentScale ? scale : kVoltsScale);
            add(now ? JournalEvent::Alarm : JournalEvent::Normal, l.subject, rounded(value, 2),
                l.unit);
        }
        for (int p = 0; p < 3; ++p) {
            const int bit = 1 << (kPhaseBitFirst + p);
            const bool now = (flags & bit) != 0;
            if (now == ((before & bit) != 0))
                continue;
            add(now ? JournalEvent::PhaseLost : JournalEvent::PhaseBack, kPhaseNames[p],
                rounded(scaledSample(reading.reg(kPhaseVolts[p]), kVoltsScale), 2), "V");
        }
        d.circuitFlags = flags;
    }
    d.seen = true;
    return out;
}

} // namespace tarvo
