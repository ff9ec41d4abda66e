#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

#include <termios.h>

#include "link/transport.h"

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
class SerialPort : public Transport {
public:
    /// Speed codes are the bit values of the settable-baud-rate mask, which is
    /// what the settings file stores under `speed`.
    static constexpr int kSpeed2400 = 256;
    static constexpr int kSpeed4800 = 512;
    static constexpr int kSpeed9600 = 2048;
    static constexpr int kSpeed19200 = 8192;

    static constexpr int kParityNone = 0;
    static constexpr int kParityOdd = 1;
    static constexpr int kParityEven = 2;

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

    /// Closes the open port, if any, then opens `portName` for exclusive
    /// read/write access and applies the line settings with the current speed
    /// and parity codes. On success `portOpen` is set and the name stored;
    /// on failure no port is open. Returns `portOpen`. Shows nothing: the
    /// operator-facing policy (messages, scan after opening, suppression
    /// during a scan) is the caller's.
    bool openDevice(const std::string& portName);

    /// The port's current settings with the line settings applied; every
    /// other setting is kept as it was.
    static termios lineSettings(const termios& current, int speedCode, int parityCode);

    /// Applies the line settings to the open port. Failures are ignored.
    void configure(int speedCode, int parityCode);

    void drain() override;
    std::size_t write(std::span<const std::uint8_t> bytes) override;
    ReadResult read(std::span<std::uint8_t> buffer, std::size_t& received) override;

    /// Closes the open port and clears `portOpen`.
    void close();

    bool portOpen() const { return m_fd >= 0; }
    const std::string& portName() const { return m_portName; }
    void setPortName(const std::string& name) { m_portName = name; }

    bool portReopenRequested() const { return m_portReopenRequested; }
    void setPortReopenRequested(bool requested) { m_portReopenRequested = requested; }

    int openFailures() const { return m_openFailures; }
    void setOpenFailures(int failures) { m_openFailures = failures; }

    int speedCode() const { return m_speedCode; }
    void setSpeedCode(int code) { m_speedCode = code; }
    int parityCode() const { return m_parityCode; }
    void setParityCode(int code) { m_parityCode = code; }

    /// True when RTS is raised by hand around each write because the driver
    /// has no RS-485 mode.
    bool rtsToggledByHand() const { return m_rtsByHand; }

private:
    int m_fd = -1;
    std::string m_portName;
    bool m_portReopenRequested = false;
    int m_openFailures = 0;
    int m_speedCode = kSpeed9600;
    int m_parityCode = kParityNone;
    bool m_rtsByHand = false;
    bool m_marked = false; // PARMRK is set: read un-marks what arrives
    MarkDecoder m_marks;
};

} // namespace tarvo
