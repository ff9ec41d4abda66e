#pragma once

#include <memory>

#include "config/breaker_forms.h"
#include "config/config_dialog.h"

namespace Ui {
class BreakerAlarmSetupDialog;
}

namespace tarvo {

/// "Alarm Setup" of a branch monitor: per-breaker alarm and warning levels,
/// written on OK when changed, and the global limits and holdoff delays,
/// written at once by their SET buttons.
class BreakerAlarmSetupDialog : public ConfigDialog {
    Q_OBJECT

public:
    BreakerAlarmSetupDialog(ConfigDialogContext& context, QWidget* parent = nullptr);
    ~BreakerAlarmSetupDialog() override;

    void load(int address, DeviceKind kind) override;
    const BreakerSetpointForm& form() const { return m_values; }

protected:
    void writeOnOk() override;

private:
    void set(BreakerSetpointForm::Global which);

    BreakerSetpointForm m_values;
    std::unique_ptr<Ui::BreakerAlarmSetupDialog> m_ui;
};

} // namespace tarvo
