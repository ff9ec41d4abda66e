#pragma once

#include <array>
#include <memory>

#include "config/circuit_forms.h"
#include "config/config_dialog.h"

class QCheckBox;

namespace Ui {
class CircuitAlarmSetupDialog;
}

namespace tarvo {

/// "Alarm Setup" of a circuit meter: under and over limits of voltage,
/// current and KVA, the phase loss threshold and which are critical,
/// written on OK when changed.
class CircuitAlarmSetupDialog : public ConfigDialog {
    Q_OBJECT

public:
    CircuitAlarmSetupDialog(ConfigDialogContext& context, QWidget* parent = nullptr);
    ~CircuitAlarmSetupDialog() override;

    void load(int address, DeviceKind kind) override;

protected:
    void writeOnOk() override;

private:
    void showAll();

    CircuitAlarmForm m_values;
    std::unique_ptr<Ui::CircuitAlarmSetupDialog> m_ui;
    std::array<QCheckBox*, CircuitAlarmForm::kCriticalBoxes> m_critical{};
};

} // namespace tarvo
