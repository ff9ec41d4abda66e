#include "session/panel_watch.h"

#include <algorithm>

#include "core/clock.h"
#include "devices/meter_list.h"
#include "link/modbus_master.h"

namespace tarvo {
namespace {

using std::chrono::milliseconds;

// A silent interval of 35 ms ends every reply read (the master asks for
// 20 bytes more than a correct reply holds).
constexpr milliseconds kEndOfReply{35};
constexpr milliseconds kDrain{1};
constexpr int kRequestBytes = 8;

LampState lampsOf(const MeterReading& reading) {
    LampState lamps;
    showAlarms(lamps, reading.kind, reading.registers);
    return lamps;
}

} // namespace

std::vector<WatchedDevice> watchedDevices(const MeterList& meters) {
    std::vector<WatchedDevice> devices;
    for (const std::string& line : meters.lines()) {
        const int address = MeterList::lineAddress(line);
        const DeviceKind kind = classifyDevice(line);
        if (address < 0 || PanelWatch::watchBlock(kind).empty())
            continue;
        const std::size_t from = line.find(" - ");
        const std::size_t to = line.find(" [");
        std::string name;
        if (from != std::string::npos && to != std::string::npos && to >= from + 3)
            name = line.substr(from + 3, to - from - 3);
        devices.push_back({address, kind, name});
    }
    return devices;
}

Lamp worstLamp(const LampState& lamps) {
    Lamp worst = Lamp::Normal;
    const auto take = [&](Lamp l) { worst = std::max(worst, l); };
    std::for_each(lamps.breakers.begin(), lamps.breakers.end(), take);
    for (Lamp l : {lamps.ampsOver, lamps.ampsUnder, lamps.kvaOver, lamps.kvaUnder, lamps.voltsOver,
                   lamps.voltsUnder, lamps.phaseLoss})
        take(l);
    if (std::find(lamps.phaseLetterVisible.begin(), lamps.phaseLetterVisible.end(), true) !=
        lamps.phaseLetterVisible.end())
        take(Lamp::Alarm);
    return worst;
}

PanelWatch::PanelWatch(ModbusMaster& master, Transport& port, const Clock& clock,
                       const bool& watching, int baud, SteadyNow steadyNow)
    : m_master(master), m_port(port), m_clock(clock), m_watching(watching), m_baud(baud),
      m_now(std::move(steadyNow)) {}

RegisterBlock PanelWatch::watchBlock(int kind) {
    if (isBranchMonitor(kind))
        return {kRegAlarmSummary, kRegAlarmFlags + 3 - kRegAlarmSummary};
    if (isCircuitMeter(kind))
        return {kRegCircuitAlarms, 1};
    return {};
}

milliseconds PanelWatch::worstReadTime(RegisterBlock block, int baud, milliseconds wait) {
    // 11 bits a character: start, 8 data, parity or the gap, stop.
    const long long characters = kRequestBytes + 2LL * block.count + 5;
    const long long lineUs = characters * 11 * 1'000'000 / std::max(baud, 1);
    return kDrain + milliseconds((lineUs + 999) / 1000) + wait + kEndOfReply;
}

void PanelWatch::setDevices(const std::vector<WatchedDevice>& devices) {
    std::vector<WatchStatus> status;
    std::vector<LampState> known;
    for (const WatchedDevice& d : devices) {
        const auto old = std::find_if(m_status.begin(), m_status.end(), [&](const WatchStatus& s) {
            return s.device.address == d.address && s.device.kind == d.kind;
        });
        if (old != m_status.end()) {
            status.push_back(*old);
            status.back().device.name = d.name;
            known.push_back(m_known[static_cast<std::size_t>(old - m_status.begin())]);
        } else {
            status.push_back({d});
            known.emplace_back();
        }
    }
    m_status = std::move(status);
    m_known = std::move(known);
    m_next = 0;
}

MeterReading PanelWatch::readInto(const WatchedDevice& device, RegisterBlock block) {
    MeterReading reading;
    reading.kind = device.kind;
    reading.address = device.address;
    std::array<std::int32_t, kMaxPollRegisters> values{};
    reading.result = m_master.readHoldingRegisters(m_port, device.address, block.first, block.count,
                                                   values, kFirstByteWait);
    if (reading.result == Ok)
        std::copy_n(values.begin(), block.count,
                    reading.registers.begin() + static_cast<std::ptrdiff_t>(block.first));
    return reading;
}

std::vector<JournalEntry> PanelWatch::watch(std::chrono::steady_clock::time_point deadline,
                                            int selectedAddress) {
    std::vector<JournalEntry> entries;
    if (!m_watching || m_status.empty())
        return entries;
    for (std::size_t visited = 0; visited < m_status.size(); ++visited) {
        const std::size_t i = m_next % m_status.size();
        const WatchedDevice device = m_status[i].device;
        if (device.address == selectedAddress) {
            m_next = i + 1;
            continue;
        }
        if (m_stopRequested && m_stopRequested())
            break;
        const RegisterBlock block = watchBlock(device.kind);
        if (m_now() + worstReadTime(block, m_baud, kFirstByteWait) > deadline)
            break;
        MeterReading reading = readInto(device, block);
        if (reading.result == Ok && lampsOf(reading) != m_known[i]) {
            // A change: the poll block gives the entries their values.
            const RegisterBlock full = pollBlock(device.kind);
            if (m_now() + worstReadTime(full, m_baud, kFirstByteWait) > deadline)
                break; // read first again next second
            reading = readInto(device, full);
        }
        const std::time_t now = m_clock.now();
        const std::vector<JournalEntry> found = m_deriver.derive(reading, now, device.name);
        entries.insert(entries.end(), found.begin(), found.end());
        note(i, reading, now);
        m_next = i + 1;
    }
    return entries;
}

void PanelWatch::count(WatchStatus& s, int result, std::time_t now) {
    s.read = true;
    s.commFailed = result != Ok;
    if (s.commFailed)
        ++s.failures;
    else
        s.lastGoodRead = now;
}

std::vector<JournalEntry> PanelWatch::noteResult(int address, int result) {
    const auto s = std::find_if(m_status.begin(), m_status.end(),
                                [&](const WatchStatus& w) { return w.device.address == address; });
    if (s == m_status.end())
        return {};
    const std::time_t now = m_clock.now();
    count(*s, result, now);
    return m_deriver.deriveComm(address, s->device.kind, result, now, s->device.name);
}

void PanelWatch::note(std::size_t i, const MeterReading& reading, std::time_t now) {
    WatchStatus& s = m_status[i];
    count(s, reading.result, now);
    if (reading.result == Ok) {
        m_known[i] = lampsOf(reading);
        s.worst = worstLamp(m_known[i]);
    }
}

std::vector<JournalEntry> PanelWatch::polled(const MeterReading& reading) {
    const auto listed = std::find_if(m_status.begin(), m_status.end(), [&](const WatchStatus& s) {
        return s.device.address == reading.address && s.device.kind == reading.kind;
    });
    const std::time_t now = m_clock.now();
    const bool known = listed != m_status.end();
    std::vector<JournalEntry> entries =
        m_deriver.derive(reading, now, known ? listed->device.name : std::string());
    if (known)
        note(static_cast<std::size_t>(listed - m_status.begin()), reading, now);
    return entries;
}

} // namespace tarvo
