#include <gtest/gtest.h>

#include <algorithm>

#include "devices/device_kind.h"
#include "devices/meter_list.h"
#include "devices/register_map.h"
#include "support/fake_transport.h"
#include "support/hex.h"
#include "support/traced_master.h"

namespace tarvo {
namespace {

using test::Bytes;
using test::FakeTransport;
using test::fromHex;
using test::readReply;
using test::withCrc;

// Each row: an identification text and the kind the fixed order of tests
// must give it.
TEST(ClassifyDevice, TestsRunInTheirFixedOrder) {
    const struct {
        const char* name;
        const char* text;
        DeviceKind expected;
    } cases[] = {
        {"branch without Kyrel is no device", "Acme Branch Monitor", NoDevice},
        {"Kyrel alone is no device", "Kyrel", NoDevice},
        {"lower-case kyrel is no device", "kyrel Branch Monitor", NoDevice},
        {"Energy-Only wins over Branch", "Kyrel Energy-Only Branch", EnergyOnlyMeter},
        {"Temperature wins over Full-Data", "Kyrel Temperature Full-Data", TemperatureDevice},
        {"Full-Data wins over Circuit", "Kyrel Full-Data Circuit Meter 6,", FullDataMeter},
        {"Branch with 100A", "Kyrel Branch Circuit Monitor 100A", BranchMonitor100A},
        {"Branch wins over Circuit", "Kyrel Branch Circuit Meter 6,", BranchMonitor},
        {"Meter 8, is CircuitMeter8", "Kyrel Circuit Meter 8, v1", CircuitMeter8},
        {"Meter 6 is tested before Meter 8", "Kyrel Circuit Meter 8, Meter 6,", CircuitMeter6},
        {"Meter 8 without comma is no device", "Kyrel Circuit Meter 8 v1", NoDevice},
        {"Meter 8, without Circuit is no device", "Kyrel Meter 8,", NoDevice},
        {"a list line classifies like its text", "02 - ABC [Kyrel Branch Monitor]", BranchMonitor},
    };
    for (const auto& c : cases)
        EXPECT_EQ(classifyDevice(c.text), c.expected) << c.name;
}

TEST(RegisterMap, BlocksPerKind) {
    const struct {
        DeviceKind kind;
        RegisterBlock poll, name, sample;
    } cases[] = {
        {BranchMonitor, {0, 49}, {273, 2}, {0, 49}},
        {BranchMonitor100A, {0, 49}, {273, 2}, {0, 49}},
        {CircuitMeter8, {0, 37}, {38, 4}, {258, 56}},
        {CircuitMeter6, {0, 37}, {38, 4}, {258, 56}},
        {TemperatureDevice, {256, 2}, {}, {256, 2}},
        {EnergyOnlyMeter, {258, 4}, {}, {258, 4}},
        {FullDataMeter, {258, 52}, {}, {258, 52}},
        {NoDevice, {}, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        EXPECT_EQ(pollBlock(c.kind), c.poll);
        EXPECT_EQ(nameBlock(c.kind), c.name);
        EXPECT_EQ(sampleBlock(c.kind), c.sample);
        EXPECT_LE(c.poll.count, kMaxPollRegisters);
        EXPECT_LE(c.sample.count, kMaxSampleRegisters);
    }
}

// The scales of each kind and field are the polling case's (the texts it
// shows); these are the edges of the conversions themselves.
TEST(RegisterMap, ScaledAndNameTexts) {
    const struct {
        const char* name;
        std::string got;
        const char* expected;
    } cases[] = {
        {"0xFFFF is not negative", breakerText(BranchMonitor, 0xFFFF), "65.535"},
        {"CircuitMeter6 neutral", neutralText(CircuitMeter6, 1234, 0.01f), "12.34"},
        {"a zero first byte is the empty name", nameText(0x0041, 0x4243), ""},
        {"four-character name", nameText(0x4142, 0x4344), "ABCD"},
        {"name ends at the first zero byte", nameText(0x4100, 0x4243), "A"},
        {"fixed text rounds up 0.0005", fixedText(0.0005, 3), "0.001"},
        {"fixed text ties go to even like printf", fixedText(0.125, 2), "0.12"},
        {"fixed text negative", fixedText(-1.5, 1), "-1.5"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.got, c.expected) << c.name;
}

TEST(RegisterMap, CurrentScaleBoundaries) {
    const struct {
        std::int32_t ct;
        float scale;
    } cases[] = {
        {0, 0.0001f}, {5, 0.0001f}, {6, 0.001f},  {59, 0.001f},  {60, 0.01f}, {599, 0.01f},
        {600, 0.1f},  {5999, 0.1f}, {6000, 0.0f}, {65535, 0.0f}, {-1, 0.0f}, // compared unsigned
    };
    for (const auto& c : cases)
        EXPECT_EQ(currentScaleFor(c.ct), c.scale) << "CT size " << c.ct;
}

TEST(RegisterMap, SampleValuesRoundedToSinglePrecision) {
    const std::int32_t regs[3] = {12345, 0, 65535};
    const auto currents = breakerSampleCurrents(BranchMonitor100A, regs);
    EXPECT_EQ(currents[0], 123.45f);
    EXPECT_EQ(currents[2], 655.35f);
    EXPECT_EQ(currents[41], 0.0f) << "registers missing from a short block read as 0";
}

// The word order of the block is the circuit meter's sampling case (tests/session).
TEST(RegisterMap, DecodeFloatHighRegisterFirst) {
    EXPECT_EQ(decodeFloat(0xC148, 0x0000), -12.5f) << "sign bit from the high register";
}

class RegisterReadTest : public ::testing::Test, protected test::TracedMaster {
protected:
    FakeTransport port;
};

TEST_F(RegisterReadTest, FailedReadsLeaveAllZero) {
    port.scriptSilence();
    const MeterReading r = readMeter(master, port, BranchMonitor, 3);
    EXPECT_EQ(r.result, Timeout);
    EXPECT_EQ(port.writes.back(), withCrc(fromHex("03 03 00 00 00 31")));
    EXPECT_EQ(std::count(r.registers.begin(), r.registers.end(), 0), std::ssize(r.registers));

    std::int32_t values[4] = {7, 7, 7, 7}; // stale values from an earlier read
    port.script(withCrc(fromHex("05 83 02")));
    EXPECT_EQ(readBlock(master, port, 5, {258, 4}, values), ExceptionResponse);
    EXPECT_EQ(std::count(std::begin(values), std::end(values), 0), 4);
}

TEST_F(RegisterReadTest, NameReadChosenByDeviceTable) {
    const struct {
        const char* name;
        int slaveId;
        Bytes reply; // empty: no read expected
        Bytes request;
        const char* panel;
        const char* board;
    } cases[] = {
        {"branch monitor reads 273-274", 230, readReply(4, {0x4142, 0x4300}),
         withCrc(fromHex("04 03 01 11 00 02")), "ABC", "keep"},
        {"circuit meter reads 38-41", 235, readReply(4, {0x5041, 0x4E00, 0x4244, 0x3100}),
         withCrc(fromHex("04 03 00 26 00 04")), "PAN", "BD1"},
        {"CircuitMeter6 reads 38-41", 236, readReply(4, {0x5041, 0x4E00, 0x4244, 0x3100}),
         withCrc(fromHex("04 03 00 26 00 04")), "PAN", "BD1"},
        {"failed circuit read gives empty names", 235, withCrc(fromHex("04 83 02")),
         withCrc(fromHex("04 03 00 26 00 04")), "", ""},
        {"other kind reads nothing", 17, {}, {}, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        devices.record(4, c.slaveId);
        port.writes.clear();
        if (!c.reply.empty())
            port.script(c.reply);
        DeviceNames names{"old", "keep"};
        readNames(master, port, devices, 4, names);
        EXPECT_EQ(names.panel, c.panel);
        EXPECT_EQ(names.board, c.board);
        if (c.request.empty())
            EXPECT_TRUE(port.writes.empty());
        else
            EXPECT_EQ(port.writes, std::vector<Bytes>{c.request});
    }
}

// Sorting below the progress line and a selection following its line are
// proven by the scan tests; these are the edges a scan does not reach.
TEST(MeterList, OutOfRangeAndRemovedSelections) {
    MeterList list;
    list.addDevice("02 - B [x]");
    EXPECT_EQ(list.text(1), "");
    EXPECT_EQ(list.text(-1), "");
    list.select(7);
    EXPECT_EQ(list.selectedIndex(), -1) << "an index outside the list selects nothing";
    list.setProgress("p");
    list.select(0);
    list.removeProgress();
    EXPECT_EQ(list.selectedIndex(), -1) << "removing the selected progress line";
    list.select(0);
    list.clear();
    EXPECT_EQ(list.selectedIndex(), -1);
    EXPECT_EQ(list.count(), 0);
}

} // namespace
} // namespace tarvo
