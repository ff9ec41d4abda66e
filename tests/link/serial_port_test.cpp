#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "link/serial_port.h"
#include "support/hex.h"
#include "support/pty_pair.h"
#include "support/traced_master.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::Bytes;
using test::fromHex;
using test::withCrc;

// Reads one request of `length` bytes from the master end (up to 2 s).
Bytes readRequest(int fd, std::size_t length) {
    Bytes got;
    const auto deadline = Clock::now() + 2s;
    while (got.size() < length && Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        std::uint8_t buf[256];
        const ssize_t n = ::read(fd, buf, std::min(sizeof buf, length - got.size()));
        if (n <= 0)
            break;
        got.insert(got.end(), buf, buf + n);
    }
    return got;
}

void send(int fd, const Bytes& bytes) {
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

double cpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_THREAD, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

class SerialPortPty : public ::testing::Test, protected test::TracedMaster {
protected:
    void SetUp() override { ASSERT_TRUE(port.open(pty.slavePath())); }

    test::PtyPair pty;
    SerialPort port;
};

TEST_F(SerialPortPty, ReadsRegistersFromAResponder) {
    // With parity checking the line discipline doubles the reply's FF bytes.
    ASSERT_TRUE(port.open(pty.slavePath(), SerialPort::kSpeed9600, SerialPort::kParityEven));
    std::thread slave([&] {
        EXPECT_EQ(readRequest(pty.master(), 8), fromHex("01 03 00 00 00 02 C4 0B"));
        send(pty.master(), withCrc(fromHex("01 03 04 00 07 FF FE")));
    });
    std::int32_t values[2] = {};
    EXPECT_EQ(master.readHoldingRegisters(port, 1, 0, 2, values), Ok);
    slave.join();
    EXPECT_EQ(values[0], 7);
    EXPECT_EQ(values[1], 0xFFFE);
}

TEST_F(SerialPortPty, SilentSlaveTimesOutAfterTheTotalTimeout) {
    std::int32_t values[49];
    const auto start = Clock::now();
    EXPECT_EQ(master.readHoldingRegisters(port, 1, 0, 49, values), Timeout);
    // 800 ms + 1 ms for each of the 2 * 49 + 25 = 123 requested bytes.
    EXPECT_GE(Clock::now() - start, 923ms);
}

TEST_F(SerialPortPty, HungUpLineTimesOutWithoutSpinning) {
    pty.closeMaster();
    std::int32_t values[49];
    const double cpuBefore = cpuSeconds();
    EXPECT_EQ(master.readHoldingRegisters(port, 1, 0, 49, values), Timeout);
    EXPECT_EQ(master.writeSingleRegister(port, 1, 0, 0), Timeout);
    // A spinning poll loop would burn most of the 0.9 s time-out.
    EXPECT_LT(cpuSeconds() - cpuBefore, 0.2);
}

TEST_F(SerialPortPty, DrainDiscardsMoreThanOneReadsWorth) {
    send(pty.master(), Bytes(600, 0x55));
    std::this_thread::sleep_for(20ms);
    port.drain();
    send(pty.master(), fromHex("AA"));
    std::uint8_t buf[8];
    std::size_t n = 0;
    EXPECT_EQ(port.read(buf, n), ReadOk);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(buf[0], 0xAA);
}

TEST_F(SerialPortPty, ReadStopsAtTheRequestedCount) {
    send(pty.master(), Bytes(10, 0x11));
    std::uint8_t buf[4];
    std::size_t n = 0;
    const auto start = Clock::now();
    EXPECT_EQ(port.read(buf, n), ReadOk);
    EXPECT_EQ(n, 4u);
    EXPECT_LT(Clock::now() - start, 500ms) << "no wait once the count is reached";
}

struct LineCase {
    int speedCode;
    int parityCode;
    speed_t speed;
    int baud;
    bool parity;
    bool odd;
};

const LineCase kLineCases[] = {
    {256, 0, B2400, 2400, false, false},  {512, 1, B4800, 4800, true, true},
    {2048, 2, B9600, 9600, true, false},  {8192, 0, B19200, 19200, false, false},
    {4096, 3, B9600, 9600, false, false}, {0, -1, B9600, 9600, false, false},
};

TEST(SerialPortLine, SettingsFromTheCodes) {
    termios noisy{};
    noisy.c_iflag = IXON | IXOFF | ICRNL | ISTRIP | IGNPAR | PARMRK;
    noisy.c_oflag = OPOST;
    noisy.c_lflag = ECHO | ICANON | ISIG;
    noisy.c_cflag = CS7 | CSTOPB | CRTSCTS | PARENB | PARODD | HUPCL;
    for (const auto& c : kLineCases) {
        SCOPED_TRACE(c.speedCode);
        const termios tio = SerialPort::lineSettings(noisy, c.speedCode, c.parityCode);
        EXPECT_EQ(::cfgetospeed(&tio), c.speed);
        EXPECT_EQ(SerialPort::baudRate(c.speedCode), c.baud);
        EXPECT_EQ((tio.c_cflag & CSIZE), static_cast<tcflag_t>(CS8));
        EXPECT_FALSE(tio.c_cflag & (CSTOPB | CRTSCTS));
        EXPECT_TRUE(tio.c_cflag & HUPCL) << "other settings are kept";
        EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP | IGNPAR));
        EXPECT_EQ(static_cast<bool>(tio.c_iflag & PARMRK), c.parity);
        EXPECT_FALSE(tio.c_oflag & OPOST);
        EXPECT_FALSE(tio.c_lflag & (ECHO | ICANON | ISIG));
        EXPECT_EQ(static_cast<bool>(tio.c_cflag & PARENB), c.parity);
        EXPECT_EQ(static_cast<bool>(tio.c_iflag & INPCK), c.parity);
        EXPECT_EQ(static_cast<bool>(tio.c_cflag & PARODD), c.odd);
    }
}

// Each row: what the kernel hands over with parity checking on, in two
// reads, and what the master must get.
struct MarkCase {
    const char *fault, *first, *second, *bytes;
};
const MarkCase kMarks[] = {
    {"byte with a parity error read as 00", "01 FF 00 5A", "02", "01 5A 02"},
    {"FF taken twice", "01 FF FF 02", "", "01 FF 02"},
    {"break lost", "FF 00 00 03", "", "00 03"},
    {"FF of a pair split between reads lost", "01 FF", "FF 02", "01 FF 02"},
    {"mark split between reads let through", "01 FF 00", "7E", "01 7E"},
};

TEST(MarkDecoder, MarkedBytesReachTheMasterAsTheyCame) {
    for (const MarkCase& c : kMarks) {
        MarkDecoder decoder;
        Bytes first = fromHex(c.first), second = fromHex(c.second);
        first.resize(decoder.decode(first));
        second.resize(decoder.decode(second));
        first.insert(first.end(), second.begin(), second.end());
        EXPECT_EQ(test::toHex(first), c.bytes) << c.fault;
    }
}

TEST_F(SerialPortPty, OpenAppliesSpeedAndParityChecking) {
    // A pseudo-terminal keeps the speed and INPCK but silently drops PARENB,
    // so only those two are observable here.
    for (const auto& c : kLineCases) {
        SCOPED_TRACE(c.speedCode);
        ASSERT_TRUE(port.open(pty.slavePath(), c.speedCode, c.parityCode));
        termios tio{};
        ASSERT_EQ(::tcgetattr(pty.slave(), &tio), 0);
        EXPECT_EQ(::cfgetospeed(&tio), c.speed);
        EXPECT_EQ(static_cast<bool>(tio.c_iflag & INPCK), c.parity);
    }
}

TEST(SerialPort, FailedOpenLeavesNoPortOpen) {
    test::PtyPair pty;
    SerialPort port;
    ASSERT_TRUE(port.open(pty.slavePath()));
    EXPECT_TRUE(port.isOpen());
    EXPECT_FALSE(port.open("/dev/tarvo-no-such-port"));
    EXPECT_FALSE(port.isOpen());
    std::size_t n = 5;
    std::uint8_t buf[4];
    EXPECT_EQ(port.read(buf, n), ReadNothing);
    EXPECT_EQ(n, 0u);
}

TEST(SerialPort, SecondOpenOfTheSameLineIsRefused) {
    test::PtyPair pty;
    SerialPort first;
    SerialPort second;
    ASSERT_TRUE(first.open(pty.slavePath()));
    const int error = second.open(pty.slavePath()).error;
    EXPECT_TRUE(error == EBUSY || error == EWOULDBLOCK) << "TIOCEXCL, or the lock for root";
    first.close();
    EXPECT_TRUE(second.open(pty.slavePath()));
}

TEST(SerialPort, PortNamesMapToDevices) {
    EXPECT_EQ(SerialPort::devicePath("/tmp/tarvo-bus"), "/tmp/tarvo-bus");
    EXPECT_EQ(SerialPort::devicePath("ttyAMA0"), "/dev/ttyAMA0");
    const bool usb0 = ::access("/dev/ttyUSB0", F_OK) == 0;
    EXPECT_EQ(SerialPort::devicePath("COM1:"), usb0 ? "/dev/ttyUSB0" : "/dev/ttyS0");
    const bool usb3 = ::access("/dev/ttyUSB3", F_OK) == 0;
    EXPECT_EQ(SerialPort::devicePath("com4"), usb3 ? "/dev/ttyUSB3" : "/dev/ttyS3");
    EXPECT_EQ(SerialPort::devicePath("COM0:"), "/dev/COM0:");
}

} // namespace
} // namespace tarvo
