#include "journal.h"
#include "journalexport.h"
#include "journalschema.h"
#include "journalwriter.h"

#include <QtTest>

#include <QJsonDocument>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <cstdlib>

namespace {

const JournalServer kOffice{"Office", "127.0.0.1:18000", "installer"};
const JournalServer kPlant{"Plant", "127.0.0.2:18000", "admin"};

// A second connection to the same file, as another program (or a person with sqlite3) would have.
class RawConnection {
public:
    explicit RawConnection(const QString &path) : m_name(QStringLiteral("raw-%1").arg(quintptr(this))) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
        db.open();
    }
    ~RawConnection() {
        QSqlDatabase::database(m_name, false).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    QSqlQuery query() const { return QSqlQuery(QSqlDatabase::database(m_name, false)); }
    QString scalar(const QString &sql) const {
        QSqlQuery q = query();
        return q.exec(sql) && q.next() ? q.value(0).toString()
                                       : QStringLiteral("<error: %1>").arg(q.lastError().text());
    }

private:
    QString m_name;
};

QByteArray fileBytes(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class JournalTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void defaultPathFollowsXdgDataHome();
    void intentThenResult();
    void crashLeavesOutcomeUnknown();
    void secretsAndContentsNeverWritten();
    void appendOnlyAndWal();
    void unwritableLocationIsReported();
    void lockedFileIsReported();
    void queuedRecordsWaitForALockOffTheCallingThread_data();
    void queuedRecordsWaitForALockOffTheCallingThread();
    void filters_data();
    void filters();
    void csvCells_data();
    void csvCells();
    void csvExport();
    void jsonExport();
    void exportStreamsEveryRecord();
    void newerLayoutIsRefusedAndLeftAlone();
    void aBatchOfIntentsIsWrittenWholeOrNotAtAll();
    void filesAreTheOwnersAlone();
    void vyxctlArgumentsFollowTheSameRules();

private:
    QString m_path;
    QScopedPointer<QTemporaryDir> m_dir;
};

void JournalTest::init() {
    m_dir.reset(new QTemporaryDir);
    m_path = m_dir->filePath(QStringLiteral("vyxdesk/journal.sqlite"));
}

void JournalTest::defaultPathFollowsXdgDataHome() {
    qputenv("XDG_DATA_HOME", m_dir->path().toUtf8());
    QCOMPARE(Journal::defaultPath(), m_dir->path() + QStringLiteral("/vyxdesk/journal.sqlite"));
    Journal journal;
    QVERIFY(journal.open());
    QVERIFY(QFile::exists(m_dir->path() + QStringLiteral("/vyxdesk/journal.sqlite")));
}

void JournalTest::intentThenResult() {
    Journal journal;
    QVERIFY(journal.open(m_path));
    const qint64 id =
        journal.recordIntent(kOffice, vyxjournal::kKindFolderCreate, QJsonObject{{"path", "/home/user/new"}});
    QVERIFY(id > 0);
    // Written before anything was sent: visible to another reader at once, pending in this run.
    QCOMPARE(RawConnection(m_path).scalar("SELECT count(*) FROM journal WHERE entry = 'intent'"),
             QString("1"));
    QJsonObject e = journal.entries().at(0).toObject();
    QCOMPARE(e.value("outcome").toString(), QString("pending"));
    QCOMPARE(e.value("completed").toString(), QString());

    QVERIFY(journal.recordResult(id, vyxjournal::kOutcomeSucceeded, "ok"));
    e = journal.entries().at(0).toObject();
    QCOMPARE(journal.entries().size(), 1);
    QCOMPARE(e.value("id").toInt(), int(id));
    QCOMPARE(e.value("site").toString(), QString("Office"));
    QCOMPARE(e.value("address").toString(), QString("127.0.0.1:18000"));
    QCOMPARE(e.value("user").toString(), QString("installer"));
    QCOMPARE(e.value("program").toString(), QString("vyxdesk"));
    QCOMPARE(e.value("kind").toString(), QString("folder-create"));
    QCOMPARE(e.value("arguments").toObject().value("path").toString(), QString("/home/user/new"));
    QCOMPARE(e.value("outcome").toString(), QString("succeeded"));
    QCOMPARE(e.value("result").toString(), QString("ok"));
    const QDateTime started = QDateTime::fromString(e.value("time").toString(), Qt::ISODateWithMs);
    const QDateTime completed = QDateTime::fromString(e.value("completed").toString(), Qt::ISODateWithMs);
    QVERIFY(started.isValid() && completed.isValid() && started <= completed);
    QCOMPARE(started.timeSpec(), Qt::UTC);

    // A result for an intent that does not exist is refused and reported.
    QSignalSpy failed(&journal, &Journal::writeFailed);
    QVERIFY(!journal.recordResult(id + 100, vyxjournal::kOutcomeSucceeded, "ok"));
    QCOMPARE(failed.size(), 1);
    QVERIFY(!journal.recordResult(0, vyxjournal::kOutcomeSucceeded, "ok"));

    // A server without a saved name is recorded under its address.
    journal.recordIntent(JournalServer{"", "10.0.0.9:18000", "u"}, vyxjournal::kKindBackup, {});
    QCOMPARE(journal.entries().at(0).toObject().value("site").toString(), QString("10.0.0.9:18000"));
}

// The intent is on disk before the request goes out, so a program that dies before the answer
// leaves an entry that the next run shows as "unknown".
void JournalTest::crashLeavesOutcomeUnknown() {
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {"--intent-then-abort", m_path});
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);

    Journal journal;
    QVERIFY(journal.open(m_path));
    const QJsonArray entries = journal.entries();
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries.at(0).toObject().value("kind").toString(), QString("configuration-upload"));
    QCOMPARE(entries.at(0).toObject().value("outcome").toString(), QString("unknown"));
}

void JournalTest::secretsAndContentsNeverWritten() {
    {
        Journal journal;
        QVERIFY(journal.open(m_path));
        const QJsonObject arguments{
            {"path", "/etc/site.conf"},
            {"Password", "hunter2-secret"},
            {"content", "FILE-BODY-MARKER"},
            {"nested", QJsonObject{{"passphrase", "zip-pass-marker"}, {"ok", "kept"}}},
            {"long", QString(5000, QLatin1Char('x'))}};
        const qint64 id = journal.recordIntent(kOffice, vyxjournal::kKindFileCopy, arguments);
        QVERIFY(id > 0);
        QVERIFY(journal.recordResult(id, vyxjournal::kOutcomeSucceeded, QString(5000, QLatin1Char('y'))));
        const QJsonObject e = journal.entries().at(0).toObject();
        const QJsonObject written = e.value("arguments").toObject();
        QCOMPARE(written.keys(), QStringList({"long", "nested", "path"}));
        QCOMPARE(written.value("nested").toObject().keys(), QStringList({"ok"}));
        QVERIFY(written.value("long").toString().size() < 2100);
        QVERIFY(e.value("result").toString().size() < 2100);
    }
    // Not in the database, its WAL or anywhere beside it.
    QDir folder(QFileInfo(m_path).absolutePath());
    for (const QString &name : folder.entryList(QDir::Files)) {
        const QByteArray bytes = fileBytes(folder.filePath(name));
        for (const char *secret : {"hunter2-secret", "FILE-BODY-MARKER", "zip-pass-marker"})
            QVERIFY2(!bytes.contains(secret), qPrintable(name + QStringLiteral(" holds ") + secret));
    }
}

void JournalTest::appendOnlyAndWal() {
    Journal journal;
    QVERIFY(journal.open(m_path));
    const qint64 id = journal.recordIntent(kOffice, vyxjournal::kKindCommandLine, {{"command", "ls"}});
    journal.recordResult(id, vyxjournal::kOutcomeSucceeded, "ok");
    RawConnection raw(m_path);
    QCOMPARE(raw.scalar("PRAGMA journal_mode"), QString("wal"));
    QCOMPARE(raw.scalar("PRAGMA user_version"), QString::number(vyxjournal::kSchemaVersion));
    for (const char *change : {"UPDATE journal SET outcome = 'failed'", "DELETE FROM journal"}) {
        QSqlQuery q = raw.query();
        QVERIFY2(!q.exec(QLatin1String(change)), change);
        QVERIFY(q.lastError().text().contains("append-only"));
    }
    QCOMPARE(raw.scalar("SELECT count(*) FROM journal"), QString("2"));
}

// A folder where the file should be is a plain file: nothing can be created there.
void JournalTest::unwritableLocationIsReported() {
    QVERIFY(QFile(m_dir->filePath("blocked")).open(QIODevice::WriteOnly));
    Journal journal;
    QSignalSpy failed(&journal, &Journal::writeFailed);
    QVERIFY(!journal.open(m_dir->filePath("blocked/vyxdesk/journal.sqlite")));
    QCOMPARE(failed.size(), 1);
    QVERIFY(failed.at(0).at(0).toString().contains("blocked/vyxdesk"));
    // Every record that cannot be written says so again; none is dropped silently.
    QCOMPARE(journal.recordIntent(kOffice, vyxjournal::kKindParameterWrite, {{"uid", "1"}}), qint64(0));
    QCOMPARE(failed.size(), 2);
    QVERIFY(!journal.lastError().isEmpty());
}

// Another program holds the file locked past the wait: the write fails, and says so.
void JournalTest::lockedFileIsReported() {
    Journal journal;
    QVERIFY(journal.open(m_path));
    RawConnection raw(m_path);
    QSqlQuery lock = raw.query();
    QVERIFY(lock.exec("BEGIN EXCLUSIVE"));
    QSignalSpy failed(&journal, &Journal::writeFailed);
    QCOMPARE(journal.recordIntent(kOffice, vyxjournal::kKindGatewayStart, {}), qint64(0));
    QCOMPARE(failed.size(), 1);
    QVERIFY2(failed.at(0).at(0).toString().contains("gateway-start"),
             qPrintable(failed.at(0).at(0).toString()));
    QVERIFY(lock.exec("ROLLBACK"));
    QVERIFY(journal.recordIntent(kOffice, vyxjournal::kKindGatewayStart, {}) > 0);
}

// The window queues its records, and goes on at once with a ticket while another program holds the
// file. A lock that goes within the busy time-out delays the records, which are then written in
// order; a lock held past it fails the intent, which is reported once, on the owner's thread, and
// its result then writes nothing. (A record written on the caller's thread fails in both cases.)
void JournalTest::queuedRecordsWaitForALockOffTheCallingThread_data() {
    QTest::addColumn<bool>("lockHeldPastTheWait");
    QTest::newRow("lock released at once") << false;
    QTest::newRow("lock held past the wait") << true;
}

void JournalTest::queuedRecordsWaitForALockOffTheCallingThread() {
    QFETCH(bool, lockHeldPastTheWait);
    Journal journal;
    QVERIFY(journal.open(m_path));
    QSignalSpy failed(&journal, &Journal::writeFailed);
    RawConnection raw(m_path);
    QSqlQuery lock = raw.query();
    QVERIFY(lock.exec("BEGIN EXCLUSIVE"));
    const qint64 ticket = journal.queueIntent(kOffice, vyxjournal::kKindGatewayStart, {{"uid", "7"}});
    QVERIFY(ticket > 0);
    journal.queueResult(ticket, QLatin1String(vyxjournal::kOutcomeSucceeded), "started");
    if (lockHeldPastTheWait)
        journal.flush();
    QVERIFY(lock.exec("ROLLBACK"));
    const QJsonArray entries = journal.entries();
    QCoreApplication::processEvents();
    if (lockHeldPastTheWait) {
        QCOMPARE(entries.size(), 0);
        QCOMPARE(failed.size(), 1);
        QVERIFY2(failed.at(0).at(0).toString().contains("gateway-start"),
                 qPrintable(failed.at(0).at(0).toString()));
        return;
    }
    QCOMPARE(failed.size(), 0);
    QCOMPARE(entries.size(), 1);
    const QJsonObject e = entries.at(0).toObject();
    QCOMPARE(e.value("kind").toString(), QString(vyxjournal::kKindGatewayStart));
    QCOMPARE(e.value("outcome").toString(), QString(vyxjournal::kOutcomeSucceeded));
    QCOMPARE(e.value("result").toString(), QString("started"));
}

void JournalTest::filters_data() {
    QTest::addColumn<QString>("site");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QDate>("from");
    QTest::addColumn<QDate>("to");
    QTest::addColumn<QStringList>("expected"); // argument "n" of each entry, newest first
    const QDate d1(2026, 11, 30), d2(2026, 12, 1), d3(2026, 12, 2);
    QTest::newRow("all") << ""
                         << "" << QDate() << QDate() << QStringList({"4", "3", "2", "1"});
    QTest::newRow("site") << "Plant"
                          << "" << QDate() << QDate() << QStringList({"4", "2"});
    QTest::newRow("kind") << ""
                          << "backup" << QDate() << QDate() << QStringList({"3", "1"});
    QTest::newRow("one day") << ""
                             << "" << d2 << d2 << QStringList({"3", "2"});
    QTest::newRow("from") << ""
                          << "" << d2 << QDate() << QStringList({"4", "3", "2"});
    QTest::newRow("to") << ""
                        << "" << QDate() << d1 << QStringList({"1"});
    QTest::newRow("all three") << "Office"
                               << "backup" << d2 << d3 << QStringList({"3"});
    QTest::newRow("nothing") << "Nowhere"
                             << "" << QDate() << QDate() << QStringList();
}

void JournalTest::filters() {
    QFETCH(QString, site);
    QFETCH(QString, kind);
    QFETCH(QDate, from);
    QFETCH(QDate, to);
    QFETCH(QStringList, expected);
    Journal journal;
    QVERIFY(journal.open(m_path));
    struct Row {
        JournalServer server;
        const char *kind;
        QDateTime local;
    };
    const Row rows[] = {
        {kOffice, vyxjournal::kKindBackup, QDateTime(QDate(2026, 11, 30), QTime(23, 59))},
        {kPlant, vyxjournal::kKindParameterWrite, QDateTime(QDate(2026, 12, 1), QTime(0, 0))},
        {kOffice, vyxjournal::kKindBackup, QDateTime(QDate(2026, 12, 1), QTime(23, 59, 59))},
        {kPlant, vyxjournal::kKindCommandLine, QDateTime(QDate(2026, 12, 2), QTime(0, 0))},
    };
    // Written with their own times through the plain insert, as records of past days.
    RawConnection raw(m_path);
    int n = 0;
    for (const Row &r : rows) {
        QSqlQuery q = raw.query();
        q.prepare(QLatin1String(vyxjournal::kInsertIntent));
        for (const QVariant &v : QVariantList{"old-session", r.local.toUTC().toString(Qt::ISODateWithMs),
                                              "vyxdesk", r.server.site, r.server.address, r.server.user,
                                              r.kind, QStringLiteral("{\"n\":\"%1\"}").arg(++n)})
            q.addBindValue(v);
        QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
    }
    QStringList got;
    for (const QJsonValue &v : journal.entries(JournalFilter{site, kind, from, to}))
        got << v.toObject().value("arguments").toObject().value("n").toString();
    QCOMPARE(got, expected);
    QCOMPARE(journal.sites(), QStringList({"Office", "Plant"}));
}

void JournalTest::csvCells_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("cell");
    QTest::newRow("plain") << "ls -la"
                           << "\"ls -la\"";
    QTest::newRow("formula") << "=HYPERLINK(\"x\")"
                             << "\"'=HYPERLINK(\"\"x\"\")\"";
    QTest::newRow("plus") << "+1"
                          << "\"'+1\"";
    QTest::newRow("minus") << "-2+3"
                           << "\"'-2+3\"";
    QTest::newRow("at") << "@SUM(A1)"
                        << "\"'@SUM(A1)\"";
    QTest::newRow("tab") << "\t=1"
                         << "\"'\t=1\"";
    QTest::newRow("inner equals") << "a=b"
                                  << "\"a=b\"";
    QTest::newRow("line break") << "a\r\nb"
                                << "\"a\r\nb\"";
}

void JournalTest::csvCells() {
    QFETCH(QString, text);
    QFETCH(QString, cell);
    QCOMPARE(QString::fromStdString(vyxjournal::csvCell(text.toStdString())), cell);
}

void JournalTest::csvExport() {
    Journal journal;
    QVERIFY(journal.open(m_path));
    const qint64 id = journal.recordIntent(kOffice, vyxjournal::kKindCommandLine, {{"command", "=cmd"}});
    QVERIFY(journal.recordResult(id, vyxjournal::kOutcomeSucceeded, "ok"));
    const QString path = m_dir->filePath("export.csv");
    QString error;
    QCOMPARE(journal.exportTo("csv", JournalFilter(), path, &error), qint64(1));
    const QJsonObject e = journal.entries().at(0).toObject();
    const QString expected =
        QStringLiteral(
            "id,time,site,address,user,program,kind,arguments,outcome,result,completed\r\n"
            "\"%1\",\"%2\",\"Office\",\"127.0.0.1:18000\",\"installer\",\"vyxdesk\",\"command-line\","
            "\"{\"\"command\"\":\"\"=cmd\"\"}\",\"succeeded\",\"ok\",\"%3\"\r\n")
            .arg(id)
            .arg(e.value("time").toString(), e.value("completed").toString());
    QCOMPARE(QString::fromUtf8(fileBytes(path)), expected);
    QCOMPARE(journal.exportTo("xml", JournalFilter(), path, &error), qint64(-1));
    QVERIFY(error.contains("xml"));
}

void JournalTest::jsonExport() {
    Journal journal;
    QVERIFY(journal.open(m_path));
    const qint64 id = journal.recordIntent(kOffice, vyxjournal::kKindZephronCommand, {{"command", "=cmd"}});
    journal.recordResult(id, vyxjournal::kOutcomeSent, "");
    journal.recordIntent(kPlant, vyxjournal::kKindBackup,
                         {{"file", "/tmp/b.db"}, {"nested", QJsonObject{{"n", 1}}}});
    const QString path = m_dir->filePath("export.json");
    QString error;
    QCOMPARE(journal.exportTo("json", JournalFilter(), path, &error), qint64(2));
    QJsonParseError parse;
    const QJsonDocument written = QJsonDocument::fromJson(fileBytes(path), &parse);
    QCOMPARE(parse.error, QJsonParseError::NoError);
    QCOMPARE(written.array(), journal.entries());
    // Nothing matches: an empty array, still a JSON document.
    QCOMPARE(journal.exportTo("json", JournalFilter{"Nowhere", "", QDate(), QDate()}, path, &error),
             qint64(0));
    QCOMPARE(QJsonDocument::fromJson(fileBytes(path)).array(), QJsonArray());
}

// The view lists the newest 5000; an export writes every matching record and counts them truly.
void JournalTest::exportStreamsEveryRecord() {
    Journal journal;
    QVERIFY(journal.open(m_path));
    const int total = 5003;
    {
        RawConnection raw(m_path);
        QVERIFY(raw.query().exec("BEGIN"));
        for (int n = 1; n <= total; ++n) {
            QSqlQuery q = raw.query();
            q.prepare(QLatin1String(vyxjournal::kInsertIntent));
            for (const QVariant &v :
                 QVariantList{"old-session", "2026-12-01T10:00:00.000Z", "vyxctl", "Office",
                              "127.0.0.1:18000", "admin", "backup", QStringLiteral("{\"n\":\"%1\"}").arg(n)})
                q.addBindValue(v);
            QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
        }
        QVERIFY(raw.query().exec("COMMIT"));
    }
    QCOMPARE(journal.entries().size(), 5000);
    const QString csv = m_dir->filePath("all.csv");
    QString error;
    QCOMPARE(journal.exportTo("csv", JournalFilter(), csv, &error), qint64(total));
    const QList<QByteArray> lines = fileBytes(csv).split('\n');
    QCOMPARE(lines.size(), total + 2); // the header, and the empty piece after the last line break
    QVERIFY(lines.at(total).contains("\"{\"\"n\"\":\"\"1\"\"}\""));
    const QString json = m_dir->filePath("all.json");
    QCOMPARE(journal.exportTo("json", JournalFilter(), json, &error), qint64(total));
    QCOMPARE(QJsonDocument::fromJson(fileBytes(json)).array().size(), total);
    // A target that cannot be written is reported, and nothing is left beside it.
    QVERIFY(QDir(m_dir->path()).mkdir("target-is-a-folder"));
    QCOMPARE(journal.exportTo("csv", JournalFilter(), m_dir->filePath("target-is-a-folder"), &error),
             qint64(-1));
    QVERIFY(error.contains("target-is-a-folder"));
    QCOMPARE(QDir(m_dir->path()).entryList({"*.part-*"}, QDir::Files), QStringList());
}

// A file a newer program laid out is neither stamped nor written to; the reason names it.
void JournalTest::newerLayoutIsRefusedAndLeftAlone() {
    {
        Journal journal;
        QVERIFY(journal.open(m_path));
    }
    {
        RawConnection raw(m_path);
        QVERIFY(raw.query().exec("PRAGMA user_version = 7"));
    }
    Journal journal;
    QSignalSpy failed(&journal, &Journal::writeFailed);
    QVERIFY(!journal.open(m_path));
    QCOMPARE(failed.size(), 1);
    QVERIFY2(journal.lastError().contains("layout version 7") && journal.lastError().contains("newer"),
             qPrintable(journal.lastError()));
    QCOMPARE(journal.recordIntent(kOffice, vyxjournal::kKindBackup, {}), qint64(0));
    QCOMPARE(RawConnection(m_path).scalar("PRAGMA user_version"), QString("7"));
    QCOMPARE(RawConnection(m_path).scalar("SELECT count(*) FROM journal"), QString("0"));
    // vyxctl's writer refuses it the same way.
    vyxjournal::Writer writer("vyxctl");
    QVERIFY(!writer.open(m_path.toStdString()));
    QVERIFY(QString::fromStdString(writer.error()).contains("layout version 7"));
}

// A fleet's intents: all of them or none, so a journal that fails half-way holds no partial fleet.
void JournalTest::aBatchOfIntentsIsWrittenWholeOrNotAtAll() {
    Journal journal;
    QVERIFY(journal.open(m_path));
    const QList<JournalIntent> fleet{
        {kOffice, vyxjournal::kKindBackup, {{"vault", "/v"}}},
        {JournalServer{"Refused", "10.0.0.3:18000", "admin"}, vyxjournal::kKindBackup, {{"vault", "/v"}}},
        {kPlant, vyxjournal::kKindBackup, {{"vault", "/v"}}}};
    {
        RawConnection raw(m_path);
        QVERIFY(raw.query().exec("CREATE TRIGGER refuse BEFORE INSERT ON journal WHEN NEW.site = 'Refused'"
                                 " BEGIN SELECT RAISE(ABORT, 'refused by the test'); END"));
    }
    QSignalSpy failed(&journal, &Journal::writeFailed);
    QVERIFY(journal.recordIntents(fleet).isEmpty());
    QCOMPARE(failed.size(), 1);
    QVERIFY2(failed.at(0).at(0).toString().contains("none of the 3"),
             qPrintable(failed.at(0).at(0).toString()));
    QCOMPARE(RawConnection(m_path).scalar("SELECT count(*) FROM journal"), QString("0"));
    {
        RawConnection raw(m_path);
        QVERIFY(raw.query().exec("DROP TRIGGER refuse"));
    }
    const QList<qint64> ids = journal.recordIntents(fleet);
    QCOMPARE(ids.size(), 3);
    QVERIFY(ids[0] < ids[1] && ids[1] < ids[2]);
    QCOMPARE(journal.entries().at(1).toObject().value("site").toString(), QString("Refused"));
}

void JournalTest::filesAreTheOwnersAlone() {
    Journal journal;
    QVERIFY(journal.open(m_path));
    QVERIFY(journal.recordIntent(kOffice, vyxjournal::kKindBackup, {}) > 0);
    const QFile::Permissions owner =
        QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser;
    QDir folder(QFileInfo(m_path).absolutePath());
    QCOMPARE(QFileInfo(folder.path()).permissions() & ~(QFile::ExeOwner | QFile::ExeUser | owner),
             QFile::Permissions());
    const QStringList files = folder.entryList(QDir::Files);
    QVERIFY2(files.contains("journal.sqlite-wal"), qPrintable(files.join(' ')));
    for (const QString &name : files)
        QCOMPARE(QFileInfo(folder.filePath(name)).permissions(), owner);
    QString error;
    QVERIFY(journal.exportTo("csv", JournalFilter(), m_dir->filePath("e.csv"), &error) == 1);
    QCOMPARE(QFileInfo(m_dir->filePath("e.csv")).permissions(), owner);
}

// vyxctl's name and value pairs go through the same writer: the same names withheld, the same cut.
void JournalTest::vyxctlArgumentsFollowTheSameRules() {
    vyxjournal::Writer writer("vyxctl");
    QVERIFY(writer.open(m_path.toStdString()));
    QVERIFY(writer.intent({"Office", "127.0.0.1:18000", "admin"}, vyxjournal::kKindCommandLine,
                          {{"PASSWORD", "hunter2"}, {"command", "ls"}, {"long", std::string(3000, 'x')}}) >
            0);
    Journal journal;
    QVERIFY(journal.open(m_path));
    const QJsonObject e = journal.entries().at(0).toObject();
    const QJsonObject arguments = e.value("arguments").toObject();
    QCOMPARE(arguments.keys(), QStringList({"command", "long"}));
    QVERIFY(arguments.value("long").toString().startsWith(QString(2000, QLatin1Char('x')) + QChar(0x2026)));
    QVERIFY(arguments.value("long").toString().endsWith("(1000 bytes cut)"));
    QCOMPARE(e.value("program").toString(), QString("vyxctl"));
    // Both programs name their sessions the same way (a UUID).
    QVERIFY(QRegularExpression("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
                .match(QString::fromStdString(writer.session()))
                .hasMatch());
    QVERIFY(QRegularExpression("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
                .match(journal.session())
                .hasMatch());
}

int main(int argc, char **argv) {
    // The child of crashLeavesOutcomeUnknown: an intent, then a crash before any result.
    if (argc == 3 && qstrcmp(argv[1], "--intent-then-abort") == 0) {
        QCoreApplication app(argc, argv);
        Journal journal;
        if (!journal.open(QString::fromLocal8Bit(argv[2])) ||
            journal.recordIntent(kOffice, vyxjournal::kKindConfigurationUpload, {{"file", "/tmp/a.db"}}) <= 0)
            return 2;
        std::abort();
    }
    QCoreApplication app(argc, argv);
    JournalTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_journal.moc"
