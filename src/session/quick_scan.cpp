#include "session/quick_scan.h"

#include <array>

#include "session/app_state.h"

namespace tarvo {

bool answersQuickly(AppState& state, Transport& bus, int address) {
    int slaveId = 0;
    std::array<char, ModbusMaster::kSlaveIdTextSize> text{};
    const ModbusResult r = state.master.reportSlaveId(
        bus, address, slaveId, text, std::chrono::milliseconds(state.settings.quickScanMs));
    return r != Timeout;
}

std::string notListedLine(int address, std::string_view identification) {
    std::string line = "Not listed: ";
    if (address >= 0 && address < 10)
        line += '0';
    line += std::to_string(address);
    line += " [";
    line += identification;
    line += ']';
    return line;
}

} // namespace tarvo
