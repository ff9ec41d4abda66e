#include "config/circuit_alarm_setup_dialog.h"

#include <memory>

#include "core/operator.h"
#include "ui_circuit_alarm_setup_dialog.h"

namespace tarvo {

CircuitAlarmSetupDialog::CircuitAlarmSetupDialog(ConfigDialogContext& context, QWidget* parent)
    : ConfigDialog(context, m_values, parent),
      m_ui(std::make_unique<Ui::CircuitAlarmSetupDialog>()) {
    m_ui->setupUi(this);
    setFields({m_ui->panelName, m_ui->boardName, m_ui->currentOver, m_ui->currentUnder,
               m_ui->voltageOver, m_ui->voltageUnder, m_ui->kvaOver, m_ui->kvaUnder,
               m_ui->phaseLossThreshold});
    m_critical = {m_ui->currentOverCritical, m_ui->currentUnderCritical, m_ui->kvaOverCritical,
                  m_ui->kvaUnderCritical,    m_ui->voltageOverCritical,  m_ui->voltageUnderCritical,
                  m_ui->phaseLossCritical};
    for (QCheckBox* box : m_critical)
        connect(box, &QCheckBox::clicked, this, [this] { takeForm(); });
    connectButtons(m_ui->okButton, m_ui->cancelButton, m_ui->helpButton);
}

CircuitAlarmSetupDialog::~CircuitAlarmSetupDialog() = default;

void CircuitAlarmSetupDialog::load(int address, DeviceKind kind) {
    beginOpening(address, kind);
    // The wait cursor of a form that reads without the bus thread.
    auto busy = std::make_shared<BusyCursor>(m_context.op);
    onBus(
        [this] {
            ConfigRegisters regs = registers();
            m_values.open(regs, m_context.panelName, m_context.boardName, m_context.currentScale);
        },
        [this, busy]() mutable {
            busy.reset();
            showAll();
        });
}

void CircuitAlarmSetupDialog::showAll() {
    showValues();
    for (std::size_t i = 0; i < m_critical.size(); ++i)
        m_critical[i]->setChecked(m_values.critical[i]);
}

void CircuitAlarmSetupDialog::writeOnOk() {
    for (std::size_t i = 0; i < m_critical.size(); ++i)
        m_values.critical[i] = m_critical[i]->isChecked();
    onBus(
        [this] {
            ConfigRegisters regs = registers();
            m_values.writeChanged(regs, busOp(), m_context.currentScale);
        },
        [this] { accept(); });
}

} // namespace tarvo
