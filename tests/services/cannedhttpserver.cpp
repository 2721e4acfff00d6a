#include "cannedhttpserver.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

CannedHttpServer::CannedHttpServer() {
    start();
    m_listening.acquire();
}

CannedHttpServer::~CannedHttpServer() {
    quit();
    wait();
}

void CannedHttpServer::setResponse(const QString &path, const QByteArray &raw) {
    QMutexLocker lock(&m_mutex);
    m_responses.insert(path, raw);
}

void CannedHttpServer::setSplitResponse(const QString &path, const QByteArray &raw, int splitAt) {
    QMutexLocker lock(&m_mutex);
    m_responses.insert(path, raw);
    m_splits.insert(path, splitAt);
}

QList<QByteArray> CannedHttpServer::requests() const {
    QMutexLocker lock(&m_mutex);
    return m_requests;
}

QByteArray CannedHttpServer::response(const QByteArray &body, const QByteArray &status, bool withLength) {
    QByteArray raw = "HTTP/1.1 " + status + "\r\nConnection: close\r\n";
    if (withLength)
        raw += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    return raw + "\r\n" + body;
}

void CannedHttpServer::run() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    m_port = server.serverPort();
    connect(&server, &QTcpServer::newConnection, &server, [this, &server] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { handle(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    m_listening.release();
    exec();
}

void CannedHttpServer::handle(QTcpSocket *socket) {
    QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
    socket->setProperty("buffer", buffer);
    const int headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return;
    qint64 length = 0;
    for (const QByteArray &line : buffer.left(headEnd).split('\n')) {
        if (line.toLower().startsWith("content-length:"))
            length = line.mid(15).trimmed().toLongLong();
    }
    if (buffer.size() < headEnd + 4 + length)
        return;
    socket->setProperty("buffer", QByteArray());

    const QList<QByteArray> requestLine = buffer.left(buffer.indexOf("\r\n")).split(' ');
    const QByteArray target = requestLine.value(1);
    const QString path = target.startsWith("http") ? QUrl(QString::fromUtf8(target)).path()
                                                   : QString::fromUtf8(target.split('?').first());
    QByteArray answer = response("not found", "404 Not Found");
    int splitAt = -1;
    {
        QMutexLocker lock(&m_mutex);
        m_requests.append(buffer);
        answer = m_responses.value(path, answer);
        splitAt = m_splits.value(path, -1);
    }
    if (answer.isEmpty())
        return;
    if (splitAt < 0) {
        socket->write(answer);
        socket->disconnectFromHost();
        return;
    }
    socket->write(answer.left(splitAt));
    QTimer::singleShot(300, socket, [socket, rest = answer.mid(splitAt)] {
        socket->write(rest);
        socket->disconnectFromHost();
    });
}
