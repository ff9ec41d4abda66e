#pragma once

#include <string>

#include "link/transport.h"

namespace tarvo {

/// Outcome of opening a link. `error` keeps the errno of the step that failed
/// (the open itself, the terminal check or the exclusive lock), so a caller
/// can say why; 0 when the link is open.
struct OpenResult {
    bool opened = false;
    int error = 0;

    explicit operator bool() const { return opened; }
};

/// A transport that is opened by name with line settings and closed again:
/// the serial port for real, the scripted fake in tests. The policy around
/// opening (messages, counting failures, scanning afterwards) is the
/// caller's; a link only opens, closes and carries bytes.
class Link : public Transport {
public:
    /// Speed codes are the bit values of the settable-baud-rate mask, which is
    /// what the settings file stores under `speed`.
    static constexpr int kSpeed2400 = 256;
    static constexpr int kSpeed4800 = 512;
    static constexpr int kSpeed9600 = 2048;
    static constexpr int kSpeed19200 = 8192;

    static constexpr int kParityNone = 0;
    static constexpr int kParityOdd = 1;
    static constexpr int kParityEven = 2;

    /// Closes the open link, if any, then opens `name` with the speed and
    /// parity codes. On failure no link is open. Shows nothing.
    virtual OpenResult open(const std::string& name, int speedCode, int parityCode) = 0;

    /// Closes the open link; nothing happens when none is open.
    virtual void close() = 0;

    /// True once the line went away under the open link: a read or write
    /// ended with a hang-up or an I/O error, as when a USB adapter is pulled
    /// out. Every later transaction would fail at once; the session closes
    /// the link and reopens it by name (LinkKeeper). Cleared by open and
    /// close.
    virtual bool lost() const { return false; }

    /// What ended the link when lost(), in the operator's words ("the
    /// gateway reset the connection"); empty when the link cannot tell.
    virtual std::string lostCause() const { return {}; }
};

} // namespace tarvo
