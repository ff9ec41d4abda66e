#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

#include <termios.h>

#include "link/link.h"

namespace tarvo {

/// Undoes the kernel's marking of received bytes (termios PARMRK): "FF FF"
/// is one FF byte, "FF 00 X" is byte X received with a parity or framing
/// error (a break reads as X = 00). The byte goes to the master as it came,
/// and the CRC decides. A mark may be split between two reads, so what is
/// pending is kept from one call to the next.
class MarkDecoder {
public:
    /// Decodes `bytes` in place; returns how many decoded bytes lead it now.
    std::size_t decode(std::span<std::uint8_t> bytes);
    void reset() { m_state = Plain; }

private:
    enum State { Plain, AfterFF, AfterFF00 };
    State m_state = Plain;
};

/// The one serial port of the program (POSIX termios, non-blocking descriptor
/// driven by poll).
///
/// Line settings: speed from the speed code, 8 data bits, parity from the
/// parity code with parity checking for odd and even, 1 stop bit, DTR raised,
/// no flow control. RTS is raised only while sending: by the driver's RS-485
/// mode (TIOCSRS485, RTS on send) where it has one, else by raising RTS before
/// a write and dropping it once the transmitter has drained. A configuration
/// step the device refuses (a pseudo-terminal refuses most) is ignored and the
/// port stays usable.
class SerialPort : public Link {
public:
    /// Parity checking (odd and even) also marks the bytes with errors
    /// instead of zeroing them; read un-marks them with a MarkDecoder.
    ///
    /// Reply time-outs: 35 ms between two bytes once the first has arrived,
    /// and 800 ms + 1 ms per requested byte for the whole read.
    static constexpr std::chrono::milliseconds kInterByteTimeout{35};
    static constexpr std::chrono::milliseconds kReadTotalConstant{800};
    static constexpr std::chrono::milliseconds kReadTotalPerByte{1};
    /// A write may take 25 ms + 5 ms per byte.
    static constexpr std::chrono::milliseconds kWriteTotalConstant{25};
    static constexpr std::chrono::milliseconds kWriteTotalPerByte{5};

    SerialPort() = default;
    ~SerialPort() override;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    /// Baud rate for a speed code; unknown codes run at 9600.
    static int baudRate(int speedCode);

    /// The device path a port name stands for. A name beginning with "/" is
    /// a path. "COMn:" (n from 1, colon optional, any letter case) is the USB
    /// adapter /dev/ttyUSB(n-1) when it exists, else the on-board port
    /// /dev/ttyS(n-1). Any other name is looked up under /dev.
    static std::string devicePath(const std::string& portName);

    /// Closes the open port, if any, then opens the device `portName` stands
    /// for with exclusive read/write access and applies the line settings
    /// with the speed and parity codes. On failure no port is open and the
    /// result keeps the errno: of open(2), ENOTTY for a file that is no
    /// terminal, or of the exclusive lock (EWOULDBLOCK while another program
    /// holds the line). Shows nothing: the operator-facing policy (messages,
    /// scan after opening, suppression during a scan) is the caller's.
    OpenResult open(const std::string& portName, int speedCode = kSpeed9600,
                    int parityCode = kParityNone) override;

    /// The port's current settings with the line settings applied; every
    /// other setting is kept as it was.
    static termios lineSettings(const termios& current, int speedCode, int parityCode);

    /// Applies the line settings to the open port. Failures are ignored.
    void configure(int speedCode, int parityCode);

    void drain() override;
    std::size_t write(std::span<const std::uint8_t> bytes) override;
    ReadResult read(std::span<std::uint8_t> buffer, std::size_t& received) override;
    /// Ends after `firstByteWait` when no byte came by then (see Transport).
    ReadResult readWithin(std::span<std::uint8_t> buffer, std::size_t& received,
                          std::chrono::milliseconds firstByteWait) override;

    /// Closes the open port.
    void close() override;

    bool isOpen() const override { return m_fd >= 0; }
    bool lost() const override { return m_lost; }

    /// True when RTS is raised by hand around each write because the driver
    /// has no RS-485 mode.
    bool rtsToggledByHand() const { return m_rtsByHand; }

private:
    // The read of read() and readWithin(): no byte by `firstByteDeadline`
    // ends it as the total time-out does.
    ReadResult readUntil(std::span<std::uint8_t> buffer, std::size_t& received,
                         std::chrono::steady_clock::time_point firstByteDeadline);

    int m_fd = -1;
    bool m_rtsByHand = false;
    bool m_lost = false;   // a hang-up or I/O error ended a read or write
    bool m_marked = false; // PARMRK is set: read un-marks what arrives
    MarkDecoder m_marks;
};

} // namespace tarvo
