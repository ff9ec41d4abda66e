#include "config/form_fields.h"

#include <charconv>
#include <cmath>

namespace tarvo {
namespace {

std::string_view trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string withBounds(std::string_view pattern, const std::string& min, const std::string& max) {
    std::string text(pattern);
    text.replace(text.find("%1"), 2, min);
    text.replace(text.find("%2"), 2, max);
    return text;
}

// from_chars takes a minus sign but no plus sign; operators type both.
std::string_view withoutPlus(std::string_view text) {
    if (!text.empty() && text.front() == '+' && text.size() > 1 && text[1] != '-' && text[1] != '+')
        text.remove_prefix(1);
    return text;
}

} // namespace

std::string formatNumber(double value) {
    // "%.*g" at precision 6, with "." in every locale as the fields read it
    // back: to_chars does not look at the locale.
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 6);
    return std::string(buffer, result.ptr);
}

FieldError numberRangeError(double min, double max) {
    return {withBounds("Please enter a number between %1 and %2.", formatNumber(min),
                       formatNumber(max)),
            true};
}

std::string formatInteger(std::int64_t value) {
    return std::to_string(value);
}

std::optional<FieldError> takeInteger(std::string_view text, std::int32_t min, std::int32_t max,
                                      std::int32_t& value) {
    const std::string_view digits = withoutPlus(trimmed(text));
    std::int64_t parsed = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), parsed);
    const bool whole = end == digits.data() + digits.size() && !digits.empty();
    if (!whole || (ec != std::errc() && ec != std::errc::result_out_of_range))
        return FieldError{"Please enter an integer.", false};
    // A number too long for 64 bits is an integer all the same, just out of range.
    if (ec == std::errc::result_out_of_range || parsed < min || parsed > max)
        return FieldError{withBounds("Please enter an integer between %1 and %2.",
                                     formatInteger(min), formatInteger(max)),
                          true};
    value = static_cast<std::int32_t>(parsed);
    return std::nullopt;
}

std::optional<FieldError> takeNumber(std::string_view text, double min, double max, float& value) {
    const std::string_view number = withoutPlus(trimmed(text));
    double parsed = 0;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), parsed,
                                           std::chars_format::general);
    const bool whole = end == number.data() + number.size() && !number.empty();
    if (!whole || (ec != std::errc() && ec != std::errc::result_out_of_range) ||
        !std::isfinite(parsed))
        return FieldError{"Please enter a number.", false};
    const auto stored = static_cast<float>(parsed);
    if (ec == std::errc::result_out_of_range || !std::isfinite(stored) || stored < min ||
        stored > max)
        return numberRangeError(min, max);
    value = stored;
    return std::nullopt;
}

std::optional<FieldError> takeText(std::string_view text, std::size_t maxLength,
                                   std::string& value) {
    if (text.size() > maxLength) {
        std::string message = "Please enter no more than %1 characters.";
        message.replace(message.find("%1"), 2, std::to_string(maxLength));
        return FieldError{std::move(message), true};
    }
    value = std::string(text);
    return std::nullopt;
}

} // namespace tarvo
