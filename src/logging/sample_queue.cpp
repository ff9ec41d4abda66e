#include "logging/sample_queue.h"

#include <utility>

namespace tarvo {

SampleQueue::Push SampleQueue::push(SampleRecord record) {
    if (!record)
        return Push::Queued;
    Push result = Push::Queued;
    if (m_records.size() >= m_bound) {
        m_records.pop_front();
        ++m_dropped;
        result = m_dropping ? Push::Dropped : Push::DroppingStarted;
        m_dropping = true;
    }
    m_records.push_back(std::move(record));
    return result;
}

void SampleQueue::popFront() {
    if (m_records.empty())
        return;
    m_records.pop_front();
    if (m_records.empty())
        m_dropping = false;
}

void SampleQueue::clear() {
    m_records.clear();
    m_dropping = false;
}

} // namespace tarvo
