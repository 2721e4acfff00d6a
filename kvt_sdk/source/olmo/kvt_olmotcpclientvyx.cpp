#include "kvt_olmotcpclientvyx.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include <unistd.h>

#include "kvt_json.h"
#include "kvt_olmoreport.h"
#include "kvt_osfile.h"

#define KVT_SITE(name) "kvt::kvtOlmoTcpClientVyx::" name
#define KVT_SITE_STOP KVT_SITE("stop")

namespace kvt {

namespace {
const char* const kFile = "kvt_sdk/source/olmo/kvt_olmotcpclientvyx";
const char* const kPartialSuffix = ".part";

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool console_colour() { return isatty(STDOUT_FILENO) != 0; }

const char* kind_colour(uint8_t kind) {
  switch (kind) {
    case kvtOlmoKindRead: return "\x1b[33m";
    case kvtOlmoKindWrite: return "\x1b[36m";
    case kvtOlmoKindResponse: return "\x1b[32m";
    case kvtOlmoKindPhysical: return "\x1b[35m";
    default: return "\x1b[31m";
  }
}

uint8_t write_kind(bool physical) { return physical ? kvtOlmoKindPhysical : kvtOlmoKindWrite; }

// Builds one request frame: create, set the value, then kind and code; queue it.
template <typename SetValue>
int push_request(kvtOlmoTcpClient& channel, const char* site, uint8_t kind, uint32_t code, SetValue set,
                 uint64_t pendingKey) {
  kvtOlmoFrame* frame = new (std::nothrow) kvtOlmoFrame();
  if (!frame) return KVT_OLMO_REPORT(kvtErrorOutOfMemory, "pFrame == 0", kFile, site);
  set(*frame);
  frame->SetKind(kind);
  frame->SetCode(code);
  return channel.PushFrame(frame, pendingKey);
}

// A close, or a failure that ends a channel (states 4 to 8 come right before its close).
bool is_loss(int socketState, int connectionState) {
  return socketState == kvtSocketStateClosed ||
         (socketState == kvtSocketStateConnected && connectionState >= kvtOlmoConnectionSocketError &&
          connectionState <= kvtOlmoConnectionClosedByHost);
}

uint32_t tick_now() {
  const uint32_t now = kvtOsGetTickCount();
  return now ? now : 1;  // 0 stands for "never"
}
}  // namespace

template <typename SetValue>
int kvtOlmoTcpClientVyx::request(const char* site, uint8_t kind, uint32_t code, SetValue set, uint64_t pendingKey) {
  if (!IsReady()) return refuse_not_ready(site);
  return push_request(m_Command, site, kind, code, set, pendingKey);
}

int kvtOlmoTcpClientVyx::refuse_not_ready(const char* site) {
  // Reported once per outage; every refusal returns the number.
  if (m_bRefusalReported.exchange(true)) return kvtErrorNotConnected;
  return KVT_OLMO_REPORT(kvtErrorNotConnected, "Not connected: requests are refused until the connection is ready",
                         kFile, site);
}

// ================================================================ life cycle

kvtOlmoTcpClientVyx::kvtOlmoTcpClientVyx()
    : m_HeartBeat(&kvtOlmoTcpClientVyx::thread_heart_beat, this, false) {
  m_Command.SetCallbacks(this, &kvtOlmoTcpClientVyx::command_OnReady,
                         &kvtOlmoTcpClientVyx::command_OnConnection,
                         &kvtOlmoTcpClientVyx::on_authentication, nullptr);
  m_Monitor.SetCallbacks(this, &kvtOlmoTcpClientVyx::monitor_OnReady,
                         &kvtOlmoTcpClientVyx::monitor_OnConnection,
                         &kvtOlmoTcpClientVyx::on_authentication,
                         &kvtOlmoTcpClientVyx::monitor_OnRead);
}

kvtOlmoTcpClientVyx::~kvtOlmoTcpClientVyx() { Stop(); }

void kvtOlmoTcpClientVyx::SetCallbacks(void* owner, kvtVyxReadyCallback ready,
                                       kvtVyxConnectionCallback connection, kvtVyxReadCallback read,
                                       kvtVyxDownloadCallback download,
                                       kvtVyxUploadCallback upload) {
  m_pOwner = owner;
  m_pOnReady = ready;
  m_pOnConnection = connection;
  m_pOnRead = read;
  m_pOnDownload = download;
  m_pOnUpload = upload;
}

int kvtOlmoTcpClientVyx::Start(const std::string& host, int port, const std::string& user,
                               const std::string& password) {
  int r = Stop();
  if (r != 0) return KVT_OLMO_REPORT(kvtErrorFailed, "Can not stop", kFile, "kvt::kvtOlmoTcpClientVyx::Start");
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

int kvtOlmoTcpClientVyx::start() {
  const uint16_t port = static_cast<uint16_t>(m_iPort);
  int r = m_Command.Start(m_strHost, port, false, m_strUser, m_strPassword);
  if (r != 0) return KVT_OLMO_REPORT(kvtErrorFailed, "Can not start command socket", kFile, "kvt::kvtOlmoTcpClientVyx::start");
  r = m_Monitor.Start(m_strHost, port, true, m_strUser, m_strPassword);
  if (r == 0) return 0;
  if (m_Command.Stop() != 0) KVT_OLMO_REPORT(kvtErrorFailed, "Can not stop command socket", kFile, "kvt::kvtOlmoTcpClientVyx::start");
  return KVT_OLMO_REPORT(kvtErrorFailed, "Can not start m_command socket", kFile, "kvt::kvtOlmoTcpClientVyx::start");
}

int kvtOlmoTcpClientVyx::stop(int closeState) {
  m_bStopping.store(true);
  m_bReady.store(false);
  if (m_Command.Stop(closeState) != 0) KVT_OLMO_REPORT(kvtErrorFailed, "Can not stop command socket", kFile, "kvt::kvtOlmoTcpClientVyx::stop");
  const int r = m_Monitor.Stop(closeState);
  if (r != 0) KVT_OLMO_REPORT(kvtErrorFailed, "Can not stop monitor socket", kFile, "kvt::kvtOlmoTcpClientVyx::stop");
  // No frame reaches the steps any more: a transfer still running ends here, with a record.
  if (closeState == kvtOlmoConnectionClosedByClient) {
    end_transfers(kvtTransferInterrupted, "stopped before it ended");
  } else {
    end_transfers(kvtTransferInterrupted, "the connection closed before it ended");
  }
  {
    std::lock_guard<std::mutex> lock(m_ReadyLock);
    m_bReadyAnnounced = false;
  }
  m_bLost.store(false);
  m_bStopping.store(false);
  return r;
}

void kvtOlmoTcpClientVyx::end_transfers(int error, const std::string& why) {
  kvtDownloadProgress download;
  kvtUploadProgress upload;
  bool downloadEnded = false, uploadEnded = false;
  {
    std::lock_guard<std::mutex> lock(m_TransferLock);
    if (m_Download.active) {
      download_failed(error, "Download " + why, true);
      m_Download.active = false;
      download = m_Download;
      downloadEnded = true;
    }
    if (m_Upload.active) {
      m_Upload.active = false;
      m_Upload.error = error;
      m_Upload.info = "Upload " + why;
      KVT_OLMO_REPORT(error, m_Upload.info, kFile, KVT_SITE_STOP);
      upload = m_Upload;
      uploadEnded = true;
    }
    m_Download.Reset();
    m_Upload.Reset();
  }
  deliver(downloadEnded ? &download : nullptr, uploadEnded ? &upload : nullptr);
}

void kvtOlmoTcpClientVyx::deliver(const kvtDownloadProgress* download, const kvtUploadProgress* upload) {
  if (download) {
    OnDownloadConfiguration(*download);
    if (m_pOnDownload) m_pOnDownload(m_pOwner, download);
  }
  if (upload) {
    OnUploadConfiguration(*upload);
    if (m_pOnUpload) m_pOnUpload(m_pOwner, upload);
  }
}

bool kvtOlmoTcpClientVyx::IsReady() {
  return m_bReady.load() && !m_bLost.load() && m_Command.IsReady() && m_Monitor.IsReady();
}

std::string kvtOlmoTcpClientVyx::GetUser() { return m_Monitor.GetUser(); }

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

void kvtOlmoTcpClientVyx::command_OnReady(void* owner, kvtOlmoTcpClient*) {
  auto* self = static_cast<kvtOlmoTcpClientVyx*>(owner);
  self->channel_ready(&self->m_Monitor);
}

void kvtOlmoTcpClientVyx::monitor_OnReady(void* owner, kvtOlmoTcpClient*) {
  auto* self = static_cast<kvtOlmoTcpClientVyx*>(owner);
  self->channel_ready(&self->m_Command);
}

void kvtOlmoTcpClientVyx::channel_ready(kvtOlmoTcpClient* other) {
  if (!other->IsReady()) return;  // the other channel's ready event does the work
  {
    // Both channels may see each other ready at the same moment: announce once.
    std::lock_guard<std::mutex> lock(m_ReadyLock);
    if (m_bReadyAnnounced) return;
    m_bReadyAnnounced = true;
  }
  if (set_relations() != 0) {
    KVT_OLMO_REPORT(kvtErrorFailed, "Can not set relation between clients", kFile, "kvt::kvtOlmoTcpClientVyx::set_relations");
    return;
  }
  // Requests are accepted only now, so none can go out before the relation frame.
  m_bRefusalReported.store(false);
  m_bReady.store(true);
  OnReady();
  if (m_pOnReady) m_pOnReady(m_pOwner);
}

int kvtOlmoTcpClientVyx::set_relations() {
  const uint32_t id = m_Monitor.GetClientId();
  return push_request(m_Command, "kvt::kvtOlmoTcpClientVyx::set_relations", kvtOlmoKindWrite, CmdRelation,
                      [id](kvtOlmoFrame& f) { f.SetAsULong(id); }, 0);
}

// ================================================================ connection events

void kvtOlmoTcpClientVyx::command_OnConnection(void* owner, kvtOlmoTcpClient* client, int s, int c) {
  static_cast<kvtOlmoTcpClientVyx*>(owner)->channel_connection(client, s, c);
}

void kvtOlmoTcpClientVyx::monitor_OnConnection(void* owner, kvtOlmoTcpClient* client, int s, int c) {
  char text[160];
  std::snprintf(text, sizeof text, "Monitor OnConnection U[%p]C[%p]S[%i]CS[%i]", owner,
                static_cast<void*>(client), s, c);
  KVT_OLMO_REPORT(kvtInfo, text, kFile, "kvt::kvtOlmoTcpClientVyx::monitor_OnConnection");
  static_cast<kvtOlmoTcpClientVyx*>(owner)->channel_connection(client, s, c);
}

void kvtOlmoTcpClientVyx::on_authentication(void* owner, kvtOlmoTcpClient* client, int state,
                                            const char*) {
  // Authentication results reach the owner as socket state 0 with connection state 0, 1 or 2.
  static_cast<kvtOlmoTcpClientVyx*>(owner)->channel_connection(client, kvtSocketStateConnected, state);
}

void kvtOlmoTcpClientVyx::channel_connection(kvtOlmoTcpClient* channel, int s, int c) {
  // Not ready from the first sign of a loss on; the heartbeat thread rebuilds.
  if (!m_bStopping.load() && is_loss(s, c)) mark_lost(c);
  OnConnection(channel, s, c);
  if (m_pOnConnection) m_pOnConnection(m_pOwner, channel, s, c);
}

void kvtOlmoTcpClientVyx::mark_lost(int connectionState) {
  m_bReady.store(false);
  if (!m_bLost.exchange(true)) m_iLostState.store(connectionState);
}

// ================================================================ reading

void kvtOlmoTcpClientVyx::monitor_OnRead(void* owner, kvtOlmoTcpClient*, const kvtIOlmoFrame* frame) {
  static_cast<kvtOlmoTcpClientVyx*>(owner)->read_frame(frame);
}

void kvtOlmoTcpClientVyx::read_frame(const kvtIOlmoFrame* frame) {
  {
    std::lock_guard<std::recursive_mutex> lock(m_Lock);
    m_uLastReceive = tick_now();
  }
  bool inTransfer = false;
  bool downloadChanged = false, uploadChanged = false;
  kvtDownloadProgress download;
  kvtUploadProgress upload;
  {
    std::lock_guard<std::mutex> lock(m_TransferLock);
    // Only an answer moves a transfer on, and only that keeps its stall timer off.
    const bool answer = frame->GetKind() == kvtOlmoKindResponse;
    if (m_Download.active) {
      inTransfer = true;
      downloadChanged = true;
      if (update_download_configuration(frame, &downloadChanged)) m_Download.active = false;
      if (downloadChanged) download = m_Download;
      if (downloadChanged && answer) m_uDownloadLastStep = tick_now();
    }
    if (m_Upload.active) {
      inTransfer = true;
      uploadChanged = true;
      if (update_upload_configuration(frame, &uploadChanged)) m_Upload.active = false;
      if (uploadChanged) upload = m_Upload;
      if (uploadChanged && answer) m_uUploadLastStep = tick_now();
    }
  }
  // Events get copies, so no lock is held while the owner runs.
  if (downloadChanged) {
    OnDownloadConfiguration(download);
    if (m_pOnDownload) m_pOnDownload(m_pOwner, &download);
  }
  if (uploadChanged) {
    OnUploadConfiguration(upload);
    if (m_pOnUpload) m_pOnUpload(m_pOwner, &upload);
  }
  if (inTransfer) return;
  OnRead(frame);
  if (m_pOnRead) m_pOnRead(m_pOwner, frame);
}

// ================================================================ heartbeat

void kvtOlmoTcpClientVyx::thread_heart_beat(kvtIOsThread* thread, void* userData) {
  static_cast<kvtOlmoTcpClientVyx*>(userData)->heart_beat(thread);
}

void kvtOlmoTcpClientVyx::heart_beat(kvtIOsThread* thread) {
  // Looks often at losses and stalled transfers; beats (time-stamp query and silence
  // rule) once per period. The first beat comes one period after the start: a
  // connection made just now has nothing to prove yet.
  uint32_t lastBeat = tick_now();
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
    const uint32_t now = tick_now();
    if (m_bLost.load()) {
      if (m_uLastRebuild == 0 || now - m_uLastRebuild >= kvtOlmoRebuildPauseMs) rebuild(m_iLostState.load());
    } else {
      watch_transfers();
    }
    if (now - lastBeat >= period) {
      lastBeat = now;
      beat(timeOut, last);
    }
    const unsigned slice = period < kvtOlmoWatchSliceMs ? period : kvtOlmoWatchSliceMs;
    if (!thread->SleepUnlessStopped(slice)) break;
  }
  std::printf("kvtOlmoTcpClientVyx::[Exit Heart beat!]\n");
}

void kvtOlmoTcpClientVyx::beat(int timeOut, uint32_t last) {
  if (!IsReady()) return;
  const uint32_t elapsed = last == 0 ? 0 : kvtOsGetTickCount() - last;
  std::printf("kvtOlmoTcpClientVyx::[Heart beat...][%i]\n", static_cast<int>(elapsed));
  QuerySystemTimeStamp();
  if (static_cast<int64_t>(elapsed) > 2 * static_cast<int64_t>(timeOut)) {
    KVT_OLMO_REPORT(kvtWarning, "Reset connection with olmo", kFile, "kvt::kvtOlmoTcpClientVyx::thread_heart_beat");
    // The owner hears of the silence as the monitor channel's time-out, then of the closes.
    channel_connection(&m_Monitor, kvtSocketStateConnected, kvtOlmoConnectionTimeOut);
    rebuild(kvtOlmoConnectionTimeOut);
  }
}

void kvtOlmoTcpClientVyx::rebuild(int closeState) {
  m_uLastRebuild = tick_now();
  stop(closeState);
  {
    // The rebuilt connection gets a full window to show life; comparing with
    // the frame before the reset would tear it down again at the next tick.
    std::lock_guard<std::recursive_mutex> lock(m_Lock);
    m_uLastReceive = tick_now();
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
    now = tick_now();
    stalled = (m_Download.active && now - m_uDownloadLastStep > limit) ||
              (m_Upload.active && now - m_uUploadLastStep > limit);
  }
  if (!stalled) return;
  // The answers stopped: end the transfer with a record that says so, and rebuild the
  // connection, since the stream may be out of step with the exchange.
  end_transfers(kvtTransferTimedOut, "ended: no answer from the server for " + std::to_string(limit / 1000) + "." +
                                         std::to_string(limit % 1000 / 100) + " s");
  channel_connection(&m_Monitor, kvtSocketStateConnected, kvtOlmoConnectionTimeOut);
  rebuild(kvtOlmoConnectionTimeOut);
}

// ================================================================ events

void kvtOlmoTcpClientVyx::OnReady() {
  KVT_OLMO_REPORT(kvtInfo, "OlmoVyx OnReady", kFile, "kvt::kvtOlmoTcpClientVyx::OnReady");
}

void kvtOlmoTcpClientVyx::OnConnection(kvtOlmoTcpClient* channel, int socketState, int connectionState) {
  char text[128];
  std::snprintf(text, sizeof text, "OlmoVyx OnConnection C[%p]S[%i]CS[%i]", static_cast<void*>(channel),
                socketState, connectionState);
  KVT_OLMO_REPORT(kvtInfo, text, kFile, "kvt::kvtOlmoTcpClientVyx::OnConnection");
}

void kvtOlmoTcpClientVyx::OnRead(const kvtIOlmoFrame* frame) {
  std::string text;
  frame->ToString(text, 63, true);
  if (console_colour()) {
    std::printf("%s%s\n\x1b[0m", kind_colour(frame->GetKind()), text.c_str());
  } else {
    std::printf("%s\n", text.c_str());
  }
}

void kvtOlmoTcpClientVyx::OnDownloadConfiguration(const kvtDownloadProgress& p) {
  const bool colour = console_colour();
  std::printf("%skvtOlmoTcpClientVyx::OnDownloadConfiguration [%s][%i][%s][%i][%i][%.3f][%s][%s][%s]\n",
              colour ? "\x1b[36m" : "", p.IsEnd() ? "true" : "false", p.error, p.info.c_str(),
              static_cast<int>(p.serverBytes), static_cast<int>(p.receivedBytes), p.fraction,
              p.clientFile.c_str(), p.clientMd5.c_str(), p.serverMd5.c_str());
  if (p.IsEnd()) std::printf("%s", p.error != 0 ? "Download Error\n" : "New configuration is ready\n");
  if (colour) std::printf("\x1b[0m");
}

void kvtOlmoTcpClientVyx::OnUploadConfiguration(const kvtUploadProgress& p) {
  const bool colour = console_colour();
  std::printf("%skvtOlmoTcpClientVyx::OnUploadConfiguration [%s][%i][%s][%i][%i][%.3f][%s][%s][%s]\n%s",
              colour ? "\x1b[36m" : "", p.IsEnd() ? "true" : "false", p.error, p.info.c_str(),
              static_cast<int>(p.clientBytes), static_cast<int>(p.sentBytes), p.fraction,
              p.clientFile.c_str(), p.clientMd5.c_str(), p.serverMd5.c_str(), colour ? "\x1b[0m" : "");
}

// ================================================================ requests

int kvtOlmoTcpClientVyx::QueryFrame(kvtOlmoFrame* frame) {
  if (!IsReady()) {
    delete frame;
    return refuse_not_ready("kvt::kvtOlmoTcpClientVyx::QueryFrame");
  }
  return m_Command.PushFrame(frame);
}

int kvtOlmoTcpClientVyx::SendFrame(kvtOlmoFrame* frame) {
  if (!IsReady()) {
    delete frame;
    return refuse_not_ready("kvt::kvtOlmoTcpClientVyx::SendFrame");
  }
  return m_Command.PushFrame(frame);
}


namespace {
auto uchar_value(unsigned char v) { return [v](kvtOlmoFrame& f) { f.SetAsUChar(v); }; }
auto uint_value(uint32_t v) { return [v](kvtOlmoFrame& f) { f.SetAsUInt(v); }; }
auto string_value(const std::string& v) { return [&v](kvtOlmoFrame& f) { f.SetAsString(v); }; }
auto bool_value(bool v) { return [v](kvtOlmoFrame& f) { f.SetAsBool(v); }; }
uint32_t id_value(int id) { return static_cast<uint32_t>(id); }
}  // namespace

int kvtOlmoTcpClientVyx::QueryParametersUID() {
  return request(KVT_SITE("QueryParametersUID"), kvtOlmoKindRead, CmdQueryParametersUID, bool_value(false));
}
int kvtOlmoTcpClientVyx::QueryParameterValue(int id) {
  // A value query still waiting to be sent answers a repeated one too.
  const uint64_t pending = (uint64_t(1) << 32) | (id_value(id) & 0xFFFFFu);
  return request(KVT_SITE("QueryParameterValue"), kvtOlmoKindRead, id_value(id), uint_value(id_value(id)), pending);
}
int kvtOlmoTcpClientVyx::QueryParameterConfiguration(int id) {
  return request(KVT_SITE("QueryParameterConfiguration"), kvtOlmoKindRead, CmdQueryParameterConfiguration, uint_value(id_value(id)));
}
int kvtOlmoTcpClientVyx::QueryParameterSettings(int id) {
  return request(KVT_SITE("QueryParameterSettings"), kvtOlmoKindRead, CmdQueryParameterSettings, uint_value(id_value(id)));
}
int kvtOlmoTcpClientVyx::QueryParameterUIConfiguration(int id) {
  return request(KVT_SITE("QueryParameterUIConfiguration"), kvtOlmoKindRead, CmdQueryParameterUIConfiguration, uint_value(id_value(id)));
}
int kvtOlmoTcpClientVyx::QueryParameterCustomData(int id) {
  return request(KVT_SITE("QueryParameterCustomData"), kvtOlmoKindRead, CmdQueryParameterCustomData, uint_value(id_value(id)));
}
int kvtOlmoTcpClientVyx::QueryParameterReady(int id) {
  return request(KVT_SITE("QueryParameterReady"), kvtOlmoKindRead, CmdQueryParameterReady, uint_value(id_value(id)));
}
int kvtOlmoTcpClientVyx::QueryClientLevel() {
  return request(KVT_SITE("QueryClientLevel"), kvtOlmoKindRead, CmdQueryClientLevel, uchar_value(0));
}
int kvtOlmoTcpClientVyx::QueryDbMd5() {
  return request(KVT_SITE("QueryDbMd5"), kvtOlmoKindRead, CmdQueryDbMd5, uchar_value(0));
}
int kvtOlmoTcpClientVyx::QueryDbMaxSize() {
  return request(KVT_SITE("QueryDbMaxSize"), kvtOlmoKindRead, CmdQueryDbMaxSize, uchar_value(0));
}
int kvtOlmoTcpClientVyx::QueryUserUI(const std::string& key) {
  return request(KVT_SITE("QueryUserUI"), kvtOlmoKindRead, CmdQueryUserUI, string_value(key));
}
int kvtOlmoTcpClientVyx::QuerySendUserUI(const std::string& key, const std::string& data) {
  const std::string json = "{\"key\":\"" + key + "\",\"base64\":\"" +
      kvtBase64Encode(reinterpret_cast<const unsigned char*>(data.data()), data.size()) + "\"}";
  return request(KVT_SITE("QuerySendUserUI"), kvtOlmoKindWrite, CmdQueryUserUI, string_value(json));
}
int kvtOlmoTcpClientVyx::QueryDbChange(const std::string& md5, const std::string& file) {
  const std::string json = "{\"md5\":\"" + md5 + "\",\"file\":\"" + file + "\"}";
  return request(KVT_SITE("QueryDbChange"), kvtOlmoKindWrite, CmdQueryDbChange, string_value(json));
}
int kvtOlmoTcpClientVyx::QueryClientsCount() {
  return request(KVT_SITE("QueryClientsCount"), kvtOlmoKindRead, CmdQueryClientsCount, uchar_value(0));
}
int kvtOlmoTcpClientVyx::QuerySystemTimeStamp() {
  return request(KVT_SITE("QuerySystemTimeStamp"), kvtOlmoKindRead, CmdQuerySystemTimeStamp, uchar_value(0));
}
int kvtOlmoTcpClientVyx::QueryServerVersion() {
  return request(KVT_SITE("QueryServerVersion"), kvtOlmoKindRead, CmdQueryServerVersion, uchar_value(0));
}
int kvtOlmoTcpClientVyx::QueryFolderCreate(const std::string& path) {
  return request(KVT_SITE("QueryFolderCreate"), kvtOlmoKindWrite, CmdQueryFolderCreate, string_value(path));
}
int kvtOlmoTcpClientVyx::QueryFolderDelete(const std::string& path) {
  return request(KVT_SITE("QueryFolderDelete"), kvtOlmoKindWrite, CmdQueryFolderDelete, string_value(path));
}
int kvtOlmoTcpClientVyx::QueryFileCreate(const std::string& path) {
  return request(KVT_SITE("QueryFileCreate"), kvtOlmoKindWrite, CmdQueryFileCreate, string_value(path));
}
int kvtOlmoTcpClientVyx::QueryFileDelete(const std::string& path) {
  return request(KVT_SITE("QueryFileDelete"), kvtOlmoKindWrite, CmdQueryFileDelete, string_value(path));
}
int kvtOlmoTcpClientVyx::QueryFileMd5(const std::string& path) {
  return request(KVT_SITE("QueryFileMd5"), kvtOlmoKindRead, CmdQueryFileMd5, string_value(path));
}

int kvtOlmoTcpClientVyx::QueryFileAppendData(const std::string& serverFile, const std::string& clientFile,
                                             int offset, unsigned count) {
  const char* site = KVT_SITE("QueryFileAppendData");
  // The name's length travels in one byte; a block must fit what a receiver accepts.
  if (serverFile.size() > 255) return KVT_OLMO_REPORT(kvtErrorInvalidArgument, "Server file name longer than 255 bytes", kFile, site);
  if (count > kvtOlmoMaxPayload - 256) return KVT_OLMO_REPORT(kvtErrorInvalidArgument, "Block too large " + std::to_string(count), kFile, site);
  if (offset < 0) return KVT_OLMO_REPORT(kvtErrorInvalidArgument, "Negative offset", kFile, site);
  kvtOsFile file;
  if (file.Open(clientFile, "rb") != 0) {
    return KVT_OLMO_REPORT(kvtErrorFailed, "Can not read file " + clientFile, kFile, site);
  }
  std::vector<uint8_t> block(1 + serverFile.size() + count);
  block[0] = static_cast<uint8_t>(serverFile.size());
  std::copy(serverFile.begin(), serverFile.end(), block.begin() + 1);
  int got = 0;
  if (count > 0) {
    if (file.SetTo(offset) != 0) return KVT_OLMO_REPORT(kvtErrorFailed, "Can not read file " + clientFile, kFile, site);
    got = file.Read(block.data() + 1 + serverFile.size(), count);
    if (got < 0) return KVT_OLMO_REPORT(kvtErrorFailed, "Can not read file " + clientFile, kFile, site);
  }
  file.Close();
  block.resize(1 + serverFile.size() + static_cast<size_t>(got));
  return request(site, kvtOlmoKindWrite, CmdQueryFileAppendData, [&block](kvtOlmoFrame& f) {
    f.SetAsData(block.data(), static_cast<uint32_t>(block.size()));
  });
}

int kvtOlmoTcpClientVyx::QueryExecuteCommandLine(const std::string& commandLine) {
  return request(KVT_SITE("QueryExecuteCommandLine"), kvtOlmoKindWrite, CmdQueryExecuteCommandLine, string_value(commandLine));
}
int kvtOlmoTcpClientVyx::QueryEnableRawBusMessage() {
  return request(KVT_SITE("QueryEnableRawBusMessage"), kvtOlmoKindRead, CmdEnableRawBusMessage, uchar_value(0));
}
int kvtOlmoTcpClientVyx::QueryEnableLogClients() {
  return request(KVT_SITE("QueryEnableLogClients"), kvtOlmoKindRead, CmdEnableLogClients, uchar_value(0));
}
int kvtOlmoTcpClientVyx::QueryProjectJson() {
  return request(KVT_SITE("QueryProjectJson"), kvtOlmoKindRead, CmdQueryProjectJson, uchar_value(0));
}
int kvtOlmoTcpClientVyx::SendEnableRawBusMessage(unsigned char enable) {
  return request(KVT_SITE("SendEnableRawBusMessage"), kvtOlmoKindWrite, CmdEnableRawBusMessage, uchar_value(enable));
}
int kvtOlmoTcpClientVyx::SendEnableLogClients(unsigned char enable) {
  return request(KVT_SITE("SendEnableLogClients"), kvtOlmoKindWrite, CmdEnableLogClients, uchar_value(enable));
}
int kvtOlmoTcpClientVyx::SendBroadcastMessage(const std::string& message, int level) {
  const std::string xml = "<message level=\"" + std::to_string(level) + "\"><![CDATA[" + message + "]]></message>";
  return request(KVT_SITE("SendBroadcastMessage"), kvtOlmoKindWrite, CmdSendBroadcastMessage, string_value(xml));
}
int kvtOlmoTcpClientVyx::SendBroadcastData(const std::string& text) {
  return request(KVT_SITE("SendBroadcastData"), kvtOlmoKindWrite, CmdSendBroadcastData, string_value(text));
}
int kvtOlmoTcpClientVyx::SendParameterValueAsByte(int id, unsigned char value, bool physical) {
  return request(KVT_SITE("SendParameterValueAsByte"), write_kind(physical), id_value(id), uchar_value(value));
}
int kvtOlmoTcpClientVyx::SendParameterValueAsFloat(int id, float value, bool physical) {
  return request(KVT_SITE("SendParameterValueAsFloat"), write_kind(physical), id_value(id),
                 [value](kvtOlmoFrame& f) { f.SetAsFloat(value); });
}
int kvtOlmoTcpClientVyx::SendParameterValueAsUint(int id, unsigned value, bool physical) {
  return request(KVT_SITE("SendParameterValueAsUint"), write_kind(physical), id_value(id), uint_value(value));
}
int kvtOlmoTcpClientVyx::SendParameterValueAsString(int id, const std::string& text, bool physical) {
  return request(KVT_SITE("SendParameterValueAsString"), write_kind(physical), id_value(id), string_value(text));
}
int kvtOlmoTcpClientVyx::SendParameterValueAsArray(int id, const uint8_t* bytes, unsigned length, bool physical) {
  return request(KVT_SITE("SendParameterValueAsArray"), write_kind(physical), id_value(id),
                 [bytes, length](kvtOlmoFrame& f) { f.SetAsData(bytes, length); });
}
int kvtOlmoTcpClientVyx::SendZephronFrame(const uint8_t* bytes, unsigned length, bool physical) {
  return request(KVT_SITE("SendZephronFrame"), write_kind(physical), CmdSendZephronFrame,
                 [bytes, length](kvtOlmoFrame& f) { f.SetAsData(bytes, length); });
}

// ================================================================ configuration download

int kvtOlmoTcpClientVyx::QueryDownloadConfiguration(const std::string& clientFile, const std::string& clientMd5) {
  if (!IsReady()) return refuse_not_ready(KVT_SITE("QueryDownloadConfiguration"));
  {
    std::lock_guard<std::mutex> lock(m_TransferLock);
    if (m_Download.active) {
      return KVT_OLMO_REPORT(kvtErrorFailed, "Download in precess...", kFile, KVT_SITE("QueryDownloadConfiguration"));
    }
    m_Download.Reset();
    m_Download.active = true;
    m_Download.clientFile = clientFile;
    m_Download.clientMd5 = lower(clientMd5);
    m_strDownloadTemp = clientFile + kPartialSuffix;
    m_DownloadMd5.Reset();
    m_uDownloadLastStep = tick_now();
  }
  QueryDbMd5();
  return request(KVT_SITE("QueryDownloadConfiguration"), kvtOlmoKindRead, CmdQueryDownloadConfiguration,
                 string_value(clientMd5));
}

void kvtOlmoTcpClientVyx::download_close() {
  if (m_pDownloadFile) std::fclose(m_pDownloadFile);
  m_pDownloadFile = nullptr;
}

void kvtOlmoTcpClientVyx::download_discard_partial() {
  download_close();
  if (!m_strDownloadTemp.empty()) std::remove(m_strDownloadTemp.c_str());
}

void kvtOlmoTcpClientVyx::download_failed(int error, const std::string& info, bool report) {
  m_Download.error = error;
  m_Download.info = info;
  if (report) KVT_OLMO_REPORT(error, info, kFile, KVT_SITE("update_download_configuration"));
  download_discard_partial();
}

bool kvtOlmoTcpClientVyx::update_download_configuration(const kvtIOlmoFrame* frame, bool* changed) {
  *changed = true;
  if (frame->GetKind() != kvtOlmoKindResponse) return false;
  bool ended = false;
  switch (frame->GetCode()) {
    case CmdQueryDbMd5:
      m_Download.info = "Save Server MD5";
      m_Download.serverMd5 = lower(frame->GetAsString());
      break;
    case CmdQueryDownloadConfiguration:
      m_Download.info = "Donwload Data";
      download_step(frame, changed, &ended);
      break;
    default:
      *changed = false;  // swallowed: a download consumes every monitor frame
      break;
  }
  return ended;
}

namespace {
std::string system_error() { return std::string(": ") + std::strerror(errno); }
}  // namespace

void kvtOlmoTcpClientVyx::download_step(const kvtIOlmoFrame* frame, bool*, bool* ended) {
  // Blocks go to a file beside the target, created empty for this download and kept
  // open while it runs; the target is replaced only once every byte is on the disk and
  // their digest matched, so a failed download never destroys it.
  const std::string cannotWrite = "Can not write db in " + m_Download.clientFile;
  switch (frame->GetType()) {
    case kvtTypeULong:
      m_Download.info = "Get Length of file to donwload";
      download_close();
      m_pDownloadFile = std::fopen(m_strDownloadTemp.c_str(), "wb");
      if (!m_pDownloadFile) {
        download_failed(2, cannotWrite + system_error(), true);
        *ended = true;
        return;
      }
      m_Download.serverBytes = frame->GetAsULong();
      m_Download.receivedBytes = 0;
      m_Download.fraction = 0.0f;
      m_DownloadMd5.Reset();
      return;
    case kvtTypeData: {
      const uint32_t length = frame->GetBufferLength() - kvtOlmoHeaderSize;
      if (!m_pDownloadFile) {
        download_failed(2, "Data came before the length of the file", true);
        *ended = true;
        return;
      }
      // Never more than announced: the counters stay within 32 bits and the file
      // within what the server said it would send.
      if (length > m_Download.serverBytes - m_Download.receivedBytes) {
        download_failed(2, "The server sent more than the " + std::to_string(m_Download.serverBytes) +
                               " bytes it announced", true);
        *ended = true;
        return;
      }
      if (length == 0) return;
      if (std::fwrite(frame->GetAsData(), 1, length, m_pDownloadFile) != length) {
        download_failed(2, "Can not write all data in " + m_strDownloadTemp + system_error(), true);
        *ended = true;
        return;
      }
      m_DownloadMd5.Update(frame->GetAsData(), length);
      m_Download.receivedBytes += length;
      m_Download.fraction = m_Download.serverBytes
          ? static_cast<float>(m_Download.receivedBytes) / static_cast<float>(m_Download.serverBytes) : 1.0f;
      return;
    }
    case kvtTypeUChar:
      m_Download.info = "Donwload End";
      download_end(frame, ended);
      return;
    default:
      return;
  }
}

bool kvtOlmoTcpClientVyx::download_commit_file() {
  // Every byte must be on the disk before the digest counts: a failed flush, sync or
  // close fails the download.
  FILE* file = m_pDownloadFile;
  m_pDownloadFile = nullptr;
  if (!file) return false;
  bool ok = std::fflush(file) == 0;
  std::string why = ok ? std::string() : system_error();
  if (ok && ::fsync(fileno(file)) != 0) {
    ok = false;
    why = system_error();
  }
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    why = system_error();
  }
  if (!ok) download_failed(2, "Can not write all data in " + m_strDownloadTemp + why, true);
  return ok;
}

void kvtOlmoTcpClientVyx::download_end(const kvtIOlmoFrame* frame, bool* ended) {
  *ended = true;
  switch (frame->GetAsUChar()) {
    case 0: {
      if (!m_pDownloadFile) {  // no length came: nothing was written
        download_failed(1, "Md5 do not match, you must download database again", false);
        return;
      }
      if (m_Download.receivedBytes != m_Download.serverBytes) {
        download_failed(2, "Download ended after " + std::to_string(m_Download.receivedBytes) + " of " +
                               std::to_string(m_Download.serverBytes) + " bytes", true);
        return;
      }
      if (!download_commit_file()) return;
      // The digest of exactly the bytes written (each write checked, then flushed and
      // synced): no second pass over the file.
      const std::string md5 = m_DownloadMd5.Final();
      if (md5.empty() || md5 != m_Download.serverMd5) {
        download_failed(1, "Md5 do not match, you must download database again", false);
        return;
      }
      if (std::rename(m_strDownloadTemp.c_str(), m_Download.clientFile.c_str()) != 0) {
        download_failed(2, "Can not write db in " + m_Download.clientFile + system_error(), true);
        return;
      }
      m_Download.clientMd5 = m_Download.serverMd5;
      return;
    }
    case 1:
      m_Download.error = 0;
      m_Download.info = "Database is synced, no need to update it";
      download_discard_partial();
      return;
    case 2:
      download_failed(2, "No resources available in the server to send configuration file", true);
      return;
    case 3:
      download_failed(3, "Error reading the server configuration file", true);
      return;
    case 4:
      download_failed(4, "Can not finish download because server is shutdown", true);
      return;
    default:
      download_discard_partial();
      return;
  }
}

// ================================================================ configuration upload

int kvtOlmoTcpClientVyx::QueryUploadConfiguration(const std::string& clientFile, unsigned chunkSize) {
  const char* site = KVT_SITE("QueryUploadConfiguration");
  if (!IsReady()) return refuse_not_ready(site);
  {
    std::lock_guard<std::mutex> lock(m_TransferLock);
    if (m_Upload.active || m_bUploadPreparing) return KVT_OLMO_REPORT(kvtErrorFailed, "Upload in precess...", kFile, site);
    m_bUploadPreparing = true;  // claimed; the record stays idle until the file is read
  }
  // The file is read without any lock: the monitor reader takes the transfer lock for
  // every frame, and a large file takes long to hash.
  kvtUploadProgress prepared;
  int r = 0;
  {
    kvtOsFile file;
    if (file.Open(clientFile, "rb") != 0) {
      r = KVT_OLMO_REPORT(kvtErrorFailed, "Can not read file " + clientFile, kFile, site);
    }
  }
  if (r == 0) {
    int size = 0;
    kvtOsFile::GetFileSize(clientFile, &size);
    prepared.active = true;
    // A chunk size of 0 would never move the upload on.
    prepared.chunkSize = chunkSize ? chunkSize : kvtUploadProgress::DefaultChunkSize;
    prepared.clientFile = clientFile;
    prepared.serverFile = kvtOlmoUploadServerFile;
    prepared.clientBytes = size > 0 ? static_cast<uint32_t>(size) : 0;
    prepared.clientMd5 = lower(kvtMd5File(clientFile));
    if (prepared.clientBytes == 0 || prepared.clientMd5.empty()) {
      // Nothing to append would ever end the exchange: refuse it here.
      prepared.active = false;
      prepared.error = kvtErrorFailed;
      prepared.info = prepared.clientBytes == 0 ? "Configuration file is empty" : "Can not read file";
    }
  }
  // The connection may have gone while the file was read: then nothing starts.
  if (r == 0 && prepared.active && !IsReady()) r = refuse_not_ready(site);
  {
    std::lock_guard<std::mutex> lock(m_TransferLock);
    m_bUploadPreparing = false;
    if (r == 0 && prepared.active) {
      m_Upload = prepared;
      m_uUploadInFlight = 0;
      m_uUploadLastStep = tick_now();
    }
  }
  if (r != 0) return r;
  if (!prepared.active) {
    r = KVT_OLMO_REPORT(kvtErrorFailed, prepared.info + " " + clientFile, kFile, site);
    deliver(nullptr, &prepared);
    return r;
  }
  return QueryFileDelete(kvtOlmoUploadServerFile);
}

void kvtOlmoTcpClientVyx::upload_append_next() {
  const uint32_t remaining = m_Upload.clientBytes - m_Upload.sentBytes;
  const uint32_t n = remaining < m_Upload.chunkSize ? remaining : m_Upload.chunkSize;
  if (n == 0) return;
  m_uUploadInFlight = n;
  QueryFileAppendData(m_Upload.serverFile, m_Upload.clientFile, static_cast<int>(m_Upload.sentBytes), n);
}

bool kvtOlmoTcpClientVyx::upload_parse(const kvtIOlmoFrame* frame, std::string* file, int* err,
                                       std::string* info, int* wrote, std::string* md5) {
  const std::string text = frame->GetAsString();
  kvtJson json;
  if (json.LoadFromString(text) != 0 || !json.GetRoot()) {
    const std::string message = "Can not load setting data from " + text;
    KVT_OLMO_REPORT(kvtErrorFailed, message, kFile, KVT_SITE("update_upload_configuration"));
    // An answer that cannot be read ends the upload as a failure, never as "same".
    m_Upload.error = kvtErrorFailed;
    m_Upload.info = message;
    return false;
  }
  const cJSON* root = json.GetRoot();
  *err = 0;
  *wrote = 0;
  file->clear();
  info->clear();
  md5->clear();
  kvtJson::GetNodeValueAsInt(kvtJson::GetMember(root, "err"), err);
  kvtJson::GetNodeValueAsString(kvtJson::GetMember(root, "info"), info);
  kvtJson::GetNodeValueAsString(kvtJson::GetMember(root, "file"), file);
  kvtJson::GetNodeValueAsInt(kvtJson::GetMember(root, "wrotebytes"), wrote);
  kvtJson::GetNodeValueAsString(kvtJson::GetMember(root, "md5"), md5);
  return true;
}

bool kvtOlmoTcpClientVyx::update_upload_configuration(const kvtIOlmoFrame* frame, bool* changed) {
  const char* site = KVT_SITE("update_upload_configuration");
  *changed = true;
  if (frame->GetKind() != kvtOlmoKindResponse) return false;
  kvtUploadProgress& up = m_Upload;
  std::string file, info, md5;
  int err = 0, wrote = 0;
  switch (frame->GetCode()) {
    case CmdQueryFileDelete:
      up.info = "Delete Temporary Server File";
      if (!upload_parse(frame, &file, &err, &info, &wrote, &md5)) return true;
      if (file != up.serverFile) {
        KVT_OLMO_REPORT(up.error, up.info, kFile, site);
        up.error = 2;
        up.info = "Can not free temporary server resources file";
        return true;
      }
      QueryDbMd5();
      QueryDbMaxSize();
      return false;
    case CmdQueryDbMd5:
      up.info = "Check Client - Server MD5 ... ";
      up.serverMd5 = lower(frame->GetAsString());
      if (up.serverMd5 == up.clientMd5) {
        up.info += "Same, upload not necessary";
        up.error = 0;
        return true;
      }
      up.info += "Upload configuration";
      return false;
    case CmdQueryDbMaxSize:
      up.info = "Save Server Max Db Size";
      up.serverMaximum = frame->GetAsULong();
      if (up.serverMaximum < up.clientBytes) {
        up.error = 2;
        up.info = "Configuration file is too big";
        KVT_OLMO_REPORT(2, up.info, kFile, site);
        return true;
      }
      if (up.sentBytes < up.clientBytes) upload_append_next();
      return false;
    case CmdQueryFileAppendData:
      if (frame->GetType() != kvtTypeString) {
        *changed = false;  // only the text answer moves the upload on
        return false;
      }
      up.info = "Upload Data";
      if (!upload_parse(frame, &file, &err, &info, &wrote, &md5)) return true;
      if (file != up.serverFile) return false;
      // The server can only have written what was sent in the one block outstanding.
      if (wrote < 0 || static_cast<uint32_t>(wrote) > m_uUploadInFlight) {
        up.error = 2;
        up.info = "The server confirmed " + std::to_string(wrote) + " bytes of a block of " +
                  std::to_string(m_uUploadInFlight);
        KVT_OLMO_REPORT(2, up.info, kFile, site);
        return true;
      }
      m_uUploadInFlight = 0;
      up.sentBytes += static_cast<uint32_t>(wrote);
      up.fraction = up.clientBytes ? static_cast<float>(up.sentBytes) / static_cast<float>(up.clientBytes) : 0.0f;
      if (err != 0) {
        up.error = err;
        up.info = info;
        KVT_OLMO_REPORT(err, info, kFile, site);
        return true;
      }
      if (up.sentBytes >= up.clientBytes) {
        QueryFileMd5(up.serverFile);
      } else {
        upload_append_next();
      }
      return false;
    case CmdQueryFileMd5:
      up.serverMd5 = lower(frame->GetAsString());
      if (up.serverMd5 == up.clientMd5) {
        QueryDbChange(up.serverMd5, up.serverFile);
        return false;
      }
      up.error = 2;
      up.info = "MD5 do not match!";
      KVT_OLMO_REPORT(2, up.info, kFile, site);
      return true;
    case CmdQueryDbChange:
      up.info = "Check Change DB";
      if (!upload_parse(frame, &file, &err, &info, &wrote, &md5)) return true;
      if (file == up.serverFile) {
        up.error = err;
        up.info = info;
        if (md5 != up.clientMd5) {
          up.error = 2;
          up.info = "MD5 of new DB differ from source client file";
        }
      }
      return true;
    default:
      *changed = false;
      return false;
  }
}

}  // namespace kvt
