// The journal of changes: the bridge records every request that changes a server (intent before it
// leaves, result when its answer arrives) and offers the records to the page's Journal view.
#include "js.h"

#include "journalschema.h"

#include <QJsonDocument>

namespace {

JournalFilter filterFrom(const QString &json) {
    const QJsonObject f = QJsonDocument::fromJson(json.toUtf8()).object();
    JournalFilter filter;
    filter.site = f.value(QStringLiteral("site")).toString();
    filter.kind = f.value(QStringLiteral("kind")).toString();
    filter.from = QDate::fromString(f.value(QStringLiteral("from")).toString(), Qt::ISODate);
    filter.to = QDate::fromString(f.value(QStringLiteral("to")).toString(), Qt::ISODate);
    return filter;
}

QString compact(const QJsonObject &object) {
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

} // namespace

void JS::openJournal() {
    connect(&journal, &Journal::writeFailed, this, [this](const QString &reason) {
        if (!journalCallback.isEmpty())
            queueStringCall(journalCallback, reason);
    });
    journal.open();
}

// Queued: the record is written on the journal's own thread, never while the window waits.
qint64 JS::journalIntent(const char *kind, const QJsonObject &arguments) {
    return journal.queueIntent(journalServer, QLatin1String(kind), arguments);
}

// Records the result once: the intent is cleared, so a later answer to the same request adds
// nothing.
void JS::journalResult(qint64 &intent, const char *outcome, const QString &result) {
    if (intent > 0)
        journal.queueResult(intent, QLatin1String(outcome), result);
    intent = 0;
}

JournalRecorder JS::journalRecorder() {
    JournalRecorder recorder;
    recorder.intent = [this](const char *kind, const QJsonObject &arguments) {
        return journalIntent(kind, arguments);
    };
    recorder.result = [this](qint64 &intent, const char *outcome, const QString &result) {
        journalResult(intent, outcome, result);
    };
    return recorder;
}

void JS::journalWatch(QString callback) {
    journalCallback = callback;
    // A journal that could not be opened at start is told at once.
    if (!journal.isOpen() && !journal.lastError().isEmpty())
        queueStringCall(journalCallback, journal.lastError());
}

void JS::journalSetSite(QString name) {
    journalServer.site = name.trimmed();
}

QString JS::journalEntries(QString filterJson) {
    QJsonObject answer;
    answer.insert(QStringLiteral("entries"), journal.entries(filterFrom(filterJson)));
    answer.insert(QStringLiteral("sites"), QJsonArray::fromStringList(journal.sites()));
    answer.insert(QStringLiteral("path"), journal.path());
    answer.insert(QStringLiteral("error"), journal.isOpen() ? QString() : journal.lastError());
    return compact(answer);
}

QString JS::journalExport(QString format, QString filterJson, QString path) {
    // Streamed from the file: every matching record, however many.
    QString error;
    const qint64 count = journal.exportTo(format, filterFrom(filterJson), path, &error);
    if (count < 0)
        return compact({{QStringLiteral("error"), error}});
    return compact({{QStringLiteral("count"), double(count)}, {QStringLiteral("path"), path}});
}
