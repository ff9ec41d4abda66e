#include <gtest/gtest.h>

#include <clocale>

#include "config/form_fields.h"

namespace tarvo {
namespace {

constexpr const char* kNotInteger = "Please enter an integer.";
constexpr const char* kNotNumber = "Please enter a number.";
constexpr const char* kIntegerRange = "Please enter an integer between 0 and 100.";
constexpr const char* kNumberRange = "Please enter a number between 0 and 65535.";

// Integer fields take 0..100 and number fields 0..65535 here. A refused text
// leaves the value alone; range messages carry the exclamation icon, the
// "not a number" ones do not.
struct FieldCase {
    bool number;
    const char* text;
    const char* message; // nullptr: accepted
    float value;
};

TEST(FormFieldsTest, FieldsTakeOnlyFiniteNumbersOfTheirKindWithinRange) {
    const FieldCase cases[] = {
        {false, " 42 ", nullptr, 42},
        {false, "+7", nullptr, 7},
        {false, "0", nullptr, 0},
        {false, "100", nullptr, 100},
        {false, "", kNotInteger, 0},
        {false, "abc", kNotInteger, 0},
        {false, "1.5", kNotInteger, 0},
        {false, "+-3", kNotInteger, 0},
        {false, "101", kIntegerRange, 0},
        {false, "-1", kIntegerRange, 0},
        {false, "99999999999999999999999", kIntegerRange, 0},
        {true, "120.1", nullptr, 120.1f},
        {true, "1e3", nullptr, 1000},
        {true, "+.5", nullptr, 0.5f},
        {true, "letters", kNotNumber, 0},
        {true, "", kNotNumber, 0},
        {true, "1,5", kNotNumber, 0},
        {true, "nan", kNotNumber, 0},
        {true, "inf", kNotNumber, 0},
        {true, "65536", kNumberRange, 0},
        {true, "-0.01", kNumberRange, 0},
        {true, "1e999", kNumberRange, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::optional<FieldError> error;
        float value = -5;
        if (c.number) {
            error = takeNumber(c.text, 0, 65535, value);
        } else {
            std::int32_t integer = -5;
            error = takeInteger(c.text, 0, 100, integer);
            value = static_cast<float>(integer);
        }
        if (c.message == nullptr) {
            EXPECT_FALSE(error.has_value());
            EXPECT_EQ(value, c.value);
        } else {
            ASSERT_TRUE(error.has_value());
            EXPECT_EQ(error->message, c.message);
            EXPECT_EQ(error->exclamation, c.message == kIntegerRange || c.message == kNumberRange);
            EXPECT_EQ(value, -5.0f) << "a refused text must not change the value";
        }
    }
}

TEST(FormFieldsTest, BoundsPrintWithSixSignificantDigitsAndAPointInEveryLocale) {
    const std::string before = std::setlocale(LC_NUMERIC, nullptr);
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr)
        GTEST_SKIP() << "the de_DE.UTF-8 locale is not generated (scripts/setup makes it)";
    EXPECT_EQ(numberRangeError(0.5, 1234567).message,
              "Please enter a number between 0.5 and 1.23457e+06.");
    EXPECT_EQ(formatNumber(120.1f), "120.1");
    EXPECT_EQ(formatNumber(-0.01f), "-0.01");
    std::setlocale(LC_NUMERIC, before.c_str());
}

TEST(FormFieldsTest, TextFieldRefusesMoreThanItsLength) {
    std::string value = "old";
    EXPECT_FALSE(takeText("P1", 4, value).has_value());
    EXPECT_EQ(value, "P1");
    const auto error = takeText("ABCDE", 4, value);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->message, "Please enter no more than 4 characters.");
    EXPECT_TRUE(error->exclamation);
    EXPECT_EQ(value, "P1");
}

} // namespace
} // namespace tarvo
