// The plug-in installation against a stand-in server: how each ending of its archive copy closes
// the installation's journal record, and that each command line of the chain waits for the
// answer to the one before. (The page's side of a whole install runs against the simulator in
// tests/connector.)
#include "journalschema.h"
#include "plugininstall.h"
#include "remotecopyservice.h"

#include <QtTest>

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QTemporaryDir>

namespace {

const char kArchive[] = "plugin.tar.gz";
const QByteArray kBytes("0123456789");

// Requests and journal records kept in memory; the page's answers as (callback, status).
struct StandIn {
    bool ready = true;
    QStringList requests;
    QStringList commandLines;
    QList<QPair<QString, QString>> answers;
    QHash<qint64, QString> kinds;
    QHash<QString, QPair<QString, QString>> results; // kind -> (outcome, result)

    RemoteCopyService::Server copyServer() {
        RemoteCopyService::Server server;
        server.ready = [this] { return ready; };
        server.createFile = [this](const QString &name) { return request(QStringLiteral("create ") + name); };
        server.appendData = [this](const QString &name, const QString &, qint64 offset, qint64 count) {
            return request(QStringLiteral("append %1 %2 %3").arg(name).arg(offset).arg(count));
        };
        server.queryMd5 = [this](const QString &name) { return request(QStringLiteral("md5 ") + name); };
        server.notConnected = QStringLiteral("not connected");
        return server;
    }
    PluginInstall::Server pluginServer() {
        PluginInstall::Server server;
        server.ready = [this] { return ready; };
        server.commandLine = [this](PluginInstall::Step, const QString &line) { commandLines << line; };
        return server;
    }
    JournalRecorder recorder() {
        JournalRecorder recorder;
        recorder.intent = [this](const char *kind, const QJsonObject &) {
            const qint64 id = kinds.size() + 1;
            kinds.insert(id, QLatin1String(kind));
            return id;
        };
        recorder.result = [this](qint64 &intent, const char *outcome, const QString &result) {
            if (intent > 0)
                results.insert(kinds.value(intent), {QLatin1String(outcome), result});
            intent = 0;
        };
        return recorder;
    }
    bool request(const QString &text) {
        requests << text;
        return true;
    }
    QStringList statuses(const QString &callback) const {
        QStringList list;
        for (const auto &a : answers)
            if (a.first == callback)
                list << QJsonDocument::fromJson(a.second.toUtf8())
                            .object()
                            .value(QStringLiteral("status"))
                            .toString();
        return list;
    }
};

QJsonObject ok(qint64 wrote = -1) {
    QJsonObject answer{{QStringLiteral("err"), 0}, {QStringLiteral("info"), QStringLiteral("ok")}};
    if (wrote >= 0)
        answer.insert(QStringLiteral("wrotebytes"), double(wrote));
    return answer;
}

} // namespace

class PluginInstallTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void copyEndingsCloseTheInstallRecord_data();
    void copyEndingsCloseTheInstallRecord();
    void eachCommandLineWaitsForTheAnswerBefore();

private:
    QTemporaryDir m_dir;
    QString m_archive;
    StandIn *m_server = nullptr;
    RemoteCopyService *m_copy = nullptr;
    PluginInstall *m_install = nullptr;
};

void PluginInstallTest::init() {
    QVERIFY(m_dir.isValid());
    m_archive = m_dir.filePath(QStringLiteral("src.tar.gz"));
    QFile file(m_archive);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(kBytes);
    file.close();
    m_server = new StandIn;
    m_copy = new RemoteCopyService(m_server->copyServer(), m_server->recorder());
    m_install = new PluginInstall(*m_copy, m_server->pluginServer(), m_server->recorder());
    // The answers of both go to the page in the order they are given.
    auto keep = [this](const QString &callback, const QString &expression) {
        m_server->answers << qMakePair(callback, expression);
    };
    connect(m_copy, &RemoteCopyService::answer, this, keep);
    connect(m_install, &PluginInstall::answer, this, keep);
    m_install->install(m_archive, QStringLiteral("status"), QStringLiteral("done"));
}

void PluginInstallTest::cleanup() {
    delete m_install;
    delete m_copy;
    delete m_server;
}

void PluginInstallTest::copyEndingsCloseTheInstallRecord_data() {
    QTest::addColumn<QString>("ending");
    QTest::addColumn<QString>("copyOutcome");
    QTest::addColumn<QString>("installOutcome");
    QTest::addColumn<QString>("installResult");
    QTest::newRow("create refused") << "refused" << vyxjournal::kOutcomeFailed << vyxjournal::kOutcomeFailed
                                    << "the archive was not copied: no room";
    QTest::newRow("short append") << "short" << vyxjournal::kOutcomeFailed << vyxjournal::kOutcomeFailed
                                  << "the archive was not copied: the server wrote 4 of 10 bytes at offset 0";
    QTest::newRow("damaged") << "damaged" << vyxjournal::kOutcomeFailed << vyxjournal::kOutcomeFailed
                             << "the archive arrived damaged: MD5 differs";
    // The server may have taken the archive whole: neither failed nor succeeded.
    QTest::newRow("connection lost") << "lost" << vyxjournal::kOutcomeUnknown << vyxjournal::kOutcomeUnknown
                                     << "lost";
}

void PluginInstallTest::copyEndingsCloseTheInstallRecord() {
    QFETCH(QString, ending);
    QFETCH(QString, copyOutcome);
    QFETCH(QString, installOutcome);
    QFETCH(QString, installResult);
    if (ending == QLatin1String("refused")) {
        m_copy->fileCreated({{QStringLiteral("err"), 1}, {QStringLiteral("info"), QStringLiteral("no room")}},
                            QLatin1String(kArchive));
    } else {
        m_copy->fileCreated(ok(), QLatin1String(kArchive));
        if (ending == QLatin1String("lost")) {
            m_copy->abandon(QStringLiteral("lost"));
        } else {
            m_copy->dataAppended(ok(ending == QLatin1String("short") ? 4 : kBytes.size()), QString());
            m_copy->md5Answered(QStringLiteral("0123456789abcdef0123456789abcdef"));
            // The local file is hashed off this thread for the comparison.
            QTRY_VERIFY(!m_copy->comparing());
        }
    }
    QCOMPARE(m_server->results.value(QLatin1String(vyxjournal::kKindFileCopy)).first, copyOutcome);
    const QPair<QString, QString> install =
        m_server->results.value(QLatin1String(vyxjournal::kKindPluginInstall));
    QCOMPARE(install.first, installOutcome);
    QVERIFY2(install.second.startsWith(installResult), qPrintable(install.second));
    // A later report of the page does not turn the ended installation into a success.
    m_install->extracted();
    m_install->ownershipChanged();
    m_install->archiveRemoved();
    QCOMPARE(m_server->results.value(QLatin1String(vyxjournal::kKindPluginInstall)), install);
}

void PluginInstallTest::eachCommandLineWaitsForTheAnswerBefore() {
    m_copy->fileCreated(ok(), QLatin1String(kArchive));
    m_copy->dataAppended(ok(kBytes.size()), QString());
    m_copy->md5Answered(
        QString::fromLatin1(QCryptographicHash::hash(kBytes, QCryptographicHash::Md5).toHex()));
    QTRY_VERIFY(!m_copy->comparing());
    QCOMPARE(m_server->requests,
             (QStringList{QStringLiteral("create plugin.tar.gz"), QStringLiteral("append plugin.tar.gz 0 10"),
                          QStringLiteral("md5 plugin.tar.gz")}));
    QVERIFY(m_server->commandLines.isEmpty());
    QVERIFY(!m_server->results.contains(QLatin1String(vyxjournal::kKindPluginInstall)));

    m_install->extracted();
    QCOMPARE(m_server->commandLines, QStringList{QStringLiteral("chown vyxweb:vyxweb logic/ -R")});
    m_install->ownershipChanged();
    QCOMPARE(m_server->commandLines.size(), 2);
    QCOMPARE(m_server->commandLines.last(), QStringLiteral("rm plugin.tar.gz"));
    QVERIFY(m_server->statuses(QStringLiteral("done")).isEmpty());
    m_install->archiveRemoved();
    QCOMPARE(m_server->commandLines.last(), QLatin1String(PluginInstall::kStopLogicCommand));

    QCOMPARE(m_server->statuses(QStringLiteral("status")),
             (QStringList{QStringLiteral("MD5 verify"), QStringLiteral("complete"),
                          QStringLiteral("files done"), QStringLiteral("restarting logic")}));
    QCOMPARE(m_server->statuses(QStringLiteral("done")), QStringList{QStringLiteral("install complete")});
    QCOMPARE(m_server->answers.last().first, QStringLiteral("done"));
    QCOMPARE(m_server->results.value(QLatin1String(vyxjournal::kKindPluginInstall)),
             qMakePair(QString::fromLatin1(vyxjournal::kOutcomeSucceeded),
                       QStringLiteral("install complete; logic restarting")));
}

QTEST_GUILESS_MAIN(PluginInstallTest)
#include "tst_plugininstall.moc"
