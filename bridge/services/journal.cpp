#include "journal.h"

#include "journalexport.h"
#include "journalreader.h"
#include "journalschema.h"
#include "journalwriter.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QStandardPaths>

Q_LOGGING_CATEGORY(lcJournal, "vyx.journal", QtWarningMsg)

namespace {

std::string utf8(const QString &text) {
    return text.toUtf8().toStdString();
}

QString text(const std::string &s) {
    return QString::fromUtf8(s.data(), int(s.size()));
}

vyxjournal::Server server(const JournalServer &s) {
    return vyxjournal::Server{utf8(s.site), utf8(s.address), utf8(s.user)};
}

std::string compact(const QJsonObject &object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

// Local date bounds as UTC texts comparable with the stored times.
std::string utcStartOf(const QDate &date) {
    return utf8(QDateTime(date, QTime(0, 0)).toUTC().toString(Qt::ISODateWithMs));
}

vyxjournal::Filter plainFilter(const JournalFilter &filter) {
    vyxjournal::Filter f;
    f.site = utf8(filter.site);
    f.kind = utf8(filter.kind);
    if (filter.from.isValid())
        f.fromUtc = utcStartOf(filter.from);
    if (filter.to.isValid())
        f.toUtc = utcStartOf(filter.to.addDays(1));
    f.limit = filter.limit > 0 ? filter.limit : 0;
    return f;
}

QJsonObject entryObject(const vyxjournal::Entry &e) {
    return QJsonObject{{QStringLiteral("id"), double(e.id)},
                       {QStringLiteral("time"), text(e.time)},
                       {QStringLiteral("program"), text(e.program)},
                       {QStringLiteral("site"), text(e.site)},
                       {QStringLiteral("address"), text(e.address)},
                       {QStringLiteral("user"), text(e.user)},
                       {QStringLiteral("kind"), text(e.kind)},
                       {QStringLiteral("arguments"),
                        QJsonDocument::fromJson(QByteArray::fromStdString(e.arguments)).object()},
                       {QStringLiteral("completed"), text(e.completed)},
                       {QStringLiteral("outcome"), text(e.outcome)},
                       {QStringLiteral("result"), text(e.result)}};
}

} // namespace

Journal::Journal(const QString &program, QObject *parent)
    : QObject(parent), m_program(program), m_writer(new vyxjournal::Writer(utf8(program))) {}

Journal::~Journal() = default;

QString Journal::defaultPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/vyxdesk/journal.sqlite");
}

QString Journal::session() const {
    return text(m_writer->session());
}

void Journal::fail(const QString &reason) {
    m_lastError = reason;
    qCWarning(lcJournal).noquote() << reason;
    emit writeFailed(reason);
}

bool Journal::open(const QString &path) {
    m_path = path;
    m_open = m_writer->open(utf8(path));
    if (!m_open) {
        fail(text(m_writer->error()));
        return false;
    }
    m_lastError.clear();
    return true;
}

bool Journal::ensureOpen() {
    if (m_open)
        return true;
    return open(m_path.isEmpty() ? defaultPath() : m_path);
}

qint64 Journal::recordIntent(const JournalServer &s, const QString &kind, const QJsonObject &arguments) {
    if (!ensureOpen())
        return 0;
    const qint64 id = m_writer->intentJson(server(s), utf8(kind).c_str(), compact(arguments));
    if (id == 0)
        fail(text(m_writer->error()));
    return id;
}

QList<qint64> Journal::recordIntents(const QList<JournalIntent> &intents) {
    QList<qint64> out;
    if (intents.isEmpty() || !ensureOpen())
        return out;
    std::vector<vyxjournal::Intent> batch;
    for (const JournalIntent &i : intents)
        batch.push_back(vyxjournal::Intent{server(i.server), utf8(i.kind), compact(i.arguments)});
    const std::vector<int64_t> ids = m_writer->intents(batch);
    if (ids.empty())
        fail(text(m_writer->error()));
    for (int64_t id : ids)
        out << qint64(id);
    return out;
}

bool Journal::recordResult(qint64 intent, const QString &outcome, const QString &result) {
    if (intent <= 0 || !ensureOpen())
        return false;
    if (m_writer->result(intent, utf8(outcome).c_str(), utf8(result)))
        return true;
    fail(text(m_writer->error()));
    return false;
}

QJsonArray Journal::entries(const JournalFilter &filter) const {
    QJsonArray out;
    if (!m_open)
        return out;
    vyxjournal::Reader reader(m_writer->session());
    if (!reader.open(utf8(m_path)) ||
        !reader.forEach(plainFilter(filter), [&out](const vyxjournal::Entry &e) {
            out.append(entryObject(e));
            return true;
        }))
        qCWarning(lcJournal).noquote() << "journal read failed:" << text(reader.error());
    return out;
}

QStringList Journal::sites() const {
    QStringList out;
    vyxjournal::Reader reader;
    if (m_open && reader.open(utf8(m_path)))
        for (const std::string &s : reader.sites())
            out << text(s);
    return out;
}

qint64 Journal::exportTo(const QString &format, const JournalFilter &filter, const QString &path,
                         QString *error) const {
    if (format != QLatin1String("csv") && format != QLatin1String("json")) {
        *error = QStringLiteral("Unknown export format: ") + format;
        return -1;
    }
    vyxjournal::Reader reader(m_writer->session());
    if (!reader.open(utf8(m_path.isEmpty() ? defaultPath() : m_path))) {
        *error = QStringLiteral("The journal could not be read: ") + text(reader.error());
        return -1;
    }
    JournalFilter every = filter;
    every.limit = 0;
    std::string why;
    const int64_t count = vyxjournal::exportJournal(
        reader, plainFilter(every),
        format == QLatin1String("csv") ? vyxjournal::ExportFormat::Csv : vyxjournal::ExportFormat::Json,
        utf8(path), why);
    if (count < 0)
        *error = text(why);
    return count;
}
