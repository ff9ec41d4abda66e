// The headless logger's operator: its lines and repeat summaries.
#include <gtest/gtest.h>

#include "core/text_operator.h"
#include "support/fake_clock.h"
#include "support/local_zone.h"

namespace tarvo {
namespace {

using test::FakeClock;

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
    const char* lines; // as printed, without the date
};

TEST(TextOperator, OneLinePerMessageAndRepeatsSummarised) {
    const test::LocalZone utc("UTC");
    const char* e = "Error connecting";
    const LineCase cases[] = {
        {"box text on several lines splits the journal entry",
         {{0, "Error # 1\nsecond"}},
         "10:00:00 Tarvo: Error # 1 / second\n"},
        {"a failure every pass prints a line every minute forever",
         {{0, e, 61, 60}},
         "10:00:00 Tarvo: Error connecting\n"
         "11:00:00 Tarvo: Error connecting (repeated 60 times in the last hour)\n"},
        {"the hourly summary never starts a new hour",
         {{0, e, 121, 60}},
         "10:00:00 Tarvo: Error connecting\n"
         "11:00:00 Tarvo: Error connecting (repeated 60 times in the last hour)\n"
         "12:00:00 Tarvo: Error connecting (repeated 60 times in the last hour)\n"},
        {"the end of a failure is never said",
         {{0, e, 3, 60}, {180, "|"}, {240, "|"}},
         "10:00:00 Tarvo: Error connecting\n"
         "10:04:00 Tarvo: Error connecting (repeated 2 times more, then stopped)\n"},
        {"a failure back after stopping is never printed again",
         {{0, e}, {60, "|"}, {120, "|"}, {180, e}},
         "10:00:00 Tarvo: Error connecting\n10:03:00 Tarvo: Error connecting\n"},
        {"a message still raised in the round counts as stopped",
         {{0, "A"}, {50, "|"}, {60, "A"}, {110, "|"}, {170, "|"}},
         "10:00:00 Tarvo: A\n10:02:50 Tarvo: A (repeated 1 time more, then stopped)\n"},
        {"different messages merged into one count",
         {{0, "A"}, {1, "B"}, {2, "A"}},
         "10:00:00 Tarvo: A\n10:00:01 Tarvo: B\n"},
        {"repeats pending at the end of the run are lost",
         {{0, "A", 3, 1}, {10, "$"}},
         "10:00:00 Tarvo: A\n10:00:10 Tarvo: A (repeated 2 times more)\n"},
    };
    for (const LineCase& c : cases) {
        FakeClock clock;
        std::string lines;
        TextOperator op(clock, [&](const std::string& line) { lines += line.substr(11) + "\n"; });
        for (const Step& s : c.steps)
            for (int i = 0; i < s.times; ++i) {
                clock.t = 1709632800 + s.at + i * s.every; // from 2024-03-05 10:00:00 UTC
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
