#include "devices/meter_list.h"

#include <algorithm>

namespace tarvo {

void MeterList::clear() {
    m_devices.clear();
    m_progress.clear();
    m_hasProgress = false;
    m_selected = kNone;
}

void MeterList::setProgress(std::string_view text) {
    m_progress = text;
    m_hasProgress = true;
}

void MeterList::removeProgress() {
    if (m_selected == kProgress)
        m_selected = kNone;
    m_progress.clear();
    m_hasProgress = false;
}

int MeterList::addDevice(std::string_view text) {
    // After any equal lines, as a sorted list control inserts.
    const auto at =
        std::upper_bound(m_devices.begin(), m_devices.end(), text,
                         [](std::string_view a, const std::string& b) { return a < b; });
    const int index = static_cast<int>(at - m_devices.begin());
    m_devices.insert(at, std::string(text));
    if (m_selected >= index)
        ++m_selected;
    return index + offset();
}

std::string_view MeterList::text(int index) const {
    if (index < 0 || index >= count())
        return {};
    if (m_hasProgress && index == 0)
        return m_progress;
    return m_devices[static_cast<std::size_t>(index - offset())];
}

std::vector<std::string> MeterList::lines() const {
    std::vector<std::string> all;
    all.reserve(static_cast<std::size_t>(count()));
    if (m_hasProgress)
        all.push_back(m_progress);
    all.insert(all.end(), m_devices.begin(), m_devices.end());
    return all;
}

int MeterList::selectedIndex() const {
    if (m_selected == kProgress)
        return 0;
    if (m_selected == kNone)
        return -1;
    return m_selected + offset();
}

void MeterList::select(int index) {
    if (index < 0 || index >= count())
        m_selected = kNone;
    else if (m_hasProgress && index == 0)
        m_selected = kProgress;
    else
        m_selected = index - offset();
}

int MeterList::lineAddress(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < line.size() && (line[i] == '+' || line[i] == '-'))
        negative = line[i++] == '-';
    long long value = 0;
    std::size_t digits = 0;
    // Capped, so a line of many digits cannot overflow on its way to "out of
    // range".
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i, ++digits)
        value = std::min(value * 10 + (line[i] - '0'), 1'000'000LL);
    if (digits == 0 || negative || value < 1 || value > 247)
        return -1;
    return static_cast<int>(value);
}

} // namespace tarvo
