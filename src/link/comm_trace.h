#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace tarvo {

/// The last four Modbus transactions as hexadecimal text, for troubleshooting
/// a bus. Each entry holds two lines:
///
///     Send->01 03 00 00 00 31 84 1E\rRecv->01 03 62 ...\r\n
///
/// The send line is written as a complete line ending in "\r\n", and the
/// receive line is then written over its line feed, so for a k-byte request the
/// receive line starts at character 6 + 3k (30 for the 8-byte requests of
/// functions 3 and 6, 18 for the 4-byte Report Slave ID request).
///
/// The entries are fixed arrays: recording formats into them and allocates
/// nothing.
class CommTrace {
public:
    static constexpr int kRingSize = 4;
    static constexpr std::size_t kEntrySize = 1024;

    /// Advances the ring and writes the "Send->" line of the request into the
    /// new current entry, replacing what it held.
    void recordSend(std::span<const std::uint8_t> request);

    /// Writes the "Recv->" line into the current entry at character
    /// 6 + 3 * requestCount. A line that would not fit is cut at the last
    /// whole byte that does, so an entry never overflows.
    void recordReceive(std::span<const std::uint8_t> received, std::size_t requestCount);

    /// Advances the ring and writes `note` as a line of its own ("\r\n" at
    /// its end, cut to fit an entry) into the new current entry: what
    /// happened to the line itself, such as a port lost and reopened.
    void recordNote(std::string_view note);

    /// Writes prefix, the bytes as "%02X" separated by single blanks, and
    /// "\r\n" into `out`, zero-terminated. Bytes that do not fit (with the line
    /// end and the zero) are left out. Returns the number of characters
    /// written, without the zero.
    static std::size_t formatLine(std::span<char> out, std::string_view prefix,
                                  std::span<const std::uint8_t> bytes);

    /// The text of ring slot `slot` (0 to 3), up to its terminating zero.
    std::string_view entry(int slot) const;

    /// The four entries from the oldest, (current index + 1) mod 4, to the
    /// newest, with nothing between them.
    std::string text() const;

    int currentIndex() const { return m_current; }

    /// Set while the trace window is shown and not frozen.
    bool traceLive() const { return m_traceLive; }
    void setTraceLive(bool live) { m_traceLive = live; }

    /// The trace window installs this; it is called by requestRepaint.
    void setRepaintHandler(std::function<void()> handler) { m_repaint = std::move(handler); }

    /// Asks the trace window to repaint when it is live.
    void requestRepaint() const {
        if (m_traceLive && m_repaint)
            m_repaint();
    }

private:
    std::array<std::array<char, kEntrySize>, kRingSize> m_entries{};
    int m_current = 0;
    bool m_traceLive = false;
    std::function<void()> m_repaint;
};

} // namespace tarvo
