#include "passwordkeyring.h"

#include "bridgelog.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <qt5keychain/keychain.h>

namespace {

// The entries' service name in the keyring; the key is the site (host:port:user).
const char kService[] = "vyxdesk";
const char kSecretService[] = "org.freedesktop.secrets";
constexpr int kBusTimeoutMs = 5000;

QString noServiceReason() {
    return QObject::tr("No keyring is running (no Secret Service such as GNOME Keyring or KWallet): "
                       "passwords cannot be remembered on this computer.");
}

template <typename JobType> JobType *newJob(QObject *parent, const QString &site) {
    auto *job = new JobType(QLatin1String(kService), parent);
    job->setAutoDelete(true);
    // Never the plain-text file QtKeychain can fall back to.
    job->setInsecureFallback(false);
    job->setKey(site);
    return job;
}

} // namespace

PasswordKeyring::PasswordKeyring(QObject *parent) : QObject(parent) {}

void PasswordKeyring::whenAvailable(std::function<void()> go, std::function<void(const QString &)> refuse) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        refuse(tr("No desktop session bus (D-Bus) is running: passwords cannot be remembered here."));
        return;
    }
    // Asked without starting the service: a running one only.
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    ask << QString::fromLatin1(kSecretService);
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(ask, kBusTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [go = std::move(go), refuse = std::move(refuse)](QDBusPendingCallWatcher *w) {
                const QDBusPendingReply<bool> reply = *w;
                w->deleteLater();
                if (reply.isError()) {
                    qCWarning(lcBridge) << "The session bus did not answer:" << reply.error().message();
                    refuse(noServiceReason());
                } else if (!reply.value()) {
                    refuse(noServiceReason());
                } else {
                    go();
                }
            });
}

void PasswordKeyring::checkAvailable(StatusAnswer answer) {
    whenAvailable([answer] { answer(true, QString()); },
                  [answer](const QString &reason) { answer(false, reason); });
}

void PasswordKeyring::read(const QString &site, ReadAnswer answer) {
    whenAvailable(
        [this, site, answer] {
            auto *job = newJob<QKeychain::ReadPasswordJob>(this, site);
            connect(job, &QKeychain::Job::finished, this, [answer](QKeychain::Job *done) {
                const auto *read = static_cast<QKeychain::ReadPasswordJob *>(done);
                if (read->error() == QKeychain::NoError)
                    answer(true, read->textData(), QString());
                else if (read->error() == QKeychain::EntryNotFound)
                    answer(false, QString(), QString());
                else
                    answer(false, QString(), read->errorString());
            });
            job->start();
        },
        [answer](const QString &reason) { answer(false, QString(), reason); });
}

void PasswordKeyring::write(const QString &site, const QString &password, DoneAnswer answer) {
    whenAvailable(
        [this, site, password, answer] {
            auto *job = newJob<QKeychain::WritePasswordJob>(this, site);
            job->setTextData(password);
            connect(job, &QKeychain::Job::finished, this, [answer](QKeychain::Job *done) {
                answer(done->error() == QKeychain::NoError ? QString() : done->errorString());
            });
            job->start();
        },
        answer);
}

void PasswordKeyring::remove(const QString &site, DoneAnswer answer) {
    whenAvailable(
        [this, site, answer] {
            auto *job = newJob<QKeychain::DeletePasswordJob>(this, site);
            connect(job, &QKeychain::Job::finished, this, [answer](QKeychain::Job *done) {
                const bool gone =
                    done->error() == QKeychain::NoError || done->error() == QKeychain::EntryNotFound;
                answer(gone ? QString() : done->errorString());
            });
            job->start();
        },
        answer);
}
