#pragma once

#include <string>

#include "link/link.h"

namespace tarvo {

struct AppState;
class Operator;

/// Keeps the port open across an adapter pulled out and plugged in again.
/// One piece for every loop that polls the bus: the window's one-second tick
/// and the headless logger call keepOpen() first thing in each round.
///
/// When the link reports its line lost (reads and writes ended at once with
/// a hang-up or EIO), keepOpen closes it, sets LinkState::portLost, writes a
/// note into the trace and tells the operator once (one message, through the
/// Operator, which does not block inside a tick). From the next call on it
/// tries to reopen the port name of the settings at most once per call: a
/// failing open costs a few system calls and shows nothing, so a pulled
/// adapter costs no CPU between ticks and raises no box per attempt. Once it
/// opens, the trace says so and polling and sampling go on with the same
/// devices, without a scan.
///
/// While the port is lost the polls and samples still run and fail at once
/// as time-outs (a closed link reads nothing), so they are counted as
/// failures as for a silent device, and no rows are made up.
class LinkKeeper {
public:
    LinkKeeper(AppState& state, Link& link, Operator& op);

    /// Call at the start of every round. Returns whether the link is open
    /// now. Does nothing while a scan runs (the scan owns the line then).
    bool keepOpen();

private:
    AppState& m_state;
    Link& m_link;
    Operator& m_op;
};

/// Closes the link and opens the settings' port name again with the
/// settings' speed and parity; on success clears LinkState::portLost and
/// notes "Reopened <name>" in the trace. Shows nothing: File > Scan uses it
/// to reopen a lost port first and explains a failure itself.
OpenResult reopenLink(AppState& state, Link& link);

} // namespace tarvo
