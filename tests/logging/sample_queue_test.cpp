#include "logging/sample_queue.h"

#include <gtest/gtest.h>

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

// A record in both queues is freed when the last of them lets go of it,
// whether the consumer takes it or the bound drops it.
TEST(SampleQueueTest, SharedRecordIsFreedByTheLastQueueToLetGo) {
    SampleQueue file(1);
    SampleQueue db(1);
    std::weak_ptr<const LogSample> watch;
    {
        SampleRecord r = record(3);
        watch = r;
        file.push(r);
        db.push(r);
    }
    file.popFront();
    EXPECT_FALSE(watch.expired()) << "still held by the other queue";
    db.push(record(99));
    EXPECT_TRUE(watch.expired()) << "freed by the last queue";
}

} // namespace
} // namespace tarvo
