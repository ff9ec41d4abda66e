#pragma once

// The bus behind an Ethernet gateway, for tests and the demo:
//
//     tarvo::sim::Bus bus;
//     bus.addDevice(tarvo::sim::Model::Branch, 2, "PNL1");
//     tarvo::sim::TcpServer gateway(bus, tarvo::sim::TcpServer::ModbusTcp);
//     port.open("modbus+tcp://127.0.0.1:" + std::to_string(gateway.port()));
//
// The same Bus may be served on a pseudo-terminal at the same time.

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "sim/bus.h"

namespace tarvo::sim {

/// How a gateway carries the bus over TCP.
enum class GatewayMode {
    RtuOverTcp, ///< a transparent gateway: RTU frames, CRC included, unchanged
    ModbusTcp,  ///< a protocol gateway: MBAP header and PDU, unit id = address
};

/// Serves a Bus over TCP on 127.0.0.1 on its own thread, to any number of
/// connections at once (answered one frame at a time, as one bus is).
///
/// RTU over TCP: a request ends when it is complete by its function (3, 4,
/// 5, 6: 8 bytes; 17: 4; 15, 16: 9 + byte count); a function of no known
/// length ends after 5 ms of silence. Replies go out with the bus's faults
/// as on the line, split and late replies included.
///
/// Modbus TCP: each MBAP frame becomes the RTU request unit id + PDU + CRC;
/// an intact reply goes back as MBAP + PDU with the request's transaction
/// id. A reply the gateway could not take from the bus (bad CRC, short,
/// long, noise or echo in front) is answered with exception 0B, "gateway
/// target device failed to respond", as protocol gateways do; silence stays
/// silence. A header with a protocol id other than 0 or a length outside 2
/// to 254 closes that connection.
/// A TCP port of 127.0.0.1 that was free a moment ago, for a server the
/// caller starts itself (a broker, "nothing listens here"); 0 when none.
int freeLoopbackPort();

class TcpServer {
public:
    /// Listens on 127.0.0.1:`port`; 0 takes a free port (see port()).
    /// Throws std::system_error when it cannot listen or start.
    TcpServer(Bus& bus, GatewayMode mode, int port = 0);
    ~TcpServer();
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    /// The port listened on.
    int port() const { return m_port; }
    /// The port name a Tarvo opens to reach this server.
    std::string portName() const;

    /// Closes every connection, as a gateway that restarts does; new
    /// connections are accepted as before.
    void dropConnections() { m_dropRequested = true; }

private:
    struct Client;
    void run();
    bool waitForStop(std::chrono::microseconds timeout);
    void serveRtu(Client& client, bool silenceEnded);
    bool serveModbusTcp(Client& client); // false: close the connection
    void sendAll(int fd, const Bytes& bytes);

    Bus& m_bus;
    GatewayMode m_mode;
    int m_listen = -1;
    int m_port = 0;
    int m_wake[2] = {-1, -1};
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_dropRequested{false};
    std::thread m_thread;
};

/// The length of the RTU request starting with `frame`, from its function
/// code: 0 when more bytes are needed to tell, -1 when its function has no
/// known length.
int rtuRequestLength(std::span<const std::uint8_t> frame);

} // namespace tarvo::sim
