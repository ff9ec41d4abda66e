#include "session/display.h"

namespace tarvo {

void resetIndicators(LampState& lamps) {
    lamps.breakers.fill(Lamp::Normal);
    lamps.ampsOver = lamps.ampsUnder = Lamp::Normal;
    lamps.kvaOver = lamps.kvaUnder = Lamp::Normal;
    lamps.voltsOver = lamps.voltsUnder = Lamp::Normal;
    lamps.phaseLoss = Lamp::Normal;
}

void showAlarms(LampState& lamps, DeviceKind kind, std::span<const std::int32_t> registers) {
    resetIndicators(lamps);
    auto reg = [&](std::size_t n) -> unsigned {
        return n < registers.size() ? static_cast<unsigned>(registers[n]) : 0U;
    };

    if (isBranchMonitor(kind)) {
        // Breaker n is bit (n-1) mod 16 of flag register group (n-1) div 16;
        // the summary register 42 gates each of the six flag registers.
        const unsigned summary = reg(42);
        auto apply = [&](unsigned firstFlagRegister, unsigned firstSummaryBit, Lamp image) {
            for (unsigned g = 0; g < 3; ++g) {
                if (!(summary & (1U << (firstSummaryBit + g))))
                    continue;
                const unsigned flags = reg(firstFlagRegister + g);
                for (unsigned b = 0; b < 16; ++b) {
                    const unsigned breaker = 16 * g + b; // 0-based
                    if (breaker < LampState::kBreakers && (flags & (1U << b)))
                        lamps.breakers[breaker] = image;
                }
            }
        };
        apply(43, 0, Lamp::Warning);
        apply(46, 3, Lamp::Alarm);
    } else if (isCircuitMeter(kind)) {
        const unsigned f = reg(36);
        auto alarmIf = [&](unsigned bit, Lamp& lamp) {
            if (f & (1U << bit))
                lamp = Lamp::Alarm;
        };
        alarmIf(0, lamps.ampsOver);
        alarmIf(1, lamps.ampsUnder);
        alarmIf(2, lamps.kvaOver);
        alarmIf(3, lamps.kvaUnder);
        alarmIf(4, lamps.voltsOver);
        alarmIf(5, lamps.voltsUnder);
        const bool phaseLost = f & (0x7U << 6);
        lamps.phaseLossVisible = !phaseLost;
        for (unsigned p = 0; p < 3; ++p)
            lamps.phaseLetterVisible[p] = phaseLost && (f & (1U << (6 + p)));
    }
}

void showNoData(Display& display) {
    for (std::string& text : display.texts.breakers)
        text.clear();
    for (std::string& text : display.texts.circuit)
        text.clear();
    LampState& l = display.lamps;
    l.breakers.fill(Lamp::NoData);
    for (Lamp* lamp : {&l.ampsOver, &l.ampsUnder, &l.kvaOver, &l.kvaUnder, &l.voltsOver,
                       &l.voltsUnder, &l.phaseLoss})
        *lamp = Lamp::NoData;
}

const char* lampDescription(Lamp lamp) {
    switch (lamp) {
    case Lamp::Warning:
        return "warning";
    case Lamp::Alarm:
        return "alarm";
    case Lamp::NoData:
        return "no data";
    case Lamp::Normal:
        break;
    }
    return "normal";
}

} // namespace tarvo
