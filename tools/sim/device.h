#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "devices/device_kind.h"

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

/// One simulated device: its holding registers, what it lets a master read and
/// write, and (in live mode) how its readings move.
///
/// Registers start with fixed values that tests can rely on (see the .cpp for
/// each model's table). Not thread-safe: the Bus owning it serialises access.
class Device {
public:
    static constexpr int kRegisterCount = 1024;
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
    void initialise(std::string_view name);
    void updateBranchSummary();
    void advanceBranch(double seconds, std::mt19937& random);
    void advanceCircuit(double seconds, std::mt19937& random);
    void advanceFloats(double seconds, std::mt19937& random);
    bool isBranch() const { return m_model == Model::Branch || m_model == Model::Branch100A; }
    bool isCircuit() const { return m_model == Model::Circuit8 || m_model == Model::Circuit6; }

    Model m_model;
    int m_address;
    std::array<std::uint16_t, kRegisterCount> m_regs{};
    std::uint8_t m_slaveIdByte;
    std::string m_idText;
    bool m_answersSlaveId = true;

    // Live state.
    bool m_liveStarted = false;
    std::array<double, 42> m_baseAmps{};
    std::array<double, 42> m_warnSeconds{};
    std::array<double, 42> m_alarmSeconds{};
    int m_overloadBreaker = -1;
    double m_overloadLeft = 0;
    int m_droppedPhase = -1;
    double m_dropLeft = 0;
    std::array<double, 3> m_basePhaseAmps{};
};

} // namespace tarvo::sim
