#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QJsonDocument>
#include <QMap>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <memory>

#include "answerroutes.h"
#include "clientworker.h"
#include "commandlinerequests.h"
#include "desktunnel.h"
#include "journal.h"
#include "localfiles.h"
#include "passwordkeyring.h"
#include "plugininstall.h"
#include "progressthrottle.h"
#include "projectstore.h"
#include "remotecopyservice.h"
#include "vaultdesk.h"
#include "vyxconnector.h"
#include "widgetfiledialogs.h"
#include "workrunner.h"

class EtsImport;
class QFrame;
class WebHelpers;
class QHBoxLayout;
class QNetworkReply;
class QSqlDatabase;
class QUdpSocket;
class QWebFrame;
class QWebView;
class QUrl;
class JSMessagesThread;
class QMLLogClass;

// The object the page reaches as `vyxDesk`. Every public slot is callable from the page's
// JavaScript; slots that finish later answer through the page call queue (queueScript), which
// evaluates call texts in the page one at a time, in order, on the GUI thread.
//
// The slot bodies live in several files: js.cpp (core and general slots), js_discovery.cpp
// (server discovery), js_logwindows.cpp (log windows), js_services.cpp (local files, project,
// web and archive helpers), js_vault.cpp (backup vault and fleet), js_keyring.cpp (remembered
// passwords), js_journal.cpp (journal of
// changes) and js_server.cpp (everything that talks to the server). The remote copy and the
// plug-in installation are services (RemoteCopyService, PluginInstall in bridge/services/):
// js_server.cpp hands them the server's answers and their slots only delegate.
class JS : public QWidget {
    Q_OBJECT

public:
    explicit JS(QWidget *parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());
    ~JS() override;

    // Queues `expr` (a complete call text such as "(cb)(1)") for evaluation in the page. The text
    // is evaluated as a script in the page's global scope; the value it yields is discarded.
    // Safe from any thread; scripts from one thread reach the page in the order queued (other
    // threads go through the delivery thread JSMessagesThread).
    void queueScript(const QString &expr);
    // Queues "(callback)(\"text\")", the text escaped so that it arrives as the same string.
    void queueStringCall(const QString &callback, const QString &text);
    // Queues "(callback)(expression)"; only for expressions this program built itself (JSON).
    void queueExpressionCall(const QString &callback, const QString &expression);

    // Offers a parameter update (indented JSON text) to the log windows; true when a log window
    // took it and the page need not be told.
    bool routeLogParameter(const QString &text);

    QWebView *view() const { return webView; }
    // The server connection (not reachable from the page), for settings such as the transfer
    // time-out that only tests and tools change.
    VYXConnector &serverConnector() { return connector; }
    QWebFrame *mainFrame() const;
    QMap<QString, QMLLogClass *> openLogWindows() const { return logWindows; }
    // The journal of changes the server slots write to (js_journal.cpp).
    Journal &changeJournal() { return journal; }

    static QString applicationDir();
    // True for about:blank and for local files inside `htmlDir` (links resolved): the only
    // documents the web view may show.
    static bool isOwnPage(const QUrl &url, const QString &htmlDir);

    VaultDesk &vault() { return vaultDesk; }

public slots:
    bool writeFileAbsoluteFromBase64(QString filename, QString text);
    void LogWindow(QString id, QString type);
    bool VYXMessageSend(QString data, QString callback);
    void VYXMessageReceive(QString data);
    void replyFinished(QNetworkReply *reply);
    void abortLoading();
    void sendDatagram();
    void resendBroadcastSearch();
    void readPendingDatagrams();
    void stopSearch();
    void WEBGet(QString url, QString callback);
    void WEBReceived(QNetworkReply *reply);
    void WEBPost(QString url, QString parameters, QString callBack);
    void processPendingDatagrams();
    QString VYXIsConnected();
    void discover(QString cb);
    void openBrowser(QString url);
    QString VYXUpload(QString path, QString cb);
    QString VYXDownload(QString path, QString cb);
    QString VYXConnect(QString ip, QString port, QString user, QString password, QString cb);
    QString VYXQueryParametersUID();
    QString VYXQueryParameterValue(int id);
    QString VYXDisconnect();
    // Empty when taken; the reason when refused (the old value then stays).
    QString VYXSetHeartBeatTimeOut(QString timeout);
    QString VYXGetHeartBeatTimeOut();
    void VYXStartKNXGateway();
    void VYXStopKNXGateway();
    void VYXConnectionReady();
    void VYXConnectionState(QString connectionType, QString connectionStateText, QString strMessage);
    void VYXAuthenticationResponse(int eState, QString message);
    void submit();
    void populateJavaScriptWindowObject();
    void queryExecute(QString query);
    void choosePath();
    void exit();
    QString applicationPath();
    bool fileCopy(QString source, QString dest);
    QString fileCopyAbsolute(QString source, QString dest);
    bool selectFileToCopyInVYXManager(QString destinationPath, QString title, QString ext);
    QString copyAbsoluteFileInVYXManager(QString sourceFile, QString localDestinationPath);
    QString imageFileInfo(QString fname);
    void deleteFile(QString filename);
    QString loadProject(QString path, QString folderPath, QString extension);
    void clearProject();
    QString loadProjectConfig(QString path, QString folderPath, QString extension);
    QString saveProject(QString json, QString savePath, QString folderPath, QString extension);
    QString readFile(QString filename);
    QString readAnyFile(QString extensions);
    bool writeFile(QString filename, QString text);
    bool writeFileAbsolute(QString filename, QString text);
    QString selectImage(QString width, QString height);
    void uploadDone();
    void VYXInProgress(QString ss);
    void VYXUploadDownloadDone();
    void updateParameter(QJsonDocument json);
    void sendParameterValue(QString uid, QString type, QString value);
    QString fileList(QString path);
    QString folderList(QString path);
    QString getQTRelease();
    void setWindowTitle(QString title);
    QString selectFolder(QString title);
    bool saveFile(QString title, QString folderPath, QString ext, QString text);
    QString getSaveFileName(QString title, QString folderPath, QString ext);
    QString getOpenFileName(QString title, QString folderPath, QString ext);
    QString downloadFile(QString url, QString length, QString destPath, QString feedback);
    void fileDownloaded(QNetworkReply *pReply);
    QString getStoragePath();
    QString getTempPath();
    void VYXCreateFolder(QString destPath, QString feedback);
    void VYXCreateFolderDone(QString info);
    void VYXDeleteFolder(QString destPath, QString feedback);
    void VYXDeleteFolderDone(QString info);
    void VYXDeleteFile(QString destPath, QString feedback);
    void VYXDeleteFileDone(QString info);
    void VYXFileCopied(QString info);
    void VYXCreateFileDone(QString info);
    void VYXFileVerified(QString info);
    void VYXExecuteDone(QString info);
    void VYXDatabaseMD5(QString callBack);
    void VYXDatabaseMD5Done(QString info);
    void VYXPluginExtracted(QString info);
    void VYXPluginExtracted1(QString info);
    void VYXPluginExtracted2(QString info);
    void VYXPluginExtracted3(QString info);
    void VYXManagerDebug(QString text);
    QString VYXCopyFile(QString _hostFileName, QString _VYXfileName, QString callBack);
    QString VYXExecute(QString command, QString callBack);
    // Reads the whole file on the GUI thread (a 2 GiB file stalls the window for seconds): kept for
    // the page contract; the page itself asks MD5Async.
    QString MD5(QString Path);
    QString VYXInstallPlugin(QString pluginName, QString installPath, QString callBackStatus,
                             QString callBackComplete);
    void SetWorkingPath(QString path);
    QString readAbsoluteFile(QString filename);
    void OpenBrowserPage(QString url);
    void downloadProgress(qlonglong bytesReceived, qlonglong bytesTotal);
    QString isNalrioOnline();
    void VYXEnableBusDebug(QString enable);
    void VYXZephronCommand(QString command);
    void VYXZephronMessage(QString message);
    void newJSMEssage(QString js);
    // Inflates up to 256 MiB on the GUI thread: kept for the page contract; ETSProject_readFileAsync
    // is its twin off the GUI thread.
    QString ETSProject_readFile(QString projectPath, QString filePath);
    QString readWEBPage(QString url_string);
    void pageLoaded(bool estado);
    QString ETSProject_fileList(QString projectPath);
    void deleteAbsoluteFile(QString filename);
    QString encodeAccount(QString accountText);
    bool writeFileAbsoluteFromImageData(QString filename, QString text);
    // Reads the whole file on the GUI thread, as MD5 does; MD5Async is the twin of both.
    QString MD5file(QString filename);
    bool writeFileAbsoluteFromHEXString(QString filename, QString text);
    void VYXGuardian(QString info, QString callback);
    void VYXGuardianDone(QString info);
    void VYXConsole(QString command, QString callback);
    void VYXConsoleDone(QString info);
    // The server given on the command line (--connect), as JSON {host, port, user, name,
    // hasPassword, password}; "{}" when there is none. The password is handed out once.
    QString VYXStartupConnection();
    // The version text of the connected server, asked for when its connection is ready; "" until
    // it has answered.
    QString VYXServerVersion();
    // The generation of the connection that is ready ("0" when none): the page's connected state
    // belongs to it, and a report of an earlier generation says nothing about it.
    QString VYXReadyGeneration();
    // Reads an ETS project off the GUI thread: progress and the result reach the two callbacks
    // as JSON texts in a string. The password is used for this read only.
    // The batch of live parameter updates that the page is being called with (JSON array text);
    // "[]" outside that call. The one page call of a tick hands it to QT.updateParameters when
    // the page has it, else each entry to QT.updateParameter.
    QString takeLiveBatch();
    QString ETSProject_import(QString projectPath, QString password, QString progressCallback,
                              QString doneCallback);
    void ETSProject_cancelImport();
    // The journal of changes (js_journal.cpp). journalWatch names the page function told every
    // time a record cannot be written; journalSetSite names the server of the running connection
    // (its address when empty); journalEntries and journalExport take a filter as JSON {site, kind,
    // from, to} (dates YYYY-MM-DD) and answer JSON.
    void journalWatch(QString callback);
    void journalSetSite(QString name);
    QString journalEntries(QString filterJson);
    QString journalExport(QString format, QString filterJson, QString path);
    // Ends the running configuration transfer (upload or download) with its end record, and keeps
    // the connection.
    void VYXStopTransfer();
    // Starts the server's logic process again (after a restore stopped it and then failed): the
    // callback gets {"status": the server's answer}, as for VYXConsole.
    void VYXStartLogic(QString callback);
    // Stops the running copy of a local file (also the archive copy of a plug-in install).
    void VYXCancelCopy();
    // The backup vault and the fleet (js_vault.cpp).
    QString vaultList(QString host, QString port);
    // The newest copy of each site, read off the GUI thread; the answer goes to the callback.
    void vaultOverview(QString sitesJson, QString callback);
    QString vaultPartPath(QString host, QString port);
    bool vaultDiscard(QString part);
    void vaultAdd(QString requestJson, QString callback);
    // Retention hashes every verified copy again: off the GUI thread, answered to the callback.
    void vaultPrune(QString host, QString port, int keep, QString callback);
    void fleetProbe(QString sitesJson, QString callback);
    bool fleetBackup(QString requestJson, QString callback);
    // The MD5 of a local file off the GUI thread, the twin of MD5 and MD5file: {"bytes","size"} to
    // progressCallback (when given) at most about 20 times a second, then {"md5"} (lower-case hex)
    // or {"error"} to callback. A newer request to the same callback replaces the older one.
    void MD5Async(QString path, QString progressCallback, QString callback);
    // ETSProject_readFile off the GUI thread: the entry's text (or "") to the callback as a string.
    void ETSProject_readFileAsync(QString projectPath, QString filePath, QString callback);
    // Remembered passwords, in the desktop's keyring only (js_keyring.cpp); `site` is the saved
    // site's key. Each answers its callback later with JSON: keyringStatus {available, reason};
    // rememberPassword and forgetPassword {status: "ok" | "error", error}; rememberedPassword the
    // same with {found, password}.
    void keyringStatus(QString callback);
    void rememberPassword(QString site, QString password, QString callback);
    void rememberedPassword(QString site, QString callback);
    void forgetPassword(QString site, QString callback);
    // VYXConnect through an SSH tunnel (ssh://user@host[:port], key authentication), ip and port
    // as the SSH host sees the server. Returns "" once the tunnel starts opening, else why not;
    // a tunnel that cannot be opened answers the callback {"connection": "Tunnel failed",
    // "state": ssh's reason}. VYXConnect and VYXDisconnect end the tunnel.
    QString VYXConnectThroughTunnel(QString ip, QString port, QString user, QString password, QString tunnel,
                                    QString cb);

private:
    void setupUi();
    void applyWebSettings();
    void openInspector();
    void ensureProjectFolders();
    void closeDiscoverySockets();
    void readDiscoveryAnswers(QUdpSocket *socket);
    void evaluateNow(const QString &script);
    void connectServerSignals();
    // Server side (js_server.cpp): every command line goes out through sendCommandLine, so that
    // its answer reaches onCommandLineReply with the request it belongs to.
    void sendCommandLine(CommandLineRequests::Kind kind, const QString &callback, const QString &commandLine,
                         const char *journalKind = "command-line");
    void onCommandLineReply(QString tag, QString info);
    void queueStatus(const QString &callback, const QString &status);
    void queueConnectionObject(const QString &connection, const QString *state, quint64 generation);
    // Connection reports with the client's generation of the connection that raised them.
    void onConnectionReady(quint64 generation);
    void onConnectionState(const QString &connectionType, const QString &connectionStateText,
                           const QString &strMessage, quint64 generation);
    // True for a report raised before the latest connect or disconnect stopped its connection.
    bool reportsReplacedConnection(quint64 generation) const;
    void markConnectionStopped(kvt::kvtOlmoTcpClientVyx *client, quint64 connect);
    void forgetReadyConnection();
    // Folder, file and database requests: remembered with their callback before they go out, or
    // answered at once with kNotConnected when the client is not ready (false then).
    bool sendRoutedRequest(AnswerRoutes::Kind kind, const QString &callback, const QString &path);
    // `text` is journalled and is the page callback's first argument; `wholeAnswer` (the server's
    // whole result as JSON), when given, follows it as the second.
    void deliverRoutedAnswer(AnswerRoutes::Kind kind, const QString &answeredPath, const QString &text,
                             bool refused = false, const QString &wholeAnswer = QString());
    void onFileAnswer(int code, QString json);
    // The connection is gone: every request still waiting gets `reason` as its answer, so no page
    // operation waits for an answer that cannot come.
    void abandonRequests(const QString &reason);
    // Ready, and not being stopped: a Stop still waiting on the worker already counts.
    bool clientReady();
    // clientReady() for `request` (named in the log): a refusal while the page believes it is
    // connected is logged as a warning with both generations.
    bool readyFor(const char *request);
    // clientReady(), and the page has been told of the connection's ready report.
    bool announcedReady();
    // Journal of changes (js_journal.cpp): the intent before a request leaves (its id, 0 when it
    // could not be written), the result when its answer arrives.
    void openJournal();
    qint64 journalIntent(const char *kind, const QJsonObject &arguments);
    void journalResult(qint64 &intent, const char *outcome, const QString &result);
    // The same two, for the services that record their own changes.
    JournalRecorder journalRecorder();
    // What the remote copy and the plug-in installation send to the server (js_server.cpp).
    RemoteCopyService::Server copyServer();
    PluginInstall::Server pluginServer();
    // Configuration transfer (js_server.cpp): a transfer that did not start still ends, once,
    // with an end record to the page and a result in the journal.
    void transferNotStarted(qint64 &intent, const char *kind, const QString &path, const QString &callback,
                            int error, const QString &reason);
    // Every check of an upload passed and it holds before its first block: the server's logic is
    // stopped now, and the blocks go.
    void stopLogicBeforeBlocks(const QString &file);
    void deliverTransferReport(const QString &report);
    // What the server pushed on its own reaches the page once per tick at most (js_server.cpp).
    void onLiveUpdatesPending();
    void flushLiveUpdates();

    QMap<QString, QMLLogClass *> logWindows;

    // Form.
    QHBoxLayout *horizontalLayout = nullptr;
    QFrame *webFormFrame1 = nullptr;
    QHBoxLayout *horizontalLayout_2 = nullptr;
    QWebView *webView = nullptr;

    QWidget *mainWindow = nullptr;

    // Local services: files and dialogs, the project file, web access (which owns the two
    // network managers, the web callback and the download state).
    WidgetFileDialogs fileDialogs;
    LocalFiles localFiles;
    ProjectStore projectStore;
    WebHelpers *webHelpers = nullptr;

    // Discovery.
    QPointer<QUdpSocket> listenSocket;
    QPointer<QUdpSocket> querySocket;
    QPointer<QUdpSocket> broadcastSocket;
    QHostAddress groupAddress;
    QHostAddress queryAddress;
    QTimer *stopTimer = nullptr;
    QTimer *resendTimer = nullptr;
    QStringList foundList;
    QSet<QString> foundSet; // the same answers, to find one at once
    QString discoveryCallback;

    JSMessagesThread *messagesThread = nullptr;

    // Page callbacks of late answers. Folder, file and database answers go to their own request
    // through answerRoutes; the transfer and connection callbacks are one per kind (one such
    // operation runs at a time).
    QString transferCallback;
    QString connectionCallback;
    QString executeCallback;
    QString consoleCallback;
    QString guardianCallback;

    QSqlDatabase *queryDatabase = nullptr;

    EtsImport *etsImport = nullptr;
    QString etsProgressCallback;
    QString etsDoneCallback;

    // The server connection; its signals reach the slots above queued on the GUI thread.
    VYXConnector connector;

    // The backup vault and fleet backups, which run on connections of their own.
    VaultDesk vaultDesk;
    // Local work that grows with a file (hashes, archive entries) for the slots above.
    WorkRunner localWork;
    PasswordKeyring keyring;
    DeskTunnel tunnel;
    // The login waiting for its tunnel to open.
    struct TunnelLogin {
        QString ip, port, user, password, callback;
    } tunnelLogin;
    void onTunnelOpened(int localPort);
    void onTunnelFailed(const QString &reason);
    void startConnection(QString ip, QString port, QString user, QString password, QString cb);

    QHash<QString, QString> messageCallbacks;

    // Live updates: the tick timer, the time of the last page call and the count of dropped
    // texts the page was last told.
    QTimer *liveTimer = nullptr;
    QElapsedTimer liveSinceFlush;
    quint64 liveDroppedTexts = 0;
    QString liveBatch;

    // Server side: the command lines waiting for their answer.
    CommandLineRequests commandLines;
    AnswerRoutes answerRoutes;
    // Start, stop and the start of an upload run here, in order, off the GUI thread. Declared
    // after the connector, so it ends (and with it any job) before the connector goes.
    std::unique_ptr<ClientWorker> clientWorker{new ClientWorker};
    // False from VYXDisconnect until the next VYXConnect.
    bool connectionWanted = false;
    // Connects and disconnects asked for, and the last one whose old connection the worker has
    // stopped: in between, every report is the replaced connection's. After it, reports of
    // generations up to stoppedGeneration are too.
    quint64 connectsAsked = 0;
    quint64 connectsBegun = 0;
    quint64 stoppedGeneration = 0;
    // The generation whose ready report this bridge took (0: none since the last connect or
    // disconnect), and the one the page was told is ready and not told since that it ended.
    quint64 readyGeneration = 0;
    quint64 pageGeneration = 0;
    // readyGeneration once its report has been handed to the page (0 until then).
    quint64 announcedGeneration = 0;
    QString connectedServerVersion;

    // The journal of changes, the server the records name, and the intents waiting for their
    // answer: command lines by their tag and the running transfer.
    Journal journal;
    JournalServer journalServer;
    QString journalCallback;
    QHash<QString, qint64> journalCommandLines;
    qint64 journalTransfer = 0;
    // The running upload stopped the server's logic before its first block.
    bool logicStopped = false;
    // Progress of the running transfer, to the page about 20 times a second at most.
    ProgressThrottle transferReports{[this](const QString &report) { deliverTransferReport(report); }};
    // A download into the vault whose record waits for the vault's verdict on the copy (vaultAdd).
    qint64 journalVaultCopy = 0;
    QString journalVaultPart;
    // The digest of what that download wrote, from its end record.
    QString vaultPartMd5;

    // The remote copy and the plug-in installation that rides on it (one of each runs at a time).
    // After the journal and the connector, which their requests use.
    RemoteCopyService remoteCopy{copyServer(), journalRecorder()};
    PluginInstall pluginInstall{remoteCopy, pluginServer(), journalRecorder()};

public:
    // Shortest time between two page calls that carry live updates.
    static const int kLiveTickMs = 20;
    // Parameters handed to the page in one tick: bounds the JSON and the page's work per tick.
    static const int kLiveMaxParametersPerTick = 2000;
    // The batch of one tick as a JSON array: entries hold ParameterID, value, frameScope (when
    // known), changes (how many changes the latest value stands for) and, when some of those
    // were answers to a value request, answers (how many).
    static QString liveBatchJson(const std::vector<LiveUpdates::Parameter> &parameters);

    // The answer a request gets at once when the client is not ready, and the one that requests
    // still waiting get when the connection is lost.
    static const char kNotConnected[];
    static const char kConnectionLost[];
};
