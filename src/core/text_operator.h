#pragma once

#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "core/clock.h"
#include "core/operator.h"

namespace tarvo {

/// The operator of a logger that runs with nobody at a screen: each message
/// becomes one line "YYYY-MM-DD HH:MM:SS <title>: <text>" (local time, the
/// box's line breaks as " / ") for standard error or a service's journal.
/// Nothing waits for a person, and the busy cursor does nothing.
///
/// A failure that comes back every pass (a database that is down, an adapter
/// that is unplugged) would otherwise print a line a minute for as long as it
/// lasts. The first of identical messages is printed; the repeats are
/// counted, and at most once an hour a line says how many came
/// ("(repeated N times in the last hour)"). A message not raised again
/// during a round (the caller ends a round before each sampling pass) has
/// stopped: a line says how many repeats followed the last one printed, and
/// the next time it comes it is printed in full again.
class TextOperator : public Operator {
public:
    using LineSink = std::function<void(const std::string& line)>;

    /// How long repeats are only counted before a line reports them.
    static constexpr std::time_t kSummaryPeriod = 3600;

    /// `clock` must outlive the operator. Lines go to `sink`, or to standard
    /// error when it is empty.
    explicit TextOperator(const Clock& clock, LineSink sink = {});
    ~TextOperator() override;

    void showMessage(std::string_view text, std::string_view title = {}) override;
    void beginBusy() override {}
    void endBusy() override {}

    /// Ends a round: messages not raised since the previous end of a round
    /// have stopped.
    void endRound();
    /// Reports the repeats still counted (at the end of the run).
    void finish();

    /// A line of the program's own (start, stop) with the same time stamp.
    void note(std::string_view text);

private:
    struct Repeats {
        int count = 0;              // repeats not yet reported
        std::time_t reportedAt = 0; // when its last line was printed
        bool seenThisRound = true;
    };
    void emit(const std::string& body);
    static std::string bodyOf(std::string_view text, std::string_view title);

    const Clock& m_clock;
    LineSink m_sink;
    std::map<std::string, Repeats> m_repeats;
};

} // namespace tarvo
