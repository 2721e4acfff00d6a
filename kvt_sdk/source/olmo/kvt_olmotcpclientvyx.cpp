#include "kvt_olmotcpclientvyx.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <new>
#include <vector>

#include <unistd.h>

#include "kvt_json.h"
#include "kvt_olmoreport.h"
#include "kvt_osfile.h"

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
int request(kvtOlmoTcpClient& channel, const char* site, uint8_t kind, uint32_t code, SetValue set) {
  kvtOlmoFrame* frame = new (std::nothrow) kvtOlmoFrame();
  if (!frame) return KVT_OLMO_REPORT(kvtErrorOutOfMemory, "pFrame == 0", kFile, site);
  set(*frame);
  frame->SetKind(kind);
  frame->SetCode(code);
  channel.PushFrame(frame);
  return 0;
}
}  // namespace

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

int kvtOlmoTcpClientVyx::stop() {
  if (m_Command.Stop() != 0) KVT_OLMO_REPORT(kvtErrorFailed, "Can not stop command socket", kFile, "kvt::kvtOlmoTcpClientVyx::stop");
  const int r = m_Monitor.Stop();
  if (r != 0) KVT_OLMO_REPORT(kvtErrorFailed, "Can not stop monitor socket", kFile, "kvt::kvtOlmoTcpClientVyx::stop");
  {
    std::lock_guard<std::mutex> lock(m_TransferLock);
    if (m_Download.active) download_discard_partial();
    m_Download.Reset();
    m_Upload.Reset();
  }
  {
    std::lock_guard<std::mutex> lock(m_ReadyLock);
    m_bReadyAnnounced = false;
  }
  return r;
}

bool kvtOlmoTcpClientVyx::IsReady() { return m_Command.IsReady() && m_Monitor.IsReady(); }

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
  OnReady();
  if (m_pOnReady) m_pOnReady(m_pOwner);
}

int kvtOlmoTcpClientVyx::set_relations() {
  const uint32_t id = m_Monitor.GetClientId();
  return request(m_Command, "kvt::kvtOlmoTcpClientVyx::set_relations", kvtOlmoKindWrite, CmdRelation,
                 [id](kvtOlmoFrame& f) { f.SetAsULong(id); });
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
  OnConnection(channel, s, c);
  if (m_pOnConnection) m_pOnConnection(m_pOwner, channel, s, c);
}

// ================================================================ reading

void kvtOlmoTcpClientVyx::monitor_OnRead(void* owner, kvtOlmoTcpClient*, const kvtIOlmoFrame* frame) {
  static_cast<kvtOlmoTcpClientVyx*>(owner)->read_frame(frame);
}

void kvtOlmoTcpClientVyx::read_frame(const kvtIOlmoFrame* frame) {
  {
    std::lock_guard<std::recursive_mutex> lock(m_Lock);
    const uint32_t now = kvtOsGetTickCount();
    m_uLastReceive = now ? now : 1;  // 0 stands for "nothing received"
  }
  bool inTransfer = false;
  bool downloadChanged = false, uploadChanged = false;
  kvtDownloadProgress download;
  kvtUploadProgress upload;
  {
    std::lock_guard<std::mutex> lock(m_TransferLock);
    if (m_Download.active) {
      inTransfer = true;
      downloadChanged = true;
      if (update_download_configuration(frame, &downloadChanged)) m_Download.active = false;
      if (downloadChanged) download = m_Download;
    }
    if (m_Upload.active) {
      inTransfer = true;
      uploadChanged = true;
      if (update_upload_configuration(frame, &uploadChanged)) m_Upload.active = false;
      if (uploadChanged) upload = m_Upload;
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
  unsigned period;
  do {
    int timeOut;
    uint32_t last;
    {
      std::lock_guard<std::recursive_mutex> lock(m_Lock);
      timeOut = m_iHeartBeatTimeOut;
      last = m_uLastReceive;
      period = m_uHeartBeatPeriod;
    }
    if (IsReady()) {
      const uint32_t elapsed = last == 0 ? 0 : kvtOsGetTickCount() - last;
      std::printf("kvtOlmoTcpClientVyx::[Heart beat...][%i]\n", static_cast<int>(elapsed));
      QuerySystemTimeStamp();
      if (static_cast<int64_t>(elapsed) > 2 * static_cast<int64_t>(timeOut)) {
        KVT_OLMO_REPORT(kvtWarning, "Reset connection with olmo", kFile, "kvt::kvtOlmoTcpClientVyx::thread_heart_beat");
        stop();
        {
          // The rebuilt connection gets a full window to show life; comparing with
          // the frame before the reset would tear it down again at the next tick.
          std::lock_guard<std::recursive_mutex> lock(m_Lock);
          const uint32_t now = kvtOsGetTickCount();
          m_uLastReceive = now ? now : 1;
        }
        start();
      }
    }
  } while (thread->SleepUnlessStopped(period));
  std::printf("kvtOlmoTcpClientVyx::[Exit Heart beat!]\n");
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

int kvtOlmoTcpClientVyx::queue_frame(kvtOlmoFrame* frame, uint8_t kind, uint32_t code, const char* site) {
  if (!frame) return KVT_OLMO_REPORT(kvtErrorOutOfMemory, "pFrame == 0", kFile, site);
  frame->SetKind(kind);
  frame->SetCode(code);
  m_Command.PushFrame(frame);
  return 0;
}

int kvtOlmoTcpClientVyx::QueryFrame(kvtOlmoFrame* frame) {
  m_Command.PushFrame(frame);
  return 0;
}

int kvtOlmoTcpClientVyx::SendFrame(kvtOlmoFrame* frame) {
  m_Command.PushFrame(frame);
  return 0;
}

#define KVT_SITE(name) "kvt::kvtOlmoTcpClientVyx::" name

namespace {
auto uchar_value(unsigned char v) { return [v](kvtOlmoFrame& f) { f.SetAsUChar(v); }; }
auto uint_value(uint32_t v) { return [v](kvtOlmoFrame& f) { f.SetAsUInt(v); }; }
auto string_value(const std::string& v) { return [&v](kvtOlmoFrame& f) { f.SetAsString(v); }; }
auto bool_value(bool v) { return [v](kvtOlmoFrame& f) { f.SetAsBool(v); }; }
uint32_t id_value(int id) { return static_cast<uint32_t>(id); }
}  // namespace

int kvtOlmoTcpClientVyx::QueryParametersUID() {
  return request(m_Command, KVT_SITE("QueryParametersUID"), kvtOlmoKindRead, CmdQueryParametersUID, bool_value(false));
}
int kvtOlmoTcpClientVyx::QueryParameterValue(int id) {
  return request(m_Command, KVT_SITE("QueryParameterValue"), kvtOlmoKindRead, id_value(id), uint_value(id_value(id)));
}
int kvtOlmoTcpClientVyx::QueryParameterConfiguration(int id) {
  return request(m_Command, KVT_SITE("QueryParameterConfiguration"), kvtOlmoKindRead, CmdQueryParameterConfiguration, uint_value(id_value(id)));
}
int kvtOlmoTcpClientVyx::QueryParameterSettings(int id) {
  return request(m_Command, KVT_SITE("QueryParameterSettings"), kvtOlmoKindRead, CmdQueryParameterSettings, uint_value(id_value(id)));
}
int kvtOlmoTcpClientVyx::QueryParameterUIConfiguration(int id) {
  return request(m_Command, KVT_SITE("QueryParameterUIConfiguration"), kvtOlmoKindRead, CmdQueryParameterUIConfiguration, uint_value(id_value(id)));
}
int kvtOlmoTcpClientVyx::QueryParameterCustomData(int id) {
  return request(m_Command, KVT_SITE("QueryParameterCustomData"), kvtOlmoKindRead, CmdQueryParameterCustomData, uint_value(id_value(id)));
}
int kvtOlmoTcpClientVyx::QueryParameterReady(int id) {
  return request(m_Command, KVT_SITE("QueryParameterReady"), kvtOlmoKindRead, CmdQueryParameterReady, uint_value(id_value(id)));
}
int kvtOlmoTcpClientVyx::QueryClientLevel() {
  return request(m_Command, KVT_SITE("QueryClientLevel"), kvtOlmoKindRead, CmdQueryClientLevel, uchar_value(0));
}
int kvtOlmoTcpClientVyx::QueryDbMd5() {
  return request(m_Command, KVT_SITE("QueryDbMd5"), kvtOlmoKindRead, CmdQueryDbMd5, uchar_value(0));
}
int kvtOlmoTcpClientVyx::QueryDbMaxSize() {
  return request(m_Command, KVT_SITE("QueryDbMaxSize"), kvtOlmoKindRead, CmdQueryDbMaxSize, uchar_value(0));
}
int kvtOlmoTcpClientVyx::QueryUserUI(const std::string& key) {
  return request(m_Command, KVT_SITE("QueryUserUI"), kvtOlmoKindRead, CmdQueryUserUI, string_value(key));
}
int kvtOlmoTcpClientVyx::QuerySendUserUI(const std::string& key, const std::string& data) {
  const std::string json = "{\"key\":\"" + key + "\",\"base64\":\"" +
      kvtBase64Encode(reinterpret_cast<const unsigned char*>(data.data()), data.size()) + "\"}";
  return request(m_Command, KVT_SITE("QuerySendUserUI"), kvtOlmoKindWrite, CmdQueryUserUI, string_value(json));
}
int kvtOlmoTcpClientVyx::QueryDbChange(const std::string& md5, const std::string& file) {
  const std::string json = "{\"md5\":\"" + md5 + "\",\"file\":\"" + file + "\"}";
  return request(m_Command, KVT_SITE("QueryDbChange"), kvtOlmoKindWrite, CmdQueryDbChange, string_value(json));
}
int kvtOlmoTcpClientVyx::QueryClientsCount() {
  return request(m_Command, KVT_SITE("QueryClientsCount"), kvtOlmoKindRead, CmdQueryClientsCount, uchar_value(0));
}
int kvtOlmoTcpClientVyx::QuerySystemTimeStamp() {
  return request(m_Command, KVT_SITE("QuerySystemTimeStamp"), kvtOlmoKindRead, CmdQuerySystemTimeStamp, uchar_value(0));
}
int kvtOlmoTcpClientVyx::QueryServerVersion() {
  return request(m_Command, KVT_SITE("QueryServerVersion"), kvtOlmoKindRead, CmdQueryServerVersion, uchar_value(0));
}
int kvtOlmoTcpClientVyx::QueryFolderCreate(const std::string& path) {
  return request(m_Command, KVT_SITE("QueryFolderCreate"), kvtOlmoKindWrite, CmdQueryFolderCreate, string_value(path));
}
int kvtOlmoTcpClientVyx::QueryFolderDelete(const std::string& path) {
  return request(m_Command, KVT_SITE("QueryFolderDelete"), kvtOlmoKindWrite, CmdQueryFolderDelete, string_value(path));
}
int kvtOlmoTcpClientVyx::QueryFileCreate(const std::string& path) {
  return request(m_Command, KVT_SITE("QueryFileCreate"), kvtOlmoKindWrite, CmdQueryFileCreate, string_value(path));
}
int kvtOlmoTcpClientVyx::QueryFileDelete(const std::string& path) {
  return request(m_Command, KVT_SITE("QueryFileDelete"), kvtOlmoKindWrite, CmdQueryFileDelete, string_value(path));
}
int kvtOlmoTcpClientVyx::QueryFileMd5(const std::string& path) {
  return request(m_Command, KVT_SITE("QueryFileMd5"), kvtOlmoKindRead, CmdQueryFileMd5, string_value(path));
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
  return request(m_Command, site, kvtOlmoKindWrite, CmdQueryFileAppendData, [&block](kvtOlmoFrame& f) {
    f.SetAsData(block.data(), static_cast<uint32_t>(block.size()));
  });
}

int kvtOlmoTcpClientVyx::QueryExecuteCommandLine(const std::string& commandLine) {
  return request(m_Command, KVT_SITE("QueryExecuteCommandLine"), kvtOlmoKindWrite, CmdQueryExecuteCommandLine, string_value(commandLine));
}
int kvtOlmoTcpClientVyx::QueryEnableRawBusMessage() {
  return request(m_Command, KVT_SITE("QueryEnableRawBusMessage"), kvtOlmoKindRead, CmdEnableRawBusMessage, uchar_value(0));
}
int kvtOlmoTcpClientVyx::QueryEnableLogClients() {
  return request(m_Command, KVT_SITE("QueryEnableLogClients"), kvtOlmoKindRead, CmdEnableLogClients, uchar_value(0));
}
int kvtOlmoTcpClientVyx::QueryProjectJson() {
  return request(m_Command, KVT_SITE("QueryProjectJson"), kvtOlmoKindRead, CmdQueryProjectJson, uchar_value(0));
}
int kvtOlmoTcpClientVyx::SendEnableRawBusMessage(unsigned char enable) {
  return request(m_Command, KVT_SITE("SendEnableRawBusMessage"), kvtOlmoKindWrite, CmdEnableRawBusMessage, uchar_value(enable));
}
int kvtOlmoTcpClientVyx::SendEnableLogClients(unsigned char enable) {
  return request(m_Command, KVT_SITE("SendEnableLogClients"), kvtOlmoKindWrite, CmdEnableLogClients, uchar_value(enable));
}
int kvtOlmoTcpClientVyx::SendBroadcastMessage(const std::string& message, int level) {
  const std::string xml = "<message level=\"" + std::to_string(level) + "\"><![CDATA[" + message + "]]></message>";
  return request(m_Command, KVT_SITE("SendBroadcastMessage"), kvtOlmoKindWrite, CmdSendBroadcastMessage, string_value(xml));
}
int kvtOlmoTcpClientVyx::SendBroadcastData(const std::string& text) {
  return request(m_Command, KVT_SITE("SendBroadcastData"), kvtOlmoKindWrite, CmdSendBroadcastData, string_value(text));
}
int kvtOlmoTcpClientVyx::SendParameterValueAsByte(int id, unsigned char value, bool physical) {
  return request(m_Command, KVT_SITE("SendParameterValueAsByte"), write_kind(physical), id_value(id), uchar_value(value));
}
int kvtOlmoTcpClientVyx::SendParameterValueAsFloat(int id, float value, bool physical) {
  return request(m_Command, KVT_SITE("SendParameterValueAsFloat"), write_kind(physical), id_value(id),
                 [value](kvtOlmoFrame& f) { f.SetAsFloat(value); });
}
int kvtOlmoTcpClientVyx::SendParameterValueAsUint(int id, unsigned value, bool physical) {
  return request(m_Command, KVT_SITE("SendParameterValueAsUint"), write_kind(physical), id_value(id), uint_value(value));
}
int kvtOlmoTcpClientVyx::SendParameterValueAsString(int id, const std::string& text, bool physical) {
  return request(m_Command, KVT_SITE("SendParameterValueAsString"), write_kind(physical), id_value(id), string_value(text));
}
int kvtOlmoTcpClientVyx::SendParameterValueAsArray(int id, const uint8_t* bytes, unsigned length, bool physical) {
  return request(m_Command, KVT_SITE("SendParameterValueAsArray"), write_kind(physical), id_value(id),
                 [bytes, length](kvtOlmoFrame& f) { f.SetAsData(bytes, length); });
}
int kvtOlmoTcpClientVyx::SendZephronFrame(const uint8_t* bytes, unsigned length, bool physical) {
  return request(m_Command, KVT_SITE("SendZephronFrame"), write_kind(physical), CmdSendZephronFrame,
                 [bytes, length](kvtOlmoFrame& f) { f.SetAsData(bytes, length); });
}

// ================================================================ configuration download

int kvtOlmoTcpClientVyx::QueryDownloadConfiguration(const std::string& clientFile, const std::string& clientMd5) {
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
  }
  QueryDbMd5();
  return request(m_Command, KVT_SITE("QueryDownloadConfiguration"), kvtOlmoKindRead, CmdQueryDownloadConfiguration,
                 string_value(clientMd5));
}

void kvtOlmoTcpClientVyx::download_discard_partial() {
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

void kvtOlmoTcpClientVyx::download_step(const kvtIOlmoFrame* frame, bool*, bool* ended) {
  // Blocks go to a file beside the target; the target is replaced only once the
  // whole file passed its MD5 check, so a failed download never destroys it.
  const std::string cannotWrite = "Can not write db in " + m_Download.clientFile;
  kvtOsFile file;
  switch (frame->GetType()) {
    case kvtTypeULong:
      m_Download.info = "Get Length of file to donwload";
      if (file.Open(m_strDownloadTemp, "wb") != 0) {
        download_failed(2, cannotWrite, true);
        *ended = true;
        return;
      }
      m_Download.serverBytes = frame->GetAsULong();
      m_Download.fraction = 0.0f;
      m_DownloadMd5.Reset();
      return;
    case kvtTypeData: {
      const uint32_t length = frame->GetBufferLength() - kvtOlmoHeaderSize;
      m_Download.receivedBytes += length;
      if (file.Open(m_strDownloadTemp, "ab") != 0) {
        download_failed(2, cannotWrite, true);
        *ended = true;
        return;
      }
      const int written = length ? file.Write(frame->GetAsData(), length) : 0;
      file.Close();
      if (written == static_cast<int>(length)) {
        m_DownloadMd5.Update(frame->GetAsData(), length);
        m_Download.fraction = m_Download.serverBytes
            ? static_cast<float>(m_Download.receivedBytes) / static_cast<float>(m_Download.serverBytes) : 0.0f;
        return;
      }
      download_failed(written, "Can not write all data", true);
      *ended = true;
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

void kvtOlmoTcpClientVyx::download_end(const kvtIOlmoFrame* frame, bool* ended) {
  *ended = true;
  switch (frame->GetAsUChar()) {
    case 0: {
      // The digest of exactly the bytes written (each write was checked complete);
      // no second pass over the file. A block without a length first has no file.
      const bool written = ::access(m_strDownloadTemp.c_str(), F_OK) == 0;
      const std::string md5 = written ? m_DownloadMd5.Final() : std::string();
      if (md5.empty() || md5 != m_Download.serverMd5) {
        download_failed(1, "Md5 do not match, you must download database again", false);
        return;
      }
      if (std::rename(m_strDownloadTemp.c_str(), m_Download.clientFile.c_str()) != 0) {
        download_failed(2, "Can not write db in " + m_Download.clientFile, true);
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
  kvtUploadProgress refused;
  {
    std::lock_guard<std::mutex> lock(m_TransferLock);
    if (m_Upload.active) return KVT_OLMO_REPORT(kvtErrorFailed, "Upload in precess...", kFile, site);
    m_Upload.Reset();
    m_Upload.active = true;
    kvtOsFile file;
    if (file.Open(clientFile, "rb") != 0) {
      m_Upload.active = false;
      return KVT_OLMO_REPORT(kvtErrorFailed, "Can not read file " + clientFile, kFile, site);
    }
    file.Close();
    int size = 0;
    kvtOsFile::GetFileSize(clientFile, &size);
    m_Upload.error = 0;
    m_Upload.info.clear();
    m_Upload.sentBytes = 0;
    // A chunk size of 0 would never move the upload on.
    m_Upload.chunkSize = chunkSize ? chunkSize : kvtUploadProgress::DefaultChunkSize;
    m_Upload.clientFile = clientFile;
    m_Upload.serverFile = kvtOlmoUploadServerFile;
    m_Upload.clientBytes = size > 0 ? static_cast<uint32_t>(size) : 0;
    m_Upload.clientMd5 = lower(kvtMd5File(clientFile));
    if (m_Upload.clientBytes == 0) {
      // Nothing to append would ever end the exchange: refuse it here.
      m_Upload.active = false;
      m_Upload.error = kvtErrorFailed;
      m_Upload.info = "Configuration file is empty";
      refused = m_Upload;
    }
  }
  if (refused.error != 0) {
    const int r = KVT_OLMO_REPORT(kvtErrorFailed, refused.info + " " + clientFile, kFile, site);
    OnUploadConfiguration(refused);
    if (m_pOnUpload) m_pOnUpload(m_pOwner, &refused);
    return r;
  }
  return QueryFileDelete(kvtOlmoUploadServerFile);
}

void kvtOlmoTcpClientVyx::upload_append_next() {
  const uint32_t remaining = m_Upload.clientBytes - m_Upload.sentBytes;
  const uint32_t n = remaining < m_Upload.chunkSize ? remaining : m_Upload.chunkSize;
  if (n == 0) return;
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
      if (wrote > 0) up.sentBytes += static_cast<uint32_t>(wrote);
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
