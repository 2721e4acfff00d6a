// The workbench page on the real bridge (JS), offscreen. The Servers view starts a discovery as soon
// as the page opens, and discovery datagrams go to multicast and broadcast addresses that must never
// leave the machine: so the cases run only inside a network namespace this test makes itself, with
// nothing but loopback, where a small responder plays the server.
#include "js.h"
#include "ownnetworknamespace.h"
#include "pageerrors.h"
#include "pageshot.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QPainter>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QWebFrame>
#include <QWebView>
#include <QtTest>

#include <memory>
#include <vector>

#include "testzip.h"

#include <algorithm>

namespace {

const QHostAddress kGroup(QStringLiteral("226.0.0.1"));
const char kAnswer[] = "vyx-kore-wa-desu;name=Lab server;address=127.0.0.1;port=18000;version=test";

// Answers the discovery queries like a server.
class Responder : public QObject {
public:
    Responder() {
        m_multicast.bind(QHostAddress::AnyIPv4, 17000,
                         QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint);
        m_multicast.joinMulticastGroup(kGroup);
        m_broadcast.bind(QHostAddress::AnyIPv4, 17001,
                         QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint);
        connect(&m_multicast, &QUdpSocket::readyRead, this, [this] { serve(m_multicast, true); });
        connect(&m_broadcast, &QUdpSocket::readyRead, this, [this] { serve(m_broadcast, false); });
    }

    bool ready() const {
        return m_multicast.state() == QAbstractSocket::BoundState &&
               m_broadcast.state() == QAbstractSocket::BoundState;
    }

    int queries = 0;

private:
    void serve(QUdpSocket &socket, bool multicast) {
        while (socket.hasPendingDatagrams()) {
            const QNetworkDatagram query = socket.receiveDatagram();
            if (query.data() != "vyx-wa-doko-desu-ka")
                continue;
            ++queries;
            if (multicast)
                socket.writeDatagram(QByteArray(kAnswer), kGroup, 17000);
            else
                socket.writeDatagram(QByteArray(kAnswer), query.senderAddress(), query.senderPort());
        }
    }

    QUdpSocket m_multicast;
    QUdpSocket m_broadcast;
};

QByteArray fileBytes(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeBytes(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

const char kServerMd5Field[] = "document.querySelector('#view-backup .props dd').textContent";

bool writeZip(const QString &path, const QList<QPair<QString, QByteArray>> &entries) {
    QList<TestZipEntry> list;
    for (const auto &entry : entries)
        list.append(TestZipEntry(entry.first, entry.second));
    return writeTestZip(path, list);
}

} // namespace

class Launcher : public QObject {
    Q_OBJECT

private slots:
    void runsInsideItsOwnNetworkNamespace() {
        // Many cases, several with a server of their own.
        VYX_RUN_IN_OWN_NETWORK_NAMESPACE(420000);
    }
};

class PageOnBridgeTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void findsTheBridgeAndBuildsEveryView();
    void discoveryListsTheServerWithItsName();
    void aboutShowsTheProgramVersion();
    void serverActionsWithoutAConnectionSaySo();
    void etsImportReadsARealArchive();
    void etsImportExplainsUnreadableArchives();
    void etsImportOpensAProtectedProjectWithItsPassword();

    // End to end against the server simulator, when it was built.
    void connectsToTheSimulator();
    void parametersArriveAndAValueCanBeWritten();
    void consoleCommandGetsItsReply();
    void backupDownloadsTheDatabaseAndChecksItsMd5();
    void restoringTheSameDatabaseIsNotNecessary();
    void copiesALocalFileWithItsMd5Checked();
    void installsAPluginStepByStep();
    void listingShowsOddNamesAsTextAndOpensFolders();
    void busCommandAnswerReachesTheMonitor();
    void journalListsTheChangesAndExportsThem();
    void disconnectEndsTheSession();
    void eachViewShowsOnlyItsOwnAnswer();
    void refusedCopyTurnsTheBarRedWithTheServersReason();
    void lostConnectionShowsUntilTheServerIsBack();
    void stalledOrAbandonedTransferEndsRedWithItsReason();

    // Each of these starts a simulator of its own and connects to it.
    void askingTheServerMd5ShowsOnlyItsAnswer();
    void requestWithoutAnswerEndsInATimeOut_data();
    void requestWithoutAnswerEndsInATimeOut();
    void lateConsoleReplyReachesNoOtherCommand();
    void waitingConsoleCommandDoesNotHoldUpTheListing();
    void refusedDeleteIsShownRedWithTheServersReason();
    void uploadReplacesTheDatabaseOrSaysWhyNot_data();
    void uploadReplacesTheDatabaseOrSaysWhyNot();

private:
    void requireSimulator() {
        if (m_simPort == 0)
            VYX_SKIP_OR_FAIL_ON_CI("the server simulator vyxsim is not available");
    }
    void click(const QString &view, const QString &text) {
        eval(QStringLiteral("Array.prototype.filter.call(document.querySelectorAll('#view-%1 button'),"
                            " function (b) { return b.textContent === %2; })[0].click()")
                 .arg(view, literal(text)));
    }
    static QString literal(const QString &text) {
        return QString::fromUtf8(QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact))
            .mid(1)
            .chopped(1);
    }
    QString viewText(const QString &view) {
        return eval(QStringLiteral("document.getElementById('view-%1').textContent").arg(view)).toString();
    }
    void startSimulator();
    // Starts a simulator with the extra switches in `sim` (its files under `root`); its port or 0.
    int startSimulator(QProcess &sim, const QString &root, const QStringList &extra);
    void connectTo(int port);
    // Every end-to-end case sets up what it needs itself, whatever the cases before it left: these
    // make sure of a state and return whether it holds.
    bool connectedTo(int port);
    // A simulator that loses every file-delete answer and writes no file past 200000 bytes.
    int faultySimulator();
    // The database of the connected server, downloaded through the page into `path`.
    bool downloaded(const QString &path);
    // Starts a simulator of the case's own (files under a folder `name`) and connects the page to
    // it, ending any session before; its port, or 0.
    int connectToOwnSimulator(const QString &name, const QStringList &extra);
    QString simRoot(const QString &name) const { return m_dir.filePath(QStringLiteral("own-") + name); }
    void pressEnterInConsole(const QString &command) {
        eval(QStringLiteral("VX.show('console'); var inp = document.querySelector('#view-console "
                            ".console-input'); inp.value = %1;"
                            "var e = document.createEvent('Event'); e.initEvent('keydown', true, true); "
                            "e.keyCode = 13; inp.dispatchEvent(e);")
                 .arg(literal(command)));
    }
    // Clicks the button once the dialog shows it (some dialogs wait for a file's MD5 first).
    void confirmDialog(const QString &button) {
        const QString find = QStringLiteral("Array.prototype.filter.call(document.querySelectorAll('.dialog "
                                            "button'), function (b) { return b.textContent === %1; })")
                                 .arg(literal(button));
        waitFor(find + QStringLiteral(".length > 0"), 30000);
        eval(find + QStringLiteral("[0].click()"));
    }
    std::vector<std::unique_ptr<QProcess>> m_ownSims;
    QProcess m_faulty;
    QProcess m_restarted;
    QProcess m_stalling;
    int m_faultyPort = 0;
    // Saves what the page shows, for a person to look at (not compared with anything).
    void shoot(const QString &name) {
#ifdef VYX_SHOTS
        if (qEnvironmentVariableIsSet("VYX_NO_SHOTS"))
            return;
        QTest::qWait(400); // let the progress bars finish their transition
        savePageShot(*m_js, QStringLiteral(VYX_SHOTS), name);
#else
        Q_UNUSED(name);
#endif
    }

    QVariant eval(const QString &script) {
        return m_js->mainFrame()->evaluateJavaScript(script);
    }
    bool waitFor(const QString &condition, int timeoutMs) {
        QElapsedTimer timer;
        timer.start();
        while (!eval(condition).toBool() && timer.elapsed() < timeoutMs)
            QTest::qWait(20);
        return eval(condition).toBool();
    }

    QWidget *m_parent = nullptr;
    JS *m_js = nullptr;
    Responder *m_responder = nullptr;
    QTemporaryDir m_dir;
    QProcess m_sim;
    int m_simPort = 0;
};

void PageOnBridgeTest::startSimulator() {
    m_simPort = startSimulator(m_sim, m_dir.filePath(QStringLiteral("sim")), {});
}

int PageOnBridgeTest::startSimulator(QProcess &sim, const QString &root, const QStringList &extra) {
#ifdef VYX_SIM
    if (!QFileInfo::exists(QStringLiteral(VYX_SIM)))
        return 0;
    QDir().mkpath(root);
    sim.setProcessChannelMode(QProcess::SeparateChannels);
    sim.start(QStringLiteral(VYX_SIM),
              QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--root"), root,
                          QStringLiteral("--no-discovery"), QStringLiteral("--quiet")} +
                  extra);
    if (!sim.waitForStarted(10000))
        return 0;
    QElapsedTimer timer;
    timer.start();
    while (!sim.canReadLine() && timer.elapsed() < 10000)
        sim.waitForReadyRead(200);
    const QByteArray line = sim.readLine().trimmed();
    return line.startsWith("LISTENING ") ? line.mid(10).toInt() : 0;
#else
    Q_UNUSED(sim);
    Q_UNUSED(root);
    Q_UNUSED(extra);
    return 0;
#endif
}

void PageOnBridgeTest::connectTo(int port) {
    eval(QStringLiteral(
             "VX.show('servers'); var i = document.querySelectorAll('#view-servers input');"
             "i[0].value = '127.0.0.1'; i[1].value = '%1'; i[2].value = 'admin'; i[3].value = 'admin';"
             // not the name of the server that discovery found: this one is another
             "i[4].value = '';")
             .arg(port));
    click(QStringLiteral("servers"), QStringLiteral("Connect"));
}

bool PageOnBridgeTest::connectedTo(int port) {
    const QString there =
        QStringLiteral("VX.session.state === 'connected' && String(VX.session.port) === '%1'").arg(port);
    if (eval(there).toBool())
        return true;
    connectTo(port);
    return waitFor(there, 20000);
}

int PageOnBridgeTest::faultySimulator() {
    if (m_faulty.state() != QProcess::Running || m_faultyPort == 0)
        m_faultyPort = startSimulator(m_faulty, m_dir.filePath(QStringLiteral("faulty")),
                                      {QStringLiteral("--drop-answer"), QStringLiteral("1010012"),
                                       QStringLiteral("--file-limit"), QStringLiteral("200000")});
    return m_faultyPort;
}

bool PageOnBridgeTest::downloaded(const QString &path) {
    QFile::remove(path);
    eval(QStringLiteral("VX.show('backup'); VX.testing.backup.downloadTo(%1)").arg(literal(path)));
    return waitFor(
               QStringLiteral(
                   "document.getElementById('view-backup').textContent.indexOf('Download complete') >= 0"),
               30000) &&
           QFileInfo(path).size() > 0;
}

int PageOnBridgeTest::connectToOwnSimulator(const QString &name, const QStringList &extra) {
    m_ownSims.emplace_back(new QProcess);
    const int port = startSimulator(*m_ownSims.back(), simRoot(name), extra);
    if (port == 0)
        return 0;
    connectTo(port);
    if (!waitFor(QStringLiteral("VX.session.state === 'connected' && VX.session.port === '%1'").arg(port),
                 20000))
        return 0;
    return port;
}

void PageOnBridgeTest::initTestCase() {
    QVERIFY2(OwnNetworkNamespace::onlyLoopback(), "loopback must be the only interface");
    QVERIFY(m_dir.isValid());

    // Local storage (saved sites) lives under the data location: start from an empty one.
    qputenv("XDG_DATA_HOME", m_dir.filePath(QStringLiteral("xdg-data")).toUtf8());
    m_responder = new Responder;
    QVERIFY(m_responder->ready());
    startSimulator();
    m_parent = new QWidget;
    m_js = new JS(m_parent);
    QWebFrame *frame = m_js->mainFrame();
    recordPageErrors(this, frame);
    QSignalSpy loaded(frame, &QWebFrame::loadFinished);
    m_js->view()->load(QUrl::fromLocalFile(QStringLiteral(VYX_WORKBENCH)));
    QVERIFY(loaded.wait(20000) || !loaded.isEmpty());
    QVERIFY(waitFor(QStringLiteral("window.VX && VX.views && VX.currentView() === 'servers'"), 10000));
}

void PageOnBridgeTest::cleanup() {
    QCOMPARE(eval(pageErrorsExpression()).toString(), QString());
}

void PageOnBridgeTest::cleanupTestCase() {
    delete m_parent;
    delete m_responder;
    std::vector<QProcess *> sims{&m_sim, &m_faulty, &m_restarted, &m_stalling};
    for (const auto &own : m_ownSims)
        sims.push_back(own.get());
    for (QProcess *sim : sims) {
        if (sim->state() != QProcess::NotRunning) {
            sim->terminate();
            if (!sim->waitForFinished(5000))
                sim->kill();
            sim->waitForFinished(5000);
        }
    }
}

void PageOnBridgeTest::findsTheBridgeAndBuildsEveryView() {
    QVERIFY(eval(QStringLiteral("VX.desk.present()")).toBool());
    QVERIFY(eval(QStringLiteral("document.getElementById('no-bridge').hidden")).toBool());
    QCOMPARE(
        eval(QStringLiteral("VX.views.map(function (v) { return v.id; }).join(',')")).toString(),
        QStringLiteral("servers,parameters,backup,fleet,files,console,bus,logs,project,ets,journal,about"));
    QCOMPARE(eval(QStringLiteral("document.querySelectorAll('.nav-item').length")).toInt(), 12);
}

void PageOnBridgeTest::discoveryListsTheServerWithItsName() {
    const QString found = QStringLiteral("document.querySelectorAll('#view-servers table')[0].tBodies[0]");
    QVERIFY2(waitFor(found + QStringLiteral(".textContent.indexOf('Lab server') >= 0"), 8000),
             qPrintable(QStringLiteral("queries seen by the responder: %1").arg(m_responder->queries)));
    QCOMPARE(eval(found + QStringLiteral(".rows[0].cells[1].textContent")).toString(),
             QStringLiteral("127.0.0.1"));
    QCOMPARE(eval(found + QStringLiteral(".rows[0].cells[2].textContent")).toString(),
             QStringLiteral("18000"));
    // "Use" fills the login form with the server's address.
    eval(found + QStringLiteral(".rows[0].querySelector('.btn').click()"));
    QCOMPARE(eval(QStringLiteral("document.querySelectorAll('#view-servers input')[0].value")).toString(),
             QStringLiteral("127.0.0.1"));
    QVERIFY(waitFor(QStringLiteral("document.getElementById('view-servers').textContent.indexOf('Search "
                                   "finished: 1 server found.') >= 0"),
                    8000));
}

void PageOnBridgeTest::aboutShowsTheProgramVersion() {
    eval(QStringLiteral("VX.show('about')"));
    const QString text = eval(QStringLiteral("document.getElementById('view-about').textContent")).toString();
    QVERIFY2(text.contains(QStringLiteral("Ver 2.10 07/02/2023 (build 210)")), qPrintable(text));
    QVERIFY2(text.contains(JS::applicationDir()), qPrintable(text));
}

void PageOnBridgeTest::serverActionsWithoutAConnectionSaySo() {
    eval(QStringLiteral("VX.show('parameters');"
                        "Array.prototype.filter.call(document.querySelectorAll('#view-parameters button'),"
                        " function (b) { return b.textContent === 'Load all parameters'; })[0].click();"));
    QVERIFY(eval(QStringLiteral("document.querySelector('#view-parameters .status-error').textContent"))
                .toString()
                .startsWith(QStringLiteral("Not connected")));
    QCOMPARE(eval(QStringLiteral("VX.desk.isConnected()")).toBool(), false);
}

void PageOnBridgeTest::etsImportReadsARealArchive() {
    const QString path = m_dir.filePath(QStringLiteral("house.knxproj"));
    const QByteArray data =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?><KNX xmlns=\"http://knx.org/xml/project/20\"><Project "
        "Id=\"P-0042\">"
        "<Installations><Installation><Topology><Area Address=\"1\"><Line Address=\"1\">"
        "<DeviceInstance Address=\"7\" Name=\"Blind actuator\"><ComObjectInstanceRefs>"
        "<ComObjectInstanceRef RefId=\"O-2_R-1\" DatapointType=\"DPST-1-8\" Links=\"d\"/>"
        "</ComObjectInstanceRefs></DeviceInstance></Line></Area></Topology>"
        "<GroupAddresses><GroupRanges><GroupRange Name=\"Light\">"
        "<GroupAddress Id=\"a\" Address=\"2049\" Name=\"K\xC3\xBC"
        "che\" DatapointType=\"DPST-1-1\" />"
        "<GroupAddress Id=\"b\" Address=\"4097\" Name=\"Temp\" DatapointType=\"DPST-9-1\" />"
        "<GroupAddress Id=\"d\" Address=\"2050\" Name=\"Blind\" />"
        "<GroupAddress Id=\"c\" Name=\"No address\" />"
        "</GroupRange></GroupRanges></GroupAddresses></Installation></Installations></Project></KNX>";
    const QByteArray info = "<KNX xmlns=\"http://knx.org/xml/project/20\"><Project Id=\"P-0042\">"
                            "<ProjectInformation Name=\"Test house\" /></Project></KNX>";
    QVERIFY(writeZip(path, {{QStringLiteral("knx_master.xml"), QByteArray("<KNX/>")},
                            {QStringLiteral("P-0042/0.xml"), data},
                            {QStringLiteral("P-0042/project.xml"), info}}));
    eval(QStringLiteral("VX.show('ets'); VX.testing.ets.load(%1)").arg(literal(path)));
    QVERIFY(waitFor(QStringLiteral("document.querySelectorAll('#view-ets tr.ga-row').length === 3"), 10000));
    const QString text = eval(QStringLiteral("document.getElementById('view-ets').textContent")).toString();
    QVERIFY2(text.contains(QStringLiteral("Test house")), qPrintable(text));
    // The blind's address has no type of its own: it takes the type of the object sending on it,
    // says so, and the export carries it.
    QVERIFY2(text.contains(QStringLiteral("1.008Up/Downfrom object 1.1.7 #2")), qPrintable(text));
    const QString csv = eval(QStringLiteral("VX.testing.ets.csv()")).toString();
    QVERIFY2(csv.contains(QStringLiteral("\"Blind\";\"1/0/2\";\"\";\"\";\"\";\"DPST-1-8\";\"Auto\"")),
             qPrintable(csv));
    QVERIFY2(text.contains(QString::fromUtf8("K\xC3\xBC"
                                             "che")),
             qPrintable(text));
    QVERIFY2(
        text.contains(QStringLiteral("3 group addresses and 1 device read from house.knxproj, 1 skipped")),
        qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("No address")), qPrintable(text));
}

void PageOnBridgeTest::etsImportExplainsUnreadableArchives() {
    const QString notZip = m_dir.filePath(QStringLiteral("text.knxproj"));
    QFile file(notZip);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("this is not a zip archive");
    file.close();
    const QString locked = m_dir.filePath(QStringLiteral("locked.knxproj"));
    QVERIFY(writeZip(locked, {{QStringLiteral("knx_master.xml"), QByteArray("<KNX/>")},
                              {QStringLiteral("P-0042.signature"), QByteArray("sig")},
                              {QStringLiteral("P-0042.zip"), QByteArray("encrypted")}}));
    const struct {
        QString path;
        QString words;
    } cases[] = {
        {notZip, QStringLiteral("could not be opened as an ETS project archive")},
        {locked, QStringLiteral("P-0042.zip is damaged or cut short")},
    };
    for (const auto &c : cases) {
        eval(QStringLiteral("VX.testing.ets.load(%1)").arg(literal(c.path)));
        QVERIFY2(
            waitFor(QStringLiteral(
                        "document.querySelector('#view-ets .status-line').textContent.indexOf(%1) >= 0")
                        .arg(literal(c.words)),
                    10000),
            qPrintable(c.path + QStringLiteral(": ") +
                       eval(QStringLiteral("document.querySelector('#view-ets .status-line').textContent"))
                           .toString()));
        QCOMPARE(eval(QStringLiteral("document.querySelectorAll('#view-ets tr.ga-row').length")).toInt(), 0);
    }
}

// A protected project of the newest schema (AES, derived password) on the real bridge: the view
// asks for the password, says when it is wrong, and shows the project with the right one.
void PageOnBridgeTest::etsImportOpensAProtectedProjectWithItsPassword() {
    const QByteArray zipPassword = "8OSt5LUUVh+O6isDTe9RNRdIhq529jg4x920tdAUflI="; // for "Geheim!"
    const QByteArray info =
        "<KNX xmlns=\"http://knx.org/xml/project/21\"><Project Id=\"P-0042\">"
        "<ProjectInformation Name=\"Locked house\" GroupAddressStyle=\"TwoLevel\"/></Project></KNX>";
    const QByteArray data =
        "<KNX xmlns=\"http://knx.org/xml/project/21\" CreatedBy=\"ETS6\" ToolVersion=\"6.2.0\"><Project "
        "Id=\"P-0042\"><Installations><Installation>"
        "<Topology><Area Address=\"1\" Name=\"House\"><Line Address=\"1\" Name=\"Main\"><Segment>"
        "<DeviceInstance Address=\"3\" Name=\"Dimmer\"><ComObjectInstanceRefs>"
        "<ComObjectInstanceRef RefId=\"O-4_R-1\" Text=\"Brightness\" "
        "Links=\"GA-2\"/></ComObjectInstanceRefs></DeviceInstance>"
        "</Segment></Line></Area></Topology>"
        "<GroupAddresses><GroupRanges><GroupRange Name=\"Light\" RangeStart=\"2048\" RangeEnd=\"4095\">"
        "<GroupAddress Id=\"P-0042-0_GA-2\" Address=\"2305\" Name=\"Dim value\" DatapointType=\"DPST-5-1\"/>"
        "</GroupRange></GroupRanges></GroupAddresses></Installation></Installations></Project></KNX>";
    const QByteArray inner = testZipBytes({{QStringLiteral("project.xml"), info, ZIP_EM_AES_256, zipPassword},
                                           {QStringLiteral("0.xml"), data, ZIP_EM_AES_256, zipPassword}});
    const QString path = m_dir.filePath(QStringLiteral("locked6.knxproj"));
    QVERIFY(writeTestZip(path, {{QStringLiteral("knx_master.xml"),
                                 QByteArray("<KNX xmlns=\"http://knx.org/xml/project/21\"/>")},
                                {QStringLiteral("P-0042.zip"), inner}}));
    eval(QStringLiteral("VX.show('ets'); VX.testing.ets.load(%1)").arg(literal(path)));
    QVERIFY(waitFor(
        QStringLiteral("document.querySelector('#view-ets input[type=password]').offsetParent !== null"),
        10000));
    auto submit = [this](const QString &password) {
        eval(QStringLiteral("document.querySelector('#view-ets input[type=password]').value = %1; "
                            "VX.testing.ets.openWithPassword()")
                 .arg(literal(password)));
    };
    submit(QStringLiteral("geheim!"));
    QVERIFY(waitFor(
        QStringLiteral(
            "document.querySelector('#view-ets .status-line').textContent.indexOf('Wrong password') === 0"),
        20000));
    submit(QStringLiteral("Geheim!"));
    QVERIFY(waitFor(QStringLiteral("document.querySelectorAll('#view-ets tr.ga-row').length === 1"), 20000));
    eval(QStringLiteral("document.querySelector('#view-ets tr.ga-row').click()"));
    const QString text = eval(QStringLiteral("document.getElementById('view-ets').textContent")).toString();
    for (const char *shown : {"Locked house", "ETS6 6.2.0", "two levels (main/sub)", "password-protected",
                              "1/257", "Dim value", "1.1.3", "Brightness", "sends"})
        QVERIFY2(text.contains(QLatin1String(shown)),
                 qPrintable(QStringLiteral("%1 missing in: %2").arg(QLatin1String(shown), text)));
    QVERIFY(!text.contains(QStringLiteral("Geheim")));
    shoot(QStringLiteral("ets-protected-opened"));
}

void PageOnBridgeTest::connectsToTheSimulator() {
    requireSimulator();
    if (eval(QStringLiteral("VX.session.state")).toString() != QLatin1String("offline"))
        eval(QStringLiteral("document.getElementById('topbar-disconnect').click()"));
    connectTo(m_simPort);
    QVERIFY2(waitFor(QStringLiteral("VX.session.state === 'connected'"), 20000),
             qPrintable(viewText(QStringLiteral("servers"))));
    QVERIFY(viewText(QStringLiteral("servers")).contains(QStringLiteral("Connection ready")));
    QVERIFY(eval(QStringLiteral("document.getElementById('connection-text').textContent")).toString() ==
            QStringLiteral("Connected"));
    shoot(QStringLiteral("01-servers"));
}

void PageOnBridgeTest::parametersArriveAndAValueCanBeWritten() {
    requireSimulator();
    QVERIFY2(connectedTo(m_simPort), qPrintable(viewText(QStringLiteral("servers"))));
    eval(QStringLiteral("VX.show('parameters')"));
    QVERIFY2(waitFor(QStringLiteral("VX.testing.parameters.model.has('100101')"), 15000),
             qPrintable(viewText(QStringLiteral("parameters"))));
    const QString dimmer = QStringLiteral("100101");
    eval(QStringLiteral(
             "VX.testing.parameters.select('%1'); var v = document.getElementById('view-parameters');"
             "v.querySelector('select').value = 'byte'; v.querySelectorAll('input')[1].value = '300';")
             .arg(dimmer));
    click(QStringLiteral("parameters"), QStringLiteral("Write value"));
    QVERIFY(viewText(QStringLiteral("parameters")).contains(QStringLiteral("300 does not fit in a byte")));
    eval(QStringLiteral(
        "document.getElementById('view-parameters').querySelectorAll('input')[1].value = '77';"));
    click(QStringLiteral("parameters"), QStringLiteral("Write value"));
    if (!waitFor(QStringLiteral("VX.testing.parameters.model.get('%1').value === '77'").arg(dimmer), 5000)) {
        click(QStringLiteral("parameters"), QStringLiteral("Read again"));
        QVERIFY2(
            waitFor(QStringLiteral("VX.testing.parameters.model.get('%1').value === '77'").arg(dimmer),
                    10000),
            qPrintable(
                eval(QStringLiteral("VX.testing.parameters.model.get('%1').value").arg(dimmer)).toString()));
    }
    QVERIFY2(waitFor(QStringLiteral("document.querySelectorAll('#view-parameters tbody tr[data-id]').length "
                                    "=== VX.testing.parameters.model.size"
                                    " && VX.testing.parameters.model.size > 20"),
                     10000),
             qPrintable(viewText(QStringLiteral("parameters"))));
    QVERIFY(waitFor(QStringLiteral("document.querySelector('#view-parameters tr[data-id=\"100101\"] "
                                   "td:nth-child(2)').textContent === '77'"),
                    5000));
    shoot(QStringLiteral("02-parameters"));
}

void PageOnBridgeTest::consoleCommandGetsItsReply() {
    requireSimulator();
    QVERIFY2(connectedTo(m_simPort), qPrintable(viewText(QStringLiteral("servers"))));
    const int before =
        eval(QStringLiteral("document.querySelectorAll('#view-console .reply').length")).toInt();
    eval(QStringLiteral("VX.show('console'); var inp = document.querySelector('#view-console "
                        ".console-input'); inp.value = 'echo hello from the page';"
                        "var e = document.createEvent('Event'); e.initEvent('keydown', true, true); "
                        "e.keyCode = 13; inp.dispatchEvent(e);"));
    QVERIFY(waitFor(QStringLiteral("document.querySelectorAll('#view-console .reply').length === %1 &&"
                                   " document.querySelectorAll('#view-console .reply-wait').length === 0")
                        .arg(before + 1),
                    15000));
    QCOMPARE(
        eval(QStringLiteral("document.querySelectorAll('#view-console .reply')[%1].textContent").arg(before))
            .toString(),
        QStringLiteral("hello from the page"));
    shoot(QStringLiteral("05-console"));
}

void PageOnBridgeTest::backupDownloadsTheDatabaseAndChecksItsMd5() {
    requireSimulator();
    QVERIFY2(connectedTo(m_simPort), qPrintable(viewText(QStringLiteral("servers"))));
    const QString path = m_dir.filePath(QStringLiteral("backup.db"));
    QVERIFY2(downloaded(path), qPrintable(viewText(QStringLiteral("backup"))));
    QVERIFY(viewText(QStringLiteral("backup")).contains(QStringLiteral(" %)")));
    eval(QStringLiteral("VX.testing.backup.askServerMd5()"));
    QVERIFY2(waitFor(QStringLiteral("document.getElementById('view-backup').textContent.indexOf('is the same "
                                    "as the server') >= 0"),
                     15000),
             qPrintable(viewText(QStringLiteral("backup"))));
}

void PageOnBridgeTest::restoringTheSameDatabaseIsNotNecessary() {
    requireSimulator();
    QVERIFY2(connectedTo(m_simPort), qPrintable(viewText(QStringLiteral("servers"))));
    const QString path = m_dir.filePath(QStringLiteral("same.db"));
    QVERIFY2(downloaded(path), qPrintable(viewText(QStringLiteral("backup"))));
    eval(QStringLiteral("VX.testing.backup.uploadFrom(%1)").arg(literal(path)));
    // The question comes once the file's MD5 is known.
    waitFor(QStringLiteral("!!document.querySelector('.dialog')"), 30000);
    const QString question =
        eval(QStringLiteral(
                 "document.querySelector('.dialog') ? document.querySelector('.dialog').textContent : ''"))
            .toString();
    QVERIFY2(question.contains(QStringLiteral("127.0.0.1:%1").arg(m_simPort)), qPrintable(question));
    eval(QStringLiteral("Array.prototype.filter.call(document.querySelectorAll('.dialog button'), function "
                        "(b) { return b.textContent === 'Upload and replace'; })[0].click()"));
    QVERIFY2(
        waitFor(
            QStringLiteral(
                "document.getElementById('view-backup').textContent.indexOf('nothing was uploaded') >= 0"),
            30000),
        qPrintable(viewText(QStringLiteral("backup"))));
    shoot(QStringLiteral("03-backup"));
}

void PageOnBridgeTest::copiesALocalFileWithItsMd5Checked() {
    requireSimulator();
    QVERIFY2(connectedTo(m_simPort), qPrintable(viewText(QStringLiteral("servers"))));
    const QString local = m_dir.filePath(QStringLiteral("payload.bin"));
    QFile file(local);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QByteArray data(300000, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = char((i * 7) & 0xff);
    file.write(data);
    file.close();
    eval(QStringLiteral("VX.show('files'); var i = document.querySelectorAll('#view-files input'); "
                        "i[1].value = %1; i[2].value = 'payload.bin';")
             .arg(literal(local)));
    click(QStringLiteral("files"), QStringLiteral("Copy to server"));
    QVERIFY2(waitFor(QStringLiteral("document.getElementById('view-files').textContent.indexOf(\"Copy "
                                    "complete: the server's copy is the same as the file.\") >= 0"),
                     30000),
             qPrintable(viewText(QStringLiteral("files"))));
    QVERIFY(viewText(QStringLiteral("files")).contains(QStringLiteral("293.0 KiB of 293.0 KiB (100 %)")));
}

void PageOnBridgeTest::installsAPluginStepByStep() {
    requireSimulator();
    QVERIFY2(connectedTo(m_simPort), qPrintable(viewText(QStringLiteral("servers"))));
    const QString archive = m_dir.filePath(QStringLiteral("plugin-demo.tar.gz"));
    QFile file(archive);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(1000, 'p'));
    file.close();
    eval(QStringLiteral("var i = document.querySelectorAll('#view-files input'); i[3].value = %1; i[4].value "
                        "= 'logic/plugins';")
             .arg(literal(archive)));
    click(QStringLiteral("files"), QStringLiteral("Install plug-in"));
    eval(QStringLiteral("Array.prototype.filter.call(document.querySelectorAll('.dialog button'), function "
                        "(b) { return b.textContent === 'Install'; })[0].click()"));
    QVERIFY2(
        waitFor(QStringLiteral(
                    "document.getElementById('view-files').textContent.indexOf('Install complete: ') >= 0"),
                30000),
        qPrintable(viewText(QStringLiteral("files"))));
    QCOMPARE(
        eval(QStringLiteral("document.querySelectorAll('#view-files .steps-track li.done').length")).toInt(),
        6);
    shoot(QStringLiteral("04-files"));
}

// The simulator's ls output for names a server may well hold: each is one row, shown as text, and
// a folder opens with a click on its name.
void PageOnBridgeTest::listingShowsOddNamesAsTextAndOpensFolders() {
    requireSimulator();
    QVERIFY2(connectedTo(m_simPort), qPrintable(viewText(QStringLiteral("servers"))));
    const QString top = m_dir.filePath(QStringLiteral("sim/files/odd"));
    QVERIFY(QDir().mkpath(top + QStringLiteral("/my plugins")));
    const QStringList names = {QStringLiteral("<img src=x onerror=\"window.__pwned=1\">.txt"),
                               QStringLiteral("-rf"), QStringLiteral("  two leading blanks"),
                               QString::fromUtf8("\xC3\xBCn\xC3\xAF.txt"), QStringLiteral("x -> y")};
    for (const QString &name : names) {
        QFile file(top + QLatin1Char('/') + name);
        QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(name));
        file.write("abc");
    }
    QFile inner(top + QStringLiteral("/my plugins/inner.bin"));
    QVERIFY(inner.open(QIODevice::WriteOnly));
    inner.close();
    eval(QStringLiteral("VX.show('files'); document.querySelector('#view-files input').value = 'odd';"));
    click(QStringLiteral("files"), QStringLiteral("List"));
    const QString names0 = QStringLiteral(
        "Array.prototype.map.call(document.querySelectorAll('#view-files .table-listing tbody tr'),"
        " function (r) { return r.cells[0].textContent + '|' + r.cells[1].textContent + '|' + "
        "r.cells[3].textContent; })");
    QVERIFY2(waitFor(QStringLiteral("document.getElementById('view-files').textContent.indexOf('Listing of "
                                    "odd: 1 folder, 5 files.') >= 0"),
                     15000),
             qPrintable(viewText(QStringLiteral("files"))));
    QStringList expected{QStringLiteral("my plugins/||folder")};
    QStringList files = names;
    std::sort(files.begin(), files.end());
    for (const QString &name : files)
        expected << name + QStringLiteral("|3 B|file");
    QCOMPARE(eval(names0 + QStringLiteral(".join('\\n')")).toString(), expected.join(QLatin1Char('\n')));
    QVERIFY(!eval(QStringLiteral("window.__pwned")).toBool());
    QCOMPARE(eval(QStringLiteral("document.querySelectorAll('#view-files img').length")).toInt(), 0);
    shoot(QStringLiteral("04a-files-listing"));
    eval(QStringLiteral("document.querySelector('#view-files .table-listing tbody a').click()"));
    QVERIFY2(waitFor(QStringLiteral("document.querySelector('#view-files .crumbs').textContent === 'server "
                                    "folder/odd/my plugins'"),
                     15000),
             qPrintable(viewText(QStringLiteral("files"))));
    QVERIFY(waitFor(names0 + QStringLiteral(".join() === 'inner.bin|0 B|file'"), 5000));
}

void PageOnBridgeTest::busCommandAnswerReachesTheMonitor() {
    requireSimulator();
    QVERIFY2(connectedTo(m_simPort), qPrintable(viewText(QStringLiteral("servers"))));
    eval(QStringLiteral(
        "VX.show('bus'); document.querySelector('#view-bus input').value = 'light \"kitchen\" on';"));
    click(QStringLiteral("bus"), QStringLiteral("Send"));
    QVERIFY2(
        waitFor(
            QStringLiteral(
                "document.getElementById('view-bus').textContent.indexOf('ok: light \"kitchen\" on') >= 0"),
            15000),
        qPrintable(viewText(QStringLiteral("bus")).left(2000)));
    shoot(QStringLiteral("06-bus"));
}

// The Journal view on the real journal: the backup just made is there with its outcome, the kind
// filter narrows the list, and both exports write the filtered records. Text a server or a command
// line holds is shown as text.
void PageOnBridgeTest::journalListsTheChangesAndExportsThem() {
    requireSimulator();
    QVERIFY2(connectedTo(m_simPort), qPrintable(viewText(QStringLiteral("servers"))));
    const QString path = m_dir.filePath(QStringLiteral("journal-backup.db"));
    QVERIFY2(downloaded(path), qPrintable(viewText(QStringLiteral("backup"))));
    eval(QStringLiteral(
        "window.__consoleAnswer = null;"
        "vyxDesk.VYXConsole('echo <img src=x onerror=window.__pwned=1>', "
        "VX.desk.callback('journalTestConsole', function (a) { window.__consoleAnswer = a; }))"));
    QVERIFY(waitFor(QStringLiteral("window.__consoleAnswer !== null"), 15000));

    eval(QStringLiteral("VX.show('journal')"));
    const QString rows = QStringLiteral("document.querySelectorAll('#view-journal tbody tr')");
    QVERIFY2(waitFor(rows + QStringLiteral(".length >= 2"), 10000),
             qPrintable(viewText(QStringLiteral("journal"))));
    // Newest first: the console command, then the backup, both answered.
    QCOMPARE(eval(rows + QStringLiteral("[0].cells[3].textContent")).toString(),
             QStringLiteral("Command line"));
    QCOMPARE(eval(rows + QStringLiteral("[0].cells[5].textContent")).toString(), QStringLiteral("succeeded"));
    QVERIFY(eval(rows + QStringLiteral("[0].cells[4].textContent"))
                .toString()
                .contains(QStringLiteral("<img src=x")));
    QVERIFY(!eval(QStringLiteral("!!document.querySelector('#view-journal img') || window.__pwned === 1"))
                 .toBool());
    QCOMPARE(eval(rows + QStringLiteral("[1].cells[3].textContent")).toString(), QStringLiteral("Backup"));
    QCOMPARE(eval(rows + QStringLiteral("[1].cells[5].textContent")).toString(), QStringLiteral("succeeded"));
    QVERIFY(eval(rows + QStringLiteral("[1].cells[4].textContent")).toString().contains(path));
    QCOMPARE(eval(rows + QStringLiteral("[1].cells[1].textContent")).toString(),
             QStringLiteral("127.0.0.1:%1").arg(m_simPort));
    shoot(QStringLiteral("journal"));

    eval(QStringLiteral("var f = document.querySelectorAll('#view-journal select')[1]; f.value = 'backup';"
                        "f.dispatchEvent(new Event('change'));"));
    QVERIFY(waitFor(
        QStringLiteral(
            "Array.prototype.every.call(%1, function (r) { return r.cells[3].textContent === 'Backup'; })")
            .arg(rows),
        5000));
    const int backups = eval(rows + QStringLiteral(".length")).toInt();
    const QString csvPath = m_dir.filePath(QStringLiteral("journal.csv"));
    const QString jsonPath = m_dir.filePath(QStringLiteral("journal.json"));
    eval(QStringLiteral("VX.testing.journal.exportTo('csv', %1)").arg(literal(csvPath)));
    eval(QStringLiteral("VX.testing.journal.exportTo('json', %1)").arg(literal(jsonPath)));
    QVERIFY2(viewText(QStringLiteral("journal")).contains(QStringLiteral("exported to ") + jsonPath),
             qPrintable(viewText(QStringLiteral("journal"))));
    QFile csv(csvPath);
    QVERIFY(csv.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = csv.readAll().split('\n');
    QCOMPARE(lines.first(),
             QByteArray("id,time,site,address,user,program,kind,arguments,outcome,result,completed\r"));
    QCOMPARE(lines.size() - 2, backups); // header, and the empty piece after the last line break
    QVERIFY(lines.at(1).contains(path.toUtf8()) && lines.at(1).contains("\"backup\"") &&
            lines.at(1).contains("\"succeeded\""));
    QFile json(jsonPath);
    QVERIFY(json.open(QIODevice::ReadOnly));
    const QJsonArray records = QJsonDocument::fromJson(json.readAll()).array();
    QCOMPARE(records.size(), backups);
    QCOMPARE(records.first()
                 .toObject()
                 .value(QStringLiteral("arguments"))
                 .toObject()
                 .value(QStringLiteral("file"))
                 .toString(),
             path);
}

void PageOnBridgeTest::disconnectEndsTheSession() {
    requireSimulator();
    QVERIFY2(connectedTo(m_simPort), qPrintable(viewText(QStringLiteral("servers"))));
    eval(QStringLiteral("document.getElementById('topbar-disconnect').click()"));
    QCOMPARE(eval(QStringLiteral("VX.session.state")).toString(), QStringLiteral("offline"));
    QVERIFY(waitFor(QStringLiteral("vyxDesk.VYXIsConnected() === 'false'"), 10000));
}

// A server that loses its first file-delete answer, while the page deletes two files, asks for the
// database MD5 and uploads a database: every view shows its own answer, or says which one never
// came; the MD5 panel never shows anything but an MD5.
void PageOnBridgeTest::eachViewShowsOnlyItsOwnAnswer() {
    requireSimulator();
    const QString root = m_dir.filePath(QStringLiteral("faulty"));
    QVERIFY(faultySimulator() != 0);
    for (const char *name : {"a.txt", "b.txt"}) {
        QFile file(root + QStringLiteral("/files/") + QLatin1String(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QVERIFY2(connectedTo(m_faultyPort), qPrintable(viewText(QStringLiteral("servers"))));
    // The database to upload later: the server's own, changed.
    const QString upload = m_dir.filePath(QStringLiteral("changed.db"));
    QVERIFY2(downloaded(upload), qPrintable(viewText(QStringLiteral("backup"))));

    // Watch the MD5 panel for the whole case.
    eval(QStringLiteral("window.__notMd5 = []; window.__md5Watch = setInterval(function () {"
                        " var t = document.querySelector('#view-backup .props dd').textContent;"
                        " if (t !== '—' && !/^[0-9a-f]{32}$/.test(t)) __notMd5.push(t); }, 10);"
                        "VX.testing.timeouts.fileDelete = 3000;"));
    const QString confirm =
        QStringLiteral("Array.prototype.filter.call(document.querySelectorAll('.dialog button'), function "
                       "(b) { return b.textContent === %1; })[0].click()");
    eval(QStringLiteral("VX.show('files')"));
    for (const char *name : {"a.txt", "b.txt"}) {
        eval(QStringLiteral("document.querySelector('#view-files input').value = '%1'")
                 .arg(QLatin1String(name)));
        click(QStringLiteral("files"), QStringLiteral("Delete file…"));
        eval(confirm.arg(literal(QStringLiteral("Delete"))));
    }
    QVERIFY2(waitFor(QStringLiteral("document.getElementById('view-files').textContent.indexOf('Delete file "
                                    "b.txt: File deleted') >= 0"),
                     15000),
             qPrintable(viewText(QStringLiteral("files"))));
    // The MD5 while the deletion of a.txt still waits for its answer, then an upload (whose own
    // file delete the lost answer must not be mistaken for).
    eval(QStringLiteral("VX.show('backup'); VX.testing.backup.askServerMd5()"));
    QVERIFY2(
        waitFor(QStringLiteral(
                    "document.getElementById('view-backup').textContent.indexOf('Server answered.') >= 0"),
                15000),
        qPrintable(viewText(QStringLiteral("backup"))));
    QFile changed(upload);
    QVERIFY(changed.open(QIODevice::Append));
    changed.write(QByteArray(1000, 'x'));
    changed.close();
    eval(QStringLiteral("VX.testing.backup.uploadFrom(%1)").arg(literal(upload)));
    confirmDialog(QStringLiteral("Upload and replace"));

    QVERIFY2(
        waitFor(QStringLiteral(
                    "document.getElementById('view-backup').textContent.indexOf('Upload complete') >= 0"),
                30000),
        qPrintable(viewText(QStringLiteral("backup")) + QStringLiteral(" / ") +
                   viewText(QStringLiteral("files"))));
    eval(QStringLiteral("VX.testing.backup.askServerMd5()"));
    QVERIFY2(waitFor(QStringLiteral("document.getElementById('view-backup').textContent.indexOf('is the same "
                                    "as the server') >= 0"),
                     15000),
             qPrintable(viewText(QStringLiteral("backup"))));
    QVERIFY2(waitFor(QStringLiteral("document.getElementById('view-files').textContent.indexOf('No answer "
                                    "from the server to the deletion of a.txt within 3 s.') >= 0"),
                     15000),
             qPrintable(viewText(QStringLiteral("files"))));
    const QString files = viewText(QStringLiteral("files"));
    QVERIFY2(files.contains(QStringLiteral("Delete file b.txt: File deleted")), qPrintable(files));
    QVERIFY2(!files.contains(QStringLiteral("Delete file a.txt: File deleted")), qPrintable(files));
    eval(QStringLiteral("clearInterval(window.__md5Watch)"));
    QCOMPARE(eval(QStringLiteral("__notMd5.join(' | ')")).toString(), QString());
    shoot(QStringLiteral("07-backup-after-a-lost-answer"));
    eval(QStringLiteral("VX.show('files')"));
    shoot(QStringLiteral("08-files-after-a-lost-answer"));
}

// The same server writes no file past 200000 bytes: the copy stops at the short block, in red,
// saying what the server did.
void PageOnBridgeTest::refusedCopyTurnsTheBarRedWithTheServersReason() {
    requireSimulator();
    QVERIFY(faultySimulator() != 0);
    QVERIFY2(connectedTo(m_faultyPort), qPrintable(viewText(QStringLiteral("servers"))));
    const QString local = m_dir.filePath(QStringLiteral("big.bin"));
    QFile file(local);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(300000, 'b'));
    file.close();
    eval(QStringLiteral("VX.show('files'); var i = document.querySelectorAll('#view-files input'); "
                        "i[1].value = %1; i[2].value = 'big.bin';")
             .arg(literal(local)));
    click(QStringLiteral("files"), QStringLiteral("Copy to server"));
    QVERIFY2(
        waitFor(QStringLiteral("document.getElementById('view-files').textContent.indexOf('Copy stopped: the "
                               "server wrote 68928 of 131072 bytes at offset 131072.') >= 0"),
                30000),
        qPrintable(viewText(QStringLiteral("files"))));
    QVERIFY(eval(QStringLiteral("document.querySelectorAll('#view-files .progress')[0].className"))
                .toString()
                .contains(QStringLiteral("progress-error")));
    QVERIFY(!viewText(QStringLiteral("files")).contains(QStringLiteral("Copy complete")));
    shoot(QStringLiteral("09-files-copy-refused"));
}

// The server dies (SIGKILL) under a connected workbench: the page says so at once and keeps saying
// so; what is asked meanwhile fails with its reason; the server comes back on the same port: the
// page is connected again and has filled its parameter table again by itself.
void PageOnBridgeTest::lostConnectionShowsUntilTheServerIsBack() {
    requireSimulator();
    const QString root = m_dir.filePath(QStringLiteral("restarted"));
    const int loadsBefore = eval(QStringLiteral("VX.testing.parameters.completedLoads")).toInt();
    // This first run never answers the database MD5 and never ends a download: both stay busy.
    const int port = startSimulator(m_restarted, root,
                                    {QStringLiteral("--stall-download"), QStringLiteral("0"),
                                     QStringLiteral("--drop-answer"), QStringLiteral("1010007")});
    QVERIFY(port != 0);
    connectTo(port);
    QVERIFY2(waitFor(QStringLiteral("VX.session.state === 'connected'"), 20000),
             qPrintable(viewText(QStringLiteral("servers"))));
    eval(QStringLiteral("VX.show('parameters')"));
    // Every value asked for has come (a load completed after this connect), not only the first.
    const auto loadedAfter = [](int loads) {
        return QStringLiteral("VX.testing.parameters.completedLoads > %1").arg(loads);
    };
    QVERIFY2(waitFor(loadedAfter(loadsBefore), 30000), qPrintable(viewText(QStringLiteral("parameters"))));
    const QString idsBefore =
        eval(QStringLiteral("Array.from(VX.testing.parameters.model.keys()).sort().join(',')")).toString();
    const int timelineBefore =
        eval(QStringLiteral("document.querySelectorAll('#view-servers .timeline li').length")).toInt();
    eval(QStringLiteral("VX.show('bus'); if (!document.getElementById('raw-bus').checked) "
                        "document.getElementById('raw-bus').click();"));
    QVERIFY(viewText(QStringLiteral("bus")).contains(QStringLiteral("Raw bus messages switched on.")));
    eval(QStringLiteral("VX.show('backup')"));
    click(QStringLiteral("backup"), QStringLiteral("Ask the server"));
    eval(QStringLiteral("VX.testing.backup.downloadTo(%1)")
             .arg(literal(m_dir.filePath(QStringLiteral("never.db")))));
    const QString downloadButton =
        QStringLiteral("Array.prototype.filter.call(document.querySelectorAll('#view-backup button'),"
                       " function (b) { return b.textContent === 'Download backup…'; })[0].disabled");
    QVERIFY(waitFor(
        QStringLiteral(
            "document.querySelector('#view-backup .status-line').className.indexOf('status-busy') >= 0"),
        10000));
    QTest::qWait(300);
    QCOMPARE(eval(downloadButton).toBool(), true);
    QCOMPARE(eval(QStringLiteral("VX.testing.waiting()")).toInt(), 1);

    m_restarted.kill();
    m_restarted.waitForFinished(5000);
    QElapsedTimer sinceKill;
    sinceKill.start();
    const QString badge = QStringLiteral("document.getElementById('connection-text').textContent");
    // Within a heartbeat period (5 s) and one second.
    QVERIFY2(waitFor(badge + QStringLiteral(".indexOf('Connection lost') === 0"), 6000),
             qPrintable(eval(badge).toString()));
    QVERIFY(sinceKill.elapsed() < 6000);
    // A closed channel is never a log-in.
    QCOMPARE(
        eval(QStringLiteral(
                 "Array.prototype.slice.call(document.querySelectorAll('#view-servers .timeline li'), %1)"
                 ".filter(function (li) { return li.textContent.indexOf('Logged in') >= 0; }).length")
                 .arg(timelineBefore))
            .toInt(),
        0);
    // It stays so: the page's own check of the connection does not turn it back.
    QElapsedTimer watch;
    watch.start();
    while (watch.elapsed() < 3000) {
        QVERIFY2(eval(badge).toString().startsWith(QStringLiteral("Connection lost")),
                 qPrintable(eval(badge).toString()));
        QCOMPARE(eval(QStringLiteral("vyxDesk.VYXIsConnected()")).toString(), QStringLiteral("false"));
        QTest::qWait(100);
    }
    // Nothing stays busy, and nothing waits any more.
    QCOMPARE(eval(QStringLiteral("VX.testing.waiting()")).toInt(), 0);
    QVERIFY2(waitFor(QStringLiteral("!(%1)").arg(downloadButton), 5000),
             qPrintable(viewText(QStringLiteral("backup"))));
    QVERIFY(eval(QStringLiteral("document.querySelector('#view-backup .progress').className"))
                .toString()
                .contains(QStringLiteral("progress-error")));
    const QString md5Status =
        eval(QStringLiteral("document.querySelector('#view-backup .col-narrow .status-line').textContent"))
            .toString();
    QVERIFY2(md5Status.startsWith(QStringLiteral("Interrupted: the database MD5 query got no answer")) ||
                 md5Status.startsWith(QStringLiteral("Connection lost: ")),
             qPrintable(md5Status));
    QCOMPARE(eval(QLatin1String(kServerMd5Field)).toString(), QStringLiteral("—"));
    shoot(QStringLiteral("10-backup-server-killed"));
    // A command during the outage gets its error.
    eval(QStringLiteral("VX.show('console'); var inp = document.querySelector('#view-console "
                        ".console-input'); inp.value = 'echo during the outage';"
                        "var e = document.createEvent('Event'); e.initEvent('keydown', true, true); "
                        "e.keyCode = 13; inp.dispatchEvent(e);"));
    QVERIFY(waitFor(
        QStringLiteral("Array.prototype.some.call(document.querySelectorAll('#view-console .reply-error'),"
                       " function (r) { return r.textContent.indexOf('Not connected') === 0; })"),
        5000));
    eval(QStringLiteral("VX.show('servers')"));
    shoot(QStringLiteral("10-servers-connection-lost"));

    // Back on the same port: connected again, and the parameters come again without a click.
    eval(QStringLiteral("window.__reloaded = false; VX.bus.on('connected', function () { window.__reloaded = "
                        "true; }); VX.show('parameters');"));
    const int loadsBeforeRestart = eval(QStringLiteral("VX.testing.parameters.completedLoads")).toInt();
    const int samePort = startSimulator(m_restarted, root, {QStringLiteral("--port"), QString::number(port)});
    QCOMPARE(samePort, port);
    QVERIFY2(waitFor(QStringLiteral("VX.session.state === 'connected' && window.__reloaded"), 60000),
             qPrintable(eval(badge).toString()));
    QVERIFY2(waitFor(loadedAfter(loadsBeforeRestart) +
                         QStringLiteral(
                             " && document.querySelectorAll('#view-parameters tbody tr[data-id]').length "
                             "=== VX.testing.parameters.model.size"),
                     30000),
             qPrintable(viewText(QStringLiteral("parameters"))));
    const QString idsAfter =
        eval(QStringLiteral("Array.from(VX.testing.parameters.model.keys()).sort().join(',')")).toString();
    QVERIFY2(idsAfter == idsBefore,
             qPrintable(idsBefore.right(120) + QStringLiteral(" / ") + idsAfter.right(120)));
    // The raw bus switch is set on the new session again; the MD5 asked now gets its own answer.
    QVERIFY(viewText(QStringLiteral("bus"))
                .contains(QStringLiteral("Raw bus messages switched on again for the new session.")));
    eval(QStringLiteral("VX.show('backup')"));
    click(QStringLiteral("backup"), QStringLiteral("Ask the server"));
    QVERIFY2(
        waitFor(QStringLiteral(
                    "document.getElementById('view-backup').textContent.indexOf('Server answered.') >= 0"),
                15000),
        qPrintable(viewText(QStringLiteral("backup"))));
    QCOMPARE(eval(QLatin1String(kServerMd5Field)).toString(),
             QString::fromLatin1(QCryptographicHash::hash(fileBytes(root + QStringLiteral("/config/vyx.db")),
                                                          QCryptographicHash::Md5)
                                     .toHex()));
    eval(QStringLiteral("VX.show('parameters')"));
    shoot(QStringLiteral("11-parameters-after-the-server-came-back"));
}

// A download whose answers stop ends, after the (shortened) transfer time-out, with a red bar
// that says why; one abandoned by a disconnect ends red with its reason too.
void PageOnBridgeTest::stalledOrAbandonedTransferEndsRedWithItsReason() {
    requireSimulator();
    const int port = startSimulator(m_stalling, m_dir.filePath(QStringLiteral("stalling")),
                                    {QStringLiteral("--stall-download"), QStringLiteral("20000")});
    QVERIFY(port != 0);
    connectTo(port);
    QVERIFY2(waitFor(QStringLiteral("VX.session.state === 'connected'"), 20000),
             qPrintable(viewText(QStringLiteral("servers"))));
    m_js->serverConnector().Client().SetTransferTimeOut(1500);
    const QString bar = QStringLiteral("document.querySelector('#view-backup .progress')");

    eval(QStringLiteral("VX.show('backup'); VX.testing.backup.downloadTo(%1)")
             .arg(literal(m_dir.filePath(QStringLiteral("stalled.db")))));
    QVERIFY2(waitFor(bar + QStringLiteral(".className.indexOf('progress-error') >= 0"), 15000),
             qPrintable(viewText(QStringLiteral("backup"))));
    QVERIFY2(viewText(QStringLiteral("backup"))
                 .contains(QStringLiteral("Download failed: ended: no answer from the server for 1.5 s.")),
             qPrintable(viewText(QStringLiteral("backup"))));
    shoot(QStringLiteral("12-backup-stalled"));

    // The connection is rebuilt after the stall; a second download is then abandoned by the user.
    QVERIFY2(waitFor(QStringLiteral("VX.session.state === 'connected'"), 30000),
             qPrintable(eval(QStringLiteral("VX.session.detail")).toString()));
    m_js->serverConnector().Client().SetTransferTimeOut(60000);
    // Cancel ends a download that makes no progress; the session stays.
    eval(QStringLiteral("VX.testing.backup.downloadTo(%1)")
             .arg(literal(m_dir.filePath(QStringLiteral("cancelled.db")))));
    QVERIFY(waitFor(
        QStringLiteral("document.getElementById('view-backup').textContent.indexOf('Receiving') >= 0"),
        10000));
    click(QStringLiteral("backup"), QStringLiteral("Cancel"));
    QVERIFY2(waitFor(QStringLiteral("document.getElementById('view-backup').textContent.indexOf('Download "
                                    "cancelled: no file was written.') >= 0"),
                     10000),
             qPrintable(viewText(QStringLiteral("backup"))));
    QVERIFY(eval(bar + QStringLiteral(".className")).toString().contains(QStringLiteral("progress-error")));
    QCOMPARE(eval(QStringLiteral("VX.session.state")).toString(), QStringLiteral("connected"));
    QVERIFY(!QFileInfo::exists(m_dir.filePath(QStringLiteral("cancelled.db"))));
    QVERIFY(
        eval(QStringLiteral("Array.prototype.filter.call(document.querySelectorAll('#view-backup button'),"
                            " function (b) { return b.textContent === 'Cancel'; })[0].hidden"))
            .toBool());
    shoot(QStringLiteral("13-backup-cancelled"));

    eval(QStringLiteral("VX.testing.backup.downloadTo(%1)")
             .arg(literal(m_dir.filePath(QStringLiteral("abandoned.db")))));
    QVERIFY(waitFor(
        QStringLiteral("document.getElementById('view-backup').textContent.indexOf('Downloading') >= 0"),
        10000));
    QTest::qWait(300);
    eval(QStringLiteral("document.getElementById('topbar-disconnect').click()"));
    QVERIFY2(waitFor(QStringLiteral("document.getElementById('view-backup').textContent.indexOf('Interrupted:"
                                    " the download did not end, the session was disconnected.') >= 0"),
                     15000),
             qPrintable(viewText(QStringLiteral("backup"))));
    QVERIFY(eval(bar + QStringLiteral(".className")).toString().contains(QStringLiteral("progress-error")));
    QVERIFY(!QFileInfo::exists(m_dir.filePath(QStringLiteral("abandoned.db"))));
    // Nothing claims to have read the file that was never written.
    QCOMPARE(
        eval(QStringLiteral("document.getElementById('notices').textContent.indexOf('could not be read')"))
            .toInt(),
        -1);
    shoot(QStringLiteral("13-backup-abandoned-by-disconnect"));
}

// Connecting to another server ends the session first and says so, with Connect disabled while
// connecting. Asking the server for its MD5 empties the field first (the download had put its own
// MD5 there); it then holds only the server's answer: the MD5 of the server's database file.
void PageOnBridgeTest::askingTheServerMd5ShowsOnlyItsAnswer() {
    requireSimulator();
    const int first = connectToOwnSimulator(QStringLiteral("md5-first"), {});
    QVERIFY(first != 0);
    m_ownSims.emplace_back(new QProcess);
    const int port = startSimulator(*m_ownSims.back(), simRoot(QStringLiteral("md5")), {});
    QVERIFY(port != 0);
    connectTo(port);
    QVERIFY(
        eval(QStringLiteral("Array.prototype.filter.call(document.querySelectorAll('#view-servers button'),"
                            " function (b) { return b.textContent === 'Connect'; })[0].disabled"))
            .toBool());
    QVERIFY2(waitFor(QStringLiteral("VX.session.state === 'connected' && VX.session.port === '%1'").arg(port),
                     20000),
             qPrintable(viewText(QStringLiteral("servers"))));
    const QString timeline =
        eval(QStringLiteral("document.querySelector('#view-servers .timeline').textContent")).toString();
    QVERIFY2(
        timeline.contains(
            QStringLiteral("Disconnectedfrom 127.0.0.1:%1, to connect to 127.0.0.1:%2").arg(first).arg(port)),
        qPrintable(timeline));

    eval(QStringLiteral("VX.show('backup'); VX.testing.backup.downloadTo(%1)")
             .arg(literal(m_dir.filePath(QStringLiteral("md5-backup.db")))));
    QVERIFY2(
        waitFor(QStringLiteral(
                    "document.getElementById('view-backup').textContent.indexOf('Download complete') >= 0"),
                30000),
        qPrintable(viewText(QStringLiteral("backup"))));
    QVERIFY(
        QRegExp(QStringLiteral("[0-9a-f]{32}")).exactMatch(eval(QLatin1String(kServerMd5Field)).toString()));
    click(QStringLiteral("backup"), QStringLiteral("Ask the server"));
    QCOMPARE(eval(QLatin1String(kServerMd5Field)).toString(), QStringLiteral("—"));
    QVERIFY2(
        waitFor(QStringLiteral(
                    "document.getElementById('view-backup').textContent.indexOf('Server answered.') >= 0"),
                15000),
        qPrintable(viewText(QStringLiteral("backup"))));
    const QString shown = eval(QLatin1String(kServerMd5Field)).toString();
    QVERIFY2(QRegExp(QStringLiteral("[0-9a-f]{32}")).exactMatch(shown), qPrintable(shown));
    const QByteArray database = fileBytes(simRoot(QStringLiteral("md5")) + QStringLiteral("/config/vyx.db"));
    QVERIFY(!database.isEmpty());
    QCOMPARE(shown, QString::fromLatin1(QCryptographicHash::hash(database, QCryptographicHash::Md5).toHex()));
    shoot(QStringLiteral("14-backup-server-md5"));
}

// A server that never answers one request: the request ends with a time-out that names it, in red,
// and nothing waits any more.
void PageOnBridgeTest::requestWithoutAnswerEndsInATimeOut_data() {
    QTest::addColumn<QString>("droppedCode");
    QTest::addColumn<QString>("view");
    QTest::addColumn<QString>("expected");
    QTest::newRow("database MD5") << QStringLiteral("1010007") << QStringLiteral("backup")
                                  << QStringLiteral(
                                         "No answer from the server to the database MD5 query within 2 s.");
    QTest::newRow("file delete") << QStringLiteral("1010012") << QStringLiteral("files")
                                 << QStringLiteral("Delete file gone.txt failed: No answer from the server "
                                                   "to the deletion of gone.txt within 2 s.");
}

void PageOnBridgeTest::requestWithoutAnswerEndsInATimeOut() {
    requireSimulator();
    QFETCH(QString, droppedCode);
    QFETCH(QString, view);
    QFETCH(QString, expected);
    const QString name = QStringLiteral("drop-") + droppedCode;
    QDir().mkpath(simRoot(name) + QStringLiteral("/files"));
    QVERIFY(writeBytes(simRoot(name) + QStringLiteral("/files/gone.txt"), "x"));
    QVERIFY(connectToOwnSimulator(name, {QStringLiteral("--drop-answer"), droppedCode}) != 0);
    eval(QStringLiteral("VX.testing.timeouts.databaseMd5 = 2000; VX.testing.timeouts.fileDelete = 2000;"));
    if (view == QLatin1String("backup")) {
        eval(QStringLiteral("VX.show('backup')"));
        click(QStringLiteral("backup"), QStringLiteral("Ask the server"));
    } else {
        eval(QStringLiteral(
            "VX.show('files'); document.querySelector('#view-files input').value = 'gone.txt';"));
        click(QStringLiteral("files"), QStringLiteral("Delete file…"));
        confirmDialog(QStringLiteral("Delete"));
    }
    QCOMPARE(eval(QStringLiteral("VX.testing.waiting()")).toInt(), 1);
    const QString errorLine =
        QStringLiteral("Array.prototype.some.call(document.querySelectorAll('#view-%1 .status-error'),"
                       " function (s) { return s.textContent === %2; })")
            .arg(view, literal(expected));
    QVERIFY2(waitFor(errorLine, 10000), qPrintable(viewText(view)));
    QCOMPARE(eval(QStringLiteral("VX.testing.waiting()")).toInt(), 0);
    eval(QStringLiteral("VX.testing.timeouts.databaseMd5 = 30000; VX.testing.timeouts.fileDelete = 30000;"));
    shoot(QStringLiteral("15-timeout-") + view);
}

// Every answer comes a second late. The first command gives up before its reply comes; that late
// reply reaches no other command: the second command shows its own reply.
void PageOnBridgeTest::lateConsoleReplyReachesNoOtherCommand() {
    requireSimulator();
    QVERIFY(connectToOwnSimulator(QStringLiteral("slow"),
                                  {QStringLiteral("--slow"), QStringLiteral("1000")}) != 0);
    eval(QStringLiteral("VX.clear(document.querySelector('#view-console .console-output')); "
                        "VX.testing.timeouts.command = 400;"));
    pressEnterInConsole(QStringLiteral("echo first"));
    const QString replies = QStringLiteral("Array.prototype.map.call(document.querySelectorAll('#view-"
                                           "console .reply'), function (r) { return r.textContent; })");
    QVERIFY2(
        waitFor(replies +
                    QStringLiteral(
                        "[0] === 'No answer from the server to the command \"echo first\" within 400 ms.'"),
                5000),
        qPrintable(eval(replies + QStringLiteral(".join(' | ')")).toString()));
    eval(QStringLiteral("VX.testing.timeouts.command = 60000;"));
    pressEnterInConsole(QStringLiteral("echo second"));
    QVERIFY2(waitFor(replies + QStringLiteral("[1] === 'second'"), 10000),
             qPrintable(eval(replies + QStringLiteral(".join(' | ')")).toString()));
    QTest::qWait(500);
    QCOMPARE(
        eval(replies + QStringLiteral(".join(' | ')")).toString(),
        QStringLiteral("No answer from the server to the command \"echo first\" within 400 ms. | second"));
    QCOMPARE(eval(QStringLiteral("document.querySelectorAll('#view-console .reply-error').length")).toInt(),
             1);
    shoot(QStringLiteral("16-console-late-reply"));
}

// The server never answers the first command line: that command waits (and can be cancelled),
// while Files → List, a command line too, gets its answer at once.
void PageOnBridgeTest::waitingConsoleCommandDoesNotHoldUpTheListing() {
    requireSimulator();
    const QString name = QStringLiteral("no-reply");
    QDir().mkpath(simRoot(name) + QStringLiteral("/files"));
    QVERIFY(writeBytes(simRoot(name) + QStringLiteral("/files/visible-in-the-listing.txt"), "x"));
    QVERIFY(connectToOwnSimulator(name, {QStringLiteral("--drop-answer"), QStringLiteral("1010024")}) != 0);
    eval(QStringLiteral("VX.clear(document.querySelector('#view-console .console-output'))"));
    pressEnterInConsole(QStringLiteral("echo never answered"));
    QCOMPARE(eval(QStringLiteral("document.querySelectorAll('#view-console .reply-wait').length")).toInt(),
             1);
    eval(QStringLiteral("VX.show('files'); document.querySelector('#view-files input').value = '.';"));
    click(QStringLiteral("files"), QStringLiteral("List"));
    QVERIFY2(waitFor(QStringLiteral("document.getElementById('view-files').textContent.indexOf('visible-in-"
                                    "the-listing.txt') >= 0"),
                     10000),
             qPrintable(viewText(QStringLiteral("files"))));
    shoot(QStringLiteral("17-files-listed-while-a-command-waits"));
    eval(QStringLiteral("VX.show('console')"));
    QCOMPARE(eval(QStringLiteral("document.querySelectorAll('#view-console .reply-wait').length")).toInt(),
             1);
    click(QStringLiteral("console"), QStringLiteral("Cancel"));
    QCOMPARE(eval(QStringLiteral("document.querySelector('#view-console .reply').textContent")).toString(),
             QStringLiteral("Cancelled: the reply to this command will not be shown."));
    QCOMPARE(eval(QStringLiteral("VX.testing.waiting()")).toInt(), 0);
    shoot(QStringLiteral("18-console-cancelled"));
}

// The server refuses a delete: the page says so in red, with the server's reason; a folder the
// server created is shown as created, and is there.
void PageOnBridgeTest::refusedDeleteIsShownRedWithTheServersReason() {
    requireSimulator();
    const QString name = QStringLiteral("refuse");
    QVERIFY(connectToOwnSimulator(name, {}) != 0);
    eval(QStringLiteral(
        "VX.show('files'); document.querySelector('#view-files input').value = 'missing.txt';"));
    click(QStringLiteral("files"), QStringLiteral("Delete file…"));
    confirmDialog(QStringLiteral("Delete"));
    const QString status = QStringLiteral("document.querySelector('#view-files .status-line')");
    QVERIFY2(waitFor(status + QStringLiteral(".className.indexOf('status-error') >= 0"), 10000),
             qPrintable(viewText(QStringLiteral("files"))));
    QVERIFY2(eval(status + QStringLiteral(".textContent"))
                 .toString()
                 .startsWith(QStringLiteral(
                     "Delete file missing.txt failed: Can not delete file missing.txt: No such file")),
             qPrintable(eval(status + QStringLiteral(".textContent")).toString()));
    QVERIFY(eval(QStringLiteral("document.querySelector('#view-files .log-list li').className"))
                .toString()
                .contains(QStringLiteral("log-error")));
    shoot(QStringLiteral("19-files-delete-refused"));

    eval(QStringLiteral("document.querySelector('#view-files input').value = 'made';"));
    click(QStringLiteral("files"), QStringLiteral("Create folder"));
    QVERIFY2(waitFor(status + QStringLiteral(".textContent === 'Create folder made: Folder created'"), 10000),
             qPrintable(eval(status + QStringLiteral(".textContent")).toString()));
    QVERIFY(eval(status + QStringLiteral(".className")).toString().contains(QStringLiteral("status-ok")));
    QVERIFY(QFileInfo(simRoot(name) + QStringLiteral("/files/made")).isDir());
}

// An upload replaces the server's database with exactly the file sent, or ends red saying why it
// did not, and the server's database is then the one it had.
void PageOnBridgeTest::uploadReplacesTheDatabaseOrSaysWhyNot_data() {
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("replaced");
    QTest::addColumn<bool>("logicStopped"); // and not running: the view offers to start it
    QTest::newRow("replaced") << QStringList() << 70000
                              << QStringLiteral("Upload complete: the server replaced its database.") << true
                              << false;
    QTest::newRow("too big") << QStringList{QStringLiteral("--db-max-size"), QStringLiteral("1000")} << 5000
                             << QStringLiteral("Upload failed: the file is larger than the server accepts.")
                             << false << false;
    QTest::newRow("damaged copy") << QStringList{QStringLiteral("--wrong-file-md5")} << 5000
                                  << QStringLiteral(
                                         "Upload failed: the server's copy differs from the file sent.")
                                  << false << true;
    QTest::newRow("nothing written") << QStringList{QStringLiteral("--file-limit"), QStringLiteral("1000")}
                                     << 70000
                                     << QStringLiteral("Upload failed: the server took the blocks but wrote "
                                                       "nothing of them.")
                                     << false << true;
}

void PageOnBridgeTest::uploadReplacesTheDatabaseOrSaysWhyNot() {
    requireSimulator();
    QFETCH(QStringList, faults);
    QFETCH(int, size);
    QFETCH(QString, expected);
    QFETCH(bool, replaced);
    QFETCH(bool, logicStopped);
    const QString name =
        QStringLiteral("upload-") +
        QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-'));
    QVERIFY(connectToOwnSimulator(name, faults) != 0);
    const QString database = simRoot(name) + QStringLiteral("/config/vyx.db");
    const QByteArray before = fileBytes(database);
    QVERIFY(!before.isEmpty());
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 13 + 5) & 0xff);
    const QString local = m_dir.filePath(name + QStringLiteral(".db"));
    QVERIFY(writeBytes(local, bytes));
    eval(QStringLiteral("VX.show('backup'); VX.testing.backup.uploadFrom(%1)").arg(literal(local)));
    confirmDialog(QStringLiteral("Upload and replace"));
    QVERIFY2(waitFor(QStringLiteral("document.getElementById('view-backup').textContent.indexOf(%1) >= 0")
                         .arg(literal(expected)),
                     30000),
             qPrintable(viewText(QStringLiteral("backup"))));
    const QString bar =
        eval(QStringLiteral("document.querySelector('#view-backup .progress').className")).toString();
    QVERIFY2(bar.contains(replaced ? QStringLiteral("progress-ok") : QStringLiteral("progress-error")),
             qPrintable(bar));
    QCOMPARE(fileBytes(database) == bytes, replaced);
    if (!replaced)
        QVERIFY(fileBytes(database) == before);
    const QString offer =
        QStringLiteral("The server's logic process was stopped for this restore and is not running now.");
    const QString button = QStringLiteral(
        "Array.prototype.filter.call(document.querySelectorAll('#view-backup button'), function (b) {"
        " return b.textContent === 'Start the logic again'; })[0]");
    QCOMPARE(viewText(QStringLiteral("backup")).contains(offer), logicStopped);
    QCOMPARE(eval(button + QStringLiteral(".hidden")).toBool(), !logicStopped);
    shoot(QStringLiteral("20-upload-") + name);
    if (!logicStopped)
        return;
    eval(button + QStringLiteral(".click()"));
    QVERIFY2(waitFor(QStringLiteral("document.getElementById('view-backup').textContent.indexOf(%1) >= 0")
                         .arg(literal(QStringLiteral("Start of the server's logic process sent; the server "
                                                     "answered: guardian: start logic: ok"))),
                     15000),
             qPrintable(viewText(QStringLiteral("backup"))));
    QVERIFY(eval(button + QStringLiteral(".hidden")).toBool());
    shoot(QStringLiteral("21-logic-started-") + name);
}

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStringList args = app.arguments();
    if (args.removeAll(QString::fromLatin1(OwnNetworkNamespace::childFlag())) > 0) {
        PageOnBridgeTest test;
        return QTest::qExec(&test, args);
    }
    // The launcher's QtTest run takes no arguments: they are for the cases inside the namespace
    // (`test_page_bridge disconnectEndsTheSession` runs that case alone).
    OwnNetworkNamespace::childArguments() = args.mid(1);
    Launcher launcher;
    return QTest::qExec(&launcher, QStringList{args.value(0)});
}

#include "tst_page_bridge.moc"
