#include "link/modbus_master.h"

#include <algorithm>

#include "link/comm_trace.h"
#include "link/device_table.h"

namespace tarvo {
namespace {

// The two 256-entry tables of the Modbus serial-line CRC, one per CRC byte.
// They are derived here from the reflected polynomial 0xA001 and come out
// identical to the published ones (tableHigh begins 00 C1 81 40 01 C0 80 41,
// tableLow begins 00 C0 C1 01 C3 03 02 C2); the tests compare the CRC with
// the simulator's bitwise one on random frames.
struct CrcTables {
    std::array<std::uint8_t, 256> high{};
    std::array<std::uint8_t, 256> low{};
};

constexpr CrcTables makeCrcTables() {
    CrcTables t;
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1U) ? (crc >> 1) ^ 0xA001U : crc >> 1;
        t.high[i] = static_cast<std::uint8_t>(crc & 0xFFU);
        t.low[i] = static_cast<std::uint8_t>(crc >> 8);
    }
    return t;
}

constexpr CrcTables kCrc = makeCrcTables();
static_assert(kCrc.high[1] == 0xC1 && kCrc.high[3] == 0x40 && kCrc.low[4] == 0xC3);

constexpr std::uint8_t kReadFunction = 3;
constexpr std::uint8_t kWriteFunction = 6;
constexpr std::uint8_t kSlaveIdFunction = 17;
constexpr std::uint8_t kExceptionBit = 0x80;

std::uint8_t hi(int v) {
    return static_cast<std::uint8_t>((v >> 8) & 0xFF);
}
std::uint8_t lo(int v) {
    return static_cast<std::uint8_t>(v & 0xFF);
}

void appendCrc(std::span<std::uint8_t> frame) {
    const std::size_t body = frame.size() - 2;
    const std::uint16_t crc = ModbusMaster::crc16(frame.first(body));
    frame[body] = lo(crc);
    frame[body + 1] = hi(crc);
}

// An exception reply: 5 bytes, intact, from the addressed slave, with the
// function's exception code. It is tested before the length check so that a
// short exception frame is not mistaken for a wrong-length reply.
bool isException(std::span<const std::uint8_t> reply, int slave, std::uint8_t function) {
    return reply.size() == 5 && ModbusMaster::crc16(reply) == 0 && reply[0] == slave &&
           reply[1] == (function | kExceptionBit);
}

// Checks shared by the three functions once the length is right: CRC,
// address, exception function code, function code.
ModbusResult checkHeader(std::span<const std::uint8_t> reply, int slave, std::uint8_t function) {
    if (ModbusMaster::crc16(reply) != 0)
        return CrcError;
    if (reply[0] != slave)
        return WrongAddress;
    if (reply[1] == (function | kExceptionBit))
        return ExceptionResponse;
    if (reply[1] != function)
        return WrongFunction;
    return Ok;
}

} // namespace

std::uint16_t ModbusMaster::crc16(std::span<const std::uint8_t> bytes) {
    std::uint8_t a = 0xFF; // low byte of the CRC, sent first
    std::uint8_t b = 0xFF;
    for (std::uint8_t d : bytes) {
        const std::uint8_t i = d ^ a;
        a = kCrc.high[i] ^ b;
        b = kCrc.low[i];
    }
    return static_cast<std::uint16_t>(b << 8 | a);
}

const char* ModbusMaster::resultText(int code) {
    static constexpr const char* kTexts[] = {
        "Ok",
        "Err #1, Timeout Waiting For Response",
        "Err #2, Response Too Large for Buffer",
        "Err #3, Response Has Incorrect Number of Bytes",
        "Err #4, Exception Response from Modbus Device",
        "Err #5, CRC Error",
        "Err #6, Response from Wrong Address",
        "Err #7, Response with incorrect function code",
        "Err #8, Response indicates incorrect data length",
        "Err #9, Write did not confirm correct data",
        "Err #10, Function Called with Invalid Input Parameter",
    };
    if (code < 0 || code > InvalidParameter)
        return "Err #?, Unknown Error";
    return kTexts[code];
}

ReadResult ModbusMaster::exchange(Transport& port, std::span<const std::uint8_t> request,
                                  std::span<std::uint8_t> reply, std::size_t& received,
                                  std::chrono::milliseconds firstByteWait) {
    const auto readFirst = [&](std::span<std::uint8_t> into, std::size_t& got) {
        return firstByteWait.count() > 0 ? port.readWithin(into, got, firstByteWait)
                                         : port.read(into, got);
    };
    port.drain();
    port.write(request);
    // A link that reframes (Modbus TCP) shows the bytes as they went over
    // the wire; the receive line starts after the send line it shows.
    const bool wire = port.reframes();
    const std::size_t shown = wire ? port.wireSent().size() : request.size();
    m_trace.recordSend(wire ? port.wireSent() : request);
    const auto recordReply = [&](std::span<const std::uint8_t> got) {
        m_trace.recordReceive(wire ? port.wireReceived() : got, shown);
        m_trace.requestRepaint();
    };
    received = 0;
    if (m_adapterEchoes && *m_adapterEchoes && !wire && request.size() <= m_echo.size()) {
        // The echo comes back at once, whole: a read of exactly its length
        // stops when it is in. Anything other than our own request is the
        // start of the reply (the adapter did not echo this time) and is
        // kept in front of the rest.
        const std::span<std::uint8_t> echo = std::span(m_echo).first(request.size());
        std::size_t echoed = 0;
        const ReadResult r = readFirst(echo, echoed);
        echoed = std::min(echoed, echo.size());
        if (r != ReadOk || echoed == 0) {
            recordReply({});
            return ReadNothing;
        }
        if (!std::equal(echo.begin(), echo.begin() + static_cast<std::ptrdiff_t>(echoed),
                        request.begin(), request.end())) {
            const std::size_t kept = std::min(echoed, reply.size());
            std::copy_n(echo.begin(), kept, reply.begin());
            std::size_t rest = 0;
            const ReadResult more = port.read(reply.subspan(kept), rest);
            received = kept + (more == ReadNothing ? 0 : std::min(rest, reply.size() - kept));
            recordReply(reply.first(received));
            return more == ReadOverflow ? ReadOverflow : ReadOk;
        }
    }
    const ReadResult result = readFirst(reply, received);
    if (received > reply.size())
        received = reply.size();
    recordReply(reply.first(received));
    return result;
}

ModbusResult ModbusMaster::readHoldingRegisters(Transport& port, int slave, int first, int count,
                                                std::span<std::int32_t> values,
                                                std::chrono::milliseconds firstByteWait) {
    if (slave < 0 || slave > 255)
        return InvalidParameter;
    if (count < 1 || count > kMaxReadCount)
        return InvalidParameter;
    if (first < 0 || first + count > 65535)
        return InvalidParameter;
    if (values.size() < static_cast<std::size_t>(count))
        return InvalidParameter;

    auto& rq = m_readRequest;
    rq = {static_cast<std::uint8_t>(slave),
          kReadFunction,
          hi(first),
          lo(first),
          hi(count),
          lo(count)};
    appendCrc(rq);

    // The read asks for 20 bytes more than a correct reply holds, so an
    // over-long answer is caught by the length check instead of being left
    // in the input for the next transaction to trip over.
    const std::size_t expected = 2 * static_cast<std::size_t>(count) + 5;
    std::size_t n = 0;
    const ReadResult rr =
        exchange(port, rq, std::span(m_readReply).first(expected + 20), n, firstByteWait);
    if (rr != ReadOk)
        return static_cast<ModbusResult>(rr);

    const auto reply = std::span<const std::uint8_t>(m_readReply).first(n);
    if (isException(reply, slave, kReadFunction))
        return ExceptionResponse;
    if (n != expected)
        return WrongByteCount;
    if (const ModbusResult r = checkHeader(reply, slave, kReadFunction); r != Ok)
        return r;
    // For 128 registers the count byte wraps to 0.
    if (reply[2] != lo(2 * count))
        return WrongDataLength;
    for (int i = 0; i < count; ++i)
        values[static_cast<std::size_t>(i)] = reply[3 + 2 * i] * 256 + reply[4 + 2 * i];
    return Ok;
}

ModbusResult ModbusMaster::writeSingleRegister(Transport& port, int slave, int reg, int value) {
    if (slave < 0 || slave > 255)
        return InvalidParameter;
    if (reg < 0 || reg > 1023)
        return InvalidParameter;
    if (value < 0 || value > 65535)
        return InvalidParameter;

    auto& rq = m_writeRequest;
    rq = {static_cast<std::uint8_t>(slave), kWriteFunction, hi(reg), lo(reg), hi(value), lo(value)};
    appendCrc(rq);

    std::size_t n = 0;
    const ReadResult rr = exchange(port, rq, m_writeReply, n);
    if (rr != ReadOk)
        return static_cast<ModbusResult>(rr);

    const auto reply = std::span<const std::uint8_t>(m_writeReply).first(n);
    if (isException(reply, slave, kWriteFunction))
        return ExceptionResponse;
    if (n != 8)
        return WrongByteCount;
    if (const ModbusResult r = checkHeader(reply, slave, kWriteFunction); r != Ok)
        return r;
    for (int i = 2; i < 6; ++i) {
        if (reply[static_cast<std::size_t>(i)] != rq[static_cast<std::size_t>(i)])
            return WriteNotConfirmed;
    }
    return Ok;
}

ModbusResult ModbusMaster::reportSlaveId(Transport& port, int slave, int& slaveId,
                                         std::span<char> text,
                                         std::chrono::milliseconds firstByteWait) {
    if (slave < 0 || slave > 255)
        return InvalidParameter;
    if (text.size() < kSlaveIdTextSize)
        return InvalidParameter;

    auto& rq = m_slaveIdRequest;
    rq = {static_cast<std::uint8_t>(slave), kSlaveIdFunction};
    appendCrc(rq);

    std::size_t n = 0;
    const ReadResult rr = exchange(port, rq, m_slaveIdReply, n, firstByteWait);
    if (rr != ReadOk)
        return static_cast<ModbusResult>(rr);

    const auto reply = std::span<const std::uint8_t>(m_slaveIdReply).first(n);
    if (isException(reply, slave, kSlaveIdFunction))
        return ExceptionResponse;
    if (n < 7)
        return WrongByteCount;
    if (const ModbusResult r = checkHeader(reply, slave, kSlaveIdFunction); r != Ok)
        return r;
    if (static_cast<std::size_t>(reply[2]) != n - 5)
        return WrongDataLength;

    slaveId = reply[3];
    m_devices.record(slave, slaveId);
    // Text: bytes 5 .. n-3. The reply is at most 100 bytes, so at most 93
    // characters, which fit the 94-byte area with the zero.
    const std::size_t length = n - 7;
    for (std::size_t i = 0; i < length; ++i)
        text[i] = static_cast<char>(reply[5 + i]);
    text[length] = '\0';
    return Ok;
}

} // namespace tarvo
