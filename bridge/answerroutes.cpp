#include "answerroutes.h"

#include <algorithm>

void AnswerRoutes::add(Kind kind, const QString &callback, const QString &path, qint64 nowMs)
{
    expire(nowMs);
    if (size_t(count(kind)) >= kMaxPerKind) {
        const auto oldest = std::find_if(m_pending.begin(), m_pending.end(),
                                         [kind](const Request &r) { return r.kind == kind; });
        m_pending.erase(oldest);
    }
    m_pending.push_back(Request{kind, callback, path, nowMs});
}

bool AnswerRoutes::take(Kind kind, const QString &answeredPath, qint64 nowMs, Request *request)
{
    expire(nowMs);
    auto found = m_pending.end();
    if (!answeredPath.isEmpty()) {
        found = std::find_if(m_pending.begin(), m_pending.end(), [&](const Request &r) {
            return r.kind == kind && r.path == answeredPath;
        });
    }
    if (found == m_pending.end())
        found = std::find_if(m_pending.begin(), m_pending.end(),
                             [kind](const Request &r) { return r.kind == kind; });
    if (found == m_pending.end())
        return false;
    if (request)
        *request = *found;
    m_pending.erase(found);
    return true;
}

QList<AnswerRoutes::Request> AnswerRoutes::takeAll()
{
    QList<Request> all(m_pending.begin(), m_pending.end());
    m_pending.clear();
    return all;
}

int AnswerRoutes::count(Kind kind) const
{
    return int(std::count_if(m_pending.begin(), m_pending.end(),
                             [kind](const Request &r) { return r.kind == kind; }));
}

void AnswerRoutes::expire(qint64 nowMs)
{
    m_pending.erase(std::remove_if(m_pending.begin(), m_pending.end(),
                                   [nowMs](const Request &r) { return nowMs - r.sentMs > kExpiryMs; }),
                    m_pending.end());
}
