// The bridge as the page sees it: published slots, the page call queue, escaping of texts from
// outside, late answers, and a clean stop of the delivery thread.
#include "pagetestsupport.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaMethod>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrl>
#include <QWebInspector>
#include <QWebPage>
#include <QWebView>
#include <QtTest>

using PageTest::eval;

namespace {

// Every slot the page may call, with its exact signature, in declaration order.
const char *const kSlots[] = {
    "writeFileAbsoluteFromBase64(QString,QString)",
    "LogWindow(QString,QString)",
    "VYXMessageSend(QString,QString)",
    "VYXMessageReceive(QString)",
    "replyFinished(QNetworkReply*)",
    "abortLoading()",
    "sendDatagram()",
    "resendBroadcastSearch()",
    "readPendingDatagrams()",
    "stopSearch()",
    "WEBGet(QString,QString)",
    "WEBReceived(QNetworkReply*)",
    "WEBPost(QString,QString,QString)",
    "processPendingDatagrams()",
    "VYXIsConnected()",
    "discover(QString)",
    "openBrowser(QString)",
    "VYXUpload(QString,QString)",
    "VYXDownload(QString,QString)",
    "VYXConnect(QString,QString,QString,QString,QString)",
    "VYXQueryParametersUID()",
    "VYXQueryParameterValue(int)",
    "VYXDisconnect()",
    "VYXSetHeartBeatTimeOut(QString)",
    "VYXGetHeartBeatTimeOut()",
    "VYXStartKNXGateway()",
    "VYXStopKNXGateway()",
    "VYXConnectionReady()",
    "VYXConnectionState(QString,QString,QString)",
    "VYXAuthenticationResponse(int,QString)",
    "submit()",
    "populateJavaScriptWindowObject()",
    "queryExecute(QString)",
    "choosePath()",
    "exit()",
    "applicationPath()",
    "fileCopy(QString,QString)",
    "fileCopyAbsolute(QString,QString)",
    "selectFileToCopyInVYXManager(QString,QString,QString)",
    "copyAbsoluteFileInVYXManager(QString,QString)",
    "imageFileInfo(QString)",
    "deleteFile(QString)",
    "loadProject(QString,QString,QString)",
    "clearProject()",
    "loadProjectConfig(QString,QString,QString)",
    "saveProject(QString,QString,QString,QString)",
    "readFile(QString)",
    "readAnyFile(QString)",
    "writeFile(QString,QString)",
    "writeFileAbsolute(QString,QString)",
    "selectImage(QString,QString)",
    "uploadDone()",
    "VYXInProgress(QString)",
    "VYXUploadDownloadDone()",
    "updateParameter(QJsonDocument)",
    "sendParameterValue(QString,QString,QString)",
    "fileList(QString)",
    "folderList(QString)",
    "getQTRelease()",
    "setWindowTitle(QString)",
    "selectFolder(QString)",
    "saveFile(QString,QString,QString,QString)",
    "getSaveFileName(QString,QString,QString)",
    "getOpenFileName(QString,QString,QString)",
    "downloadFile(QString,QString,QString,QString)",
    "fileDownloaded(QNetworkReply*)",
    "getStoragePath()",
    "getTempPath()",
    "VYXCreateFolder(QString,QString)",
    "VYXCreateFolderDone(QString)",
    "VYXDeleteFolder(QString,QString)",
    "VYXDeleteFolderDone(QString)",
    "VYXDeleteFile(QString,QString)",
    "VYXDeleteFileDone(QString)",
    "VYXFileCopied(QString)",
    "VYXCreateFileDone(QString)",
    "VYXFileVerified(QString)",
    "VYXExecuteDone(QString)",
    "VYXDatabaseMD5(QString)",
    "VYXDatabaseMD5Done(QString)",
    "VYXPluginExtracted(QString)",
    "VYXPluginExtracted1(QString)",
    "VYXPluginExtracted2(QString)",
    "VYXPluginExtracted3(QString)",
    "VYXManagerDebug(QString)",
    "VYXCopyFile(QString,QString,QString)",
    "VYXExecute(QString,QString)",
    "MD5(QString)",
    "VYXInstallPlugin(QString,QString,QString,QString)",
    "SetWorkingPath(QString)",
    "readAbsoluteFile(QString)",
    "OpenBrowserPage(QString)",
    "downloadProgress(qlonglong,qlonglong)",
    "isNalrioOnline()",
    "VYXEnableBusDebug(QString)",
    "VYXZephronCommand(QString)",
    "VYXZephronMessage(QString)",
    "newJSMEssage(QString)",
    "ETSProject_readFile(QString,QString)",
    "readWEBPage(QString)",
    "pageLoaded(bool)",
    "ETSProject_fileList(QString)",
    "deleteAbsoluteFile(QString)",
    "encodeAccount(QString)",
    "writeFileAbsoluteFromImageData(QString,QString)",
    "MD5file(QString)",
    "writeFileAbsoluteFromHEXString(QString,QString)",
    "VYXGuardian(QString,QString)",
    "VYXGuardianDone(QString)",
    "VYXConsole(QString,QString)",
    "VYXConsoleDone(QString)",
    // Beyond the original set: the server named on the command line and its version, the ETS import, the
    // journal of changes, the live batch.
    "VYXStartupConnection()",
    "VYXServerVersion()",
    "VYXReadyGeneration()",
    "takeLiveBatch()",
    "ETSProject_import(QString,QString,QString,QString)",
    "ETSProject_cancelImport()",
    "journalWatch(QString)",
    "journalSetSite(QString)",
    "journalEntries(QString)",
    "journalExport(QString,QString,QString)",
    "VYXStopTransfer()",
    "VYXStartLogic(QString)",
    "VYXCancelCopy()",
    // The backup vault and the fleet.
    "vaultList(QString,QString)",
    "vaultOverview(QString,QString)",
    "vaultPartPath(QString,QString)",
    "vaultDiscard(QString)",
    "vaultAdd(QString,QString)",
    "vaultPrune(QString,QString,int,QString)",
    "fleetProbe(QString,QString)",
    "fleetBackup(QString,QString)",
    // Twins, off the GUI thread, of slots that read a whole file.
    "MD5Async(QString,QString,QString)",
    "ETSProject_readFileAsync(QString,QString,QString)",
    "keyringStatus(QString)",
    "rememberPassword(QString,QString,QString)",
    "rememberedPassword(QString,QString)",
    "forgetPassword(QString,QString)",
    "VYXConnectThroughTunnel(QString,QString,QString,QString,QString,QString)",
};

// Answers every HTTP request on loopback with one fixed body.
class TinyHttpServer : public QTcpServer {
public:
    explicit TinyHttpServer(const QByteArray &body) : m_body(body) {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    m_request += socket->readAll();
                    if (!m_request.contains("\r\n\r\n"))
                        return;
                    m_request.clear();
                    socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                  "Connection: close\r\nContent-Length: " +
                                  QByteArray::number(m_body.size()) + "\r\n\r\n" + m_body);
                    socket->disconnectFromHost();
                });
            }
        });
    }

private:
    QByteArray m_body;
    QByteArray m_request;
};

QStringList g_threadWarnings;
QtMessageHandler g_previousHandler = nullptr;

void recordThreadWarnings(QtMsgType type, const QMessageLogContext &context, const QString &msg) {
    if (msg.contains(QLatin1String("QThread")))
        g_threadWarnings.append(msg);
    g_previousHandler(type, context, msg);
}

QStringList g_refusals;

void recordRefusals(QtMsgType type, const QMessageLogContext &context, const QString &msg) {
    if (msg.contains(QLatin1String("Refused navigation")))
        g_refusals.append(msg);
    g_previousHandler(type, context, msg);
}

// The inodes of the TCP sockets this process holds that listen, from its descriptors and the
// namespace's socket tables (state 0A is LISTEN).
QStringList listeningSocketsOfThisProcess() {
    QSet<QString> own;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
        const QString link = QFile::symLinkTarget(fds.filePath(fd));
        if (link.contains(QLatin1String("socket:[")))
            own.insert(link.section(QLatin1Char('['), 1).section(QLatin1Char(']'), 0, 0));
    }
    QStringList listening;
    for (const char *table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
        QFile f(QString::fromLatin1(table));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        f.readLine(); // the heading
        while (!f.atEnd()) {
            const QStringList cols = QString::fromLatin1(f.readLine()).simplified().split(QLatin1Char(' '));
            if (cols.size() > 9 && cols.at(3) == QLatin1String("0A") && own.contains(cols.at(9)))
                listening << cols.at(1);
        }
    }
    return listening;
}

} // namespace

class BridgeTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void slotsAreDeclaredInOrderAndPublished();
    void pageCallsReachSlotsWithTheirTypes_data();
    void pageCallsReachSlotsWithTheirTypes();
    void directCallsAnswerAsPageCalls();
    void releaseListsLabelBeforeVersion();
    void queuedScriptsArriveInOrder();
    void scriptsQueuedFromAnotherThreadArriveInOrder();
    void injectedTextArrivesIntactAndRunsNothing_data();
    void injectedTextArrivesIntactAndRunsNothing();
    void callbackResultIsNotEvaluated();
    void lateAnswersSharingACallbackGoToTheSecond();
    void queryWithoutDatabaseAnswersEmpty();
    void windowTitleGoesToTheParent();
    void inspectorStaysClosedUnlessAsked();
    void askedInspectorLivesInTheProcessAndListensNowhere();
    void bridgeIsPublishedAgainAfterReload();
    void onlyOwnPagesAreShown();
    void deliveryThreadStopsCleanlyWithScriptsPending();

private:
    QWidget *m_parent = nullptr;
    JS *m_js = nullptr;
};

void BridgeTest::init() {
    m_parent = new QWidget;
    m_parent->resize(640, 480);
    m_js = new JS(m_parent);
    QVERIFY(PageTest::waitForPage(*m_js));
}

void BridgeTest::cleanup() {
    delete m_parent;
    m_parent = nullptr;
    m_js = nullptr;
}

void BridgeTest::slotsAreDeclaredInOrderAndPublished() {
    const QMetaObject &meta = JS::staticMetaObject;
    QStringList declared;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        if (method.methodType() == QMetaMethod::Slot && method.access() == QMetaMethod::Public)
            declared << QString::fromLatin1(method.methodSignature());
    }
    QStringList expected;
    for (const char *slot : kSlots)
        expected << QLatin1String(slot);
    QCOMPARE(declared, expected);

    for (const QString &signature : expected) {
        const QString name = signature.left(signature.indexOf(QLatin1Char('(')));
        QVERIFY2(eval(*m_js, QStringLiteral("typeof vyxDesk.%1").arg(name)).toString() ==
                     QLatin1String("function"),
                 qPrintable(name));
    }
}

void BridgeTest::pageCallsReachSlotsWithTheirTypes_data() {
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("expected");

    QTest::newRow("applicationPath") << "vyxDesk.applicationPath()" << QCoreApplication::applicationDirPath();
    QTest::newRow("not connected") << "vyxDesk.VYXIsConnected()"
                                   << "false";
    QTest::newRow("upload not ready") << "vyxDesk.VYXUpload('/tmp/x', 'cb')"
                                      << "Not Ready";
    QTest::newRow("int argument") << "vyxDesk.VYXQueryParameterValue(42)"
                                  << "true";
    QTest::newRow("bool result") << "String(vyxDesk.VYXMessageSend('abc|1', 'cb'))"
                                 << "false";
    QTest::newRow("bool result type") << "typeof vyxDesk.VYXMessageSend('abc', 'cb')"
                                      << "boolean";
    QTest::newRow("string result type") << "typeof vyxDesk.getQTRelease()"
                                        << "string";
    QTest::newRow("void result") << "String(vyxDesk.submit())"
                                 << "undefined";
    QTest::newRow("temp path") << "vyxDesk.getTempPath().length > 0"
                               << "true";
}

void BridgeTest::pageCallsReachSlotsWithTheirTypes() {
    QFETCH(QString, script);
    QFETCH(QString, expected);
    QCOMPARE(eval(*m_js, script).toString(), expected);
}

void BridgeTest::directCallsAnswerAsPageCalls() {
    const char *const slotsWithoutArguments[] = {
        "getQTRelease", "applicationPath", "VYXIsConnected",       "VYXGetHeartBeatTimeOut",
        "getTempPath",  "getStoragePath",  "VYXQueryParametersUID"};
    for (const char *slot : slotsWithoutArguments) {
        QString direct;
        QVERIFY2(QMetaObject::invokeMethod(m_js, slot, Qt::DirectConnection, Q_RETURN_ARG(QString, direct)),
                 slot);
        const QString fromPage =
            eval(*m_js, QStringLiteral("vyxDesk.%1()").arg(QLatin1String(slot))).toString();
        QVERIFY2(!direct.isEmpty(), slot);
        QCOMPARE(fromPage, direct);
    }
}

void BridgeTest::releaseListsLabelBeforeVersion() {
    const QString direct = m_js->getQTRelease();
    QCOMPARE(eval(*m_js, QStringLiteral("vyxDesk.getQTRelease()")).toString(), direct);
    const int label = direct.indexOf(QLatin1String("\"label\""));
    const int version = direct.indexOf(QLatin1String("\"version\""));
    QVERIFY(label >= 0 && version > label);
    const QJsonObject release = QJsonDocument::fromJson(direct.toUtf8()).object();
    QCOMPARE(release.value(QStringLiteral("label")).toString(), QStringLiteral("Ver 2.10 07/02/2023"));
    QVERIFY(release.value(QStringLiteral("version")).isString());
    QCOMPARE(release.value(QStringLiteral("version")).toString(), QStringLiteral("210"));
}

void BridgeTest::queuedScriptsArriveInOrder() {
    eval(*m_js, QStringLiteral("window.seq = []; window.rec = function (n) { seq.push(n); };"));
    const int count = 2000;
    for (int i = 0; i < count; ++i)
        m_js->queueExpressionCall(QStringLiteral("rec"), QString::number(i));
    QTRY_COMPARE_WITH_TIMEOUT(eval(*m_js, QStringLiteral("seq.length")).toInt(), count, 20000);
    QCOMPARE(eval(*m_js, QStringLiteral("seq.every(function (v, i) { return v === i; })")).toBool(), true);
}

void BridgeTest::scriptsQueuedFromAnotherThreadArriveInOrder() {
    eval(*m_js, QStringLiteral("window.seq = []; window.rec = function (n) { seq.push(n); };"));
    const int count = 2000;
    JS *js = m_js;
    QThread *producer = QThread::create([js, count] {
        for (int i = 0; i < count; ++i)
            js->queueExpressionCall(QStringLiteral("rec"), QString::number(i));
    });
    producer->start();
    QTRY_COMPARE_WITH_TIMEOUT(eval(*m_js, QStringLiteral("seq.length")).toInt(), count, 20000);
    QVERIFY(producer->wait(10000));
    delete producer;
    QCOMPARE(eval(*m_js, QStringLiteral("seq.every(function (v, i) { return v === i; })")).toBool(), true);
}

void BridgeTest::injectedTextArrivesIntactAndRunsNothing_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("plain") << QStringLiteral("Connected to 10.0.0.5 port 18000");
    QTest::newRow("double quotes") << QStringLiteral("say \"hi\"");
    QTest::newRow("break out") << QStringLiteral("\");window.pwned=1;(\"");
    QTest::newRow("line breaks") << QStringLiteral("a\nb\r\nc\u2028d\u2029e");
    QTest::newRow("backslashes") << QStringLiteral("C:\\temp\\\"x\\");
    QTest::newRow("script tag") << QStringLiteral("</script><script>window.pwned=1</script>");
    QTest::newRow("controls") << QString::fromUtf8("nul\x01 tab\t bell\x07 \xc3\xa9\xe2\x82\xac");
}

void BridgeTest::injectedTextArrivesIntactAndRunsNothing() {
    QFETCH(QString, text);
    eval(*m_js, QStringLiteral("window.pwned = 0; window.got = null;"
                               "window.take = function (s) { window.got = s; };"));
    m_js->queueStringCall(QStringLiteral("take"), text);
    QTRY_VERIFY_WITH_TIMEOUT(!eval(*m_js, QStringLiteral("window.got === null")).toBool(), 5000);
    QCOMPARE(eval(*m_js, QStringLiteral("window.got")).toString(), text);
    QCOMPARE(eval(*m_js, QStringLiteral("window.pwned")).toInt(), 0);
}

void BridgeTest::callbackResultIsNotEvaluated() {
    // A page callback that hands back its argument (or any string) must not have that string
    // run: only the call itself is evaluated.
    eval(*m_js, QStringLiteral("window.pwned = 0; window.done = false;"
                               "window.echo = function (s) { window.done = true; return s; };"));
    m_js->queueStringCall(QStringLiteral("echo"), QStringLiteral("window.pwned = 1"));
    QTRY_VERIFY_WITH_TIMEOUT(eval(*m_js, QStringLiteral("window.done")).toBool(), 5000);
    QCOMPARE(eval(*m_js, QStringLiteral("window.pwned")).toInt(), 0);
}

void BridgeTest::lateAnswersSharingACallbackGoToTheSecond() {
    TinyHttpServer server("[1,2]");
    QVERIFY(server.listen(QHostAddress::LocalHost));
    const QString url = QStringLiteral("http://127.0.0.1:%1/data").arg(server.serverPort());
    eval(*m_js,
         QStringLiteral("window.calls = [];"
                        "window.first = function (x) { calls.push('first:' + JSON.stringify(x)); };"
                        "window.second = function (x) { calls.push('second:' + JSON.stringify(x)); };"));
    eval(*m_js, QStringLiteral("vyxDesk.WEBGet('%1', 'first'); vyxDesk.WEBGet('%1', 'second');").arg(url));
    QTRY_COMPARE_WITH_TIMEOUT(eval(*m_js, QStringLiteral("calls.length")).toInt(), 2, 10000);
    QCOMPARE(eval(*m_js, QStringLiteral("calls.join(' ')")).toString(),
             QStringLiteral("second:[1,2] second:[1,2]"));
}

void BridgeTest::queryWithoutDatabaseAnswersEmpty() {
    eval(*m_js, QStringLiteral("window.desktopApp = { answers: [],"
                               "  queryResponse: function () { this.answers.push(arguments.length); } };"));
    eval(*m_js, QStringLiteral("vyxDesk.queryExecute('select 1')"));
    // Answered synchronously, with nothing to report.
    QCOMPARE(eval(*m_js, QStringLiteral("desktopApp.answers.join(',')")).toString(), QStringLiteral("0"));
}

void BridgeTest::windowTitleGoesToTheParent() {
    eval(*m_js, QStringLiteral("vyxDesk.setWindowTitle('Project \"A\"')"));
    QCOMPARE(m_parent->windowTitle(), QStringLiteral("Project \"A\""));
}

void BridgeTest::inspectorStaysClosedUnlessAsked() {
    QVERIFY(qgetenv("VYXDESK_INSPECTOR") != "1");
    QVERIFY(!m_js->view()->page()->property("_q_webInspectorServerPort").isValid());
}

void BridgeTest::askedInspectorLivesInTheProcessAndListensNowhere() {
    QVERIFY(!m_js->findChild<QWebInspector *>());
    qputenv("VYXDESK_INSPECTOR", "1");
    QWidget parent;
    JS *js = new JS(&parent);
    qunsetenv("VYXDESK_INSPECTOR");
    QVERIFY(PageTest::waitForPage(*js));
    const QWebInspector *inspector = js->findChild<QWebInspector *>();
    QVERIFY(inspector);
    QCOMPARE(inspector->page(), js->view()->page());
    QVERIFY(inspector->isVisible());
    QVERIFY(!js->view()->page()->property("_q_webInspectorServerPort").isValid());
    const QStringList listening = listeningSocketsOfThisProcess();
    QVERIFY2(listening.isEmpty(), qPrintable(listening.join(QLatin1Char(' '))));
}

void BridgeTest::bridgeIsPublishedAgainAfterReload() {
    QSignalSpy loaded(m_js->mainFrame(), &QWebFrame::loadFinished);
    m_js->view()->setHtml(QStringLiteral("<html><body>other page</body></html>"));
    QTRY_VERIFY_WITH_TIMEOUT(loaded.count() > 0, 10000);
    QCOMPARE(eval(*m_js, QStringLiteral("document.body.textContent")).toString(),
             QStringLiteral("other page"));
    QCOMPARE(eval(*m_js, QStringLiteral("typeof vyxDesk.getQTRelease")).toString(),
             QStringLiteral("function"));
}

// A document from elsewhere must never be shown with vyxDesk in reach: links, scripts and drops
// cannot lead the view away from the manager's own pages.
void BridgeTest::onlyOwnPagesAreShown() {
    const QString html = JS::applicationDir() + QStringLiteral("/data/html");
    QTemporaryDir outside;
    const QString marker = outside.filePath(QStringLiteral("reached"));
    const QString foreign = outside.filePath(QStringLiteral("foreign.html"));
    QFile page(foreign);
    QVERIFY(page.open(QIODevice::WriteOnly));
    page.write(QStringLiteral("<html><body><script>vyxDesk.writeFileAbsolute('%1', 'x');</script>"
                              "</body></html>")
                   .arg(marker)
                   .toUtf8());
    page.close();
    QFile::remove(html + QStringLiteral("/linked-out.html"));
    QVERIFY(QFile::link(foreign, html + QStringLiteral("/linked-out.html")));

    struct Case {
        QUrl url;
        bool own;
    };
    const Case cases[] = {
        {QUrl::fromLocalFile(html + QStringLiteral("/bridge-check.html")), true},
        {QUrl(QUrl::fromLocalFile(html).toString() + QStringLiteral("/bridge-check.html?x#y")), true},
        {QUrl(QStringLiteral("about:blank")), true},
        {QUrl::fromLocalFile(foreign), false},
        {QUrl::fromLocalFile(html + QStringLiteral("/../html/../../outside.html")), false},
        {QUrl::fromLocalFile(html + QStringLiteral("/linked-out.html")), false},
        {QUrl(QStringLiteral("http://127.0.0.1:1/page.html")), false},
        {QUrl(QStringLiteral("data:text/html,<p>x</p>")), false},
    };
    for (const Case &c : cases)
        QVERIFY2(JS::isOwnPage(c.url, html) == c.own, qPrintable(c.url.toString()));
    QFile::remove(html + QStringLiteral("/linked-out.html"));

    // A script of the page sends the view to the foreign page: the view says no and stays.
    const QUrl own = m_js->mainFrame()->url();
    g_refusals.clear();
    g_previousHandler = qInstallMessageHandler(recordRefusals);
    eval(*m_js, QStringLiteral("window.location.href = '%1';").arg(QUrl::fromLocalFile(foreign).toString()));
    QTRY_VERIFY_WITH_TIMEOUT(!g_refusals.isEmpty(), 10000);
    qInstallMessageHandler(g_previousHandler);
    QVERIFY(g_refusals.first().contains(QStringLiteral("foreign.html")));
    QCOMPARE(m_js->mainFrame()->url(), own);
    QVERIFY(!QFile::exists(marker));
    QVERIFY(!m_js->view()->acceptDrops());
}

void BridgeTest::deliveryThreadStopsCleanlyWithScriptsPending() {
    g_threadWarnings.clear();
    g_previousHandler = qInstallMessageHandler(recordThreadWarnings);
    for (int i = 0; i < 10000; ++i)
        m_js->queueExpressionCall(QStringLiteral("(function(){})"), QString::number(i));
    delete m_parent;
    m_parent = nullptr;
    m_js = nullptr;
    qInstallMessageHandler(g_previousHandler);
    QVERIFY2(g_threadWarnings.isEmpty(), qPrintable(g_threadWarnings.join(QLatin1Char('\n'))));
}

QTEST_MAIN(BridgeTest)
#include "tst_bridge.moc"
