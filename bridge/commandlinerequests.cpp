#include "commandlinerequests.h"

QString CommandLineRequests::add(Kind kind, const QString &callback) {
    while (m_pending.size() >= kMaxPending)
        m_pending.erase(m_pending.begin());
    const quint64 id = m_next++;
    m_pending[id] = Request{kind, callback};
    return QString::number(id);
}

bool CommandLineRequests::take(const QString &tag, Request *request) {
    bool ok = false;
    const quint64 id = tag.toULongLong(&ok);
    if (!ok)
        return false;
    const auto found = m_pending.find(id);
    if (found == m_pending.end())
        return false;
    if (request)
        *request = found->second;
    m_pending.erase(found);
    return true;
}

QList<CommandLineRequests::Request> CommandLineRequests::takeAll() {
    QList<Request> all;
    for (const auto &entry : m_pending)
        all.append(entry.second);
    m_pending.clear();
    return all;
}
