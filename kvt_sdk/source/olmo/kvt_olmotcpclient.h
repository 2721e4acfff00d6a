#ifndef KVT_OLMOTCPCLIENT_H
#define KVT_OLMOTCPCLIENT_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "kvt_olmocodes.h"
#include "kvt_olmoframe.h"
#include "kvt_osevent.h"
#include "kvt_ostcpsocket.h"
#include "kvt_ostcpsocketconnector.h"
#include "kvt_osthread.h"

namespace kvt {

class kvtOlmoTcpClient;
// The frame-reader fuzz target: reads a channel's socket and feeds the monitor steps directly.
struct kvtOlmoFuzzAccess;

// Owner callbacks of one channel; owner is the opaque pointer given to SetCallbacks.
typedef void (*kvtOlmoReadyCallback)(void *owner, kvtOlmoTcpClient *client);
typedef void (*kvtOlmoConnectionCallback)(void *owner, kvtOlmoTcpClient *client, int socketState,
                                          int connectionState);
typedef void (*kvtOlmoAuthenticationCallback)(void *owner, kvtOlmoTcpClient *client, int state,
                                              const char *message);
// The frame is only lent for the duration of the call.
typedef void (*kvtOlmoReadCallback)(void *owner, kvtOlmoTcpClient *client, const kvtIOlmoFrame *frame);

// Channel timing.
const uint32_t kvtOlmoSocketTimeOutMs = 30000; // send and receive time-out of a channel
const unsigned kvtOlmoSenderPauseMs = 10;      // sender pause after each frame
const unsigned kvtOlmoReaderPauseMs = 1;       // reader pause when nothing is waiting
const unsigned kvtOlmoReaderWaitMs = 2500;     // reader wait for data before looking at stop
const unsigned kvtOlmoWorkerStackSize = 0x100000;

// Bounds of a channel's send queue: beyond either, PushFrame refuses the frame.
const size_t kvtOlmoMaxQueuedFrames = 65536;
const size_t kvtOlmoMaxQueuedBytes = 64u * 1024u * 1024u;

// One authenticated TCP channel to the server: a monitor channel only reads
// frames and hands them to its owner; a command channel only sends the frames
// queued with PushFrame.
class kvtOlmoTcpClient : public kvtOsTcpSocketConnector {
public:
    kvtOlmoTcpClient();
    ~kvtOlmoTcpClient() override;

    void OnTcpSocketConnector(kvtSocketState socketState) override;
    virtual void OnConnection(int socketState, int connectionState);
    virtual void OnAuthentication(int state, const char *message);
    virtual void OnReady();
    virtual void OnRead(const kvtIOlmoFrame *frame);

    // Set once, before Start.
    void SetCallbacks(void *owner, kvtOlmoReadyCallback ready, kvtOlmoConnectionCallback connection,
                      kvtOlmoAuthenticationCallback authentication, kvtOlmoReadCallback read);

    int Start(const std::string &host, uint16_t port, bool isMonitor, const std::string &user,
              const std::string &password);
    // closeState: the connection state that the worker's close event carries.
    int Stop(kvtOlmoConnectionState closeState = kvtOlmoConnectionState::ClosedByClient);

    // Takes ownership of a heap frame; sent in push order once the sender runs.
    // pendingKey, when not 0, names a request that need not wait twice: while a frame
    // with the same key is still queued, this one is dropped (result 0). Returns 0, or
    // kvtErrorOutOfRange (frame deleted, reported) when the queue is at its bound.
    int PushFrame(kvtOlmoFrame *frame, uint64_t pendingKey = 0);
    bool IsReady();
    uint32_t GetClientId();
    std::string GetUser();
    bool IsCommandChannel();
    // Frames waiting in the send queue.
    size_t GetQueuedCount();

    // Reads one frame: Ok, or why not. *received: the bytes read by its last receive step.
    kvtOlmoReadResult ReadFrame(kvtOlmoFrame *frame, int *received);

    // Socket send and receive time-out set after connecting (default 30000 ms).
    void SetSocketTimeOut(uint32_t ms);

protected:
    int stop(kvtOlmoConnectionState closeState = kvtOlmoConnectionState::ClosedByClient);

private:
    friend struct kvtOlmoFuzzAccess;
    enum : uint8_t { StatusAuthenticated = 0x1, StatusReady = 0x4, StatusCommandThread = 0x8 };

    static void thread_command(kvtIOsThread *thread, void *userData);
    static void thread_monitor(kvtIOsThread *thread, void *userData);
    void run_command(kvtIOsThread *thread);
    void run_monitor(kvtIOsThread *thread);
    bool authenticate();
    void login_exchange_failed(const char *text, kvtOlmoConnectionState why);
    static kvtOlmoConnectionState login_read_failure(kvtOlmoReadResult result);
    void handle_authentication_response(const kvtOlmoFrame &response);
    void start_monitor();
    void start_command();
    void worker_exit(kvtOlmoConnectionState failure);
    // Receives exactly length bytes through the read-ahead buffer (same results as
    // kvtOsTcpSocket::Receive); small reads take whatever is already waiting in one call.
    kvtSocketResult receive(uint8_t *buffer, int length, int *received);
    bool has_buffered() const { return m_uRxBegin < m_uRxEnd; }
    void clear_buffered() { m_uRxBegin = m_uRxEnd = 0; }
    kvtOlmoFrame *pop_frame();
    bool wait_for_frame(kvtIOsThread *thread);
    void clear_queue();
    void notify_connection(kvtSocketState socketState, kvtOlmoConnectionState connectionState);
    void notify_authentication(kvtOlmoConnectionState state, const char *message);
    void notify_ready();

    kvtOsTcpSocket m_Socket;
    std::recursive_mutex m_ClientLock; // queue, status, identifier, isMonitor, user, password
    bool m_bIsMonitor = false;
    std::string m_strUser;
    std::string m_strPassword;
    uint8_t m_uStatus = 0;
    std::atomic<bool> m_bStopping{false}; // a stop is under way: no new authentication
    uint32_t m_uClientId = 0;
    uint32_t m_uSocketTimeOut = kvtOlmoSocketTimeOutMs;
    struct Queued {
        kvtOlmoFrame *frame;
        uint64_t key;
    };
    std::deque<Queued> m_Queue;
    std::unordered_set<uint64_t> m_PendingKeys; // keys of the queued frames that have one
    size_t m_uQueuedBytes = 0;
    bool m_bQueueFullReported = false;
    kvtOsEvent m_FrameQueued; // wakes an idle sender; reset by the sender before it looks
    std::atomic<kvtOlmoConnectionState> m_iCloseState{kvtOlmoConnectionState::ClosedByClient};
    // Read-ahead of the reading thread (the connector's during authentication, then the monitor's).
    std::vector<uint8_t> m_RxBuffer;
    size_t m_uRxBegin = 0;
    size_t m_uRxEnd = 0;
    kvtOsThread *m_pThreadMonitor = nullptr;
    kvtOsThread *m_pThreadCommand = nullptr;

    void *m_pOwner = nullptr;
    kvtOlmoReadyCallback m_pOnReady = nullptr;
    kvtOlmoConnectionCallback m_pOnConnection = nullptr;
    kvtOlmoAuthenticationCallback m_pOnAuthentication = nullptr;
    kvtOlmoReadCallback m_pOnRead = nullptr;
};

} // namespace kvt

#endif
