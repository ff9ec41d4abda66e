#include "config/breaker_alarm_setup_dialog.h"

#include "core/operator.h"
#include "ui_breaker_alarm_setup_dialog.h"

namespace tarvo {

BreakerAlarmSetupDialog::BreakerAlarmSetupDialog(ConfigDialogContext& context, QWidget* parent)
    : ConfigDialog(context, m_values, parent),
      m_ui(std::make_unique<Ui::BreakerAlarmSetupDialog>()) {
    m_ui->setupUi(this);
    const BreakerFields breakers = buildBreakerGrid(m_ui->breakerGrid, "Alarm%", "alarmLevel",
                                                    "Warn%", "warningLevel", kRegisterFieldLength);
    std::vector<QLineEdit*> fields = breakers.first;
    fields.insert(fields.end(), breakers.second.begin(), breakers.second.end());
    fields.insert(fields.end(), {m_ui->globalWarningLimit, m_ui->globalAlarmLimit, m_ui->panelName,
                                 m_ui->globalAlarmHoldoff, m_ui->globalWarningHoldoff});
    setFields(std::move(fields));
    connectButtons(m_ui->okButton, m_ui->cancelButton, m_ui->helpButton);
    nameBreakerFields(breakers.first, QStringLiteral("alarm level"));
    nameBreakerFields(breakers.second, QStringLiteral("warning level"));
    using Global = BreakerSetpointForm::Global;
    connect(m_ui->setGlobalWarningLimit, &QPushButton::clicked, this,
            [this] { set(Global::WarningLimit); });
    connect(m_ui->setGlobalAlarmLimit, &QPushButton::clicked, this,
            [this] { set(Global::AlarmLimit); });
    connect(m_ui->setGlobalWarningHoldoff, &QPushButton::clicked, this,
            [this] { set(Global::WarningHoldoff); });
    connect(m_ui->setGlobalAlarmHoldoff, &QPushButton::clicked, this,
            [this] { set(Global::AlarmHoldoff); });
}

BreakerAlarmSetupDialog::~BreakerAlarmSetupDialog() = default;

void BreakerAlarmSetupDialog::load(int address, DeviceKind kind) {
    beginOpening(address, kind);
    onBus(
        [this] {
            ConfigRegisters regs = registers();
            m_values.open(regs, m_context.panelName);
        },
        [this] { showValues(); });
}

void BreakerAlarmSetupDialog::set(BreakerSetpointForm::Global which) {
    // The value written is what the field shows; a bad field writes nothing.
    if (!takeForm())
        return;
    onBus(
        [this, which] {
            ConfigRegisters regs = registers();
            m_values.set(regs, which);
        },
        [this] { showValues(); });
}

void BreakerAlarmSetupDialog::writeOnOk() {
    onBus(
        [this] {
            ConfigRegisters regs = registers();
            m_values.writeChanged(regs, busOp());
        },
        [this] { accept(); });
}

} // namespace tarvo
