#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <span>
#include <vector>

namespace tarvo::sim {

using Bytes = std::vector<std::uint8_t>;

/// The Modbus RTU CRC-16 computed bit by bit (reflected polynomial 0xA001,
/// initial value 0xFFFF, no final XOR). The program's master uses the
/// published byte tables; keeping this one independent lets each check the
/// other. Its low byte goes first on the wire.
std::uint16_t crc16(std::span<const std::uint8_t> bytes);

/// Appends the CRC of `frame`, low byte first.
void appendCrc(Bytes& frame);

/// A frame is intact when the CRC over all of it, CRC bytes included, is 0.
/// Frames shorter than 4 bytes (address, function, CRC) never are.
bool frameIntact(std::span<const std::uint8_t> frame);

/// The silent interval that ends a frame on a line at `baud`: 3.5 character
/// times of 11 bits (start, 8 data, parity or second stop, stop), but at least
/// 1750 us above 19200 baud as real slaves use. At 9600 baud:
/// 3.5 * 11 / 9600 s = 4010 us.
std::chrono::microseconds silentInterval(int baud);

/// A wait for ppoll; a negative one is no wait.
timespec toTimespec(std::chrono::microseconds us);

/// Builds an exception reply: address, function | 0x80, code, CRC.
Bytes exceptionReply(std::uint8_t address, std::uint8_t function, std::uint8_t code);

/// Modbus exception codes the simulated devices answer with.
enum ExceptionCode : std::uint8_t {
    IllegalFunction = 0x01,
    IllegalDataAddress = 0x02,
    IllegalDataValue = 0x03,
    SlaveDeviceFailure = 0x04,
};

} // namespace tarvo::sim
