#include <gtest/gtest.h>

#include "config/register_bank.h"

namespace tarvo {
namespace {

using test::Log;
using ConfigRegistersTest = test::RegisterBankTest;

// Which registers each reader takes for each slave-ID byte (a branch
// monitor's and an 8-meter circuit meter's are in the forms' traffic).
struct LayoutCase {
    const char* name;
    int slaveId;
    Log firmwareAndSerial;
    const char* alarmLimitsRead;
};

TEST_F(ConfigRegistersTest, RegistersFollowTheSlaveIdByte) {
    const LayoutCase cases[] = {
        {"100 A branch monitor", BranchMonitor100A, {"R 49 2", "R 261 2"}, "R 135 42"},
        {"6-meter circuit meter", CircuitMeter6, {"R 42 2", "R 44 2"}, "R 30 8"},
        // An energy-only meter has no serial number: no read at all for it.
        {"other device", 7, {"R 42 2"}, "R 30 8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bank.log.clear();
        auto r = regs(c.slaveId);
        r.readFirmwareVersion();
        const std::int32_t serial = r.readSerialNumber();
        EXPECT_EQ(bank.log, c.firmwareAndSerial);
        if (c.firmwareAndSerial.size() == 1) {
            EXPECT_EQ(serial, 0);
        }
        bank.log.clear();
        r.readAlarmLimits();
        EXPECT_EQ(bank.log, Log{c.alarmLimitsRead});
    }
}

// A failed block holds -1, which no field takes, so OK cannot write it back
// (0 would pass as a warning level); the alarm limits' fill is the forms'
// failed level read and the circuit alarm form's failed reads.
TEST_F(ConfigRegistersTest, FailedReadsLeaveTheirFills) {
    auto r = regs(BranchMonitor);
    bank.failReads = {49, 261, 93, 73};
    bank.set(49, 3);
    EXPECT_EQ(r.readFirmwareVersion().major, 0);
    EXPECT_EQ(r.readFirmwareVersion().minor, 0);
    EXPECT_EQ(r.readSerialNumber(), 0);
    ConfigRegisters::BreakerBlock failed;
    failed.fill(-1);
    EXPECT_EQ(r.readWarningLevels(), failed);
    std::int32_t mask = 0;
    EXPECT_EQ(r.readCriticalMask(mask), Timeout);
    EXPECT_EQ(mask, 0x01010101);
}

// Trailing spaces staying part of a read name are shown on the simulator.
TEST_F(ConfigRegistersTest, NameReadsDecodeAndKeepOldNamesOnFailure) {
    auto branch = regs(BranchMonitor);
    std::string panel = "OLD";
    bank.set(273, 0x4142);
    bank.set(274, 0x4300);
    branch.readBranchPanelName(panel);
    EXPECT_EQ(panel, "ABC");
    bank.failReads = {273};
    branch.readBranchPanelName(panel);
    EXPECT_EQ(panel, "ABC") << "a failed read must not blank or garble the name";

    auto circuit = regs(CircuitMeter8);
    std::string board = "B";
    bank.set(40, 0x0041);
    bank.failReads = {};
    circuit.readCircuitNames(panel, board);
    EXPECT_EQ(board, "") << "a leading zero byte ends the name at once";
    bank.failReads = {38};
    panel = "KEEP";
    board = "ME";
    circuit.readCircuitNames(panel, board);
    EXPECT_EQ(panel, "KEEP");
    EXPECT_EQ(board, "ME");
}

TEST_F(ConfigRegistersTest, WriteNamePadsWithSpacesAndTakesBytesUnsigned) {
    struct {
        const char* name;
        std::string text;
        Log expected;
    } const cases[] = {
        {"empty name", "", {"W 273 8224", "W 274 8224"}},
        {"byte above 127 is not negative", "A\xE9", {"W 273 16873", "W 274 8224"}},
        {"longer text sends only four bytes", "ABCDEF", {"W 273 16706", "W 274 17220"}},
    };
    auto r = regs(BranchMonitor);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bank.log.clear();
        r.writeName(273, c.text);
        EXPECT_EQ(bank.log, c.expected);
    }
}

TEST_F(ConfigRegistersTest, FailedWriteDoesNotStopThePass) {
    auto r = regs(BranchMonitor);
    // The first value is out of range: refused without sending, silently.
    const RegisterWrite writes[] = {{30, 70000}, {31, -1}, {32, 5}, {33, 1LL << 40}};
    r.writeAll(writes);
    EXPECT_EQ(bank.log, Log{"W 32 5"});
}

} // namespace
} // namespace tarvo
