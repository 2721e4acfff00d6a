#ifndef KVT_OLMOTCPCLIENTVYX_H
#define KVT_OLMOTCPCLIENTVYX_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "kvt_olmocodes.h"
#include "kvt_olmoframe.h"
#include "kvt_olmomd5stream.h"
#include "kvt_olmotcpclient.h"
#include "kvt_osthread.h"

namespace kvt {

// Error values of a transfer's progress record besides those of the steps (1 digest
// mismatch, 2 local write or server refusal, 3 and 4 the server's end values, or the
// server's own "err" of an upload step). Each ends the transfer with an end record.
enum kvtTransferError : int {
  kvtTransferTimedOut = 100,    // no answer for the transfer time-out; the channel is rebuilt
  kvtTransferInterrupted = 101  // Stop, or the connection closed while it ran
};

// Progress of a configuration download.
struct kvtDownloadProgress {
  bool active = false;
  uint32_t serverBytes = 0;
  uint32_t receivedBytes = 0;
  float fraction = 0.0f;
  int error = 0;
  std::string info;
  std::string clientFile;
  std::string clientMd5;
  std::string serverMd5;

  bool IsEnd() const { return !active; }
  uint32_t GetServerBytes() const { return serverBytes; }
  uint32_t GetReceivedBytes() const { return receivedBytes; }
  float GetPercentage() const { return fraction; }
  int GetError() const { return error; }
  const std::string& GetInfo() const { return info; }
  const std::string& GetClientFile() const { return clientFile; }
  const std::string& GetClientMd5File() const { return clientMd5; }
  const std::string& GetServerMd5File() const { return serverMd5; }
  void Reset() { *this = kvtDownloadProgress(); }
};

// Progress of a configuration upload.
struct kvtUploadProgress {
  static const uint32_t DefaultChunkSize = 524288;

  bool active = false;
  uint32_t chunkSize = DefaultChunkSize;
  uint32_t sentBytes = 0;
  float fraction = 0.0f;
  int error = 0;
  std::string info;
  uint32_t serverMaximum = 0;
  uint32_t clientBytes = 0;
  std::string clientFile;
  std::string serverFile;
  std::string clientMd5;
  std::string serverMd5;

  bool IsEnd() const { return !active; }
  uint32_t GetSentBytes() const { return sentBytes; }
  float GetPercentage() const { return fraction; }
  int GetError() const { return error; }
  const std::string& GetInfo() const { return info; }
  uint32_t GetClientBytes() const { return clientBytes; }
  const std::string& GetClientFile() const { return clientFile; }
  const std::string& GetClientMd5File() const { return clientMd5; }
  const std::string& GetServerMd5File() const { return serverMd5; }
  void Reset() { *this = kvtUploadProgress(); }
};

// Every server request; each builds one frame and queues it on the command
// channel. Results: 0 when queued, else the reported kvtError number; in particular
// kvtErrorNotConnected (11) when the client is not ready (IsReady false): the request
// is refused at once and nothing is queued.
class kvtIVyxCommands {
 public:
  virtual ~kvtIVyxCommands() {}
  virtual int QueryFrame(kvtOlmoFrame* frame) = 0;  // takes ownership
  virtual int QueryParametersUID() = 0;
  virtual int QueryParameterValue(int id) = 0;
  virtual int QueryParameterConfiguration(int id) = 0;
  virtual int QueryParameterSettings(int id) = 0;
  virtual int QueryParameterUIConfiguration(int id) = 0;
  virtual int QueryParameterCustomData(int id) = 0;
  virtual int QueryParameterReady(int id) = 0;
  virtual int QueryClientLevel() = 0;
  virtual int QueryDbMd5() = 0;
  virtual int QueryDbMaxSize() = 0;
  virtual int QueryUserUI(const std::string& key) = 0;
  virtual int QuerySendUserUI(const std::string& key, const std::string& data) = 0;
  virtual int QueryDbChange(const std::string& md5, const std::string& file) = 0;
  virtual int QueryClientsCount() = 0;
  virtual int QuerySystemTimeStamp() = 0;
  virtual int QueryServerVersion() = 0;
  virtual int QueryFolderCreate(const std::string& path) = 0;
  virtual int QueryFolderDelete(const std::string& path) = 0;
  virtual int QueryFileCreate(const std::string& path) = 0;
  virtual int QueryFileDelete(const std::string& path) = 0;
  virtual int QueryFileMd5(const std::string& path) = 0;
  virtual int QueryFileAppendData(const std::string& serverFile, const std::string& clientFile,
                                  int offset, unsigned count) = 0;
  virtual int QueryDownloadConfiguration(const std::string& clientFile,
                                         const std::string& clientMd5) = 0;
  virtual int QueryUploadConfiguration(const std::string& clientFile, unsigned chunkSize) = 0;
  virtual int QueryExecuteCommandLine(const std::string& commandLine) = 0;
  virtual int QueryEnableRawBusMessage() = 0;
  virtual int QueryEnableLogClients() = 0;
  virtual int QueryProjectJson() = 0;
  virtual int SendEnableRawBusMessage(unsigned char enable) = 0;
  virtual int SendEnableLogClients(unsigned char enable) = 0;
  virtual int SendBroadcastMessage(const std::string& message, int level) = 0;
  virtual int SendBroadcastData(const std::string& text) = 0;
  virtual int SendFrame(kvtOlmoFrame* frame) = 0;  // takes ownership
  virtual int SendParameterValueAsByte(int id, unsigned char value, bool physical) = 0;
  virtual int SendParameterValueAsFloat(int id, float value, bool physical) = 0;
  virtual int SendParameterValueAsUint(int id, unsigned value, bool physical) = 0;
  virtual int SendParameterValueAsString(int id, const std::string& text, bool physical) = 0;
  virtual int SendParameterValueAsArray(int id, const uint8_t* bytes, unsigned length,
                                        bool physical) = 0;
  virtual int SendZephronFrame(const uint8_t* bytes, unsigned length, bool physical) = 0;
};

// Owner callbacks of the two-channel client; owner is the pointer given to SetCallbacks.
// They run on the SDK's threads. Frames and records are only lent for the call.
typedef void (*kvtVyxReadyCallback)(void* owner);
typedef void (*kvtVyxConnectionCallback)(void* owner, kvtOlmoTcpClient* channel,
                                         int socketState, int connectionState);
typedef void (*kvtVyxReadCallback)(void* owner, const kvtIOlmoFrame* frame);
typedef void (*kvtVyxDownloadCallback)(void* owner, const kvtDownloadProgress* progress);
typedef void (*kvtVyxUploadCallback)(void* owner, const kvtUploadProgress* progress);

const int kvtOlmoDefaultPort = 18000;
const unsigned kvtOlmoHeartBeatPeriodMs = 5000;   // time-stamp query period
const int kvtOlmoHeartBeatTimeOutMs = 5000;       // silence above twice this rebuilds
const char* const kvtOlmoUploadServerFile = ".pokayoka";
const unsigned kvtOlmoTransferTimeOutMs = 30000;  // a transfer without an answer this long ends
const unsigned kvtOlmoRebuildPauseMs = 1000;      // least time between two rebuilds after a loss
const unsigned kvtOlmoWatchSliceMs = 100;         // how often the heartbeat thread looks at losses

// The client that talks to one server over a command channel and a monitor
// channel, with the heartbeat and the configuration transfers.
class kvtOlmoTcpClientVyx : public kvtIVyxCommands {
 public:
  kvtOlmoTcpClientVyx();
  ~kvtOlmoTcpClientVyx() override;
  kvtOlmoTcpClientVyx(const kvtOlmoTcpClientVyx&) = delete;
  kvtOlmoTcpClientVyx& operator=(const kvtOlmoTcpClientVyx&) = delete;

  // Set before Start.
  void SetCallbacks(void* owner, kvtVyxReadyCallback ready, kvtVyxConnectionCallback connection,
                    kvtVyxReadCallback read, kvtVyxDownloadCallback download,
                    kvtVyxUploadCallback upload);

  // While started, a lost connection (a channel closed or failed, or the monitor
  // silent past the heartbeat rule) is rebuilt by the heartbeat thread until it is
  // ready again; each readiness raises the ready event once.
  int Start(const std::string& host, int port, const std::string& user,
            const std::string& password);
  // Ends a running transfer with an end record (error kvtTransferInterrupted).
  int Stop();
  // Both channels ready, the relation sent, and no loss seen since.
  bool IsReady();
  std::string GetUser();

  int GetHeartBeatTimeOut();
  void SetHeartBeatTimeOut(int ms);
  // Period of the heartbeat (default kvtOlmoHeartBeatPeriodMs); takes effect at the next tick.
  unsigned GetHeartBeatPeriod();
  void SetHeartBeatPeriod(unsigned ms);
  // A transfer step that waits longer than this for its answer ends the transfer
  // (error kvtTransferTimedOut) and rebuilds the connection. Default kvtOlmoTransferTimeOutMs.
  unsigned GetTransferTimeOut();
  void SetTransferTimeOut(unsigned ms);

  kvtOlmoTcpClient& GetCommandChannel() { return m_Command; }
  kvtOlmoTcpClient& GetMonitorChannel() { return m_Monitor; }

  // kvtIVyxCommands
  int QueryFrame(kvtOlmoFrame* frame) override;
  int QueryParametersUID() override;
  int QueryParameterValue(int id) override;
  int QueryParameterConfiguration(int id) override;
  int QueryParameterSettings(int id) override;
  int QueryParameterUIConfiguration(int id) override;
  int QueryParameterCustomData(int id) override;
  int QueryParameterReady(int id) override;
  int QueryClientLevel() override;
  int QueryDbMd5() override;
  int QueryDbMaxSize() override;
  int QueryUserUI(const std::string& key) override;
  int QuerySendUserUI(const std::string& key, const std::string& data) override;
  int QueryDbChange(const std::string& md5, const std::string& file) override;
  int QueryClientsCount() override;
  int QuerySystemTimeStamp() override;
  int QueryServerVersion() override;
  int QueryFolderCreate(const std::string& path) override;
  int QueryFolderDelete(const std::string& path) override;
  int QueryFileCreate(const std::string& path) override;
  int QueryFileDelete(const std::string& path) override;
  int QueryFileMd5(const std::string& path) override;
  int QueryFileAppendData(const std::string& serverFile, const std::string& clientFile, int offset,
                          unsigned count) override;
  int QueryDownloadConfiguration(const std::string& clientFile,
                                 const std::string& clientMd5) override;
  int QueryUploadConfiguration(const std::string& clientFile, unsigned chunkSize) override;
  int QueryExecuteCommandLine(const std::string& commandLine) override;
  int QueryEnableRawBusMessage() override;
  int QueryEnableLogClients() override;
  int QueryProjectJson() override;
  int SendEnableRawBusMessage(unsigned char enable) override;
  int SendEnableLogClients(unsigned char enable) override;
  int SendBroadcastMessage(const std::string& message, int level) override;
  int SendBroadcastData(const std::string& text) override;
  int SendFrame(kvtOlmoFrame* frame) override;
  int SendParameterValueAsByte(int id, unsigned char value, bool physical) override;
  int SendParameterValueAsFloat(int id, float value, bool physical) override;
  int SendParameterValueAsUint(int id, unsigned value, bool physical) override;
  int SendParameterValueAsString(int id, const std::string& text, bool physical) override;
  int SendParameterValueAsArray(int id, const uint8_t* bytes, unsigned length,
                                bool physical) override;
  int SendZephronFrame(const uint8_t* bytes, unsigned length, bool physical) override;

  // Events: first these, then the owner callback.
  virtual void OnReady();
  virtual void OnConnection(kvtOlmoTcpClient* channel, int socketState, int connectionState);
  virtual void OnRead(const kvtIOlmoFrame* frame);
  virtual void OnDownloadConfiguration(const kvtDownloadProgress& progress);
  virtual void OnUploadConfiguration(const kvtUploadProgress& progress);

 protected:
  int start();
  // closeState: the connection state that the channels' close events carry.
  int stop(int closeState = kvtOlmoConnectionClosedByClient);
  int set_relations();
  // Transfer steps, on the monitor reader thread; true when the transfer ended.
  bool update_download_configuration(const kvtIOlmoFrame* frame, bool* changed);
  bool update_upload_configuration(const kvtIOlmoFrame* frame, bool* changed);
  // Channel ready events (registered on the channels).
  static void command_OnReady(void* owner, kvtOlmoTcpClient* client);
  static void monitor_OnReady(void* owner, kvtOlmoTcpClient* client);

 private:
  friend struct kvtOlmoFuzzAccess;
  static void command_OnConnection(void* owner, kvtOlmoTcpClient* client, int s, int c);
  static void monitor_OnConnection(void* owner, kvtOlmoTcpClient* client, int s, int c);
  static void on_authentication(void* owner, kvtOlmoTcpClient* client, int state,
                                const char* message);
  static void monitor_OnRead(void* owner, kvtOlmoTcpClient* client, const kvtIOlmoFrame* frame);
  static void thread_heart_beat(kvtIOsThread* thread, void* userData);

  void channel_ready(kvtOlmoTcpClient* other);
  void channel_connection(kvtOlmoTcpClient* channel, int s, int c);
  void read_frame(const kvtIOlmoFrame* frame);
  void heart_beat(kvtIOsThread* thread);
  void beat(int timeOut, uint32_t last);
  void rebuild(int closeState);
  void watch_transfers();
  void end_transfers(int error, const std::string& why);
  void deliver(const kvtDownloadProgress* download, const kvtUploadProgress* upload);
  void mark_lost(int connectionState);
  int refuse_not_ready(const char* site);
  template <typename SetValue>
  int request(const char* site, uint8_t kind, uint32_t code, SetValue set, uint64_t pendingKey = 0);
  void download_step(const kvtIOlmoFrame* frame, bool* changed, bool* ended);
  void download_end(const kvtIOlmoFrame* frame, bool* ended);
  void download_failed(int error, const std::string& info, bool report);
  void download_discard_partial();
  void download_close();
  bool download_commit_file();
  void upload_append_next();
  bool upload_parse(const kvtIOlmoFrame* frame, std::string* file, int* err, std::string* info,
                    int* wrote, std::string* md5);

  std::string m_strHost;
  int m_iPort = kvtOlmoDefaultPort;
  std::string m_strUser;
  std::string m_strPassword;
  kvtOlmoTcpClient m_Monitor;
  kvtOlmoTcpClient m_Command;
  kvtOsThread m_HeartBeat;

  std::recursive_mutex m_Lock;  // last receive time, heartbeat time-out and period
  uint32_t m_uLastReceive = 0;
  int m_iHeartBeatTimeOut = kvtOlmoHeartBeatTimeOutMs;
  unsigned m_uHeartBeatPeriod = kvtOlmoHeartBeatPeriodMs;

  std::mutex m_ReadyLock;        // readiness announced once per readiness
  bool m_bReadyAnnounced = false;
  std::atomic<bool> m_bReady{false};     // announced, requests accepted
  std::atomic<bool> m_bLost{false};      // a loss seen; the heartbeat thread rebuilds
  std::atomic<int> m_iLostState{kvtOlmoConnectionOk};
  std::atomic<bool> m_bStopping{false};  // our own stop: closes are not losses
  std::atomic<bool> m_bRefusalReported{false};
  uint32_t m_uLastRebuild = 0;           // heartbeat thread only
  unsigned m_uTransferTimeOut = kvtOlmoTransferTimeOutMs;  // under m_Lock

  std::mutex m_TransferLock;     // the two progress records
  kvtDownloadProgress m_Download;
  kvtUploadProgress m_Upload;
  std::string m_strDownloadTemp; // partial download beside the target
  FILE* m_pDownloadFile = nullptr;  // open from the length answer to the end
  kvtOlmoMd5Stream m_DownloadMd5; // digest of the bytes written to it so far
  uint32_t m_uDownloadLastStep = 0;  // tick of the last answer that moved each transfer
  uint32_t m_uUploadLastStep = 0;
  uint32_t m_uUploadInFlight = 0;    // bytes of the append request still unanswered
  bool m_bUploadPreparing = false;   // an upload reads its file before it starts

  void* m_pOwner = nullptr;
  kvtVyxReadyCallback m_pOnReady = nullptr;
  kvtVyxConnectionCallback m_pOnConnection = nullptr;
  kvtVyxReadCallback m_pOnRead = nullptr;
  kvtVyxDownloadCallback m_pOnDownload = nullptr;
  kvtVyxUploadCallback m_pOnUpload = nullptr;
};

}  // namespace kvt

#endif
