#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QSemaphore>
#include <QThread>
#include <QTimer>

#include <atomic>

class QTcpSocket;

// An HTTP server on 127.0.0.1 with its own thread and event loop (so that blocking clients in
// the test thread get their answers). Answers each request with the canned response of its path
// and closes the connection; a path with an empty response gets no answer at all.
class CannedHttpServer : public QThread {
    Q_OBJECT

public:
    CannedHttpServer();
    ~CannedHttpServer() override;

    quint16 port() const { return m_port; }
    void setResponse(const QString &path, const QByteArray &raw);
    // Sends the first `splitAt` bytes at once and the rest a little later, so that the client
    // sees the answer arrive in two parts.
    void setSplitResponse(const QString &path, const QByteArray &raw, int splitAt);
    // Every complete request received (head and body), oldest first.
    QList<QByteArray> requests() const;

    static QByteArray response(const QByteArray &body, const QByteArray &status = "200 OK",
                               bool withLength = true);

protected:
    void run() override;

private:
    void handle(QTcpSocket *socket);

    mutable QMutex m_mutex;
    QHash<QString, QByteArray> m_responses;
    QHash<QString, int> m_splits;
    QList<QByteArray> m_requests;
    QSemaphore m_listening;
    // Atomic because the tools cannot see the semaphore inside Qt that orders it.
    std::atomic<quint16> m_port{0};
};
