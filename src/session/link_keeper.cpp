#include "session/link_keeper.h"

#include "core/operator.h"
#include "link/tcp_link.h"
#include "session/app_state.h"

namespace tarvo {

LinkKeeper::LinkKeeper(AppState& state, Link& link, Operator& op)
    : m_state(state), m_link(link), m_op(op) {}

bool LinkKeeper::keepOpen() {
    LinkState& ls = m_state.link;
    if (m_state.selection.scanInProgress)
        return m_link.isOpen();
    const std::string& name = m_state.settings.portName;
    if (m_link.isOpen() && m_link.lost()) {
        const std::string cause = m_link.lostCause();
        m_link.close();
        ls.portLost = true;
        const std::string text =
            isGatewayName(name)
                ? "Lost " + name + ": " +
                      (cause.empty() ? "the gateway closed the connection" : cause) +
                      ". It is connected again as soon as it answers."
                : "Lost " + name +
                      ": the adapter was unplugged or the line hung up. The port "
                      "is reopened as soon as it is back.";
        m_state.trace.recordNote(text);
        m_state.trace.requestRepaint();
        m_op.showMessage(text, "Comm Port Lost");
        // Trying again at once would find the same device gone; the next
        // round is a second away.
        return false;
    }
    if (!ls.portLost)
        return m_link.isOpen();
    if (m_link.isOpen()) {
        // Opened meanwhile by the operator (a port button, a scan).
        ls.portLost = false;
        return true;
    }
    return bool(reopenLink(m_state, m_link));
}

OpenResult reopenLink(AppState& state, Link& link) {
    link.close();
    const Settings& s = state.settings;
    const OpenResult r = link.open(s.portName, s.speedCode, s.parityCode);
    if (r) {
        state.link.portLost = false;
        state.link.openFailures = 0;
        state.trace.recordNote("Reopened " + s.portName);
        state.trace.requestRepaint();
    }
    return r;
}

} // namespace tarvo
