#pragma once

#include <QDialog>
#include <QPointer>
#include <array>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "trends/trend_view.h"

class QComboBox;
class QListWidget;
class QPushButton;
class QLabel;

namespace tarvo {

class TrendBuffer;
class TrendStore;

/// Alarm levels of a device in the units of its curves; NaN where the
/// device gave none (a failed read, or a level of 0).
struct DeviceLevels {
    std::array<double, 42> breakerWarning; ///< amperes: rating × warning % / 100
    std::array<double, 42> breakerAlarm;   ///< amperes: rating × alarm % / 100
    double ampsOver, ampsUnder, voltsOver, voltsUnder, kvaOver, kvaUnder;
    static DeviceLevels none();
};

/// "Trends": curves of a polled device from the trend store. Modeless;
/// deletes itself when closed. A branch monitor shows the breakers the
/// operator ticks (at first the five with the highest current) with their
/// warning and alarm levels; a circuit meter one group of values at a time
/// with its unit. The curves follow the poll once a second on a timer of
/// their own, never inside the poll tick.
class TrendWindow : public QDialog {
    Q_OBJECT

public:
    /// What the window calls with the levels once they are read.
    using GiveLevels = std::function<void(const DeviceLevels&)>;
    /// `readLevels` is asked once per device shown while the window is open;
    /// it returns at once and calls `give` when the device has answered
    /// (the window draws no level lines until then).
    TrendWindow(const TrendStore& store,
                std::function<void(int address, int kind, GiveLevels give)> readLevels,
                std::function<QString(int address)> deviceName, int preferredAddress,
                QWidget* parent = nullptr);

    TrendView& view() { return *m_view; }
    /// Takes new points from the store (the window's own timer calls it).
    void refresh();
    /// Ticks exactly the given channels of the device shown.
    void setTicked(const std::vector<int>& channels);
    bool paused() const { return m_paused; }
    void setPaused(bool paused);

private:
    void fillDevices(int preferredAddress);
    void showDevice();
    void fillChannels();
    void redraw();

    const TrendStore& m_store;
    std::function<void(int, int, GiveLevels)> m_readLevels;
    std::function<QString(int)> m_deviceName;
    std::map<int, DeviceLevels> m_levels;
    std::unique_ptr<TrendSource> m_source;
    const TrendBuffer* m_buffer = nullptr;
    int m_kind = 0;
    bool m_paused = false;

    QComboBox* m_device;
    QComboBox* m_group;
    QListWidget* m_channels;
    TrendView* m_view;
    QPushButton* m_pause;
    QLabel* m_status;
};

} // namespace tarvo
