#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "devices/device_kind.h"
#include "sim/live.h"
#include "sim/registers.h"

namespace tarvo::sim {

/// The device models the simulator offers. Names on the command line and in
/// bus files: branch, branch100a, circuit8, circuit6, energy, temperature,
/// fulldata, foreign.
enum class Model { Branch, Branch100A, Circuit8, Circuit6, Energy, Temperature, FullData, Foreign };

std::optional<Model> modelFromName(std::string_view name);
const char* modelName(Model model);

/// The kind the program's classification gives the model's identification
/// text (NoDevice for the foreign device).
DeviceKind deviceKind(Model model);

/// Slave-ID byte of Report Slave ID: 230, 231, 235 and 236 for the four
/// monitorable models; the others report bytes none of those.
std::uint8_t defaultSlaveIdByte(Model model);

/// Identification text of Report Slave ID. Every model but the foreign one
/// contains "Kyrel" and exactly the words that classify it as its kind.
std::string defaultIdentificationText(Model model);

/// The register rules of one device family: the fixed values a new device
/// holds, which registers a master may read and write, and what a write does.
/// One constant object per model, chosen when the device is made.
class RegisterRules {
public:
    virtual void initialise(RegisterFile& regs, int address, std::string_view name) const = 0;
    /// Asked only for registers 0 to 1023.
    virtual bool readable(int reg) const = 0;
    virtual bool writable(int reg) const = 0;
    /// False for a device without function 6.
    virtual bool takesWrites() const { return true; }
    /// Function 6 on a writable register: 0 or an exception code.
    virtual std::uint8_t write(RegisterFile& regs, int reg, std::uint16_t value) const = 0;
    /// Registers derived from others follow a change made without the rules
    /// (raw access, live mode); `reg` is the register changed, -1 for many.
    virtual void follow(RegisterFile& /*regs*/, int /*reg*/) const {}

protected:
    // Rules are constants that live as long as the program; nobody deletes one.
    ~RegisterRules() = default;
};

/// One simulated device: its holding registers under its family's register
/// rules, and (in live mode) its family's live behaviour.
///
/// Registers start with fixed values that tests can rely on (see the .cpp for
/// each model's table). Not thread-safe: the Bus owning it serialises access.
class Device {
public:
    static constexpr int kRegisterCount = RegisterFile::kCount;
    /// The largest count a function-3 request may ask for, as in the Modbus
    /// application protocol.
    static constexpr int kMaxReadCount = 125;

    Device(Model model, int address, std::string_view name = {});

    Model model() const { return m_model; }
    int address() const { return m_address; }

    /// Function 3: fills `out` with `count` registers from `first`. Returns 0,
    /// IllegalDataValue for a count outside 1 to 125, or IllegalDataAddress
    /// when any register of the range does not exist on this model.
    std::uint8_t readRegisters(int first, int count, std::vector<std::uint16_t>& out) const;

    /// Function 6 with the device's own rules (flag registers only clear,
    /// global settings spread to every breaker, the edit lock of the meter
    /// enable register). Returns 0 or an exception code; IllegalFunction for
    /// a model that has no write at all.
    std::uint8_t writeRegister(int reg, int value);

    bool readable(int reg) const;
    bool writable(int reg) const;

    /// Raw register access for tests and the control channel: no rules, no
    /// side effects beyond the branch alarm summary, which always follows its
    /// flag registers. Registers outside 0 to 1023 read 0 and ignore writes.
    std::uint16_t reg(int r) const;
    void setReg(int r, std::uint16_t value);
    /// A float in two registers, the lower-numbered one holding the high word.
    void setFloat(int r, float value);
    float floatAt(int r) const;
    /// A 4-character name in two registers, padded with spaces.
    void setName(int firstReg, std::string_view name);
    std::string name(int firstReg) const;

    std::uint8_t slaveIdByte() const { return m_slaveIdByte; }
    void setSlaveIdByte(std::uint8_t value) { m_slaveIdByte = value; }
    const std::string& identificationText() const { return m_idText; }
    /// Texts longer than 93 characters are cut: a master's text area holds no more.
    void setIdentificationText(std::string_view text);
    bool answersSlaveId() const { return m_answersSlaveId; }
    /// A device that does not answer function 17 replies with exception 01.
    void setAnswersSlaveId(bool answers) { m_answersSlaveId = answers; }

    /// Live mode: moves the readings on by `seconds` (drift, occasional
    /// overloads and phase drops) and applies the alarm logic.
    void advance(double seconds, std::mt19937& random);

private:
    Model m_model;
    int m_address;
    const RegisterRules& m_rules;
    std::unique_ptr<LiveBehaviour> m_live; ///< none for the foreign device
    RegisterFile m_regs;
    std::uint8_t m_slaveIdByte;
    std::string m_idText;
    bool m_answersSlaveId = true;
};

} // namespace tarvo::sim
