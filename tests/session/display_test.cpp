#include <gtest/gtest.h>

#include <vector>

#include "session/display.h"

namespace tarvo {
namespace {

std::vector<std::int32_t> branchBlock(int summary, std::array<int, 6> flags) {
    std::vector<std::int32_t> r(49, 0);
    r[42] = summary;
    for (int i = 0; i < 6; ++i)
        r[static_cast<std::size_t>(43 + i)] = flags[static_cast<std::size_t>(i)];
    return r;
}

struct BreakerCase {
    const char* name;
    int summary;
    std::array<int, 6> flags; // registers 43 to 48
    int breaker;              // 1-based, the lamp to check
    Lamp expected;
};

TEST(ShowAlarms, BreakerLampsFollowGatedFlags) {
    const BreakerCase cases[] = {
        {"alarm and warning on one breaker: alarm", 0x0009, {1, 0, 0, 1, 0, 0}, 1, Lamp::Alarm},
        {"warning of breaker 16", 0x0001, {0x8000, 0, 0, 0, 0, 0}, 16, Lamp::Warning},
        {"warning of breaker 17", 0x0002, {0, 0x0001, 0, 0, 0, 0}, 17, Lamp::Warning},
        {"warning of breaker 42", 0x0004, {0, 0, 0x0200, 0, 0, 0}, 42, Lamp::Warning},
        {"alarm of breaker 33", 0x0020, {0, 0, 0, 0, 0, 0x0001}, 33, Lamp::Alarm},
        {"summary 0: all off", 0, {0xFFFF, 0xFFFF, 0x3FF, 0xFFFF, 0xFFFF, 0x3FF}, 5, Lamp::Normal},
        {"flag with its gate clear is ignored", 0x0002, {0x0010, 0, 0, 0, 0, 0}, 5, Lamp::Normal},
        {"alarm gate does not open warnings", 0x0008, {0x0010, 0, 0, 0, 0, 0}, 5, Lamp::Normal},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LampState lamps;
        lamps.breakers.fill(Lamp::Alarm); // left by the last reading
        const auto regs = branchBlock(c.summary, c.flags);
        showAlarms(lamps, BranchMonitor, regs);
        EXPECT_EQ(lamps.breakers[static_cast<std::size_t>(c.breaker - 1)], c.expected);
    }
}

TEST(ShowAlarms, BitsBeyondBreakerFortyTwoAreIgnored) {
    LampState lamps;
    const auto regs = branchBlock(0x003F, {0, 0, 0xFC00, 0, 0, 0xFC00});
    showAlarms(lamps, BranchMonitor100A, regs);
    EXPECT_EQ(lamps, LampState{});
}

TEST(ShowAlarms, CircuitMeterLampsAndPhaseLetters) {
    std::vector<std::int32_t> regs(37, 0);
    LampState lamps;

    regs[36] = 0x0140; // phases A and C lost
    showAlarms(lamps, CircuitMeter6, regs);
    EXPECT_FALSE(lamps.phaseLossVisible);
    EXPECT_EQ(lamps.phaseLetterVisible, (std::array{true, false, true}));
    resetIndicators(lamps);
    EXPECT_FALSE(lamps.phaseLossVisible) << "reset changes images, not visibility";
    EXPECT_TRUE(lamps.phaseLetterVisible[0]);

    regs[36] = 0x0030; // volts over and under
    showAlarms(lamps, CircuitMeter8, regs);
    EXPECT_EQ(lamps.voltsOver, Lamp::Alarm);
    EXPECT_EQ(lamps.voltsUnder, Lamp::Alarm);
    EXPECT_EQ(lamps.ampsOver, Lamp::Normal);
    EXPECT_TRUE(lamps.phaseLossVisible);
    EXPECT_EQ(lamps.phaseLoss, Lamp::Normal);
    EXPECT_EQ(lamps.phaseLetterVisible, (std::array{false, false, false}));

    regs[36] = 0x000F;
    showAlarms(lamps, CircuitMeter8, regs);
    EXPECT_EQ(lamps.ampsOver, Lamp::Alarm);
    EXPECT_EQ(lamps.ampsUnder, Lamp::Alarm);
    EXPECT_EQ(lamps.kvaOver, Lamp::Alarm);
    EXPECT_EQ(lamps.kvaUnder, Lamp::Alarm);
    EXPECT_EQ(lamps.voltsOver, Lamp::Normal);
}

} // namespace
} // namespace tarvo
