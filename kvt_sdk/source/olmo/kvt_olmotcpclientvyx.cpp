#include "kvt_olmotcpclientvyx.h"

#include <cstdio>
#include <string>

#include "kvt_log.h"
#include "kvt_olmoreport.h"

#define KVT_SITE(name) "kvt::kvtOlmoTcpClientVyx::" name
#define KVT_SITE_STOP KVT_SITE("stop")

// The two-channel client's life cycle, readiness, connection events and the monitor's
// frames. The command set, the heartbeat and the transfers have their own files.

namespace kvt {

namespace {
const char *const kFile = "kvt_sdk/source/olmo/kvt_olmotcpclientvyx";
} // namespace

// ================================================================ life cycle

kvtOlmoTcpClientVyx::kvtOlmoTcpClientVyx()
    : m_HeartBeat(&kvtOlmoTcpClientVyx::thread_heart_beat, this, false) {
    m_Command.SetCallbacks(this, &kvtOlmoTcpClientVyx::command_OnReady,
                           &kvtOlmoTcpClientVyx::command_OnConnection,
                           &kvtOlmoTcpClientVyx::on_authentication, nullptr);
    m_Monitor.SetCallbacks(this, &kvtOlmoTcpClientVyx::monitor_OnReady,
                           &kvtOlmoTcpClientVyx::monitor_OnConnection,
                           &kvtOlmoTcpClientVyx::on_authentication, &kvtOlmoTcpClientVyx::monitor_OnRead);
}

kvtOlmoTcpClientVyx::~kvtOlmoTcpClientVyx() {
    Stop();
}

void kvtOlmoTcpClientVyx::SetCallbacks(void *owner, kvtVyxReadyCallback ready,
                                       kvtVyxConnectionCallback connection, kvtVyxReadCallback read,
                                       kvtVyxDownloadCallback download, kvtVyxUploadCallback upload) {
    m_pOwner = owner;
    m_pOnReady = ready;
    m_pOnConnection = connection;
    m_pOnRead = read;
    m_pOnDownload = download;
    m_pOnUpload = upload;
}

int kvtOlmoTcpClientVyx::Start(const std::string &host, int port, const std::string &user,
                               const std::string &password) {
    int r = Stop();
    if (r != 0)
        return KVT_OLMO_REPORT(kvtErrorFailed, "Can not stop", kFile, "kvt::kvtOlmoTcpClientVyx::Start");
    m_strHost = host;
    m_iPort = port;
    m_strUser = user;
    m_strPassword = password;
    r = start();
    if (!m_HeartBeat.Start(8)) {
        KVT_OLMO_REPORT(kvtErrorFailed, "Can not start Heart Beat", kFile, "kvt::kvtOlmoTcpClientVyx::Start");
    }
    return r;
}

int kvtOlmoTcpClientVyx::Stop() {
    m_HeartBeat.Stop();
    {
        std::lock_guard<std::recursive_mutex> lock(m_Lock);
        m_uLastReceive = 0;
    }
    const int r = stop();
    m_strHost.clear();
    m_iPort = kvtOlmoDefaultPort;
    m_strUser.clear();
    m_strPassword.clear();
    return r;
}

void kvtOlmoTcpClientVyx::StopTransfers() {
    end_transfers(kvtTransferError::Interrupted, "stopped by the user", true);
}

int kvtOlmoTcpClientVyx::start() {
    // No channel thread runs here (stop joined them), so every event of the new channels reads
    // the new generation.
    m_uGeneration.fetch_add(1);
    const uint16_t port = static_cast<uint16_t>(m_iPort);
    int r = m_Command.Start(m_strHost, port, false, m_strUser, m_strPassword);
    if (r != 0)
        return KVT_OLMO_REPORT(kvtErrorFailed, "Can not start command socket", kFile,
                               "kvt::kvtOlmoTcpClientVyx::start");
    r = m_Monitor.Start(m_strHost, port, true, m_strUser, m_strPassword);
    if (r == 0)
        return 0;
    if (m_Command.Stop() != 0)
        KVT_OLMO_REPORT(kvtErrorFailed, "Can not stop command socket", kFile,
                        "kvt::kvtOlmoTcpClientVyx::start");
    return KVT_OLMO_REPORT(kvtErrorFailed, "Can not start m_command socket", kFile,
                           "kvt::kvtOlmoTcpClientVyx::start");
}

int kvtOlmoTcpClientVyx::stop(kvtOlmoConnectionState closeState) {
    m_bStopping.store(true);
    m_bReady.store(false);
    if (m_Command.Stop(closeState) != 0)
        KVT_OLMO_REPORT(kvtErrorFailed, "Can not stop command socket", kFile,
                        "kvt::kvtOlmoTcpClientVyx::stop");
    const int r = m_Monitor.Stop(closeState);
    if (r != 0)
        KVT_OLMO_REPORT(kvtErrorFailed, "Can not stop monitor socket", kFile,
                        "kvt::kvtOlmoTcpClientVyx::stop");
    // No frame reaches the steps any more: a transfer still running ends here, with a record.
    if (closeState == kvtOlmoConnectionState::ClosedByClient) {
        end_transfers(kvtTransferError::Interrupted, "stopped before it ended", true);
    } else {
        end_transfers(kvtTransferError::Interrupted, "the connection closed before it ended");
    }
    {
        std::lock_guard<std::mutex> lock(m_ReadyLock);
        m_bReadyAnnounced = false;
    }
    m_bLost.store(false);
    m_bStopping.store(false);
    return r;
}

void kvtOlmoTcpClientVyx::end_transfers(kvtTransferError error, const std::string &why, bool asked) {
    kvtDownloadProgress download;
    kvtUploadProgress upload;
    bool downloadEnded = false, uploadEnded = false;
    {
        std::lock_guard<std::mutex> lock(m_TransferLock);
        kvtDownloadProgress &d = m_Download.Progress();
        if (d.active) {
            m_Download.Fail(error, "Download " + why, asked);
            d.active = false;
            download = d;
            downloadEnded = true;
        }
        kvtUploadProgress &u = m_Upload.Progress();
        if (u.active) {
            u.active = false;
            u.error = static_cast<int>(error);
            u.info = "Upload " + why;
            kvtOlmoReportTransfer(u.error, u.info, KVT_SITE_STOP, asked);
            upload = u;
            uploadEnded = true;
        }
        d.Reset();
        u.Reset();
    }
    deliver(downloadEnded ? &download : nullptr, uploadEnded ? &upload : nullptr);
}

void kvtOlmoTcpClientVyx::deliver(const kvtDownloadProgress *download, const kvtUploadProgress *upload) {
    if (download) {
        OnDownloadConfiguration(*download);
        if (m_pOnDownload)
            m_pOnDownload(m_pOwner, download);
    }
    if (upload) {
        OnUploadConfiguration(*upload);
        if (m_pOnUpload)
            m_pOnUpload(m_pOwner, upload);
    }
}

bool kvtOlmoTcpClientVyx::IsReady() {
    return m_bReady.load() && !m_bLost.load() && m_Command.IsReady() && m_Monitor.IsReady();
}

bool kvtOlmoTcpClientVyx::IsReadyAt(uint64_t generation) {
    // Read the generation on both sides of the readiness, so a rebuild in between is seen.
    return generation != 0 && m_uGeneration.load() == generation && IsReady() &&
           m_uGeneration.load() == generation;
}

std::string kvtOlmoTcpClientVyx::GetUser() {
    return m_Monitor.GetUser();
}

int kvtOlmoTcpClientVyx::GetHeartBeatTimeOut() {
    std::lock_guard<std::recursive_mutex> lock(m_Lock);
    return m_iHeartBeatTimeOut;
}

void kvtOlmoTcpClientVyx::SetHeartBeatTimeOut(int ms) {
    std::lock_guard<std::recursive_mutex> lock(m_Lock);
    m_iHeartBeatTimeOut = ms;
}

unsigned kvtOlmoTcpClientVyx::GetHeartBeatPeriod() {
    std::lock_guard<std::recursive_mutex> lock(m_Lock);
    return m_uHeartBeatPeriod;
}

void kvtOlmoTcpClientVyx::SetHeartBeatPeriod(unsigned ms) {
    std::lock_guard<std::recursive_mutex> lock(m_Lock);
    m_uHeartBeatPeriod = ms;
}

unsigned kvtOlmoTcpClientVyx::GetTransferTimeOut() {
    std::lock_guard<std::recursive_mutex> lock(m_Lock);
    return m_uTransferTimeOut;
}

void kvtOlmoTcpClientVyx::SetTransferTimeOut(unsigned ms) {
    std::lock_guard<std::recursive_mutex> lock(m_Lock);
    m_uTransferTimeOut = ms;
}

// ================================================================ readiness and relation

void kvtOlmoTcpClientVyx::command_OnReady(void *owner, kvtOlmoTcpClient *) {
    auto *self = static_cast<kvtOlmoTcpClientVyx *>(owner);
    self->channel_ready(&self->m_Monitor);
}

void kvtOlmoTcpClientVyx::monitor_OnReady(void *owner, kvtOlmoTcpClient *) {
    auto *self = static_cast<kvtOlmoTcpClientVyx *>(owner);
    self->channel_ready(&self->m_Command);
}

void kvtOlmoTcpClientVyx::channel_ready(kvtOlmoTcpClient *other) {
    if (!other->IsReady())
        return; // the other channel's ready event does the work
    {
        // Both channels may see each other ready at the same moment: announce once.
        std::lock_guard<std::mutex> lock(m_ReadyLock);
        if (m_bReadyAnnounced)
            return;
        m_bReadyAnnounced = true;
    }
    if (set_relations() != 0) {
        KVT_OLMO_REPORT(kvtErrorFailed, "Can not set relation between clients", kFile,
                        "kvt::kvtOlmoTcpClientVyx::set_relations");
        return;
    }
    // Requests are accepted only now, so none can go out before the relation frame.
    m_bRefusalReported.store(false);
    m_bReady.store(true);
    OnReady();
    if (m_pOnReady)
        m_pOnReady(m_pOwner);
}

// ================================================================ connection events

void kvtOlmoTcpClientVyx::command_OnConnection(void *owner, kvtOlmoTcpClient *client, int s, int c) {
    static_cast<kvtOlmoTcpClientVyx *>(owner)->channel_connection(client, s, c);
}

void kvtOlmoTcpClientVyx::monitor_OnConnection(void *owner, kvtOlmoTcpClient *client, int s, int c) {
    char text[160];
    std::snprintf(text, sizeof text, "Monitor OnConnection U[%p]C[%p]S[%i]CS[%i]", owner,
                  static_cast<void *>(client), s, c);
    KVT_OLMO_REPORT(kvtInfo, text, kFile, "kvt::kvtOlmoTcpClientVyx::monitor_OnConnection");
    static_cast<kvtOlmoTcpClientVyx *>(owner)->channel_connection(client, s, c);
}

void kvtOlmoTcpClientVyx::on_authentication(void *owner, kvtOlmoTcpClient *client, int state, const char *) {
    // Authentication results reach the owner as socket state 0 with connection state 0, 1 or 2.
    static_cast<kvtOlmoTcpClientVyx *>(owner)->channel_connection(client, kvtSocketState::Connected,
                                                                  static_cast<kvtOlmoConnectionState>(state));
}

void kvtOlmoTcpClientVyx::channel_connection(kvtOlmoTcpClient *channel, kvtSocketState s,
                                             kvtOlmoConnectionState c) {
    channel_connection(channel, static_cast<int>(s), static_cast<int>(c));
}

void kvtOlmoTcpClientVyx::channel_connection(kvtOlmoTcpClient *channel, int s, int c) {
    // Not ready from the first sign of a loss on; the heartbeat thread rebuilds.
    const auto connection = static_cast<kvtOlmoConnectionState>(c);
    if (!m_bStopping.load() && kvtOlmoIsLoss(static_cast<kvtSocketState>(s), connection))
        mark_lost(connection);
    OnConnection(channel, s, c);
    if (m_pOnConnection)
        m_pOnConnection(m_pOwner, channel, s, c);
}

void kvtOlmoTcpClientVyx::mark_lost(kvtOlmoConnectionState connectionState) {
    m_bReady.store(false);
    if (!m_bLost.exchange(true))
        m_iLostState.store(connectionState);
}

// ================================================================ reading

void kvtOlmoTcpClientVyx::monitor_OnRead(void *owner, kvtOlmoTcpClient *, const kvtIOlmoFrame *frame) {
    static_cast<kvtOlmoTcpClientVyx *>(owner)->read_frame(frame);
}

void kvtOlmoTcpClientVyx::read_frame(const kvtIOlmoFrame *frame) {
    {
        std::lock_guard<std::recursive_mutex> lock(m_Lock);
        m_uLastReceive = kvtOlmoTickNow();
    }
    bool downloadChanged = false, uploadChanged = false;
    kvtDownloadProgress download;
    kvtUploadProgress upload;
    const bool inTransfer = step_transfers(frame, &download, &upload, &downloadChanged, &uploadChanged);
    // Events get copies, so no lock is held while the owner runs.
    deliver(downloadChanged ? &download : nullptr, uploadChanged ? &upload : nullptr);
    if (inTransfer)
        return;
    OnRead(frame);
    if (m_pOnRead)
        m_pOnRead(m_pOwner, frame);
}

bool kvtOlmoTcpClientVyx::step_transfers(const kvtIOlmoFrame *frame, kvtDownloadProgress *download,
                                         kvtUploadProgress *upload, bool *downloadChanged,
                                         bool *uploadChanged) {
    std::lock_guard<std::mutex> lock(m_TransferLock);
    // Only an answer moves a transfer on, and only that keeps its stall timer off.
    const bool answer = frame->GetKind() == kvtOlmoKindResponse;
    bool inTransfer = false;
    // A record is reported only when it moved: an answer that changes nothing (an append that
    // wrote nothing, say) is no progress, and does not hold the stall timer off either.
    if (m_Download.Progress().active) {
        inTransfer = true;
        const kvtDownloadProgress before = m_Download.Progress();
        if (m_Download.Step(frame, downloadChanged))
            m_Download.Progress().active = false;
        *downloadChanged = *downloadChanged && m_Download.Progress() != before;
        if (*downloadChanged)
            *download = m_Download.Progress();
        if (*downloadChanged && answer)
            m_uDownloadLastStep = kvtOlmoTickNow();
    }
    if (m_Upload.Progress().active) {
        inTransfer = true;
        const kvtUploadProgress before = m_Upload.Progress();
        if (m_Upload.Step(frame, uploadChanged))
            m_Upload.Progress().active = false;
        *uploadChanged = *uploadChanged && m_Upload.Progress() != before;
        if (*uploadChanged)
            *upload = m_Upload.Progress();
        if (*uploadChanged && answer)
            m_uUploadLastStep = kvtOlmoTickNow();
    }
    return inTransfer;
}

// ================================================================ events

void kvtOlmoTcpClientVyx::OnReady() {
    KVT_OLMO_REPORT(kvtInfo, "OlmoVyx OnReady", kFile, "kvt::kvtOlmoTcpClientVyx::OnReady");
}

void kvtOlmoTcpClientVyx::OnConnection(kvtOlmoTcpClient *channel, int socketState, int connectionState) {
    char text[128];
    std::snprintf(text, sizeof text, "OlmoVyx OnConnection C[%p]S[%i]CS[%i]", static_cast<void *>(channel),
                  socketState, connectionState);
    KVT_OLMO_REPORT(kvtInfo, text, kFile, "kvt::kvtOlmoTcpClientVyx::OnConnection");
}

void kvtOlmoTcpClientVyx::OnRead(const kvtIOlmoFrame *frame) {
    // The reader thread's default: only a sink that asked for debug reports gets the frames.
    if (!kvtLogWants(kvtLogLevel::Debug))
        return;
    std::string text;
    frame->ToString(text, 63, true);
    kvtLogWrite(kvtLogLevel::Debug, text + "\n");
}

void kvtOlmoTcpClientVyx::OnDownloadConfiguration(const kvtDownloadProgress &p) {
    kvtLogPrintf(kvtLogLevel::Debug,
                 "kvtOlmoTcpClientVyx::OnDownloadConfiguration [%s][%i][%s][%i][%i][%.3f][%s][%s][%s]\n%s",
                 p.IsEnd() ? "true" : "false", p.error, p.info.c_str(), static_cast<int>(p.serverBytes),
                 static_cast<int>(p.receivedBytes), p.fraction, p.clientFile.c_str(), p.clientMd5.c_str(),
                 p.serverMd5.c_str(),
                 !p.IsEnd()     ? ""
                 : p.error != 0 ? "Download Error\n"
                                : "New configuration is ready\n");
}

void kvtOlmoTcpClientVyx::OnUploadConfiguration(const kvtUploadProgress &p) {
    kvtLogPrintf(kvtLogLevel::Debug,
                 "kvtOlmoTcpClientVyx::OnUploadConfiguration [%s][%i][%s][%i][%i][%.3f][%s][%s][%s]\n",
                 p.IsEnd() ? "true" : "false", p.error, p.info.c_str(), static_cast<int>(p.clientBytes),
                 static_cast<int>(p.sentBytes), p.fraction, p.clientFile.c_str(), p.clientMd5.c_str(),
                 p.serverMd5.c_str());
}

} // namespace kvt
