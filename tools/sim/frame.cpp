#include "sim/frame.h"

namespace tarvo::sim {

std::uint16_t crc16(std::span<const std::uint8_t> bytes) {
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            const bool lsb = (crc & 1u) != 0;
            crc = static_cast<std::uint16_t>(crc >> 1);
            if (lsb)
                crc ^= 0xA001;
        }
    }
    return crc;
}

void appendCrc(Bytes& frame) {
    const std::uint16_t crc = crc16(frame);
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
}

bool frameIntact(std::span<const std::uint8_t> frame) {
    return frame.size() >= 4 && crc16(frame) == 0;
}

std::chrono::microseconds silentInterval(int baud) {
    if (baud <= 0 || baud > 19200)
        return std::chrono::microseconds{1750};
    // 3.5 characters * 11 bits = 38.5 bit times, rounded up to whole microseconds.
    const long long us = (38'500'000LL + baud - 1) / baud;
    return std::chrono::microseconds{us};
}

timespec toTimespec(std::chrono::microseconds us) {
    const auto count = us.count() < 0 ? 0 : us.count();
    return timespec{static_cast<time_t>(count / 1'000'000),
                    static_cast<long>(count % 1'000'000) * 1000};
}

Bytes exceptionReply(std::uint8_t address, std::uint8_t function, std::uint8_t code) {
    Bytes reply{address, static_cast<std::uint8_t>(function | 0x80), code};
    appendCrc(reply);
    return reply;
}

} // namespace tarvo::sim
