// The simulator's own pieces without a line: timing and the device rules for
// reads, writes and live values. (Its CRC meets the master's in every
// exchange of the link tests.)

#include <gtest/gtest.h>

#include <random>

#include "link/modbus_master.h"
#include "sim/bus.h"
#include "sim/device.h"
#include "sim/frame.h"

namespace tarvo::sim {
namespace {

TEST(SimTiming, SilentIntervalIsThreeAndAHalfCharactersButAtLeast1750us) {
    EXPECT_EQ(silentInterval(9600).count(), 4011); // 38.5 bits / 9600, rounded up
    EXPECT_EQ(silentInterval(19200).count(), 2006);
    EXPECT_EQ(silentInterval(38400).count(), 1750); // fixed above 19200
}

// Reads a device answers and the ones it refuses (each kind's main block is
// read over the line in the link tests).
struct ReadCase {
    const char* fault;
    Model model;
    int first, count;
    std::uint8_t exception;
};
const ReadCase kReads[] = {
    {"branch delays", Model::Branch, 219, 42, 0},
    {"branch past its last register", Model::Branch, 274, 2, IllegalDataAddress},
    {"circuit critical mask", Model::Circuit8, 73, 1, 0},
    {"circuit gap after the mask", Model::Circuit8, 74, 1, IllegalDataAddress},
    {"circuit past the float block", Model::Circuit6, 300, 14, 0},
    {"circuit one past the float block", Model::Circuit6, 300, 15, IllegalDataAddress},
    {"energy has no poll block at 0", Model::Energy, 0, 1, IllegalDataAddress},
    {"energy firmware", Model::Energy, 42, 2, 0},
    {"temperature has one float only", Model::Temperature, 256, 3, IllegalDataAddress},
    {"count 0", Model::Branch, 0, 0, IllegalDataValue},
    {"count 126", Model::Branch, 0, 126, IllegalDataValue},
    {"register beyond 1023", Model::Branch, 65000, 2, IllegalDataAddress},
};

TEST(SimModels, ReadsAnswerWhatTheDeviceHasAndRefuseTheRest) {
    for (const ReadCase& c : kReads) {
        Device device(c.model, 5);
        std::vector<std::uint16_t> values;
        EXPECT_EQ(device.readRegisters(c.first, c.count, values), c.exception) << c.fault;
        if (c.exception == 0) {
            EXPECT_EQ(values.size(), static_cast<std::size_t>(c.count)) << c.fault;
        }
    }
}

// The documented values other tests and the demo rely on; a float row gives
// the high word of the value its name states.
struct FixedCase {
    const char* fault;
    Model model;
    int address, reg;
    std::uint16_t expected;
};
const FixedCase kFixed[] = {
    {"the 100A model counts the same 1 A in 10 mA", Model::Branch100A, 4, 0, 100},
    {"default panel name BR and the address", Model::Branch100A, 4, 274, 0x3034}, // "04"
    {"serial number 65536 + 1000 + address", Model::Branch, 2, 262, 1002},
    {"an 8-meter board has no neutral current", Model::Circuit8, 3, 25, 0},
    {"energy counter 12345.5 kWh", Model::Energy, 6, 258, 0x4640},
    {"temperature 21.5", Model::Temperature, 7, 256, 0x41AC},
    {"full-data value 28 is 228.0", Model::FullData, 8, 312, 0x4364},
    {"the foreign device's register 9 holds 99", Model::Foreign, 9, 9, 99},
};

TEST(SimModels, FixedValuesAreTheDocumentedOnes) {
    for (const FixedCase& c : kFixed)
        EXPECT_EQ(Device(c.model, c.address).reg(c.reg), c.expected) << c.fault;
}

// Writes: each row sets a register raw, writes one value through the device's
// rules and checks the answer and what the device then holds.
struct WriteCase {
    const char* fault;
    Model model;
    int presetReg;
    std::uint16_t preset;
    int reg;
    int value;
    std::uint8_t exception;
    int checkReg;
    std::uint16_t expected;
};
const WriteCase kWrites[] = {
    {"a flag register only clears", Model::Branch, 43, 0x0005, 43, 0x0004, 0, 43, 0x0004},
    {"a flag write cannot set bits", Model::Branch, 46, 0x0000, 46, 0x00FF, 0, 46, 0x0000},
    {"the summary follows the flags", Model::Branch, 44, 0x0100, 44, 0, 0, 42, 0x0000},
    {"the summary shows a set flag", Model::Branch, 47, 0x0001, 43, 0, 0, 42, 0x0010},
    {"global alarm holdoff reaches breaker 1", Model::Branch, -1, 0, 271, 30, 0, 219, 30},
    {"global alarm limit reaches breaker 42", Model::Branch, -1, 0, 269, 90, 0, 176, 90},
    {"global warning holdoff reaches breaker 1", Model::Branch, -1, 0, 270, 7, 0, 177, 7},
    {"global rating reaches every breaker", Model::Branch100A, -1, 0, 267, 90, 0, 92, 90},
    {"a percentage above 100 is refused", Model::Branch, -1, 0, 93, 101, IllegalDataValue, 93, 70},
    {"a breaker current is read-only", Model::Branch, -1, 0, 0, 5, IllegalDataAddress, 0, 1000},
    {"the alarm summary is read-only", Model::Branch, -1, 0, 42, 0, IllegalDataAddress, 42, 0},
    {"panel name", Model::Branch, -1, 0, 273, 0x5031, 0, 273, 0x5031},
    {"CT size 0 is refused", Model::Circuit8, -1, 0, 29, 0, IllegalDataValue, 29, 100},
    {"CT size 6000 is refused", Model::Circuit8, -1, 0, 29, 6000, IllegalDataValue, 29, 100},
    {"circuit alarm flags only clear", Model::Circuit6, 36, 0x01C1, 36, 0, 0, 36, 0},
    {"meter 1 cannot be switched off", Model::Circuit8, -1, 0, 72, 0x0000, 0, 72, 0x0001},
    {"a six-meter board has no meters 7, 8", Model::Circuit6, -1, 0, 72, 0x00FF, 0, 72, 0x003F},
    {"the lock bit is not the master's to set", Model::Circuit8, -1, 0, 72, 0x8007, 0, 72, 0x0007},
    {"the lock bit survives a write", Model::Circuit8, 72, 0x8003, 38, 0x4142, 0, 72, 0x8003},
    {"locked meter selection refused", Model::Circuit8, 72, 0x8003, 72, 0x0007, IllegalDataValue,
     72, 0x8003},
    {"locked board name refused", Model::Circuit8, 72, 0x8003, 40, 0x5820, IllegalDataValue, 40,
     0x4244},
    {"locked panel name still taken", Model::Circuit8, 72, 0x8003, 38, 0x5820, 0, 38, 0x5820},
    {"critical mask", Model::Circuit8, -1, 0, 73, 0x01C0, 0, 73, 0x01C0},
    {"a circuit current is read-only", Model::Circuit8, -1, 0, 22, 1, IllegalDataAddress, 22, 5400},
    {"an energy meter takes no writes", Model::Energy, -1, 0, 258, 1, IllegalDataAddress, 258,
     0x4640},
    {"a foreign device has no function 6", Model::Foreign, -1, 0, 0, 1, IllegalFunction, 0, 0},
};

TEST(SimModels, WritesFollowTheDeviceRules) {
    for (const WriteCase& c : kWrites) {
        Device device(c.model, 3);
        if (c.presetReg >= 0)
            device.setReg(c.presetReg, c.preset);
        EXPECT_EQ(device.writeRegister(c.reg, c.value), c.exception) << c.fault;
        EXPECT_EQ(device.reg(c.checkReg), c.expected) << c.fault;
    }
}

// Live runs in half-second steps, up to 20 minutes, until the register shows
// one of the bits (with no bits: until it leaves its fixed value); a twin on
// the same seed must hold the same registers at every step.
struct LiveCase {
    const char* fault;
    Model model;
    std::uint32_t seed;
    int reg;
    std::uint16_t bits;
};
const LiveCase kLive[] = {
    {"an overload never raises a warning flag after its delay", Model::Branch, 7, 42, 0x0007},
    {"an overload never raises an alarm flag after its delay", Model::Branch, 7, 42, 0x0038},
    {"a phase drop never sets its phase-lost flag", Model::Circuit6, 3, 36, 0x01C0},
    {"breaker currents stand still", Model::Branch100A, 7, 5, 0},
    {"circuit powers stand still", Model::Circuit8, 1, 2, 0},
    {"the energy counter stands still", Model::Energy, 1, 259, 0},
    {"the temperature stands still", Model::Temperature, 1, 257, 0},
    {"full-data values stand still", Model::FullData, 1, 259, 0},
};

TEST(SimLive, SeededRunsRepeatAndMoveTheReadingsAndFlags) {
    for (const LiveCase& c : kLive) {
        Device a(c.model, 2), b(c.model, 2);
        std::mt19937 ra(c.seed), rb(c.seed);
        const std::uint16_t fixed = a.reg(c.reg);
        bool seen = false, same = true;
        for (int step = 0; step < 2400 && !seen && same; ++step) {
            a.advance(0.5, ra);
            b.advance(0.5, rb);
            for (int r = 0; r < Device::kRegisterCount; ++r)
                same = same && a.reg(r) == b.reg(r);
            seen = c.bits != 0 ? (a.reg(c.reg) & c.bits) != 0 : a.reg(c.reg) != fixed;
        }
        EXPECT_TRUE(same) << c.fault << ": the same seed gave another run";
        EXPECT_TRUE(seen) << c.fault;
    }
}

TEST(SimBus, AddressesOutsideTheBusAreRefused) {
    Bus bus;
    EXPECT_FALSE(bus.addDevice(Model::Branch, 0));
    EXPECT_FALSE(bus.addDevice(Model::Branch, 248));
    EXPECT_TRUE(bus.addDevice(Model::Branch, 247));
    EXPECT_FALSE(bus.registerValue(5, 0).has_value());
}

} // namespace
} // namespace tarvo::sim
