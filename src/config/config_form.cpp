#include "config/config_form.h"

namespace tarvo {

std::vector<std::string> ConfigForm::showValues() {
    std::vector<std::string> texts;
    for (const FieldBinding& field : bindings()) {
        switch (field.kind) {
        case FieldBinding::Integer:
            texts.push_back(formatInteger(*field.integer));
            break;
        case FieldBinding::Number:
            texts.push_back(formatNumber(*field.number));
            break;
        case FieldBinding::Text:
            texts.push_back(*field.text);
            break;
        }
    }
    m_shown = texts;
    return texts;
}

std::optional<FieldError> ConfigForm::takeField(const FieldBinding& field, const std::string& text,
                                                const std::string* shown) {
    switch (field.kind) {
    case FieldBinding::Integer:
        return takeInteger(text, static_cast<std::int32_t>(field.min),
                           static_cast<std::int32_t>(field.max), *field.integer);
    case FieldBinding::Number:
        if (shown != nullptr && *shown == text) {
            // Untouched: the stored value still has to be in range (a failed
            // read leaves values below it), but it is not re-parsed.
            if (*field.number < field.min || *field.number > field.max)
                return numberRangeError(field.min, field.max);
            return std::nullopt;
        }
        return takeNumber(text, field.min, field.max, *field.number);
    case FieldBinding::Text:
        return takeText(text, field.maxLength, *field.text);
    }
    return std::nullopt;
}

std::optional<TakeFailure> ConfigForm::takeForm(std::span<const std::string> texts) {
    const std::vector<FieldBinding> fields = bindings();
    for (std::size_t i = 0; i < fields.size() && i < texts.size(); ++i) {
        const std::string* shown = i < m_shown.size() ? &m_shown[i] : nullptr;
        if (auto error = takeField(fields[i], texts[i], shown))
            return TakeFailure{static_cast<int>(i), std::move(*error)};
    }
    return std::nullopt;
}

void ConfigForm::takeValidFields(std::span<const std::string> texts) {
    const std::vector<FieldBinding> fields = bindings();
    for (std::size_t i = 0; i < fields.size() && i < texts.size(); ++i) {
        const std::string* shown = i < m_shown.size() ? &m_shown[i] : nullptr;
        (void)takeField(fields[i], texts[i], shown);
    }
}

} // namespace tarvo
