#pragma once

#include "link/serial_port.h"
#include "link/tcp_link.h"

namespace tarvo {

/// The program's one port: a serial line, or a panel bus behind an Ethernet
/// gateway when the name is a gateway name (rtu+tcp://, modbus+tcp://). The
/// name given to open() picks the link; every other call goes to the link
/// picked last. Both links live as long as the port, so nothing is
/// allocated when the operator switches between them, and the serial port's
/// behaviour is exactly what it is alone.
class PortLink : public Link {
public:
    /// `replyTimeoutMs`: see TcpLink; the serial line keeps its own time-outs.
    explicit PortLink(const int* replyTimeoutMs = nullptr) : m_tcp(replyTimeoutMs) {}

    OpenResult open(const std::string& name, int speedCode = kSpeed9600,
                    int parityCode = kParityNone) override {
        m_active->close();
        m_active = isGatewayName(name) ? static_cast<Link*>(&m_tcp) : &m_serial;
        return m_active->open(name, speedCode, parityCode);
    }
    void close() override { m_active->close(); }
    bool lost() const override { return m_active->lost(); }
    std::string lostCause() const override { return m_active->lostCause(); }

    void drain() override { m_active->drain(); }
    std::size_t write(std::span<const std::uint8_t> bytes) override {
        return m_active->write(bytes);
    }
    ReadResult read(std::span<std::uint8_t> buffer, std::size_t& received) override {
        return m_active->read(buffer, received);
    }
    ReadResult readWithin(std::span<std::uint8_t> buffer, std::size_t& received,
                          std::chrono::milliseconds firstByteWait) override {
        return m_active->readWithin(buffer, received, firstByteWait);
    }
    bool isOpen() const override { return m_active->isOpen(); }
    bool reframes() const override { return m_active->reframes(); }
    std::span<const std::uint8_t> wireSent() const override { return m_active->wireSent(); }
    std::span<const std::uint8_t> wireReceived() const override { return m_active->wireReceived(); }

private:
    SerialPort m_serial;
    TcpLink m_tcp;
    Link* m_active = &m_serial;
};

} // namespace tarvo
