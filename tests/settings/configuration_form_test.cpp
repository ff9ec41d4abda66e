#include <gtest/gtest.h>

#include <climits>

#include "settings/configuration_form.h"
#include "settings/settings.h"

namespace tarvo {
namespace {

// From an interval in Settings, one action, and the field's text after it.
// Typed text: "+" and "-" are the arrows, anything else is typed and left.
struct IntervalCase {
    const char* fault;
    int settingsInterval;
    const char* action; // nullptr: just opened
    const char* shown;
};

TEST(ConfigurationFormTest, IntervalTakesTheNearestEntryAndWraps) {
    const IntervalCase cases[] = {
        {"7 opens as 6", 7, nullptr, "6 min"},
        {"a midpoint goes to the longer: 8 is 10", 7, "8", "10 min"},
        {"1.5 is the midpoint of 1 and 2", 5, "1.5", "2 min"},
        {"100 becomes 60", 7, "100", "60 min"},
        {"letters keep the previous choice", 7, "abc", "6 min"},
        {"the field's own text reads back", 5, "12 min", "12 min"},
        {"a negative interval from the file opens as 1", -3, nullptr, "1 min"},
        {"up at 60 wraps to 1", 60, "+", "1 min"},
        {"down at 1 wraps to 60", 1, "-", "60 min"},
    };
    for (const IntervalCase& c : cases) {
        SCOPED_TRACE(c.fault);
        Settings settings;
        settings.interval = c.settingsInterval;
        ConfigurationForm form(settings);
        const std::string action = c.action ? c.action : "";
        if (action == "+" || action == "-")
            form.stepInterval(action == "+" ? 1 : -1);
        else if (c.action)
            form.leaveInterval(action);
        EXPECT_EQ(form.intervalText(), c.shown);
    }
}

struct ScanCase {
    const char* fault;
    int depth;
    int step;
    int expected;
};

TEST(ConfigurationFormTest, ScanDepthArrowsWrapWithoutOverflow) {
    const ScanCase cases[] = {
        {"down at 1 wraps to 247", 1, -1, 247},
        {"up at 247 wraps to 1", 247, 1, 1},
        {"2147483647 from the file steps up to 1, not past INT_MAX", INT_MAX, 1, 1},
        {"INT_MIN from the file steps down to 247, not past INT_MIN", INT_MIN, -1, 247},
        {"below 1 from the file steps up to 247 while still below 1", -5, 1, 247},
        {"248 steps down to 247", 248, -1, 247},
        {"249 steps down past 247 to 1", 249, -1, 1},
    };
    for (const ScanCase& c : cases)
        EXPECT_EQ(ConfigurationForm::stepScanDepth(c.depth, c.step), c.expected) << c.fault;
}

struct ButtonCase {
    const char* fault;
    const char* portName;
    int speed;
    int parity;
    ConfigurationForm::CheckedButtons checked;
};

TEST(ConfigurationFormTest, RadioButtonsMatchTheSettingsExactlyOrNotAtAll) {
    const ButtonCase cases[] = {
        {"COM5: selects no port button", "COM5:", 2048, 0, {-1, 2, 0}},
        {"the name without its colon is another name", "COM1", 256, 2, {-1, 0, 1}},
        {"lower case is another name", "com3:", 8192, 1, {-1, 3, 2}},
        {"unknown speed and parity codes select nothing", "COM4:", 9600, 7, {3, -1, -1}},
    };
    for (const ButtonCase& c : cases) {
        Settings settings;
        settings.portName = c.portName;
        settings.speedCode = c.speed;
        settings.parityCode = c.parity;
        EXPECT_EQ(ConfigurationForm::checkedButtons(settings), c.checked) << c.fault;
    }
}

// A location from the file, what the operator does to the field, and what
// OK says and stores.
struct LocationCase {
    const char* fault;
    std::string stored;
    const char* typed; // nullptr: the field is left as shown
    const char* refusal;
    std::string kept;
};

TEST(ConfigurationFormTest, OkKeepsAnUneditedLocationAsItsBytesAndChecksWhatIsTyped) {
    const std::string long50(50, 'L');
    std::string tooWide;
    for (int i = 0; i < 32; ++i)
        tooWide += "\xC3\xA9"; // é in UTF-8
    const std::string fits = tooWide.substr(2) + "x";
    const LocationCase cases[] = {
        {"a 50-character location from the file is not cut to 32", long50, nullptr, nullptr,
         long50},
        {"Latin-1 bytes survive OK unchanged", "Z\xFCrich", nullptr, nullptr, "Z\xFCrich"},
        {"a typed location replaces it", "Here", "Plant 4", nullptr, "Plant 4"},
        {"33 typed characters are refused", "Here", "123456789012345678901234567890123",
         "Please enter no more than 32 characters.", "Here"},
        {"32 characters count as 32, not as their 63 bytes", "Here", fits.c_str(), nullptr, fits},
        {"32 characters of 64 bytes would be cut in the settings", "Here", tooWide.c_str(),
         "The Location name is too long to be stored: at most 63 bytes.", "Here"},
        {"an apostrophe", "Here", "Bob's", "The Location name may not contain quote characters",
         "Here"},
        {"a line feed would start a settings line", "Here", "a\nscan 1",
         "The Location name may not contain control characters", "Here"},
        {"DEL", "Here", "a\x7F", "The Location name may not contain control characters", "Here"},
    };
    for (const LocationCase& c : cases) {
        SCOPED_TRACE(c.fault);
        Settings settings;
        settings.location = c.stored;
        ConfigurationForm form(settings);
        form.takeLocation(c.typed ? std::string(c.typed) : form.locationText());
        const std::optional<std::string> refusal = form.checkOk();
        EXPECT_EQ(refusal.value_or(""), c.refusal ? c.refusal : "");
        if (!refusal)
            form.store(settings);
        EXPECT_EQ(settings.location, c.kept);
    }
}

} // namespace
} // namespace tarvo
