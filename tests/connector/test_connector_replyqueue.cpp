#include "commandreplyqueue.h"

#include <gtest/gtest.h>

#include <thread>

TEST(CommandReplyQueue, AnswersReachTheirRequestsInOrderOnce) {
    CommandReplyQueue queue;
    queue.Push("console");
    queue.Push("guardian"); // sent before the first answer came
    QString tag;
    ASSERT_TRUE(queue.Pop(&tag));
    EXPECT_EQ(tag, "console");
    ASSERT_TRUE(queue.Pop(&tag));
    EXPECT_EQ(tag, "guardian");
    EXPECT_FALSE(queue.Pop(&tag));
    EXPECT_TRUE(tag.isEmpty());
}

TEST(CommandReplyQueue, AnswerNamingItsCommandFindsItsRequest) {
    CommandReplyQueue queue;
    queue.Push("upload", "kill $(pidof mono)"); // its answer will be swallowed by the upload
    queue.Push("console", "ls");
    queue.Push("guardian", "/nalrio/bin/nalrio_guardian x");
    QString tag;
    ASSERT_TRUE(queue.Pop(&tag, "ls"));
    EXPECT_EQ(tag, "console");
    ASSERT_TRUE(queue.Pop(&tag, "not pending")); // unknown command: the oldest request
    EXPECT_EQ(tag, "upload");
    ASSERT_TRUE(queue.Pop(&tag));
    EXPECT_EQ(tag, "guardian");
}

TEST(CommandReplyQueue, ClearForgetsPendingAndBoundDropsOldest) {
    CommandReplyQueue queue;
    queue.Push("a");
    queue.Clear();
    EXPECT_EQ(queue.Count(), 0);

    for (int i = 0; i < CommandReplyQueue::kMaxPending + 2; ++i)
        queue.Push(QString::number(i));
    EXPECT_EQ(queue.Count(), CommandReplyQueue::kMaxPending);
    QString tag;
    ASSERT_TRUE(queue.Pop(&tag));
    EXPECT_EQ(tag, "2");
}

TEST(CommandReplyQueue, PushAndPopFromTwoThreads) {
    CommandReplyQueue queue;
    constexpr int kCount = 4000; // below the bound, so nothing is dropped
    std::thread producer([&] {
        for (int i = 0; i < kCount; ++i)
            queue.Push(QString::number(i));
    });
    int expected = 0;
    QString tag;
    while (expected < kCount) {
        if (queue.Pop(&tag)) {
            ASSERT_EQ(tag.toInt(), expected);
            ++expected;
        }
    }
    producer.join();
    EXPECT_EQ(queue.Count(), 0);
}
