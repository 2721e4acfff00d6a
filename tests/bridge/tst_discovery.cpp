// Server discovery against a responder inside a network namespace this test makes itself: the
// queries go to multicast and broadcast addresses, which must never leave the machine, so the
// real cases only run in a fresh namespace that holds nothing but loopback.
#include "ownnetworknamespace.h"
#include "pagetestsupport.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>
#include <QtTest>

#include <algorithm>

using PageTest::eval;

namespace {

const QHostAddress kGroup(QStringLiteral("226.0.0.1"));

// Plays the servers: answers the multicast query on the group and the broadcast query to the
// sender, with the datagrams given.
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

    QList<QByteArray> multicastAnswers;
    QList<QByteArray> broadcastAnswers;
    int multicastQueries = 0;
    int broadcastQueries = 0;

private:
    void serve(QUdpSocket &socket, bool multicast) {
        while (socket.hasPendingDatagrams()) {
            const QNetworkDatagram query = socket.receiveDatagram();
            if (query.data() != "vyx-wa-doko-desu-ka")
                continue; // our own answers on the group, and anything else
            if (multicast) {
                ++multicastQueries;
                for (const QByteArray &answer : multicastAnswers)
                    socket.writeDatagram(answer, kGroup, 17000);
            } else {
                ++broadcastQueries;
                for (const QByteArray &answer : broadcastAnswers)
                    socket.writeDatagram(answer, query.senderAddress(), query.senderPort());
                floodFrom(0, query.senderAddress(), query.senderPort());
            }
        }
    }

    // Many answers, a few at a time with the event loop in between: all at once would overflow the
    // receiving socket's buffer, and the same first ones would get through every time.
    void floodFrom(int first, const QHostAddress &to, quint16 port) {
        const int end = std::min(first + 16, int(floodAnswers.size()));
        for (int i = first; i < end; ++i)
            m_broadcast.writeDatagram(floodAnswers.at(i), to, port);
        if (end < floodAnswers.size())
            QTimer::singleShot(5, this, [this, end, to, port] { floodFrom(end, to, port); });
        else
            ++floodsSent;
    }

public:
    QList<QByteArray> floodAnswers;
    int floodsSent = 0;

private:
    QUdpSocket m_multicast;
    QUdpSocket m_broadcast;
};

const char kCollect[] = "window.found = []; window.pwned = 0;"
                        "window.serverFound = function (a, b) { found.push([a, b, arguments.length]); };";

} // namespace

// Runs in the machine's own namespace: only starts the real cases in a new one.
class DiscoveryLauncher : public QObject {
    Q_OBJECT

private slots:
    void runsInsideItsOwnNetworkNamespace() { VYX_RUN_IN_OWN_NETWORK_NAMESPACE(); }
};

// The real cases, inside the new namespace.
class DiscoveryTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void sameAnswerOnBothPathsIsReportedOnce();
    void distinctServersAreReportedWithTheirAddress();
    void textAfterAZeroByteIsDropped();
    void answersWithoutTheMarkerAreIgnored();
    void restartReportsServersAgain();
    void searchStopsAfterFiveSeconds();
    void answerTextCannotRunInThePage();
    void aSearchKeepsAtMost256AnswersOfAtMost1KiB();
    void simulatorAnswersTheMulticastQueryBySenderUnicast();

private:
    QWidget *m_parent = nullptr;
    JS *m_js = nullptr;
    Responder *m_responder = nullptr;
};

void DiscoveryTest::initTestCase() {
    // Refuse to send a single query from anywhere but a namespace with loopback alone.
    QVERIFY2(OwnNetworkNamespace::onlyLoopback(), "loopback must be the only interface");
}

void DiscoveryTest::init() {
    m_responder = new Responder;
    QVERIFY(m_responder->ready());
    m_parent = new QWidget;
    m_js = new JS(m_parent);
    QVERIFY(PageTest::waitForPage(*m_js));
    eval(*m_js, QString::fromLatin1(kCollect));
}

void DiscoveryTest::cleanup() {
    delete m_parent;
    delete m_responder;
    m_parent = nullptr;
    m_js = nullptr;
    m_responder = nullptr;
}

void DiscoveryTest::sameAnswerOnBothPathsIsReportedOnce() {
    m_responder->multicastAnswers = {"vyx-kore-wa-desu server-1"};
    m_responder->broadcastAnswers = {"vyx-kore-wa-desu server-1"};
    eval(*m_js, QStringLiteral("vyxDesk.discover('serverFound')"));
    QTRY_VERIFY_WITH_TIMEOUT(m_responder->multicastQueries >= 1 && m_responder->broadcastQueries >= 2, 5000);
    QTRY_COMPARE(eval(*m_js, QStringLiteral("found.length")).toInt(), 1);
    QTest::qWait(300);
    QCOMPARE(eval(*m_js, QStringLiteral("found.length")).toInt(), 1);
    QCOMPARE(eval(*m_js, QStringLiteral("found[0][0]")).toString(),
             QStringLiteral("127.0.0.1|vyx-kore-wa-desu server-1"));
    QCOMPARE(eval(*m_js, QStringLiteral("found[0][1]")).toString(),
             QStringLiteral("vyx-kore-wa-desu server-1"));
    QCOMPARE(eval(*m_js, QStringLiteral("found[0][2]")).toInt(), 2);
}

void DiscoveryTest::distinctServersAreReportedWithTheirAddress() {
    m_responder->broadcastAnswers = {"vyx-kore-wa-desu A", "vyx-kore-wa-desu B", "vyx-kore-wa-desu A"};
    eval(*m_js, QStringLiteral("vyxDesk.discover('serverFound')"));
    QTRY_COMPARE_WITH_TIMEOUT(eval(*m_js, QStringLiteral("found.length")).toInt(), 2, 5000);
    QTRY_VERIFY(m_responder->broadcastQueries >= 2);
    QTest::qWait(200);
    QCOMPARE(eval(*m_js, QStringLiteral("found.map(function (f) { return f[1]; }).join(',')")).toString(),
             QStringLiteral("vyx-kore-wa-desu A,vyx-kore-wa-desu B"));
}

void DiscoveryTest::textAfterAZeroByteIsDropped() {
    m_responder->multicastAnswers = {QByteArray("vyx-kore-wa-desu Z\0garbage\"", 28)};
    eval(*m_js, QStringLiteral("vyxDesk.discover('serverFound')"));
    QTRY_COMPARE_WITH_TIMEOUT(eval(*m_js, QStringLiteral("found.length")).toInt(), 1, 5000);
    QCOMPARE(eval(*m_js, QStringLiteral("found[0][1]")).toString(), QStringLiteral("vyx-kore-wa-desu Z"));
}

void DiscoveryTest::answersWithoutTheMarkerAreIgnored() {
    m_responder->broadcastAnswers = {"VYX-KORE-WA-DESU upper case", "hello", "vyx-kore-wa-desu ok"};
    eval(*m_js, QStringLiteral("vyxDesk.discover('serverFound')"));
    QTRY_COMPARE_WITH_TIMEOUT(eval(*m_js, QStringLiteral("found.length")).toInt(), 1, 5000);
    QTRY_VERIFY(m_responder->broadcastQueries >= 2);
    QTest::qWait(200);
    QCOMPARE(eval(*m_js, QStringLiteral("found.length")).toInt(), 1);
    QCOMPARE(eval(*m_js, QStringLiteral("found[0][1]")).toString(), QStringLiteral("vyx-kore-wa-desu ok"));
}

void DiscoveryTest::restartReportsServersAgain() {
    m_responder->multicastAnswers = {"vyx-kore-wa-desu again"};
    eval(*m_js, QStringLiteral("vyxDesk.discover('serverFound')"));
    QTRY_COMPARE_WITH_TIMEOUT(eval(*m_js, QStringLiteral("found.length")).toInt(), 1, 5000);
    eval(*m_js, QStringLiteral("vyxDesk.discover('serverFound')"));
    QTRY_COMPARE_WITH_TIMEOUT(eval(*m_js, QStringLiteral("found.length")).toInt(), 2, 5000);
    QCOMPARE(m_responder->multicastQueries, 2);
}

void DiscoveryTest::searchStopsAfterFiveSeconds() {
    m_responder->broadcastAnswers = {"vyx-kore-wa-desu s"};
    QElapsedTimer clock;
    clock.start();
    eval(*m_js, QStringLiteral("vyxDesk.discover('serverFound')"));
    QTRY_VERIFY_WITH_TIMEOUT(clock.elapsed() > 6500, 8000);
    const int queries = m_responder->broadcastQueries;
    QVERIFY2(queries >= 4 && queries <= 5, qPrintable(QString::number(queries)));
    QTest::qWait(1500);
    QCOMPARE(m_responder->broadcastQueries, queries);
    QCOMPARE(m_responder->multicastQueries, 1);
}

void DiscoveryTest::answerTextCannotRunInThePage() {
    const QByteArray evil = "vyx-kore-wa-desu \");window.pwned=1;(\"\n\\\"'</script>";
    m_responder->broadcastAnswers = {evil};
    eval(*m_js, QStringLiteral("window.echo = function (a, b) { found.push([a, b]); return b; };"
                               "vyxDesk.discover('echo')"));
    QTRY_COMPARE_WITH_TIMEOUT(eval(*m_js, QStringLiteral("found.length")).toInt(), 1, 5000);
    QCOMPARE(eval(*m_js, QStringLiteral("found[0][1]")).toString(), QString::fromLatin1(evil));
    QCOMPARE(eval(*m_js, QStringLiteral("found[0][0]")).toString(),
             QStringLiteral("127.0.0.1|") + QString::fromLatin1(evil));
    QCOMPARE(eval(*m_js, QStringLiteral("window.pwned")).toInt(), 0);
}

// Anything on the network may answer, as often and as long as it likes: a search reports at most
// 256 servers, and of each answer at most 1 KiB.
void DiscoveryTest::aSearchKeepsAtMost256AnswersOfAtMost1KiB() {
    m_responder->multicastAnswers = {"vyx-kore-wa-desu long " + QByteArray(3000, 'x')};
    for (int i = 0; i < 400; ++i)
        m_responder->floodAnswers.append("vyx-kore-wa-desu;name=flood " + QByteArray::number(i));
    eval(*m_js, QStringLiteral("vyxDesk.discover('serverFound')"));
    QTRY_COMPARE_WITH_TIMEOUT(eval(*m_js, QStringLiteral("found.length")).toInt(), 256, 5000);
    // Two more rounds of the whole flood change nothing.
    const int floods = m_responder->floodsSent;
    QTRY_VERIFY_WITH_TIMEOUT(m_responder->floodsSent >= floods + 2, 5000);
    QTest::qWait(200);
    QCOMPARE(eval(*m_js, QStringLiteral("found.length")).toInt(), 256);
    QCOMPARE(
        eval(*m_js, QStringLiteral("Math.max.apply(null, found.map(function (f) { return f[1].length; }))"))
            .toInt(),
        1024);
    QVERIFY(
        eval(*m_js, QStringLiteral("found.every(function (f) { return f[1].length <= 1024; })")).toBool());
}

// The real server simulator answers every query by unicast to the port it came from. With the
// broadcast route taken away, only the multicast query reaches it, so its answer can only be
// heard on the socket that sent that query.
void DiscoveryTest::simulatorAnswersTheMulticastQueryBySenderUnicast() {
#ifdef VYX_SIM
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QProcess sim;
    sim.start(QStringLiteral(VYX_SIM),
              {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--root"), root.path(),
               QStringLiteral("--name"), QStringLiteral("Namespace sim")});
    QVERIFY(sim.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(sim.canReadLine() || !sim.waitForReadyRead(100), 10000);
    QVERIFY(sim.readLine().startsWith("LISTENING "));

    const auto route = [](const QString &verb) {
        return QProcess::execute(QStringLiteral("ip"),
                                 {QStringLiteral("route"), verb, QStringLiteral("255.255.255.255/32"),
                                  QStringLiteral("dev"), QStringLiteral("lo")});
    };
    QCOMPARE(route(QStringLiteral("del")), 0);
    eval(*m_js, QStringLiteral("vyxDesk.discover('serverFound')"));
    const bool heard =
        QTest::qWaitFor([&] { return eval(*m_js, QStringLiteral("found.length")).toInt() >= 1; }, 4500);
    route(QStringLiteral("add"));
    sim.terminate();
    sim.waitForFinished(5000);
    QVERIFY2(heard, "the simulator's answer to the multicast query was not heard");
    QCOMPARE(m_responder->broadcastQueries, 0);
    QVERIFY2(eval(*m_js, QStringLiteral("found[0][1]"))
                 .toString()
                 .startsWith(QStringLiteral("vyx-kore-wa-desu;name=Namespace sim;")),
             qPrintable(eval(*m_js, QStringLiteral("found[0][1]")).toString()));
    QVERIFY(eval(*m_js, QStringLiteral("found[0][0]")).toString().startsWith(QStringLiteral("127.0.0.1|")));
#else
    VYX_SKIP_OR_FAIL_ON_CI("the server simulator vyxsim is not built");
#endif
}

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QStringList args = app.arguments();
    if (args.removeAll(QString::fromLatin1(OwnNetworkNamespace::childFlag())) > 0) {
        DiscoveryTest test;
        return QTest::qExec(&test, args);
    }
    DiscoveryLauncher launcher;
    return QTest::qExec(&launcher, args);
}

#include "tst_discovery.moc"
