#pragma once
// Pending command-line requests, oldest first. The server answers command lines in the order
// they were sent and its answers carry no request identifier, so the n-th answer belongs to the
// n-th request still pending. The bridge pushes a tag for EVERY command line it sends (also those
// whose answer nobody reads); the connector pops one tag per answer and emits it with the answer.
// Thread-safe: the bridge pushes on the GUI thread, the connector pops on the SDK reader thread.
#include <QMutex>
#include <QString>

#include <deque>

class CommandReplyQueue {
public:
  // Pending requests beyond this are unanswerable in practice; the oldest is dropped first.
  static constexpr int kMaxPending = 4096;

  void Push(const QString& tag);
  // Removes the oldest pending tag into *tag; false (and *tag emptied) when nothing is pending.
  bool Pop(QString* tag);
  int Count() const;
  // Forgets every pending request (their answers can no longer come, e.g. the connection dropped).
  void Clear();

private:
  mutable QMutex m_lock;
  std::deque<QString> m_pending;
};
