#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::test {

using Bytes = std::vector<std::uint8_t>;

/// "01 03 00 0A" (blanks optional) to bytes.
Bytes fromHex(std::string_view hex);

/// Bytes as "01 03 00 0A".
std::string toHex(const Bytes& bytes);

/// The frame with its Modbus CRC appended, low byte first.
Bytes withCrc(Bytes frame);

/// A function-3 reply from `slave` carrying these register values.
Bytes readReply(int slave, const std::vector<int>& registers);

} // namespace tarvo::test
