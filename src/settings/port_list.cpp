#include "settings/port_list.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <system_error>

namespace tarvo {
namespace {

namespace fs = std::filesystem;

std::string attribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r'))
        line.pop_back();
    return line;
}

bool startsWith(const std::string& s, std::string_view prefix) {
    return s.rfind(prefix, 0) == 0;
}

// Kernel name -> the udev link in /dev/serial/<kind> that points to it.
std::map<std::string, std::string> serialLinks(const fs::path& root, const char* kind) {
    std::map<std::string, std::string> links;
    std::error_code ec;
    for (fs::directory_iterator it(root / "dev/serial" / kind, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::error_code linkError;
        const fs::path target = fs::read_symlink(it->path(), linkError);
        if (!linkError)
            links.emplace(target.filename().string(), "/dev/serial/" + std::string(kind) + "/" +
                                                          it->path().filename().string());
    }
    return links;
}

// The USB device is the first folder above the tty's device that has an
// idVendor; an interface or the tty itself sits a level or two below it.
void readUsbAttributes(const fs::path& ttyDir, PortEntry& entry) {
    std::error_code ec;
    fs::path dir = fs::canonical(ttyDir / "device", ec);
    for (int up = 0; !ec && up < 6 && dir.has_relative_path(); ++up, dir = dir.parent_path()) {
        if (fs::exists(dir / "idVendor", ec)) {
            entry.maker = attribute(dir / "manufacturer");
            entry.model = attribute(dir / "product");
            entry.serial = attribute(dir / "serial");
            return;
        }
    }
}

bool realUart(const fs::path& ttyDir) {
    const std::string type = attribute(ttyDir / "type");
    return !type.empty() && type.find_first_not_of('0') != std::string::npos &&
           type.find_first_not_of("0123456789") == std::string::npos;
}

} // namespace

std::string PortEntry::label() const {
    std::string details = kernelName;
    std::string device = maker;
    if (!model.empty())
        device += (device.empty() ? "" : " ") + model;
    if (!serial.empty())
        device += (device.empty() ? "serial " : ", serial ") + serial;
    if (!device.empty())
        details += ": " + device;
    return path + " (" + details + ")";
}

std::vector<PortEntry> listSerialPorts(const fs::path& root) {
    const auto byId = serialLinks(root, "by-id");
    const auto byPath = serialLinks(root, "by-path");
    std::vector<PortEntry> ports;
    std::error_code ec;
    for (fs::directory_iterator it(root / "sys/class/tty", ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const bool usb = startsWith(name, "ttyUSB") || startsWith(name, "ttyACM");
        if (!usb && !(startsWith(name, "ttyS") && realUart(it->path())))
            continue;
        PortEntry entry;
        entry.kernelName = name;
        if (const auto id = byId.find(name); id != byId.end())
            entry.path = id->second;
        else if (const auto p = byPath.find(name); p != byPath.end())
            entry.path = p->second;
        else
            entry.path = "/dev/" + name;
        if (usb)
            readUsbAttributes(it->path(), entry);
        ports.push_back(std::move(entry));
    }
    std::sort(ports.begin(), ports.end(),
              [](const PortEntry& a, const PortEntry& b) { return a.kernelName < b.kernelName; });
    return ports;
}

} // namespace tarvo
