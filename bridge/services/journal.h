#pragma once

#include <QDate>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>

#include <functional>
#include <memory>
#include <unordered_map>

namespace vyxjournal {
class Writer;
}

// The server a journal record is about: its saved name (the address when it has none), its
// address as host:port, and the user logged in to it.
struct JournalServer {
    QString site;
    QString address;
    QString user;
};

// How a service records its changes in the journal its owner keeps (the owner names the server).
// `result` writes once: it clears the intent, so a later answer to the same request adds nothing.
struct JournalRecorder {
    std::function<qint64(const char *kind, const QJsonObject &arguments)> intent;
    std::function<void(qint64 &intent, const char *outcome, const QString &result)> result;
};

// Which records to read back: empty members select everything.
struct JournalFilter {
    QString site;
    QString kind;
    QDate from; // local dates, both included
    QDate to;
    int limit = 5000; // what the Journal view lists; 0 for every record
};

// One intent of a batch written at once.
struct JournalIntent {
    JournalServer server;
    QString kind;
    QJsonObject arguments;
};

// The manager's side of the journal of changes made to servers (the layout is in journalschema.h;
// the writing, reading and exporting are the Qt-free vyxjournal classes that vyxctl uses too): an
// append-only SQLite file in WAL mode, by default $XDG_DATA_HOME/vyxdesk/journal.sqlite.
//
// A change is recorded in two steps: recordIntent() before the request leaves, recordResult()
// when its answer arrives. A record that cannot be written is reported through writeFailed() with
// the reason, every time; the caller decides what the user sees.
//
// The GUI thread queues its records instead (queueIntent, queueResult): they are written in order
// on the journal's own thread, so that the window never waits for the file, whose busy time-out
// (another program writing) is seconds.
class Journal : public QObject {
    Q_OBJECT

public:
    // `program` names the writer in every record ("vyxdesk"; vyxctl writes "vyxctl").
    explicit Journal(const QString &program = QStringLiteral("vyxdesk"), QObject *parent = nullptr);
    ~Journal() override;

    // $XDG_DATA_HOME/vyxdesk/journal.sqlite (the platform's generic data folder elsewhere).
    static QString defaultPath();

    // Opens (creating folder, file and tables when missing). False, with writeFailed() emitted and
    // lastError() set, when the file cannot be opened or set up, or has a newer layout; the next
    // record tries again.
    bool open(const QString &path = defaultPath());
    bool isOpen() const;
    QString path() const { return m_path; }
    QString lastError() const { return m_lastError; }
    // This run's session: intents of this session without a result are pending, not unknown.
    QString session() const;

    // Writes the intent; its id for recordResult(), or 0 when it could not be written.
    qint64 recordIntent(const JournalServer &server, const QString &kind, const QJsonObject &arguments);
    // Writes every intent in one transaction: their ids in order, or an empty list when none
    // could be written.
    QList<qint64> recordIntents(const QList<JournalIntent> &intents);
    // Writes the result of intent `intent` (outcome: one of the vyxjournal::kOutcome... texts). An
    // intent id of 0 (its intent was not written) writes nothing and returns false.
    bool recordResult(qint64 intent, const QString &outcome, const QString &result);

    // Queued records, written in the order queued on the journal's own thread. queueIntent answers
    // at once with a ticket (never 0) that queueResult takes in place of the intent's id; the result
    // of an intent that could not be written is not written either. Failures reach writeFailed()
    // on this object's thread, as the others do.
    qint64 queueIntent(const JournalServer &server, const QString &kind, const QJsonObject &arguments);
    // The batch in one transaction, as recordIntents does: one ticket per intent, in order.
    QList<qint64> queueIntents(const QList<JournalIntent> &intents);
    void queueResult(qint64 ticket, const QString &outcome, const QString &result);
    // Waits until every queued record is written or has failed. Readers call it first.
    void flush() const;

    // Intents with their outcome, newest first: objects with id, time, completed (UTC ISO 8601),
    // program, site, address, user, kind, arguments (object), outcome and result.
    QJsonArray entries(const JournalFilter &filter = JournalFilter()) const;
    // The sites named in the journal, sorted.
    QStringList sites() const;
    // Every record the filter selects (its limit does not apply) into `path` as "csv" or "json";
    // the number written, or -1 with the reason in `error`.
    qint64 exportTo(const QString &format, const JournalFilter &filter, const QString &path,
                    QString *error) const;

signals:
    void writeFailed(const QString &reason);

private:
    bool ensureOpen();
    void fail(const QString &reason);
    // On the journal's thread: the file open for writing (opened there when it is not); a failure
    // is reported.
    bool openForQueue(const std::string &path);
    void reportFromQueue(const std::string &reason);

    QString m_program;
    std::unique_ptr<vyxjournal::Writer> m_writer;
    QString m_path;
    QString m_lastError;
    qint64 m_lastTicket = 0;
    // Ticket -> the intent's row (0 when it was not written); the journal's thread alone uses it.
    std::unordered_map<qint64, int64_t> m_rows;
    // One thread, so records are written in the order queued. Last: it ends first.
    mutable QThreadPool m_queue;
};
