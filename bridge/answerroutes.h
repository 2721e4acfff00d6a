#pragma once

#include <QList>
#include <QString>

#include <deque>

// The folder, file and database requests the bridge has sent and not yet seen answered, each with
// the page callback that waits for its answer. An answer reaches only a request of its own kind,
// and only once: when the answer names a path, the oldest one that named that path (none: the
// answer is not for any of them); an answer without a path goes to the oldest of its kind (the
// server answers one channel in order).
//
// A request whose answer was lost would hold every later answer of its kind one step behind: so
// a request is forgotten once it is older than kExpiryMs (well past the page's own time-out).
class AnswerRoutes {
public:
    enum class Kind { FolderCreate, FolderDelete, FileDelete, DatabaseMd5 };

    struct Request {
        Kind kind = Kind::FolderCreate;
        QString callback;
        QString path;
        qint64 sentMs = 0;
        qint64 journalEntry = 0; // its intent in the journal of changes; 0: none
    };

    static constexpr qint64 kExpiryMs = 60000;
    // More waiting requests of one kind than this are not answered in practice; the oldest goes.
    static constexpr size_t kMaxPerKind = 256;

    void add(Kind kind, const QString &callback, const QString &path, qint64 nowMs, qint64 journalEntry = 0);
    // The request an answer of `kind` belongs to; false when none waits (the answer is dropped).
    bool take(Kind kind, const QString &answeredPath, qint64 nowMs, Request *request);
    // Every waiting request, oldest first, and none waits any more (the connection is gone).
    QList<Request> takeAll();
    int count(Kind kind) const;

private:
    void expire(qint64 nowMs);

    std::deque<Request> m_pending;
};
