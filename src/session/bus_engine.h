#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace tarvo {

/// Where the bus thread hands what a job produced: to the thread that shows
/// it. The window implements it with a queued call into its event loop; a
/// program without a window runs what it is given itself.
class ResultPoster {
public:
    virtual ~ResultPoster() = default;
    /// Must not block and must not run `fn` on the calling thread when that
    /// is the bus thread: `fn` touches what the receiving thread owns.
    virtual void post(std::function<void()> fn) = 0;
};

/// The one owner of the line: a queue of jobs run one at a time, in the
/// order posted, on one bus thread. Every Modbus transaction of the program
/// runs inside a job, so the frames, their order and their waits are those
/// of one caller doing everything in turn, and the thread that posts (the
/// window's) never waits for the line.
///
/// While the engine runs, what the jobs touch (the port, the master, the
/// trace, the counters, the devices, the queues) belongs to the bus thread;
/// other threads reach it only by posting a job, and see it through copies
/// the jobs hand back with their `done`.
///
/// Inline mode runs each job at once on the caller's thread, then its
/// `done`: a caller that steps the program one call at a time (tests of the
/// window, the command-line settings command) sees each call finished when
/// it returns.
class BusEngine {
public:
    enum class Mode { Thread, Inline };

    /// `poster` receives every `done` of a threaded engine and must outlive
    /// it; Inline mode calls `done` directly and never uses it.
    BusEngine(ResultPoster* poster, Mode mode);
    /// stop().
    ~BusEngine();
    BusEngine(const BusEngine&) = delete;
    BusEngine& operator=(const BusEngine&) = delete;

    /// Queues `work` for the bus thread and returns at once (Inline: runs it
    /// and `done` before returning). When `work` has returned, `done` (may
    /// be empty) goes to the poster; the dones of a thread arrive in job
    /// order. After stop() it does nothing.
    void post(std::function<void()> work, std::function<void()> done = {});

    /// Posts `work` and blocks the caller until it has run on the bus
    /// thread: for callers that have nothing else to do meanwhile (the
    /// headless logger's main thread, a command-line program). Never from a
    /// job, and never from the window's thread. Returns false when the
    /// engine had stopped and `work` did not run.
    bool call(const std::function<void()>& work);

    /// Lets the running job finish (a job that takes long checks its own
    /// stop flag), drops the queued ones and joins the thread. Their dones
    /// are not posted. Idempotent.
    void stop();

    /// Jobs posted and not yet finished, the running one included; a
    /// finished job's `done` has been posted.
    int pending() const { return m_pending.load(); }

    bool threaded() const { return m_mode == Mode::Thread; }

    /// Whether the caller is the bus thread (always true Inline).
    bool onBusThread() const;

private:
    struct Job {
        std::function<void()> work;
        std::function<void()> done;
        /// Run instead of `work` when stop() drops the job.
        std::function<void()> dropped;
    };
    void run();

    ResultPoster* m_poster;
    const Mode m_mode;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs;
    bool m_stopping = false;
    std::atomic<int> m_pending{0};
    std::thread m_thread;
};

} // namespace tarvo
