#pragma once

#include <QObject>
#include <QString>

#include <memory>
#include <thread>
#include <vector>

class SshTunnel;

// The SSH tunnel of the desk's connection (ssh -N -L through the system's OpenSSH client, key
// authentication only). Opening one waits for ssh and the far end: that runs on a thread of its
// own, and the outcome comes back on the GUI thread as opened() or failed(). One tunnel at a time:
// opening another or stop() ends the one before, also one that is still opening.
class DeskTunnel : public QObject {
    Q_OBJECT

public:
    explicit DeskTunnel(QObject *parent = nullptr);
    ~DeskTunnel() override;

    // The ssh_config every tunnel uses (empty: the user's own).
    static void setConfigFile(const QString &path);

    // Starts opening `url` (ssh://user@host[:port]) to serverHost:serverPort as the SSH host sees
    // it; false, with the reason, when the url is not of that form.
    bool open(const QString &url, const QString &serverHost, int serverPort, QString &error);
    void stop();

signals:
    void opened(int localPort);
    void failed(const QString &reason);

private:
    void finish(quint64 attempt, std::shared_ptr<SshTunnel> tunnel, bool ok, const QString &error);

    std::shared_ptr<SshTunnel> m_tunnel;
    quint64 m_attempt = 0;
    std::vector<std::thread> m_openers;
};
