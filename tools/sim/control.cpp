#include "sim/control.h"

#include <charconv>
#include <cstdio>
#include <sstream>

namespace tarvo::sim {

namespace {

std::vector<std::string> words(std::string_view line) {
    std::vector<std::string> result;
    std::istringstream in{std::string(line)};
    std::string w;
    while (in >> w)
        result.push_back(w);
    return result;
}

bool toInt(std::string_view text, int& value, int min, int max) {
    int v = 0;
    // Accepts decimal or 0x-prefixed hexadecimal, nothing else after it.
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* first = text.data() + (hex ? 2 : 0);
    const char* last = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(first, last, v, hex ? 16 : 10);
    if (ec != std::errc{} || ptr != last || first == last || v < min || v > max)
        return false;
    value = v;
    return true;
}

std::string hex(const Bytes& bytes) {
    std::string text;
    char buf[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += buf;
    }
    return text;
}

long long millisSince(Clock::time_point from, Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t - from).count();
}

std::string error(const std::string& why) {
    return "error: " + why + "\n";
}

} // namespace

std::optional<DeviceSpec> parseDeviceSpec(std::string_view text, std::string& err) {
    std::vector<std::string> parts;
    std::string current;
    for (char c : text) {
        if (c == ':' && parts.size() < 2) {
            parts.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    parts.push_back(current);
    DeviceSpec device;
    if (parts.size() < 2 || !toInt(parts[0], device.address, 1, 247)) {
        err = "bad device \"" + std::string(text) + "\": expected ADDR:KIND[:NAME], ADDR 1 to 247";
        return std::nullopt;
    }
    const auto model = modelFromName(parts[1]);
    if (!model) {
        err = "unknown device kind \"" + parts[1] +
              "\" (branch, branch100a, circuit8, circuit6, energy, temperature, fulldata, foreign)";
        return std::nullopt;
    }
    device.model = *model;
    if (parts.size() == 3) {
        if (parts[2].size() > 4) {
            err = "name \"" + parts[2] + "\" is longer than 4 characters";
            return std::nullopt;
        }
        device.name = parts[2];
    }
    return device;
}

std::optional<std::vector<DeviceSpec>> parseBusFile(std::string_view contents, std::string& err) {
    std::vector<DeviceSpec> specs;
    std::istringstream in{std::string(contents)};
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const auto w = words(line);
        if (w.empty() || w[0][0] == '#')
            continue;
        std::string text = w[0];
        if (w.size() > 1)
            text += ":" + w[1];
        if (w.size() > 2)
            text += ":" + w[2];
        if (w.size() > 3) {
            err = "line " + std::to_string(number) + ": too many fields";
            return std::nullopt;
        }
        std::string why;
        const auto device = parseDeviceSpec(text, why);
        if (!device) {
            err = "line " + std::to_string(number) + ": " + why;
            return std::nullopt;
        }
        specs.push_back(*device);
    }
    return specs;
}

const char* controlHelp() {
    return "  devices                      list the devices: ADDR KIND\n"
           "  add ADDR KIND [NAME]         add or replace a device\n"
           "  remove ADDR                  take a device off the bus\n"
           "  fault ADDR|all FAULT [TIMES] set a fault for one device or the whole bus,\n"
           "                               for TIMES replies or until changed; FAULT is\n"
           "                               none silent badcrc short long wrongaddr\n"
           "                               exception split late noise echo\n"
           "  clear                        clear every fault\n"
           "  exception CODE               exception code of the exception fault (1-255)\n"
           "  splitgap MS                  gap inside a split reply (default 60)\n"
           "  latedelay MS                 delay of a late reply (default 2000)\n"
           "  delay ADDR MS                the device at ADDR answers MS ms after the\n"
           "                               request's last byte (0: at once, the default)\n"
           "  get ADDR REG [COUNT]         print register values, one per line\n"
           "  set ADDR REG VALUE           set a register (no device rules)\n"
           "  setfloat ADDR REG VALUE      set a float in REG (high word) and REG+1\n"
           "  name ADDR REG TEXT           set a 4-character name in REG and REG+1\n"
           "  live on [SEED] | live off    moving demo values or fixed ones\n"
           "  log                          print the request log:\n"
           "                                 frame MS HEX STATUS FAULT\n"
           "                                 write MS ADDR REG VALUE accepted|refused\n"
           "                               (MS: milliseconds since the simulator started)\n"
           "  clearlog                     empty the request log\n"
           "  help                         this text\n"
           "Every answer ends with a line \"ok\" or \"error: ...\".\n";
}

std::string runControlCommand(Bus& bus, std::string_view line) {
    const auto w = words(line);
    if (w.empty())
        return "ok\n";
    const std::string& cmd = w[0];
    int address = 0, reg = 0, value = 0;
    const auto needDevice = [&](const std::string& text) {
        return toInt(text, address, 1, 247) && bus.hasDevice(address);
    };

    if (cmd == "help")
        return std::string(controlHelp()) + "ok\n";
    if (cmd == "devices") {
        std::string out;
        for (int a : bus.addresses())
            bus.withDevice(a, [&](Device& d) {
                out += std::to_string(a) + " " + modelName(d.model()) + "\n";
            });
        return out + "ok\n";
    }
    if (cmd == "add" && (w.size() == 3 || w.size() == 4)) {
        std::string why;
        const auto device =
            parseDeviceSpec(w[1] + ":" + w[2] + (w.size() == 4 ? ":" + w[3] : ""), why);
        if (!device)
            return error(why);
        bus.addDevice(device->model, device->address, device->name);
        return "ok\n";
    }
    if (cmd == "remove" && w.size() == 2) {
        if (!needDevice(w[1]))
            return error("no device at " + w[1]);
        bus.removeDevice(address);
        return "ok\n";
    }
    if (cmd == "fault" && (w.size() == 3 || w.size() == 4)) {
        const auto fault = faultFromName(w[2]);
        if (!fault)
            return error("unknown fault \"" + w[2] + "\"");
        int times = -1;
        if (w.size() == 4 && !toInt(w[3], times, 1, 1'000'000))
            return error("bad count \"" + w[3] + "\"");
        if (w[1] == "all") {
            bus.setBusFault(*fault, times);
        } else {
            if (!toInt(w[1], address, 1, 247))
                return error("bad address \"" + w[1] + "\"");
            bus.setFault(address, *fault, times);
        }
        return "ok\n";
    }
    if (cmd == "clear" && w.size() == 1) {
        bus.clearFaults();
        return "ok\n";
    }
    if ((cmd == "exception" || cmd == "splitgap" || cmd == "latedelay") && w.size() == 2) {
        const int max = cmd == "exception" ? 255 : 600'000;
        if (!toInt(w[1], value, 1, max))
            return error("bad value \"" + w[1] + "\"");
        if (cmd == "exception")
            bus.setExceptionCode(static_cast<std::uint8_t>(value));
        else if (cmd == "splitgap")
            bus.setSplitGap(std::chrono::milliseconds(value));
        else
            bus.setLateDelay(std::chrono::milliseconds(value));
        return "ok\n";
    }
    if (cmd == "delay" && w.size() == 3) {
        if (!toInt(w[1], address, 1, 247))
            return error("bad address \"" + w[1] + "\"");
        if (!toInt(w[2], value, 0, 600'000))
            return error("bad delay \"" + w[2] + "\"");
        bus.setReplyDelay(address, std::chrono::milliseconds(value));
        return "ok\n";
    }
    if (cmd == "get" && (w.size() == 3 || w.size() == 4)) {
        int count = 1;
        if (!needDevice(w[1]))
            return error("no device at " + w[1]);
        if (!toInt(w[2], reg, 0, Device::kRegisterCount - 1) ||
            (w.size() == 4 && !toInt(w[3], count, 1, Device::kRegisterCount - reg)))
            return error("bad register range");
        std::string out;
        for (int r = reg; r < reg + count; ++r)
            out += std::to_string(*bus.registerValue(address, r)) + "\n";
        return out + "ok\n";
    }
    if (cmd == "set" && w.size() == 4) {
        if (!needDevice(w[1]))
            return error("no device at " + w[1]);
        if (!toInt(w[2], reg, 0, Device::kRegisterCount - 1) || !toInt(w[3], value, 0, 65535))
            return error("bad register or value");
        bus.setRegister(address, reg, static_cast<std::uint16_t>(value));
        return "ok\n";
    }
    if (cmd == "setfloat" && w.size() == 4) {
        if (!needDevice(w[1]))
            return error("no device at " + w[1]);
        float f = 0;
        const auto [ptr, ec] = std::from_chars(w[3].data(), w[3].data() + w[3].size(), f);
        if (!toInt(w[2], reg, 0, Device::kRegisterCount - 2) || ec != std::errc{} ||
            ptr != w[3].data() + w[3].size())
            return error("bad register or value");
        bus.setFloat(address, reg, f);
        return "ok\n";
    }
    if (cmd == "name" && (w.size() == 3 || w.size() == 4)) {
        if (!needDevice(w[1]))
            return error("no device at " + w[1]);
        const std::string text = w.size() == 4 ? w[3] : "";
        if (!toInt(w[2], reg, 0, Device::kRegisterCount - 2) || text.size() > 4)
            return error("bad register or name");
        bus.setName(address, reg, text);
        return "ok\n";
    }
    if (cmd == "live" && w.size() >= 2 && w.size() <= 3) {
        int seed = 1;
        if (w[1] == "off" && w.size() == 2) {
            bus.setLive(false);
            return "ok\n";
        }
        if (w[1] == "on" && (w.size() == 2 || toInt(w[2], seed, 0, 2'000'000'000))) {
            bus.setLive(true, static_cast<std::uint32_t>(seed));
            return "ok\n";
        }
        return error("usage: live on [SEED] | live off");
    }
    if (cmd == "log" && w.size() == 1) {
        std::string out;
        const auto start = bus.created();
        for (const FrameRecord& f : bus.frames())
            out += "frame " + std::to_string(millisSince(start, f.time)) + " " + hex(f.bytes) +
                   " " + frameStatusName(f.status) + " " + faultName(f.fault) + "\n";
        for (const WriteRecord& r : bus.writes())
            out += "write " + std::to_string(millisSince(start, r.time)) + " " +
                   std::to_string(r.address) + " " + std::to_string(r.reg) + " " +
                   std::to_string(r.value) + (r.accepted ? " accepted\n" : " refused\n");
        return out + "ok\n";
    }
    if (cmd == "clearlog" && w.size() == 1) {
        bus.clearLog();
        return "ok\n";
    }
    return error("unknown command or wrong arguments: " + std::string(line) + " (try help)");
}

} // namespace tarvo::sim
