#pragma once
// VYXConnector: owns the Olmo protocol client and turns its events (which arrive on the SDK's
// own threads) into Qt signals carrying raw server texts or JSON. The bridge connects these
// signals (queued, since emitter and receiver live on different threads) and is responsible for
// escaping every text before it goes into page script.
#include "commandreplyqueue.h"
#include "kvt_olmotcpclientvyx.h"
#include "liveupdates.h"

#include <QByteArray>
#include <QDomDocument>
#include <QJsonDocument>
#include <QObject>
#include <QSet>
#include <QString>

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

class VYXConnector : public QObject {
    Q_OBJECT

public:
    // The parameter UID list keeps each UID once and never more than this many.
    static constexpr int kMaxParameterUids = 1 << 20;

    // Server-side command lines of the KNX gateway slots.
    static const char *const kKnxGatewayStartCommand;
    static const char *const kKnxGatewayStopCommand;

    VYXConnector();
    // Stops the client first, so no callback reaches a half-destroyed connector. A subclass that
    // overrides a handler must call Client().Stop() in its own destructor for the same reason.
    ~VYXConnector() override;

    // The SDK's reports go to the vyx.connector category from then on, at their own level; only
    // the levels the category shows are formatted. Each connector sets this when it is built.
    static void RouteSdkReports();

    VYXConnector(const VYXConnector &) = delete;
    VYXConnector &operator=(const VYXConnector &) = delete;

    // The protocol client; the bridge calls its command operations directly (GUI thread).
    kvt::kvtOlmoTcpClientVyx &Client() { return m_client; }

    // Pending command-line requests; see commandreplyqueue.h. The bridge pushes one entry (tag and
    // command line) per QueryExecuteCommandLine it sends, right when it sends it; each answer is
    // emitted as commandLineReply(tag, info). The queue is emptied when a channel closes.
    CommandReplyQueue &CommandReplies() { return m_commandReplies; }

    // Text <-> code tables of the connection callback (codes outside the tables give "").
    static QString SocketStateText(int socketState);
    static QString ConnectionStateText(int connectionState);

    // Zephron helpers for the bridge slots:
    // the frame that carries a text command (type 1, no addresses, payload = UTF-8 text, n + 23
    // bytes), as sent by SendZephronCommand.
    static QByteArray BuildZephronCommand(const QString &command);
    // Logs "VYX Zephron cmd: <command>" and queues the command frame on the client (0 or the
    // client's error number).
    int SendZephronCommand(const QString &command);
    // The message as the page's feedback function gets it: every double quote becomes "|||".
    // (The bridge still escapes the result as a script literal.)
    static QString ZephronFeedbackText(const QString &message);
    // The raw-bus switch value of VYXEnableBusDebug: 1 when enable is "true" in any letter case.
    static unsigned char BusDebugFlag(const QString &enable);

    // What the server pushes on its own (parameter changes, broadcasts, Zephron texts) goes, once
    // this is switched on, into Live() instead of one signal per frame: the GUI is woken by
    // liveUpdatesPending() and takes it all at once, so a flood neither queues events without
    // bound nor stalls the GUI. Off, every frame is its own signal as before.
    void EnableLiveBuffer(bool on) { m_liveBuffer.store(on); }
    LiveUpdates &Live() { return m_live; }

    // Results remembered from the server's answers (safe to read from any thread).
    std::vector<uint32_t> ParameterUids() const;
    QByteArray DatabaseMd5() const;
    QByteArray ClientConfigurationMd5() const;
    qint32 DatabaseMaxSize() const;
    quint8 ClientLevel() const;

    // Event handlers; they run on the client's threads.
    virtual void OnReady();
    virtual void OnConnection(kvt::kvtOlmoTcpClient *channel, const QString &connectionState,
                              const QString &socketState);
    virtual void OnRead(const kvt::kvtIOlmoFrame *frame);
    virtual void OnAuthentication(int state, const QByteArray &message);
    virtual void OnDownloadConfiguration(const kvt::kvtDownloadProgress *progress);
    virtual void OnUploadConfiguration(const kvt::kvtUploadProgress *progress);

    // Verdict logged (vyx.connector, debug) before every upload progress report.
    static void PrintUploadVerdict(const kvt::kvtUploadProgress &progress);
    // Progress JSON texts (payload of InProgress).
    static QString DownloadProgressJson(const kvt::kvtDownloadProgress &progress);
    static QString UploadProgressJson(const kvt::kvtUploadProgress &progress);
    // Parameter JSON (payload of updateParameter) for any frame.
    static QJsonDocument ParameterDocument(const kvt::kvtIOlmoFrame &frame);
    // Its parts: the value as text and the frame's scope ("" when the kind has no name).
    static void ParameterFields(const kvt::kvtIOlmoFrame &frame, QString *value, QString *scope);
    // The frame's text payload (type 12) up to its first NUL, never past the frame; else empty.
    static QByteArray FrameText(const kvt::kvtIOlmoFrame &frame);
    // The Zephron message text carried by a code-1010033 data frame (up to its first NUL); false
    // when the frame fails a check, has a code other than 0, or no payload.
    static bool ZephronText(const kvt::kvtIOlmoFrame &frame, QByteArray *text);

signals:
    void InProgress(QString json);
    void updateParameter(QJsonDocument json);
    // Both carry the client's connection generation (kvtOlmoTcpClientVyx::GetGeneration) of the
    // connection that raised them, so a receiver can tell a replaced connection's late reports.
    void connectionReady(quint64 generation);
    void connectionState(QString connectionType, QString eState, QString message, quint64 generation);
    void authenticationResponse(int eState, QString message);
    void VYXFolderCreated(QString json);
    void VYXFolderDeleted(QString json);
    void VYXFileCreate(QString json);
    void VYXFileDeleted(QString json);
    void VYXFileAppend(QString json);
    void VYXFileMD5(QString json);
    void VYXCommandLineExecuted(QString json);
    void VYXDatabaseMD5(QString QStringMD5);
    // The server's answer to a version query (at most 200 characters).
    void serverVersion(QString version);
    void VYXMessageReceived(QString data);
    void VYXZephronMessage(QString message);
    // Every command-line answer, with the tag of the request it answers (the oldest pending tag
    // of CommandReplies(); empty when nothing was pending) and the server's "info" text.
    void commandLineReply(QString tag, QString info);
    // Every folder or file answer (create, delete, append) with its command code and the server's
    // whole JSON answer (compact text), so the bridge can read its "err", "file"/"folder" and
    // "wrotebytes" members and hand it to the request it answers.
    void fileAnswer(int code, QString json);
    // The server's parameter list arrived: count values are asked for now.
    void parameterListReceived(int count);
    // Live() holds something and was empty before (emitted from the reader thread).
    void liveUpdatesPending();

protected:
    // Requests the handlers send back to the server (overridable so tests can observe them).
    virtual void queryParameterValue(uint32_t uid);
    virtual void sendUserUI(const QByteArray &user, const QByteArray &xml);
    virtual QByteArray loggedInUser();

private:
    friend struct VYXConnectorCallbacks;

    void handleConnectionCodes(kvt::kvtOlmoTcpClient *channel, int socketState, int connectionState);

    // OnRead's dispatch table: one row per server command whose answer is handled here.
    struct ReadRoute;
    static const ReadRoute kReadRoutes[];
    static const ReadRoute *FindReadRoute(uint32_t code);

    // The table's handlers, one per row kind.
    void handleParametersUid(const kvt::kvtIOlmoFrame &frame, const ReadRoute &route);
    void handleTextAnswer(const kvt::kvtIOlmoFrame &frame, const ReadRoute &route);
    void handleSystemReload(const kvt::kvtIOlmoFrame &frame, const ReadRoute &route);
    void handleUserUI(const kvt::kvtIOlmoFrame &frame, const ReadRoute &route);
    void handleDatabaseMd5(const kvt::kvtIOlmoFrame &frame, const ReadRoute &route);
    void handleServerVersion(const kvt::kvtIOlmoFrame &frame, const ReadRoute &route);
    void handleDatabaseMaxSize(const kvt::kvtIOlmoFrame &frame, const ReadRoute &route);
    void handleClientLevel(const kvt::kvtIOlmoFrame &frame, const ReadRoute &route);
    void handleJsonInfo(const kvt::kvtIOlmoFrame &frame, const ReadRoute &route);
    void handleFileMd5(const kvt::kvtIOlmoFrame &frame, const ReadRoute &route);
    void handleJsonAnswer(const kvt::kvtIOlmoFrame &frame, const ReadRoute &route);
    void handleCommandLine(const kvt::kvtIOlmoFrame &frame, const ReadRoute &route);
    void handleBroadcast(const kvt::kvtIOlmoFrame &frame, const ReadRoute &route);
    void handleZephron(const kvt::kvtIOlmoFrame &frame, const ReadRoute &route);
    // Every code the table does not list.
    void handleParameter(const kvt::kvtIOlmoFrame &frame);

    void handleUserUIXml(const QByteArray &xml);
    void handleUserUIWriteAnswer(const QJsonObject &answer);

    mutable std::mutex m_stateLock; // guards the remembered results below, only while read or written
    std::deque<uint32_t> m_parameterUids;
    QSet<uint32_t> m_knownUids;
    QDomDocument m_userInterface;
    QByteArray m_clientConfigurationMd5;
    QByteArray m_databaseMd5;
    qint32 m_databaseMaxSize = 0;
    quint8 m_clientLevel = 0;
    CommandReplyQueue m_commandReplies;
    std::atomic<bool> m_liveBuffer{false};
    LiveUpdates m_live{[this] { emit liveUpdatesPending(); }};
    // Declared last so it is destroyed first: its threads end before any member above goes.
    kvt::kvtOlmoTcpClientVyx m_client;
};
