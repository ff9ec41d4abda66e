// The headless logger's operator: its lines and repeat summaries.
#include <gtest/gtest.h>

#include "core/text_operator.h"
#include "support/local_zone.h"

namespace tarvo {
namespace {

struct FakeClock : Clock {
    std::time_t t = 0;
    std::time_t now() const override { return t; }
};

// One step of a run: `message` (or "|" to end a round, "$" to finish) raised
// `times` times, `every` seconds apart, from `at` seconds after 10:00:00.
struct Step {
    int at;
    const char* message;
    int times = 1;
    int every = 0;
};
struct LineCase {
    const char* fault;
    std::vector<Step> steps;
    std::vector<std::string> lines;
};

TEST(TextOperator, OneLinePerMessageAndRepeatsSummarised) {
    const test::LocalZone utc("UTC");
    const std::time_t base = 1709632800; // 2024-03-05 10:00:00 UTC
    const LineCase cases[] = {
        {"box text on several lines splits the journal entry",
         {{0, "Error # 1  no table\nsecond"}},
         {"2024-03-05 10:00:00 Tarvo: Error # 1  no table / second"}},
        {"a failure every pass prints a line every minute forever",
         {{0, "Error connecting", 61, 60}},
         {"2024-03-05 10:00:00 Tarvo: Error connecting",
          "2024-03-05 11:00:00 Tarvo: Error connecting (repeated 60 times in the last hour)"}},
        {"the end of a failure is never said, so the count is lost",
         {{0, "Error connecting", 3, 60}, {180, "|"}, {240, "|"}},
         {"2024-03-05 10:00:00 Tarvo: Error connecting",
          "2024-03-05 10:04:00 Tarvo: Error connecting (repeated 2 times more, then stopped)"}},
        {"a failure that comes back after stopping is never printed again",
         {{0, "Error connecting"}, {60, "|"}, {120, "|"}, {180, "Error connecting"}},
         {"2024-03-05 10:00:00 Tarvo: Error connecting",
          "2024-03-05 10:03:00 Tarvo: Error connecting"}},
        {"a message still raised in the round counts as stopped",
         {{0, "A"}, {50, "|"}, {60, "A"}, {110, "|"}, {170, "|"}},
         {"2024-03-05 10:00:00 Tarvo: A",
          "2024-03-05 10:02:50 Tarvo: A (repeated 1 time more, then stopped)"}},
        {"different messages or titles are merged into one count",
         {{0, "A"}, {1, "B"}, {2, "A"}},
         {"2024-03-05 10:00:00 Tarvo: A", "2024-03-05 10:00:01 Tarvo: B"}},
        {"repeats pending at the end of the run are lost",
         {{0, "A", 3, 1}, {10, "$"}},
         {"2024-03-05 10:00:00 Tarvo: A", "2024-03-05 10:00:10 Tarvo: A (repeated 2 times more)"}},
    };
    for (const LineCase& c : cases) {
        FakeClock clock;
        std::vector<std::string> lines;
        TextOperator op(clock, [&](const std::string& line) { lines.push_back(line); });
        for (const Step& s : c.steps)
            for (int i = 0; i < s.times; ++i) {
                clock.t = base + s.at + i * s.every;
                if (std::string_view(s.message) == "|")
                    op.endRound();
                else if (std::string_view(s.message) == "$")
                    op.finish();
                else
                    op.showMessage(s.message);
            }
        EXPECT_EQ(lines, c.lines) << c.fault;
    }
}

} // namespace
} // namespace tarvo
