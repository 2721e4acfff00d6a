#pragma once

#include "operationlog.h"

#include <QNetworkAccessManager>
#include <QObject>
#include <QString>

class QNetworkReply;

// Plain web access for the page: GET and POST whose answer goes to a page function, a file
// download into the application directory with progress reports, a blocking raw HTTP GET, a
// reachability probe of the maker's web site, and opening a URL in the default browser.
//
// Late answers leave as pageCall(script), where script is the finished call text
// "(callback)(argument)"; the bridge wraps it for evaluation and queues it for the page.
class WebHelpers : public QObject {
    Q_OBJECT

public:
    // The maker's web site, probed by isNalrioOnline() (both with an empty path).
    static const QString kMakerSiteHttpUrl;
    static const QString kMakerSiteHttpsUrl;
    static constexpr quint16 kWebPort = 80;
    static constexpr int kConnectTimeoutMs = 30000;
    static constexpr int kFirstAnswerTimeoutMs = 5000;
    static constexpr int kProbeAnswerTimeoutMs = 30000;
    // Bodies kept in memory are bounded; a larger answer is dropped as if it had failed.
    static constexpr qint64 kMaxReplyBytes = 64LL * 1024 * 1024;
    static constexpr qint64 kMaxDownloadBytes = 512LL * 1024 * 1024;
    static constexpr qint64 kMaxRawAnswerBytes = 1024 * 1024;

    explicit WebHelpers(const QString &appDir, const OperationLog &log = OperationLog(),
                        QObject *parent = nullptr);
    ~WebHelpers() override;

    // The answer body goes to `callback` (the most recent one of either call).
    void WEBGet(const QString &url, const QString &callback);
    void WEBPost(const QString &url, const QString &parameters, const QString &callBack);
    // Downloads into appDir + destPath (destPath begins with "/"); progress and completion go to
    // `feedback`. `length` is not used. Returns "".
    QString downloadFile(const QString &url, const QString &length, const QString &destPath,
                         const QString &feedback);
    // Blocking; the first data the server sends (status line and headers included), or "".
    QString readWEBPage(const QString &urlString);
    // Blocking; "true" when the maker's site answers on the web port, else "false".
    QString isNalrioOnline();
    static void openBrowser(const QString &url);

    // The port the raw GET and the probe connect to, the probed site and the waits; the program
    // keeps the defaults, tests point them at a loopback server.
    void setWebPort(quint16 port);
    void setMakerSiteUrls(const QString &httpUrl, const QString &httpsUrl);
    void setTimeouts(int connectMs, int firstAnswerMs, int probeAnswerMs);
    void setSizeLimits(qint64 replyBytes, qint64 downloadBytes);

signals:
    void pageCall(const QString &script);
    // Every download ends with this, saved or not (the page hears only of saved ones).
    void downloadEnded(const QString &url, bool saved);

public slots:
    // Progress of the current download, reported to the download feedback. A total of 0 or
    // less means unknown: "percent" is then -1.
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);

private slots:
    void WEBReceived(QNetworkReply *reply);
    void fileDownloaded(QNetworkReply *reply);

private:
    void watchSize(QNetworkReply *reply, qint64 limit, bool reportProgress);
    bool probe(const QString &url);
    bool saveReply(QNetworkReply *reply);
    bool saveDownload(const QString &target, const QByteArray &data);

    QString m_appDir;
    OperationLog m_log;
    QNetworkAccessManager m_webManager;
    QNetworkAccessManager m_downloadManager;
    QString m_webCallback;
    QString m_downloadFeedback;
    quint16 m_webPort = kWebPort;
    QString m_siteHttpUrl;
    QString m_siteHttpsUrl;
    int m_connectTimeoutMs = kConnectTimeoutMs;
    int m_firstAnswerTimeoutMs = kFirstAnswerTimeoutMs;
    int m_probeAnswerTimeoutMs = kProbeAnswerTimeoutMs;
    qint64 m_maxReplyBytes = kMaxReplyBytes;
    qint64 m_maxDownloadBytes = kMaxDownloadBytes;
};
