#include "config/config_registers.h"

#include "devices/device_kind.h"
#include "link/device_table.h"

namespace tarvo {

ConfigRegisters::ConfigRegisters(ModbusMaster& master, Transport& port, const DeviceTable& devices,
                                 int address)
    : m_master(master), m_port(port), m_devices(devices), m_address(address) {}

int ConfigRegisters::slaveId() const {
    return m_devices.slaveId(m_address);
}

bool ConfigRegisters::isBranchMonitor() const {
    return tarvo::isBranchMonitor(slaveId());
}

bool ConfigRegisters::isCircuitMeter() const {
    return tarvo::isCircuitMeter(slaveId());
}

bool ConfigRegisters::read(int first, int count, std::span<std::int32_t> values) {
    const ModbusResult result =
        m_master.readHoldingRegisters(m_port, m_address, first, count, values);
    if (result == Ok)
        return true;
    ++m_failedReads;
    m_lastReadFailure = result;
    return false;
}

ConfigRegisters::FirmwareVersion ConfigRegisters::readFirmwareVersion() {
    std::array<std::int32_t, 2> regs{};
    if (!read(isBranchMonitor() ? kBranchFirmware : kCircuitFirmware, 2, regs))
        return {};
    return {regs[0], regs[1]};
}

std::int32_t ConfigRegisters::readSerialNumber() {
    int first = 0;
    if (isBranchMonitor())
        first = kBranchSerial;
    else if (isCircuitMeter())
        first = kCircuitSerial;
    else
        return 0;
    std::array<std::int32_t, 2> regs{};
    if (!read(first, 2, regs))
        return 0;
    // Built unsigned and then reinterpreted: a high word of 0x8000 or more is
    // a negative serial number, and shifting into the sign bit of a signed
    // value would be undefined.
    const auto bits = (static_cast<std::uint32_t>(regs[0]) << 16) |
                      (static_cast<std::uint32_t>(regs[1]) & 0xFFFFu);
    return static_cast<std::int32_t>(bits);
}

std::vector<std::int32_t> ConfigRegisters::readAlarmLimits() {
    const bool branch = isBranchMonitor();
    const int first = branch ? kAlarmLevelBase + 1 : kLimitsFirst;
    const int count = branch ? kBreakers : kLimitsCount;
    std::vector<std::int32_t> values(static_cast<std::size_t>(count), 0);
    if (!read(first, count, values))
        std::fill(values.begin(), values.end(), -1);
    return values;
}

ConfigRegisters::BreakerBlock ConfigRegisters::readBreakerBlock(int first) {
    BreakerBlock values{};
    if (!read(first, kBreakers, values))
        values.fill(-1);
    return values;
}

ConfigRegisters::BreakerBlock ConfigRegisters::readWarningLevels() {
    return readBreakerBlock(kWarningLevelBase + 1);
}

ConfigRegisters::BreakerBlock ConfigRegisters::readWarningDelays() {
    return readBreakerBlock(kWarningDelayBase + 1);
}

ConfigRegisters::BreakerBlock ConfigRegisters::readAlarmDelays() {
    return readBreakerBlock(kAlarmDelayBase + 1);
}

ConfigRegisters::BreakerBlock ConfigRegisters::readRatings() {
    return readBreakerBlock(kRatingBase + 1);
}

ModbusResult ConfigRegisters::readCriticalMask(std::int32_t& mask) {
    std::array<std::int32_t, 1> reg{};
    const ModbusResult result =
        m_master.readHoldingRegisters(m_port, m_address, kCriticalMask, 1, reg);
    mask = result == Ok ? reg[0] : kCriticalMaskFill;
    if (result != Ok) {
        ++m_failedReads;
        m_lastReadFailure = result;
    }
    return result;
}

void ConfigRegisters::readBranchPanelName(std::string& panelName) {
    std::array<std::int32_t, 2> regs{};
    if (read(kBranchPanelName, 2, regs))
        panelName = decodeName(regs[0], regs[1]);
}

void ConfigRegisters::readCircuitNames(std::string& panelName, std::string& boardName) {
    std::array<std::int32_t, 4> regs{};
    if (!read(kCircuitPanelName, 4, regs))
        return;
    panelName = decodeName(regs[0], regs[1]);
    boardName = decodeName(regs[2], regs[3]);
}

bool ConfigRegisters::readRegister(int reg, std::int32_t& value) {
    std::array<std::int32_t, 1> values{};
    if (!read(reg, 1, values))
        return false;
    value = values[0];
    return true;
}

ModbusResult ConfigRegisters::writeRegister(int reg, std::int64_t value) {
    // The master takes an int; a value that does not fit is out of its
    // range anyway and must be refused without sending, not wrapped.
    const int sent = value < 0 || value > 65535 ? -1 : static_cast<int>(value);
    return m_master.writeSingleRegister(m_port, m_address, reg, sent);
}

void ConfigRegisters::writeName(int firstRegister, std::string_view text) {
    const auto regs = encodeName(text);
    (void)writeRegister(firstRegister, regs[0]);
    (void)writeRegister(firstRegister + 1, regs[1]);
}

int ConfigRegisters::writeChanged(int firstRegister, std::span<const std::int32_t> values,
                                  std::span<const std::int32_t> lastReadCopy) {
    int sent = 0;
    for (std::size_t i = 0; i < values.size() && i < lastReadCopy.size(); ++i) {
        if (values[i] == lastReadCopy[i])
            continue;
        (void)writeRegister(firstRegister + static_cast<int>(i), values[i]);
        ++sent;
    }
    return sent;
}

void ConfigRegisters::writeAll(std::span<const RegisterWrite> writes) {
    for (const RegisterWrite& w : writes)
        (void)writeRegister(w.reg, w.value);
}

std::string ConfigRegisters::decodeName(std::int32_t first, std::int32_t second) {
    const char bytes[4] = {static_cast<char>((first >> 8) & 0xFF), static_cast<char>(first & 0xFF),
                           static_cast<char>((second >> 8) & 0xFF),
                           static_cast<char>(second & 0xFF)};
    std::string name;
    for (char c : bytes) {
        if (c == '\0')
            break;
        name.push_back(c);
    }
    return name;
}

std::array<int, 2> ConfigRegisters::encodeName(std::string_view text) {
    std::array<unsigned, 4> bytes{' ', ' ', ' ', ' '};
    for (std::size_t i = 0; i < bytes.size() && i < text.size(); ++i)
        bytes[i] = static_cast<unsigned char>(text[i]);
    return {static_cast<int>(bytes[0] * 256 + bytes[1]),
            static_cast<int>(bytes[2] * 256 + bytes[3])};
}

} // namespace tarvo
