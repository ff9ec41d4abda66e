#include <gtest/gtest.h>

#include "support/fake_transport.h"
#include "support/traced_master.h"

namespace tarvo {
namespace {

using test::Bytes;
using test::FakeTransport;
using test::fromHex;
using test::withCrc;

Bytes brokenCrc(Bytes frame) {
    frame.back() ^= 0x01;
    return frame;
}

Bytes flipBit(Bytes frame, std::size_t index) {
    frame[index] ^= 0x10;
    return frame;
}

class ModbusMasterTest : public ::testing::Test, protected test::TracedMaster {
protected:
    FakeTransport port;

    void scriptReply(const Bytes& reply) {
        if (reply.empty())
            port.scriptSilence();
        else
            port.script(reply);
    }
};

// A reply table: each row is a reply the slave sends and the result the master
// must give. The request is a read of 2 registers from 0 at slave 3. The
// checks the three functions share (an exception frame's CRC, the CRC and the
// exception code of a full-length reply) have their rows in the read table;
// the other two tables keep the rows that depend on their own function code
// and reply length.
struct ReplyCase {
    const char* name;
    Bytes reply;
    int expected;
};

TEST_F(ModbusMasterTest, ReadHoldingRegistersReplyChecksInOrder) {
    const Bytes good = withCrc(fromHex("03 03 04 12 34 FF FF"));
    const ReplyCase cases[] = {
        {"good reply", good, Ok},
        {"silence", {}, Timeout},
        {"exception with valid CRC", withCrc(fromHex("03 83 02")), ExceptionResponse},
        {"exception with broken CRC", brokenCrc(withCrc(fromHex("03 83 02"))), WrongByteCount},
        {"exception from another slave", withCrc(fromHex("04 83 02")), WrongByteCount},
        {"one byte short", withCrc(fromHex("03 03 04 12 34 FF")), WrongByteCount},
        {"one byte long", withCrc(fromHex("03 03 04 12 34 FF FF 00")), WrongByteCount},
        {"flipped data bit", flipBit(good, 4), CrcError},
        {"another slave", withCrc(fromHex("04 03 04 12 34 FF FF")), WrongAddress},
        {"exception code at full length", withCrc(fromHex("03 83 04 12 34 FF FF")),
         ExceptionResponse},
        {"wrong function", withCrc(fromHex("03 04 04 12 34 FF FF")), WrongFunction},
        {"wrong byte count", withCrc(fromHex("03 03 05 12 34 FF FF")), WrongDataLength},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scriptReply(c.reply);
        std::int32_t values[2] = {-7, -7};
        EXPECT_EQ(master.readHoldingRegisters(port, 3, 0, 2, values), c.expected);
        if (c.expected == Ok) {
            EXPECT_EQ(values[0], 0x1234);
            EXPECT_EQ(values[1], 65535) << "registers are never sign-extended";
        } else {
            EXPECT_EQ(values[0], -7) << "values untouched on failure";
        }
        EXPECT_EQ(port.writes.back(), withCrc(fromHex("03 03 00 00 00 02")));
        EXPECT_EQ(port.readSizes.back(), 2u * 2 + 25);
        EXPECT_EQ(port.drains, static_cast<int>(port.writes.size())) << "drained before each";
    }
}

TEST_F(ModbusMasterTest, WriteSingleRegisterReplyChecksInOrder) {
    const Bytes echo = withCrc(fromHex("05 06 01 02 03 04"));
    const ReplyCase cases[] = {
        {"echo", echo, Ok},
        {"silence", {}, Timeout},
        {"exception with valid CRC", withCrc(fromHex("05 86 02")), ExceptionResponse},
        {"one byte short", withCrc(fromHex("05 06 01 02 03")), WrongByteCount},
        {"one byte long", withCrc(fromHex("05 06 01 02 03 04 00")), WrongByteCount},
        {"another slave", withCrc(fromHex("06 06 01 02 03 04")), WrongAddress},
        {"wrong function", withCrc(fromHex("05 03 01 02 03 04")), WrongFunction},
        // The first and the last of the four bytes the echo must repeat.
        {"register high byte differs", withCrc(fromHex("05 06 00 02 03 04")), WriteNotConfirmed},
        {"value low byte differs", withCrc(fromHex("05 06 01 02 03 05")), WriteNotConfirmed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scriptReply(c.reply);
        EXPECT_EQ(master.writeSingleRegister(port, 5, 0x0102, 0x0304), c.expected);
        EXPECT_EQ(port.writes.back(), echo) << "the request is what an echo repeats";
        EXPECT_EQ(port.readSizes.back(), 12u);
    }
}

TEST_F(ModbusMasterTest, ReportSlaveIdReplyChecksInOrder) {
    const ReplyCase cases[] = {
        {"silence", {}, Timeout},
        {"exception with valid CRC", withCrc(fromHex("01 91 01")), ExceptionResponse},
        {"six bytes", withCrc(fromHex("01 11 01 E6")), WrongByteCount},
        {"another slave", withCrc(fromHex("02 11 03 E6 FF 41")), WrongAddress},
        {"wrong function", withCrc(fromHex("01 03 03 E6 FF 41")), WrongFunction},
        {"byte count one too many", withCrc(fromHex("01 11 04 E6 FF 41")), WrongDataLength},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scriptReply(c.reply);
        int slaveId = -1;
        char text[ModbusMaster::kSlaveIdTextSize] = "untouched";
        EXPECT_EQ(master.reportSlaveId(port, 1, slaveId, text), c.expected);
        EXPECT_EQ(slaveId, -1);
        EXPECT_EQ(devices.slaveId(1), 0) << "only a good reply is recorded";
        EXPECT_EQ(port.writes.back(), fromHex("01 11 C0 2C"));
        EXPECT_EQ(port.readSizes.back(), 100u);
    }
}

TEST_F(ModbusMasterTest, ReportSlaveIdDeliversTextAndRecordsTheDevice) {
    // The shortest good reply: slave-ID byte and run indicator, no text.
    port.script(withCrc(fromHex("07 11 02 EB FF")));
    int slaveId = -1;
    char text[ModbusMaster::kSlaveIdTextSize] = "untouched";
    EXPECT_EQ(master.reportSlaveId(port, 7, slaveId, text), Ok);
    EXPECT_EQ(slaveId, 235);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(devices.slaveId(7), 235);

    // The longest reply that fits the 100-byte read: 93 characters of text.
    Bytes longest = fromHex("09 11 5F E6 FF");
    for (int i = 0; i < 93; ++i)
        longest.push_back(static_cast<std::uint8_t>('a' + i % 26));
    port.script(withCrc(longest));
    EXPECT_EQ(master.reportSlaveId(port, 9, slaveId, text), Ok);
    EXPECT_EQ(std::string(text).size(), 93u);
    EXPECT_EQ(devices.slaveId(9), 230);

    // Addresses above 247 have no table entry, yet the reply is delivered.
    port.script(withCrc(fromHex("FA 11 04 E6 FF 4B 79")));
    EXPECT_EQ(master.reportSlaveId(port, 250, slaveId, text), Ok);
    EXPECT_STREQ(text, "Ky");
    EXPECT_EQ(devices.slaveId(250), 0);
}

TEST_F(ModbusMasterTest, InvalidArgumentsCauseNoTrafficAndNoTrace) {
    std::int32_t values[510] = {};
    std::int32_t small[3] = {};
    int slaveId = 0;
    char text[ModbusMaster::kSlaveIdTextSize] = {};
    char shortText[10] = {};
    const std::string before = trace.text();
    const int index = trace.currentIndex();

    struct Call {
        const char* name;
        std::function<int()> run;
    };
    const Call calls[] = {
        {"count 0", [&] { return master.readHoldingRegisters(port, 1, 0, 0, values); }},
        {"count 510", [&] { return master.readHoldingRegisters(port, 1, 0, 510, values); }},
        {"65500 + 36 registers",
         [&] { return master.readHoldingRegisters(port, 1, 65500, 36, values); }},
        {"negative first register",
         [&] { return master.readHoldingRegisters(port, 1, -1, 2, values); }},
        {"read address 256", [&] { return master.readHoldingRegisters(port, 256, 0, 2, values); }},
        {"read address -1", [&] { return master.readHoldingRegisters(port, -1, 0, 2, values); }},
        {"values too small", [&] { return master.readHoldingRegisters(port, 1, 0, 4, small); }},
        {"write register 1024", [&] { return master.writeSingleRegister(port, 1, 1024, 0); }},
        {"write register -1", [&] { return master.writeSingleRegister(port, 1, -1, 0); }},
        {"write value 65536", [&] { return master.writeSingleRegister(port, 1, 1, 65536); }},
        {"write value -1", [&] { return master.writeSingleRegister(port, 1, 1, -1); }},
        {"write address 256", [&] { return master.writeSingleRegister(port, 256, 1, 1); }},
        {"slave id address 256", [&] { return master.reportSlaveId(port, 256, slaveId, text); }},
        {"slave id text too small",
         [&] { return master.reportSlaveId(port, 1, slaveId, shortText); }},
    };
    for (const auto& c : calls) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.run(), InvalidParameter);
    }
    EXPECT_EQ(port.drains, 0);
    EXPECT_TRUE(port.writes.empty());
    EXPECT_TRUE(port.readSizes.empty());
    EXPECT_EQ(trace.text(), before);
    EXPECT_EQ(trace.currentIndex(), index);
}

TEST_F(ModbusMasterTest, LimitsThatAreStillSent) {
    std::int32_t values[509] = {};
    port.scriptSilence();
    EXPECT_EQ(master.writeSingleRegister(port, 1, 1023, 65535), Timeout);
    EXPECT_EQ(port.writes.back(), withCrc(fromHex("01 06 03 FF FF FF")));

    port.scriptSilence();
    EXPECT_EQ(master.readHoldingRegisters(port, 0, 0, 2, values), Timeout) << "broadcast is sent";
    EXPECT_EQ(port.writes.back()[0], 0);

    port.scriptSilence();
    EXPECT_EQ(master.readHoldingRegisters(port, 1, 65500, 35, values), Timeout);

    // The largest count gets a reply area for all of it.
    Bytes big = fromHex("01 03 FA");
    for (int i = 0; i < 509; ++i) {
        big.push_back(static_cast<std::uint8_t>(i >> 8));
        big.push_back(static_cast<std::uint8_t>(i));
    }
    port.script(withCrc(big));
    EXPECT_EQ(master.readHoldingRegisters(port, 1, 0, 509, values), Ok);
    EXPECT_EQ(port.readSizes.back(), 2u * 509 + 25);
    EXPECT_EQ(values[508], 508);
}

TEST_F(ModbusMasterTest, ByteCountWrapsForOneHundredTwentyEightRegisters) {
    std::int32_t values[128] = {};
    Bytes reply = fromHex("01 03 00");
    reply.resize(3 + 256, 0xAB);
    port.script(withCrc(reply));
    EXPECT_EQ(master.readHoldingRegisters(port, 1, 0, 128, values), Ok);
    EXPECT_EQ(values[127], 0xABAB);

    reply[2] = 0xFF;
    port.script(withCrc(reply));
    EXPECT_EQ(master.readHoldingRegisters(port, 1, 0, 128, values), WrongDataLength);
}

TEST_F(ModbusMasterTest, LiveTraceWindowIsAskedToRepaintAfterEachTransaction) {
    int repaints = 0;
    trace.setRepaintHandler([&] { ++repaints; });
    std::int32_t values[2];
    port.scriptSilence();
    master.readHoldingRegisters(port, 1, 0, 2, values);
    EXPECT_EQ(repaints, 0) << "not live";
    trace.setTraceLive(true);
    port.scriptSilence();
    master.readHoldingRegisters(port, 1, 0, 2, values);
    master.readHoldingRegisters(port, 1, 0, 0, values); // refused: no repaint
    EXPECT_EQ(repaints, 1);
}

// The ends of the text table and the codes beyond them; the timeout's text
// is in the settings restore report's row.
TEST(ModbusResultText, TableEndsAndCodesBeyondThem) {
    EXPECT_STREQ(ModbusMaster::resultText(0), "Ok");
    EXPECT_STREQ(ModbusMaster::resultText(10),
                 "Err #10, Function Called with Invalid Input Parameter");
    EXPECT_STREQ(ModbusMaster::resultText(11), "Err #?, Unknown Error");
    EXPECT_STREQ(ModbusMaster::resultText(-1), "Err #?, Unknown Error");
}

} // namespace
} // namespace tarvo
