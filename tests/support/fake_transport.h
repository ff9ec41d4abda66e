#pragma once

#include <deque>
#include <vector>

#include "link/transport.h"
#include "support/hex.h"

namespace tarvo::test {

/// A transport that answers each write with the next scripted reply and
/// records what the master did.
class FakeTransport : public Transport {
public:
    struct Reply {
        Bytes bytes;
        ReadResult result = ReadOk;
    };

    void script(Bytes reply) { m_replies.push_back({std::move(reply), ReadOk}); }
    void scriptSilence() { m_replies.push_back({{}, ReadNothing}); }

    void drain() override { ++drains; }
    std::size_t write(std::span<const std::uint8_t> bytes) override {
        writes.emplace_back(bytes.begin(), bytes.end());
        return bytes.size();
    }
    ReadResult read(std::span<std::uint8_t> buffer, std::size_t& received) override {
        readSizes.push_back(buffer.size());
        received = 0;
        if (m_replies.empty())
            return ReadNothing;
        Reply r = std::move(m_replies.front());
        m_replies.pop_front();
        // A real port never stores more than it was asked for.
        received = std::min(r.bytes.size(), buffer.size());
        std::copy_n(r.bytes.begin(), received, buffer.begin());
        return received == 0 ? ReadNothing : r.result;
    }

    int drains = 0;
    std::vector<Bytes> writes;
    std::vector<std::size_t> readSizes;

private:
    std::deque<Reply> m_replies;
};

} // namespace tarvo::test
