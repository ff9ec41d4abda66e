#pragma once

// In-process use of the bus simulator, for integration tests:
//
//     #include "sim/server.h"
//
//     tarvo::sim::PtyServer sim;                       // a pty served on its own thread
//     sim.bus().addDevice(tarvo::sim::Model::Branch, 2, "PNL1");
//     sim.bus().addDevice(tarvo::sim::Model::Circuit8, 3);
//     sim.bus().setRegister(2, 0, 12345);             // breaker 1 reads 12.345 A
//     sim.bus().setFault(3, tarvo::sim::Fault::BadCrc, 1);   // spoil its next reply
//
//     tarvo::SerialPort port;
//     port.open(sim.slavePath());               // the program's side of the line
//     ... ModbusMaster transactions ...
//
//     sim.bus().frames();   // every frame received, with time and what became of it
//     sim.bus().writes();   // every register write a device took or refused
//
// The Bus (sim/bus.h) is thread-safe: devices, registers and faults may be
// changed while the server answers. Devices hold the fixed values listed in
// sim/device.cpp until changed; Bus::setLive turns on the moving demo values.
// The log is filled before the reply is sent, so once a master's transaction
// returns its frame is in the log.

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "sim/bus.h"

namespace tarvo::sim {

/// Serves a bus on one open descriptor (a pty master or a serial line) on its
/// own thread: cuts frames by the silent interval, answers them through the
/// Bus, and (in live mode) advances the devices about ten times a second.
/// Bytes that arrive without a silent interval for more than 256 bytes are
/// dropped as one overflow; the next silence starts a new frame, so garbage
/// and floods never wedge it. The descriptor is not closed by the server.
class LineServer {
public:
    LineServer(Bus& bus, int fd, std::chrono::microseconds silentInterval);
    ~LineServer();
    LineServer(const LineServer&) = delete;
    LineServer& operator=(const LineServer&) = delete;

    /// Starts the thread; false when it could not be started.
    bool start();
    /// Stops and joins the thread; also cuts short a pending late or split reply.
    void stop();

private:
    void run();
    void serveFrame(const Bytes& frame, bool overflow, Clock::time_point lastByte);
    // Waits on the wake pipe; true when stop() was called.
    bool waitForStop(std::chrono::microseconds timeout);
    void writeAll(const Bytes& bytes);

    Bus& m_bus;
    int m_fd;
    std::chrono::microseconds m_interval;
    int m_wake[2] = {-1, -1};
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
};

/// A pseudo-terminal with a bus behind it, served from the moment it is
/// constructed until it is destroyed. Open slavePath() with
/// tarvo::SerialPort::open (or any Modbus master). Both ends are in
/// raw mode. Throws std::system_error when no pseudo-terminal can be opened.
class PtyServer {
public:
    /// Bytes written in one call reach the other end of a pty together, so a
    /// few milliseconds of silence safely end a frame there whatever the
    /// configured speed.
    static constexpr std::chrono::microseconds kPtyInterval{5000};

    explicit PtyServer(std::chrono::microseconds silentInterval = kPtyInterval);
    ~PtyServer();
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    Bus& bus() { return m_bus; }
    const std::string& slavePath() const { return m_slavePath; }

private:
    // Order matters: the path is filled while the master is opened.
    Bus m_bus;
    std::string m_slavePath;
    int m_master = -1;
    LineServer m_server;
};

/// Opens a pseudo-terminal for a server: raw mode on both ends, master
/// non-blocking. Returns the master descriptor and sets `slavePath`, or -1.
int openServerPty(std::string& slavePath);

} // namespace tarvo::sim
