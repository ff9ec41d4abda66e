#pragma once

#include <memory>

#include "config/config_commands.h"
#include "config/config_dialog.h"

class QWidget;

namespace tarvo {

class BranchPanelConfigDialog;
class BreakerAlarmDelayDialog;
class BreakerAlarmSetupDialog;
class CircuitAlarmSetupDialog;
class CircuitPanelConfigDialog;
struct Selection;

/// The five configuration forms, one object of each for the whole run, so
/// what a form keeps between openings survives. Opens them for the selected
/// device on behalf of ConfigCommands.
class ConfigDialogs : public ConfigFormOpener {
public:
    ConfigDialogs(const ConfigDialogContext& context, const Selection& selection, QWidget* parent);
    ~ConfigDialogs() override;

    void openForm(ConfigFormKind form) override;

    /// The form object of a kind (created on first use).
    ConfigDialog& dialog(ConfigFormKind form);

private:
    ConfigDialogContext m_context;
    const Selection& m_selection;
    QWidget* m_parent;
    std::unique_ptr<BreakerAlarmSetupDialog> m_breakerAlarmSetup;
    std::unique_ptr<BreakerAlarmDelayDialog> m_breakerAlarmDelay;
    std::unique_ptr<CircuitAlarmSetupDialog> m_circuitAlarmSetup;
    std::unique_ptr<BranchPanelConfigDialog> m_branchPanelConfig;
    std::unique_ptr<CircuitPanelConfigDialog> m_circuitPanelConfig;
};

} // namespace tarvo
