// Why a port would not open, as the operator reads it: each row makes one
// cause happen for real and checks that the message names it and the remedy.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>

#include "link/open_failure.h"
#include "link/serial_port.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"

extern char** environ;

namespace tarvo {
namespace {

std::string explain(const std::string& path) {
    SerialPort port;
    const OpenResult r = port.open(path);
    return r ? "opened" : openFailureText(path, r, lookUpPortFacts(path, r.error));
}

// Root opens any file whatever its mode, so the open runs in a child that
// has become "nobody"; its message comes back through a pipe.
std::string explainAsNobody(const std::string& path) {
    int fds[2];
    if (::geteuid() != 0 || ::pipe(fds) != 0)
        return explain(path);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const std::string text = ::setgid(65534) || ::setuid(65534) ? "" : explain(path);
        ::_exit(::write(fds[1], text.data(), text.size()) < 0);
    }
    ::close(fds[1]);
    std::string text(4096, '\0');
    text.resize(static_cast<std::size_t>(std::max<ssize_t>(0, ::read(fds[0], text.data(), 4096))));
    ::close(fds[0]);
    ::waitpid(pid, nullptr, 0);
    return text;
}

// Another program ("sleep") holding the line as a second Tarvo or a terminal
// program would: TIOCEXCL and an exclusive lock on the descriptor it inherits.
std::string explainWhileHeld(const std::string& path, std::string& pid) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    pid_t holder = 0;
    const char* argv[] = {"sleep", "60", nullptr};
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0 || ::ioctl(fd, TIOCEXCL) != 0 ||
        ::posix_spawnp(&holder, "sleep", nullptr, nullptr, const_cast<char**>(argv), environ))
        return "no holder";
    ::close(fd);
    pid = std::to_string(holder);
    const std::string text = explain(path);
    ::kill(holder, SIGTERM);
    ::waitpid(holder, nullptr, 0);
    return text;
}

// Lock folders anyone may write to: a FIFO under the port's lock name in
// the first, a link to a file naming process 4242 in the second.
std::string explainPlantedLocks(const std::string& path, const test::TempDir& dir) {
    const std::string lock = "LCK.." + std::filesystem::path(path).filename().string();
    std::filesystem::create_directories(dir.path() / "var/lock");
    std::filesystem::create_directories(dir.path() / "run/lock");
    ::mkfifo((dir.path() / "run/lock" / lock).c_str(), 0666);
    std::filesystem::create_symlink(dir.file("Tarvo.cfg"), dir.path() / "var/lock" / lock);
    return openFailureText(path, {false, EBUSY}, lookUpPortFacts(path, EBUSY, dir.path()));
}

TEST(PortOpenTest, EachCauseIsToldWithItsRemedy) {
    test::TempDir dir;
    test::PtyPair locked, held, owners, closed;
    std::ofstream(dir.file("Tarvo.cfg")) << "4242\n";
    // Debian's dialout; as an ordinary user the pty keeps the user's group.
    [[maybe_unused]] const int chowned = ::chown(locked.slavePath().c_str(), 0, 20);
    ::chmod(locked.slavePath().c_str(), 0660);
    ::chmod(owners.slavePath().c_str(), 0600);
    ::chmod(closed.slavePath().c_str(), 0666);
    (void)SerialPort().open(closed.slavePath()); // opened and closed again by an earlier run
    std::string pid;
    const struct {
        const char* name;
        std::string text;
        std::string expected;
    } cases[] = {
        {"unplugged adapter told to plug it in", explain(dir.file("ttyUSB7")),
         dir.file("ttyUSB7") + " is not present: is the adapter plugged in?"},
        {"refused permission names the group and the command", explainAsNobody(locked.slavePath()),
         locked.slavePath() + " belongs to the group \""},
        {"remedy for a refused permission", explainAsNobody(locked.slavePath()),
         "\".\nAdd the user to it with\n    sudo usermod -aG dialout nobody\n"},
        {"no group may open the device: a udev rule, not its group",
         explainAsNobody(owners.slavePath()),
         " is not open to any group, only to its owner.\nOpen it to the group \"dialout\""},
        {"port left exclusive by the last close", explainAsNobody(closed.slavePath()), "opened"},
        {"lock file that is a FIFO or a link not read",
         explainPlantedLocks(locked.slavePath(), dir), " is in use by another program. Close it"},
        {"port held by another program names it", explainWhileHeld(held.slavePath(), pid),
         " is in use by another program (sleep, process " + pid + "). Close it, then try again."},
        {"regular file refused as no serial port", explain(dir.file("Tarvo.cfg")),
         " is not a serial port but a regular file."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(c.expected == "opened" || c.text.rfind("Unable to open ", 0) == 0) << c.text;
        EXPECT_NE(c.text.find(c.expected), std::string::npos) << c.text;
    }
}

} // namespace
} // namespace tarvo
