#include <gtest/gtest.h>

#include "config/register_bank.h"

namespace tarvo {
namespace {

using test::Log;
using ConfigRegistersTest = test::RegisterBankTest;

// Which registers each reader takes for each slave-ID byte.
struct LayoutCase {
    const char* name;
    int slaveId;
    Log firmwareAndSerial;
    const char* alarmLimitsRead;
};

TEST_F(ConfigRegistersTest, RegistersFollowTheSlaveIdByte) {
    const LayoutCase cases[] = {
        {"branch monitor", BranchMonitor, {"R 49 2", "R 261 2"}, "R 135 42"},
        {"100 A branch monitor", BranchMonitor100A, {"R 49 2", "R 261 2"}, "R 135 42"},
        {"8-meter circuit meter", CircuitMeter8, {"R 42 2", "R 44 2"}, "R 30 8"},
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

TEST_F(ConfigRegistersTest, SerialNumberIsSignedHighWordFirst) {
    struct {
        const char* name;
        int high, low;
        std::int32_t expected;
    } const cases[] = {
        {"words swapped", 0x0001, 0x0002, 65538},
        {"high word sign bit makes it negative", 0x8000, 0x0000, INT32_MIN},
    };
    auto r = regs(CircuitMeter8);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bank.set(44, c.high);
        bank.set(45, c.low);
        EXPECT_EQ(r.readSerialNumber(), c.expected);
    }
}

TEST_F(ConfigRegistersTest, FailedReadsLeaveTheirFills) {
    auto r = regs(BranchMonitor);
    bank.failReads = {49, 261, 135, 93, 177, 219, 51, 73};
    bank.set(49, 3);
    EXPECT_EQ(r.readFirmwareVersion().major, 0);
    EXPECT_EQ(r.readFirmwareVersion().minor, 0);
    EXPECT_EQ(r.readSerialNumber(), 0);
    EXPECT_EQ(r.readAlarmLimits(), std::vector<std::int32_t>(42, -1));
    ConfigRegisters::BreakerBlock failed;
    failed.fill(-1);
    EXPECT_EQ(r.readWarningLevels(), failed);
    EXPECT_EQ(r.readWarningDelays(), failed);
    EXPECT_EQ(r.readAlarmDelays(), failed);
    EXPECT_EQ(r.readRatings(), failed);
    std::int32_t mask = 0;
    EXPECT_EQ(r.readCriticalMask(mask), Timeout);
    EXPECT_EQ(mask, 0x01010101);

    auto circuit = regs(CircuitMeter6);
    bank.failReads = {30};
    EXPECT_EQ(circuit.readAlarmLimits(), std::vector<std::int32_t>(8, -1));
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
