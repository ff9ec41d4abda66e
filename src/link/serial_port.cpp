#include "link/serial_port.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "link/wait.h"

namespace tarvo {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

speed_t termiosSpeed(int speedCode) {
    switch (speedCode) {
    case SerialPort::kSpeed2400:
        return B2400;
    case SerialPort::kSpeed4800:
        return B4800;
    case SerialPort::kSpeed19200:
        return B19200;
    default:
        return B9600;
    }
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

void setModemLines(int fd, int lines, bool raise) {
    // Refused by pseudo-terminals and by some USB adapters; the port works
    // without them, so a refusal is ignored.
    (void)::ioctl(fd, raise ? TIOCMBIS : TIOCMBIC, &lines);
}

} // namespace

SerialPort::~SerialPort() {
    close();
}

int SerialPort::baudRate(int speedCode) {
    switch (speedCode) {
    case kSpeed2400:
        return 2400;
    case kSpeed4800:
        return 4800;
    case kSpeed19200:
        return 19200;
    default:
        return 9600;
    }
}

std::string SerialPort::devicePath(const std::string& portName) {
    if (!portName.empty() && portName.front() == '/')
        return portName;
    std::string name = portName;
    if (!name.empty() && name.back() == ':')
        name.pop_back();
    if (name.size() > 3 && std::toupper(static_cast<unsigned char>(name[0])) == 'C' &&
        std::toupper(static_cast<unsigned char>(name[1])) == 'O' &&
        std::toupper(static_cast<unsigned char>(name[2])) == 'M' &&
        std::all_of(name.begin() + 3, name.end(),
                    [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }) &&
        name.size() <= 6) {
        const int n = std::atoi(name.c_str() + 3);
        if (n >= 1) {
            const std::string usb = "/dev/ttyUSB" + std::to_string(n - 1);
            if (fileExists(usb))
                return usb;
            return "/dev/ttyS" + std::to_string(n - 1);
        }
    }
    return "/dev/" + portName;
}

OpenResult SerialPort::open(const std::string& portName, int speedCode, int parityCode) {
    close();
    const std::string path = devicePath(portName);
    // No O_CREAT: only an existing device is opened. O_NOCTTY keeps a
    // terminal from becoming the program's controlling terminal.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {false, errno};
    const auto fail = [fd](int error) {
        ::close(fd);
        return OpenResult{false, error};
    };
    if (!::isatty(fd))
        return fail(ENOTTY);
    // Exclusive use: TIOCEXCL stops other programs opening the line (root
    // excepted), and the advisory lock stops a second Tarvo even as root.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return fail(errno);
    (void)::ioctl(fd, TIOCEXCL);
    m_fd = fd;
    m_lost = false;
    configure(speedCode, parityCode);
    return {true, 0};
}

termios SerialPort::lineSettings(const termios& current, int speedCode, int parityCode) {
    termios tio = current;
    // Binary mode: no translation, no echo, no signals, no flow control
    // (XON/XOFF off, CTS/DSR off), no replacement of bytes with errors.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | IGNPAR | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    // Parity code 1 is odd, 2 even, anything else none; the parity of
    // received bytes is checked only when there is one. A byte with a parity
    // or framing error would then read as 00; marked (PARMRK) it is read as
    // it came and the CRC decides. Without parity checking the line
    // discipline passes every byte through unchanged and marks nothing.
    if (parityCode == kParityOdd || parityCode == kParityEven) {
        tio.c_cflag |= PARENB;
        if (parityCode == kParityOdd)
            tio.c_cflag |= PARODD;
        tio.c_iflag |= INPCK | PARMRK;
    }
    // The reads are driven by poll(), so the driver returns at once.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    const speed_t speed = termiosSpeed(speedCode);
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    return tio;
}

void SerialPort::configure(int speedCode, int parityCode) {
    if (m_fd < 0)
        return;
    termios tio{};
    if (::tcgetattr(m_fd, &tio) == 0) {
        tio = lineSettings(tio, speedCode, parityCode);
        (void)::tcsetattr(m_fd, TCSANOW, &tio);
    }
    m_marked = ::tcgetattr(m_fd, &tio) == 0 && (tio.c_iflag & PARMRK) != 0;
    m_marks.reset();

    setModemLines(m_fd, TIOCM_DTR, true);

    serial_rs485 rs485{};
    rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    if (::ioctl(m_fd, TIOCSRS485, &rs485) == 0) {
        m_rtsByHand = false;
    } else {
        // No RS-485 mode in the driver: raise RTS around each write, if the
        // line has modem controls at all (a pseudo-terminal has none).
        int lines = 0;
        m_rtsByHand = ::ioctl(m_fd, TIOCMGET, &lines) == 0;
        if (m_rtsByHand)
            setModemLines(m_fd, TIOCM_RTS, false);
    }
}

void SerialPort::drain() {
    if (m_fd < 0)
        return;
    std::array<std::uint8_t, 255> scratch{};
    for (;;) {
        // Each round gives a byte in flight 1 ms to arrive, so an empty input
        // costs one round of about 1 ms.
        const int ev = waitFor(m_fd, POLLIN, Clock::now() + milliseconds(1));
        if (ev <= 0 || !(ev & POLLIN))
            return;
        m_marks.reset();
        const ssize_t n = ::read(m_fd, scratch.data(), scratch.size());
        if (n <= 0)
            return;
    }
}

std::size_t SerialPort::write(std::span<const std::uint8_t> bytes) {
    if (m_fd < 0)
        return 0;
    if (m_rtsByHand)
        setModemLines(m_fd, TIOCM_RTS, true);
    const auto deadline =
        Clock::now() + kWriteTotalConstant + kWriteTotalPerByte * static_cast<int>(bytes.size());
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            m_lost = errno == EIO;
            break;
        }
        const int ev = waitFor(m_fd, POLLOUT, deadline);
        if (ev <= 0 || (ev & (POLLERR | POLLHUP | POLLNVAL))) {
            m_lost = ev > 0 && (ev & POLLHUP);
            break;
        }
    }
    if (m_rtsByHand) {
        // Drop RTS only after the last stop bit has left the transmitter,
        // or the slave's first reply byte would collide with our tail.
        (void)::tcdrain(m_fd);
        setModemLines(m_fd, TIOCM_RTS, false);
    }
    return sent;
}

std::size_t MarkDecoder::decode(std::span<std::uint8_t> bytes) {
    std::size_t out = 0;
    for (const std::uint8_t b : bytes) {
        switch (m_state) {
        case Plain:
            if (b == 0xFF)
                m_state = AfterFF;
            else
                bytes[out++] = b;
            break;
        case AfterFF:
            // "FF FF" is a plain FF; "FF 00" starts a mark. The kernel
            // makes no other pair while marking; were one to come, its FF
            // is dropped (the CRC decides) so the bytes stay in place.
            if (b == 0x00) {
                m_state = AfterFF00;
                break;
            }
            bytes[out++] = b;
            m_state = Plain;
            break;
        case AfterFF00:
            bytes[out++] = b;
            m_state = Plain;
            break;
        }
    }
    return out;
}

ReadResult SerialPort::read(std::span<std::uint8_t> buffer, std::size_t& received) {
    return readUntil(buffer, received, Clock::time_point::max());
}

ReadResult SerialPort::readWithin(std::span<std::uint8_t> buffer, std::size_t& received,
                                  std::chrono::milliseconds firstByteWait) {
    if (firstByteWait.count() <= 0)
        return read(buffer, received);
    return readUntil(buffer, received, Clock::now() + firstByteWait);
}

ReadResult SerialPort::readUntil(std::span<std::uint8_t> buffer, std::size_t& received,
                                 Clock::time_point firstByteDeadline) {
    received = 0;
    if (m_fd < 0 || buffer.empty())
        return ReadNothing;
    const auto start = Clock::now();
    const auto totalDeadline =
        start + kReadTotalConstant + kReadTotalPerByte * static_cast<int>(buffer.size());
    Clock::time_point lastByte{};
    std::size_t count = 0;

    while (count < buffer.size()) {
        auto deadline = totalDeadline;
        if (count > 0)
            deadline = std::min(deadline, lastByte + kInterByteTimeout);
        else
            deadline = std::min(deadline, firstByteDeadline);
        if (Clock::now() >= deadline)
            break;
        const int ev = waitFor(m_fd, POLLIN, deadline);
        if (ev < 0)
            break;
        if (ev == 0)
            continue; // the loop head decides whether a time-out has passed
        if (!(ev & POLLIN)) {
            // Hang-up or error with nothing to read: the other end is gone.
            // Waiting on would only spin on the same event.
            m_lost = true;
            break;
        }
        // Marked bytes take more room than they decode to, so a mark cut
        // off here is left in the driver for the next read.
        const ssize_t n = ::read(m_fd, buffer.data() + count, buffer.size() - count);
        if (n > 0) {
            const std::span<std::uint8_t> got = buffer.subspan(count, static_cast<std::size_t>(n));
            count += m_marked ? m_marks.decode(got) : got.size();
            lastByte = Clock::now();
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            m_lost = true; // end of file or a device error (an adapter unplugged)
            break;
        }
    }
    received = count;
    return count == 0 ? ReadNothing : ReadOk;
}

void SerialPort::close() {
    if (m_fd < 0)
        return;
    // The exclusive mark stays with the line after the last close (a
    // pseudo-terminal keeps it while its master is open), and would refuse
    // the next program, or our own next run as an ordinary user.
    (void)::ioctl(m_fd, TIOCNXCL);
    ::close(m_fd);
    m_fd = -1;
    m_lost = false;
}

} // namespace tarvo
