#pragma once

#include <QList>
#include <QString>

#include <map>

// The command lines the bridge has sent and not yet seen answered, each with what its answer is
// for. Every command line gets an entry, also those whose answer nobody reads, so that the
// connector's reply queue (which hands back the tag given here) stays in step with the server.
class CommandLineRequests {
public:
    enum class Kind {
        Unread,          // nobody reads the answer (logic restart, gateway, ...)
        Console,         // VYXConsole: {"status": info} to its callback
        Guardian,        // VYXGuardian: {"status": info} to its callback
        Execute,         // VYXExecute: the info text to its callback
        PluginOwnership, // plug-in install: answer to the ownership change
        PluginRemoval,   // plug-in install: answer to the archive removal
    };

    struct Request {
        Kind kind = Kind::Unread;
        QString callback;
    };

    // More than this are never answered in practice; the oldest go first (as in the reply queue).
    static constexpr size_t kMaxPending = 4096;

    // Records a request and returns its tag.
    QString add(Kind kind, const QString &callback);
    // Takes the request of `tag`; false when there is none (unknown, empty or forgotten tag).
    bool take(const QString &tag, Request *request);
    void clear() { m_pending.clear(); }
    // Every request still waiting, oldest first; none waits any more.
    QList<Request> takeAll();
    size_t count() const { return m_pending.size(); }

private:
    quint64 m_next = 1;
    std::map<quint64, Request> m_pending;
};
