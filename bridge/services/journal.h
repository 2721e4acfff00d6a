#pragma once

#include <QDate>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

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
    int limit = 5000;
};

// The journal of changes made to servers (the layout is in journalschema.h): an append-only
// SQLite file in WAL mode, by default $XDG_DATA_HOME/vyxdesk/journal.sqlite.
//
// A change is recorded in two steps: recordIntent() before the request leaves, recordResult()
// when its answer arrives. Withheld arguments (passwords, file contents) are dropped and long texts
// cut before anything is written. A record that cannot be written is reported through
// writeFailed() with the reason, every time; the caller decides what the user sees.
//
// Use one Journal from one thread (Qt SQL connections are bound to the thread that opened them).
class Journal : public QObject {
    Q_OBJECT

public:
    // `program` names the writer in every record ("vyxdesk"; vyxctl writes "vyxctl").
    explicit Journal(const QString &program = QStringLiteral("vyxdesk"), QObject *parent = nullptr);
    ~Journal() override;

    // $XDG_DATA_HOME/vyxdesk/journal.sqlite (the platform's generic data folder elsewhere).
    static QString defaultPath();

    // Opens (creating folder, file and tables when missing). False, with writeFailed() emitted and
    // lastError() set, when the file cannot be opened or set up; the next record tries again.
    bool open(const QString &path = defaultPath());
    bool isOpen() const { return m_open; }
    QString path() const { return m_path; }
    QString lastError() const { return m_lastError; }
    // This run's session: intents of this session without a result are pending, not unknown.
    QString session() const { return m_session; }

    // Writes the intent; its id for recordResult(), or 0 when it could not be written.
    qint64 recordIntent(const JournalServer &server, const QString &kind, const QJsonObject &arguments);
    // Writes the result of intent `intent` (outcome: one of the vyxjournal::kOutcome... texts). An
    // intent id of 0 (its intent was not written) writes nothing and returns false.
    bool recordResult(qint64 intent, const QString &outcome, const QString &result);

    // Intents with their outcome, newest first: objects with id, time, completed (UTC ISO 8601),
    // program, site, address, user, kind, arguments (object), outcome and result.
    QJsonArray entries(const JournalFilter &filter = JournalFilter()) const;
    // The sites named in the journal, sorted.
    QStringList sites() const;

    // Export forms of entries(). CSV: one header line, every cell quoted; a cell that a spreadsheet
    // would read as a formula (starting with = + - @, tab or carriage return) gets a leading '.
    static QByteArray toCsv(const QJsonArray &entries);
    static QByteArray toJson(const QJsonArray &entries);

    // The arguments as they would be written: withheld names dropped, long texts cut.
    static QJsonObject cleanArguments(const QJsonObject &arguments);

signals:
    void writeFailed(const QString &reason);

private:
    bool ensureOpen();
    void fail(const QString &reason);

    QString m_program;
    QString m_connection;
    QString m_session;
    QString m_path;
    QString m_lastError;
    bool m_open = false;
};
