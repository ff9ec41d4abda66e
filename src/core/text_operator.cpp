#include "core/text_operator.h"

#include <array>
#include <cstdio>

namespace tarvo {
namespace {

std::string times(int count) {
    return std::to_string(count) + (count == 1 ? " time" : " times");
}

} // namespace

TextOperator::TextOperator(const Clock& clock, LineSink sink)
    : m_clock(clock), m_sink(std::move(sink)) {}

TextOperator::~TextOperator() = default;

std::string TextOperator::bodyOf(std::string_view text, std::string_view title) {
    std::string body(title.empty() ? kApplicationName : title);
    body += ": ";
    // One message, one line: a journal or a grep sees the whole box.
    for (char c : text) {
        if (c == '\n')
            body += " / ";
        else if (c != '\r')
            body += c;
    }
    return body;
}

void TextOperator::emit(const std::string& body) {
    const std::time_t now = m_clock.now();
    std::tm local{};
    std::array<char, 32> stamp{};
    if (localtime_r(&now, &local) == nullptr ||
        std::strftime(stamp.data(), stamp.size(), "%Y-%m-%d %H:%M:%S", &local) == 0)
        std::snprintf(stamp.data(), stamp.size(), "@%lld", static_cast<long long>(now));
    const std::string line = std::string(stamp.data()) + " " + body;
    if (m_sink) {
        m_sink(line);
        return;
    }
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

void TextOperator::showMessage(std::string_view text, std::string_view title) {
    std::string body = bodyOf(text, title);
    const std::time_t now = m_clock.now();
    const auto found = m_repeats.find(body);
    if (found == m_repeats.end()) {
        emit(body);
        m_repeats.emplace(std::move(body), Repeats{0, now, true});
        return;
    }
    Repeats& r = found->second;
    r.seenThisRound = true;
    ++r.count;
    if (now - r.reportedAt >= kSummaryPeriod) {
        emit(body + " (repeated " + times(r.count) + " in the last hour)");
        r.count = 0;
        r.reportedAt = now;
    }
}

void TextOperator::endRound() {
    for (auto it = m_repeats.begin(); it != m_repeats.end();) {
        Repeats& r = it->second;
        if (r.seenThisRound) {
            r.seenThisRound = false;
            ++it;
            continue;
        }
        if (r.count > 0)
            emit(it->first + " (repeated " + times(r.count) + " more, then stopped)");
        it = m_repeats.erase(it);
    }
}

void TextOperator::finish() {
    for (const auto& [body, r] : m_repeats)
        if (r.count > 0)
            emit(body + " (repeated " + times(r.count) + " more)");
    m_repeats.clear();
}

void TextOperator::note(std::string_view text) {
    emit(bodyOf(text, {}));
}

} // namespace tarvo
