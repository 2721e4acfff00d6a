#pragma once
// Pending command-line requests, oldest first, so that each answer reaches the request it answers,
// once. The bridge pushes an entry for EVERY command line it sends (also those whose answer nobody
// reads); the connector takes one entry per answer and emits its tag with the answer.
//
// Matching: when the answer names the command line it ran (its "cmd" member) and a pending entry
// was pushed with that same command line, the oldest such entry is taken; otherwise the oldest
// entry is taken (the server answers in the order it received the commands). Matching by command
// line keeps the queue in step when an answer is lost, e.g. swallowed by a configuration upload
// that was running when it arrived.
//
// Thread-safe: the bridge pushes on the GUI thread, the connector takes on the SDK reader thread.
#include <QString>

#include <deque>
#include <mutex>

class CommandReplyQueue {
public:
    // More pending requests than this are unanswerable in practice; the oldest is dropped first.
    static constexpr int kMaxPending = 4096;

    void Push(const QString &tag, const QString &commandLine = QString());
    // Takes the entry that the answer to `answeredCommand` (may be empty) belongs to and stores its
    // tag in *tag; false (and *tag emptied) when nothing is pending.
    bool Pop(QString *tag, const QString &answeredCommand = QString());
    int Count() const;
    // Forgets every pending request (their answers can no longer come, e.g. the connection dropped).
    void Clear();

private:
    struct Entry {
        QString tag;
        QString commandLine;
    };
    mutable std::mutex m_lock; // std::mutex, so thread checkers see the ordering
    std::deque<Entry> m_pending;
};
