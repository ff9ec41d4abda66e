#include "support/hex.h"

#include <cstdio>
#include <stdexcept>

#include "link/modbus_master.h"

namespace tarvo::test {

Bytes fromHex(std::string_view hex) {
    Bytes out;
    int nibbles = 0;
    unsigned value = 0;
    for (char c : hex) {
        unsigned v;
        if (c >= '0' && c <= '9')
            v = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            v = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            v = static_cast<unsigned>(c - 'A' + 10);
        else if (c == ' ')
            continue;
        else
            throw std::invalid_argument("bad hex digit");
        value = value << 4 | v;
        if (++nibbles == 2) {
            out.push_back(static_cast<std::uint8_t>(value));
            nibbles = 0;
            value = 0;
        }
    }
    if (nibbles != 0)
        throw std::invalid_argument("odd number of hex digits");
    return out;
}

std::string toHex(const Bytes& bytes) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        out += buf;
    }
    return out;
}

Bytes withCrc(Bytes frame) {
    const std::uint16_t crc = ModbusMaster::crc16(frame);
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    return frame;
}

Bytes readReply(int slave, const std::vector<int>& registers) {
    Bytes frame{static_cast<std::uint8_t>(slave), 0x03,
                static_cast<std::uint8_t>(2 * registers.size())};
    for (int r : registers) {
        frame.push_back(static_cast<std::uint8_t>(r >> 8));
        frame.push_back(static_cast<std::uint8_t>(r));
    }
    return withCrc(frame);
}

} // namespace tarvo::test
