#include "config/config_dialogs.h"

#include "config/branch_panel_config_dialog.h"
#include "config/breaker_alarm_delay_dialog.h"
#include "config/breaker_alarm_setup_dialog.h"
#include "config/circuit_alarm_setup_dialog.h"
#include "config/circuit_panel_config_dialog.h"
#include "session/app_state.h"

namespace tarvo {
namespace {

template <typename Dialog>
ConfigDialog& persistent(std::unique_ptr<Dialog>& slot, ConfigDialogContext& context,
                         QWidget* parent) {
    if (!slot)
        slot = std::make_unique<Dialog>(context, parent);
    return *slot;
}

} // namespace

ConfigDialogs::ConfigDialogs(const ConfigDialogContext& context, const Selection& selection,
                             QWidget* parent)
    : m_context(context), m_selection(selection), m_parent(parent) {}

ConfigDialogs::~ConfigDialogs() = default;

ConfigDialog& ConfigDialogs::dialog(ConfigFormKind form) {
    switch (form) {
    case ConfigFormKind::BreakerAlarmSetup:
        return persistent(m_breakerAlarmSetup, m_context, m_parent);
    case ConfigFormKind::BreakerAlarmDelay:
        return persistent(m_breakerAlarmDelay, m_context, m_parent);
    case ConfigFormKind::CircuitAlarmSetup:
        return persistent(m_circuitAlarmSetup, m_context, m_parent);
    case ConfigFormKind::BranchPanelConfig:
        return persistent(m_branchPanelConfig, m_context, m_parent);
    case ConfigFormKind::CircuitPanelConfig:
        break;
    }
    return persistent(m_circuitPanelConfig, m_context, m_parent);
}

void ConfigDialogs::openForm(ConfigFormKind form) {
    dialog(form).run(m_selection.selectedAddress, m_selection.selectedKind);
}

} // namespace tarvo
