#include "desktunnel.h"

#include "sshtunnel.h"

#include <QCoreApplication>
#include <QPointer>

namespace {

constexpr int kOpenTimeoutMs = 20000;

QString &configFile() {
    static QString path;
    return path;
}

} // namespace

DeskTunnel::DeskTunnel(QObject *parent) : QObject(parent) {}

DeskTunnel::~DeskTunnel() {
    ++m_attempt;
    // An opening still running ends within its time-out; its tunnel is stopped where it finishes.
    for (std::thread &opener : m_openers)
        opener.join();
    stop();
}

void DeskTunnel::setConfigFile(const QString &path) {
    configFile() = path;
}

bool DeskTunnel::open(const QString &url, const QString &serverHost, int serverPort, QString &error) {
    SshDestination to;
    std::string reason;
    if (!parseSshUrl(url.toStdString(), to, reason)) {
        error = QString::fromStdString(reason);
        return false;
    }
    stop();
    const quint64 attempt = ++m_attempt;
    auto tunnel = std::make_shared<SshTunnel>(configFile().toStdString());
    QPointer<DeskTunnel> self(this);
    const std::string target = url.toStdString(), host = serverHost.toStdString();
    m_openers.emplace_back([self, attempt, tunnel, target, host, serverPort] {
        std::string why;
        const bool ok = tunnel->start(target, host, serverPort, kOpenTimeoutMs, why);
        const QString reason = QString::fromStdString(why);
        // Back on the GUI thread; the application outlives every bridge.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, attempt, tunnel, ok, reason] {
                if (self)
                    self->finish(attempt, tunnel, ok, reason);
                else
                    tunnel->stop();
            },
            Qt::QueuedConnection);
    });
    return true;
}

void DeskTunnel::finish(quint64 attempt, std::shared_ptr<SshTunnel> tunnel, bool ok, const QString &error) {
    if (attempt != m_attempt) {
        tunnel->stop(); // stopped or replaced while it was opening
        return;
    }
    if (!ok) {
        emit failed(error);
        return;
    }
    m_tunnel = tunnel;
    emit opened(tunnel->localPort());
}

void DeskTunnel::stop() {
    ++m_attempt;
    if (m_tunnel)
        m_tunnel->stop();
    m_tunnel.reset();
}
