#pragma once

#include <array>

namespace tarvo {

/// Slave-ID byte of the last successful Report Slave ID reply per bus address
/// 0 to 247. A scan does not clear it: an entry keeps its value until that
/// address answers again, and the configuration commands pick their registers
/// and forms by it.
class DeviceTable {
public:
    static constexpr int kSize = 248;

    void clear() { m_slaveIds.fill(0); }

    /// 0 for an address outside 0 to 247 or one that never answered.
    int slaveId(int address) const {
        return inRange(address) ? m_slaveIds[static_cast<std::size_t>(address)] : 0;
    }

    /// Addresses above 247 have no entry and are ignored.
    void record(int address, int slaveId) {
        if (inRange(address))
            m_slaveIds[static_cast<std::size_t>(address)] = slaveId;
    }

private:
    static bool inRange(int address) { return address >= 0 && address < kSize; }

    std::array<int, kSize> m_slaveIds{};
};

} // namespace tarvo
