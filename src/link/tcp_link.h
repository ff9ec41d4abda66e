#pragma once

#include <bitset>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/link.h"

struct addrinfo;

namespace tarvo {

/// Where a panel bus behind an Ethernet gateway is reached, taken from a
/// port name:
///
///     rtu+tcp://HOST:PORT      RTU frames, CRC included, passed unchanged
///     modbus+tcp://HOST[:PORT] Modbus TCP (MBAP header, no CRC); PORT 502
///
/// HOST is a host name, an IPv4 literal or an IPv6 literal in brackets
/// ("[fe80::1]:502"). A transparent gateway has no standard port, so
/// rtu+tcp needs one.
struct GatewayAddress {
    enum Mode { RtuOverTcp, ModbusTcp };
    Mode mode = ModbusTcp;
    std::string host;
    std::string service; ///< the port number as text, for getaddrinfo
};

/// True when `name` begins with one of the gateway schemes: such a name is
/// never a serial device, even when the rest of it is malformed.
bool isGatewayName(std::string_view name);

/// The gateway a port name stands for; nullopt when the name is not one or
/// is malformed (no host, a port that is no number from 1 to 65535).
std::optional<GatewayAddress> parseGatewayName(std::string_view name);

/// How long a complete RTU reply starting with `frame` is, from its function
/// code: exceptions 5 bytes; functions 1 to 4, 17, 20, 21, 23 as 5 + the byte
/// count in byte 3; functions 5, 6, 15, 16 8 bytes. 0 when more bytes are
/// needed to tell; -1 for a function without a known length (noise, a
/// foreign frame), whose end only a silence shows.
int rtuReplyLength(std::span<const std::uint8_t> frame);

/// The Modbus TCP frame of an RTU request (address, PDU, CRC): the MBAP
/// header (transaction id, protocol 0, length = 1 + PDU, unit id = slave
/// address) and the PDU, the CRC left off. Empty for a request under 4 bytes.
std::vector<std::uint8_t> modbusTcpRequest(std::span<const std::uint8_t> rtu,
                                           std::uint16_t transaction);

/// The RTU frame of a Modbus TCP reply: unit id, PDU and a computed CRC.
/// The caller has checked the MBAP header.
std::vector<std::uint8_t> rtuReply(std::span<const std::uint8_t> modbusTcp);

/// The transport to an RS-485 gateway over TCP (non-blocking socket, poll).
///
/// A reply read ends when the frame is complete: for RTU over TCP by its
/// function, byte count and CRC length (rtuReplyLength), for Modbus TCP by
/// the MBAP length. TCP cuts a reply into segments as it likes, so there is
/// no inter-byte gap rule, except after a frame whose length no function
/// tells (noise): that one ends after 35 ms of silence as on the line.
/// Every read ends at the latest after the reply time-out (800 ms by
/// default, the setting `reply_timeout`) + 1 ms per requested byte.
///
/// A reply that comes after its time-out is not taken for the next
/// transaction's: RTU over TCP drains the input before sending, Modbus TCP
/// skips every reply whose transaction id is not the last request's.
///
/// The master hands RTU frames in and gets RTU frames back whatever the
/// mode; Modbus TCP is converted on the way, and the bytes as they went over
/// the wire are kept for the trace (wireSent, wireReceived).
class TcpLink : public Link {
public:
    static constexpr std::chrono::milliseconds kDefaultReplyTimeout{800};
    static constexpr std::chrono::milliseconds kReadTotalPerByte{1};
    static constexpr std::chrono::milliseconds kUnknownFrameGap{35};
    static constexpr int kSilentRepliesToLose = 3;

    /// `replyTimeoutMs`, when given, is read at each open and read: the
    /// constant part of the reply time-out, also the limit of a connect.
    /// Values below 1 mean the default.
    explicit TcpLink(const int* replyTimeoutMs = nullptr);
    ~TcpLink() override;
    TcpLink(const TcpLink&) = delete;
    TcpLink& operator=(const TcpLink&) = delete;

    /// Connects to the gateway `name` stands for, waiting at most the reply
    /// time-out over all its addresses; speed and parity are the gateway's
    /// business and are ignored. The name lookup and the connect together
    /// never take longer than the time-out. Errors: EINVAL for a malformed
    /// name, ENXIO for a host name that does not resolve, EAGAIN for a
    /// lookup no name server answered (in time), EIO for a lookup that
    /// failed otherwise, else the errno of the connect (ECONNREFUSED,
    /// ETIMEDOUT, EHOSTUNREACH, ...).
    OpenResult open(const std::string& name, int speedCode = kSpeed9600,
                    int parityCode = kParityNone) override;
    void close() override;

    void drain() override;
    std::size_t write(std::span<const std::uint8_t> bytes) override;
    ReadResult read(std::span<std::uint8_t> buffer, std::size_t& received) override;
    /// Ends after `firstByteWait` when no byte of a reply came from the
    /// gateway by then (see Transport). A gateway passes a reply on only as
    /// it receives it from the line, a Modbus TCP gateway only whole, so the
    /// wait covers the slave's answer and, for Modbus TCP, its reply's time
    /// on the line (a 25-byte Report Slave ID reply: 29 ms at 9600 baud).
    ReadResult readWithin(std::span<std::uint8_t> buffer, std::size_t& received,
                          std::chrono::milliseconds firstByteWait) override;

    /// A lost link stays open, its socket closed, until close() or open():
    /// every read and write fails at once meanwhile.
    bool isOpen() const override { return m_fd >= 0 || m_lost; }
    /// Set when the gateway closed or reset the connection, sent bytes that
    /// are no Modbus TCP frame (the stream cannot be followed then), or left
    /// kSilentRepliesToLose requests in a row to devices that had answered
    /// on this connection without a reply (a gateway that hangs with its
    /// connection still up); the socket is closed at once, so nothing more
    /// is read from it. A device that never answered does not count: a scan
    /// of empty addresses behind a transparent gateway times out on each.
    /// A gateway gone without a word (power cut) is found by keep-alive
    /// within about a minute while the link is idle.
    bool lost() const override { return m_lost; }
    std::string lostCause() const override { return m_lostCause; }

    bool reframes() const override { return m_mode == GatewayAddress::ModbusTcp; }
    std::span<const std::uint8_t> wireSent() const override { return m_wireOut; }
    std::span<const std::uint8_t> wireReceived() const override { return m_wireIn; }

    std::chrono::milliseconds replyTimeout() const;

private:
    struct Lookup;
    // Resolves the gateway's host before `deadline`; the addresses, or
    // nullptr with `error` set.
    addrinfo* lookUp(const GatewayAddress& gateway, std::chrono::steady_clock::time_point deadline,
                     int& error);

    // No byte by `first` ends the read as the total time-out does.
    ReadResult readRtu(std::span<std::uint8_t> buffer, std::size_t& received,
                       std::chrono::steady_clock::time_point first);
    ReadResult readModbusTcp(std::span<std::uint8_t> buffer, std::size_t& received,
                             std::chrono::steady_clock::time_point first);
    // Waits for input until `deadline` and appends what came to `into`
    // (at most `max` bytes). False on time-out or a lost connection.
    bool receive(std::vector<std::uint8_t>& into, std::size_t max,
                 std::chrono::steady_clock::time_point deadline);

    // Counts a read's outcome towards kSilentRepliesToLose.
    void noteReply(ReadResult result);
    // Marks the link lost for `cause` and closes the socket.
    void lose(std::string cause);
    // Loses the link for a failed recv or send (0: the gateway closed it),
    // or for a poll that reported a hang-up or error.
    void loseBy(int error);

    const int* m_replyTimeoutMs;
    int m_fd = -1;
    bool m_lost = false;
    std::string m_lostCause;
    GatewayAddress::Mode m_mode = GatewayAddress::RtuOverTcp;
    std::uint16_t m_transaction = 0;
    int m_requestAddress = 0;            // the slave address of the last request
    std::bitset<256> m_answered;         // addresses that replied on this connection
    int m_silentInARow = 0;              // of requests to those addresses
    std::vector<std::uint8_t> m_wireOut; // the last request as sent
    std::vector<std::uint8_t> m_wireIn;  // the last reply as received
    std::vector<std::uint8_t> m_input;   // received Modbus TCP bytes not yet taken
    std::vector<std::uint8_t> m_pending; // converted reply bytes not yet read
    // Lookups given up on that the resolver has not finished yet: their
    // request must live until it has.
    std::vector<std::unique_ptr<Lookup>> m_unfinished;
};

} // namespace tarvo
