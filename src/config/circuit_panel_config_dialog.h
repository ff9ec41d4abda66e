#pragma once

#include <array>
#include <memory>

#include "config/circuit_forms.h"
#include "config/config_dialog.h"

class QCheckBox;

namespace Ui {
class CircuitPanelConfigDialog;
}

namespace tarvo {

/// "Panel Configuration" of a circuit meter: board and panel names, CT size
/// and the meter enables, each written by its own SET button; OK writes
/// nothing.
class CircuitPanelConfigDialog : public ConfigDialog {
    Q_OBJECT

public:
    CircuitPanelConfigDialog(ConfigDialogContext& context, QWidget* parent = nullptr);
    ~CircuitPanelConfigDialog() override;

    void load(int address, DeviceKind kind) override;

private:
    void showAll();
    void showBoxes();

    CircuitPanelForm m_values;
    std::unique_ptr<Ui::CircuitPanelConfigDialog> m_ui;
    std::array<QCheckBox*, CircuitPanelForm::kMeters> m_meters{};
};

} // namespace tarvo
