#include "commandreplyqueue.h"

#include <algorithm>

void CommandReplyQueue::Push(const QString &tag, const QString &commandLine) {
    std::lock_guard<std::mutex> locker(m_lock);
    if (static_cast<int>(m_pending.size()) >= kMaxPending)
        m_pending.pop_front();
    m_pending.push_back(Entry{tag, commandLine});
}

bool CommandReplyQueue::Pop(QString *tag, const QString &answeredCommand) {
    std::lock_guard<std::mutex> locker(m_lock);
    if (m_pending.empty()) {
        if (tag)
            tag->clear();
        return false;
    }
    auto entry = m_pending.begin();
    if (!answeredCommand.isEmpty()) {
        auto match = std::find_if(m_pending.begin(), m_pending.end(),
                                  [&](const Entry &e) { return e.commandLine == answeredCommand; });
        if (match != m_pending.end())
            entry = match;
    }
    if (tag)
        *tag = entry->tag;
    m_pending.erase(entry);
    return true;
}

int CommandReplyQueue::Count() const {
    std::lock_guard<std::mutex> locker(m_lock);
    return static_cast<int>(m_pending.size());
}

void CommandReplyQueue::Clear() {
    std::lock_guard<std::mutex> locker(m_lock);
    m_pending.clear();
}
