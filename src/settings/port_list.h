#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tarvo {

/// A serial port present on this machine, as the Configuration dialog's
/// chooser offers it.
struct PortEntry {
    /// What is opened and stored in the settings: the stable
    /// /dev/serial/by-id name when udev made one (it stays the same whatever
    /// the plug order), else the by-path name, else /dev/<kernel name>.
    std::string path;
    std::string kernelName; ///< ttyUSB0, ttyACM0, ttyS0
    std::string maker;      ///< the USB device's manufacturer, when known
    std::string model;      ///< its product
    std::string serial;     ///< its serial number

    /// "<path> (<kernel name>: <maker> <model>, serial <serial>)", the parts
    /// that are unknown left out.
    std::string label() const;
};

/// The serial ports under `root` (the machine's "/"; tests pass a fake
/// tree): every ttyUSB* and ttyACM* of /sys/class/tty, and a ttyS* only
/// when a UART is really there. The 8250 driver registers a number of ttyS
/// placeholders with no hardware behind them; their sysfs `type` (the UART
/// type) is 0, so a ttyS is listed when its `type` holds a number other than
/// 0. Maker, model and serial come from the manufacturer, product and serial
/// attributes of the USB device above the tty. Sorted by kernel name.
std::vector<PortEntry> listSerialPorts(const std::filesystem::path& root = "/");

} // namespace tarvo
