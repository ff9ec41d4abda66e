#pragma once

#include <string_view>

namespace tarvo {

/// Classification of a device from its identification text. The values of the
/// four monitorable kinds are the slave-ID bytes those devices report, and
/// parts of the program compare the two directly.
enum DeviceKind : int {
    NoDevice = 0,
    BranchMonitor = 230,
    BranchMonitor100A = 231,
    CircuitMeter8 = 235,
    CircuitMeter6 = 236,
    // Slave-ID bytes these devices never report, so a DeviceTable entry can
    // never be mistaken for one of them.
    TemperatureDevice = 1001,
    EnergyOnlyMeter = 1002,
    FullDataMeter = 1003,
};

/// The kind a device's identification text (its Report Slave ID text, or a
/// line of the "Available Meters" list, which contains it) names. Texts
/// without "Kyrel" are no device of ours. The tests run in a fixed order and
/// the first that holds decides, so "Energy-Only" wins over "Branch".
DeviceKind classifyDevice(std::string_view text);

inline bool isBranchMonitor(int kind) {
    return kind == BranchMonitor || kind == BranchMonitor100A;
}
inline bool isCircuitMeter(int kind) {
    return kind == CircuitMeter8 || kind == CircuitMeter6;
}

} // namespace tarvo
