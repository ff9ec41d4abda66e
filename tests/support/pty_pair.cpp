#include "support/pty_pair.h"

#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace tarvo::test {

PtyPair::PtyPair() {
    termios raw{};
    cfmakeraw(&raw);
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, &raw, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    // The master end gets raw mode too, or the line discipline could echo or
    // translate bytes before any traffic.
    ::tcsetattr(m_master, TCSANOW, &raw);
    m_slavePath = name;
}

PtyPair::~PtyPair() {
    closeMaster();
    if (m_slave >= 0)
        ::close(m_slave);
}

void PtyPair::closeMaster() {
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

} // namespace tarvo::test
