// The fleet's work on the window's side: closing with a fleet backup and probes under way ends
// them instead of waiting for every site's time-out, and a probe replaced by a newer one sends
// nothing more. Every site is a port on 127.0.0.1 made by the test.
#include "vaultdesk.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

// A listening socket on 127.0.0.1 that the test never hands to a server.
class Listener {
public:
    explicit Listener(int backlog) {
        // Not blocking: acceptWaiting() takes what is there and returns.
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr *>(&a), len) == 0 &&
            ::listen(m_fd, backlog) == 0 && ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            m_port = ntohs(a.sin_port);
    }
    ~Listener() {
        for (int fd : m_held)
            ::close(fd);
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int port() const { return m_port; }
    // Connections the kernel completed; they are held open and never answered.
    int acceptWaiting() {
        for (;;) {
            const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                return m_held.size();
            m_held << fd;
        }
    }
    // A connection of the test's own that is never accepted: with a backlog of 0 the queue is then
    // full, and the kernel drops every further connect's first packet, so that those connects wait
    // for their time-out.
    bool fill() {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(quint16(m_port));
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            return false;
        m_held << fd;
        return true;
    }

private:
    int m_fd = -1;
    int m_port = 0;
    QList<int> m_held;
};

// A port on 127.0.0.1 where nothing listens: a connect is refused at once.
int closedPort() {
    Listener gone(1);
    return gone.port();
}

QJsonArray sitesAt(int count, int port, const QString &name) {
    QJsonArray sites;
    for (int i = 0; i < count; ++i)
        sites.append(QJsonObject{{QStringLiteral("name"), name + QString::number(i)},
                                 {QStringLiteral("host"), QStringLiteral("127.0.0.1")},
                                 {QStringLiteral("port"), QString::number(port)},
                                 {QStringLiteral("user"), QStringLiteral("admin")},
                                 {QStringLiteral("password"), QStringLiteral("secret")}});
    return sites;
}

QString text(const QJsonValue &v) {
    return QString::fromUtf8(v.isArray() ? QJsonDocument(v.toArray()).toJson(QJsonDocument::Compact)
                                         : QJsonDocument(v.toObject()).toJson(QJsonDocument::Compact));
}

} // namespace

class VaultDeskTest : public QObject {
    Q_OBJECT

private slots:
    void closingEndsAFleetBackupAndPendingProbes();
    void aReplacedProbeSendsNothingMore();

private:
    QTemporaryDir m_dir;
};

// 50 sites whose server never answers are being backed up (each would wait 600 s) and 50 more
// probed (each would wait 3 s); the desk is closed on a thread of its own, so that a close that
// waited for the sites fails this test instead of hanging it.
void VaultDeskTest::closingEndsAFleetBackupAndPendingProbes() {
    Listener silent(128);
    Listener full(0);
    QVERIFY(silent.port() > 0 && full.port() > 0);
    QVERIFY(full.fill());
    const QString backup =
        text(QJsonObject{{QStringLiteral("sites"), sitesAt(50, silent.port(), QStringLiteral("silent"))},
                         {QStringLiteral("parallel"), 16},
                         {QStringLiteral("timeout"), 600}});
    const QString probe = text(sitesAt(50, full.port(), QStringLiteral("unreachable")));

    std::atomic<bool> contacted{false};
    std::atomic<bool> backupStarted{false};
    std::atomic<bool> closed{false};
    const QString root = m_dir.filePath(QStringLiteral("vault"));
    std::thread window([&] {
        {
            VaultDesk desk;
            desk.setRoot(root);
            backupStarted = desk.backup(backup, QStringLiteral("vyxCb.backup"));
            desk.probe(probe, QStringLiteral("vyxCb.probe"));
            while (!contacted.load())
                QThread::msleep(5);
        }
        closed = true;
    });
    // A close that never ends leaves its thread behind when this test fails.
    const auto leave = qScopeGuard([&window] {
        if (window.joinable())
            window.detach();
    });
    // The close comes once the sites are being backed up: their connections are open.
    QTRY_VERIFY_WITH_TIMEOUT(silent.acceptWaiting() >= 16, 60000);
    contacted = true;
    QTRY_VERIFY_WITH_TIMEOUT(closed.load(), 60000);
    window.join();
    QVERIFY(backupStarted.load());
}

// A probe of many sites that wait is replaced by a probe of three other sites: after the newer
// probe's first answer, every answer is the newer probe's and names one of its sites.
void VaultDeskTest::aReplacedProbeSendsNothingMore() {
    Listener full(0);
    QVERIFY(full.port() > 0 && full.fill());
    const int refused = closedPort();
    VaultDesk desk;
    desk.setRoot(m_dir.filePath(QStringLiteral("vault")));
    QList<QJsonObject> answers;
    connect(&desk, &VaultDesk::answer, this, [&](const QString &, const QString &json) {
        answers << QJsonDocument::fromJson(json.toUtf8()).object();
    });
    desk.probe(text(sitesAt(20, full.port(), QStringLiteral("old"))), QStringLiteral("vyxCb.probe"));
    QTRY_VERIFY(desk.work().jobsRunning() > 0);
    const int before = answers.size();
    desk.probe(text(sitesAt(3, refused, QStringLiteral("new"))), QStringLiteral("vyxCb.probe"));
    QVERIFY(answers.size() > before);
    const QJsonValue generation = answers.at(before).value(QStringLiteral("generation"));
    QCOMPARE(answers.at(before).value(QStringLiteral("sites")).toInt(), 3);
    QTRY_VERIFY(answers.last().value(QStringLiteral("done")).toBool());
    // The old probe's job ends; its sites would have answered after 3 s.
    QTRY_COMPARE_WITH_TIMEOUT(desk.work().jobsRunning(), 0, 30000);
    // What the job sent before it ended is queued by now.
    QCoreApplication::processEvents();
    int sites = 0;
    for (int i = before; i < answers.size(); ++i) {
        const QJsonObject a = answers.at(i);
        QCOMPARE(a.value(QStringLiteral("generation")), generation);
        if (!a.contains(QStringLiteral("index")))
            continue;
        ++sites;
        QVERIFY(a.value(QStringLiteral("index")).toInt() < 3);
        QCOMPARE(a.value(QStringLiteral("port")).toInt(), refused);
        QVERIFY(!a.value(QStringLiteral("reachable")).toBool());
    }
    QCOMPARE(sites, 3);
}

QTEST_GUILESS_MAIN(VaultDeskTest)
#include "tst_vaultdesk.moc"
