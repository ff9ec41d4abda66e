#include "logging/sample_queue.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

namespace tarvo {
namespace {

SampleRecord record(int address) {
    auto s = std::make_shared<LogSample>();
    s->address = address;
    return s;
}

TEST(SampleQueueTest, BoundDropsTheOldestAndCountsEveryDrop) {
    EXPECT_GE(SampleQueue().bound(), 32u * 24u * 60u) << "a day of 32 devices at one minute";
    SampleQueue q(3);
    using P = SampleQueue::Push;
    std::vector<P> results;
    for (int a = 1; a <= 6; ++a)
        results.push_back(q.push(record(a)));
    q.push(nullptr); // ignored
    EXPECT_EQ(results, (std::vector<P>{P::Queued, P::Queued, P::Queued, P::DroppingStarted,
                                       P::Dropped, P::Dropped}))
        << "dropping is reported as starting once";
    EXPECT_EQ(q.droppedCount(), 3u);
    // The newest records survive, oldest first.
    for (int a = 4; a <= 6; ++a) {
        EXPECT_EQ(q.front()->address, a);
        q.popFront();
    }
    EXPECT_EQ(q.front(), nullptr);
    q.popFront(); // popping an empty queue is harmless

    // A later run of drops is reported anew; the count goes on.
    for (int a = 1; a <= 3; ++a)
        EXPECT_EQ(q.push(record(a)), P::Queued);
    EXPECT_EQ(q.push(record(4)), P::DroppingStarted);
    EXPECT_EQ(q.droppedCount(), 4u);
}

// A record in both queues: every order in which the two consumers (and the
// bound, and a discarding dialog) let go frees it exactly once, at the last.
struct OwnershipCase {
    const char* name;
    std::function<void(SampleQueue& file, SampleQueue& db)> first;
    std::function<void(SampleQueue& file, SampleQueue& db)> second;
};

TEST(SampleQueueTest, SharedRecordIsFreedByTheLastConsumer) {
    const OwnershipCase cases[] = {
        {"file writer, then inserter", [](auto& f, auto&) { f.popFront(); },
         [](auto&, auto& d) { d.popFront(); }},
        {"file queue discarded, then inserter", [](auto& f, auto&) { f.clear(); },
         [](auto&, auto& d) { d.popFront(); }},
        {"database queue dropped by its bound, then file writer",
         [](auto&, auto& d) { d.push(record(99)); }, [](auto& f, auto&) { f.popFront(); }},
    };
    for (const OwnershipCase& c : cases) {
        SCOPED_TRACE(c.name);
        SampleQueue file(1);
        SampleQueue db(1);
        std::weak_ptr<const LogSample> watch;
        {
            SampleRecord r = record(3);
            watch = r;
            file.push(r);
            db.push(r);
        }
        EXPECT_FALSE(watch.expired());
        c.first(file, db);
        EXPECT_FALSE(watch.expired()) << "still held by the other queue";
        c.second(file, db);
        EXPECT_TRUE(watch.expired()) << "freed by the last consumer";
    }
}

} // namespace
} // namespace tarvo
