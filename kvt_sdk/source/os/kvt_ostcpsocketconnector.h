#ifndef KVT_OSTCPSOCKETCONNECTOR_H
#define KVT_OSTCPSOCKETCONNECTOR_H

#include <cstdint>
#include <mutex>
#include <string>

#include "kvt_ostcpsocket.h"
#include "kvt_osthread.h"

namespace kvt {

// Timing of the reconnect procedure.
const unsigned kvtConnectorPollMs = 1000;            // one wait on a pending connect
const unsigned kvtConnectorRetryPauseMs = 1000;      // pause after a failed attempt
const unsigned kvtConnectorDefaultTimeOutMs = 10000; // connect time-out when none is set
const unsigned kvtConnectorMinTimeOutMs = 1000;      // smaller connect time-outs are raised to this
const unsigned kvtConnectorStackSize = 0x40000;

// Connects a socket on a thread of its own and retries until connected or stopped.
// A derived class must call Stop in its own destructor, before its part of the
// object is gone, because OnTcpSocketConnector runs on the reconnect thread.
class kvtOsTcpSocketConnector {
public:
    explicit kvtOsTcpSocketConnector(kvtOsTcpSocket *socket);
    virtual ~kvtOsTcpSocketConnector();
    kvtOsTcpSocketConnector(const kvtOsTcpSocketConnector &) = delete;
    kvtOsTcpSocketConnector &operator=(const kvtOsTcpSocketConnector &) = delete;

    // Outcome of one attempt: Connected, or Unreachable (another follows). Runs on the reconnect thread.
    virtual void OnTcpSocketConnector(kvtSocketState state);

    int Start();
    int Stop();

    // The connection settings, under the connector's lock; they take effect at the next attempt.
    void SetConnection(const std::string &address, uint16_t port, uint32_t timeOutMs);
    std::string GetAddress();
    uint16_t GetPort();
    uint32_t GetConnectTimeOut();

    // Connect time-out actually used for a configured value (0 means the default).
    static unsigned EffectiveTimeOut(uint32_t timeOutMs);

protected:
    std::recursive_mutex m_Lock; // guards m_uTimeOut, m_strAddress and m_uPort
    uint32_t m_uTimeOut;
    std::string m_strAddress;
    uint16_t m_uPort;
    kvtOsThread *m_pThread; // owned; used only from the owner's thread
    kvtOsTcpSocket *m_pSo;  // not owned

private:
    static void thread(kvtIOsThread *thread, void *userData);
    void run(kvtIOsThread *thread);
    bool attempt(kvtIOsThread *thread);
};

} // namespace kvt

#endif
