#pragma once

// What the fuzz targets share: the input as a file for readers that take a
// path, an invariant check that stops the run, and a transport that hands
// the input to the master as the slave's reply.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "link/comm_trace.h"
#include "link/device_table.h"
#include "link/modbus_master.h"
#include "link/transport.h"

namespace tarvo::fuzz {

/// Stops the run with the failed invariant; libFuzzer saves the input.
#define FUZZ_CHECK(condition)                                                                      \
    ((condition) ? void() : tarvo::fuzz::fail(__FILE__, __LINE__, #condition))

[[noreturn]] inline void fail(const char* file, int line, const char* condition) {
    std::fprintf(stderr, "%s:%d: invariant failed: %s\n", file, line, condition);
    std::abort();
}

/// A file of this process in $TARVO_FUZZ_TMP, which scripts/fuzz makes on
/// /dev/shm and removes (tmpfs, so runs cost no disk writes), else /dev/shm,
/// rewritten with `bytes` on every call; `tag` tells a target's files apart.
inline std::string writeTemp(std::string_view bytes, std::string_view tag = "in") {
    const char* dir = std::getenv("TARVO_FUZZ_TMP");
    const std::string path = std::string(dir ? dir : "/dev/shm") + "/tarvo-fuzz-" +
                             std::to_string(::getpid()) + "-" + std::string(tag);
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
    return path;
}

inline std::string_view text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

/// The slave's side of a serial line: every read takes the next bytes of the
/// input, as many as it asks for; nothing once they are used up.
class ScriptedTransport : public Transport {
public:
    explicit ScriptedTransport(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}
    void drain() override {}
    std::size_t write(std::span<const std::uint8_t> bytes) override { return bytes.size(); }
    ReadResult read(std::span<std::uint8_t> buffer, std::size_t& received) override {
        received = std::min(buffer.size(), m_bytes.size());
        std::copy_n(m_bytes.begin(), received, buffer.begin());
        m_bytes = m_bytes.subspan(received);
        return received == 0 ? ReadNothing : ReadOk;
    }

private:
    std::span<const std::uint8_t> m_bytes;
};

/// One transaction of the master, chosen by `op`: function 3, 6 or 17 to
/// slave 1 to 4 (an echoing adapter when bit 7 is set), whatever `port`
/// answers. The reply checks promise a result from 0 to 9 for valid
/// arguments, registers 0 to 65535 on Ok and untouched otherwise, and a
/// zero-terminated identification text.
inline void transact(Transport& port, std::uint8_t op) {
    CommTrace trace;
    DeviceTable devices;
    const bool echoes = (op & 0x80) != 0;
    ModbusMaster master(trace, devices, &echoes);
    const int slave = 1 + (op >> 2 & 3);
    ModbusResult result = Ok;
    if ((op & 2) == 0) {
        const int count = (op & 1) ? 2 : 1 + (op >> 4 & 7);
        std::vector<std::int32_t> values(8, -1);
        result = master.readHoldingRegisters(port, slave, 100, count, values);
        for (int i = 0; i < 8; ++i)
            FUZZ_CHECK(result == Ok && i < count ? values[i] >= 0 && values[i] <= 0xFFFF
                                                 : values[i] == -1);
    } else if ((op & 1) == 0) {
        result = master.writeSingleRegister(port, slave, 141, 80);
    } else {
        int slaveId = -1;
        std::string text(ModbusMaster::kSlaveIdTextSize, 'x');
        result = master.reportSlaveId(port, slave, slaveId, text);
        if (result == Ok)
            FUZZ_CHECK(slaveId >= 0 && slaveId <= 255 && text.find('\0') != std::string::npos);
    }
    FUZZ_CHECK(result >= Ok && result < InvalidParameter);
}

} // namespace tarvo::fuzz
