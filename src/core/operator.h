#pragma once

#include <string_view>

namespace tarvo {

/// The program's name, the caption of every message box whose title is not
/// given otherwise.
inline constexpr std::string_view kApplicationName = "Tarvo";

/// How core logic reaches the operator. The widgets implement it with
/// message boxes and the wait cursor; tests record the calls, so the logic
/// runs without a display.
class Operator {
public:
    virtual ~Operator() = default;

    /// Shows a message box with only an OK button. It may return before the
    /// operator has dismissed the box (a message raised by the timer tick
    /// does, so that the ticks go on); outside the tick it returns once the
    /// box is dismissed. An empty title means the program's own name.
    virtual void showMessage(std::string_view text, std::string_view title = {}) = 0;

    /// As showMessage, with the exclamation icon (the forms' range and length
    /// messages). Shows a plain message where no icon can be shown.
    virtual void showWarning(std::string_view text, std::string_view title = {}) {
        showMessage(text, title);
    }

    /// Shows the wait cursor; endBusy restores the previous one. Calls nest.
    virtual void beginBusy() = 0;
    virtual void endBusy() = 0;
};

/// The wait cursor for the lifetime of the object.
class BusyCursor {
public:
    explicit BusyCursor(Operator& op) : m_op(op) { m_op.beginBusy(); }
    ~BusyCursor() { m_op.endBusy(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;

private:
    Operator& m_op;
};

} // namespace tarvo
