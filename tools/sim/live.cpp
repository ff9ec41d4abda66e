#include "sim/live.h"

#include <algorithm>
#include <cmath>

namespace tarvo::sim {

namespace {

std::uint16_t clampReg(double value) {
    if (!(value > 0))
        return 0;
    return static_cast<std::uint16_t>(std::min(65535.0, std::lround(value) * 1.0));
}

} // namespace

void BranchLive::advance(RegisterFile& regs, double seconds, std::mt19937& random) {
    using namespace branch;
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    if (!m_started)
        for (int k = 0; k < kBreakers; ++k)
            m_baseAmps[k] = regs.get(kRatingFirst + k) * (0.2 + 0.35 * uniform(random));
    m_started = true;
    // Roughly one overload a minute: one breaker runs at 85 to 100 % of its
    // rating for 20 to 40 s, long enough to pass the default warning and alarm
    // delays (5 and 10 s).
    if (m_overloadBreaker < 0 && uniform(random) < seconds / 60.0) {
        m_overloadBreaker = std::uniform_int_distribution<int>(0, kBreakers - 1)(random);
        m_overloadLeft = 20.0 + 20.0 * uniform(random);
    }
    std::normal_distribution<double> noise(0.0, 0.01);
    for (int k = 0; k < kBreakers; ++k) {
        const double rating = regs.get(kRatingFirst + k);
        m_baseAmps[k] = std::clamp(m_baseAmps[k] + rating * noise(random) * std::sqrt(seconds),
                                   0.05 * rating, 0.6 * rating);
        double amps = m_baseAmps[k] * (1.0 + noise(random));
        if (k == m_overloadBreaker)
            amps = rating * (0.85 + 0.15 * uniform(random));
        regs.set(kCurrentFirst + k, clampReg(amps * m_countsPerAmp));

        const double percent = rating > 0 ? 100.0 * amps / rating : 0.0;
        const int word = k / kBreakersPerFlagWord;
        const auto bit = static_cast<std::uint16_t>(1u << (k % kBreakersPerFlagWord));
        m_warningSeconds[k] =
            percent >= regs.get(kWarningLevelFirst + k) ? m_warningSeconds[k] + seconds : 0;
        m_alarmSeconds[k] =
            percent >= regs.get(kAlarmLevelFirst + k) ? m_alarmSeconds[k] + seconds : 0;
        if (m_warningSeconds[k] > 0 && m_warningSeconds[k] >= regs.get(kWarningDelayFirst + k))
            regs.set(kWarningFlagsFirst + word, regs.get(kWarningFlagsFirst + word) | bit);
        if (m_alarmSeconds[k] > 0 && m_alarmSeconds[k] >= regs.get(kAlarmDelayFirst + k))
            regs.set(kAlarmFlagsFirst + word, regs.get(kAlarmFlagsFirst + word) | bit);
    }
    if (m_overloadBreaker >= 0 && (m_overloadLeft -= seconds) <= 0)
        m_overloadBreaker = -1;
}

void CircuitLive::advance(RegisterFile& regs, double seconds, std::mt19937& random) {
    using namespace circuit;
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::normal_distribution<double> noise(0.0, 0.005);
    const std::uint16_t ct = regs.get(kCtSize);
    // Registers hold amperes divided by the scale the CT size chooses:
    // up to 5 → 0.0001 A, up to 59 → 0.001 A, up to 599 → 0.01 A, above → 0.1 A.
    const double scale = ct <= 5 ? 0.0001 : ct <= 59 ? 0.001 : ct <= 599 ? 0.01 : 0.1;
    if (!m_started)
        for (int p = 0; p < kPhases; ++p)
            m_basePhaseAmps[p] = regs.get(kCurrentFirst + p) * scale;
    m_started = true;
    // Roughly every 90 s one phase drops for 10 to 20 s.
    if (m_droppedPhase < 0 && uniform(random) < seconds / 90.0) {
        m_droppedPhase = std::uniform_int_distribution<int>(0, kPhases - 1)(random);
        m_dropLeft = 10.0 + 10.0 * uniform(random);
    }
    const auto volts = [&](int r) { return regs.get(r) / static_cast<double>(kCountsPerVolt); };
    double sumAmps = 0, sumLn = 0, sumLl = 0;
    for (int p = 0; p < kPhases; ++p) {
        m_basePhaseAmps[p] = std::max(0.0, m_basePhaseAmps[p] * (1.0 + noise(random)));
        const bool dropped = p == m_droppedPhase;
        const double amps = dropped ? 0.0 : m_basePhaseAmps[p];
        // 277.1 V line to neutral: a 480 V system.
        const double ln = dropped ? 0.0 : 277.1 * (1.0 + noise(random) * 0.2);
        regs.set(kCurrentFirst + p, clampReg(amps / scale));
        regs.set(kVoltsLnFirst + p, clampReg(ln * kCountsPerVolt));
        sumAmps += amps;
        sumLn += ln;
    }
    for (int p = 0; p < kPhases; ++p) {
        const double a = volts(kVoltsLnFirst + p), b = volts(kVoltsLnFirst + (p + 1) % kPhases);
        // Line-to-line voltage of two phases 120 degrees apart.
        const double ll = std::sqrt(a * a + b * b + a * b);
        regs.set(kVoltsLlFirst + p, clampReg(ll * kCountsPerVolt));
        sumLl += ll;
    }
    const double pf = regs.get(kPowerFactor) / kCountsPerPowerFactor;
    const double kva = sumLn * sumAmps / 3.0 / 1000.0;
    regs.set(kCurrentAverage, clampReg(sumAmps / 3.0 / scale));
    regs.set(kVoltsLnAverage, clampReg(sumLn / 3.0 * kCountsPerVolt));
    regs.set(kVoltsLlAverage, clampReg(sumLl / 3.0 * kCountsPerVolt));
    regs.set(kApparentPower, clampReg(kva / scale));
    regs.set(kRealPower, clampReg(kva * pf / scale));
    regs.set(kReactivePower, clampReg(kva * std::sqrt(std::max(0.0, 1.0 - pf * pf)) / scale));

    // Alarm flags latch until a master writes them with 0. A limit of 0 is off.
    const auto over = [&](std::uint16_t reading, int limit) {
        return regs.get(limit) > 0 && reading > regs.get(limit);
    };
    const auto under = [&](std::uint16_t reading, int limit) {
        return regs.get(limit) > 0 && reading < regs.get(limit);
    };
    std::uint16_t maxAmps = 0, minAmps = 0xFFFF;
    for (int p = 0; p < kPhases; ++p) {
        maxAmps = std::max(maxAmps, regs.get(kCurrentFirst + p));
        minAmps = std::min(minAmps, regs.get(kCurrentFirst + p));
    }
    const std::uint16_t apparent = regs.get(kApparentPower), voltsLl = regs.get(kVoltsLlAverage);
    std::uint16_t flags = 0;
    if (over(maxAmps, kAmpsOver))
        flags |= kAmpsOverBit;
    if (under(minAmps, kAmpsUnder))
        flags |= kAmpsUnderBit;
    if (over(apparent, kKvaOver))
        flags |= kKvaOverBit;
    if (under(apparent, kKvaUnder))
        flags |= kKvaUnderBit;
    if (over(voltsLl, kVoltsOver))
        flags |= kVoltsOverBit;
    if (under(voltsLl, kVoltsUnder))
        flags |= kVoltsUnderBit;
    for (int p = 0; p < kPhases; ++p)
        if (regs.get(kVoltsLnFirst + p) < regs.get(kPhaseLossThreshold))
            flags |= static_cast<std::uint16_t>(kPhaseALostBit << p);
    regs.set(kAlarmFlags, regs.get(kAlarmFlags) | flags);

    // The float block: energy counters run on, the rest follow the readings.
    regs.setFloat(kRealEnergy,
                  regs.floatAt(kRealEnergy) + static_cast<float>(kva * pf * seconds / 3600.0));
    regs.setFloat(kApparentEnergy,
                  regs.floatAt(kApparentEnergy) + static_cast<float>(kva * seconds / 3600.0));
    for (int p = 0; p < kPhases; ++p) {
        regs.setFloat(kFloatCurrentFirst + 2 * p,
                      static_cast<float>(regs.get(kCurrentFirst + p) * scale));
        regs.setFloat(kFloatVoltsLnFirst + 2 * p, static_cast<float>(volts(kVoltsLnFirst + p)));
    }
    if (m_droppedPhase >= 0 && (m_dropLeft -= seconds) <= 0)
        m_droppedPhase = -1;
}

void EnergyLive::advance(RegisterFile& regs, double seconds, std::mt19937& /*random*/) {
    using namespace plain;
    regs.setFloat(kRealEnergy,
                  regs.floatAt(kRealEnergy) + static_cast<float>(12.0 * seconds / 3600.0));
    regs.setFloat(kReactiveEnergy,
                  regs.floatAt(kReactiveEnergy) + static_cast<float>(3.0 * seconds / 3600.0));
}

void TemperatureLive::advance(RegisterFile& regs, double seconds, std::mt19937& random) {
    using namespace plain;
    std::normal_distribution<double> noise(0.0, 1.0);
    const double next = regs.floatAt(kTemperature) + 0.05 * noise(random) * std::sqrt(seconds);
    regs.setFloat(kTemperature, static_cast<float>(std::clamp(next, 15.0, 35.0)));
}

void FullDataLive::advance(RegisterFile& regs, double /*seconds*/, std::mt19937& random) {
    using namespace plain;
    std::normal_distribution<double> noise(0.0, 1.0);
    for (int j = 1; j <= kFullDataValues; ++j) {
        const int r = kFullDataFirst + 2 * (j - 1);
        const double fixed = kFullDataFixedBase + j;
        const double v = regs.floatAt(r) + 0.1 * noise(random);
        regs.setFloat(r, static_cast<float>(std::clamp(v, fixed * 0.95, fixed * 1.05)));
    }
}

} // namespace tarvo::sim
