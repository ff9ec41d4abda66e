#include "config/branch_panel_config_dialog.h"

#include "core/operator.h"
#include "ui_branch_panel_config_dialog.h"

namespace tarvo {

BranchPanelConfigDialog::BranchPanelConfigDialog(ConfigDialogContext& context, QWidget* parent)
    : ConfigDialog(context, m_values, parent),
      m_ui(std::make_unique<Ui::BranchPanelConfigDialog>()) {
    m_ui->setupUi(this);
    const BreakerFields breakers =
        buildBreakerGrid(m_ui->breakerGrid, {}, "rating", {}, {}, kRegisterFieldLength);
    std::vector<QLineEdit*> fields = breakers.first;
    fields.insert(fields.end(), {m_ui->globalRating, m_ui->headerPanelName, m_ui->panelNameEdit,
                                 m_ui->maxLine, m_ui->minLine});
    setFields(std::move(fields));
    connectButtons(m_ui->okButton, m_ui->cancelButton, m_ui->helpButton);
    nameBreakerFields(breakers.first, QStringLiteral("rating"));
    connect(m_ui->setGlobalRating, &QPushButton::clicked, this, [this] {
        if (!takeForm())
            return;
        onBus(
            [this] {
                ConfigRegisters regs = registers();
                m_values.setGlobalRating(regs);
            },
            [this] { showAll(); });
    });
    connect(m_ui->setPanelName, &QPushButton::clicked, this, [this] {
        if (!takeForm())
            return;
        onBus(
            [this] {
                ConfigRegisters regs = registers();
                m_values.setPanelName(regs, m_context.panelName);
            },
            [this] { showAll(); });
    });
}

BranchPanelConfigDialog::~BranchPanelConfigDialog() = default;

void BranchPanelConfigDialog::load(int address, DeviceKind kind) {
    beginOpening(address, kind);
    onBus(
        [this, kind] {
            ConfigRegisters regs = registers();
            m_values.open(regs, m_context.panelName, kind);
        },
        [this] { showAll(); });
}

void BranchPanelConfigDialog::showAll() {
    showValues();
    m_ui->firmwareLine->setText(toText(m_values.firmwareLine));
    m_ui->serialLine->setText(toText(m_values.serialLine));
}

void BranchPanelConfigDialog::writeOnOk() {
    onBus(
        [this] {
            ConfigRegisters regs = registers();
            m_values.writeChanged(regs, busOp());
        },
        [this] { accept(); });
}

} // namespace tarvo
