#ifndef KVT_OLMOVYXHEARTBEAT_H
#define KVT_OLMOVYXHEARTBEAT_H

// The two-channel client's heartbeat thread: it queries the server's time stamp once per
// period, rebuilds the connection when the monitor channel stays silent too long or a loss
// was seen, and ends a transfer whose answers stopped. Its steps are members of
// kvtOlmoTcpClientVyx (kvt_olmovyxheartbeat.cpp); these are its timings.

#include <cstdint>

#include "kvt_osthread.h"

namespace kvt {

const unsigned kvtOlmoHeartBeatPeriodMs = 5000;  // time-stamp query period
const int kvtOlmoHeartBeatTimeOutMs = 5000;      // silence above twice this rebuilds
const unsigned kvtOlmoTransferTimeOutMs = 30000; // a transfer without an answer this long ends
const unsigned kvtOlmoRebuildPauseMs = 1000;     // least time between two rebuilds after a loss
const unsigned kvtOlmoWatchSliceMs = 100;        // how often the heartbeat thread looks at losses

// The tick counter as the client's time stamps keep it: 0 stands for "never".
inline uint32_t kvtOlmoTickNow() {
    const uint32_t now = kvtOsGetTickCount();
    return now ? now : 1;
}

} // namespace kvt

#endif
