#include "config/circuit_forms.h"

#include <cmath>

#include "config/breaker_forms.h"
#include "core/operator.h"

namespace tarvo {
namespace {

constexpr std::int32_t kPhaseLossBits = 0x1C0;

// Mask bit of each "Critical" box, in the order of CircuitAlarmForm::Critical.
constexpr std::array<std::int32_t, CircuitAlarmForm::kCriticalBoxes> kCriticalBits = {
    0x01, 0x02, 0x04, 0x08, 0x10, 0x20, kPhaseLossBits};

constexpr float kVoltageFactor = 0.01f;

bool scaledByCurrent(int limit) {
    return limit >= CircuitAlarmForm::CurrentOver;
}

// The register value for a limit, or nothing when there is none (scale 0).
// A result outside 0 to 65535 is kept: the master refuses it without sending.
std::optional<std::int64_t> registerFromLimit(int limit, float value, float currentScale) {
    double product = 0;
    if (scaledByCurrent(limit)) {
        if (currentScale == 0.0f)
            return std::nullopt;
        product = static_cast<double>(value) / static_cast<double>(currentScale);
    } else {
        product = static_cast<double>(value) * 100.0;
    }
    // Anything this large is out of the register range; clamping first keeps
    // the conversion to an integer defined.
    if (!std::isfinite(product) || std::fabs(product) > 1e15)
        return -1;
    return static_cast<std::int64_t>(std::trunc(product));
}

} // namespace

// ---- CircuitAlarmForm

float CircuitAlarmForm::limitFromRegister(Limit limit, std::int32_t reg, float currentScale) {
    const float factor = scaledByCurrent(limit) ? currentScale : kVoltageFactor;
    return static_cast<float>(static_cast<double>(reg) * static_cast<double>(factor));
}

void CircuitAlarmForm::open(ConfigRegisters& regs, const std::string& sharedPanelName,
                            const std::string& sharedBoardName, float currentScale) {
    panelName = sharedPanelName;
    boardName = sharedBoardName;
    std::vector<std::int32_t> block = regs.readAlarmLimits();
    // Registers 30 to 37; an identified branch monitor never opens this form.
    block.resize(ConfigRegisters::kLimitsCount, -1);
    for (int i = 0; i < kLimits; ++i) {
        limits[static_cast<std::size_t>(i)] = limitFromRegister(
            static_cast<Limit>(i), block[static_cast<std::size_t>(i)], currentScale);
    }
    lastLimits = limits;
    phaseLossThreshold =
        block[ConfigRegisters::kPhaseLossThreshold - ConfigRegisters::kLimitsFirst];
    lastPhaseLossThreshold = static_cast<float>(phaseLossThreshold);
    (void)regs.readCriticalMask(lastCriticalMask);
    setCriticalBoxes(lastCriticalMask);
}

std::vector<RegisterWrite> CircuitAlarmForm::changedWrites(float currentScale) const {
    std::vector<RegisterWrite> writes;
    for (int i = 0; i < kLimits; ++i) {
        const auto index = static_cast<std::size_t>(i);
        if (limits[index] == lastLimits[index])
            continue;
        if (auto value = registerFromLimit(i, limits[index], currentScale))
            writes.push_back({ConfigRegisters::kLimitsFirst + i, *value});
    }
    if (static_cast<float>(phaseLossThreshold) != lastPhaseLossThreshold)
        writes.push_back({ConfigRegisters::kPhaseLossThreshold, phaseLossThreshold});
    const std::int32_t mask = criticalMask();
    if (mask != lastCriticalMask)
        writes.push_back({ConfigRegisters::kCriticalMask, mask});
    return writes;
}

void CircuitAlarmForm::writeChanged(ConfigRegisters& regs, Operator& op, float currentScale) {
    BusyCursor busy(op);
    regs.writeAll(changedWrites(currentScale));
}

std::int32_t CircuitAlarmForm::criticalMask() const {
    std::int32_t mask = 0;
    for (std::size_t i = 0; i < critical.size(); ++i) {
        if (critical[i])
            mask |= kCriticalBits[i];
    }
    return mask;
}

void CircuitAlarmForm::setCriticalBoxes(std::int32_t mask) {
    for (std::size_t i = 0; i < critical.size(); ++i)
        critical[i] = (mask & kCriticalBits[i]) != 0;
}

std::vector<FieldBinding> CircuitAlarmForm::bindings() {
    return {
        FieldBinding::textField(panelName, 4),
        FieldBinding::textField(boardName, 4),
        FieldBinding::numberField(limits[CurrentOver], 0, kLimitMaximum),
        FieldBinding::numberField(limits[CurrentUnder], 0, kLimitMaximum),
        FieldBinding::numberField(limits[VoltageOver], 0, kLimitMaximum),
        FieldBinding::numberField(limits[VoltageUnder], 0, kLimitMaximum),
        FieldBinding::numberField(limits[KvaOver], 0, kLimitMaximum),
        FieldBinding::numberField(limits[KvaUnder], 0, kLimitMaximum),
        FieldBinding::integerField(phaseLossThreshold, 0, kLimitMaximum),
    };
}

// ---- CircuitPanelForm

void CircuitPanelForm::takeNames(const std::string& sharedPanelName,
                                 const std::string& sharedBoardName) {
    headerPanelName = sharedPanelName;
    panelNameEdit = sharedPanelName;
    headerBoardName = sharedBoardName;
    boardNameEdit = sharedBoardName;
}

void CircuitPanelForm::readNames(ConfigRegisters& regs, std::string& sharedPanelName,
                                 std::string& sharedBoardName) {
    regs.readCircuitNames(sharedPanelName, sharedBoardName);
    takeNames(sharedPanelName, sharedBoardName);
}

void CircuitPanelForm::open(ConfigRegisters& regs, Operator& op, std::string& sharedPanelName,
                            std::string& sharedBoardName, DeviceKind selectedKind) {
    BusyCursor busy(op);
    kind = selectedKind;
    takeNames(sharedPanelName, sharedBoardName);
    firmwareLine = tarvo::firmwareLine(regs.readFirmwareVersion());
    serialLine = serialNumberLine(regs.readSerialNumber());
    refresh(regs, op, sharedPanelName, sharedBoardName);
}

void CircuitPanelForm::refresh(ConfigRegisters& regs, Operator& op, std::string& sharedPanelName,
                               std::string& sharedBoardName) {
    BusyCursor busy(op);
    readNames(regs, sharedPanelName, sharedBoardName);
    std::int32_t reg = 0;
    ctSize = regs.readRegister(ConfigRegisters::kCtSize, reg) ? static_cast<std::int16_t>(reg) : -1;
    if (regs.readRegister(ConfigRegisters::kMeterEnable, reg)) {
        setBoxes(reg);
    } else {
        boxes.fill(Box::Indeterminate);
        boxes[0] = Box::Checked;
        editingAllowed = false;
    }
}

void CircuitPanelForm::setBoxes(std::int32_t reg) {
    boxes[0] = Box::Checked;
    for (int meter = 2; meter <= 6; ++meter)
        boxes[static_cast<std::size_t>(meter - 1)] =
            (reg & (1 << (meter - 1))) != 0 ? Box::Checked : Box::Unchecked;
    for (int meter = 7; meter <= 8; ++meter) {
        Box& box = boxes[static_cast<std::size_t>(meter - 1)];
        if (kind == CircuitMeter8)
            box = (reg & (1 << (meter - 1))) != 0 ? Box::Checked : Box::Unchecked;
        else
            box = Box::Indeterminate;
    }
    editingAllowed = (reg & kEditLock) == 0;
}

void CircuitPanelForm::clickBox(int meter) {
    if (meter < 1 || meter > kMeters)
        return;
    Box& box = boxes[static_cast<std::size_t>(meter - 1)];
    const auto toggle = [&box] { box = box == Box::Checked ? Box::Unchecked : Box::Checked; };
    if (meter == 1) {
        box = Box::Checked;
    } else if (meter <= 6) {
        if (editingAllowed)
            toggle();
    } else if (kind == CircuitMeter6) {
        box = Box::Indeterminate;
    } else {
        toggle();
    }
}

std::int32_t CircuitPanelForm::meterEnableValue() const {
    std::int32_t value = 1;
    const int last = kind == CircuitMeter8 ? 8 : 6;
    for (int meter = 2; meter <= last; ++meter) {
        if (boxes[static_cast<std::size_t>(meter - 1)] != Box::Unchecked)
            value |= 1 << (meter - 1);
    }
    return value;
}

void CircuitPanelForm::setBoardName(ConfigRegisters& regs, Operator& op,
                                    std::string& sharedPanelName, std::string& sharedBoardName) {
    BusyCursor busy(op);
    regs.writeName(ConfigRegisters::kCircuitBoardName, boardNameEdit);
    readNames(regs, sharedPanelName, sharedBoardName);
}

void CircuitPanelForm::setPanelName(ConfigRegisters& regs, Operator& op,
                                    std::string& sharedPanelName, std::string& sharedBoardName) {
    BusyCursor busy(op);
    regs.writeName(ConfigRegisters::kCircuitPanelName, panelNameEdit);
    readNames(regs, sharedPanelName, sharedBoardName);
}

void CircuitPanelForm::setCtSize(ConfigRegisters& regs) {
    regs.writeRegister(ConfigRegisters::kCtSize, ctSize);
}

void CircuitPanelForm::setMeterEnable(ConfigRegisters& regs, Operator& op,
                                      std::string& sharedPanelName, std::string& sharedBoardName) {
    {
        BusyCursor busy(op);
        regs.writeRegister(ConfigRegisters::kMeterEnable, meterEnableValue());
        refresh(regs, op, sharedPanelName, sharedBoardName);
    }
    op.showMessage(kNetworkDisplayMessage);
}

std::vector<FieldBinding> CircuitPanelForm::bindings() {
    return {
        FieldBinding::textField(headerPanelName, 4),
        FieldBinding::textField(panelNameEdit, 4),
        FieldBinding::textField(headerBoardName, 4),
        FieldBinding::textField(boardNameEdit, 4),
        FieldBinding::integerField(ctSize, kCtSizeMinimum, kCtSizeMaximum),
    };
}

} // namespace tarvo
