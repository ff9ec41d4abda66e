#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "config/form_fields.h"

namespace tarvo {

/// One edit field of a form: where its value lives and what it accepts.
struct FieldBinding {
    enum Kind { Integer, Number, Text };
    Kind kind = Integer;
    std::int32_t* integer = nullptr;
    float* number = nullptr;
    std::string* text = nullptr;
    double min = 0;
    double max = 0;
    std::size_t maxLength = 0;

    static FieldBinding integerField(std::int32_t& value, std::int32_t min, std::int32_t max) {
        return {
            Integer, &value, nullptr, nullptr, static_cast<double>(min), static_cast<double>(max),
            0};
    }
    static FieldBinding numberField(float& value, double min, double max) {
        return {Number, nullptr, &value, nullptr, min, max, 0};
    }
    static FieldBinding textField(std::string& value, std::size_t maxLength) {
        return {Text, nullptr, nullptr, &value, 0, 0, maxLength};
    }
};

/// The value side of a configuration form: its fields in validation order,
/// the texts it shows and `takeForm`, which copies texts back into values.
///
/// Forms are kept for the whole run, so values the device does not supply
/// (the breaker form's global fields) keep what the operator last entered.
class ConfigForm {
public:
    virtual ~ConfigForm() = default;

    /// The texts of every field in validation order, integers in plain
    /// decimal, numbers by "%.*g" at precision 6. Remembered as shown.
    std::vector<std::string> showValues();

    /// Copies `texts` (validation order) into the values. Stops at the first
    /// field that fails; the fields before it keep their new values. A number
    /// field whose text is still exactly what the form showed keeps its
    /// stored value instead of being re-parsed, so a field the operator did
    /// not touch always compares equal to what was read.
    std::optional<TakeFailure> takeForm(std::span<const std::string> texts);

    /// Copies every field that is valid and skips the rest, without any
    /// message: what the operator typed is kept when the form is closed
    /// without a final check.
    void takeValidFields(std::span<const std::string> texts);

    int fieldCount() { return static_cast<int>(bindings().size()); }

protected:
    virtual std::vector<FieldBinding> bindings() = 0;

private:
    std::optional<FieldError> takeField(const FieldBinding& field, const std::string& text,
                                        const std::string* shown);

    std::vector<std::string> m_shown;
};

} // namespace tarvo
