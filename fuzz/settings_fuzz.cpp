// Tarvo.cfg: whatever the file holds, load takes it without harm, and what
// save writes of the result reads back to the same settings.
#include "fuzz.h"
#include "settings/settings.h"

using namespace tarvo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Settings first;
    first.load(fuzz::writeTemp(fuzz::text(data, size)));
    const std::string saved = first.fileText(first.location, first.interval);
    Settings second;
    second.load(fuzz::writeTemp(saved, "saved"));
    FUZZ_CHECK(second.fileText(second.location, second.interval) == saved);
    return 0;
}
