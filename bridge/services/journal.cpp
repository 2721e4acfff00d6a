#include "journal.h"

#include "journalschema.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QUuid>
#include <QVariant>

Q_LOGGING_CATEGORY(lcJournal, "vyx.journal", QtWarningMsg)

namespace {

// A locked file (another program writing) is waited for this long before the write counts as
// failed.
const char kConnectOptions[] = "QSQLITE_BUSY_TIMEOUT=2000";

QString nowUtc() {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

QString cut(const QString &text) {
    if (text.size() <= vyxjournal::kMaxTextLength)
        return text;
    return text.left(vyxjournal::kMaxTextLength) +
           QStringLiteral("… (%1 characters cut)").arg(text.size() - vyxjournal::kMaxTextLength);
}

bool withheld(const QString &name) {
    for (const char *w : vyxjournal::kWithheldArguments)
        if (name.compare(QLatin1String(w), Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

QJsonValue cleanValue(const QJsonValue &value);

QJsonObject cleanObject(const QJsonObject &object) {
    QJsonObject clean;
    for (auto it = object.begin(); it != object.end(); ++it)
        if (!withheld(it.key()))
            clean.insert(it.key(), cleanValue(it.value()));
    return clean;
}

QJsonValue cleanValue(const QJsonValue &value) {
    if (value.isString())
        return cut(value.toString());
    if (value.isObject())
        return cleanObject(value.toObject());
    if (value.isArray()) {
        QJsonArray clean;
        for (const QJsonValue &v : value.toArray())
            clean.append(cleanValue(v));
        return clean;
    }
    return value;
}

// Local date bounds as UTC texts comparable with the stored times.
QString utcStartOf(const QDate &date) {
    return QDateTime(date, QTime(0, 0)).toUTC().toString(Qt::ISODateWithMs);
}

QString csvCell(const QString &text) {
    QString cell = text;
    if (!cell.isEmpty()) {
        const QChar first = cell.at(0);
        if (first == QLatin1Char('=') || first == QLatin1Char('+') || first == QLatin1Char('-') ||
            first == QLatin1Char('@') || first == QLatin1Char('\t') || first == QLatin1Char('\r'))
            cell.prepend(QLatin1Char('\''));
    }
    cell.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + cell + QLatin1Char('"');
}

} // namespace

Journal::Journal(const QString &program, QObject *parent)
    : QObject(parent), m_program(program),
      m_connection(QStringLiteral("vyx-journal-") + QUuid::createUuid().toString(QUuid::WithoutBraces)),
      m_session(QUuid::createUuid().toString(QUuid::WithoutBraces)) {}

Journal::~Journal() {
    if (QSqlDatabase::contains(m_connection)) {
        QSqlDatabase::database(m_connection, false).close();
        QSqlDatabase::removeDatabase(m_connection);
    }
}

QString Journal::defaultPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/vyxdesk/journal.sqlite");
}

void Journal::fail(const QString &reason) {
    m_lastError = reason;
    qCWarning(lcJournal).noquote() << reason;
    emit writeFailed(reason);
}

bool Journal::open(const QString &path) {
    m_path = path;
    m_open = false;
    if (QSqlDatabase::contains(m_connection)) {
        QSqlDatabase::database(m_connection, false).close();
        QSqlDatabase::removeDatabase(m_connection);
    }
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) {
        fail(QStringLiteral("The journal cannot be written: the folder %1 cannot be created.").arg(folder));
        return false;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    db.setDatabaseName(path);
    db.setConnectOptions(QLatin1String(kConnectOptions));
    if (!db.open()) {
        fail(QStringLiteral("The journal %1 cannot be opened: %2").arg(path, db.lastError().text()));
        return false;
    }
    QSqlQuery query(db);
    // WAL: readers (the Journal view, an export) never block the writer, and a crash mid-write
    // leaves the file whole.
    if (!query.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !query.next() ||
        query.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
        fail(QStringLiteral("The journal %1 cannot be set up (WAL mode): %2")
                 .arg(path, query.lastError().text()));
        db.close();
        return false;
    }
    for (const char *statement : vyxjournal::kSchema) {
        if (!query.exec(QLatin1String(statement))) {
            fail(QStringLiteral("The journal %1 cannot be set up: %2").arg(path, query.lastError().text()));
            db.close();
            return false;
        }
    }
    m_open = true;
    m_lastError.clear();
    return true;
}

bool Journal::ensureOpen() {
    if (m_open)
        return true;
    return open(m_path.isEmpty() ? defaultPath() : m_path);
}

qint64 Journal::recordIntent(const JournalServer &server, const QString &kind, const QJsonObject &arguments) {
    if (!ensureOpen())
        return 0;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QLatin1String(vyxjournal::kInsertIntent));
    query.addBindValue(m_session);
    query.addBindValue(nowUtc());
    query.addBindValue(m_program);
    query.addBindValue(cut(server.site.isEmpty() ? server.address : server.site));
    query.addBindValue(cut(server.address));
    query.addBindValue(cut(server.user));
    query.addBindValue(kind);
    query.addBindValue(
        QString::fromUtf8(QJsonDocument(cleanArguments(arguments)).toJson(QJsonDocument::Compact)));
    if (!query.exec()) {
        fail(QStringLiteral("The journal could not record the %1 on %2 before sending it: %3")
                 .arg(kind, server.address, query.lastError().text()));
        return 0;
    }
    return query.lastInsertId().toLongLong();
}

bool Journal::recordResult(qint64 intent, const QString &outcome, const QString &result) {
    if (intent <= 0 || !ensureOpen())
        return false;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QLatin1String(vyxjournal::kInsertResult));
    query.addBindValue(nowUtc());
    query.addBindValue(outcome);
    query.addBindValue(cut(result));
    query.addBindValue(intent);
    if (!query.exec() || query.numRowsAffected() != 1) {
        fail(QStringLiteral("The journal could not record the result (%1) of entry %2: %3")
                 .arg(outcome)
                 .arg(intent)
                 .arg(query.lastError().isValid() ? query.lastError().text()
                                                  : QStringLiteral("no such entry")));
        return false;
    }
    return true;
}

QJsonObject Journal::cleanArguments(const QJsonObject &arguments) {
    return cleanObject(arguments);
}

QJsonArray Journal::entries(const JournalFilter &filter) const {
    QJsonArray out;
    if (!m_open)
        return out;
    QString sql = QStringLiteral(
        "SELECT i.id, i.time, i.program, i.site, i.address, i.user, i.kind, i.arguments, i.session,"
        " r.time, r.outcome, r.result FROM journal i"
        " LEFT JOIN journal r ON r.intent = i.id AND r.entry = 'result'"
        " WHERE i.entry = 'intent'");
    QVariantList binds;
    if (!filter.site.isEmpty()) {
        sql += QStringLiteral(" AND i.site = ?");
        binds << filter.site;
    }
    if (!filter.kind.isEmpty()) {
        sql += QStringLiteral(" AND i.kind = ?");
        binds << filter.kind;
    }
    if (filter.from.isValid()) {
        sql += QStringLiteral(" AND i.time >= ?");
        binds << utcStartOf(filter.from);
    }
    if (filter.to.isValid()) {
        sql += QStringLiteral(" AND i.time < ?");
        binds << utcStartOf(filter.to.addDays(1));
    }
    sql += QStringLiteral(" ORDER BY i.id DESC LIMIT ?");
    binds << (filter.limit > 0 ? filter.limit : -1);

    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    query.prepare(sql);
    for (const QVariant &b : binds)
        query.addBindValue(b);
    if (!query.exec()) {
        qCWarning(lcJournal).noquote() << "journal read failed:" << query.lastError().text();
        return out;
    }
    while (query.next()) {
        QString outcome = query.value(10).toString();
        if (query.value(10).isNull())
            outcome = QLatin1String(query.value(8).toString() == m_session ? vyxjournal::kOutcomePending
                                                                           : vyxjournal::kOutcomeUnknown);
        QJsonObject e;
        e.insert(QStringLiteral("id"), query.value(0).toLongLong());
        e.insert(QStringLiteral("time"), query.value(1).toString());
        e.insert(QStringLiteral("program"), query.value(2).toString());
        e.insert(QStringLiteral("site"), query.value(3).toString());
        e.insert(QStringLiteral("address"), query.value(4).toString());
        e.insert(QStringLiteral("user"), query.value(5).toString());
        e.insert(QStringLiteral("kind"), query.value(6).toString());
        e.insert(QStringLiteral("arguments"),
                 QJsonDocument::fromJson(query.value(7).toString().toUtf8()).object());
        e.insert(QStringLiteral("completed"), query.value(9).toString());
        e.insert(QStringLiteral("outcome"), outcome);
        e.insert(QStringLiteral("result"), query.value(11).toString());
        out.append(e);
    }
    return out;
}

QStringList Journal::sites() const {
    QStringList out;
    if (!m_open)
        return out;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (query.exec(QStringLiteral("SELECT DISTINCT site FROM journal WHERE entry = 'intent' ORDER BY site")))
        while (query.next())
            out << query.value(0).toString();
    return out;
}

QByteArray Journal::toCsv(const QJsonArray &entries) {
    static const char *const columns[] = {"id",   "time",      "site",    "address", "user",     "program",
                                          "kind", "arguments", "outcome", "result",  "completed"};
    QStringList lines;
    QStringList header;
    for (const char *c : columns)
        header << QLatin1String(c);
    lines << header.join(QLatin1Char(','));
    for (const QJsonValue &v : entries) {
        const QJsonObject e = v.toObject();
        QStringList cells;
        for (const char *c : columns) {
            const QJsonValue cell = e.value(QLatin1String(c));
            QString text;
            if (cell.isObject())
                text = QString::fromUtf8(QJsonDocument(cell.toObject()).toJson(QJsonDocument::Compact));
            else if (cell.isDouble())
                text = QString::number(qint64(cell.toDouble()));
            else
                text = cell.toString();
            cells << csvCell(text);
        }
        lines << cells.join(QLatin1Char(','));
    }
    return (lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8();
}

QByteArray Journal::toJson(const QJsonArray &entries) {
    return QJsonDocument(entries).toJson(QJsonDocument::Indented);
}
