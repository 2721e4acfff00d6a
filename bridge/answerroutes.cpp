#include "answerroutes.h"

#include <algorithm>

namespace {

// The same path as the server may write it back: without "./" in front or "/" at the end.
QString normalPath(QString path) {
    while (path.startsWith(QLatin1String("./")))
        path.remove(0, 2);
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

} // namespace

void AnswerRoutes::add(Kind kind, const QString &callback, const QString &path, qint64 nowMs,
                       qint64 journalEntry) {
    expire(nowMs);
    if (size_t(count(kind)) >= kMaxPerKind) {
        const auto oldest = std::find_if(m_pending.begin(), m_pending.end(),
                                         [kind](const Request &r) { return r.kind == kind; });
        m_pending.erase(oldest);
    }
    m_pending.push_back(Request{kind, callback, path, nowMs, journalEntry});
}

bool AnswerRoutes::take(Kind kind, const QString &answeredPath, qint64 nowMs, Request *request) {
    expire(nowMs);
    auto found = m_pending.end();
    if (!answeredPath.isEmpty()) {
        // An answer that names a path no request named is someone else's (a transfer's temporary
        // file, say): it is not handed to a request that happens to wait.
        const QString answered = normalPath(answeredPath);
        found = std::find_if(m_pending.begin(), m_pending.end(), [&](const Request &r) {
            return r.kind == kind && normalPath(r.path) == answered;
        });
    } else {
        found = std::find_if(m_pending.begin(), m_pending.end(),
                             [kind](const Request &r) { return r.kind == kind; });
    }
    if (found == m_pending.end())
        return false;
    if (request)
        *request = *found;
    m_pending.erase(found);
    return true;
}

QList<AnswerRoutes::Request> AnswerRoutes::takeAll() {
    QList<Request> all(m_pending.begin(), m_pending.end());
    m_pending.clear();
    return all;
}

int AnswerRoutes::count(Kind kind) const {
    return int(std::count_if(m_pending.begin(), m_pending.end(),
                             [kind](const Request &r) { return r.kind == kind; }));
}

void AnswerRoutes::expire(qint64 nowMs) {
    m_pending.erase(std::remove_if(m_pending.begin(), m_pending.end(),
                                   [nowMs](const Request &r) { return nowMs - r.sentMs > kExpiryMs; }),
                    m_pending.end());
}
