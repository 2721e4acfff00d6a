#include "cannedhttpserver.h"
#include "pagescript.h"
#include "testfiles.h"
#include "webhelpers.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int kWaitMs = 15000;

// A loopback port that nothing listens on.
quint16 closedPort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    const quint16 port = server.serverPort();
    server.close();
    return port;
}

// The report object of a call text "(feedback)({...})".
QJsonObject report(const QString &call, const QString &feedback) {
    const QString prefix = "(" + feedback + ")(";
    if (!call.startsWith(prefix) || !call.endsWith(")"))
        return QJsonObject();
    return QJsonDocument::fromJson(call.mid(prefix.size()).chopped(1).toUtf8()).object();
}

} // namespace

class WebHelpersTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void getHandsJsonOverAsExpression();
    void bodiesThatAreNotJsonArriveAsStrings_data();
    void bodiesThatAreNotJsonArriveAsStrings();
    void laterCallbackReceivesBothAnswers();
    void postSendsParametersAsBody();
    void failedRequestCallsWithoutArgument();
    void downloadWritesFileAndReports();
    void downloadWithoutTotalReportsUnknownPercent();
    void failedDownloadWritesNothing();
    void downloadOutsideTheApplicationIsRefused_data();
    void downloadOutsideTheApplicationIsRefused();
    void overlappingDownloadsKeepTheirDestinations();
    void oversizedAnswersAreDropped();
    void progressPercent_data();
    void progressPercent();
    void readWebPageSendsRawGetToTheWebPort();
    void readWebPageFailures();
    void makerSiteProbe();

private:
    QString url(const QString &path) const {
        return QString("http://127.0.0.1:%1%2").arg(m_server->port()).arg(path);
    }
    QStringList calls() const {
        QStringList result;
        for (const QList<QVariant> &args : *m_calls)
            result << args.at(0).toString();
        return result;
    }

    QScopedPointer<QTemporaryDir> m_app;
    QScopedPointer<CannedHttpServer> m_server;
    QScopedPointer<WebHelpers> m_web;
    QScopedPointer<QSignalSpy> m_calls;
    QScopedPointer<QSignalSpy> m_downloads;
};

void WebHelpersTest::initTestCase() {
    // Straight to the loopback server, whatever the environment says about proxies.
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
}

void WebHelpersTest::init() {
    m_app.reset(new QTemporaryDir);
    m_server.reset(new CannedHttpServer);
    m_web.reset(new WebHelpers(m_app->path(), OperationLog(m_app->path())));
    m_calls.reset(new QSignalSpy(m_web.data(), &WebHelpers::pageCall));
    m_downloads.reset(new QSignalSpy(m_web.data(), &WebHelpers::downloadEnded));
}

void WebHelpersTest::cleanup() {
    m_calls.reset();
    m_downloads.reset();
    m_web.reset();
    m_server.reset();
}

void WebHelpersTest::getHandsJsonOverAsExpression() {
    m_server->setResponse("/data", CannedHttpServer::response("[1,2]"));
    m_web->WEBGet(url("/data"), "onData");
    QTRY_COMPARE_WITH_TIMEOUT(m_calls->count(), 1, kWaitMs);
    QCOMPARE(calls().at(0), QString("(onData)([1,2])"));
    QCOMPARE(PageScript::evalWrapped(calls().at(0)), QString("window.eval.call(window,(onData)([1,2]))"));
    QVERIFY(m_server->requests().at(0).startsWith("GET /data HTTP/1.1\r\n"));
}

void WebHelpersTest::bodiesThatAreNotJsonArriveAsStrings_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("call");
    QTest::newRow("code") << QByteArray("alert(document.cookie)") << "(cb)(\"alert(document.cookie)\")";
    QTest::newRow("breaking out") << QByteArray("1);vyxDesk.exit();(") << "(cb)(\"1);vyxDesk.exit();(\")";
    QTest::newRow("html") << QByteArray("<html>\n\"x\"</html>") << "(cb)(\"<html>\\n\\\"x\\\"</html>\")";
    QTest::newRow("json object") << QByteArray("{\"a\": 1}") << "(cb)({\"a\": 1})";
}

void WebHelpersTest::bodiesThatAreNotJsonArriveAsStrings() {
    QFETCH(QByteArray, body);
    QFETCH(QString, call);
    m_server->setResponse("/x", CannedHttpServer::response(body));
    m_web->WEBGet(url("/x"), "cb");
    QTRY_COMPARE_WITH_TIMEOUT(m_calls->count(), 1, kWaitMs);
    QCOMPARE(calls().at(0), call);
}

void WebHelpersTest::laterCallbackReceivesBothAnswers() {
    m_server->setResponse("/a", CannedHttpServer::response("1"));
    m_server->setResponse("/b", CannedHttpServer::response("2"));
    m_web->WEBGet(url("/a"), "first");
    m_web->WEBGet(url("/b"), "second");
    QTRY_COMPARE_WITH_TIMEOUT(m_calls->count(), 2, kWaitMs);
    QStringList answers = calls();
    answers.sort();
    QCOMPARE(answers, (QStringList{"(second)(1)", "(second)(2)"}));
    QCoreApplication::processEvents();
    QCOMPARE(m_calls->count(), 2);
}

void WebHelpersTest::postSendsParametersAsBody() {
    m_server->setResponse("/post", CannedHttpServer::response("{\"ok\":true}"));
    const QString parameters = QString::fromUtf8("a=1&b=ü");
    m_web->WEBPost(url("/post"), parameters, "posted");
    QTRY_COMPARE_WITH_TIMEOUT(m_calls->count(), 1, kWaitMs);
    QCOMPARE(calls().at(0), QString("(posted)({\"ok\":true})"));
    const QByteArray request = m_server->requests().at(0);
    QVERIFY(request.startsWith("POST /post HTTP/1.1\r\n"));
    QVERIFY(request.toLower().contains("content-type: application/x-www-form-urlencoded"));
    QVERIFY(request.endsWith("\r\n\r\n" + parameters.toUtf8()));
}

void WebHelpersTest::failedRequestCallsWithoutArgument() {
    m_web->WEBGet(QString("http://127.0.0.1:%1/").arg(closedPort()), "cb");
    QTRY_COMPARE_WITH_TIMEOUT(m_calls->count(), 1, kWaitMs);
    QCOMPARE(calls().at(0), QString("(cb)()"));
}

void WebHelpersTest::downloadWritesFileAndReports() {
    QByteArray body(2048, '\0');
    for (int i = 0; i < body.size(); ++i)
        body[i] = char(i * 7);
    m_server->setResponse("/file", CannedHttpServer::response(body));
    QCOMPARE(m_web->downloadFile(url("/file"), "999", "/data/tmp/a.bin", "feed"), QString());
    QTRY_COMPARE_WITH_TIMEOUT(m_downloads->count(), 1, kWaitMs);
    QVERIFY(m_downloads->at(0).at(1).toBool());
    QCOMPARE(readBytes(m_app->path() + "/data/tmp/a.bin"), body);
    QVERIFY(readBytes(m_app->path() + "/log.txt").contains("Downloading: " + url("/file").toUtf8() + "\n"));

    const QStringList texts = calls();
    QVERIFY(texts.size() >= 2);
    QCOMPARE(texts.last(), QString("(feed)({\n    \"copied\": 2048,\n    \"length\": 2048,\n"
                                   "    \"percent\": 100,\n    \"status\": \"download complete\"\n}\n)"));
    for (int i = 0; i < texts.size() - 1; ++i) {
        const QJsonObject progress = report(texts[i], "feed");
        QCOMPARE(progress.value("status").toString(), QString("download in progress"));
        QCOMPARE(progress.value("length").toInt(), 2048);
        QCOMPARE(progress.value("percent").toInt(), progress.value("copied").toInt() * 100 / 2048);
    }

    // A second download replaces the file.
    m_server->setResponse("/file", CannedHttpServer::response("short"));
    m_web->downloadFile(url("/file"), "", "/data/tmp/a.bin", "feed");
    QTRY_COMPARE_WITH_TIMEOUT(m_downloads->count(), 2, kWaitMs);
    QCOMPARE(readBytes(m_app->path() + "/data/tmp/a.bin"), QByteArray("short"));
}

void WebHelpersTest::downloadOutsideTheApplicationIsRefused_data() {
    QTest::addColumn<QString>("destination");
    QTest::addColumn<QString>("outside"); // where it would have landed, relative to the app dir
    QTest::newRow("climbing") << "/../escaped.bin"
                              << "/../escaped.bin";
    QTest::newRow("climbing deeper") << "/data/../../escaped.bin"
                                     << "/../escaped.bin";
    QTest::newRow("no leading slash") << "x/../../escaped.bin"
                                      << "/../escaped.bin";
    QTest::newRow("control character") << "/data/a\nb.bin"
                                       << "/data/a\nb.bin";
}

void WebHelpersTest::downloadOutsideTheApplicationIsRefused() {
    QFETCH(QString, destination);
    QFETCH(QString, outside);
    // The application lies one folder down, so that "outside" is still inside the test's folder.
    const QString appDir = m_app->path() + "/app";
    WebHelpers web(appDir, OperationLog(m_app->path()));
    QSignalSpy downloads(&web, &WebHelpers::downloadEnded);
    m_server->setResponse("/file", CannedHttpServer::response("payload"));
    QCOMPARE(web.downloadFile(url("/file"), "", destination, "feed"), QString());
    QTRY_COMPARE_WITH_TIMEOUT(downloads.count(), 1, kWaitMs);
    QVERIFY(!downloads.at(0).at(1).toBool());
    QVERIFY(!QFileInfo::exists(appDir + outside));
    QVERIFY(m_server->requests().isEmpty());
}

void WebHelpersTest::downloadWithoutTotalReportsUnknownPercent() {
    const QByteArray answer = CannedHttpServer::response(QByteArray(5000, 'z'), "200 OK", false);
    m_server->setSplitResponse("/stream", answer, answer.size() - 3000);
    m_web->downloadFile(url("/stream"), "", "/s.bin", "feed");
    QTRY_COMPARE_WITH_TIMEOUT(m_downloads->count(), 1, kWaitMs);
    const QStringList texts = calls();
    QVERIFY(texts.size() >= 2);
    // The network layer learns the total only at the end; until then the percentage is unknown.
    int unknown = 0;
    for (int i = 0; i < texts.size() - 1; ++i) {
        const QJsonObject progress = report(texts[i], "feed");
        const int length = progress.value("length").toInt();
        if (length <= 0) {
            ++unknown;
            QCOMPARE(progress.value("percent").toInt(), -1);
        } else {
            QCOMPARE(progress.value("percent").toInt(), progress.value("copied").toInt() * 100 / length);
        }
    }
    QVERIFY2(unknown > 0, qPrintable(texts.join('\n')));
    QCOMPARE(report(texts.last(), "feed").value("length").toInt(), 5000);
    QCOMPARE(report(texts.last(), "feed").value("percent").toInt(), 100);
}

void WebHelpersTest::failedDownloadWritesNothing() {
    QFile old(m_app->path() + "/keep.bin");
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("previous");
    old.close();
    m_web->downloadFile(url("/missing"), "", "/keep.bin", "feed"); // answered 404 with a body
    m_web->downloadFile(QString("http://127.0.0.1:%1/").arg(closedPort()), "", "/keep.bin", "feed");
    QTRY_COMPARE_WITH_TIMEOUT(m_downloads->count(), 2, kWaitMs);
    QVERIFY(!m_downloads->at(0).at(1).toBool());
    QVERIFY(!m_downloads->at(1).at(1).toBool());
    QCOMPARE(readBytes(m_app->path() + "/keep.bin"), QByteArray("previous"));
    for (const QString &text : calls())
        QVERIFY2(!text.contains("download complete"), qPrintable(text));
}

void WebHelpersTest::overlappingDownloadsKeepTheirDestinations() {
    m_server->setResponse("/one", CannedHttpServer::response("one"));
    m_server->setResponse("/two", CannedHttpServer::response("two"));
    m_web->downloadFile(url("/one"), "", "/d/one.bin", "first");
    m_web->downloadFile(url("/two"), "", "/d/two.bin", "second");
    QTRY_COMPARE_WITH_TIMEOUT(m_downloads->count(), 2, kWaitMs);
    QCOMPARE(readBytes(m_app->path() + "/d/one.bin"), QByteArray("one"));
    QCOMPARE(readBytes(m_app->path() + "/d/two.bin"), QByteArray("two"));
    for (const QString &text : calls())
        QVERIFY(text.startsWith("(second)("));
}

void WebHelpersTest::oversizedAnswersAreDropped() {
    m_web->setSizeLimits(100, 100);
    m_server->setResponse("/big", CannedHttpServer::response(QByteArray(1000, '7')));
    m_server->setResponse("/small", CannedHttpServer::response(QByteArray(100, '7')));
    m_web->WEBGet(url("/big"), "cb");
    QTRY_COMPARE_WITH_TIMEOUT(m_calls->count(), 1, kWaitMs);
    QCOMPARE(calls().at(0), QString("(cb)()"));
    m_web->WEBGet(url("/small"), "cb");
    QTRY_COMPARE_WITH_TIMEOUT(m_calls->count(), 2, kWaitMs);
    QCOMPARE(calls().at(1), "(cb)(" + QString(100, '7') + ")");

    m_web->downloadFile(url("/big"), "", "/big.bin", "feed");
    QTRY_COMPARE_WITH_TIMEOUT(m_downloads->count(), 1, kWaitMs);
    QVERIFY(!m_downloads->at(0).at(1).toBool());
    QVERIFY(!QFile::exists(m_app->path() + "/big.bin"));
}

void WebHelpersTest::progressPercent_data() {
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<int>("percent");
    QTest::newRow("quarter") << qint64(512) << qint64(2048) << 25;
    QTest::newRow("rounded down") << qint64(2047) << qint64(2048) << 99;
    QTest::newRow("large") << qint64(3) << qint64(6000000000) << 0;
    QTest::newRow("total zero") << qint64(10) << qint64(0) << -1;
    QTest::newRow("total unknown") << qint64(10) << qint64(-1) << -1;
}

void WebHelpersTest::progressPercent() {
    QFETCH(qint64, received);
    QFETCH(qint64, total);
    QFETCH(int, percent);
    m_web->downloadProgress(received, total);
    QCOMPARE(m_calls->count(), 1);
    const QJsonObject progress = report(calls().at(0), "");
    QCOMPARE(progress.value("percent").toInt(), percent);
    QCOMPARE(progress.value("copied").toDouble(), double(received));
    QCOMPARE(progress.value("length").toDouble(), double(total));
}

void WebHelpersTest::readWebPageSendsRawGetToTheWebPort() {
    const QByteArray answer = CannedHttpServer::response("hello");
    m_server->setResponse("/page", answer);
    m_web->setWebPort(m_server->port());
    // The scheme does not matter: the web port is used for https as well.
    const QString target = "https://127.0.0.1/page?x=1";
    QCOMPARE(m_web->readWEBPage(target), QString::fromUtf8(answer));
    QCOMPARE(m_server->requests().at(0),
             QByteArray("GET https://127.0.0.1/page?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                        "Content-Length: 0\r\n\r\n"));
}

void WebHelpersTest::readWebPageFailures() {
    m_web->setTimeouts(5000, 300, 300);
    m_server->setResponse("/silent", QByteArray());
    m_web->setWebPort(m_server->port());
    QCOMPARE(m_web->readWEBPage("http://127.0.0.1/silent"), QString());
    // Line breaks in the target would add request headers of the caller's choosing.
    QCOMPARE(m_web->readWEBPage("http://127.0.0.1/a HTTP/1.1\r\nX-Injected: 1\r\n\r\n"), QString());
    QCOMPARE(m_server->requests().size(), 1);
    m_web->setWebPort(closedPort());
    QCOMPARE(m_web->readWEBPage("http://127.0.0.1/page"), QString());
}

void WebHelpersTest::makerSiteProbe() {
    for (const QString &site : {WebHelpers::kMakerSiteHttpUrl, WebHelpers::kMakerSiteHttpsUrl}) {
        QVERIFY(QUrl(site).host().endsWith(".example"));
        QVERIFY(QUrl(site).path().isEmpty());
    }
    QCOMPARE(QUrl(WebHelpers::kMakerSiteHttpsUrl).scheme(), QString("https"));
    QCOMPARE(WebHelpers::kWebPort, quint16(80));

    m_server->setResponse("", "HTTP/1.1 200 OK\r\n\r\n");
    m_web->setMakerSiteUrls("http://127.0.0.1", "https://127.0.0.1");
    m_web->setWebPort(m_server->port());
    QCOMPARE(m_web->isNalrioOnline(), QString("true"));
    QCOMPARE(m_server->requests(), QList<QByteArray>{"HEAD  HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"});

    m_web->setWebPort(closedPort());
    QCOMPARE(m_web->isNalrioOnline(), QString("false"));
}

QTEST_MAIN(WebHelpersTest)
#include "tst_webhelpers.moc"
