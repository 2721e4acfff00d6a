#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

// Hands progress reports (of a transfer, of a long job) on at most once per interval: a page redrawn
// for every block of a fast transfer would do nothing else. A report that comes too soon waits,
// and a newer one replaces it; the end report goes at once and takes the place of any that waits,
// so the page sees every end, and nothing of it after its end.
class ProgressThrottle : public QObject {
    Q_OBJECT

public:
    using Deliver = std::function<void(const QString &report)>;
    using Clock = std::function<qint64()>; // milliseconds, never going back

    static constexpr int kIntervalMs = 50; // about 20 reports a second

    explicit ProgressThrottle(Deliver deliver, Clock clock = Clock(), QObject *parent = nullptr);

    void report(const QString &json);
    void end(const QString &json);
    // Forgets a report that waits (a new transfer starts).
    void clear();
    // Hands on the report that waits, if any (its timer's end).
    void flush();
    bool waiting() const { return m_held; }

private:
    void deliverNow(const QString &json);

    Deliver m_deliver;
    Clock m_clock;
    QTimer m_timer;
    QString m_waiting;
    bool m_held = false;
    qint64 m_last = 0;
    bool m_any = false;
};
