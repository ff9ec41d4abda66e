#pragma once

#include <cerrno>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "link/link.h"
#include "support/hex.h"

namespace tarvo::test {

/// A link that answers each write with the next scripted reply and records
/// what the master did. It starts open; every name opens except those in
/// `unopenable`.
class FakeTransport : public Link {
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

    ReadResult readWithin(std::span<std::uint8_t> buffer, std::size_t& received,
                          std::chrono::milliseconds firstByteWait) override {
        firstByteWaits.resize(readSizes.size(), 0);
        firstByteWaits.push_back(static_cast<int>(firstByteWait.count()));
        return read(buffer, received);
    }

    OpenResult open(const std::string& name, int speedCode, int parityCode) override {
        opens.push_back(name + " " + std::to_string(speedCode) + " " + std::to_string(parityCode));
        m_open = !unopenable.contains(name);
        return {m_open, m_open ? 0 : ENOENT};
    }
    void close() override { m_open = false; }
    bool isOpen() const override { return m_open; }

    std::set<std::string> unopenable;
    std::vector<std::string> opens; ///< "name speed parity" of each open
    int drains = 0;
    std::vector<Bytes> writes;
    std::vector<std::size_t> readSizes;
    /// The first-byte wait of each read in ms, 0 for a read with the full
    /// time-out; shorter than readSizes when the last reads were full ones.
    std::vector<int> firstByteWaits;

private:
    std::deque<Reply> m_replies;
    bool m_open = true;
};

} // namespace tarvo::test
