#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config_registers.h"
#include "devices/device_kind.h"
#include "link/transport.h"
#include "support/hex.h"
#include "support/recording_operator.h"
#include "support/traced_master.h"

namespace tarvo::test {

using Log = std::vector<std::string>;

/// A transport with one device behind it that answers functions 3 and 6 from
/// a register map, so form logic runs against something that behaves like a
/// device. Every request is logged as text ("R 135 42", "W 134 7") to assert
/// the exact traffic an action causes; `failReads` makes reads starting at a
/// register time out.
class RegisterBank : public Transport {
public:
    explicit RegisterBank(int address) : m_address(address) {}

    void set(int reg, int value) { regs[reg] = value; }
    int get(int reg) const {
        auto it = regs.find(reg);
        return it == regs.end() ? 0 : it->second;
    }

    /// Only the writes, as "W reg value".
    std::vector<std::string> writes() const {
        std::vector<std::string> out;
        for (const auto& entry : log)
            if (entry[0] == 'W')
                out.push_back(entry);
        return out;
    }

    void drain() override {}

    std::size_t write(std::span<const std::uint8_t> bytes) override {
        m_reply.clear();
        if (bytes.size() != 8 || bytes[0] != m_address)
            return bytes.size();
        const int a = bytes[2] * 256 + bytes[3];
        const int b = bytes[4] * 256 + bytes[5];
        if (bytes[1] == 3) {
            log.push_back("R " + std::to_string(a) + " " + std::to_string(b));
            if (failReads.count(a) != 0)
                return bytes.size();
            Bytes reply{static_cast<std::uint8_t>(m_address), 3, static_cast<std::uint8_t>(2 * b)};
            for (int r = a; r < a + b; ++r) {
                reply.push_back(static_cast<std::uint8_t>(get(r) >> 8));
                reply.push_back(static_cast<std::uint8_t>(get(r) & 0xFF));
            }
            m_reply = withCrc(reply);
        } else if (bytes[1] == 6) {
            log.push_back("W " + std::to_string(a) + " " + std::to_string(b));
            regs[a] = b;
            m_reply.assign(bytes.begin(), bytes.end());
        }
        return bytes.size();
    }

    ReadResult read(std::span<std::uint8_t> buffer, std::size_t& received) override {
        received = std::min(buffer.size(), m_reply.size());
        std::copy_n(m_reply.begin(), received, buffer.begin());
        m_reply.clear();
        return received == 0 ? ReadNothing : ReadOk;
    }

    std::map<int, int> regs;
    std::vector<std::string> log;
    std::set<int> failReads;

private:
    int m_address;
    Bytes m_reply;
};

/// One device at `kAddress` behind a RegisterBank, with the master and the
/// operator the configuration logic talks to.
class RegisterBankTest : public ::testing::Test, protected TracedMaster {
protected:
    ConfigRegisters regs(int slaveId) {
        devices.record(kAddress, slaveId);
        return ConfigRegisters(master, bank, devices, kAddress);
    }

    static constexpr int kAddress = 3;
    RegisterBank bank{kAddress};
    RecordingOperator op;
};

} // namespace tarvo::test
