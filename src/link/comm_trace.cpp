#include "link/comm_trace.h"

#include <algorithm>

namespace tarvo {

std::size_t CommTrace::formatLine(std::span<char> out, std::string_view prefix,
                                  std::span<const std::uint8_t> bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    static constexpr std::string_view kLineEnd = "\r\n";
    if (out.empty())
        return 0;
    // Room for the text itself; the zero always fits after it.
    const std::size_t room = out.size() - 1;
    std::size_t n = 0;
    auto put = [&](char c) { out[n++] = c; };

    if (prefix.size() + kLineEnd.size() > room) {
        out[0] = '\0';
        return 0;
    }
    for (char c : prefix)
        put(c);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::size_t need = (i == 0 ? 2 : 3) + kLineEnd.size();
        if (n + need > room)
            break;
        if (i != 0)
            put(' ');
        put(kHex[bytes[i] >> 4]);
        put(kHex[bytes[i] & 0x0F]);
    }
    for (char c : kLineEnd)
        put(c);
    out[n] = '\0';
    return n;
}

void CommTrace::recordSend(std::span<const std::uint8_t> request) {
    m_current = (m_current + 1) % kRingSize;
    formatLine(m_entries[static_cast<std::size_t>(m_current)], "Send->", request);
}

void CommTrace::recordNote(std::string_view note) {
    m_current = (m_current + 1) % kRingSize;
    auto& entry = m_entries[static_cast<std::size_t>(m_current)];
    const std::size_t n = std::min(note.size(), entry.size() - 3);
    std::copy_n(note.begin(), n, entry.begin());
    entry[n] = '\r';
    entry[n + 1] = '\n';
    entry[n + 2] = '\0';
}

void CommTrace::recordReceive(std::span<const std::uint8_t> received, std::size_t requestCount) {
    auto& entry = m_entries[static_cast<std::size_t>(m_current)];
    const std::size_t start = 6 + 3 * requestCount;
    if (start >= entry.size())
        return;
    formatLine(std::span<char>(entry).subspan(start), "Recv->", received);
}

std::string_view CommTrace::entry(int slot) const {
    const auto& e = m_entries[static_cast<std::size_t>(slot % kRingSize)];
    return std::string_view(e.data());
}

std::string CommTrace::text() const {
    std::string all;
    for (int i = 1; i <= kRingSize; ++i)
        all += entry((m_current + i) % kRingSize);
    return all;
}

} // namespace tarvo
