#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "devices/device_kind.h"

namespace tarvo {

/// The image a lamp shows. NoData: the last read of the device failed, so
/// the lamp says nothing about the breaker or the line.
enum class Lamp { Normal, Warning, Alarm, NoData };

/// What the lamps of the main window show. The phase-loss lamp and the three
/// letters share one place: while a phase is lost the lamp is hidden and the
/// letters of the lost phases are shown.
struct LampState {
    static constexpr int kBreakers = 42;

    std::array<Lamp, kBreakers> breakers{};
    Lamp ampsOver = Lamp::Normal;
    Lamp ampsUnder = Lamp::Normal;
    Lamp kvaOver = Lamp::Normal;
    Lamp kvaUnder = Lamp::Normal;
    Lamp voltsOver = Lamp::Normal;
    Lamp voltsUnder = Lamp::Normal;
    Lamp phaseLoss = Lamp::Normal;
    bool phaseLossVisible = true;
    std::array<bool, 3> phaseLetterVisible{}; ///< A, B, C

    bool operator==(const LampState&) const = default;
};

/// The circuit-meter value fields, in the order the poll fills them.
enum CircuitText : int {
    VoltsAN,
    VoltsBN,
    VoltsCN,
    VoltsLnAvg,
    VoltsAB,
    VoltsBC,
    VoltsCA,
    VoltsLlAvg,
    CurrentA,
    CurrentB,
    CurrentC,
    CurrentAvg,
    CurrentN,
    PowerKw,
    PowerKvar,
    PowerKva,
    PowerPf,
    kCircuitTextCount
};

/// Every text of the live display. A tick prepares them all and the window
/// takes them in one step, so the fields of one reading appear together.
struct DisplayTexts {
    std::array<std::string, LampState::kBreakers> breakers = initialBreakers();
    std::array<std::string, kCircuitTextCount> circuit{};
    std::string panelName;
    std::string boardName;

    static std::array<std::string, LampState::kBreakers> initialBreakers() {
        std::array<std::string, LampState::kBreakers> texts;
        texts.fill("0.000");
        return texts;
    }
};

struct Display {
    DisplayTexts texts;
    LampState lamps;
};

/// Every breaker lamp, the six under/over lamps and the phase-loss lamp
/// back to normal. Which lamps and letters are visible is left as it was.
void resetIndicators(LampState& lamps);

/// Sets the lamps from the flag registers of one poll block of a device of
/// `kind`: for a branch monitor registers 42 to 48 (summary, warnings,
/// alarms), for a circuit meter register 36. Warnings are applied before
/// alarms, so a breaker with both bits shows the alarm.
void showAlarms(LampState& lamps, DeviceKind kind, std::span<const std::int32_t> registers);

/// After a failed read: every value text blank and every lamp NoData, so a
/// device that stopped answering never looks like a healthy, empty panel.
/// The names are left as they are.
void showNoData(Display& display);

/// What a screen reader says of a lamp: "normal", "warning", "alarm" or
/// "no data".
const char* lampDescription(Lamp lamp);

} // namespace tarvo
