#include <gtest/gtest.h>

#include "config/form_fields.h"

namespace tarvo {
namespace {

constexpr const char* kNotInteger = "Please enter an integer.";
constexpr const char* kNotNumber = "Please enter a number.";

struct IntegerCase {
    const char* text;
    const char* message; // nullptr: accepted
    std::int32_t value;
};

TEST(FormFieldsTest, IntegerFieldAcceptsOnlyWholeDecimalNumbers) {
    const IntegerCase cases[] = {
        {"75", nullptr, 75},
        {" 42 ", nullptr, 42},
        {"+7", nullptr, 7},
        {"0", nullptr, 0},
        {"100", nullptr, 100},
        {"", kNotInteger, 0},
        {"abc", kNotInteger, 0},
        {"12abc", kNotInteger, 0},
        {"1.5", kNotInteger, 0},
        {"+-3", kNotInteger, 0},
        {"101", "Please enter an integer between 0 and 100.", 0},
        {"-1", "Please enter an integer between 0 and 100.", 0},
        {"99999999999999999999999", "Please enter an integer between 0 and 100.", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::int32_t value = -5;
        const auto error = takeInteger(c.text, 0, 100, value);
        if (c.message == nullptr) {
            EXPECT_FALSE(error.has_value());
            EXPECT_EQ(value, c.value);
        } else {
            ASSERT_TRUE(error.has_value());
            EXPECT_EQ(error->message, c.message);
            EXPECT_EQ(error->exclamation, std::string(c.message) != kNotInteger);
            EXPECT_EQ(value, -5) << "a refused text must not change the value";
        }
    }
}

TEST(FormFieldsTest, NumberFieldRejectsWhatIsNotAFiniteNumber) {
    const struct {
        const char* text;
        const char* message;
        float value;
    } cases[] = {
        {"120.1", nullptr, 120.1f},
        {"5", nullptr, 5.0f},
        {"1e3", nullptr, 1000.0f},
        {"+.5", nullptr, 0.5f},
        {"letters", kNotNumber, 0},
        {"", kNotNumber, 0},
        {"1,5", kNotNumber, 0},
        {"nan", kNotNumber, 0},
        {"inf", kNotNumber, 0},
        {"-inf", kNotNumber, 0},
        {"65536", "Please enter a number between 0 and 65535.", 0},
        {"-0.01", "Please enter a number between 0 and 65535.", 0},
        {"1e999", "Please enter a number between 0 and 65535.", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        float value = -5;
        const auto error = takeNumber(c.text, 0, 65535, value);
        if (c.message == nullptr) {
            EXPECT_FALSE(error.has_value());
            EXPECT_EQ(value, c.value);
        } else {
            ASSERT_TRUE(error.has_value());
            EXPECT_EQ(error->message, c.message);
            EXPECT_EQ(value, -5.0f);
        }
    }
}

TEST(FormFieldsTest, BoundsPrintWithSixSignificantDigits) {
    EXPECT_EQ(numberRangeError(0.5, 1234567).message,
              "Please enter a number between 0.5 and 1.23457e+06.");
    EXPECT_EQ(formatNumber(120.1f), "120.1");
    EXPECT_EQ(formatNumber(-0.01f), "-0.01");
}

TEST(FormFieldsTest, TextFieldRefusesMoreThanItsLength) {
    std::string value = "old";
    EXPECT_FALSE(takeText("P1", 4, value).has_value());
    EXPECT_EQ(value, "P1");
    const auto error = takeText("ABCDE", 4, value);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->message, "Please enter no more than 4 characters.");
    EXPECT_EQ(value, "P1");
}

} // namespace
} // namespace tarvo
