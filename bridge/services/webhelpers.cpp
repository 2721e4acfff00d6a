#include "webhelpers.h"
#include "bridgelog.h"

#include "pagepaths.h"
#include "pagescript.h"
#include "textfile.h"

#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTcpSocket>
#include <QUrl>

namespace {

const char kDestinationProperty[] = "vyxDownloadDestination";
const char kTooLargeProperty[] = "vyxTooLarge";

QString progressText(const QString &status, qint64 length, qint64 copied, qint64 percent) {
    const QJsonObject object{{QStringLiteral("status"), status},
                             {QStringLiteral("length"), length},
                             {QStringLiteral("copied"), copied},
                             {QStringLiteral("percent"), percent}};
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Indented));
}

// Sends `request` and returns the first data that comes back within `answerMs`, at most
// `maxBytes` of it; "" when the connection or the answer does not come.
QByteArray exchange(const QString &host, quint16 port, const QByteArray &request, int connectMs, int answerMs,
                    qint64 maxBytes, bool *answered) {
    *answered = false;
    QTcpSocket socket;
    socket.connectToHost(host, port);
    if (!socket.waitForConnected(connectMs))
        return QByteArray();
    socket.write(request);
    while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(connectMs)) {
    }
    if (!socket.waitForReadyRead(answerMs))
        return QByteArray();
    *answered = true;
    return socket.read(maxBytes);
}

} // namespace

const QString WebHelpers::kMakerSiteHttpUrl = QStringLiteral("http://www.nalrio.example");
const QString WebHelpers::kMakerSiteHttpsUrl = QStringLiteral("https://www.nalrio.example");

WebHelpers::WebHelpers(const QString &appDir, const OperationLog &log, QObject *parent)
    : QObject(parent), m_appDir(QDir::cleanPath(QDir(appDir).absolutePath())), m_log(log),
      m_siteHttpUrl(kMakerSiteHttpUrl), m_siteHttpsUrl(kMakerSiteHttpsUrl) {
    // Connected once here, so every reply reaches its handler exactly once.
    connect(&m_webManager, &QNetworkAccessManager::finished, this, &WebHelpers::WEBReceived);
    connect(&m_downloadManager, &QNetworkAccessManager::finished, this, &WebHelpers::fileDownloaded);
}

WebHelpers::~WebHelpers() {
    // Replies still in flight die with their managers; none of their last signals may reach
    // this object while its members are being destroyed.
    for (QNetworkAccessManager *manager : {&m_webManager, &m_downloadManager}) {
        manager->disconnect(this);
        for (QNetworkReply *reply : manager->findChildren<QNetworkReply *>())
            reply->disconnect(this);
    }
}

void WebHelpers::setWebPort(quint16 port) {
    m_webPort = port;
}

void WebHelpers::setMakerSiteUrls(const QString &httpUrl, const QString &httpsUrl) {
    m_siteHttpUrl = httpUrl;
    m_siteHttpsUrl = httpsUrl;
}

void WebHelpers::setTimeouts(int connectMs, int firstAnswerMs, int probeAnswerMs) {
    m_connectTimeoutMs = connectMs;
    m_firstAnswerTimeoutMs = firstAnswerMs;
    m_probeAnswerTimeoutMs = probeAnswerMs;
}

void WebHelpers::setSizeLimits(qint64 replyBytes, qint64 downloadBytes) {
    m_maxReplyBytes = replyBytes;
    m_maxDownloadBytes = downloadBytes;
}

void WebHelpers::watchSize(QNetworkReply *reply, qint64 limit, bool reportProgress) {
    connect(reply, &QNetworkReply::downloadProgress, this,
            [this, reply, limit, reportProgress](qint64 received, qint64 total) {
                if (received > limit) {
                    reply->setProperty(kTooLargeProperty, true);
                    reply->abort();
                    return;
                }
                if (reportProgress)
                    downloadProgress(received, total);
            });
}

void WebHelpers::WEBGet(const QString &url, const QString &callback) {
    m_webCallback = callback;
    watchSize(m_webManager.get(QNetworkRequest(QUrl(url))), m_maxReplyBytes, false);
}

void WebHelpers::WEBPost(const QString &url, const QString &parameters, const QString &callBack) {
    m_webCallback = callBack;
    qCDebug(lcBridge) << "Post request parameters: " + parameters;
    watchSize(m_webManager.post(QNetworkRequest(QUrl(url)), parameters.toUtf8()), m_maxReplyBytes, false);
}

void WebHelpers::WEBReceived(QNetworkReply *reply) {
    const bool tooLarge = reply->property(kTooLargeProperty).toBool();
    const QString body = tooLarge ? QString() : QString::fromUtf8(reply->readAll());
    reply->deleteLater();
    qCDebug(lcBridge) << "Web reply:" << body.left(1024);
    // A failed request has no body and calls the page function without an argument. A body
    // that is not JSON arrives as a string, never as code.
    const QString argument = body.isEmpty() ? QString() : PageScript::jsonOrStringLiteral(body);
    emit pageCall(PageScript::expressionCall(m_webCallback, argument));
}

QString WebHelpers::downloadFile(const QString &url, const QString &length, const QString &destPath,
                                 const QString &feedback) {
    Q_UNUSED(length);
    m_log.append(QStringLiteral("Downloading: ") + url);
    m_downloadFeedback = feedback;
    if (PagePaths::underApplication(m_appDir, destPath).isEmpty()) {
        qCWarning(lcBridge) << "Refused a download destination outside the application folder:" << destPath;
        emit downloadEnded(url, false);
        return QString();
    }
    QNetworkReply *reply = m_downloadManager.get(QNetworkRequest(QUrl(url)));
    // Each download keeps its own destination, so two overlapping downloads cannot write each
    // other's data.
    reply->setProperty(kDestinationProperty, destPath);
    watchSize(reply, m_maxDownloadBytes, true);
    return QString();
}

void WebHelpers::downloadProgress(qint64 bytesReceived, qint64 bytesTotal) {
    const qint64 percent = bytesTotal > 0 ? bytesReceived * 100 / bytesTotal : -1;
    const QString text =
        progressText(QStringLiteral("download in progress"), bytesTotal, bytesReceived, percent);
    qCDebug(lcBridge).noquote() << text;
    emit pageCall(PageScript::expressionCall(m_downloadFeedback, text));
}

void WebHelpers::fileDownloaded(QNetworkReply *reply) {
    reply->deleteLater();
    const bool saved = saveReply(reply);
    emit downloadEnded(reply->url().toString(), saved);
}

bool WebHelpers::saveReply(QNetworkReply *reply) {
    // An error page or a cut-off body is not the file that was asked for.
    if (reply->error() != QNetworkReply::NoError || reply->property(kTooLargeProperty).toBool()) {
        qCDebug(lcBridge) << "Download failed:" << reply->url() << reply->errorString();
        return false;
    }
    const QByteArray data = reply->readAll();
    if (data.isEmpty())
        return false;
    qCDebug(lcBridge) << "Downloaded: " + QString::number(data.size());
    const QString destination = reply->property(kDestinationProperty).toString();
    const QString target = PagePaths::underApplication(m_appDir, destination);
    if (!saveDownload(target, data)) {
        qCDebug(lcBridge) << "Could not write the download to" << target;
        return false;
    }
    const QString text = progressText(QStringLiteral("download complete"), data.size(), data.size(), 100);
    qCDebug(lcBridge).noquote() << text;
    emit pageCall(PageScript::expressionCall(m_downloadFeedback, text));
    return true;
}

bool WebHelpers::saveDownload(const QString &target, const QByteArray &data) {
    QDir().mkpath(QFileInfo(target).absolutePath());
    // Written beside the target and renamed over it, so a failed write keeps the old file.
    return TextFile::writeBytes(target, data);
}

QString WebHelpers::readWEBPage(const QString &urlString) {
    const QUrl url(urlString);
    qCDebug(lcBridge) << url.query() << url.host() << url.path();
    // The URL travels as the request target: line breaks in it would add headers of their own.
    if (urlString.contains(QLatin1Char('\r')) || urlString.contains(QLatin1Char('\n')) ||
        url.host().isEmpty())
        return QString();
    const QByteArray request = (QStringLiteral("GET ") + urlString + QStringLiteral(" HTTP/1.1\r\n") +
                                QStringLiteral("Host: ") + url.host() + QStringLiteral("\r\n") +
                                QStringLiteral("Content-Length: 0\r\n") + QStringLiteral("\r\n"))
                                   .toUtf8();
    bool answered = false;
    const QByteArray data = exchange(url.host(), m_webPort, request, m_connectTimeoutMs,
                                     m_firstAnswerTimeoutMs, kMaxRawAnswerBytes, &answered);
    if (!answered)
        return QString();
    qCDebug(lcBridge) << "rl=" + QString::fromUtf8(data);
    return QString::fromUtf8(data);
}

bool WebHelpers::probe(const QString &urlString) {
    const QUrl url(urlString);
    if (url.host().isEmpty())
        return false;
    const QByteArray request = (QStringLiteral("HEAD ") + url.path() + QStringLiteral(" HTTP/1.1\r\nHost: ") +
                                url.host() + QStringLiteral("\r\n\r\n"))
                                   .toUtf8();
    bool answered = false;
    const QByteArray data = exchange(url.host(), m_webPort, request, m_connectTimeoutMs,
                                     m_probeAnswerTimeoutMs, kMaxRawAnswerBytes, &answered);
    return answered && !data.isEmpty();
}

QString WebHelpers::isNalrioOnline() {
    const bool online = probe(m_siteHttpUrl) || probe(m_siteHttpsUrl);
    return online ? QStringLiteral("true") : QStringLiteral("false");
}

void WebHelpers::openBrowser(const QString &url) {
    QDesktopServices::openUrl(QUrl(url));
}
