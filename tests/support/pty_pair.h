#pragma once

#include <string>

namespace tarvo::test {

/// A pseudo-terminal pair in raw mode on both ends. The program under test
/// opens `slavePath()` as its serial port; the test talks on `master()`.
/// Both descriptors are closed by the destructor.
class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int master() const { return m_master; }
    /// The test's own descriptor of the slave end; it shares the line
    /// settings with every other descriptor of the terminal.
    int slave() const { return m_slave; }
    const std::string& slavePath() const { return m_slavePath; }

    /// Closes the master end: the slave side then sees a hang-up.
    void closeMaster();

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_slavePath;
};

} // namespace tarvo::test
