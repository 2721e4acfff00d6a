#include "liveupdates.h"

#include <gtest/gtest.h>

// A take bounded in parameters hands over the oldest first changes, keeps the rest coalescing
// under their own ids, and sends no wake-up for what it left: the taker comes back for it.
TEST(LiveUpdates, BoundedTakeCarriesTheRestAndKeepsCoalescing) {
    int wakes = 0;
    LiveUpdates live([&wakes] { ++wakes; });
    for (uint32_t id = 1; id <= 5; ++id)
        live.addParameter(id, QString::number(id), QString());
    EXPECT_EQ(wakes, 1);

    LiveUpdates::Batch first = live.take(2);
    ASSERT_EQ(first.parameters.size(), 2u);
    EXPECT_EQ(first.parameters[0].id, 1u);
    EXPECT_EQ(first.parameters[1].id, 2u);
    EXPECT_TRUE(first.more);

    // A change of a carried parameter lands on its entry; a taken one comes back as new.
    live.addParameter(4, "four", QString());
    live.addParameter(1, "one", QString());
    EXPECT_EQ(wakes, 1);

    LiveUpdates::Batch second = live.take(2);
    ASSERT_EQ(second.parameters.size(), 2u);
    EXPECT_EQ(second.parameters[0].id, 3u);
    EXPECT_EQ(second.parameters[1].id, 4u);
    EXPECT_EQ(second.parameters[1].value, "four");
    EXPECT_EQ(second.parameters[1].changes, 2u);
    EXPECT_TRUE(second.more);

    LiveUpdates::Batch last = live.take(2);
    ASSERT_EQ(last.parameters.size(), 2u);
    EXPECT_EQ(last.parameters[0].id, 5u);
    EXPECT_EQ(last.parameters[1].id, 1u);
    EXPECT_EQ(last.parameters[1].value, "one");
    EXPECT_EQ(last.parameters[1].changes, 1u);
    EXPECT_FALSE(last.more);

    // Drained: the next change wakes again.
    live.addParameter(2, "two", QString());
    EXPECT_EQ(wakes, 2);
    EXPECT_EQ(live.take().parameters.size(), 1u);
}
