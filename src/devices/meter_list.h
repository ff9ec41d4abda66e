#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarvo {

/// The lines of the "Available Meters" list and its selected line; the list
/// widget shows exactly these.
///
/// Device lines are kept sorted by their text, as a sorted list control
/// keeps them: "100 - ..." comes before "11 - ...". While a scan runs, a
/// progress line stays pinned as line 0 above them. Sorting it with the
/// device lines would put it below "02 - ..." and the scan's "replace the
/// first line" and "remove the first line" would then overwrite or delete a
/// device instead.
///
/// The selection follows its line when lines are inserted or removed above
/// it, as a list control's does.
class MeterList {
public:
    /// Empties the list and clears the selection.
    void clear();

    /// Sets the pinned progress line, inserting it as line 0 if there is none.
    void setProgress(std::string_view text);
    /// Removes the progress line, if any.
    void removeProgress();
    bool hasProgress() const { return m_hasProgress; }

    /// Inserts a device line in text order and returns its index.
    int addDevice(std::string_view text);

    int count() const { return static_cast<int>(m_devices.size()) + offset(); }
    /// The text of line `index`; empty for an index outside the list.
    std::string_view text(int index) const;
    /// Every line, progress line first.
    std::vector<std::string> lines() const;

    /// The selected line, or -1 for none.
    int selectedIndex() const;
    /// Selects line `index`; -1 or an index outside the list selects nothing.
    void select(int index);
    /// The Modbus address a list line starts with: its leading decimal
    /// number, read as "%d" reads it (blanks and a sign allowed), when it is
    /// 1 to 247; -1 for a line without one or outside that range.
    static int lineAddress(std::string_view line);

    /// The selected line's text; empty when nothing is selected.
    std::string_view selectedText() const { return text(selectedIndex()); }

private:
    int offset() const { return m_hasProgress ? 1 : 0; }

    std::vector<std::string> m_devices; // sorted by text
    std::string m_progress;
    bool m_hasProgress = false;
    // The selected device line (index into m_devices), or one of these.
    static constexpr int kNone = -1;
    static constexpr int kProgress = -2;
    int m_selected = kNone;
};

} // namespace tarvo
