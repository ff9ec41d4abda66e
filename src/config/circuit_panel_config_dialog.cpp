#include "config/circuit_panel_config_dialog.h"

#include "core/operator.h"
#include "ui_circuit_panel_config_dialog.h"

namespace tarvo {

CircuitPanelConfigDialog::CircuitPanelConfigDialog(ConfigDialogContext& context, QWidget* parent)
    : ConfigDialog(context, m_values, parent),
      m_ui(std::make_unique<Ui::CircuitPanelConfigDialog>()) {
    m_ui->setupUi(this);
    setFields({m_ui->headerPanelName, m_ui->panelNameEdit, m_ui->headerBoardName,
               m_ui->boardNameEdit, m_ui->ctSize});
    m_meters = {m_ui->meter1, m_ui->meter2, m_ui->meter3, m_ui->meter4,
                m_ui->meter5, m_ui->meter6, m_ui->meter7, m_ui->meter8};
    for (int meter = 1; meter <= CircuitPanelForm::kMeters; ++meter) {
        // The box has already moved to its next state by itself; the form
        // decides what it really becomes.
        connect(m_meters[static_cast<std::size_t>(meter - 1)], &QCheckBox::clicked, this,
                [this, meter] {
                    m_values.clickBox(meter);
                    showBoxes();
                });
    }
    connectButtons(m_ui->okButton, m_ui->cancelButton, m_ui->helpButton);
    connect(m_ui->setBoardName, &QPushButton::clicked, this, [this] {
        if (!takeForm())
            return;
        onBus(
            [this] {
                ConfigRegisters regs = registers();
                m_values.setBoardName(regs, busOp(), m_context.panelName, m_context.boardName);
            },
            [this] { showAll(); });
    });
    connect(m_ui->setPanelName, &QPushButton::clicked, this, [this] {
        if (!takeForm())
            return;
        onBus(
            [this] {
                ConfigRegisters regs = registers();
                m_values.setPanelName(regs, busOp(), m_context.panelName, m_context.boardName);
            },
            [this] { showAll(); });
    });
    connect(m_ui->setCtSize, &QPushButton::clicked, this, [this] {
        if (!takeForm())
            return;
        onBus(
            [this] {
                ConfigRegisters regs = registers();
                m_values.setCtSize(regs);
            },
            [this] { showAll(); });
    });
    connect(m_ui->setMeterEnable, &QPushButton::clicked, this, [this] {
        onBus(
            [this] {
                ConfigRegisters regs = registers();
                m_values.setMeterEnable(regs, busOp(), m_context.panelName, m_context.boardName);
            },
            [this] { showAll(); });
    });
}

CircuitPanelConfigDialog::~CircuitPanelConfigDialog() = default;

void CircuitPanelConfigDialog::load(int address, DeviceKind kind) {
    beginOpening(address, kind);
    onBus(
        [this, kind] {
            ConfigRegisters regs = registers();
            m_values.open(regs, busOp(), m_context.panelName, m_context.boardName, kind);
        },
        [this] { showAll(); });
}

void CircuitPanelConfigDialog::showAll() {
    showValues();
    m_ui->firmwareLine->setText(toText(m_values.firmwareLine));
    m_ui->serialLine->setText(toText(m_values.serialLine));
    showBoxes();
}

// Only the boxes: a click must not overwrite text typed into a field.
void CircuitPanelConfigDialog::showBoxes() {
    for (std::size_t i = 0; i < m_meters.size(); ++i) {
        switch (m_values.boxes[i]) {
        case CircuitPanelForm::Box::Unchecked:
            m_meters[i]->setCheckState(Qt::Unchecked);
            break;
        case CircuitPanelForm::Box::Checked:
            m_meters[i]->setCheckState(Qt::Checked);
            break;
        case CircuitPanelForm::Box::Indeterminate:
            m_meters[i]->setCheckState(Qt::PartiallyChecked);
            break;
        }
    }
    m_ui->setMeterEnable->setVisible(m_values.editingAllowed);
    m_ui->setBoardName->setVisible(m_values.editingAllowed);
    m_ui->boardNameEdit->setEnabled(m_values.editingAllowed);
}

} // namespace tarvo
