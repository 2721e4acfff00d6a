// The slots that talk to the server: connection, parameters, configuration transfer, broadcast
// messages, remote files, command lines, plug-in installation and the Zephron bus. Requests go
// straight to the connector's protocol client (the remote copy and the plug-in installation
// through the services that hold them); answers come back as connector signals, queued on the GUI
// thread, and reach the page through the page call queue.
//
// Every text that came from the server goes into a call text through PageScript, so it reaches
// the page as data and never runs as script there.
#include "bridgelog.h"
#include "js.h"

#include "journalschema.h"
#include "pagescript.h"
#include "plugininstall.h"
#include "qmllogclass.h"

#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QWebFrame>

#include <climits>
#include <string>

namespace {

const char kGuardianCommand[] = "/nalrio/bin/nalrio_guardian ";
const unsigned kUploadChunkSize = 524288;
const int kConnectHeartBeatTimeOutMs = 120000;

std::string utf8(const QString &text) {
    return text.toUtf8().toStdString();
}

QString indented(const QJsonObject &object) {
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Indented));
}

// JSON built here or by the connector, safe as an expression (line separators escaped).
QString jsonExpression(const QString &json) {
    return PageScript::jsonOrStringLiteral(json);
}

// The emitter identifier of a broadcast message: the text before its first "|".
QString emitterOf(const QString &data) {
    return data.section(QLatin1Char('|'), 0, 0);
}

qint64 nowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

// The path an answer names ("file" or "folder"), to find the request it answers.
QString answeredPath(const QJsonObject &answer) {
    const QString file = answer.value(QStringLiteral("file")).toString();
    return file.isEmpty() ? answer.value(QStringLiteral("folder")).toString() : file;
}

// The journal's words for the end of a transfer.
QString transferResultText(const QJsonObject &progress, bool ok, bool logicStopped) {
    QString result = progress.value(QStringLiteral("GetInfo")).toString();
    const QString md5 = progress.value(QStringLiteral("GetServerMd5File")).toString();
    if (ok && !md5.isEmpty())
        result += (result.isEmpty() ? QString() : QStringLiteral("; ")) + QStringLiteral("MD5 ") + md5;
    if (!ok && logicStopped)
        result += QStringLiteral("; the server's logic was stopped before the first block and is not "
                                 "running");
    return result;
}

} // namespace

const char JS::kNotConnected[] = "Not connected: the request was not sent to the server.";
const char JS::kConnectionLost[] = "Connection lost: the server's answer cannot come any more.";

// Connection.

QString JS::VYXConnect(QString ip, QString port, QString user, QString password, QString cb) {
    tunnel.stop();
    startConnection(ip, port, user, password, cb);
    return QString();
}

QString JS::VYXConnectThroughTunnel(QString ip, QString port, QString user, QString password,
                                    QString tunnelUrl, QString cb) {
    QString error;
    if (!tunnel.open(tunnelUrl, ip, port.toInt(), error))
        return error;
    tunnelLogin = TunnelLogin{ip, port, user, password, cb};
    return QString();
}

void JS::onTunnelOpened(int localPort) {
    const TunnelLogin login = tunnelLogin;
    tunnelLogin = TunnelLogin();
    startConnection(QStringLiteral("127.0.0.1"), QString::number(localPort), login.user, login.password,
                    login.callback);
    // The journal names the server, not the tunnel's local end.
    journalServer = JournalServer{QString(), login.ip + QLatin1Char(':') + login.port, login.user};
}

void JS::onTunnelFailed(const QString &reason) {
    const QString callback = tunnelLogin.callback;
    tunnelLogin = TunnelLogin();
    QJsonObject answer{{QStringLiteral("connection"), QStringLiteral("Tunnel failed")},
                       {QStringLiteral("state"), reason}};
    queueExpressionCall(callback, QString::fromUtf8(QJsonDocument(answer).toJson(QJsonDocument::Compact)));
}

void JS::startConnection(QString ip, QString port, QString user, QString password, QString cb) {
    connectionCallback = cb;
    abandonRequests(QLatin1String(kConnectionLost));
    connectionWanted = true;
    forgetReadyConnection();
    connectedServerVersion.clear();
    // The page names the saved site afterwards (journalSetSite), when it has one.
    journalServer = JournalServer{QString(), ip + QLatin1Char(':') + port, user};
    kvt::kvtOlmoTcpClientVyx *client = &connector.Client();
    client->SetHeartBeatTimeOut(kConnectHeartBeatTimeOutMs);
    // Start stops the running connection first, joining its threads: not on the GUI thread. The
    // outcome reaches the page through the connection reports, as before.
    const std::string host = utf8(ip), name = utf8(user), secret = utf8(password);
    const int portNumber = port.toInt();
    const quint64 connect = ++connectsAsked;
    clientWorker->post([this, client, host, portNumber, name, secret, connect] {
        client->Stop();
        markConnectionStopped(client, connect);
        client->Start(host, portNumber, name, secret);
    });
}

// Reports of the connection just stopped are all queued before this mark (its threads have
// ended); a new connection's come after it, with a later generation.
void JS::markConnectionStopped(kvt::kvtOlmoTcpClientVyx *client, quint64 connect) {
    const quint64 stopped = client->GetGeneration();
    QMetaObject::invokeMethod(
        this,
        [this, connect, stopped] {
            connectsBegun = connect;
            stoppedGeneration = stopped;
        },
        Qt::QueuedConnection);
}

QString JS::VYXDisconnect() {
    tunnel.stop();
    tunnelLogin = TunnelLogin();
    connectionWanted = false;
    forgetReadyConnection();
    abandonRequests(QLatin1String(kConnectionLost));
    kvt::kvtOlmoTcpClientVyx *client = &connector.Client();
    const quint64 connect = ++connectsAsked;
    clientWorker->post([this, client, connect] {
        client->Stop();
        markConnectionStopped(client, connect);
        // Told when both channels are closed.
        QMetaObject::invokeMethod(
            this,
            [this] {
                const QString closed = QStringLiteral("Closed");
                queueConnectionObject(QStringLiteral("Disconnected"), &closed, stoppedGeneration);
            },
            Qt::QueuedConnection);
    });
    return QString();
}

void JS::forgetReadyConnection() {
    readyGeneration = 0;
    announcedGeneration = 0;
    pageGeneration = 0;
}

// Ready means the client is still on the connection whose ready report this bridge took: not
// the one a connect or disconnect still waiting on the worker will stop, and not one that the
// heartbeat has since rebuilt (its own ready report comes first).
bool JS::clientReady() {
    return connectionWanted && connector.Client().IsReadyAt(readyGeneration);
}

bool JS::announcedReady() {
    return announcedGeneration == readyGeneration && clientReady();
}

bool JS::readyFor(const char *request) {
    if (clientReady())
        return true;
    // The page sends requests while it believes a connection is up; a refusal then means the page
    // and the client disagree, which the page must never be led into.
    if (pageGeneration != 0) {
        kvt::kvtOlmoTcpClientVyx &client = connector.Client();
        qCWarning(lcBridge).noquote()
            << QStringLiteral("%1 refused as not connected while the page believes connection %2 is "
                              "ready; the client is at connection %3 (%4)")
                   .arg(QLatin1String(request))
                   .arg(pageGeneration)
                   .arg(client.GetGeneration())
                   .arg(client.IsReady() ? QStringLiteral("ready") : QStringLiteral("not ready"));
    }
    return false;
}

void JS::abortLoading() {
    qCDebug(lcBridge) << "Abort loading";
    VYXDisconnect();
}

QString JS::VYXIsConnected() {
    return clientReady() ? QStringLiteral("true") : QStringLiteral("false");
}

QString JS::VYXReadyGeneration() {
    return QString::number(announcedReady() ? readyGeneration : 0);
}

QString JS::VYXSetHeartBeatTimeOut(QString timeout) {
    qCDebug(lcBridge) << "VYX VYXSetServerPingTimeOut";
    // 0, a negative number or a non-number would make the heartbeat rebuild the connection
    // over and over: such a value is refused and the old one stays.
    bool ok = false;
    const qlonglong ms = timeout.trimmed().toLongLong(&ok);
    if (!ok || ms <= 0 || ms > INT_MAX) {
        const QString refusal = QStringLiteral("Heartbeat time-out refused: \"%1\" is not a number of "
                                               "milliseconds from 1 to %2; it stays %3 ms.")
                                    .arg(timeout, QString::number(INT_MAX), VYXGetHeartBeatTimeOut());
        qCDebug(lcBridge).noquote() << refusal;
        return refusal;
    }
    connector.Client().SetHeartBeatTimeOut(int(ms));
    return QString();
}

QString JS::VYXGetHeartBeatTimeOut() {
    qCDebug(lcBridge) << "VYX VYXGetServerPingTimeOut";
    return QString::number(uint(connector.Client().GetHeartBeatTimeOut()));
}

// The connection object goes to the page with single quotes, as {'connection': ..., 'state': ...};
// the texts are written as escaped literals so no state text can end the literal early. The
// connection generation follows as a second argument, so the page can tell a later connection's
// reports from an earlier one's.
void JS::queueConnectionObject(const QString &connection, const QString *state, quint64 generation) {
    QString object = QStringLiteral("{\n    'connection': ") + PageScript::singleQuotedLiteral(connection);
    if (state)
        object += QStringLiteral(",\n    'state': ") + PageScript::singleQuotedLiteral(*state);
    object += QStringLiteral("\n}\n, ") + QString::number(generation);
    queueExpressionCall(connectionCallback, object);
}

bool JS::reportsReplacedConnection(quint64 generation) const {
    return connectsBegun != connectsAsked || generation <= stoppedGeneration;
}

void JS::VYXConnectionReady() {
    onConnectionReady(connector.Client().GetGeneration());
}

void JS::onConnectionReady(quint64 generation) {
    // A ready report of a connection that a connect, a disconnect or a rebuild has replaced since:
    // the page would take it for the one the next request goes out on.
    if (!connectionWanted || reportsReplacedConnection(generation) || generation <= readyGeneration ||
        !connector.Client().IsReadyAt(generation)) {
        qCDebug(lcBridge) << "ready report of connection" << generation << "dropped: replaced";
        return;
    }
    readyGeneration = generation;
    pageGeneration = generation;
    // The vault records it beside each copy; asked again after every rebuild of the connection.
    connector.Client().QueryServerVersion();
    queueConnectionObject(QStringLiteral("Connection Ready"), nullptr, generation);
    // Published once the page has had the report: a page that looks (VYXReadyGeneration) never
    // sees a connection ready before its report has reached it.
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (readyGeneration == generation)
                announcedGeneration = generation;
        },
        Qt::QueuedConnection);
}

QString JS::VYXServerVersion() {
    return connectedServerVersion;
}

void JS::VYXConnectionState(QString connectionType, QString connectionStateText, QString strMessage) {
    onConnectionState(connectionType, connectionStateText, strMessage, connector.Client().GetGeneration());
}

void JS::onConnectionState(const QString &connectionType, const QString &connectionStateText,
                           const QString &strMessage, quint64 generation) {
    // Only the command channel's reports reach the page; the monitor channel's would repeat them.
    if (connectionType != QLatin1String("C"))
        return;
    // A replaced connection's reports say nothing about the one the page now waits for.
    if (reportsReplacedConnection(generation))
        return;
    qCDebug(lcBridge).noquote() << connectionType + QLatin1Char('-') + connectionStateText +
                                       QLatin1Char('-') + strMessage;
    queueConnectionObject(connectionStateText, &strMessage, generation);
    // Anything but a logged-in, connected channel means the requests sent on it are lost.
    if (connectionStateText != QLatin1String("ConnectionState_Ok") ||
        strMessage != QLatin1String("Connected")) {
        pageGeneration = 0;
        abandonRequests(QLatin1String(kConnectionLost));
    }
}

void JS::abandonRequests(const QString &reason) {
    for (AnswerRoutes::Request request : answerRoutes.takeAll()) {
        journalResult(request.journalEntry, vyxjournal::kOutcomeUnknown, reason);
        queueStringCall(request.callback, reason);
    }
    for (qint64 entry : journalCommandLines)
        journalResult(entry, vyxjournal::kOutcomeUnknown, reason);
    journalCommandLines.clear();
    // The server may have taken the whole configuration before the connection went.
    journalResult(journalTransfer, vyxjournal::kOutcomeUnknown, reason);
    for (const CommandLineRequests::Request &request : commandLines.takeAll()) {
        if (request.kind == CommandLineRequests::Kind::Console ||
            request.kind == CommandLineRequests::Kind::Guardian)
            queueStatus(request.callback, reason);
        else if (request.kind == CommandLineRequests::Kind::Execute)
            queueStringCall(request.callback, reason);
    }
    remoteCopy.abandon(reason);
}

void JS::VYXAuthenticationResponse(int eState, QString message) {
    Q_UNUSED(eState);
    const QString text = QStringLiteral("Authentication Response ") + message;
    const QString call = PageScript::stringCall(transferCallback, text);
    qCDebug(lcBridge).noquote() << call;
    queueScript(call);
}

// Configuration transfer.

QString JS::VYXUpload(QString path, QString cb) {
    if (!readyFor("VYXUpload")) {
        qCDebug(lcBridge).noquote() << QStringLiteral("VYX not ready: ") + path;
        return QStringLiteral("Not Ready");
    }
    transferCallback = cb;
    transferReports.clear();
    journalResult(journalTransfer, vyxjournal::kOutcomeUnknown,
                  QStringLiteral("another transfer was started"));
    journalTransfer =
        journalIntent(vyxjournal::kKindConfigurationUpload,
                      {{QStringLiteral("file"), path},
                       {QStringLiteral("bytes"), QFileInfo(path).size()},
                       {QStringLiteral("stopsLogic"), QStringLiteral("just before the first block")}});
    logicStopped = false;
    qCDebug(lcBridge).noquote() << QStringLiteral("VYX Upload: ") + path;
    // The server's logic process must not hold the database while it is replaced; it is stopped
    // only once the upload is sure to send its blocks (the upload holds before the first one), so
    // a restore that is refused or not needed never stops the building's logic. The client reads
    // the whole file for its MD5 before the first frame: on the worker.
    kvt::kvtOlmoTcpClientVyx *client = &connector.Client();
    const std::string file = utf8(path);
    const QString callback = cb;
    clientWorker->post([this, client, file, path, callback] {
        std::string refusal;
        const int refused = client->QueryUploadConfiguration(file, kUploadChunkSize, true, &refusal);
        if (refused == 0)
            return;
        const QString reason = QString::fromStdString(refusal);
        QMetaObject::invokeMethod(
            this,
            [this, path, callback, refused, reason] {
                transferNotStarted(journalTransfer, "upload", path, callback, refused, reason);
            },
            Qt::QueuedConnection);
    });
    return QString();
}

void JS::transferNotStarted(qint64 &intent, const char *kind, const QString &path, const QString &callback,
                            int error, const QString &reason) {
    const bool upload = qstrcmp(kind, "upload") == 0;
    const QString text = QStringLiteral("The %1 did not start: %2")
                             .arg(QLatin1String(kind), reason.isEmpty() ? QStringLiteral("refused") : reason);
    journalResult(intent, vyxjournal::kOutcomeFailed, text);
    // An end record, as the transfer itself would send, so the page's bar ends.
    QJsonObject end{{QStringLiteral("IsEnd"), QStringLiteral("true")},
                    {QStringLiteral("GetError"), error},
                    {QStringLiteral("GetInfo"), text},
                    {QStringLiteral("GetPercentage"), QStringLiteral("0")},
                    {QStringLiteral("GetClientFile"), path}};
    end.insert(QLatin1String(upload ? "GetClientBytes" : "GetServerBytes"), QStringLiteral("0"));
    end.insert(QLatin1String(upload ? "GetSentBytes" : "GetReceivedBytes"), QStringLiteral("0"));
    queueExpressionCall(callback, jsonExpression(indented(end)));
}

QString JS::VYXDownload(QString path, QString cb) {
    if (!readyFor("VYXDownload"))
        return QStringLiteral("Not Ready");
    qCDebug(lcBridge).noquote() << QStringLiteral("download path=") + path;
    qint64 intent = journalIntent(vyxjournal::kKindBackup, {{QStringLiteral("file"), path}});
    const int refused = connector.Client().QueryDownloadConfiguration(utf8(path), std::string());
    if (refused != 0) {
        // A running download keeps its callback and its record; this one ends here.
        transferNotStarted(intent, "download", path, cb, refused,
                           QStringLiteral("another download is running, or the connection is not ready"));
        return QString();
    }
    transferCallback = cb;
    transferReports.clear();
    journalResult(journalTransfer, vyxjournal::kOutcomeUnknown,
                  QStringLiteral("another transfer was started"));
    journalTransfer = intent;
    return QString();
}

void JS::VYXStopTransfer() {
    // On the worker, behind an upload that may still be starting there.
    kvt::kvtOlmoTcpClientVyx *client = &connector.Client();
    clientWorker->post([client] { client->StopTransfers(); });
}

void JS::VYXCancelCopy() {
    remoteCopy.cancel();
}

void JS::stopLogicBeforeBlocks(const QString &file) {
    const QString command = QLatin1String(PluginInstall::kStopLogicCommand);
    qint64 entry = journalIntent(vyxjournal::kKindCommandLine,
                                 {{QStringLiteral("command"), command},
                                  {QStringLiteral("for"), QStringLiteral("the restore of ") + file}});
    // Sent with the first block or not at all (the upload may have been stopped meanwhile). Its
    // answer comes while the upload runs, which takes every answer: it goes past the command-line
    // requests, and is recorded as sent.
    bool sent = false;
    const bool resumed = connector.Client().ResumeUpload(utf8(command), &sent);
    logicStopped = resumed && sent;
    journalResult(entry, logicStopped ? vyxjournal::kOutcomeSent : vyxjournal::kOutcomeFailed,
                  logicStopped ? QStringLiteral("sent just before the first block of the restore")
                  : resumed    ? QLatin1String(kNotConnected)
                               : QStringLiteral("not sent: the restore ended before its first block"));
}

void JS::VYXStartLogic(QString callback) {
    sendCommandLine(CommandLineRequests::Kind::Console, callback,
                    QLatin1String(PluginInstall::kStartLogicCommand));
}

void JS::deliverTransferReport(const QString &report) {
    queueExpressionCall(transferCallback, jsonExpression(report));
}

void JS::VYXInProgress(QString ss) {
    QJsonObject progress = QJsonDocument::fromJson(ss.toUtf8()).object();
    const bool upload = progress.contains(QStringLiteral("GetSentBytes"));
    const bool ended = progress.value(QStringLiteral("IsEnd")).toString() == QLatin1String("true");
    if (upload && !ended &&
        progress.value(QStringLiteral("GetInfo")).toString() == QLatin1String(kvt::kvtOlmoUploadReadyInfo))
        stopLogicBeforeBlocks(progress.value(QStringLiteral("GetClientFile")).toString());
    if (!ended) {
        transferReports.report(ss);
        return;
    }
    const bool ok = progress.value(QStringLiteral("GetError")).toInt(-1) == 0;
    const bool stopped = upload && logicStopped;
    if (upload)
        logicStopped = false;
    QString page = ss;
    if (stopped && !ok) {
        // The page offers to start it again.
        progress.insert(QStringLiteral("LogicStopped"), QStringLiteral("true"));
        page = indented(progress);
    }
    const QString result = transferResultText(progress, ok, stopped);
    const QString file = progress.value(QStringLiteral("GetClientFile")).toString();
    if (ok && !upload && vaultDesk.isPart(file)) {
        // A backup into the vault is what the vault makes of the copy: told by vaultAdd.
        journalResult(journalVaultCopy, vyxjournal::kOutcomeUnknown,
                      QStringLiteral("the vault never took the copy"));
        journalVaultCopy = journalTransfer;
        journalVaultPart = file;
        vaultPartMd5 = progress.value(QStringLiteral("GetClientMd5File")).toString();
        journalTransfer = 0;
    } else {
        journalResult(journalTransfer, ok ? vyxjournal::kOutcomeSucceeded : vyxjournal::kOutcomeFailed,
                      result);
    }
    transferReports.end(page);
}

void JS::VYXUploadDownloadDone() {
    qCDebug(lcBridge) << "upload done 1";
}

void JS::uploadDone() {
    qCDebug(lcBridge) << "upload done";
}

// Parameters.

QString JS::VYXQueryParametersUID() {
    if (!readyFor("VYXQueryParametersUID"))
        return QStringLiteral("true");
    connector.Client().QueryParametersUID();
    return QStringLiteral("false");
}

QString JS::VYXQueryParameterValue(int id) {
    if (!readyFor("VYXQueryParameterValue"))
        return QStringLiteral("true");
    connector.Client().QueryParameterValue(id);
    return QStringLiteral("false");
}

void JS::sendParameterValue(QString uid, QString type, QString value) {
    kvt::kvtOlmoTcpClientVyx &client = connector.Client();
    const int id = uid.toInt();
    const bool physical = false;
    const kvt::kvtValueType code = kvt::kvtValueTypeFromName(utf8(type));
    if (code != kvt::kvtTypeString && code != kvt::kvtTypeFloat && code != kvt::kvtTypeUChar &&
        code != kvt::kvtTypeUInt)
        return;
    qint64 entry = journalIntent(
        vyxjournal::kKindParameterWrite,
        {{QStringLiteral("uid"), uid}, {QStringLiteral("type"), type}, {QStringLiteral("value"), value}});
    int sent = -1;
    if (code == kvt::kvtTypeString)
        sent = client.SendParameterValueAsString(id, utf8(value), physical);
    else if (code == kvt::kvtTypeFloat)
        sent = client.SendParameterValueAsFloat(id, value.toFloat(), physical);
    else if (code == kvt::kvtTypeUChar)
        sent =
            client.SendParameterValueAsByte(id, static_cast<unsigned char>(value.toShort() & 0xff), physical);
    else
        sent = client.SendParameterValueAsUint(id, value.toUInt(), physical);
    // The server confirms no write: the record says the write left (or was queued for the connection).
    journalResult(entry, sent == 0 ? vyxjournal::kOutcomeSent : vyxjournal::kOutcomeFailed,
                  sent == 0 ? QStringLiteral("sent; the server does not confirm writes")
                            : QStringLiteral("not sent"));
}

void JS::updateParameter(QJsonDocument json) {
    const QString text = QString::fromUtf8(json.toJson(QJsonDocument::Indented));
    const QString argument = jsonExpression(text);
    if (!routeLogParameter(text + QLatin1Char('\n')))
        evaluateNow(QStringLiteral("window.QT.updateParameter(%1)").arg(argument));

    const QJsonObject update = json.object();
    const QString scope = update.value(QStringLiteral("frameScope")).toString();
    if (update.value(QStringLiteral("ParameterID")).toString() == QLatin1String("999997") &&
        (scope == QLatin1String("Write") || scope == QLatin1String("Physical"))) {
        qCDebug(lcBridge).noquote() << QStringLiteral("updateParameter ") + text;
        evaluateNow(QStringLiteral("window.QT.updateParameterFromLogicChannel(%1)").arg(argument));
    }
}

// Live updates.

namespace {

// `text` as a JSON string literal (quotes, backslashes and control characters escaped).
void appendJsonString(QString &out, const QString &text) {
    out += QLatin1Char('"');
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u == '"' || u == '\\') {
            out += QLatin1Char('\\');
            out += c;
        } else if (u < 0x20) {
            out += QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
        } else {
            out += c;
        }
    }
    out += QLatin1Char('"');
}

} // namespace

QString JS::liveBatchJson(const std::vector<LiveUpdates::Parameter> &parameters) {
    QString list;
    list.reserve(int(parameters.size()) * 80);
    list += QLatin1Char('[');
    for (const LiveUpdates::Parameter &p : parameters) {
        if (list.size() > 1)
            list += QLatin1Char(',');
        list += QLatin1String("{\"ParameterID\":\"") + QString::number(p.id) + QLatin1String("\",\"value\":");
        appendJsonString(list, p.value);
        if (!p.scope.isEmpty()) {
            list += QLatin1String(",\"frameScope\":");
            appendJsonString(list, p.scope);
        }
        list += QLatin1String(",\"changes\":") + QString::number(p.changes);
        if (p.answers)
            list += QLatin1String(",\"answers\":") + QString::number(p.answers);
        list += QLatin1Char('}');
    }
    list += QLatin1Char(']');
    return list;
}

QString JS::takeLiveBatch() {
    QString batch;
    batch.swap(liveBatch);
    return batch.isEmpty() ? QStringLiteral("[]") : batch;
}

void JS::onLiveUpdatesPending() {
    if (liveTimer->isActive())
        return;
    const qint64 since = liveSinceFlush.isValid() ? liveSinceFlush.elapsed() : kLiveTickMs;
    liveTimer->start(int(qBound<qint64>(0, kLiveTickMs - since, kLiveTickMs)));
}

void JS::flushLiveUpdates() {
    LiveUpdates::Batch batch = connector.Live().take(size_t(kLiveMaxParametersPerTick));
    liveSinceFlush.start();
    // Under a flood more parameters changed than one tick hands over: the rest follow a tick
    // later (the buffer sends no wake-up for them), and the event loop runs in between.
    if (batch.more)
        liveTimer->start(kLiveTickMs);
    for (const LiveUpdates::Text &text : batch.texts) {
        switch (text.kind) {
        case LiveUpdates::Text::ParameterEvent: {
            QJsonObject update;
            update.insert(QStringLiteral("ParameterID"), QString::number(text.id));
            update.insert(QStringLiteral("value"), text.text);
            if (!text.scope.isEmpty())
                update.insert(QStringLiteral("frameScope"), text.scope);
            updateParameter(QJsonDocument(update));
            break;
        }
        case LiveUpdates::Text::Broadcast:
            VYXMessageReceive(text.text);
            break;
        case LiveUpdates::Text::Zephron:
            VYXZephronMessage(text.text);
            break;
        }
    }
    if (!batch.parameters.empty()) {
        if (!logWindows.isEmpty()) {
            // A log window opened on a parameter shows its latest value of each tick.
            for (const LiveUpdates::Parameter &p : batch.parameters) {
                const QString id = QString::number(p.id);
                if (QMLLogClass *log = logWindows.value(id))
                    log->appendLine(QLatin1Char('[') + id + QLatin1String("] ") + p.value);
            }
        }
        // The script is always the same text, so the page compiles it once; the values come
        // through takeLiveBatch() as JSON, which the page parses as data.
        static const QString call =
            QStringLiteral("(function(){var q=window.QT,d=window.vyxDesk;"
                           "if(!q||!d||typeof d.takeLiveBatch!=='function')return;"
                           "var b=JSON.parse(d.takeLiveBatch());"
                           "if(typeof q.updateParameters==='function')q.updateParameters(b);"
                           "else if(typeof q.updateParameter==='function')"
                           "for(var i=0;i<b.length;i++)q.updateParameter(b[i]);})()");
        liveBatch = liveBatchJson(batch.parameters);
        evaluateNow(call);
        liveBatch.clear();
    }
    if (batch.droppedTexts != liveDroppedTexts) {
        liveDroppedTexts = batch.droppedTexts;
        evaluateNow(QStringLiteral("window.QT && typeof window.QT.liveTextsDropped === 'function' && "
                                   "window.QT.liveTextsDropped(%1)")
                        .arg(liveDroppedTexts));
    }
}

// Broadcast messages between clients.

bool JS::VYXMessageSend(QString data, QString callback) {
    messageCallbacks.insert(emitterOf(data), callback);
    if (!readyFor("VYXMessageSend"))
        return false;
    connector.Client().SendBroadcastData(utf8(data));
    return true;
}

void JS::VYXMessageReceive(QString data) {
    // Without a registered callback the call text names no function and the page runs nothing.
    const QString callback =
        messageCallbacks.value(emitterOf(data), QStringLiteral("No messages with this idEmitter"));
    qCDebug(lcBridge).noquote() << QStringLiteral("Message: ") + data;
    queueStringCall(callback, data);
}

void JS::VYXManagerDebug(QString text) {
    queueStringCall(QStringLiteral("QT.debug"), text);
}

// Folders, files and the database MD5: each answer goes to the request of its own kind that it
// answers (by the path it names, else the oldest), once; an answer no request waits for is dropped.

bool JS::sendRoutedRequest(AnswerRoutes::Kind kind, const QString &callback, const QString &path) {
    kvt::kvtOlmoTcpClientVyx &client = connector.Client();
    int sent = -1;
    if (readyFor("a folder, file or database request")) {
        qint64 entry = 0;
        switch (kind) {
        case AnswerRoutes::Kind::FolderCreate:
            entry = journalIntent(vyxjournal::kKindFolderCreate, {{QStringLiteral("path"), path}});
            break;
        case AnswerRoutes::Kind::FolderDelete:
            entry = journalIntent(vyxjournal::kKindFolderDelete, {{QStringLiteral("path"), path}});
            break;
        case AnswerRoutes::Kind::FileDelete:
            entry = journalIntent(vyxjournal::kKindFileDelete, {{QStringLiteral("path"), path}});
            break;
        case AnswerRoutes::Kind::DatabaseMd5:
            break; // a question, not a change
        }
        answerRoutes.add(kind, callback, path, nowMs(), entry);
        switch (kind) {
        case AnswerRoutes::Kind::FolderCreate:
            sent = client.QueryFolderCreate(utf8(path));
            break;
        case AnswerRoutes::Kind::FolderDelete:
            sent = client.QueryFolderDelete(utf8(path));
            break;
        case AnswerRoutes::Kind::FileDelete:
            sent = client.QueryFileDelete(utf8(path));
            break;
        case AnswerRoutes::Kind::DatabaseMd5:
            sent = client.QueryDbMd5();
            break;
        }
        if (sent != 0) {
            AnswerRoutes::Request request;
            if (answerRoutes.take(kind, path, nowMs(), &request))
                journalResult(request.journalEntry, vyxjournal::kOutcomeFailed, QLatin1String(kNotConnected));
        }
    }
    if (sent != 0)
        queueStringCall(callback, QLatin1String(kNotConnected));
    return sent == 0;
}

void JS::deliverRoutedAnswer(AnswerRoutes::Kind kind, const QString &path, const QString &text, bool refused,
                             const QString &wholeAnswer) {
    AnswerRoutes::Request request;
    if (!answerRoutes.take(kind, path, nowMs(), &request)) {
        qCDebug(lcBridge).noquote() << QStringLiteral("Answer without a request: ") + text;
        return;
    }
    journalResult(request.journalEntry, refused ? vyxjournal::kOutcomeFailed : vyxjournal::kOutcomeSucceeded,
                  text);
    if (wholeAnswer.isEmpty())
        queueStringCall(request.callback, text);
    else
        queueScript(PageScript::expressionCall(request.callback, PageScript::stringLiteral(text) +
                                                                     QLatin1Char(',') +
                                                                     jsonExpression(wholeAnswer)));
}

// Folder and file results: the callback gets the server's info text, as a page expects it, and
// then the whole result (its err beside its info), so that a refusal can be told from a success.
void JS::onFileAnswer(int code, QString json) {
    const QJsonObject answer = QJsonDocument::fromJson(json.toUtf8()).object();
    const QString info = answer.value(QStringLiteral("info")).toString();
    const bool refused = answer.value(QStringLiteral("err")).toInt(0) != 0;
    const QString result = QString::fromUtf8(QJsonDocument(answer).toJson(QJsonDocument::Compact));
    switch (code) {
    case kvt::CmdQueryFolderCreate:
        deliverRoutedAnswer(AnswerRoutes::Kind::FolderCreate, answeredPath(answer), info, refused, result);
        break;
    case kvt::CmdQueryFolderDelete:
        deliverRoutedAnswer(AnswerRoutes::Kind::FolderDelete, answeredPath(answer), info, refused, result);
        break;
    case kvt::CmdQueryFileDelete:
        deliverRoutedAnswer(AnswerRoutes::Kind::FileDelete, answeredPath(answer), info, refused, result);
        break;
    case kvt::CmdQueryFileCreate:
        remoteCopy.fileCreated(answer, answeredPath(answer));
        break;
    case kvt::CmdQueryFileAppendData:
        remoteCopy.dataAppended(answer, answeredPath(answer));
        break;
    default:
        break;
    }
}

void JS::VYXCreateFolder(QString destPath, QString feedback) {
    sendRoutedRequest(AnswerRoutes::Kind::FolderCreate, feedback, destPath);
}

void JS::VYXCreateFolderDone(QString info) {
    deliverRoutedAnswer(AnswerRoutes::Kind::FolderCreate, QString(), info);
}

void JS::VYXDeleteFolder(QString destPath, QString feedback) {
    sendRoutedRequest(AnswerRoutes::Kind::FolderDelete, feedback, destPath);
}

void JS::VYXDeleteFolderDone(QString info) {
    deliverRoutedAnswer(AnswerRoutes::Kind::FolderDelete, QString(), info);
}

void JS::VYXDeleteFile(QString destPath, QString feedback) {
    sendRoutedRequest(AnswerRoutes::Kind::FileDelete, feedback, destPath);
}

void JS::VYXDeleteFileDone(QString info) {
    deliverRoutedAnswer(AnswerRoutes::Kind::FileDelete, QString(), info);
}

void JS::VYXDatabaseMD5(QString callBack) {
    sendRoutedRequest(AnswerRoutes::Kind::DatabaseMd5, callBack, QString());
}

void JS::VYXDatabaseMD5Done(QString info) {
    deliverRoutedAnswer(AnswerRoutes::Kind::DatabaseMd5, QString(), info);
}

// Remote copy: the work is RemoteCopyService's; the bridge hands it the server's requests and
// answers.

RemoteCopyService::Server JS::copyServer() {
    RemoteCopyService::Server server;
    server.ready = [this] { return readyFor("the remote copy"); };
    server.createFile = [this](const QString &serverName) {
        return connector.Client().QueryFileCreate(utf8(serverName)) == 0;
    };
    server.appendData = [this](const QString &serverName, const QString &localPath, qint64 offset,
                               qint64 count) {
        return connector.Client().QueryFileAppendData(utf8(serverName), utf8(localPath), int(offset),
                                                      unsigned(count)) == 0;
    };
    server.queryMd5 = [this](const QString &serverName) {
        return connector.Client().QueryFileMd5(utf8(serverName)) == 0;
    };
    server.notConnected = QLatin1String(kNotConnected);
    return server;
}

QString JS::VYXCopyFile(QString _hostFileName, QString _VYXfileName, QString callBack) {
    return remoteCopy.copy(_hostFileName, _VYXfileName, callBack);
}

void JS::VYXCreateFileDone(QString info) {
    Q_UNUSED(info);
    remoteCopy.createDone();
}

void JS::VYXFileCopied(QString info) {
    Q_UNUSED(info);
    remoteCopy.appendDone();
}

void JS::VYXFileVerified(QString info) {
    remoteCopy.verify(info);
}

// Command lines. Each one is recorded before it goes out; its answer comes back through the
// connector's reply queue with the tag of its request, so it reaches that request's callback, once.

void JS::sendCommandLine(CommandLineRequests::Kind kind, const QString &callback, const QString &commandLine,
                         const char *journalKind) {
    connect(&connector, &VYXConnector::commandLineReply, this, &JS::onCommandLineReply, Qt::UniqueConnection);
    // Not sent while the client is not ready: a command queued then would go out, if ever, on a
    // later connection, with its answer long given up.
    bool sent = false;
    if (readyFor("a command line")) {
        qint64 entry = journalIntent(journalKind, {{QStringLiteral("command"), commandLine}});
        const QString tag = commandLines.add(kind, callback);
        connector.CommandReplies().Push(tag, commandLine);
        sent = connector.Client().QueryExecuteCommandLine(utf8(commandLine)) == 0;
        if (!sent) {
            commandLines.take(tag, nullptr);
            journalResult(entry, vyxjournal::kOutcomeFailed, QLatin1String(kNotConnected));
        } else if (entry > 0) {
            journalCommandLines.insert(tag, entry);
        }
    }
    if (sent)
        return;
    const QString reason = QLatin1String(kNotConnected);
    switch (kind) {
    case CommandLineRequests::Kind::Console:
    case CommandLineRequests::Kind::Guardian:
        queueStatus(callback, reason);
        break;
    case CommandLineRequests::Kind::Execute:
        queueStringCall(callback, reason);
        break;
    default:
        qCDebug(lcBridge).noquote() << QStringLiteral("command line not sent: ") + commandLine;
        break;
    }
}

void JS::onCommandLineReply(QString tag, QString info) {
    CommandLineRequests::Request request;
    if (!commandLines.take(tag, &request)) {
        qCDebug(lcBridge).noquote() << QStringLiteral("Command line answer without a request: ") + info;
        return;
    }
    // What a command printed may be a file's contents: only its size goes into the journal.
    qint64 entry = journalCommandLines.take(tag);
    journalResult(entry, vyxjournal::kOutcomeSucceeded,
                  QStringLiteral("answered with %1 characters of output").arg(info.size()));
    switch (request.kind) {
    case CommandLineRequests::Kind::Console:
    case CommandLineRequests::Kind::Guardian:
        qCDebug(lcBridge).noquote() << info;
        queueStatus(request.callback, info);
        break;
    case CommandLineRequests::Kind::Execute:
        qCDebug(lcBridge).noquote() << info;
        queueStringCall(request.callback, info);
        break;
    case CommandLineRequests::Kind::PluginOwnership:
        VYXPluginExtracted1(info);
        break;
    case CommandLineRequests::Kind::PluginRemoval:
        VYXPluginExtracted2(info);
        break;
    case CommandLineRequests::Kind::Unread:
        qCDebug(lcBridge).noquote() << info;
        break;
    }
}

void JS::queueStatus(const QString &callback, const QString &status) {
    QJsonObject object;
    object.insert(QStringLiteral("status"), status);
    queueExpressionCall(callback, jsonExpression(indented(object)));
}

QString JS::VYXExecute(QString command, QString callBack) {
    executeCallback = callBack;
    sendCommandLine(CommandLineRequests::Kind::Execute, callBack, command);
    return QString();
}

void JS::VYXExecuteDone(QString info) {
    qCDebug(lcBridge).noquote() << info;
    queueStringCall(executeCallback, info);
}

void JS::VYXConsole(QString command, QString callback) {
    consoleCallback = callback;
    sendCommandLine(CommandLineRequests::Kind::Console, callback, command);
}

void JS::VYXConsoleDone(QString info) {
    qCDebug(lcBridge).noquote() << info;
    queueStatus(consoleCallback, info);
}

void JS::VYXGuardian(QString info, QString callback) {
    qCDebug(lcBridge).noquote() << QStringLiteral("Guardian command: ") + info;
    guardianCallback = callback;
    sendCommandLine(CommandLineRequests::Kind::Guardian, callback, QLatin1String(kGuardianCommand) + info);
}

void JS::VYXGuardianDone(QString info) {
    qCDebug(lcBridge).noquote() << info;
    queueStatus(guardianCallback, info);
}

// Plug-in installation: the work is PluginInstall's; its command lines go out here, so that their
// answers come back through onCommandLineReply.

PluginInstall::Server JS::pluginServer() {
    PluginInstall::Server server;
    server.ready = [this] { return readyFor("the plug-in installation"); };
    server.commandLine = [this](PluginInstall::Step step, const QString &commandLine) {
        CommandLineRequests::Kind kind = CommandLineRequests::Kind::Unread;
        if (step == PluginInstall::Step::Ownership)
            kind = CommandLineRequests::Kind::PluginOwnership;
        else if (step == PluginInstall::Step::ArchiveRemoval)
            kind = CommandLineRequests::Kind::PluginRemoval;
        sendCommandLine(kind, QString(), commandLine);
    };
    return server;
}

QString JS::VYXInstallPlugin(QString pluginName, QString installPath, QString callBackStatus,
                             QString callBackComplete) {
    Q_UNUSED(installPath);
    pluginInstall.install(pluginName, callBackStatus, callBackComplete);
    return QString();
}

void JS::VYXPluginExtracted(QString info) {
    Q_UNUSED(info);
    pluginInstall.extracted();
}

void JS::VYXPluginExtracted1(QString info) {
    Q_UNUSED(info);
    pluginInstall.ownershipChanged();
}

void JS::VYXPluginExtracted2(QString info) {
    Q_UNUSED(info);
    pluginInstall.archiveRemoved();
}

void JS::VYXPluginExtracted3(QString info) {
    pluginInstall.finish(info);
}

// Gateway, bus debug and Zephron.

void JS::VYXStartKNXGateway() {
    sendCommandLine(CommandLineRequests::Kind::Unread, QString(),
                    QLatin1String(VYXConnector::kKnxGatewayStartCommand), vyxjournal::kKindGatewayStart);
}

void JS::VYXStopKNXGateway() {
    sendCommandLine(CommandLineRequests::Kind::Unread, QString(),
                    QLatin1String(VYXConnector::kKnxGatewayStopCommand), vyxjournal::kKindGatewayStop);
}

void JS::VYXEnableBusDebug(QString enable) {
    if (readyFor("VYXEnableBusDebug"))
        connector.Client().SendEnableRawBusMessage(VYXConnector::BusDebugFlag(enable));
}

void JS::VYXZephronCommand(QString command) {
    qint64 entry = journalIntent(vyxjournal::kKindZephronCommand, {{QStringLiteral("command"), command}});
    const int sent = readyFor("VYXZephronCommand") ? connector.SendZephronCommand(command) : -1;
    // Answers come as bus messages, not tied to a command: the record says the command left.
    journalResult(entry, sent == 0 ? vyxjournal::kOutcomeSent : vyxjournal::kOutcomeFailed,
                  sent == 0 ? QStringLiteral("sent") : QStringLiteral("not sent"));
}

void JS::VYXZephronMessage(QString message) {
    qCDebug(lcBridge).noquote() << QStringLiteral("VYX Zephron msg: [") + message + QLatin1Char(']');
    queueStringCall(QStringLiteral("application.feedback"), VYXConnector::ZephronFeedbackText(message));
}
