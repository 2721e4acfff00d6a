#include "kvt_ostcpsocketconnector.h"

#include <cstdio>
#include <new>

#include "kvt_error.h"
#include "kvt_log.h"

namespace kvt {

namespace {
const char *const kSourceFile = "kvt_sdk/source/os/kvt_ostcpsocketconnector";
}

kvtOsTcpSocketConnector::kvtOsTcpSocketConnector(kvtOsTcpSocket *socket)
    : m_uTimeOut(0), m_uPort(0), m_pThread(nullptr), m_pSo(socket) {}

kvtOsTcpSocketConnector::~kvtOsTcpSocketConnector() {
    Stop();
}

void kvtOsTcpSocketConnector::OnTcpSocketConnector(kvtSocketState state) {
    kvtLogPrintf(kvtLogLevel::Debug, "kvtOsTcpSocketConnector::OnTcpSocketConnector(%i)\n",
                 static_cast<int>(state));
    fflush(stdout);
}

void kvtOsTcpSocketConnector::SetConnection(const std::string &address, uint16_t port, uint32_t timeOutMs) {
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    m_strAddress = address;
    m_uPort = port;
    m_uTimeOut = timeOutMs;
}

std::string kvtOsTcpSocketConnector::GetAddress() {
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    return m_strAddress;
}

uint16_t kvtOsTcpSocketConnector::GetPort() {
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    return m_uPort;
}

uint32_t kvtOsTcpSocketConnector::GetConnectTimeOut() {
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    return m_uTimeOut;
}

unsigned kvtOsTcpSocketConnector::EffectiveTimeOut(uint32_t timeOutMs) {
    unsigned limit = timeOutMs == 0 ? kvtConnectorDefaultTimeOutMs : timeOutMs;
    return limit < kvtConnectorMinTimeOutMs ? kvtConnectorMinTimeOutMs : limit;
}

int kvtOsTcpSocketConnector::Start() {
    const char *const function = "kvt::kvtOsTcpSocketConnector::Start";
    {
        std::lock_guard<std::recursive_mutex> guard(m_Lock);
        if (m_pSo == nullptr)
            return kvtErrorReport(kvtError(kvtErrorInvalidArgument,
                                           "m_pSo == 0, can not start reconnect thre with invalid argument",
                                           kSourceFile, function, __LINE__));
    }
    if (m_pThread != nullptr) {
        if (m_pThread->IsRunning())
            return 0;
        delete m_pThread;
        m_pThread = nullptr;
    }
    m_pThread = new (std::nothrow) kvtOsThread(&kvtOsTcpSocketConnector::thread, this, false);
    if (m_pThread == nullptr)
        return kvtErrorReport(
            kvtError(kvtErrorOutOfMemory, "m_pThread == 0", kSourceFile, function, __LINE__));
    if (!m_pThread->Start(kvtConnectorStackSize)) {
        delete m_pThread;
        m_pThread = nullptr;
        return kvtErrorReport(
            kvtError(kvtErrorFailed, "Can not start the thread", kSourceFile, function, __LINE__));
    }
    return 0;
}

int kvtOsTcpSocketConnector::Stop() {
    // Deleting the thread object signals its stop event and waits for the procedure to return.
    delete m_pThread;
    m_pThread = nullptr;
    return 0;
}

void kvtOsTcpSocketConnector::thread(kvtIOsThread *thread, void *userData) {
    static_cast<kvtOsTcpSocketConnector *>(userData)->run(thread);
}

void kvtOsTcpSocketConnector::run(kvtIOsThread *thread) {
    if (!thread->IsStopRequested()) {
        // The first failure of an outage is reported as such; the retries after it only as notes.
        m_pSo->SetConnectFailuresQuiet(false);
        while (!attempt(thread))
            m_pSo->SetConnectFailuresQuiet(true);
        m_pSo->SetConnectFailuresQuiet(false);
    }
    kvtErrorReport(kvtError(kvtInfo, "Exit kvtOsTcpSocketConnector::thread", kSourceFile,
                            "kvt::kvtOsTcpSocketConnector::thread", __LINE__));
}

// One connection attempt; true when the procedure is to end (connected or stop requested).
bool kvtOsTcpSocketConnector::attempt(kvtIOsThread *thread) {
    std::string address;
    uint16_t port;
    uint32_t timeOut;
    {
        std::lock_guard<std::recursive_mutex> guard(m_Lock);
        address = m_strAddress;
        port = m_uPort;
        timeOut = m_uTimeOut;
    }
    if (m_pSo->Close() != 0)
        kvtErrorReport(kvtError(kvtErrorFailed, "Can not close the socket", kSourceFile,
                                "kvt::kvtOsTcpSocketConnector::thread", __LINE__));
    const unsigned limit = EffectiveTimeOut(timeOut);

    const kvtSocketResult result = m_pSo->OpenAsyncBegin(address, port);
    if (result != kvtSocketResult::Pending) {
        if (thread->IsStopRequested()) {
            m_pSo->OpenAsyncEnd();
            return true;
        }
    } else if (m_pSo->IsConnectPending(kvtConnectorPollMs)) {
        unsigned elapsed = 0;
        do {
            if (elapsed >= limit)
                m_pSo->Close(); // abandons the attempt: the next pending test gives false
            if (thread->IsStopRequested()) {
                m_pSo->OpenAsyncEnd();
                return true;
            }
            elapsed += kvtConnectorPollMs;
        } while (m_pSo->IsConnectPending(kvtConnectorPollMs));
    }

    m_pSo->OpenAsyncEnd();
    if (m_pSo->IsConnected()) {
        OnTcpSocketConnector(kvtSocketState::Connected);
        return true;
    }
    OnTcpSocketConnector(kvtSocketState::Unreachable);
    return !thread->SleepUnlessStopped(kvtConnectorRetryPauseMs) || thread->IsStopRequested();
}

} // namespace kvt
