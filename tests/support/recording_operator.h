#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/operator.h"

namespace tarvo::test {

/// Records what the logic shows the operator.
class RecordingOperator : public Operator {
public:
    struct Message {
        std::string text;
        std::string title;
        bool exclamation = false;
        bool operator==(const Message&) const = default;
    };

    void showMessage(std::string_view text, std::string_view title = {}) override {
        messages.push_back({std::string(text), std::string(title)});
        if (onMessage)
            onMessage(messages.back());
    }
    void showWarning(std::string_view text, std::string_view title = {}) override {
        messages.push_back({std::string(text), std::string(title), true});
        if (onMessage)
            onMessage(messages.back());
    }
    void beginBusy() override {
        ++busyDepth;
        ++busyCount;
    }
    void endBusy() override { --busyDepth; }

    std::vector<Message> messages;
    int busyDepth = 0; ///< 0 when every wait cursor was restored
    int busyCount = 0;
    /// Runs while a message box would be open (a test can act as the timer).
    std::function<void(const Message&)> onMessage;
};

} // namespace tarvo::test
