#include "config/breaker_alarm_delay_dialog.h"

#include "ui_breaker_alarm_delay_dialog.h"

namespace tarvo {

BreakerAlarmDelayDialog::BreakerAlarmDelayDialog(ConfigDialogContext& context, QWidget* parent)
    : ConfigDialog(context, m_values, parent),
      m_ui(std::make_unique<Ui::BreakerAlarmDelayDialog>()) {
    m_ui->setupUi(this);
    const BreakerFields breakers =
        buildBreakerGrid(m_ui->breakerGrid, "Alarm", "alarmDelay", "Warn", "warningDelay", 5);
    std::vector<QLineEdit*> fields = breakers.first;
    fields.insert(fields.end(), breakers.second.begin(), breakers.second.end());
    fields.push_back(m_ui->panelName);
    setFields(std::move(fields));
    connectButtons(m_ui->okButton, m_ui->cancelButton, m_ui->helpButton);
    nameBreakerFields(breakers.first, QStringLiteral("alarm delay"));
    nameBreakerFields(breakers.second, QStringLiteral("warning delay"));
}

BreakerAlarmDelayDialog::~BreakerAlarmDelayDialog() = default;

void BreakerAlarmDelayDialog::load(int address, DeviceKind kind) {
    beginOpening(address, kind);
    onBus(
        [this] {
            ConfigRegisters regs = registers();
            m_values.open(regs, m_context.panelName);
        },
        [this] { showValues(); });
}

void BreakerAlarmDelayDialog::writeOnOk() {
    onBus(
        [this] {
            ConfigRegisters regs = registers();
            m_values.writeChanged(regs, busOp());
        },
        [this] { accept(); });
}

} // namespace tarvo
