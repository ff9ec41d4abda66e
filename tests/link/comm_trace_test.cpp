#include <gtest/gtest.h>

#include "link/comm_trace.h"
#include "support/fake_transport.h"
#include "support/traced_master.h"

namespace tarvo {
namespace {

using test::fromHex;
using test::withCrc;

TEST(CommTrace, LineTooLongIsCutAtAWholeByte) {
    char out[20];
    const std::size_t n = CommTrace::formatLine(out, "Recv->", test::Bytes(50, 0xAB));
    EXPECT_EQ(std::string(out, n), "Recv->AB AB AB AB\r\n");
    EXPECT_EQ(out[n], '\0');
}

// One transaction's entry: the receive line overwrites the send line's "\n",
// so it starts at 6 + 3 * request bytes (18 for function 17, 30 for a read).
TEST(CommTrace, EntryOfATransactionJoinsSendAndReceive) {
    const struct {
        const char* name;
        test::Bytes reply;
        const char* entry;
    } cases[] = {
        {"timed-out report slave ID", {}, "Send->01 11 C0 2C\rRecv->\r\n"},
        {"read of one register", withCrc(fromHex("01 03 02 00 2A")),
         "Send->01 03 00 00 00 01 84 0A\rRecv->01 03 02 00 2A 39 9B\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TracedMaster bus;
        test::FakeTransport port;
        std::int32_t v[1];
        int id = 0;
        char text[ModbusMaster::kSlaveIdTextSize];
        if (c.reply.empty()) {
            port.scriptSilence();
            ASSERT_EQ(bus.master.reportSlaveId(port, 1, id, text), Timeout);
        } else {
            port.script(c.reply);
            ASSERT_EQ(bus.master.readHoldingRegisters(port, 1, 0, 1, v), Ok);
        }
        EXPECT_EQ(bus.trace.entry(bus.trace.currentIndex()), c.entry);
    }
}

TEST(CommTrace, RingKeepsTheLastFourOldestFirst) {
    CommTrace trace;
    EXPECT_EQ(trace.text(), "") << "empty before any transaction";
    for (std::uint8_t t = 1; t <= 5; ++t) {
        const test::Bytes request{t};
        trace.recordSend(request);
        trace.recordReceive(request, 1);
    }
    EXPECT_EQ(trace.text(), "Send->02\rRecv->02\r\n"
                            "Send->03\rRecv->03\r\n"
                            "Send->04\rRecv->04\r\n"
                            "Send->05\rRecv->05\r\n");
}

} // namespace
} // namespace tarvo
