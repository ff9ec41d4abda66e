// tarvo-sim: a panel bus of simulated devices on a pseudo-terminal or a
// serial line. See --help.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "sim/control.h"
#include "sim/server.h"
#include "sim/tcp_server.h"

namespace {

using namespace tarvo::sim;

const char* const kUsage =
    "Usage: tarvo-sim [options]\n"
    "Simulates a bus of Kyrel panel meters as Modbus RTU slaves (functions 3, 6, 17).\n"
    "\n"
    "Options:\n"
    "  --device ADDR:KIND[:NAME]  add a device (repeatable); ADDR 1 to 247, KIND one of\n"
    "                             branch branch100a circuit8 circuit6 energy temperature\n"
    "                             fulldata foreign; NAME the panel name, up to 4 characters\n"
    "  --delay ADDR:MS            the device at ADDR answers MS ms after the request's\n"
    "                             last byte (repeatable; default at once)\n"
    "  --bus FILE                 add the devices listed in FILE, one per line as\n"
    "                             \"ADDR KIND [NAME]\" or \"ADDR:KIND[:NAME]\"; # comments\n"
    "  --link PATH                keep a symbolic link to the pseudo-terminal at PATH\n"
    "                             (an old link there is replaced; removed on exit)\n"
    "  --port DEVICE              serve a real serial line (e.g. /dev/ttyUSB0) instead\n"
    "                             of a pseudo-terminal\n"
    "  --speed BAUD               2400, 4800, 9600 (default) or 19200, with --port\n"
    "  --parity none|odd|even     parity with --port (default none; 8 data, 1 stop bit)\n"
    "  --live                     moving values: drifting currents, occasional overloads\n"
    "                             that trip warnings and alarms after their delays, phase\n"
    "                             drops; without it every value stays fixed\n"
    "  --seed N                   seed of the live values (default 1)\n"
    "  --control PATH             accept commands on a Unix stream socket at PATH\n"
    "  --tcp-rtu PORT             also serve the bus as a transparent gateway does: RTU\n"
    "                             frames over TCP on 127.0.0.1:PORT (0 takes a free port)\n"
    "  --tcp-modbus PORT          also serve the bus as a Modbus TCP gateway does, on\n"
    "                             127.0.0.1:PORT; replies the gateway could not take from\n"
    "                             the bus (bad CRC, short, long, noise) become exception 0B\n"
    "  --help                     this text\n"
    "\n"
    "The program prints the pseudo-terminal's path and runs until SIGTERM or SIGINT,\n"
    "then removes its link and control socket. Frames end after 3.5 character times\n"
    "of silence (at least 1.75 ms) on a serial line and after 5 ms on a pseudo-terminal.\n"
    "\n"
    "Control channel: one command per line, for example with\n"
    "  socat - UNIX-CONNECT:PATH\n"
    "Commands:\n";

int fail(const std::string& message) {
    std::fprintf(stderr, "tarvo-sim: %s\n", message.c_str());
    return 2;
}

struct Options {
    std::vector<DeviceSpec> devices;
    std::string link, port, control;
    int baud = 9600;
    int parity = 0; // 0 none, 1 odd, 2 even
    bool live = false;
    std::uint32_t seed = 1;
    int tcpRtu = -1; // -1: not served
    int tcpModbus = -1;
    std::vector<std::pair<int, int>> delays; // address, milliseconds
};

// Returns 0 to go on, -1 after --help, else the exit status of a usage error.
int parseArguments(int argc, char** argv, Options& opt) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&](std::string& out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        std::string v, why;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::fputs(controlHelp(), stdout);
            return -1;
        } else if (arg == "--live") {
            opt.live = true;
        } else if (arg != "--device" && arg != "--bus" && arg != "--link" && arg != "--port" &&
                   arg != "--control" && arg != "--speed" && arg != "--parity" && arg != "--seed" &&
                   arg != "--tcp-rtu" && arg != "--tcp-modbus" && arg != "--delay") {
            return fail("unknown argument " + arg + " (see --help)");
        } else if (!value(v)) {
            return fail(arg + " needs a value (see --help)");
        } else if (arg == "--device") {
            const auto device = parseDeviceSpec(v, why);
            if (!device)
                return fail(why);
            opt.devices.push_back(*device);
        } else if (arg == "--bus") {
            std::ifstream in(v);
            if (!in)
                return fail("cannot read bus file " + v + ": " + std::strerror(errno));
            std::ostringstream text;
            text << in.rdbuf();
            const auto specs = parseBusFile(text.str(), why);
            if (!specs)
                return fail(v + ": " + why);
            opt.devices.insert(opt.devices.end(), specs->begin(), specs->end());
        } else if (arg == "--link") {
            opt.link = v;
        } else if (arg == "--port") {
            opt.port = v;
        } else if (arg == "--control") {
            opt.control = v;
        } else if (arg == "--speed") {
            if (v != "2400" && v != "4800" && v != "9600" && v != "19200")
                return fail("speed must be 2400, 4800, 9600 or 19200, not " + v);
            opt.baud = std::stoi(v);
        } else if (arg == "--parity") {
            if (v == "none")
                opt.parity = 0;
            else if (v == "odd")
                opt.parity = 1;
            else if (v == "even")
                opt.parity = 2;
            else
                return fail("parity must be none, odd or even, not " + v);
        } else if (arg == "--tcp-rtu" || arg == "--tcp-modbus") {
            char* end = nullptr;
            const long port = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || port < 0 || port > 65535)
                return fail(arg + " needs a port number from 0 to 65535, not " + v);
            (arg == "--tcp-rtu" ? opt.tcpRtu : opt.tcpModbus) = static_cast<int>(port);
        } else if (arg == "--delay") {
            int address = 0, ms = -1;
            char tail = 0;
            if (std::sscanf(v.c_str(), "%d:%d%c", &address, &ms, &tail) != 2 || address < 1 ||
                address > 247 || ms < 0 || ms > 600000)
                return fail("--delay needs ADDR:MS, ADDR 1 to 247, MS 0 to 600000, not " + v);
            opt.delays.emplace_back(address, ms);
        } else if (arg == "--seed") {
            char* end = nullptr;
            const unsigned long seed = std::strtoul(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || seed > 0xFFFFFFFFul)
                return fail("seed must be a number, not " + v);
            opt.seed = static_cast<std::uint32_t>(seed);
        } else {
            return fail("unknown argument " + arg + " (see --help)");
        }
    }
    if (opt.devices.empty())
        return fail("no devices: give --device or --bus (see --help)");
    if (!opt.port.empty() && !opt.link.empty())
        return fail("--link is for the pseudo-terminal; it cannot be used with --port");
    return 0;
}

int openSerial(const Options& opt) {
    const int fd = ::open(opt.port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        ::close(fd);
        return -1;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS | PARENB | PARODD);
    if (opt.parity != 0) {
        tio.c_cflag |= PARENB | (opt.parity == 1 ? PARODD : 0);
        tio.c_iflag |= INPCK;
    }
    const speed_t speed = opt.baud == 2400    ? B2400
                          : opt.baud == 4800  ? B4800
                          : opt.baud == 19200 ? B19200
                                              : B9600;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int openControl(const std::string& path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path)
        return -1;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    struct stat st {};
    // A socket left by an earlier run that was killed hard is replaced;
    // anything else at the path is not touched.
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
        ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One connection to the control socket. Its descriptor does not block: a
// client that stops reading its answers must never hold up the program, which
// has to stay ready for a termination signal.
struct Client {
    int fd;
    std::string input;  ///< received text not yet run
    std::string output; ///< answer text not yet sent
    /// It hung up on its answers; its commands still run, as a client that
    /// writes and leaves expects, and their answers are dropped.
    bool deaf = false;
};

// A client that never ends a line cannot make us hold unbounded text.
constexpr std::size_t kMaxLine = 4096;

// Sends as much of the answer as the client takes now.
void flush(Client& client) {
    while (!client.output.empty() && !client.deaf) {
        const ssize_t n = ::send(client.fd, client.output.data(), client.output.size(),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            client.output.erase(0, static_cast<std::size_t>(n));
        else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        else if (!(n < 0 && errno == EINTR))
            client.deaf = true;
    }
    client.output.clear();
}

// Runs the client's complete lines, one answer at a time: while an answer
// waits for the client to read it, its next commands wait too, so a client
// that sends a thousand "log" commands and reads nothing costs one answer's
// memory.
void serve(Bus& bus, Client& client) {
    std::size_t eol;
    while (client.output.empty() && (eol = client.input.find('\n')) != std::string::npos) {
        std::string line = client.input.substr(0, eol);
        client.input.erase(0, eol + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        client.output = runControlCommand(bus, line);
        flush(client);
    }
    if (client.input.find('\n') == std::string::npos && client.input.size() > kMaxLine)
        client.input.clear();
}

// Serves the control socket until a termination signal arrives. Every
// descriptor is waited on here and none blocks, so the signal is seen at once
// whatever the clients do.
void runUntilSignal(Bus& bus, int signalFd, int controlFd) {
    std::vector<Client> clients;
    for (;;) {
        std::vector<pollfd> fds{{signalFd, POLLIN, 0}};
        if (controlFd >= 0)
            fds.push_back({controlFd, POLLIN, 0});
        for (const Client& c : clients)
            fds.push_back({c.fd, static_cast<short>(c.output.empty() ? POLLIN : POLLOUT), 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents & POLLIN)
            break;
        if (controlFd >= 0 && (fds[1].revents & POLLIN)) {
            const int c = ::accept4(controlFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (c >= 0)
                clients.push_back({c, {}, {}});
        }
        const std::size_t firstClient = controlFd >= 0 ? 2 : 1;
        for (std::size_t i = firstClient; i < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            Client& client = clients[i - firstClient];
            bool ended = false;
            if (client.output.empty()) {
                char buf[1024];
                const ssize_t n = ::read(client.fd, buf, sizeof buf);
                if (n > 0)
                    client.input.append(buf, static_cast<std::size_t>(n));
                else
                    ended = !(n < 0 && (errno == EAGAIN || errno == EINTR));
            } else {
                flush(client);
            }
            serve(bus, client);
            if (ended) {
                ::close(client.fd);
                client.fd = -1;
            }
        }
        std::erase_if(clients, [](const Client& c) { return c.fd < 0; });
    }
    for (const Client& c : clients)
        ::close(c.fd);
}

} // namespace

int main(int argc, char** argv) {
    Options opt;
    if (const int status = parseArguments(argc, argv, opt))
        return status < 0 ? 0 : status;

    // Termination signals are taken through a descriptor, so every thread
    // started below inherits the blocked mask and the main thread alone ends
    // the run and cleans up.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    const int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC);
    if (signalFd < 0)
        return fail(std::string("signalfd: ") + std::strerror(errno));

    Bus bus;
    for (const DeviceSpec& d : opt.devices)
        bus.addDevice(d.model, d.address, d.name);
    for (const auto& [address, ms] : opt.delays)
        bus.setReplyDelay(address, std::chrono::milliseconds(ms));
    bus.setLive(opt.live, opt.seed);

    std::string linePath;
    int fd = -1;
    std::chrono::microseconds interval = PtyServer::kPtyInterval;
    if (opt.port.empty()) {
        fd = openServerPty(linePath);
        if (fd < 0)
            return fail(std::string("cannot open a pseudo-terminal: ") + std::strerror(errno));
    } else {
        fd = openSerial(opt);
        if (fd < 0)
            return fail("cannot open " + opt.port + ": " + std::strerror(errno));
        linePath = opt.port;
        interval = silentInterval(opt.baud);
    }

    if (!opt.link.empty()) {
        struct stat st {};
        if (::lstat(opt.link.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode))
                return fail(opt.link + " exists and is not a symbolic link; not replacing it");
            ::unlink(opt.link.c_str());
        }
        if (::symlink(linePath.c_str(), opt.link.c_str()) != 0)
            return fail("cannot make link " + opt.link + ": " + std::strerror(errno));
    }
    int controlFd = -1;
    if (!opt.control.empty()) {
        controlFd = openControl(opt.control);
        if (controlFd < 0) {
            if (!opt.link.empty())
                ::unlink(opt.link.c_str());
            return fail("cannot listen on " + opt.control + ": " + std::strerror(errno));
        }
    }

    std::vector<std::unique_ptr<TcpServer>> gateways;
    try {
        if (opt.tcpRtu >= 0)
            gateways.push_back(
                std::make_unique<TcpServer>(bus, GatewayMode::RtuOverTcp, opt.tcpRtu));
        if (opt.tcpModbus >= 0)
            gateways.push_back(
                std::make_unique<TcpServer>(bus, GatewayMode::ModbusTcp, opt.tcpModbus));
    } catch (const std::system_error& e) {
        if (!opt.link.empty())
            ::unlink(opt.link.c_str());
        return fail(std::string("cannot serve TCP: ") + e.what());
    }

    std::printf("tarvo-sim: serving %s\n", linePath.c_str());
    for (const auto& g : gateways)
        std::printf("tarvo-sim: serving %s\n", g->portName().c_str());
    if (!opt.link.empty())
        std::printf("tarvo-sim: link %s -> %s\n", opt.link.c_str(), linePath.c_str());
    if (!opt.control.empty())
        std::printf("tarvo-sim: control %s\n", opt.control.c_str());
    for (int a : bus.addresses())
        bus.withDevice(a, [&](Device& d) {
            std::printf("tarvo-sim: %3d %-11s [%s]\n", a, modelName(d.model()),
                        d.identificationText().c_str());
        });
    std::fflush(stdout);

    LineServer server(bus, fd, interval);
    if (!server.start())
        return fail("cannot start the server thread");
    runUntilSignal(bus, signalFd, controlFd);
    server.stop();
    gateways.clear();

    if (!opt.link.empty()) {
        // Only our own link goes; another run may have taken the path over.
        char target[4096] = {};
        const ssize_t n = ::readlink(opt.link.c_str(), target, sizeof target - 1);
        if (n > 0 && linePath == std::string(target, static_cast<std::size_t>(n)))
            ::unlink(opt.link.c_str());
    }
    if (controlFd >= 0) {
        ::close(controlFd);
        ::unlink(opt.control.c_str());
    }
    ::close(fd);
    ::close(signalFd);
    return 0;
}
