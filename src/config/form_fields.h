#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvo {

/// Why a field's text could not be taken into the form's value, as the
/// operator is told.
struct FieldError {
    std::string message;
    bool exclamation = false; ///< the range and length messages carry the exclamation icon
    bool operator==(const FieldError&) const = default;
};

/// The first field (in the form's validation order) that failed.
struct TakeFailure {
    int field = 0;
    FieldError error;
};

/// "%.*g" at precision 6, the way limits and range bounds are printed.
std::string formatNumber(double value);

/// An integer field: optional blanks, an optional sign and decimal digits.
/// On success `value` is set; on failure it is left as it was.
std::optional<FieldError> takeInteger(std::string_view text, std::int32_t min, std::int32_t max,
                                      std::int32_t& value);

/// A floating-point field: any decimal number, stored as single precision and
/// range-checked as stored. Infinity and NaN are not numbers here: they would
/// slip through the range test and reach the register conversions.
std::optional<FieldError> takeNumber(std::string_view text, double min, double max, float& value);

/// A text field of at most `maxLength` characters (one byte each).
std::optional<FieldError> takeText(std::string_view text, std::size_t maxLength,
                                   std::string& value);

/// "Please enter a number between %1 and %2." with its bounds.
FieldError numberRangeError(double min, double max);

/// Integer in plain decimal, as fields show it.
std::string formatInteger(std::int64_t value);

} // namespace tarvo
