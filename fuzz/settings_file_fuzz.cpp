// Device settings files: a file the parser takes, written again by the
// writer, is taken again and written the same.
#include "fuzz.h"
#include "transfer/settings_file.h"

using namespace tarvo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    DeviceSettings first;
    if (parseSettingsFile(fuzz::text(data, size), first))
        return 0;
    const std::string written = formatSettingsFile(first);
    DeviceSettings second;
    FUZZ_CHECK(!parseSettingsFile(written, second));
    FUZZ_CHECK(formatSettingsFile(second) == written);
    FUZZ_CHECK(second.registers == first.registers);
    return 0;
}
