#include "kvt_olmotcpclientvyx.h"

#include <string>

#include "kvt_log.h"
#include "kvt_olmoreport.h"

// The heartbeat thread of the two-channel client.

namespace kvt {

namespace {
const char *const kFile = "kvt_sdk/source/olmo/kvt_olmotcpclientvyx";
} // namespace

void kvtOlmoTcpClientVyx::thread_heart_beat(kvtIOsThread *thread, void *userData) {
    static_cast<kvtOlmoTcpClientVyx *>(userData)->heart_beat(thread);
}

void kvtOlmoTcpClientVyx::heart_beat(kvtIOsThread *thread) {
    // Looks often at losses and stalled transfers; beats (time-stamp query and silence
    // rule) once per period. The first beat comes one period after the start: a
    // connection made just now has nothing to prove yet.
    uint32_t lastBeat = kvtOlmoTickNow();
    for (;;) {
        int timeOut;
        uint32_t last;
        unsigned period;
        {
            std::lock_guard<std::recursive_mutex> lock(m_Lock);
            timeOut = m_iHeartBeatTimeOut;
            last = m_uLastReceive;
            period = m_uHeartBeatPeriod;
        }
        const uint32_t now = kvtOlmoTickNow();
        if (m_bLost.load()) {
            if (m_uLastRebuild == 0 || now - m_uLastRebuild >= kvtOlmoRebuildPauseMs)
                rebuild(m_iLostState.load());
        } else {
            watch_transfers();
        }
        if (now - lastBeat >= period) {
            lastBeat = now;
            beat(timeOut, last);
        }
        const unsigned slice = period < kvtOlmoWatchSliceMs ? period : kvtOlmoWatchSliceMs;
        if (!thread->SleepUnlessStopped(slice))
            break;
    }
    kvtLogPrintf(kvtLogLevel::Debug, "kvtOlmoTcpClientVyx::[Exit Heart beat!]\n");
}

void kvtOlmoTcpClientVyx::beat(int timeOut, uint32_t last) {
    if (!IsReady())
        return;
    const uint32_t elapsed = last == 0 ? 0 : kvtOsGetTickCount() - last;
    kvtLogPrintf(kvtLogLevel::Debug, "kvtOlmoTcpClientVyx::[Heart beat...][%i]\n", static_cast<int>(elapsed));
    QuerySystemTimeStamp();
    if (static_cast<int64_t>(elapsed) > 2 * static_cast<int64_t>(timeOut)) {
        KVT_OLMO_REPORT(kvtWarning, "Reset connection with olmo", kFile,
                        "kvt::kvtOlmoTcpClientVyx::thread_heart_beat");
        // The owner hears of the silence as the monitor channel's time-out, then of the closes.
        channel_connection(&m_Monitor, kvtSocketState::Connected, kvtOlmoConnectionState::TimeOut);
        rebuild(kvtOlmoConnectionState::TimeOut);
    }
}

void kvtOlmoTcpClientVyx::rebuild(kvtOlmoConnectionState closeState) {
    m_uLastRebuild = kvtOlmoTickNow();
    stop(closeState);
    {
        // The rebuilt connection gets a full window to show life; comparing with
        // the frame before the reset would tear it down again at the next tick.
        std::lock_guard<std::recursive_mutex> lock(m_Lock);
        m_uLastReceive = kvtOlmoTickNow();
    }
    start();
}

void kvtOlmoTcpClientVyx::watch_transfers() {
    unsigned limit;
    {
        std::lock_guard<std::recursive_mutex> lock(m_Lock);
        limit = m_uTransferTimeOut;
    }
    uint32_t now;
    bool stalled = false;
    {
        std::lock_guard<std::mutex> lock(m_TransferLock);
        // Read the clock under the lock: a step stamped after an earlier reading would wrap.
        now = kvtOlmoTickNow();
        stalled = (m_Download.Progress().active && now - m_uDownloadLastStep > limit) ||
                  (m_Upload.Progress().active && now - m_uUploadLastStep > limit);
    }
    if (!stalled)
        return;
    // The answers stopped: end the transfer with a record that says so, and rebuild the
    // connection, since the stream may be out of step with the exchange.
    end_transfers(kvtTransferError::TimedOut, "ended: no answer from the server for " +
                                                  std::to_string(limit / 1000) + "." +
                                                  std::to_string(limit % 1000 / 100) + " s");
    channel_connection(&m_Monitor, kvtSocketState::Connected, kvtOlmoConnectionState::TimeOut);
    rebuild(kvtOlmoConnectionState::TimeOut);
}

} // namespace kvt
