#include <gtest/gtest.h>

#include "link/modbus_master.h"
#include "support/hex.h"

namespace tarvo {
namespace {

using test::fromHex;

TEST(Crc16, KnownFramesOnTheWire) {
    EXPECT_EQ(test::withCrc(fromHex("01 03 00 00 00 31")), fromHex("01 03 00 00 00 31 84 1E"));
    EXPECT_EQ(test::withCrc(fromHex("01 11")), fromHex("01 11 C0 2C"));
    EXPECT_EQ(ModbusMaster::crc16(fromHex("01 03 00 00 00 31")), 0x1E84);
    EXPECT_EQ(ModbusMaster::crc16(fromHex("01 03 00 00 00 31 84 1E")), 0)
        << "an intact frame checks to 0 with its CRC included";
    EXPECT_EQ(ModbusMaster::crc16({}), 0xFFFF);
}

TEST(Crc16, TablesOpenAsPublished) {
    // For a single byte d, i = d ^ 0xFF, so the CRC exposes both table
    // entries: low byte = tableHigh[i] ^ 0xFF, high byte = tableLow[i].
    const std::uint8_t high[] = {0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41};
    const std::uint8_t low[] = {0x00, 0xC0, 0xC1, 0x01, 0xC3, 0x03, 0x02, 0xC2};
    for (int i = 0; i < 8; ++i) {
        const std::uint8_t d = static_cast<std::uint8_t>(i ^ 0xFF);
        const std::uint16_t crc = ModbusMaster::crc16(std::span(&d, 1));
        EXPECT_EQ((crc & 0xFF) ^ 0xFF, high[i]) << i;
        EXPECT_EQ(crc >> 8, low[i]) << i;
    }
}

} // namespace
} // namespace tarvo
