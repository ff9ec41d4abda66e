#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "link/modbus_master.h"
#include "logging/log_file.h"
#include "logging/sample_queue.h"

namespace tarvo {

struct AppState;
class Operator;
class Transport;

/// The periodic sampling of every device in the "Available Meters" list:
/// the main window's takeSamples and scheduleNextSample over the
/// process-wide state.
///
/// A due pass reads each listed device once, in list order, with the sample
/// read of its kind, and queues one LogSample per device in the file queue
/// (AppState::fileQueue, while file logging is on) and/or the database queue
/// (AppState::databaseQueue, while the database logging state is Active).
/// The same record object goes into both queues; each consumer pops it and
/// it is freed by whichever lets go last. After the reads the pass calls
/// WriteLogFile for the file queue and then InsertSamples over AppState::odbc
/// for the database queue, which inserts what it can and leaves the rest
/// queued for the next pass, under the queue's bound.
///
/// Everything runs on the user-interface thread inside a timer tick; a pass
/// blocks it for one transaction per listed device. The next due time is set
/// before the first read, so a tick that ran while a message of the pass was
/// open (a message outside the tick waits for the operator) finds nothing due.
class Sampler {
public:
    /// `clock` must outlive the sampler.
    Sampler(AppState& state, Transport& bus, Operator& op, const Clock& clock);

    void setClock(const Clock& clock) { m_clock = &clock; }

    /// Asked before each device read of a pass; when it says stop, the pass
    /// reads no more devices and hands what it took to the sinks. A logger
    /// told to end then waits for one transaction, not for the whole bus.
    void setStopCheck(std::function<bool()> stopRequested) {
        m_stopRequested = std::move(stopRequested);
    }

    /// The last line of the message that the oldest records are being
    /// dropped: where the count can be seen. The window's text names File >
    /// Display Comms; a logger without a window says where it reports it.
    void setDroppedHint(std::string hint) { m_droppedHint = std::move(hint); }

    /// One device read of the latest pass: the address and its result.
    struct Read {
        int address = 0;
        ModbusResult result = Ok;
    };
    /// The device reads of the latest pass that ran, in list order.
    const std::vector<Read>& lastReads() const { return m_lastReads; }
    /// What the latest WriteLogFile call did (nothing while file logging is off).
    const LogFileResult& lastFileResult() const { return m_lastFile; }

    /// The interval in minutes the schedule uses for a `interval` setting:
    /// a value below 1 (only from a hand-edited file) counts as 1.
    static int intervalUsed(int intervalMinutes) {
        return intervalMinutes < 1 ? 1 : intervalMinutes;
    }

    /// Called by the timer tick while file logging or database logging is
    /// on; runs a pass when one is due (at once on the first call).
    void takeSamples();

    /// The pass's last step: WriteLogFile for the file queue and
    /// InsertSamples for the database queue, each while its sink is on.
    /// Once the stop check says stop, the database's connect back-off is
    /// not waited for.
    void writeQueued();

    /// Sets nextSampleTime to the first boundary of the logging interval's
    /// grid of the local hour after the pass time.
    void scheduleNextSample();

    /// The time taken by the latest takeSamples; 0 before the first.
    std::time_t passTime() const { return m_passTime; }
    /// When the next pass is due; 0 until the first pass.
    std::time_t nextSampleTime() const { return m_nextSampleTime; }

    /// The first boundary of the m-minute grid of the local hour after
    /// `passTime` (local time of the process's time zone).
    static std::time_t nextGridTime(std::time_t passTime, int intervalMinutes);

private:
    void queue(SampleQueue& target, const char* sinkName, const SampleRecord& record);
    void reportPush(SampleQueue::Push pushed, const char* sinkName, std::size_t bound);

    AppState& m_state;
    Transport& m_bus;
    Operator& m_op;
    const Clock* m_clock;
    std::function<bool()> m_stopRequested;
    std::time_t m_passTime = 0;
    std::time_t m_nextSampleTime = 0;
    std::string m_droppedHint = "File > Display Comms shows how many under \"Dropped\".";
    std::vector<Read> m_lastReads;
    LogFileResult m_lastFile;
};

} // namespace tarvo
