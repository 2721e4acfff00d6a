// The fleet's work on the window's side: closing with a fleet backup and probes under way ends
// them instead of waiting for every site's time-out, and a probe replaced by a newer one sends
// nothing more. Every site is a port on 127.0.0.1 made by the test.
#include "idlelistener.h"
#include "vaultdesk.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>

namespace {

// A port on 127.0.0.1 where nothing listens: a connect is refused at once.
int closedPort() {
    IdleListener gone(1);
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
    IdleListener silent(128);
    IdleListener full(0);
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
    IdleListener full(0);
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
