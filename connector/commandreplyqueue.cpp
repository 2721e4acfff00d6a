#include "commandreplyqueue.h"

#include <QMutexLocker>

void CommandReplyQueue::Push(const QString& tag) {
  QMutexLocker locker(&m_lock);
  if (static_cast<int>(m_pending.size()) >= kMaxPending) m_pending.pop_front();
  m_pending.push_back(tag);
}

bool CommandReplyQueue::Pop(QString* tag) {
  QMutexLocker locker(&m_lock);
  if (m_pending.empty()) {
    if (tag) tag->clear();
    return false;
  }
  if (tag) *tag = m_pending.front();
  m_pending.pop_front();
  return true;
}

int CommandReplyQueue::Count() const {
  QMutexLocker locker(&m_lock);
  return static_cast<int>(m_pending.size());
}

void CommandReplyQueue::Clear() {
  QMutexLocker locker(&m_lock);
  m_pending.clear();
}
