#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/device.h"
#include "sim/frame.h"

namespace tarvo::sim {

using Clock = std::chrono::steady_clock;

/// Faults a device (or the whole bus) can be told to commit on its replies.
/// Names on the control channel in brackets.
enum class Fault {
    None,         ///< [none] answer correctly
    NoAnswer,     ///< [silent] stay silent
    BadCrc,       ///< [badcrc] reply with its CRC high byte inverted
    ShortReply,   ///< [short] reply one byte short (the last CRC byte missing)
    LongReply,    ///< [long] reply one byte long (0x00 after the CRC)
    WrongAddress, ///< [wrongaddr] correct reply, but from the next address up (247 -> 1)
    Exception,    ///< [exception] exception reply with the bus's exception code (default 04)
    SplitReply,   ///< [split] first half, a gap of splitGap (default 60 ms), second half
    LateReply,    ///< [late] reply after lateDelay (default 2000 ms), when the master gave up
    Noise,        ///< [noise] three noise bytes (FF 00 55) right before the reply
    Echo,         ///< [echo] the request echoed right before the reply, as some adapters do
};

std::optional<Fault> faultFromName(std::string_view name);
const char* faultName(Fault fault);

/// What became of one received frame.
enum class FrameStatus {
    Answered,  ///< served (a fault may still have spoiled or suppressed the reply)
    Exception, ///< answered with an exception reply
    NotForUs,  ///< intact, but no device has that address: silence
    Broadcast, ///< address 0: writes applied, no reply
    BadCrc,    ///< CRC wrong (or under 4 bytes): silence
    Malformed, ///< intact, but the wrong length for its function: silence
    Overflow,  ///< more than 256 bytes without a silent interval: discarded
};
const char* frameStatusName(FrameStatus status);

/// One frame as the simulator cut it from the line by the silent interval.
struct FrameRecord {
    Clock::time_point time; ///< when its last byte arrived
    Bytes bytes;            ///< at most 256 bytes kept of an overflow
    FrameStatus status;
    Fault fault = Fault::None; ///< the fault applied to its reply, if any
};

/// One function-6 write a device took (accepted) or refused (exception).
struct WriteRecord {
    Clock::time_point time;
    int address;
    int reg;
    int value;
    bool accepted;
};

/// A reply as pieces written with a pause before each.
struct ReplyPart {
    std::chrono::milliseconds delay{0};
    Bytes bytes;
};
using Reply = std::vector<ReplyPart>;

/// A whole simulated bus: devices by address, faults, the request log and the
/// live simulation. Every public operation is thread-safe, so a test may
/// change registers and faults while a server thread answers on the line.
class Bus {
public:
    Bus() = default;
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    /// Adds (or replaces) a device at address 1 to 247. `name` is the panel
    /// name of branch monitors and circuit meters (4 characters at most).
    /// Returns false for an address outside 1 to 247.
    bool addDevice(Model model, int address, std::string_view name = {});
    void removeDevice(int address);
    bool hasDevice(int address) const;
    std::vector<int> addresses() const;

    /// Runs `fn` on the device under the bus lock; false when there is none.
    bool withDevice(int address, const std::function<void(Device&)>& fn);

    /// Raw register access (no device rules): see Device::setReg.
    bool setRegister(int address, int reg, std::uint16_t value);
    /// The register value, or nullopt when there is no such device.
    std::optional<std::uint16_t> registerValue(int address, int reg) const;
    bool setFloat(int address, int reg, float value);
    bool setName(int address, int firstReg, std::string_view name);

    /// Faults. A device's own fault wins over the bus-wide one. `times` is how
    /// many replies it spoils before it clears itself; -1 means until changed.
    void setFault(int address, Fault fault, int times = -1);
    void setBusFault(Fault fault, int times = -1);
    void clearFaults();
    void setExceptionCode(std::uint8_t code);
    void setSplitGap(std::chrono::milliseconds gap);
    void setLateDelay(std::chrono::milliseconds delay);
    /// How long the device at `address` takes to answer, counted from the
    /// last byte of the request (0, the default, answers as soon as the
    /// frame has ended). A device that was never added may be given one; it
    /// is kept when the device is replaced.
    void setReplyDelay(int address, std::chrono::milliseconds delay);

    /// Live mode: `advance` moves every device on by the time since its last
    /// step, at most every kLiveStep however often the servers call it. The
    /// seed makes a demo repeatable.
    static constexpr std::chrono::milliseconds kLiveStep{100};
    void setLive(bool live, std::uint32_t seed = 1);
    bool live() const;
    void advance(Clock::time_point now);

    /// Serves one frame cut from the line (intact or not), logs it and any
    /// writes, and returns what to send (empty for silence).
    Reply handleFrame(std::span<const std::uint8_t> frame, Clock::time_point received);
    /// Logs bytes discarded because no silent interval came within 256 bytes.
    void recordOverflow(std::span<const std::uint8_t> bytes, Clock::time_point received);

    /// The request log, oldest first.
    std::vector<FrameRecord> frames() const;
    std::vector<WriteRecord> writes() const;
    void clearLog();
    /// When the bus was made; the control channel prints log times from here.
    Clock::time_point created() const { return m_created; }

private:
    struct FaultState {
        Fault fault = Fault::None;
        int times = -1;
    };
    Bytes serve(Device& device, std::span<const std::uint8_t> frame, FrameStatus& status,
                Clock::time_point received);
    Reply applyFault(Fault fault, std::span<const std::uint8_t> request, Bytes reply);
    Fault takeFault(int address);

    const Clock::time_point m_created = Clock::now();
    mutable std::mutex m_mutex;
    std::map<int, std::unique_ptr<Device>> m_devices;
    std::map<int, FaultState> m_faults;
    FaultState m_busFault;
    std::uint8_t m_exceptionCode = SlaveDeviceFailure;
    std::chrono::milliseconds m_splitGap{60};
    std::chrono::milliseconds m_lateDelay{2000};
    std::map<int, std::chrono::milliseconds> m_replyDelays;
    bool m_live = false;
    std::mt19937 m_random{1};
    std::optional<Clock::time_point> m_lastAdvance;
    std::vector<FrameRecord> m_frames;
    std::vector<WriteRecord> m_writes;
};

} // namespace tarvo::sim
