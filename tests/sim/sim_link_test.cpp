// The simulator on a pseudo-terminal against the program's own serial port
// and Modbus master: every device kind, every fault, the request log, and
// bad input that must never wedge the simulator.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <thread>

#include "devices/device_table.h"
#include "link/comm_trace.h"
#include "link/modbus_master.h"
#include "link/serial_port.h"
#include "sim/server.h"
#include "support/hex.h"

namespace tarvo::sim {
namespace {

using namespace std::chrono_literals;
using test::fromHex;
using test::withCrc;

class SimLink : public ::testing::Test {
protected:
    void SetUp() override {
        Bus& bus = sim.bus();
        bus.addDevice(Model::Branch, 2, "PNL1");
        bus.addDevice(Model::Circuit8, 3, "MAIN");
        bus.addDevice(Model::Branch100A, 4);
        bus.addDevice(Model::Circuit6, 5);
        bus.addDevice(Model::Energy, 6);
        bus.addDevice(Model::Temperature, 7);
        bus.addDevice(Model::FullData, 8);
        bus.addDevice(Model::Foreign, 9);
        ASSERT_TRUE(port.openDevice(sim.slavePath()));
    }

    int read(int slave, int first, int count) {
        values.assign(static_cast<std::size_t>(count), -1);
        return master.readHoldingRegisters(port, slave, first, count, values);
    }

    // Sends raw bytes, then lets the line fall silent so the simulator cuts
    // them off as a frame of their own.
    void sendRaw(const test::Bytes& bytes) {
        port.write(bytes);
        std::this_thread::sleep_for(30ms);
    }

    // The raw reply to a raw request.
    test::Bytes exchangeRaw(const test::Bytes& request) {
        port.drain();
        port.write(request);
        std::array<std::uint8_t, 300> buf{};
        std::size_t got = 0;
        port.read(buf, got);
        return test::Bytes(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(got));
    }

    PtyServer sim;
    SerialPort port;
    CommTrace trace;
    DeviceTable devices;
    ModbusMaster master{trace, devices};
    std::vector<std::int32_t> values;
};

TEST_F(SimLink, EveryKindReportsItsSlaveIdByteAndText) {
    const struct {
        int address;
        int slaveId;
        const char* text;
    } kinds[] = {
        {2, 230, "Kyrel Branch Circuit Monitor, 42 Breakers"},
        {3, 235, "Kyrel Circuit Meter 8, 3-Phase Power Meter"},
        {4, 231, "Kyrel Branch Circuit Monitor 100A, 42 Breakers"},
        {5, 236, "Kyrel Circuit Meter 6, 3-Phase Power Meter"},
        {6, 240, "Kyrel Energy-Only Meter"},
        {7, 241, "Kyrel Temperature Sensor"},
        {8, 242, "Kyrel Full-Data Meter"},
        {9, 17, "Northwind RTU Power Monitor PM-20"},
    };
    for (const auto& k : kinds) {
        int slaveId = -1;
        std::array<char, ModbusMaster::kSlaveIdTextSize> text{};
        ASSERT_EQ(master.reportSlaveId(port, k.address, slaveId, text), Ok) << k.address;
        EXPECT_EQ(slaveId, k.slaveId);
        EXPECT_STREQ(text.data(), k.text);
        EXPECT_EQ(devices.slaveId(k.address), k.slaveId);
    }
}

TEST_F(SimLink, PollReadsOfEveryKindGiveTheFixedValues) {
    ASSERT_EQ(read(2, 0, 49), Ok);
    EXPECT_EQ(values[0], 1000);
    EXPECT_EQ(values[41], 11250);
    ASSERT_EQ(read(2, 273, 2), Ok);
    EXPECT_EQ(values[0], 0x504E); // "PN"
    EXPECT_EQ(values[1], 0x4C31); // "L1"
    ASSERT_EQ(read(3, 0, 37), Ok);
    EXPECT_EQ(values[29], 100);
    EXPECT_EQ(values[22], 5400);
    ASSERT_EQ(read(3, 258, 56), Ok);
    EXPECT_EQ(values[0], 0x42CA); // 101.0f
    ASSERT_EQ(read(4, 0, 49), Ok);
    EXPECT_EQ(values[0], 100);
    ASSERT_EQ(read(6, 258, 4), Ok);
    EXPECT_EQ(values[0], 0x4640);
    ASSERT_EQ(read(7, 256, 2), Ok);
    EXPECT_EQ(values[0], 0x41AC); // 21.5f
    ASSERT_EQ(read(8, 258, 52), Ok);
    ASSERT_EQ(read(9, 0, 10), Ok);
    EXPECT_EQ(values[9], 99);
}

TEST_F(SimLink, WritesChangeTheDeviceAndTheLogShowsTheExactTraffic) {
    sim.bus().clearLog();
    const auto before = Clock::now();
    ASSERT_EQ(master.writeSingleRegister(port, 2, 43, 0), Ok);
    ASSERT_EQ(master.writeSingleRegister(port, 3, 29, 200), Ok);
    ASSERT_EQ(read(3, 29, 1), Ok);
    EXPECT_EQ(values[0], 200);

    const auto frames = sim.bus().frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(test::toHex(frames[0].bytes), test::toHex(withCrc(fromHex("02 06 00 2B 00 00"))));
    EXPECT_EQ(test::toHex(frames[1].bytes), test::toHex(withCrc(fromHex("03 06 00 1D 00 C8"))));
    EXPECT_EQ(test::toHex(frames[2].bytes), test::toHex(withCrc(fromHex("03 03 00 1D 00 01"))));
    for (const FrameRecord& f : frames) {
        EXPECT_EQ(f.status, FrameStatus::Answered);
        EXPECT_GE(f.time, before);
    }
    EXPECT_LE(frames[0].time, frames[1].time);
    const auto writes = sim.bus().writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].address, 2);
    EXPECT_EQ(writes[0].reg, 43);
    EXPECT_EQ(writes[0].value, 0);
    EXPECT_EQ(writes[1].reg, 29);
    EXPECT_EQ(writes[1].value, 200);
    EXPECT_TRUE(writes[1].accepted);
}

TEST_F(SimLink, UnsupportedThingsGetExceptionReplies) {
    // Function 4 is not among the devices' functions: exception 01.
    EXPECT_EQ(test::toHex(exchangeRaw(withCrc(fromHex("02 04 00 00 00 01")))),
              test::toHex(withCrc(fromHex("02 84 01"))));
    // A register the branch monitor does not have: exception 02.
    EXPECT_EQ(test::toHex(exchangeRaw(withCrc(fromHex("02 03 01 13 00 03")))),
              test::toHex(withCrc(fromHex("02 83 02"))));
    EXPECT_EQ(read(2, 273, 3), ExceptionResponse);
    // Writing a read-only register: exception 02 and a refused write in the log.
    EXPECT_EQ(master.writeSingleRegister(port, 2, 0, 1), ExceptionResponse);
    const auto writes = sim.bus().writes();
    ASSERT_FALSE(writes.empty());
    EXPECT_FALSE(writes.back().accepted);
    // A device that does not do function 17 answers it with exception 01.
    sim.bus().withDevice(6, [](Device& d) { d.setAnswersSlaveId(false); });
    int slaveId = 0;
    std::array<char, ModbusMaster::kSlaveIdTextSize> text{};
    EXPECT_EQ(master.reportSlaveId(port, 6, slaveId, text), ExceptionResponse);
}

// Each fault spoils exactly one reply of a 2-register read, then the device
// answers correctly again.
struct FaultCase {
    const char* name;
    Fault fault;
    int expected;
};
const FaultCase kFaults[] = {
    {"no answer", Fault::NoAnswer, Timeout},
    {"wrong CRC", Fault::BadCrc, CrcError},
    {"one byte short", Fault::ShortReply, WrongByteCount},
    {"one byte long", Fault::LongReply, WrongByteCount},
    {"reply from another address", Fault::WrongAddress, WrongAddress},
    {"exception reply", Fault::Exception, ExceptionResponse},
    {"reply split by a gap over 35 ms", Fault::SplitReply, WrongByteCount},
    {"reply after the master gave up", Fault::LateReply, Timeout},
    {"noise before the reply", Fault::Noise, WrongByteCount},
    {"request echoed before the reply", Fault::Echo, WrongByteCount},
};

TEST_F(SimLink, EachFaultGivesTheMastersResultOnceThenClears) {
    sim.bus().setLateDelay(1200ms); // beyond the 800 + 29 ms the master waits
    for (const FaultCase& c : kFaults) {
        SCOPED_TRACE(c.name);
        sim.bus().setFault(3, c.fault, 1);
        EXPECT_EQ(read(3, 29, 2), c.expected);
        if (c.fault == Fault::LateReply || c.fault == Fault::SplitReply)
            std::this_thread::sleep_for(c.fault == Fault::LateReply ? 600ms : 100ms);
        EXPECT_EQ(read(3, 29, 2), Ok);
        EXPECT_EQ(values[0], 100);
        EXPECT_EQ(sim.bus().frames().back().fault, Fault::None);
    }
}

TEST_F(SimLink, FaultsReachWritesAndReportSlaveIdToo) {
    sim.bus().setFault(2, Fault::Echo, 1);
    EXPECT_EQ(master.writeSingleRegister(port, 2, 51, 30), WrongByteCount);
    sim.bus().setFault(2, Fault::BadCrc, 1);
    int slaveId = 0;
    std::array<char, ModbusMaster::kSlaveIdTextSize> text{};
    EXPECT_EQ(master.reportSlaveId(port, 2, slaveId, text), CrcError);
    sim.bus().setFault(2, Fault::WrongAddress, 1);
    EXPECT_EQ(master.reportSlaveId(port, 2, slaveId, text), WrongAddress);
    EXPECT_EQ(master.reportSlaveId(port, 2, slaveId, text), Ok);
}

TEST_F(SimLink, ABusFaultHitsEveryDeviceAndADevicesOwnFaultWins) {
    sim.bus().setBusFault(Fault::BadCrc);
    sim.bus().setFault(4, Fault::Exception);
    EXPECT_EQ(read(2, 0, 1), CrcError);
    EXPECT_EQ(read(5, 0, 1), CrcError);
    EXPECT_EQ(read(4, 0, 1), ExceptionResponse);
    sim.bus().clearFaults();
    EXPECT_EQ(read(2, 0, 1), Ok);
    EXPECT_EQ(read(4, 0, 1), Ok);
}

TEST_F(SimLink, OtherAddressesAndBroadcastsGetSilence) {
    sim.bus().clearLog();
    EXPECT_EQ(read(50, 0, 1), Timeout);
    // A broadcast write reaches every device that takes it; nobody answers.
    EXPECT_EQ(master.writeSingleRegister(port, 0, 268, 60), Timeout);
    const auto frames = sim.bus().frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].status, FrameStatus::NotForUs);
    EXPECT_EQ(frames[1].status, FrameStatus::Broadcast);
    EXPECT_EQ(sim.bus().registerValue(2, 93), 60);
    EXPECT_EQ(sim.bus().registerValue(4, 134), 60);
}

// Bad input: after each, the next good request is answered.
struct BadInputCase {
    const char* name;
    const char* hex;
    FrameStatus logged;
};
const BadInputCase kBadInput[] = {
    {"garbage", "FF FF FF 13 37", FrameStatus::BadCrc},
    {"a single byte", "02", FrameStatus::BadCrc},
    {"a truncated request", "02 03 00 00", FrameStatus::BadCrc},
    {"a request with a wrong CRC", "02 03 00 00 00 01 00 00", FrameStatus::BadCrc},
    {"a request for another address", "33 03 00 00 00 01 81 E8", FrameStatus::NotForUs},
    {"an intact function 3 frame of the wrong length", "02 03 00 00 00 01 00 85 F8",
     FrameStatus::Malformed},
};

TEST_F(SimLink, BadInputIsDroppedAndTheNextRequestAnswered) {
    for (const BadInputCase& c : kBadInput) {
        SCOPED_TRACE(c.name);
        test::Bytes bytes = fromHex(c.hex);
        if (c.logged == FrameStatus::Malformed)
            bytes = withCrc(fromHex("02 03 00 00 00 01 00"));
        if (c.logged == FrameStatus::NotForUs)
            bytes = withCrc(fromHex("33 03 00 00 00 01"));
        sim.bus().clearLog();
        sendRaw(bytes);
        EXPECT_EQ(read(2, 0, 1), Ok);
        const auto frames = sim.bus().frames();
        ASSERT_EQ(frames.size(), 2u);
        EXPECT_EQ(frames[0].status, c.logged);
        EXPECT_EQ(frames[0].bytes, bytes);
        EXPECT_EQ(frames[1].status, FrameStatus::Answered);
    }
}

TEST_F(SimLink, AFloodOfBytesIsDiscardedAsOneOverflow) {
    sim.bus().clearLog();
    test::Bytes flood(5000);
    for (std::size_t i = 0; i < flood.size(); ++i)
        flood[i] = static_cast<std::uint8_t>(i * 7);
    sendRaw(flood);
    EXPECT_EQ(read(2, 0, 1), Ok);
    const auto frames = sim.bus().frames();
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames.front().status, FrameStatus::Overflow);
    EXPECT_EQ(frames.front().bytes.size(), 256u);
    EXPECT_EQ(frames.back().status, FrameStatus::Answered);
}

TEST_F(SimLink, ARequestGluedToGarbageIsLostButTheNextOneIsAnswered) {
    // No silence between garbage and request: one bad frame, as on a real line.
    sim.bus().clearLog();
    test::Bytes glued = fromHex("55 AA");
    const test::Bytes request = withCrc(fromHex("02 03 00 00 00 01"));
    glued.insert(glued.end(), request.begin(), request.end());
    EXPECT_EQ(test::toHex(exchangeRaw(glued)), "");
    EXPECT_EQ(read(2, 0, 1), Ok);
    EXPECT_EQ(sim.bus().frames().front().status, FrameStatus::BadCrc);
}

TEST_F(SimLink, ARequestSplitBySilenceIsTwoBadFrames) {
    sim.bus().clearLog();
    sendRaw(fromHex("02 03 00"));
    const test::Bytes rest = fromHex("00 00 01 84 39");
    EXPECT_EQ(test::toHex(exchangeRaw(rest)), "");
    EXPECT_EQ(read(2, 0, 1), Ok);
    const auto frames = sim.bus().frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].status, FrameStatus::BadCrc);
    EXPECT_EQ(frames[1].status, FrameStatus::BadCrc);
}

TEST_F(SimLink, LiveValuesMoveOnTheLine) {
    sim.bus().setLive(true, 11);
    ASSERT_EQ(read(2, 0, 42), Ok);
    const auto first = values;
    std::this_thread::sleep_for(400ms);
    ASSERT_EQ(read(2, 0, 42), Ok);
    EXPECT_NE(first, values);
}

TEST_F(SimLink, TheMasterClosingAndReopeningTheLineIsServedAgain) {
    port.close();
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(port.openDevice(sim.slavePath()));
    EXPECT_EQ(read(2, 0, 1), Ok);
}

TEST(SimPtyServer, StopsPromptlyWithALateReplyPending) {
    const auto start = Clock::now();
    {
        PtyServer sim;
        sim.bus().addDevice(Model::Branch, 2);
        sim.bus().setFault(2, Fault::LateReply);
        sim.bus().setLateDelay(60s);
        SerialPort port;
        ASSERT_TRUE(port.openDevice(sim.slavePath()));
        port.write(withCrc(fromHex("02 03 00 00 00 01")));
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_LT(Clock::now() - start, 10s);
}

} // namespace
} // namespace tarvo::sim
