// Log files of the log viewer: every row read belongs to one device of one
// shape at an address from 1 to 247, with a row's worth of values.
#include "fuzz.h"
#include "trends/log_reader.h"

using namespace tarvo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const LogContents log = readLogFile(fuzz::writeTemp(fuzz::text(data, size)));
    FUZZ_CHECK(log.opened && !log.cancelled);
    FUZZ_CHECK(log.shapeChanges <= log.skipped);
    std::size_t rows = 0;
    for (const auto& [address, device] : log.devices) {
        FUZZ_CHECK(address == device.address && address >= 1 && address <= 247);
        FUZZ_CHECK(device.values.size() == device.rows() * device.valueCount());
        rows += device.rows();
    }
    FUZZ_CHECK(rows == log.rows);
    return 0;
}
