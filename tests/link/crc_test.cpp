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

} // namespace
} // namespace tarvo
