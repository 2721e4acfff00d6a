#include "journal.h"

#include "journalexport.h"
#include "journalreader.h"
#include "journalschema.h"
#include "journalwriter.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QMetaObject>
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
    : QObject(parent), m_program(program), m_writer(new vyxjournal::Writer(utf8(program))) {
    m_queue.setMaxThreadCount(1);
}

Journal::~Journal() {
    // What was queued is written before the file closes.
    m_queue.waitForDone();
}

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
    if (!m_writer->open(utf8(path))) {
        fail(text(m_writer->error()));
        return false;
    }
    m_lastError.clear();
    return true;
}

// The writer says, not a flag of the window's: the journal's own thread may have opened it.
bool Journal::isOpen() const {
    return m_writer->isOpen();
}

bool Journal::ensureOpen() {
    if (isOpen())
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

void Journal::reportFromQueue(const std::string &reason) {
    const QString text = QString::fromStdString(reason);
    QMetaObject::invokeMethod(
        this, [this, text] { fail(text); }, Qt::QueuedConnection);
}

bool Journal::openForQueue(const std::string &path) {
    if (m_writer->isOpen())
        return true;
    if (!m_writer->open(path)) {
        reportFromQueue(m_writer->error());
        return false;
    }
    QMetaObject::invokeMethod(
        this, [this] { m_lastError.clear(); }, Qt::QueuedConnection);
    return true;
}

qint64 Journal::queueIntent(const JournalServer &s, const QString &kind, const QJsonObject &arguments) {
    const qint64 ticket = ++m_lastTicket;
    const std::string path = utf8(m_path.isEmpty() ? defaultPath() : m_path);
    const vyxjournal::Server server = ::server(s);
    const std::string kindText = utf8(kind), argumentsText = compact(arguments);
    m_queue.start([this, ticket, path, server, kindText, argumentsText] {
        const int64_t row =
            openForQueue(path) ? m_writer->intentJson(server, kindText.c_str(), argumentsText) : 0;
        if (row == 0 && m_writer->isOpen())
            reportFromQueue(m_writer->error());
        m_rows[ticket] = row;
    });
    return ticket;
}

QList<qint64> Journal::queueIntents(const QList<JournalIntent> &intents) {
    QList<qint64> tickets;
    std::vector<vyxjournal::Intent> batch;
    for (const JournalIntent &i : intents) {
        tickets << ++m_lastTicket;
        batch.push_back(vyxjournal::Intent{server(i.server), utf8(i.kind), compact(i.arguments)});
    }
    if (batch.empty())
        return tickets;
    const std::string path = utf8(m_path.isEmpty() ? defaultPath() : m_path);
    m_queue.start([this, tickets, batch, path] {
        const std::vector<int64_t> rows =
            openForQueue(path) ? m_writer->intents(batch) : std::vector<int64_t>();
        if (rows.empty() && m_writer->isOpen())
            reportFromQueue(m_writer->error());
        for (int i = 0; i < tickets.size(); ++i)
            m_rows[tickets[i]] = size_t(i) < rows.size() ? rows[size_t(i)] : 0;
    });
    return tickets;
}

void Journal::queueResult(qint64 ticket, const QString &outcome, const QString &result) {
    if (ticket <= 0)
        return;
    const std::string outcomeText = utf8(outcome), resultText = utf8(result);
    m_queue.start([this, ticket, outcomeText, resultText] {
        const auto it = m_rows.find(ticket);
        if (it == m_rows.end())
            return;
        const int64_t row = it->second;
        m_rows.erase(it);
        // An intent that was not written was reported then; its result has no row to go to.
        if (row > 0 && !m_writer->result(row, outcomeText.c_str(), resultText))
            reportFromQueue(m_writer->error());
    });
}

void Journal::flush() const {
    m_queue.waitForDone();
}

QJsonArray Journal::entries(const JournalFilter &filter) const {
    flush();
    QJsonArray out;
    if (!isOpen())
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
    flush();
    QStringList out;
    vyxjournal::Reader reader;
    if (isOpen() && reader.open(utf8(m_path)))
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
    flush();
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
