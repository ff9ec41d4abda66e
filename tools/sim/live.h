#pragma once

#include <array>
#include <random>

#include "sim/registers.h"

namespace tarvo::sim {

/// How a device's readings move in live mode. Each family has its own; the
/// register rules decide everything else (what a master may read and write,
/// the alarm summary that follows the branch flags).
///
/// advance() moves the readings on by `seconds` (always above 0) drawing from
/// `random` in a fixed order, so a seed repeats a run exactly.
class LiveBehaviour {
public:
    virtual ~LiveBehaviour() = default;
    virtual void advance(RegisterFile& regs, double seconds, std::mt19937& random) = 0;
};

/// Breaker currents drift around 20 to 55 % of their ratings; about once a
/// minute one breaker runs at 85 to 100 % for 20 to 40 s. A breaker at or
/// above its warning (alarm) level for as long as its delay raises its
/// warning (alarm) flag, which stays until a master clears it.
class BranchLive final : public LiveBehaviour {
public:
    explicit BranchLive(int countsPerAmp) : m_countsPerAmp(countsPerAmp) {}
    void advance(RegisterFile& regs, double seconds, std::mt19937& random) override;

private:
    int m_countsPerAmp;
    bool m_started = false;
    std::array<double, branch::kBreakers> m_baseAmps{};
    std::array<double, branch::kBreakers> m_warningSeconds{};
    std::array<double, branch::kBreakers> m_alarmSeconds{};
    int m_overloadBreaker = -1;
    double m_overloadLeft = 0;
};

/// Phase currents and voltages drift, powers and averages follow them, the
/// energy counters run on, and about every 90 s one phase drops for 10 to
/// 20 s. A reading past a limit, or a phase under the phase-loss threshold,
/// raises its alarm flag until a master clears it.
class CircuitLive final : public LiveBehaviour {
public:
    void advance(RegisterFile& regs, double seconds, std::mt19937& random) override;

private:
    bool m_started = false;
    std::array<double, circuit::kPhases> m_basePhaseAmps{};
    int m_droppedPhase = -1;
    double m_dropLeft = 0;
};

/// The energy-only meter's counters run on at 12 kW and 3 kVAr.
class EnergyLive final : public LiveBehaviour {
public:
    void advance(RegisterFile& regs, double seconds, std::mt19937& random) override;
};

/// The temperature wanders between 15 and 35 degrees.
class TemperatureLive final : public LiveBehaviour {
public:
    void advance(RegisterFile& regs, double seconds, std::mt19937& random) override;
};

/// Each full-data value jitters within 5 % of its fixed value.
class FullDataLive final : public LiveBehaviour {
public:
    void advance(RegisterFile& regs, double seconds, std::mt19937& random) override;
};

} // namespace tarvo::sim
