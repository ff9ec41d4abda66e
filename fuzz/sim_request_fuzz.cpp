// The simulator's request handling: any frame from the line gets silence or
// an intact reply from the address it was sent to, and a bus without faults
// never answers a broadcast or a damaged frame.
#include "fuzz.h"
#include "sim/bus.h"

using namespace tarvo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    sim::Bus bus;
    // One device of each model, at addresses 1 to 8.
    for (int model = 0; model <= static_cast<int>(sim::Model::Foreign); ++model)
        bus.addDevice(static_cast<sim::Model>(model), model + 1, "PNL1");
    const std::span<const std::uint8_t> frame(data, size);
    const sim::Reply reply = bus.handleFrame(frame, sim::Clock::now());
    if (!sim::frameIntact(frame) || data[0] == 0)
        FUZZ_CHECK(reply.empty());
    for (const sim::ReplyPart& part : reply) {
        FUZZ_CHECK(sim::frameIntact(part.bytes));
        FUZZ_CHECK(part.bytes[0] == data[0]);
    }
    FUZZ_CHECK(bus.frames().size() == 1);
    return 0;
}
