#include "devices/device_kind.h"

namespace tarvo {

DeviceKind classifyDevice(std::string_view text) {
    const auto has = [text](std::string_view part) { return text.find(part) != text.npos; };
    if (!has("Kyrel"))
        return NoDevice;
    if (has("Energy-Only"))
        return EnergyOnlyMeter;
    if (has("Temperature"))
        return TemperatureDevice;
    if (has("Full-Data"))
        return FullDataMeter;
    if (has("Branch") && has("100A"))
        return BranchMonitor100A;
    if (has("Branch"))
        return BranchMonitor;
    if (has("Circuit") && has("Meter 6,"))
        return CircuitMeter6;
    if (has("Circuit") && has("Meter 8,"))
        return CircuitMeter8;
    return NoDevice;
}

} // namespace tarvo
