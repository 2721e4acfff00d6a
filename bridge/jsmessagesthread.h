#pragma once

#include <QMutex>
#include <QQueue>
#include <QString>
#include <QThread>
#include <QWaitCondition>

// Carries queued page scripts to the GUI thread, one at a time and in queue order. The thread
// sleeps on a wait condition while the queue is empty, so an idle manager costs no CPU here.
class JSMessagesThread : public QThread {
    Q_OBJECT

public:
    explicit JSMessagesThread(QObject *bridge);
    ~JSMessagesThread() override;

    // Appends a script; safe from any thread.
    void enqueue(const QString &script);
    // Makes run() return (scripts still queued are dropped) and waits for it.
    void stop();

    int pendingCount() const;
    QObject *bridge() const { return m_bridge; }

signals:
    void newJSMEssage(QString js);

protected:
    void run() override;

private:
    QObject *const m_bridge;
    mutable QMutex m_mutex;
    QWaitCondition m_wake;
    QQueue<QString> scriptQueue;
    bool m_stopping = false;
};
