// Why a port would not open, as the operator reads it: each row makes one
// cause happen for real and checks that the message names it and the remedy.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <functional>

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

// Root opens any file whatever its mode, so the refused open runs in a child
// that has become "nobody"; its message comes back through a pipe.
std::string explainAsUnprivileged(const std::string& path) {
    if (::geteuid() != 0)
        return explain(path);
    int fds[2];
    if (::pipe(fds) != 0)
        return "no pipe";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(1);
        const std::string text = explain(path);
        (void)!::write(fds[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string text;
    char buf[512];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return text;
}

// Another program holding the line the way a second Tarvo (or a terminal
// program) does: TIOCEXCL and an exclusive lock on its descriptor.
class Holder {
public:
    explicit Holder(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0)
            return;
        const char* argv[] = {"sleep", "60", nullptr};
        (void)::posix_spawnp(&m_pid, "sleep", nullptr, nullptr, const_cast<char**>(argv), environ);
        ::close(fd); // the child's inherited copy keeps the lock
    }
    ~Holder() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = 0;
};

struct CauseCase {
    const char* name;
    std::function<std::string(const test::TempDir&, test::PtyPair&, std::string&)> produce;
    std::string expected; // "%pid": the holder's process id; "%path": the pty
};

TEST(PortOpenTest, EachCauseIsToldWithItsRemedy) {
    const CauseCase cases[] = {
        {"unplugged adapter told to plug it in",
         [](auto& dir, auto&, auto&) { return explain(dir.file("ttyUSB7")); },
         "is not present: is the adapter plugged in?"},
        {"refused permission names the group and the command",
         [](auto&, auto& pty, auto&) {
             ::chmod(pty.slavePath().c_str(), 0);
             return explainAsUnprivileged(pty.slavePath());
         },
         "Permission denied: %path belongs to the group \""},
        {"port held by another program names it",
         [](auto&, auto& pty, auto& pid) {
             const Holder holder(pty.slavePath());
             pid = std::to_string(holder.pid());
             return explain(pty.slavePath());
         },
         "is in use by another program (sleep, process %pid). Close it, then try again."},
        {"regular file refused as no serial port",
         [](auto& dir, auto&, auto&) {
             std::ofstream(dir.file("Tarvo.cfg")) << "scan 3\n";
             return explain(dir.file("Tarvo.cfg"));
         },
         "is not a serial port but a regular file."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        test::PtyPair pty;
        std::string pid;
        const std::string text = c.produce(dir, pty, pid);
        std::string expected = c.expected;
        if (const auto at = expected.find("%pid"); at != std::string::npos)
            expected.replace(at, 4, pid);
        if (const auto at = expected.find("%path"); at != std::string::npos)
            expected.replace(at, 5, pty.slavePath());
        EXPECT_EQ(text.rfind("Unable to open ", 0), 0u) << text;
        EXPECT_NE(text.find(expected), std::string::npos) << text;
    }
}

TEST(PortOpenTest, PermissionRemedyNamesGroupAndUser) {
    const PortFacts facts{"/dev/ttyUSB0", "", "dialout", "ann", "", 0};
    EXPECT_EQ(openFailureText("/dev/ttyUSB0", {false, EACCES}, facts),
              "Unable to open /dev/ttyUSB0\nPermission denied: /dev/ttyUSB0 belongs to the group "
              "\"dialout\".\nAdd the user to it with\n    sudo usermod -aG dialout ann\nthen log "
              "out and log in again.");
}

} // namespace
} // namespace tarvo
