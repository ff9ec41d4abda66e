#include "session/bus_engine.h"

namespace tarvo {

BusEngine::BusEngine(ResultPoster* poster, Mode mode) : m_poster(poster), m_mode(mode) {
    if (m_mode == Mode::Thread)
        m_thread = std::thread([this] { run(); });
}

BusEngine::~BusEngine() {
    stop();
}

void BusEngine::post(std::function<void()> work, std::function<void()> done) {
    if (m_mode == Mode::Inline) {
        if (m_stopping)
            return;
        ++m_pending;
        if (work)
            work();
        --m_pending;
        if (done)
            done();
        return;
    }
    {
        const std::lock_guard lock(m_mutex);
        if (m_stopping)
            return;
        m_jobs.push_back({std::move(work), std::move(done), {}});
        ++m_pending;
    }
    m_wake.notify_one();
}

bool BusEngine::call(const std::function<void()>& work) {
    if (m_mode == Mode::Inline || onBusThread()) {
        if (m_stopping)
            return false;
        work();
        return true;
    }
    std::mutex doneMutex;
    std::condition_variable doneWake;
    bool finished = false;
    bool dropped = false;
    {
        const std::lock_guard lock(m_mutex);
        if (m_stopping)
            return false;
        // `done` is run here on the bus thread rather than posted: the caller
        // waits for it and owns nothing a poster would have to reach.
        m_jobs.push_back({[&] {
                              work();
                              const std::lock_guard doneLock(doneMutex);
                              finished = true;
                              doneWake.notify_one();
                          },
                          {},
                          [&] {
                              const std::lock_guard doneLock(doneMutex);
                              dropped = true;
                              doneWake.notify_one();
                          }});
        ++m_pending;
    }
    m_wake.notify_one();
    std::unique_lock doneLock(doneMutex);
    doneWake.wait(doneLock, [&] { return finished || dropped; });
    return finished;
}

void BusEngine::stop() {
    std::deque<Job> dropped;
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
        dropped.swap(m_jobs);
        m_pending -= static_cast<int>(dropped.size());
    }
    m_wake.notify_all();
    for (Job& job : dropped)
        if (job.dropped)
            job.dropped();
    if (m_thread.joinable() && !onBusThread())
        m_thread.join();
}

bool BusEngine::onBusThread() const {
    return m_mode == Mode::Inline || std::this_thread::get_id() == m_thread.get_id();
}

void BusEngine::run() {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_jobs.empty())
                return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        if (job.work)
            job.work();
        // Posted before the count drops: whoever sees no job pending finds
        // every result in its queue.
        if (job.done && m_poster)
            m_poster->post(std::move(job.done));
        --m_pending;
    }
}

} // namespace tarvo
