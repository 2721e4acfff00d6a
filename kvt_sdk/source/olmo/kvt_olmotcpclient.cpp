#include "kvt_olmotcpclient.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "kvt_log.h"
#include "kvt_olmoreport.h"

namespace kvt {

namespace {
const char *const kFile = "kvt_sdk/source/olmo/kvt_olmotcpclient";

// Payload of an authentication request: "user|password", every byte masked.
std::string masked_credentials(const std::string &user, const std::string &password) {
    return kvtOlmoMaskCredentials(user + "|" + password);
}
} // namespace

kvtOlmoTcpClient::kvtOlmoTcpClient() : kvtOsTcpSocketConnector(&m_Socket) {}

kvtOlmoTcpClient::~kvtOlmoTcpClient() {
    stop();
    // The connector's own destructor must find no thread that could call back into us.
    kvtOsTcpSocketConnector::Stop();
}

void kvtOlmoTcpClient::SetCallbacks(void *owner, kvtOlmoReadyCallback ready,
                                    kvtOlmoConnectionCallback connection,
                                    kvtOlmoAuthenticationCallback authentication, kvtOlmoReadCallback read) {
    m_pOwner = owner;
    m_pOnReady = ready;
    m_pOnConnection = connection;
    m_pOnAuthentication = authentication;
    m_pOnRead = read;
}

void kvtOlmoTcpClient::SetSocketTimeOut(uint32_t ms) {
    std::lock_guard<std::recursive_mutex> lock(m_ClientLock);
    m_uSocketTimeOut = ms;
}

// ---------------------------------------------------------------- events

void kvtOlmoTcpClient::OnConnection(int socketState, int connectionState) {
    if (!m_pOnConnection)
        kvtLogPrintf(kvtLogLevel::Debug, "Socket State %i Connection State %i\n", socketState,
                     connectionState);
}

void kvtOlmoTcpClient::OnAuthentication(int state, const char *message) {
    if (!m_pOnAuthentication)
        kvtLogPrintf(kvtLogLevel::Debug, "Authentication state %i msg:%s\n", state, message);
}

void kvtOlmoTcpClient::OnReady() {
    if (!m_pOnReady)
        kvtLogPrintf(kvtLogLevel::Debug, "Client %p ready\n", static_cast<void *>(this));
}

void kvtOlmoTcpClient::OnRead(const kvtIOlmoFrame *frame) {
    if (m_pOnRead || !frame || !kvtLogWants(kvtLogLevel::Debug))
        return;
    std::string text;
    frame->ToString(text, 16, true);
    kvtLogWrite(kvtLogLevel::Debug, text + "\n");
}

// The owner callbacks carry the states' numbers: they reach the page and the tools as such.
void kvtOlmoTcpClient::notify_connection(kvtSocketState socketState, kvtOlmoConnectionState connectionState) {
    const int s = static_cast<int>(socketState), c = static_cast<int>(connectionState);
    OnConnection(s, c);
    if (m_pOnConnection)
        m_pOnConnection(m_pOwner, this, s, c);
}

void kvtOlmoTcpClient::notify_authentication(kvtOlmoConnectionState state, const char *message) {
    OnAuthentication(static_cast<int>(state), message);
    if (m_pOnAuthentication)
        m_pOnAuthentication(m_pOwner, this, static_cast<int>(state), message);
}

void kvtOlmoTcpClient::notify_ready() {
    OnReady();
    if (m_pOnReady)
        m_pOnReady(m_pOwner, this);
}

// ---------------------------------------------------------------- start / stop

int kvtOlmoTcpClient::Start(const std::string &host, uint16_t port, bool isMonitor, const std::string &user,
                            const std::string &password) {
    int r = Stop();
    if (r != 0)
        return KVT_OLMO_REPORT(kvtErrorFailed, "Can not stop current conneciton", kFile,
                               "kvt::kvtOlmoTcpClient::Start");
    {
        std::lock_guard<std::recursive_mutex> lock(m_ClientLock);
        m_bIsMonitor = isMonitor;
        m_strUser = user;
        m_strPassword = password;
    }
    SetConnection(host, port, 0);
    if (kvtOsTcpSocketConnector::Start() != 0) {
        return KVT_OLMO_REPORT(kvtErrorFailed, "Can not start kvtOsTcpSocketConnector", kFile,
                               "kvt::kvtOlmoTcpClient::Start");
    }
    return 0;
}

int kvtOlmoTcpClient::Stop(kvtOlmoConnectionState closeState) {
    if (stop(closeState) != 0)
        KVT_OLMO_REPORT(kvtErrorFailed, "Can not stop Olmo Client", kFile, "kvt::kvtOlmoTcpClient::Stop");
    return 0;
}

int kvtOlmoTcpClient::stop(kvtOlmoConnectionState closeState) {
    // Closing first wakes an authentication that waits on the socket, so the
    // connector's thread can be joined at once; the flag keeps a connection made
    // meanwhile from authenticating.
    m_iCloseState.store(closeState);
    m_bStopping.store(true);
    m_FrameQueued.Signal();
    m_Socket.Close();
    kvtOsTcpSocketConnector::Stop();
    clear_queue();
    if (m_Socket.Close() != 0)
        KVT_OLMO_REPORT(kvtErrorFailed, "Can not close socket", kFile, "kvt::kvtOlmoTcpClient::stop");
    if (m_pThreadCommand) {
        m_pThreadCommand->Stop();
        delete m_pThreadCommand;
        m_pThreadCommand = nullptr;
    }
    if (m_pThreadMonitor) {
        m_pThreadMonitor->Stop();
        delete m_pThreadMonitor;
        m_pThreadMonitor = nullptr;
    }
    {
        std::lock_guard<std::recursive_mutex> lock(m_ClientLock);
        m_uStatus = 0;
    }
    clear_buffered();
    m_bStopping.store(false);
    return 0;
}

// ---------------------------------------------------------------- queue and queries

int kvtOlmoTcpClient::PushFrame(kvtOlmoFrame *frame, uint64_t pendingKey) {
    if (!frame)
        return 0;
    bool report = false;
    bool queued = false;
    {
        std::lock_guard<std::recursive_mutex> lock(m_ClientLock);
        if (pendingKey != 0 && m_PendingKeys.count(pendingKey) != 0) {
            delete frame; // the same request is still waiting: it answers both
            return 0;
        }
        const size_t length = frame->GetBufferLength();
        if (m_Queue.size() < kvtOlmoMaxQueuedFrames && m_uQueuedBytes + length <= kvtOlmoMaxQueuedBytes) {
            m_Queue.push_back(Queued{frame, pendingKey});
            if (pendingKey != 0)
                m_PendingKeys.insert(pendingKey);
            m_uQueuedBytes += length;
            m_bQueueFullReported = false;
            queued = true;
        } else {
            // Once per filling: a peer that keeps the queue full must not flood the log too.
            report = !m_bQueueFullReported;
            m_bQueueFullReported = true;
        }
    }
    if (queued) {
        m_FrameQueued.Signal();
        return 0;
    }
    delete frame;
    if (!report)
        return kvtErrorOutOfRange;
    return KVT_OLMO_REPORT(kvtErrorOutOfRange, "Send queue full, requests refused", kFile,
                           "kvt::kvtOlmoTcpClient::PushFrame");
}

kvtOlmoFrame *kvtOlmoTcpClient::pop_frame() {
    std::lock_guard<std::recursive_mutex> lock(m_ClientLock);
    if (m_Queue.empty())
        return nullptr;
    const Queued entry = m_Queue.front();
    m_Queue.pop_front();
    if (entry.key != 0)
        m_PendingKeys.erase(entry.key);
    m_uQueuedBytes -= entry.frame->GetBufferLength();
    return entry.frame;
}

bool kvtOlmoTcpClient::wait_for_frame(kvtIOsThread *thread) {
    // A stop under way is waited for on the thread's own stop event; stop() sets the flag
    // before it signals, so a sender that missed the flag is woken by the signal.
    if (m_bStopping.load())
        return thread->SleepUnlessStopped(kvtOlmoSenderPauseMs);
    m_FrameQueued.Wait(kvtOlmoSenderPauseMs);
    return !thread->IsStopRequested();
}

void kvtOlmoTcpClient::clear_queue() {
    std::deque<Queued> dropped;
    {
        std::lock_guard<std::recursive_mutex> lock(m_ClientLock);
        dropped.swap(m_Queue);
        m_PendingKeys.clear();
        m_uQueuedBytes = 0;
        m_bQueueFullReported = false;
    }
    for (const Queued &entry : dropped)
        delete entry.frame;
    if (!dropped.empty()) {
        // Dropping them is part of a stop asked for here; after a failure they are lost work.
        const bool asked = m_iCloseState.load() == kvtOlmoConnectionState::ClosedByClient;
        KVT_OLMO_REPORT(asked ? kvtInfo : kvtWarning,
                        std::to_string(dropped.size()) + " unsent requests dropped: the channel closed",
                        kFile, "kvt::kvtOlmoTcpClient::stop");
    }
}

size_t kvtOlmoTcpClient::GetQueuedCount() {
    std::lock_guard<std::recursive_mutex> lock(m_ClientLock);
    return m_Queue.size();
}

bool kvtOlmoTcpClient::IsReady() {
    std::lock_guard<std::recursive_mutex> lock(m_ClientLock);
    return (m_uStatus & StatusReady) != 0;
}

uint32_t kvtOlmoTcpClient::GetClientId() {
    std::lock_guard<std::recursive_mutex> lock(m_ClientLock);
    return m_uClientId;
}

std::string kvtOlmoTcpClient::GetUser() {
    std::lock_guard<std::recursive_mutex> lock(m_ClientLock);
    return m_strUser;
}

bool kvtOlmoTcpClient::IsCommandChannel() {
    std::lock_guard<std::recursive_mutex> lock(m_ClientLock);
    return !m_bIsMonitor;
}

// ---------------------------------------------------------------- connection and authentication

void kvtOlmoTcpClient::OnTcpSocketConnector(kvtSocketState socketState) {
    kvtOsTcpSocketConnector::OnTcpSocketConnector(socketState);
    notify_connection(socketState, kvtOlmoConnectionState::Connecting);
    if (socketState == kvtSocketState::Unreachable || m_bStopping.load())
        return;
    uint32_t timeOut;
    {
        std::lock_guard<std::recursive_mutex> lock(m_ClientLock);
        timeOut = m_uSocketTimeOut;
    }
    clear_buffered();
    m_Socket.SetSendTimeOut(timeOut);
    m_Socket.SetReceiveTimeOut(timeOut);
    authenticate();
}

bool kvtOlmoTcpClient::authenticate() {
    std::string payload;
    bool monitor;
    {
        std::lock_guard<std::recursive_mutex> lock(m_ClientLock);
        payload = masked_credentials(m_strUser, m_strPassword);
        monitor = m_bIsMonitor;
    }
    kvtOlmoFrame request;
    request.SetAsData(reinterpret_cast<const uint8_t *>(payload.data()),
                      static_cast<uint32_t>(payload.size()));
    request.SetKind(kvtOlmoKindWrite);
    request.SetCode(monitor ? CmdAuthenticationMonitor : CmdAuthenticationCommand);

    const int length = static_cast<int>(request.GetBufferLength());
    // A stop closes the socket to wake this exchange: that failure is the one asked for.
    if (m_Socket.Send(request.GetBuffer(), length) != kvtSocketResult::Ok) {
        login_exchange_failed("Can not send Authnetication request", kvtOlmoConnectionState::SocketError);
        return false;
    }
    kvtOlmoFrame response;
    int received = 0;
    const kvtOlmoReadResult read = ReadFrame(&response, &received);
    if (read != kvtOlmoReadResult::Ok) {
        login_exchange_failed("Can not receive Authnetication response", login_read_failure(read));
        return false;
    }
    if (response.GetCode() != request.GetCode() || response.GetType() != kvtTypeData ||
        response.GetBufferLength() <= kvtOlmoHeaderSize) {
        return false; // not an answer to this request: ignored
    }
    handle_authentication_response(response);
    return true;
}

// The log-in exchange itself failed: the server went away, or is not up yet, or did not answer in
// time. Reported as a failed log-in first, as ever; then the channel closes and says why, so that
// its owner sees a lost connection and tries again. A refusal in the server's answer is not such a
// failure and closes nothing.
void kvtOlmoTcpClient::login_exchange_failed(const char *text, kvtOlmoConnectionState why) {
    const char *site = "kvt::kvtOlmoTcpClient::OnTcpSocketConnector";
    const bool stopping = m_bStopping.load();
    KVT_OLMO_REPORT(stopping ? kvtInfo : kvtErrorFailed, text, kFile, site);
    notify_authentication(kvtOlmoConnectionState::AuthFailed, text);
    if (stopping)
        return;
    m_Socket.Close();
    notify_connection(kvtSocketState::Closed, why);
}

kvtOlmoConnectionState kvtOlmoTcpClient::login_read_failure(kvtOlmoReadResult result) {
    switch (result) {
    case kvtOlmoReadResult::Closed:
        return kvtOlmoConnectionState::ClosedByHost;
    case kvtOlmoReadResult::TimeOut:
        return kvtOlmoConnectionState::TimeOut;
    case kvtOlmoReadResult::TooLarge:
    case kvtOlmoReadResult::BadChecksum:
        return kvtOlmoConnectionState::InvalidData;
    case kvtOlmoReadResult::Ok:
    case kvtOlmoReadResult::SocketError:
        break;
    }
    return kvtOlmoConnectionState::SocketError;
}

void kvtOlmoTcpClient::handle_authentication_response(const kvtOlmoFrame &response) {
    const uint8_t *data = response.GetAsData();
    const uint8_t result = data[0];
    if (result == kvtOlmoLoginAccepted) {
        uint32_t id = 0;
        const uint32_t count = response.GetBufferLength() - kvtOlmoHeaderSize - 1;
        for (uint32_t i = 0; i < 4 && i < count; ++i)
            id |= static_cast<uint32_t>(data[1 + i]) << (8 * i);
        {
            std::lock_guard<std::recursive_mutex> lock(m_ClientLock);
            m_uStatus |= StatusAuthenticated;
            m_uClientId = id;
        }
        notify_authentication(kvtOlmoConnectionState::Ok, "Authentication success");
        if (m_bStopping.load())
            return;
        if (response.GetCode() == CmdAuthenticationMonitor) {
            start_monitor();
        } else {
            start_command();
        }
    } else if (result == kvtOlmoLoginMaxClients) {
        notify_authentication(kvtOlmoConnectionState::MaxClients,
                              "Authentication success but max clients reached");
    } else {
        notify_authentication(kvtOlmoConnectionState::AuthFailed, "Authentication failed");
    }
}

void kvtOlmoTcpClient::start_monitor() {
    m_pThreadMonitor = new (std::nothrow) kvtOsThread(&kvtOlmoTcpClient::thread_monitor, this, false);
    if (!m_pThreadMonitor) {
        KVT_OLMO_REPORT(kvtErrorOutOfMemory, "m_pThreadMonitor == 0", kFile,
                        "kvt::kvtOlmoTcpClient::start_monitor");
        return;
    }
    if (!m_pThreadMonitor->Start(kvtOlmoWorkerStackSize)) {
        delete m_pThreadMonitor;
        m_pThreadMonitor = nullptr;
        KVT_OLMO_REPORT(kvtErrorFailed, "Can not start server client read thread", kFile,
                        "kvt::kvtOlmoTcpClient::start_monitor");
    }
}

void kvtOlmoTcpClient::start_command() {
    m_pThreadCommand = new (std::nothrow) kvtOsThread(&kvtOlmoTcpClient::thread_command, this, false);
    if (!m_pThreadCommand) {
        KVT_OLMO_REPORT(kvtErrorOutOfMemory, "m_pThreadCommand == 0", kFile,
                        "kvt::kvtOlmoTcpClient::start_command");
        return;
    }
    if (!m_pThreadCommand->Start(kvtOlmoWorkerStackSize)) {
        delete m_pThreadCommand;
        m_pThreadCommand = nullptr;
        KVT_OLMO_REPORT(kvtErrorFailed, "Can not start server client command thread", kFile,
                        "kvt::kvtOlmoTcpClient::start_command");
    }
}

// ---------------------------------------------------------------- reading

namespace {
kvtOlmoReadResult receive_failure(kvtSocketResult code, int requested, int received, const char *site) {
    if (code == kvtSocketResult::Closed) {
        KVT_OLMO_REPORT(kvtInfo, "Socket close externally", kFile, site);
        return kvtOlmoReadResult::Closed;
    }
    if (code == kvtSocketResult::TimeOut) {
        std::string text = "Socket connection too slow requested " + std::to_string(requested) +
                           " recv:" + std::to_string(received);
        KVT_OLMO_REPORT(kvtInfo, text, kFile, site);
        return kvtOlmoReadResult::TimeOut;
    }
    KVT_OLMO_REPORT(kvtInfo, "Socket error", kFile, site);
    return kvtOlmoReadResult::SocketError;
}
} // namespace

namespace {
const size_t kReadAhead = 64 * 1024;
}

kvtSocketResult kvtOlmoTcpClient::receive(uint8_t *buffer, int length, int *received) {
    *received = 0;
    size_t copied = std::min(static_cast<size_t>(length), m_uRxEnd - m_uRxBegin);
    if (copied) {
        std::memcpy(buffer, m_RxBuffer.data() + m_uRxBegin, copied);
        m_uRxBegin += copied;
        *received = static_cast<int>(copied);
    }
    const size_t rest = static_cast<size_t>(length) - copied;
    if (rest == 0)
        return kvtSocketResult::Ok;
    int got = 0;
    if (rest >= kReadAhead) {
        // Large payloads go straight into the frame.
        const kvtSocketResult r = m_Socket.Receive(buffer + copied, static_cast<int>(rest), &got);
        *received += got;
        return r;
    }
    // Take at least what is asked for, and whatever else is already waiting, in one call.
    const int available = m_Socket.GetReceiveAvailable();
    size_t want = rest;
    if (available > 0 && static_cast<size_t>(available) > want)
        want = std::min(static_cast<size_t>(available), kReadAhead);
    if (m_RxBuffer.size() < kReadAhead)
        m_RxBuffer.resize(kReadAhead);
    m_uRxBegin = m_uRxEnd = 0;
    const kvtSocketResult r = m_Socket.Receive(m_RxBuffer.data(), static_cast<int>(want), &got);
    if (r != kvtSocketResult::Ok) {
        *received += std::min(got, static_cast<int>(rest));
        return r;
    }
    std::memcpy(buffer + copied, m_RxBuffer.data(), rest);
    m_uRxBegin = rest;
    m_uRxEnd = want;
    *received = length;
    return kvtSocketResult::Ok;
}

kvtOlmoReadResult kvtOlmoTcpClient::ReadFrame(kvtOlmoFrame *frame, int *received) {
    const char *site = "kvt::kvtOlmoTcpClient::ReadFrame";
    int dummy = 0;
    if (!received)
        received = &dummy;
    *received = 0;
    if (!frame || !frame->adjust_buffer(kvtOlmoHeaderSize)) {
        KVT_OLMO_REPORT(kvtErrorOutOfMemory, "Can not allocate frame data m_pBuffer", kFile, site);
        return kvtOlmoReadResult::SocketError;
    }
    kvtSocketResult r = receive(frame->GetMutableBuffer(), kvtOlmoHeaderSize, received);
    if (r != kvtSocketResult::Ok)
        return receive_failure(r, kvtOlmoHeaderSize, *received, site);
    if (!frame->IsChecksumValid()) {
        // Skipping only the header would take the payload it announced for the next
        // headers: the stream is out of step and the channel must be rebuilt.
        KVT_OLMO_REPORT(kvtErrorNetwork, "Frame header with invalid CHK, stream out of step", kFile, site);
        return kvtOlmoReadResult::BadChecksum;
    }
    const uint32_t announced = frame->GetAnnouncedLength();
    // A header may announce up to 4 GiB: refuse anything above the bound before allocating.
    if (announced > kvtOlmoMaxPayload) {
        std::string text = "Frame payload too large " + std::to_string(announced);
        KVT_OLMO_REPORT(kvtErrorNetwork, text, kFile, site);
        return kvtOlmoReadResult::TooLarge;
    }
    if (frame->reinterpret_frame())
        return kvtOlmoReadResult::Ok;
    if (frame->GetBufferLength() != kvtOlmoHeaderSize + announced)
        return kvtOlmoReadResult::TooLarge;
    const int n = static_cast<int>(announced);
    if (n == 0)
        return kvtOlmoReadResult::Ok;
    *received = 0;
    r = receive(frame->GetMutableBuffer() + kvtOlmoHeaderSize, n, received);
    if (r != kvtSocketResult::Ok)
        return receive_failure(r, n, *received, site);
    return kvtOlmoReadResult::Ok;
}

// ---------------------------------------------------------------- workers

void kvtOlmoTcpClient::thread_command(kvtIOsThread *thread, void *userData) {
    static_cast<kvtOlmoTcpClient *>(userData)->run_command(thread);
}

void kvtOlmoTcpClient::thread_monitor(kvtIOsThread *thread, void *userData) {
    static_cast<kvtOlmoTcpClient *>(userData)->run_monitor(thread);
}

void kvtOlmoTcpClient::run_command(kvtIOsThread *thread) {
    const char *site = "kvt::kvtOlmoTcpClient::thread_command";
    {
        std::lock_guard<std::recursive_mutex> lock(m_ClientLock);
        m_uStatus |= StatusReady | StatusCommandThread;
    }
    notify_ready();
    kvtOlmoConnectionState failure = kvtOlmoConnectionState::Ok;
    // When the pause after the last frame sent ends. Frames that follow each other keep to this
    // schedule, so a wake-up that comes late shortens the next pause: N frames in a row take N
    // pauses and not N pauses plus every late wake-up. A sender that fell behind by more than a
    // pause, or waited idle for the frame, starts a new schedule.
    // An idle sender is woken by the next frame queued: a request goes out at once instead of
    // at the next look at the queue.
    using Clock = std::chrono::steady_clock;
    const Clock::duration pause = std::chrono::milliseconds(kvtOlmoSenderPauseMs);
    Clock::time_point pauseEnd = Clock::now();
    bool idle = true;
    while (!thread->IsStopRequested()) {
        m_FrameQueued.Reset();
        kvtOlmoFrame *frame = pop_frame();
        if (!frame) {
            if (!wait_for_frame(thread))
                break;
            idle = true;
            continue;
        }
        const int length = static_cast<int>(frame->GetBufferLength());
        const kvtSocketResult r = m_Socket.Send(frame->GetBuffer(), length);
        delete frame;
        if (r == kvtSocketResult::Ok) {
            const Clock::time_point now = Clock::now();
            pauseEnd = idle || now - pauseEnd > pause ? now + pause : pauseEnd + pause;
            idle = false;
            const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(pauseEnd - now).count();
            if (wait >= 500 && !thread->SleepUnlessStopped(static_cast<unsigned>((wait + 500) / 1000)))
                break;
            continue;
        }
        if (m_bStopping.load())
            break; // our own stop closed the socket
        // Send gives every byte or a failure: a partial send is no outcome of its own.
        if (r == kvtSocketResult::Closed) {
            KVT_OLMO_REPORT(kvtInfo, "Exit Thread command socket close externally", kFile, site);
            failure = kvtOlmoConnectionState::ClosedByHost;
        } else if (r == kvtSocketResult::TimeOut) {
            KVT_OLMO_REPORT(
                kvtInfo, "Exit Thread command socket connection too slow requested " + std::to_string(length),
                kFile, site);
            failure = kvtOlmoConnectionState::TimeOut;
        } else {
            KVT_OLMO_REPORT(kvtInfo, "Exit Thread command socket error", kFile, site);
            failure = kvtOlmoConnectionState::SocketError;
        }
        notify_connection(kvtSocketState::Connected, failure);
        break;
    }
    worker_exit(failure);
    KVT_OLMO_REPORT(kvtInfo, "Exit kvtOlmoTcpClient::thread_command", kFile, site);
}

void kvtOlmoTcpClient::worker_exit(kvtOlmoConnectionState failure) {
    // The channel is down from here on: never ready, and its close is reported with
    // the failure that ended it (or the reason of the stop), never as an OK state.
    {
        std::lock_guard<std::recursive_mutex> lock(m_ClientLock);
        m_uStatus &= static_cast<uint8_t>(~StatusReady);
    }
    m_Socket.Close();
    kvtOlmoConnectionState state = failure;
    if (state == kvtOlmoConnectionState::Ok)
        state = m_iCloseState.load();
    if (state == kvtOlmoConnectionState::Ok)
        state = kvtOlmoConnectionState::ClosedByClient;
    notify_connection(kvtSocketState::Closed, state);
}

namespace {

// The connection state a failed read of the monitor channel ends it with (Ok for a frame read),
// reported as the monitor's exit.
kvtOlmoConnectionState monitor_read_failure(kvtOlmoReadResult r, int received, const char *site) {
    switch (r) {
    case kvtOlmoReadResult::Ok:
        break;
    case kvtOlmoReadResult::Closed:
        KVT_OLMO_REPORT(kvtInfo, "Exit Thread monitor socket close externally", kFile, site);
        return kvtOlmoConnectionState::ClosedByHost;
    case kvtOlmoReadResult::TimeOut:
        KVT_OLMO_REPORT(kvtInfo,
                        "Exit Thread monitor socket connection too slow requested 9 recv:" +
                            std::to_string(received),
                        kFile, site);
        return kvtOlmoConnectionState::TooSlow;
    case kvtOlmoReadResult::TooLarge:
    case kvtOlmoReadResult::BadChecksum:
        KVT_OLMO_REPORT(kvtInfo, "Exit Thread monitor invalid data", kFile, site);
        return kvtOlmoConnectionState::InvalidData;
    case kvtOlmoReadResult::SocketError:
        KVT_OLMO_REPORT(kvtInfo, "Exit Thread monitor socket error", kFile, site);
        return kvtOlmoConnectionState::SocketError;
    }
    return kvtOlmoConnectionState::Ok;
}

} // namespace

void kvtOlmoTcpClient::run_monitor(kvtIOsThread *thread) {
    const char *site = "kvt::kvtOlmoTcpClient::thread_monitor";
    {
        std::lock_guard<std::recursive_mutex> lock(m_ClientLock);
        m_uStatus |= StatusReady;
    }
    notify_ready();
    unsigned burst = 0;
    kvtOlmoConnectionState failure = kvtOlmoConnectionState::Ok;
    for (;;) {
        if (has_buffered() || m_Socket.IsReadyToReceive(kvtOlmoReaderWaitMs)) {
            kvtOlmoFrame frame;
            int received = 0;
            const kvtOlmoReadResult r = ReadFrame(&frame, &received);
            if (r != kvtOlmoReadResult::Ok && m_bStopping.load())
                break; // our own stop closed the socket
            failure = monitor_read_failure(r, received, site);
            if (failure != kvtOlmoConnectionState::Ok) {
                notify_connection(kvtSocketState::Connected, failure);
                break;
            }
            OnRead(&frame);
            if (m_pOnRead)
                m_pOnRead(m_pOwner, this, &frame);
        }
        // The pause only applies when the stream is drained; a waiting frame is read
        // at once (looking for a stop request now and then, which costs a system call).
        if (has_buffered() || m_Socket.GetReceiveAvailable() > 0) {
            if (++burst % 64 == 0 && thread->IsStopRequested())
                break;
            continue;
        }
        burst = 0;
        if (!thread->SleepUnlessStopped(kvtOlmoReaderPauseMs))
            break;
    }
    worker_exit(failure);
    KVT_OLMO_REPORT(kvtInfo, "Exit kvtOlmoTcpClient::thread_monitor", kFile, site);
}

} // namespace kvt
