#pragma once

#include <memory>

#include "config/breaker_forms.h"
#include "config/config_dialog.h"

namespace Ui {
class BranchPanelConfigDialog;
}

namespace tarvo {

/// "Panel Configuration" of a branch monitor: breaker ratings (written on
/// OK when changed), the global rating and the panel name (SET buttons),
/// firmware, serial number and the allowed rating range.
class BranchPanelConfigDialog : public ConfigDialog {
    Q_OBJECT

public:
    BranchPanelConfigDialog(ConfigDialogContext& context, QWidget* parent = nullptr);
    ~BranchPanelConfigDialog() override;

    void load(int address, DeviceKind kind) override;

protected:
    void writeOnOk() override;

private:
    void showAll();

    BranchPanelForm m_values;
    std::unique_ptr<Ui::BranchPanelConfigDialog> m_ui;
};

} // namespace tarvo
