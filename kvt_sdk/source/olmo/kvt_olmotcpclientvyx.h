#ifndef KVT_OLMOTCPCLIENTVYX_H
#define KVT_OLMOTCPCLIENTVYX_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "kvt_olmocodes.h"
#include "kvt_olmoframe.h"
#include "kvt_olmotcpclient.h"
#include "kvt_olmovyxcommands.h"
#include "kvt_olmovyxheartbeat.h"
#include "kvt_olmovyxtransfer.h"
#include "kvt_osthread.h"

namespace kvt {

// Owner callbacks of the two-channel client; owner is the pointer given to SetCallbacks.
// They run on the SDK's threads. Frames and records are only lent for the call.
typedef void (*kvtVyxReadyCallback)(void *owner);
typedef void (*kvtVyxConnectionCallback)(void *owner, kvtOlmoTcpClient *channel, int socketState,
                                         int connectionState);
typedef void (*kvtVyxReadCallback)(void *owner, const kvtIOlmoFrame *frame);
typedef void (*kvtVyxDownloadCallback)(void *owner, const kvtDownloadProgress *progress);
typedef void (*kvtVyxUploadCallback)(void *owner, const kvtUploadProgress *progress);

const int kvtOlmoDefaultPort = 18000;

// The client that talks to one server over a command channel and a monitor
// channel, with the heartbeat and the configuration transfers.
class kvtOlmoTcpClientVyx : public kvtIVyxCommands {
public:
    kvtOlmoTcpClientVyx();
    ~kvtOlmoTcpClientVyx() override;
    kvtOlmoTcpClientVyx(const kvtOlmoTcpClientVyx &) = delete;
    kvtOlmoTcpClientVyx &operator=(const kvtOlmoTcpClientVyx &) = delete;

    // Set before Start.
    void SetCallbacks(void *owner, kvtVyxReadyCallback ready, kvtVyxConnectionCallback connection,
                      kvtVyxReadCallback read, kvtVyxDownloadCallback download, kvtVyxUploadCallback upload);

    // While started, a lost connection (a channel closed or failed, or the monitor
    // silent past the heartbeat rule) is rebuilt by the heartbeat thread until it is
    // ready again; each readiness raises the ready event once.
    int Start(const std::string &host, int port, const std::string &user, const std::string &password);
    // Ends a running transfer with an end record (error kvtTransferError::Interrupted).
    int Stop();
    // Ends a running transfer with an end record (error kvtTransferError::Interrupted, "... stopped by the
    // user") and keeps the connection: the transfer's later answers are read as any other frame.
    void StopTransfers();
    // Both channels ready, the relation sent, and no loss seen since.
    bool IsReady();
    // Every start of the two channels (Start, and each rebuild by the heartbeat) begins a new
    // connection generation, counted from 1. Events raised by a connection's channels belong to
    // the generation read while they run; a generation that has ended never comes back.
    uint64_t GetGeneration() const { return m_uGeneration.load(); }
    // Ready, and still the connection of `generation`: a ready event read later than it was
    // raised may belong to a connection that has since been rebuilt or stopped.
    bool IsReadyAt(uint64_t generation);
    std::string GetUser();

    int GetHeartBeatTimeOut();
    void SetHeartBeatTimeOut(int ms);
    // Period of the heartbeat (default kvtOlmoHeartBeatPeriodMs); takes effect at the next tick.
    unsigned GetHeartBeatPeriod();
    void SetHeartBeatPeriod(unsigned ms);
    // A transfer step that waits longer than this for its answer ends the transfer
    // (error kvtTransferError::TimedOut) and rebuilds the connection. Default kvtOlmoTransferTimeOutMs.
    unsigned GetTransferTimeOut();
    void SetTransferTimeOut(unsigned ms);

    kvtOlmoTcpClient &GetCommandChannel() { return m_Command; }
    kvtOlmoTcpClient &GetMonitorChannel() { return m_Monitor; }

    // kvtIVyxCommands
    int QueryFrame(kvtOlmoFrame *frame) override;
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
    int QueryUserUI(const std::string &key) override;
    int QuerySendUserUI(const std::string &key, const std::string &data) override;
    int QueryDbChange(const std::string &md5, const std::string &file) override;
    int QueryClientsCount() override;
    int QuerySystemTimeStamp() override;
    int QueryServerVersion() override;
    int QueryFolderCreate(const std::string &path) override;
    int QueryFolderDelete(const std::string &path) override;
    int QueryFileCreate(const std::string &path) override;
    int QueryFileDelete(const std::string &path) override;
    int QueryFileMd5(const std::string &path) override;
    int QueryFileAppendData(const std::string &serverFile, const std::string &clientFile, int offset,
                            unsigned count) override;
    int QueryDownloadConfiguration(const std::string &clientFile, const std::string &clientMd5) override;
    int QueryUploadConfiguration(const std::string &clientFile, unsigned chunkSize) override;
    // The same, with two additions. holdBeforeBlocks: once every check has passed (the file is read,
    // the server's maximum size fits it and the server's digest differs) the upload reports a
    // record with IsHolding() and sends no block before ResumeUpload(), so that the owner can act
    // just before the first block. refusal (may be null): why the upload did not start, when it
    // returns non-zero. A refused upload delivers no record: its one end is the refusal.
    int QueryUploadConfiguration(const std::string &clientFile, unsigned chunkSize, bool holdBeforeBlocks,
                                 std::string *refusal);
    // Sends the first block of an upload that holds; false when no upload holds (it ended, or was
    // never asked to hold). commandLineFirst (may be empty) goes out just before the block, in the
    // same step, so it is sent only when the block is; *commandSent tells whether it was.
    bool ResumeUpload(const std::string &commandLineFirst = std::string(), bool *commandSent = nullptr);
    int QueryExecuteCommandLine(const std::string &commandLine) override;
    int QueryEnableRawBusMessage() override;
    int QueryEnableLogClients() override;
    int QueryProjectJson() override;
    int SendEnableRawBusMessage(unsigned char enable) override;
    int SendEnableLogClients(unsigned char enable) override;
    int SendBroadcastMessage(const std::string &message, int level) override;
    int SendBroadcastData(const std::string &text) override;
    int SendFrame(kvtOlmoFrame *frame) override;
    int SendParameterValueAsByte(int id, unsigned char value, bool physical) override;
    int SendParameterValueAsFloat(int id, float value, bool physical) override;
    int SendParameterValueAsUint(int id, unsigned value, bool physical) override;
    int SendParameterValueAsString(int id, const std::string &text, bool physical) override;
    int SendParameterValueAsArray(int id, const uint8_t *bytes, unsigned length, bool physical) override;
    int SendZephronFrame(const uint8_t *bytes, unsigned length, bool physical) override;

    // Events: first these, then the owner callback.
    virtual void OnReady();
    virtual void OnConnection(kvtOlmoTcpClient *channel, int socketState, int connectionState);
    virtual void OnRead(const kvtIOlmoFrame *frame);
    virtual void OnDownloadConfiguration(const kvtDownloadProgress &progress);
    virtual void OnUploadConfiguration(const kvtUploadProgress &progress);

protected:
    int start();
    // closeState: the connection state that the channels' close events carry.
    int stop(kvtOlmoConnectionState closeState = kvtOlmoConnectionState::ClosedByClient);
    int set_relations();
    // Channel ready events (registered on the channels).
    static void command_OnReady(void *owner, kvtOlmoTcpClient *client);
    static void monitor_OnReady(void *owner, kvtOlmoTcpClient *client);

private:
    friend struct kvtOlmoFuzzAccess;
    static void command_OnConnection(void *owner, kvtOlmoTcpClient *client, int s, int c);
    static void monitor_OnConnection(void *owner, kvtOlmoTcpClient *client, int s, int c);
    static void on_authentication(void *owner, kvtOlmoTcpClient *client, int state, const char *message);
    static void monitor_OnRead(void *owner, kvtOlmoTcpClient *client, const kvtIOlmoFrame *frame);
    static void thread_heart_beat(kvtIOsThread *thread, void *userData);

    void channel_ready(kvtOlmoTcpClient *other);
    void channel_connection(kvtOlmoTcpClient *channel, int s, int c);
    void channel_connection(kvtOlmoTcpClient *channel, kvtSocketState s, kvtOlmoConnectionState c);
    void read_frame(const kvtIOlmoFrame *frame);
    void heart_beat(kvtIOsThread *thread);
    void beat(int timeOut, uint32_t last);
    void rebuild(kvtOlmoConnectionState closeState);
    void watch_transfers();
    // asked: this side ended them (a stop), reported as notes only.
    void end_transfers(kvtTransferError error, const std::string &why, bool asked = false);
    void deliver(const kvtDownloadProgress *download, const kvtUploadProgress *upload);
    void mark_lost(kvtOlmoConnectionState connectionState);
    int refuse_not_ready(const char *site);
    // Checks and reads the file and makes the upload active; the reason in *why when it does not.
    int prepare_upload(const std::string &clientFile, unsigned chunkSize, bool holdBeforeBlocks,
                       std::string *why);
    template <typename SetValue>
    int request(const char *site, uint8_t kind, uint32_t code, SetValue set, uint64_t pendingKey = 0);
    bool step_transfers(const kvtIOlmoFrame *frame, kvtDownloadProgress *download, kvtUploadProgress *upload,
                        bool *downloadChanged, bool *uploadChanged);

    std::string m_strHost;
    int m_iPort = kvtOlmoDefaultPort;
    std::string m_strUser;
    std::string m_strPassword;
    kvtOlmoTcpClient m_Monitor;
    kvtOlmoTcpClient m_Command;
    kvtOsThread m_HeartBeat;

    std::recursive_mutex m_Lock; // last receive time, heartbeat time-out and period
    uint32_t m_uLastReceive = 0;
    int m_iHeartBeatTimeOut = kvtOlmoHeartBeatTimeOutMs;
    unsigned m_uHeartBeatPeriod = kvtOlmoHeartBeatPeriodMs;

    std::mutex m_ReadyLock; // readiness announced once per readiness
    bool m_bReadyAnnounced = false;
    std::atomic<bool> m_bReady{false}; // announced, requests accepted
    std::atomic<uint64_t> m_uGeneration{0};
    std::atomic<bool> m_bLost{false}; // a loss seen; the heartbeat thread rebuilds
    std::atomic<kvtOlmoConnectionState> m_iLostState{kvtOlmoConnectionState::Ok};
    std::atomic<bool> m_bStopping{false}; // our own stop: closes are not losses
    std::atomic<bool> m_bRefusalReported{false};
    uint32_t m_uLastRebuild = 0;                            // heartbeat thread only
    unsigned m_uTransferTimeOut = kvtOlmoTransferTimeOutMs; // under m_Lock

    std::mutex m_TransferLock; // the two transfers
    kvtOlmoDownload m_Download;
    kvtOlmoUpload m_Upload{*this};
    uint32_t m_uDownloadLastStep = 0; // tick of the last answer that moved each transfer
    uint32_t m_uUploadLastStep = 0;
    bool m_bUploadPreparing = false; // an upload reads its file before it starts

    void *m_pOwner = nullptr;
    kvtVyxReadyCallback m_pOnReady = nullptr;
    kvtVyxConnectionCallback m_pOnConnection = nullptr;
    kvtVyxReadCallback m_pOnRead = nullptr;
    kvtVyxDownloadCallback m_pOnDownload = nullptr;
    kvtVyxUploadCallback m_pOnUpload = nullptr;
};

} // namespace kvt

#endif
