#ifndef KVT_OSTHREAD_H
#define KVT_OSTHREAD_H

#include <cstdint>
#include <mutex>

#include <pthread.h>

#include "kvt_osevent.h"

namespace kvt {

// Milliseconds since an arbitrary fixed point (monotonic clock); wraps like a 32-bit counter.
uint32_t kvtOsGetTickCount();

class kvtIOsThread {
public:
    virtual ~kvtIOsThread() {}
    virtual bool IsAutoDelete() = 0;
    virtual bool IsStarted() = 0;
    virtual bool HasRun() = 0;
    virtual bool IsRunning() = 0;
    virtual bool IsStopRequested() = 0;
    // Waits up to ms for a stop request: true when the time ran out, false when a stop was requested.
    virtual bool SleepUnlessStopped(unsigned ms) = 0;
};

typedef void (*kvtOsThreadProcedure)(kvtIOsThread *thread, void *userData);

// Smallest stack a thread gets, whatever its caller asks for.
extern const unsigned kvtOsThreadMinStackSize;

class kvtOsThread : public kvtIOsThread {
public:
    kvtOsThread(kvtOsThreadProcedure procedure, void *userData, bool autoDelete);
    ~kvtOsThread() override;
    kvtOsThread(const kvtOsThread &) = delete;
    kvtOsThread &operator=(const kvtOsThread &) = delete;

    bool Start(unsigned stackSize);
    void Stop();
    // Self-deleting threads only, after a successful Start: requests a stop and
    // lets the thread delete its object once the procedure has returned. The
    // owner must not touch the object afterwards (nor delete it itself).
    void Release();

    bool IsAutoDelete() override;
    bool IsStarted() override;
    bool HasRun() override;
    bool IsRunning() override;
    bool IsStopRequested() override;
    bool SleepUnlessStopped(unsigned ms) override;

private:
    enum : uint32_t { FlagAutoDelete = 0x1, FlagRunning = 0x2, FlagHasRun = 0x4, FlagRelease = 0x8 };

    static void *routine(void *argument);
    bool testFlag(uint32_t flag);

    uint32_t m_uFlags;
    kvtOsEvent m_StopEvent;
    std::recursive_mutex m_Lock;
    kvtOsThreadProcedure m_pProcedure;
    void *m_pUserData;
    pthread_t m_Thread;
    bool m_bHasThread;
};

} // namespace kvt

#endif
