// The port chooser's listing against fake /sys and /dev trees: each row is a
// machine, written as "file=content" and "link->target" lines under the root.

#include <gtest/gtest.h>

#include <fstream>

#include "settings/port_list.h"
#include "support/temp_dir.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;

void build(const fs::path& root, const std::vector<std::string>& entries) {
    for (const std::string& line : entries) {
        if (const auto arrow = line.find("->"); arrow != std::string::npos) {
            const fs::path link = root / line.substr(0, arrow);
            fs::create_directories(link.parent_path());
            fs::create_symlink(line.substr(arrow + 2), link);
        } else {
            const auto eq = line.find('=');
            const fs::path file = root / line.substr(0, eq);
            fs::create_directories(file.parent_path());
            std::ofstream(file) << line.substr(eq + 1) << "\n";
        }
    }
}

const std::string kUsb = "sys/devices/pci0/usb1/1-1";
const std::vector<std::string> kFtdi = {
    kUsb + "/idVendor=0403",
    kUsb + "/manufacturer=FTDI",
    kUsb + "/product=FT232R USB UART",
    kUsb + "/serial=A50285BI",
    kUsb + "/1-1:1.0/ttyUSB0/dev=188:0",
    "sys/class/tty/ttyUSB0->../../devices/pci0/usb1/1-1/1-1:1.0/ttyUSB0",
    "sys/class/tty/ttyUSB0/device->../../1-1:1.0",
};

TEST(PortListTest, ListsThePortsOfAMachine) {
    const std::string ftdi = " (ttyUSB0: FTDI FT232R USB UART, serial A50285BI)";
    const std::string byId = "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    const struct {
        const char* name;
        std::vector<std::string> tree; // besides the FTDI adapter's sysfs
        std::vector<std::string> expected;
    } cases[] = {
        {"by-id name first, then kernel name, maker, model and serial",
         {byId + "->../../ttyUSB0", "dev/serial/by-path/pci-0:1.0-port0->../../ttyUSB0"},
         {"/" + byId + ftdi}},
        {"by-path name when udev made no by-id link",
         {"dev/serial/by-path/pci-0:1.0-port0->../../ttyUSB0"},
         {"/dev/serial/by-path/pci-0:1.0-port0" + ftdi}},
        {"kernel name without udev links; 8250 placeholders left out, a UART and ACM kept",
         {"sys/class/tty/ttyS0/type=4", "sys/class/tty/ttyS1/type=0",
          "sys/class/tty/ttyS2/dev=4:66", "sys/class/tty/ttyACM0/dev=166:0",
          "sys/class/tty/tty1/dev=4:1"},
         {"/dev/ttyACM0 (ttyACM0)", "/dev/ttyS0 (ttyS0)", "/dev/ttyUSB0" + ftdi}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir root;
        build(root.path(), kFtdi);
        build(root.path(), c.tree);
        std::vector<std::string> labels;
        for (const PortEntry& p : listSerialPorts(root.path()))
            labels.push_back(p.label());
        EXPECT_EQ(labels, c.expected);
    }
}

} // namespace
} // namespace tarvo
