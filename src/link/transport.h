#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tarvo {

/// Outcome of one reply read.
enum ReadResult : int {
    ReadOk = 0,       ///< at least one byte received
    ReadNothing = 1,  ///< nothing received before the time-out, or the read failed
    ReadOverflow = 2, ///< more bytes than the maximum were reported
};

/// The byte pipe a Modbus master runs its transactions over. The serial port
/// implements it for real; tests put a scripted fake behind it so every reply
/// check can be driven from a table of frames.
class Transport {
public:
    virtual ~Transport() = default;

    /// Discards every byte waiting in the input. Returns within about 1 ms
    /// when nothing waits.
    virtual void drain() = 0;

    /// Sends the bytes. Returns the number handed over; callers do not examine
    /// it, since a lost request shows up as a time-out of the following read.
    virtual std::size_t write(std::span<const std::uint8_t> bytes) = 0;

    /// Reads at most buffer.size() bytes. Returns when that many bytes arrived,
    /// when more than 35 ms pass between two bytes after the first, or
    /// 800 ms + 1 ms per requested byte after the call began. `received` is
    /// the number stored (0 on failure).
    virtual ReadResult read(std::span<std::uint8_t> buffer, std::size_t& received) = 0;

    /// As read(), except that it also ends, with ReadNothing, when no byte
    /// has arrived `firstByteWait` after the call began: a silent slave then
    /// costs that wait instead of the full time-out (50 ms instead of 804 ms
    /// for a Report Slave ID). Once the first byte is in, the rest is read by
    /// read()'s rules, so a slow but answering slave gives its whole reply.
    /// A wait of zero or below, or a transport without a wait of its own (a
    /// test's register bank), reads as read() does: slower, never wrong.
    virtual ReadResult readWithin(std::span<std::uint8_t> buffer, std::size_t& received,
                                  std::chrono::milliseconds firstByteWait) {
        (void)firstByteWait;
        return read(buffer, received);
    }

    /// Whether bytes can be carried now. A link is open from a successful
    /// open to its close; a transport with nothing to open (a test's register
    /// bank) always is.
    virtual bool isOpen() const { return true; }

    /// Whether the bytes on the wire differ from the frames handed over and
    /// read back (a Modbus TCP gateway: a header in front, no CRC). The trace
    /// then shows wireSent() and wireReceived(): the last request and reply
    /// as they went over the wire.
    virtual bool reframes() const { return false; }
    virtual std::span<const std::uint8_t> wireSent() const { return {}; }
    virtual std::span<const std::uint8_t> wireReceived() const { return {}; }
};

} // namespace tarvo
