#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include "link/transport.h"

namespace tarvo {

class CommTrace;
class DeviceTable;

/// Result of every device transaction.
enum ModbusResult : int {
    Ok = 0,
    Timeout = 1,
    ResponseTooLarge = 2,
    WrongByteCount = 3,
    ExceptionResponse = 4,
    CrcError = 5,
    WrongAddress = 6,
    WrongFunction = 7,
    WrongDataLength = 8,
    WriteNotConfirmed = 9,
    InvalidParameter = 10,
};

/// Modbus RTU master for functions 3, 6 and 17.
///
/// Each transaction is one blocking call on the caller's thread: it checks its
/// arguments (10 at once, with nothing traced, sent or read), builds the frame,
/// drains the input, sends, records the request in the trace (as it went over
/// the wire, for a link that reframes it), reads the reply with the port's
/// time-outs, records what arrived, asks a live trace window to repaint
/// and checks the reply field by field. A silent slave costs the full read
/// time-out (800 ms + 1 ms per requested byte). There is no retry.
///
/// Each function has its own request and reply area, overwritten by the next
/// transaction of that function, so a transaction allocates nothing.
class ModbusMaster {
public:
    /// Largest register count the argument check accepts.
    static constexpr int kMaxReadCount = 509;
    /// Length of the zero-terminated identification text area of function 17.
    static constexpr std::size_t kSlaveIdTextSize = 94;

    /// `adapterEchoes`, when given, is read at every transaction: while it
    /// is true the copy of the request an echoing adapter sends back before
    /// the reply is read and discarded.
    ModbusMaster(CommTrace& trace, DeviceTable& devices, const bool* adapterEchoes = nullptr)
        : m_trace(trace), m_devices(devices), m_adapterEchoes(adapterEchoes) {}

    /// Function 3. On Ok, values[0 .. count-1] hold the registers (0 to 65535
    /// each); on any other result `values` is untouched. `values` must hold
    /// at least `count` slots, else the call is refused with InvalidParameter.
    ///
    /// `firstByteWait`, when above zero, gives the reply's first byte that
    /// long after the request (Transport::readWithin): a silent slave then
    /// costs the wait instead of the full time-out, a slower one is taken
    /// for silent (Timeout).
    ModbusResult readHoldingRegisters(Transport& port, int slave, int first, int count,
                                      std::span<std::int32_t> values,
                                      std::chrono::milliseconds firstByteWait = {});

    /// Function 6. The echo must match register and value byte for byte.
    ModbusResult writeSingleRegister(Transport& port, int slave, int reg, int value);

    /// Function 17. On Ok, `slaveId` holds the slave-ID byte, `text` the
    /// identification text zero-terminated (up to 93 characters), and the
    /// DeviceTable entry of the address records the slave-ID byte. `text`
    /// must hold kSlaveIdTextSize bytes, else InvalidParameter.
    /// `firstByteWait` as for readHoldingRegisters: the quick scan's probe.
    ModbusResult reportSlaveId(Transport& port, int slave, int& slaveId, std::span<char> text,
                               std::chrono::milliseconds firstByteWait = {});

    /// The Modbus RTU CRC-16 (reflected 0xA001, initial 0xFFFF). Its low byte
    /// goes first on the wire. A received frame is intact when the CRC over
    /// the whole frame, its two CRC bytes included, is 0.
    static std::uint16_t crc16(std::span<const std::uint8_t> bytes);

    /// "Ok" or "Err #n, ..." for codes 1 to 10; "Err #?, Unknown Error" for
    /// anything else.
    static const char* resultText(int code);

private:
    // Reads after sending `request`, records the reply in the trace and
    // returns the read result with `received` limited to reply.size().
    ReadResult exchange(Transport& port, std::span<const std::uint8_t> request,
                        std::span<std::uint8_t> reply, std::size_t& received,
                        std::chrono::milliseconds firstByteWait = {});

    CommTrace& m_trace;
    DeviceTable& m_devices;
    const bool* m_adapterEchoes;

    // A read asks for 2 * count + 25 bytes; the area is large enough for
    // every count the argument check accepts (509 registers: 1043 bytes),
    // instead of refusing counts above 137 that a 300-byte area could not hold.
    static constexpr std::size_t kReadReplySize = 2 * kMaxReadCount + 25;
    // Function 6 replies are 8 bytes; reading up to 12 catches a longer one.
    static constexpr std::size_t kWriteReplySize = 12;
    static constexpr std::size_t kSlaveIdReplySize = 100;

    std::array<std::uint8_t, 8> m_readRequest{};
    std::array<std::uint8_t, kReadReplySize> m_readReply{};
    std::array<std::uint8_t, 8> m_writeRequest{};
    std::array<std::uint8_t, kWriteReplySize> m_writeReply{};
    std::array<std::uint8_t, 4> m_slaveIdRequest{};
    std::array<std::uint8_t, 8> m_echo{}; // the longest request is 8 bytes
    std::array<std::uint8_t, kSlaveIdReplySize> m_slaveIdReply{};
};

} // namespace tarvo
