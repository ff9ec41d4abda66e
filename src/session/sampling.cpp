#include "session/sampling.h"

#include <algorithm>
#include <array>
#include <new>
#include <span>
#include <string>
#include <string_view>

#include "core/operator.h"
#include "devices/device_kind.h"
#include "devices/register_map.h"
#include "logging/database_logger.h"
#include "logging/log_file.h"
#include "logging/sample_queue.h"
#include "session/app_state.h"

namespace tarvo {

Sampler::Sampler(AppState& state, Transport& bus, Operator& op, const Clock& clock)
    : m_state(state), m_bus(bus), m_op(op), m_clock(&clock) {}

std::time_t Sampler::nextGridTime(std::time_t passTime, int intervalMinutes) {
    // An interval below 1 minute can only come from a hand-edited settings
    // file. It has no grid, and the rounding below divides by it, so it
    // counts as the shortest interval the Configuration dialog offers.
    const int m = intervalUsed(intervalMinutes);
    const std::time_t t = passTime + 60 * static_cast<std::time_t>(m);
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr)
        return t;
    local.tm_sec = 0;
    local.tm_min = m * (local.tm_min / m);
    // tm_isdst stays as localtime_r set it: in the hour that a change to
    // standard time repeats, the rounded time belongs to the same offset as
    // t, not to the hour's first run an hour earlier.
    const std::time_t next = std::mktime(&local);
    // Rounding down within t's hour can never reach back to the pass time
    // unless the conversion failed; then the plain interval is the safe due
    // time rather than a time in the past that would run a pass every tick.
    if (next == static_cast<std::time_t>(-1) || next <= passTime)
        return t;
    return next;
}

void Sampler::scheduleNextSample() {
    m_nextSampleTime = nextGridTime(m_passTime, m_state.settings.interval);
}

void Sampler::queue(SampleQueue& target, const char* sinkName, const SampleRecord& record) {
    reportPush(target.push(record), sinkName, target.bound());
}

void Sampler::reportPush(SampleQueue::Push pushed, const char* sinkName, std::size_t bound) {
    if (pushed == SampleQueue::Push::Queued)
        return;
    m_state.counters.droppedCount = static_cast<unsigned long>(
        m_state.fileQueue.droppedCount() + m_state.databaseQueue.droppedCount() +
        (m_state.mqtt ? m_state.mqtt->status().dropped : 0));
    if (pushed != SampleQueue::Push::DroppingStarted)
        return;
    m_op.showMessage(std::string(sinkName) + " is not taking samples: " + std::to_string(bound) +
                     " are waiting, so the oldest are now being dropped.\n" + m_droppedHint);
}

void Sampler::takeSamples() {
    // The tick calls this only while a sink is on; should it ever be called
    // with both off, no device is read for nothing and the due time stays.
    if (!m_state.settings.fileLoggingActive && m_state.settings.databaseLogState != Active &&
        !m_state.mqtt)
        return;
    m_passTime = m_clock->now();
    // A due time more than an interval away means the wall clock was set
    // back (a logger started before the time was set): a pass at once, then
    // the grid of the new time, or none would run until the old time came
    // again.
    if (m_nextSampleTime - m_passTime >
        60 * static_cast<std::time_t>(intervalUsed(m_state.settings.interval)))
        m_nextSampleTime = 0;
    if (m_nextSampleTime != 0 && m_passTime < m_nextSampleTime)
        return;
    // Before the first read: a tick that runs while a message of this pass
    // is open then finds nothing due.
    scheduleNextSample();
    m_lastReads.clear();
    std::vector<MqttSink::Reading> mqttPass;

    const int entries = m_state.meters.count();
    for (int i = 0; i < entries; ++i) {
        if (m_stopRequested && m_stopRequested())
            break;
        const std::string text(m_state.meters.text(i));
        DeviceKind kind = classifyDevice(text);
        const int address = MeterList::lineAddress(text);
        if (address < 0)
            continue;

        std::shared_ptr<LogSample> sample;
        try {
            sample = std::make_shared<LogSample>();
        } catch (const std::bad_alloc&) {
            // Out of memory: hand what this pass has taken so far to the sinks.
            break;
        }

        const RegisterBlock block = sampleBlock(kind);
        if (block.empty()) {
            kind = NoDevice;
        } else {
            std::array<std::int32_t, kMaxSampleRegisters> registers{};
            const std::span<std::int32_t> values(registers.data(),
                                                 static_cast<std::size_t>(block.count));
            const ModbusResult result = readBlock(m_state.master, m_bus, address, block, values);
            m_lastReads.push_back({address, result});
            if (result == Ok) {
                ++m_state.counters.goodCount;
                if (isBranchMonitor(kind))
                    sample->currents = breakerSampleCurrents(kind, values);
                else if (isCircuitMeter(kind))
                    sample->meterValues = decodeFloats<kCircuitSampleValues>(values);
            } else {
                m_state.counters.lastError = result;
                ++m_state.counters.badCount;
                kind = NoDevice;
            }
        }
        sample->kind = kind;
        sample->address = address;
        sample->time = m_passTime;

        const SampleRecord record = std::move(sample);
        if (m_state.settings.fileLoggingActive)
            queue(m_state.fileQueue, "The log file", record);
        if (m_state.settings.databaseLogState == Active)
            queue(m_state.databaseQueue, "The database", record);
        if (m_state.mqtt)
            mqttPass.push_back({record, text});
        // A record neither sink wanted is freed here, with the last pointer.
    }
    // Handed over whole: the sink's own thread sends it.
    if (m_state.mqtt)
        reportPush(m_state.mqtt->queuePass(mqttPass), "The MQTT server", m_state.mqtt->bound());
    writeQueued();
}

void Sampler::writeQueued() {
    if (m_state.settings.fileLoggingActive)
        m_lastFile = WriteLogFile(m_state.settings, m_state.fileQueue);
    // Once a stop is asked for, this is the records' last chance: the
    // database gets its connect even inside the back-off, which only spaces
    // the attempts of a logger that goes on. A server back a moment before
    // the stop would otherwise lose every record that waited for it.
    const bool last = m_stopRequested && m_stopRequested();
    if (m_state.settings.databaseLogState == Active)
        InsertSamples(m_state.odbc, m_state.settings, m_state.databaseQueue, m_op,
                      last ? nullptr : m_clock);
}

} // namespace tarvo
