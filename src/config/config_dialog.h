#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <QDialog>
#include <QString>

#include "config/config_registers.h"
#include "devices/device_kind.h"

class QGridLayout;
class QLineEdit;
class QPushButton;

namespace tarvo {

class ConfigForm;
class DeviceTable;
class ModbusMaster;
class Operator;
class Transport;

/// What a configuration form reaches: the bus (never owned), the operator,
/// the shared names of the selected device and the circuit-meter current
/// scale the last poll chose, and the help command.
struct ConfigDialogContext {
    ModbusMaster& master;
    Transport& port;
    const DeviceTable& devices;
    Operator& op;
    std::string& panelName;
    std::string& boardName;
    const float& currentScale;
    /// The application's help command with the form's topic.
    std::function<void(const QString& topic)> showHelp;
    /// Runs `work` (the form's reads and writes) where the line is owned,
    /// and `then` back on the form's thread once it is done. Empty: both at
    /// once, in turn.
    std::function<void(std::function<void()> work, std::function<void()> then)> onBus = {};
    /// The operator of the reads and writes run by `onBus`; null: `op`.
    Operator* busOp = nullptr;
};

/// What a device holds as text (names, firmware and serial lines) is bytes
/// 0 to 255, shown as Latin-1, one character per byte, in every widget: the
/// window's name fields, the "Available Meters" list and the forms, which
/// write the same mapping back. Characters past 255 become '?'.
QString deviceText(std::string_view bytes);
std::string deviceBytes(const QString& text);

/// The part every configuration form shares: its edit fields in validation
/// order, `takeForm` on every loss of focus with the offending field focused
/// and its text selected, showing the form's values, OK/Cancel/Help.
///
/// Buttons and the "Critical" boxes take the focus only from the keyboard:
/// a mouse click on them leaves the focus in the field, so their handlers
/// run the one `takeForm` themselves and a bad field is reported once.
class ConfigDialog : public QDialog {
    Q_OBJECT

public:
    /// Prepares the form for the device at `address` (reads, shows values).
    virtual void load(int address, DeviceKind kind) = 0;

    /// load() and then the modal loop; returns when the form is closed.
    int run(int address, DeviceKind kind);

    /// Copies every field into the form's values; on the first bad field
    /// shows its message, focuses it and selects its text.
    bool takeForm();

protected:
    ConfigDialog(ConfigDialogContext& context, ConfigForm& form, QWidget* parent);

    /// The edit fields in the form's validation order.
    void setFields(std::vector<QLineEdit*> fields);
    void showValues();
    void connectButtons(QPushButton* ok, QPushButton* cancel, QPushButton* help);

    /// OK after a successful takeForm: the form's write pass, if any, and
    /// then accept().
    virtual void writeOnOk() { accept(); }

    /// Runs `work` through the context's onBus with the form busy (wait
    /// cursor, every field and button disabled, no closing), then `then`
    /// with the form usable again. The rest of the program goes on.
    void onBus(std::function<void()> work, std::function<void()> then);
    /// The operator for messages of work run by onBus.
    Operator& busOp() { return m_context.busOp ? *m_context.busOp : m_context.op; }
    bool busy() const { return m_busy; }

    ConfigRegisters registers() const;
    void beginOpening(int address, DeviceKind kind);

    bool eventFilter(QObject* watched, QEvent* event) override;
    /// Closing by Cancel (or Escape) keeps every valid value the operator
    /// typed, without a message: the form object lives on, and fields the
    /// device does not supply are shown again at the next opening.
    void done(int result) override;

    /// Builds the 42 breaker rows into `grid`: odd breakers on the left, even
    /// on the right, breakers 1 and 2 in the top row. Each row has a first
    /// field (`firstHead` column, object name firstName + k), the breaker
    /// number and, when `secondHead` is not empty, a second field.
    /// Returns the fields by breaker: first[k - 1], second[k - 1].
    /// The typing limit of a field that shows a register's value: six
    /// characters hold every 16-bit value ("65535", "-32768"), so what a
    /// device holds is shown whole and out-of-range values meet the range
    /// check instead of being cut.
    static constexpr int kRegisterFieldLength = 6;
    struct BreakerFields {
        std::vector<QLineEdit*> first;
        std::vector<QLineEdit*> second;
    };
    BreakerFields buildBreakerGrid(QGridLayout* grid, const QString& firstHead,
                                   const QString& firstName, const QString& secondHead,
                                   const QString& secondName, int maxLength);

    /// Gives breaker k's field the accessible name "Breaker k " + `what`
    /// ("Breaker 7 alarm level"), for screen readers.
    static void nameBreakerFields(const std::vector<QLineEdit*>& fields, const QString& what);

    static QString toText(const std::string& bytes) { return deviceText(bytes); }
    static std::string fromText(const QString& text) { return deviceBytes(text); }

    ConfigDialogContext& m_context;
    int m_address = -1;
    DeviceKind m_kind = NoDevice;

private:
    std::vector<std::string> fieldTexts() const;
    void focusField(int index);

    ConfigForm& m_form;
    std::vector<QLineEdit*> m_fields;
    bool m_taking = false;
    bool m_closing = false;
    bool m_busy = false;
    /// Where the form opens: breaker 1's first field when it has a grid.
    QWidget* m_firstField = nullptr;
};

} // namespace tarvo
