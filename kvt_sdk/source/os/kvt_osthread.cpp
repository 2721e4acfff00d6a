#include "kvt_osthread.h"

#include <cerrno>
#include <climits>
#include <ctime>

#include <unistd.h>

#include "kvt_error.h"

namespace kvt {

namespace {
const char *const kSourceFile = "kvt_sdk/source/os/kvt_osthread";

// Below this, a procedure that prints or reports (and more so one built with
// sanitizers) could overflow its stack; callers ask for as little as 8 bytes.
size_t stackSizeFor(unsigned requested) {
    size_t size = requested;
    size_t minimum = kvtOsThreadMinStackSize;
    long platformMinimum = sysconf(_SC_THREAD_STACK_MIN);
    if (platformMinimum > 0 && static_cast<size_t>(platformMinimum) > minimum)
        minimum = static_cast<size_t>(platformMinimum);
    if (size < minimum)
        size = minimum;
    long page = sysconf(_SC_PAGESIZE);
    if (page > 0)
        size = (size + page - 1) / page * page;
    return size;
}
} // namespace

const unsigned kvtOsThreadMinStackSize = 0x10000;

uint32_t kvtOsGetTickCount() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

kvtOsThread::kvtOsThread(kvtOsThreadProcedure procedure, void *userData, bool autoDelete)
    : m_uFlags(autoDelete ? static_cast<uint32_t>(FlagAutoDelete) : 0u), m_pProcedure(procedure),
      m_pUserData(userData), m_Thread(), m_bHasThread(false) {
    m_StopEvent.Reset();
}

kvtOsThread::~kvtOsThread() {
    Stop();
}

bool kvtOsThread::Start(unsigned stackSize) {
    if (IsStarted())
        Stop();
    if (m_pProcedure == nullptr) {
        kvtErrorReport(
            kvtError(kvtErrorFailed, "m_pProcedure == 0", kSourceFile, "kvt::kvtOsThread::Start", __LINE__));
        return false;
    }
    // A stop request left over from an earlier run must not end the new one.
    m_StopEvent.Reset();

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, stackSizeFor(stackSize));
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    // Running from now on, so that an owner testing IsRunning right after Start sees the new run.
    m_uFlags |= FlagRunning;
    int result = pthread_create(&m_Thread, &attributes, &kvtOsThread::routine, this);
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        m_uFlags &= ~static_cast<uint32_t>(FlagRunning);
        kvtErrorReport(kvtError(kvtErrorFailed,
                                "Can not create Thread\nWindows Error " + kvtErrorWindowsToString(result),
                                kSourceFile, "kvt::kvtOsThread::Start", __LINE__));
        return false;
    }
    m_bHasThread = true;
    return true;
}

void *kvtOsThread::routine(void *argument) {
    kvtOsThread *self = static_cast<kvtOsThread *>(argument);
    {
        std::lock_guard<std::recursive_mutex> guard(self->m_Lock);
        self->m_uFlags |= FlagRunning | FlagHasRun;
    }
    self->m_pProcedure(self, self->m_pUserData);
    {
        std::lock_guard<std::recursive_mutex> guard(self->m_Lock);
        self->m_uFlags &= ~static_cast<uint32_t>(FlagRunning);
    }
    self->m_StopEvent.Reset();
    if (self->testFlag(FlagAutoDelete)) {
        while (!self->testFlag(FlagRelease))
            usleep(1000);
        delete self;
    }
    return nullptr;
}

void kvtOsThread::Stop() {
    pthread_t thread;
    bool autoDelete;
    {
        std::lock_guard<std::recursive_mutex> guard(m_Lock);
        if (!m_bHasThread)
            return;
        thread = m_Thread;
        m_bHasThread = false;
        autoDelete = (m_uFlags & FlagAutoDelete) != 0;
    }
    m_StopEvent.Signal();
    if (autoDelete)
        pthread_detach(thread);
    else
        pthread_join(thread, nullptr);
}

void kvtOsThread::Release() {
    bool autoDelete;
    {
        std::lock_guard<std::recursive_mutex> guard(m_Lock);
        autoDelete = (m_uFlags & FlagAutoDelete) != 0;
        if (autoDelete && m_bHasThread) {
            pthread_detach(m_Thread);
            m_bHasThread = false;
        }
    }
    if (!autoDelete)
        return;
    m_StopEvent.Signal();
    // The thread deletes this object once it sees the flag; nothing may touch it afterwards.
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    m_uFlags |= FlagRelease;
}

bool kvtOsThread::testFlag(uint32_t flag) {
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    return (m_uFlags & flag) != 0;
}

bool kvtOsThread::IsAutoDelete() {
    return testFlag(FlagAutoDelete);
}

bool kvtOsThread::IsStarted() {
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    return m_bHasThread;
}

bool kvtOsThread::HasRun() {
    return testFlag(FlagHasRun);
}

bool kvtOsThread::IsRunning() {
    return testFlag(FlagRunning);
}

bool kvtOsThread::IsStopRequested() {
    return m_StopEvent.IsSignaled();
}

bool kvtOsThread::SleepUnlessStopped(unsigned ms) {
    return !m_StopEvent.Wait(ms);
}

} // namespace kvt
