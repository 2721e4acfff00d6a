#include "progressthrottle.h"

#include <QDateTime>

ProgressThrottle::ProgressThrottle(Deliver deliver, Clock clock, QObject *parent)
    : QObject(parent), m_deliver(std::move(deliver)), m_clock(std::move(clock)) {
    if (!m_clock)
        m_clock = [] { return QDateTime::currentMSecsSinceEpoch(); };
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &ProgressThrottle::flush);
}

void ProgressThrottle::deliverNow(const QString &json) {
    m_last = m_clock();
    m_any = true;
    m_deliver(json);
}

void ProgressThrottle::report(const QString &json) {
    const qint64 since = m_clock() - m_last;
    if (!m_any || since >= kIntervalMs) {
        clear();
        deliverNow(json);
        return;
    }
    m_waiting = json;
    m_held = true;
    if (!m_timer.isActive())
        m_timer.start(int(kIntervalMs - since));
}

void ProgressThrottle::end(const QString &json) {
    clear();
    deliverNow(json);
}

void ProgressThrottle::clear() {
    m_timer.stop();
    m_waiting.clear();
    m_held = false;
}

void ProgressThrottle::flush() {
    if (!m_held)
        return;
    const QString json = m_waiting;
    clear();
    deliverNow(json);
}
