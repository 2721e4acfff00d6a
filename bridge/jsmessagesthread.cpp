#include "jsmessagesthread.h"

#include <QMutexLocker>

JSMessagesThread::JSMessagesThread(QObject *bridge) : QThread(nullptr), m_bridge(bridge) {
    setObjectName(QStringLiteral("JSMessagesThread"));
}

JSMessagesThread::~JSMessagesThread() {
    stop();
}

void JSMessagesThread::enqueue(const QString &script) {
    {
        QMutexLocker lock(&m_mutex);
        if (m_stopping)
            return;
        scriptQueue.enqueue(script);
    }
    m_wake.wakeOne();
}

void JSMessagesThread::stop() {
    {
        QMutexLocker lock(&m_mutex);
        m_stopping = true;
        scriptQueue.clear();
    }
    m_wake.wakeAll();
    if (isRunning())
        wait();
}

int JSMessagesThread::pendingCount() const {
    QMutexLocker lock(&m_mutex);
    return scriptQueue.size();
}

void JSMessagesThread::run() {
    for (;;) {
        QString script;
        {
            QMutexLocker lock(&m_mutex);
            while (scriptQueue.isEmpty() && !m_stopping)
                m_wake.wait(&m_mutex);
            if (m_stopping)
                return;
            script = scriptQueue.dequeue();
        }
        // Emitted without the lock: the queued connection copies the text into an event for the
        // GUI thread, and signals posted from this one thread keep their order.
        emit newJSMEssage(script);
    }
}
