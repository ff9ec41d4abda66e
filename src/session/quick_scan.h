#pragma once

#include <string>
#include <string_view>

namespace tarvo {

struct AppState;
class Transport;

/// The quick scan's probe: sends Report Slave ID to `address` and waits the
/// settings' quick_scan_ms for the reply's first byte. True when anything
/// came back (a reply, an exception, even a damaged frame): the address is
/// then read as the specified scan reads it. A silent address costs the
/// wait, the request's time on the line and the drain before it: at 9600
/// baud 50 + 4.6 + 1 ms, so 247 empty addresses (with the scan's 10 ms
/// pause between them) take about 16 s instead of 225 s.
bool answersQuickly(AppState& state, Transport& bus, int address);

/// "Not listed: 05 [<identification text>]": a device that answered the
/// scan but is of no kind the list shows (an energy-only meter, a
/// temperature monitor, a foreign device).
std::string notListedLine(int address, std::string_view identification);

} // namespace tarvo
