// Events and threads: manual-reset semantics, cooperative stop, restart and state flags.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <pthread.h>

#include "kvt_osevent.h"
#include "kvt_osthread.h"
#include "sdk_test_support.h"

using namespace kvt;
using sdktest::MsSince;
using sdktest::ReportRecorder;
using sdktest::WaitUntil;

TEST(kvtOsEventTest, ManualResetStaysSignalledUntilReset) {
    kvtOsEvent event;
    EXPECT_FALSE(event.IsSignaled());
    EXPECT_FALSE(event.Wait(0));
    EXPECT_FALSE(event.Wait(20));
    EXPECT_TRUE(event.Signal());
    EXPECT_TRUE(event.IsSignaled());
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait(kvtInfinite));
    EXPECT_TRUE(event.IsSignaled()) << "waiting does not clear a manual-reset event";
    EXPECT_TRUE(event.Reset());
    EXPECT_FALSE(event.IsSignaled());
}

TEST(kvtOsEventTest, WaitWakesWhenAnotherThreadSignals) {
    kvtOsEvent event;
    std::atomic<bool> woke{false};
    std::thread waiter([&] { woke = event.Wait(60000); });
    std::thread signaller([&] { event.Signal(); });
    signaller.join();
    waiter.join();
    EXPECT_TRUE(woke);
}

namespace {

struct Sleeper {
    std::atomic<int> runs{0};
    std::atomic<int> sleepResults{0}; // number of SleepUnlessStopped calls that returned true
    std::atomic<bool> lastSleep{true};
    unsigned sleepMs = 60000;
};

void SleepOnce(kvtIOsThread *thread, void *data) {
    Sleeper *s = static_cast<Sleeper *>(data);
    ++s->runs;
    bool slept = thread->SleepUnlessStopped(s->sleepMs);
    s->lastSleep = slept;
    if (slept)
        ++s->sleepResults;
}

void LoopUntilStopped(kvtIOsThread *thread, void *data) {
    Sleeper *s = static_cast<Sleeper *>(data);
    ++s->runs;
    while (!thread->IsStopRequested())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void ReturnAtOnce(kvtIOsThread *, void *data) {
    ++static_cast<Sleeper *>(data)->runs;
}

} // namespace

TEST(kvtOsThreadTest, StartWithoutProcedureReportsAndFails) {
    ReportRecorder reports;
    kvtOsThread thread(nullptr, nullptr, false);
    EXPECT_FALSE(thread.Start(0x10000));
    EXPECT_FALSE(thread.IsStarted());
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_FALSE(thread.HasRun());
    ASSERT_EQ(reports.Count(), 1u);
    EXPECT_EQ(reports.All()[0].number, 2);
    EXPECT_TRUE(reports.Has("Custom Message - : m_pProcedure == 0"));
    EXPECT_TRUE(reports.Has("Function ------- : kvt::kvtOsThread::Start"));
    EXPECT_TRUE(reports.Has("File ----------- : kvt_sdk/source/os/kvt_osthread"));
}

TEST(kvtOsThreadTest, StopWakesASleepingProcedure) {
    Sleeper s;
    kvtOsThread thread(&SleepOnce, &s, false);
    EXPECT_FALSE(thread.IsAutoDelete());
    ASSERT_TRUE(thread.Start(0x100000));
    EXPECT_TRUE(thread.IsStarted());
    ASSERT_TRUE(WaitUntil([&] { return s.runs == 1; }));
    EXPECT_TRUE(thread.IsRunning());
    EXPECT_TRUE(thread.HasRun());
    auto start = std::chrono::steady_clock::now();
    thread.Stop();
    EXPECT_LT(MsSince(start), 30000) << "Stop must not wait for the 60 s sleep";
    EXPECT_FALSE(s.lastSleep) << "SleepUnlessStopped gives false on a stop request";
    EXPECT_FALSE(thread.IsStarted());
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_TRUE(thread.HasRun());
}

TEST(kvtOsThreadTest, SleepRunsOutWithoutStop) {
    Sleeper s;
    s.sleepMs = 20;
    kvtOsThread thread(&SleepOnce, &s, false);
    ASSERT_TRUE(thread.Start(8)); // below the platform minimum: raised
    ASSERT_TRUE(WaitUntil([&] { return !thread.IsRunning(); }));
    EXPECT_EQ(s.sleepResults, 1);
    EXPECT_TRUE(thread.IsStarted()) << "the handle is kept until Stop";
    EXPECT_TRUE(thread.HasRun());
    thread.Stop();
    EXPECT_FALSE(thread.IsStarted());
}

TEST(kvtOsThreadTest, StartOnRunningThreadStopsTheOldRun) {
    Sleeper s;
    kvtOsThread thread(&LoopUntilStopped, &s, false);
    ASSERT_TRUE(thread.Start(0x10000));
    ASSERT_TRUE(WaitUntil([&] { return s.runs == 1; }));
    ASSERT_TRUE(thread.Start(0x10000));
    ASSERT_TRUE(WaitUntil([&] { return s.runs == 2; }));
    EXPECT_TRUE(thread.IsRunning());
    EXPECT_FALSE(thread.IsStopRequested()) << "the new run starts without a stop request";
    thread.Stop();
    EXPECT_FALSE(thread.IsRunning());
}

TEST(kvtOsThreadTest, RestartAfterStopAndAfterSelfReturn) {
    Sleeper s;
    kvtOsThread thread(&SleepOnce, &s, false);
    ASSERT_TRUE(thread.Start(0x10000));
    ASSERT_TRUE(WaitUntil([&] { return s.runs == 1; }));
    thread.Stop();
    // A new run after a stop sleeps again instead of seeing the old request.
    s.sleepMs = 10;
    ASSERT_TRUE(thread.Start(0x10000));
    ASSERT_TRUE(WaitUntil([&] { return s.runs == 2 && !thread.IsRunning(); }));
    EXPECT_TRUE(s.lastSleep);
    // Stopping a procedure that already returned leaves a request behind; Start clears it.
    thread.Stop();
    ASSERT_TRUE(thread.Start(0x10000));
    ASSERT_TRUE(WaitUntil([&] { return s.runs == 3 && !thread.IsRunning(); }));
    EXPECT_TRUE(s.lastSleep);
    EXPECT_EQ(s.sleepResults, 2);
}

TEST(kvtOsThreadTest, NeverStartedStopAndDestroyReturnAtOnce) {
    Sleeper s;
    auto start = std::chrono::steady_clock::now();
    {
        kvtOsThread thread(&ReturnAtOnce, &s, false);
        thread.Stop();
        thread.Stop();
        EXPECT_FALSE(thread.IsStarted());
        EXPECT_FALSE(thread.HasRun());
        EXPECT_FALSE(thread.IsStopRequested());
    }
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_EQ(s.runs, 0);
}

TEST(kvtOsThreadTest, DestructorStopsARunningThread) {
    Sleeper s;
    {
        kvtOsThread thread(&LoopUntilStopped, &s, false);
        ASSERT_TRUE(thread.Start(0x10000));
        ASSERT_TRUE(WaitUntil([&] { return s.runs == 1; }));
    }
    EXPECT_EQ(s.runs, 1);
}

namespace {
std::atomic<size_t> g_stackSize{0};
void MeasureStack(kvtIOsThread *, void *) {
    pthread_attr_t attributes;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        pthread_attr_getstacksize(&attributes, &size);
        pthread_attr_destroy(&attributes);
    }
    g_stackSize = size;
}
} // namespace

TEST(kvtOsThreadTest, StackSizeIsHonoured) {
    const struct {
        unsigned requested;
        size_t atLeast;
    } cases[] = {{0x100000, 0x100000}, {0x40000, 0x40000}, {8, kvtOsThreadMinStackSize}};
    for (const auto &c : cases) {
        g_stackSize = 0;
        kvtOsThread thread(&MeasureStack, nullptr, false);
        ASSERT_TRUE(thread.Start(c.requested));
        thread.Stop();
        EXPECT_GE(g_stackSize.load(), c.atLeast) << "requested " << c.requested;
        EXPECT_LT(g_stackSize.load(), c.atLeast + 0x100000) << "requested " << c.requested;
    }
}

TEST(kvtOsThreadTest, SelfDeletingThreadDeletesItselfAfterRelease) {
    Sleeper s;
    s.sleepMs = 60000;
    kvtOsThread *thread = new kvtOsThread(&SleepOnce, &s, true);
    EXPECT_TRUE(thread->IsAutoDelete());
    ASSERT_TRUE(thread->Start(0x10000));
    ASSERT_TRUE(WaitUntil([&] { return s.runs == 1; }));
    thread->Release(); // stops it; the thread frees the object (a leak shows under ASan)
    ASSERT_TRUE(WaitUntil([&] { return !s.lastSleep; }));
}

TEST(kvtOsGetTickCountTest, AdvancesInMilliseconds) {
    uint32_t first = kvtOsGetTickCount();
    ASSERT_TRUE(WaitUntil([&] { return kvtOsGetTickCount() - first >= 20; }));
    auto start = std::chrono::steady_clock::now();
    uint32_t begin = kvtOsGetTickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    uint32_t elapsed = kvtOsGetTickCount() - begin;
    EXPECT_GE(elapsed, 100u);
    EXPECT_LE(elapsed, static_cast<uint32_t>(MsSince(start) + 1));
}
