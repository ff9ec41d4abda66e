#pragma once

#include <memory>

#include "config/breaker_forms.h"
#include "config/config_dialog.h"

namespace Ui {
class BreakerAlarmDelayDialog;
}

namespace tarvo {

/// "Alarm Delay Setup": per-breaker alarm and warning delays, read at every
/// opening and written on OK when changed.
class BreakerAlarmDelayDialog : public ConfigDialog {
    Q_OBJECT

public:
    BreakerAlarmDelayDialog(ConfigDialogContext& context, QWidget* parent = nullptr);
    ~BreakerAlarmDelayDialog() override;

    void load(int address, DeviceKind kind) override;

protected:
    void writeOnOk() override;

private:
    BreakerDelayForm m_values;
    std::unique_ptr<Ui::BreakerAlarmDelayDialog> m_ui;
};

} // namespace tarvo
