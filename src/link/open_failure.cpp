#include "link/open_failure.h"

#include "core/file_text.h"
#include "link/tcp_link.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvo {
namespace {

namespace fs = std::filesystem;

std::string groupName(gid_t gid) {
    std::vector<char> buf(4096);
    group g{};
    group* found = nullptr;
    if (::getgrgid_r(gid, &g, buf.data(), buf.size(), &found) == 0 && found)
        return found->gr_name;
    return std::to_string(gid);
}

std::string userName(uid_t uid) {
    std::vector<char> buf(4096);
    passwd p{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &p, buf.data(), buf.size(), &found) == 0 && found)
        return found->pw_name;
    return std::to_string(uid);
}

// Lock files sit in a folder anyone may write to: a FIFO, a link to
// /dev/zero or a huge file put there under the lock's name is not read.
// A lock file or a /proc/<pid>/comm is a line of a few dozen bytes.
std::string firstLine(const fs::path& file) {
    std::string text;
    (void)readFileText(file, 256, text, FileLinks::Refuse);
    return text.substr(0, text.find('\n'));
}

// A UUCP lock file holds the process id as ASCII, ten columns wide.
int lockFilePid(const fs::path& root, const std::string& device) {
    const std::string lockName = "LCK.." + fs::path(device).filename().string();
    for (const char* folder : {"run/lock", "var/lock"}) {
        const std::string text = firstLine(root / folder / lockName);
        std::size_t i = 0;
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
            ++i;
        int pid = 0;
        for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) &&
               pid < 100000000;
             ++i)
            pid = pid * 10 + (text[i] - '0');
        if (pid > 0)
            return pid;
    }
    return 0;
}

// The first other process with `device` open, by its /proc/<pid>/fd links.
// Processes of other users are unreadable unless we are root; they are
// skipped, and the lock file may still tell.
int procHolderPid(const fs::path& root, const fs::path& device) {
    std::error_code ec;
    const std::string self = std::to_string(::getpid());
    for (fs::directory_iterator proc(root / "proc", ec), end; !ec && proc != end;
         proc.increment(ec)) {
        const std::string pid = proc->path().filename().string();
        if (pid.empty() || pid == self ||
            !std::all_of(pid.begin(), pid.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        std::error_code fdError;
        for (fs::directory_iterator fd(proc->path() / "fd", fdError), fdEnd;
             !fdError && fd != fdEnd; fd.increment(fdError)) {
            std::error_code linkError;
            const fs::path target = fs::read_symlink(fd->path(), linkError);
            if (!linkError && target == device)
                return std::stoi(pid);
        }
    }
    return 0;
}

std::string fileKind(const struct stat& st) {
    if (S_ISREG(st.st_mode))
        return "a regular file";
    if (S_ISDIR(st.st_mode))
        return "a folder";
    if (S_ISFIFO(st.st_mode))
        return "a pipe";
    if (S_ISSOCK(st.st_mode))
        return "a socket";
    if (S_ISBLK(st.st_mode))
        return "a disk";
    return "a device that is no terminal";
}

} // namespace

PortFacts lookUpPortFacts(const std::string& path, int error, const fs::path& root) {
    PortFacts facts;
    facts.path = path;
    facts.user = userName(::geteuid());
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists) {
        facts.group = groupName(st.st_gid);
        facts.groupMayOpen = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    }
    if (exists && (error == ENOTTY || error == EISDIR))
        facts.kind = fileKind(st);
    if (exists && (error == EBUSY || error == EWOULDBLOCK)) {
        std::error_code ec;
        const fs::path device = fs::canonical(path, ec);
        facts.holderPid = ec ? 0 : procHolderPid(root, device);
        if (facts.holderPid == 0)
            facts.holderPid = lockFilePid(root, ec ? path : device.string());
        if (facts.holderPid != 0)
            facts.holderName = firstLine(root / "proc" / std::to_string(facts.holderPid) / "comm");
    }
    return facts;
}

std::string openFailureText(const std::string& portName, const OpenResult& result,
                            const PortFacts& facts) {
    std::string text = "Unable to open " + portName + "\n";
    const std::string& path = facts.path;
    switch (result.error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
        // A by-id link left dangling by an unplugged adapter says ENOENT too.
        return text + path + " is not present: is the adapter plugged in?";
    case EACCES:
    case EPERM: {
        if (!facts.groupMayOpen)
            // Joining its group (often root) would not help: a udev rule
            // must give the device a group that may read and write it.
            return text + "Permission denied: " + path +
                   " is not open to any group, only to its owner.\nOpen it to the group "
                   "\"dialout\" with a udev rule: write the line\n    KERNEL==\"" +
                   fs::path(path).filename().string() +
                   "\", GROUP=\"dialout\", MODE=\"0660\"\ninto "
                   "/etc/udev/rules.d/50-serial-port.rules, run\n    sudo udevadm trigger\nand "
                   "add the user to the group with\n    sudo usermod -aG dialout " +
                   facts.user + "\nthen log out and log in again.";
        const std::string group = facts.group.empty() ? "dialout" : facts.group;
        return text + "Permission denied: " + path + " belongs to the group \"" + group +
               "\".\nAdd the user to it with\n    sudo usermod -aG " + group + " " + facts.user +
               "\nthen log out and log in again.";
    }
    case EBUSY:
    case EWOULDBLOCK: {
        std::string who = "another program";
        if (!facts.holderName.empty())
            who += " (" + facts.holderName + ", process " + std::to_string(facts.holderPid) + ")";
        else if (facts.holderPid != 0)
            who += " (process " + std::to_string(facts.holderPid) + ")";
        return text + path + " is in use by " + who + ". Close it, then try again.";
    }
    case ENOTTY:
    case EISDIR:
        return text + path + " is not a serial port" +
               (facts.kind.empty() ? std::string() : " but " + facts.kind) +
               ". Choose a serial device such as /dev/ttyUSB0.";
    default:
        return text + path + ": " + std::strerror(result.error);
    }
}

std::string gatewayFailureText(const std::string& portName, const OpenResult& result,
                               std::chrono::milliseconds timeout) {
    const std::string text = "Unable to open " + portName + "\n";
    const std::optional<GatewayAddress> gateway = parseGatewayName(portName);
    if (!gateway || result.error == EINVAL)
        return text + portName +
               " is not a gateway address. Write rtu+tcp://HOST:PORT for a gateway that "
               "passes RTU frames, or modbus+tcp://HOST:PORT for a Modbus TCP gateway (port "
               "502 when left out).";
    const std::string& host = gateway->host;
    const std::string& port = gateway->service;
    switch (result.error) {
    case ENXIO:
        return text + host +
               " is not a known host name: check the spelling, or give the "
               "gateway's IP address.";
    case EAGAIN:
        return text + "No name server answered for " + host + " within " +
               std::to_string(timeout.count()) +
               " ms: check the workstation's name servers, or give the gateway's IP address.";
    case ECONNREFUSED:
        return text + host + " refused the connection on port " + port +
               ": is the gateway's Modbus server on, and is " + port + " its port?";
    case ETIMEDOUT:
        return text + host + " did not answer on port " + port + " within " +
               std::to_string(timeout.count()) +
               " ms: is the gateway on and reachable, and does a firewall let port " + port +
               " through?";
    case EHOSTUNREACH:
    case ENETUNREACH:
        return text + host + " cannot be reached: check the network cable and the address.";
    default:
        return text + host + " port " + port + ": " + std::strerror(result.error);
    }
}

} // namespace tarvo
