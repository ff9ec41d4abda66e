// The master's reply checks on a serial line: the first byte chooses the
// transaction, the rest is what the slave sends.
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    tarvo::fuzz::ScriptedTransport port({data + 1, size - 1});
    tarvo::fuzz::transact(port, data[0]);
    return 0;
}
