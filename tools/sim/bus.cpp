#include "sim/bus.h"

#include <algorithm>

namespace tarvo::sim {

namespace {

struct FaultName {
    Fault fault;
    const char* name;
};
constexpr FaultName kFaultNames[] = {
    {Fault::None, "none"},           {Fault::NoAnswer, "silent"},
    {Fault::BadCrc, "badcrc"},       {Fault::ShortReply, "short"},
    {Fault::LongReply, "long"},      {Fault::WrongAddress, "wrongaddr"},
    {Fault::Exception, "exception"}, {Fault::SplitReply, "split"},
    {Fault::LateReply, "late"},      {Fault::Noise, "noise"},
    {Fault::Echo, "echo"},
};

// The longest RTU frame is 256 bytes.
constexpr std::size_t kMaxFrame = 256;
// A program left running for days keeps the newest entries only.
constexpr std::size_t kMaxLogEntries = 100'000;

template <typename T>
void appendCapped(std::vector<T>& log, T entry) {
    if (log.size() >= kMaxLogEntries)
        log.erase(log.begin(), log.begin() + kMaxLogEntries / 10);
    log.push_back(std::move(entry));
}

std::uint16_t word(std::span<const std::uint8_t> frame, std::size_t at) {
    return static_cast<std::uint16_t>(frame[at] << 8 | frame[at + 1]);
}

Bytes concat(Bytes first, const Bytes& second) {
    first.reserve(first.size() + second.size());
    for (std::uint8_t b : second)
        first.push_back(b);
    return first;
}

} // namespace

std::optional<Fault> faultFromName(std::string_view name) {
    for (const FaultName& f : kFaultNames)
        if (name == f.name)
            return f.fault;
    return std::nullopt;
}

const char* faultName(Fault fault) {
    for (const FaultName& f : kFaultNames)
        if (fault == f.fault)
            return f.name;
    return "none";
}

const char* frameStatusName(FrameStatus status) {
    switch (status) {
    case FrameStatus::Answered:
        return "answered";
    case FrameStatus::Exception:
        return "exception";
    case FrameStatus::NotForUs:
        return "not-for-us";
    case FrameStatus::Broadcast:
        return "broadcast";
    case FrameStatus::BadCrc:
        return "bad-crc";
    case FrameStatus::Malformed:
        return "malformed";
    case FrameStatus::Overflow:
        return "overflow";
    }
    return "?";
}

bool Bus::addDevice(Model model, int address, std::string_view name) {
    if (address < 1 || address > 247)
        return false;
    std::lock_guard lock(m_mutex);
    m_devices[address] = std::make_unique<Device>(model, address, name);
    return true;
}

void Bus::removeDevice(int address) {
    std::lock_guard lock(m_mutex);
    m_devices.erase(address);
}

bool Bus::hasDevice(int address) const {
    std::lock_guard lock(m_mutex);
    return m_devices.count(address) != 0;
}

std::vector<int> Bus::addresses() const {
    std::lock_guard lock(m_mutex);
    std::vector<int> result;
    for (const auto& [address, device] : m_devices)
        result.push_back(address);
    return result;
}

bool Bus::withDevice(int address, const std::function<void(Device&)>& fn) {
    std::lock_guard lock(m_mutex);
    const auto it = m_devices.find(address);
    if (it == m_devices.end())
        return false;
    fn(*it->second);
    return true;
}

bool Bus::setRegister(int address, int reg, std::uint16_t value) {
    return withDevice(address, [&](Device& d) { d.setReg(reg, value); });
}

std::optional<std::uint16_t> Bus::registerValue(int address, int reg) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_devices.find(address);
    if (it == m_devices.end())
        return std::nullopt;
    return it->second->reg(reg);
}

bool Bus::setFloat(int address, int reg, float value) {
    return withDevice(address, [&](Device& d) { d.setFloat(reg, value); });
}

bool Bus::setName(int address, int firstReg, std::string_view name) {
    return withDevice(address, [&](Device& d) { d.setName(firstReg, name); });
}

void Bus::setFault(int address, Fault fault, int times) {
    std::lock_guard lock(m_mutex);
    m_faults[address] = {fault, times};
}

void Bus::setBusFault(Fault fault, int times) {
    std::lock_guard lock(m_mutex);
    m_busFault = {fault, times};
}

void Bus::clearFaults() {
    std::lock_guard lock(m_mutex);
    m_faults.clear();
    m_busFault = {};
}

void Bus::setExceptionCode(std::uint8_t code) {
    std::lock_guard lock(m_mutex);
    m_exceptionCode = code;
}

void Bus::setSplitGap(std::chrono::milliseconds gap) {
    std::lock_guard lock(m_mutex);
    m_splitGap = gap;
}

void Bus::setLateDelay(std::chrono::milliseconds delay) {
    std::lock_guard lock(m_mutex);
    m_lateDelay = delay;
}

void Bus::setReplyDelay(int address, std::chrono::milliseconds delay) {
    std::lock_guard lock(m_mutex);
    if (delay.count() > 0)
        m_replyDelays[address] = delay;
    else
        m_replyDelays.erase(address);
}

void Bus::setLive(bool live, std::uint32_t seed) {
    std::lock_guard lock(m_mutex);
    m_live = live;
    m_random.seed(seed);
    m_lastAdvance.reset();
}

bool Bus::live() const {
    std::lock_guard lock(m_mutex);
    return m_live;
}

void Bus::advance(Clock::time_point now) {
    std::lock_guard lock(m_mutex);
    if (!m_live)
        return;
    if (m_lastAdvance && now - *m_lastAdvance < kLiveStep)
        return;
    if (m_lastAdvance) {
        const double seconds = std::chrono::duration<double>(now - *m_lastAdvance).count();
        // A stalled process does not turn into one huge step.
        const double step = std::clamp(seconds, 0.0, 5.0);
        for (auto& [address, device] : m_devices)
            device->advance(step, m_random);
    }
    m_lastAdvance = now;
}

Fault Bus::takeFault(int address) {
    FaultState* state = nullptr;
    const auto it = m_faults.find(address);
    if (it != m_faults.end() && it->second.fault != Fault::None)
        state = &it->second;
    else if (m_busFault.fault != Fault::None)
        state = &m_busFault;
    if (state == nullptr)
        return Fault::None;
    const Fault fault = state->fault;
    if (state->times > 0 && --state->times == 0)
        state->fault = Fault::None;
    return fault;
}

Reply Bus::handleFrame(std::span<const std::uint8_t> frame, Clock::time_point received) {
    std::lock_guard lock(m_mutex);
    FrameRecord record{received, Bytes(frame.begin(), frame.end()), FrameStatus::BadCrc};
    if (!frameIntact(frame)) {
        appendCapped(m_frames, std::move(record));
        return {};
    }
    const int address = frame[0];
    if (address == 0) {
        // Broadcast: only writes mean anything, and nobody answers.
        record.status = FrameStatus::Malformed;
        if (frame.size() == 8 && frame[1] == 6) {
            record.status = FrameStatus::Broadcast;
            for (auto& [a, device] : m_devices) {
                const int reg = word(frame, 2), value = word(frame, 4);
                const bool ok = device->writeRegister(reg, value) == 0;
                appendCapped(m_writes, WriteRecord{received, a, reg, value, ok});
            }
        }
        appendCapped(m_frames, std::move(record));
        return {};
    }
    const auto it = m_devices.find(address);
    if (it == m_devices.end()) {
        record.status = FrameStatus::NotForUs;
        appendCapped(m_frames, std::move(record));
        return {};
    }
    FrameStatus status = FrameStatus::Answered;
    Bytes reply = serve(*it->second, frame, status, received);
    record.status = status;
    if (reply.empty()) {
        appendCapped(m_frames, std::move(record));
        return {};
    }
    record.fault = takeFault(address);
    const Fault fault = record.fault;
    appendCapped(m_frames, std::move(record));
    Reply parts = applyFault(fault, frame, std::move(reply));
    // The silent interval that ended the frame counts toward the delay.
    const auto delay = m_replyDelays.find(address);
    if (delay != m_replyDelays.end() && !parts.empty()) {
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - received);
        parts.front().delay += std::max(delay->second - waited, std::chrono::milliseconds(0));
    }
    return parts;
}

void Bus::recordOverflow(std::span<const std::uint8_t> bytes, Clock::time_point received) {
    std::lock_guard lock(m_mutex);
    const auto kept = bytes.first(std::min(bytes.size(), kMaxFrame));
    appendCapped(m_frames,
                 FrameRecord{received, Bytes(kept.begin(), kept.end()), FrameStatus::Overflow});
}

Bytes Bus::serve(Device& device, std::span<const std::uint8_t> frame, FrameStatus& status,
                 Clock::time_point received) {
    const auto address = static_cast<std::uint8_t>(device.address());
    const std::uint8_t function = frame[1];
    const auto exception = [&](std::uint8_t code) {
        status = FrameStatus::Exception;
        return exceptionReply(address, function, code);
    };
    switch (function) {
    case 3: {
        if (frame.size() != 8) {
            status = FrameStatus::Malformed;
            return {};
        }
        std::vector<std::uint16_t> values;
        if (const std::uint8_t code = device.readRegisters(word(frame, 2), word(frame, 4), values))
            return exception(code);
        Bytes reply{address, 3, static_cast<std::uint8_t>(2 * values.size())};
        for (std::uint16_t v : values) {
            reply.push_back(static_cast<std::uint8_t>(v >> 8));
            reply.push_back(static_cast<std::uint8_t>(v & 0xFF));
        }
        appendCrc(reply);
        return reply;
    }
    case 6: {
        if (frame.size() != 8) {
            status = FrameStatus::Malformed;
            return {};
        }
        const int reg = word(frame, 2), value = word(frame, 4);
        const std::uint8_t code = device.writeRegister(reg, value);
        appendCapped(m_writes, WriteRecord{received, device.address(), reg, value, code == 0});
        if (code != 0)
            return exception(code);
        return Bytes(frame.begin(), frame.end());
    }
    case 17: {
        if (frame.size() != 4) {
            status = FrameStatus::Malformed;
            return {};
        }
        if (!device.answersSlaveId())
            return exception(IllegalFunction);
        const std::string& text = device.identificationText();
        // Byte count, slave-ID byte, run indicator (0xFF: running), text.
        Bytes reply;
        reply.reserve(text.size() + 7);
        reply.push_back(address);
        reply.push_back(17);
        reply.push_back(static_cast<std::uint8_t>(text.size() + 2));
        reply.push_back(device.slaveIdByte());
        reply.push_back(0xFF);
        for (char c : text)
            reply.push_back(static_cast<std::uint8_t>(c));
        appendCrc(reply);
        return reply;
    }
    default:
        return exception(IllegalFunction);
    }
}

Reply Bus::applyFault(Fault fault, std::span<const std::uint8_t> request, Bytes reply) {
    switch (fault) {
    case Fault::None:
        break;
    case Fault::NoAnswer:
        return {};
    case Fault::BadCrc:
        reply.back() ^= 0xFF;
        break;
    case Fault::ShortReply:
        reply.pop_back();
        break;
    case Fault::LongReply:
        reply.push_back(0x00);
        break;
    case Fault::WrongAddress:
        reply.resize(reply.size() - 2);
        reply[0] = static_cast<std::uint8_t>(reply[0] >= 247 ? 1 : reply[0] + 1);
        appendCrc(reply);
        break;
    case Fault::Exception:
        reply = exceptionReply(request[0], request[1], m_exceptionCode);
        break;
    case Fault::SplitReply: {
        const auto half = static_cast<std::ptrdiff_t>(reply.size() / 2);
        return {ReplyPart{{}, Bytes(reply.begin(), reply.begin() + half)},
                ReplyPart{m_splitGap, Bytes(reply.begin() + half, reply.end())}};
    }
    case Fault::LateReply:
        return {ReplyPart{m_lateDelay, std::move(reply)}};
    case Fault::Noise:
        reply = concat(Bytes{0xFF, 0x00, 0x55}, reply);
        break;
    case Fault::Echo:
        reply = concat(Bytes(request.begin(), request.end()), reply);
        break;
    }
    return {ReplyPart{{}, std::move(reply)}};
}

std::vector<FrameRecord> Bus::frames() const {
    std::lock_guard lock(m_mutex);
    return m_frames;
}

std::vector<WriteRecord> Bus::writes() const {
    std::lock_guard lock(m_mutex);
    return m_writes;
}

void Bus::clearLog() {
    std::lock_guard lock(m_mutex);
    m_frames.clear();
    m_writes.clear();
}

} // namespace tarvo::sim
