#include "startup.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

namespace {

StartupConnection g_connection;
QString g_pageFile;

} // namespace

bool Startup::parseConnection(const QString &text, StartupConnection &out, QString &error) {
    // USER may hold anything but '@'; HOST is a name, an IPv4 address or [IPv6].
    static const QRegularExpression form(QStringLiteral(
        "^(?:([^@\\s]{1,100})@)?(\\[[0-9A-Fa-f:.]+\\]|[A-Za-z0-9.-]{1,253})(?::([0-9]{1,5}))?$"));
    const QRegularExpressionMatch m = form.match(text.trimmed());
    if (!m.hasMatch()) {
        error = QStringLiteral(
                    "--connect expects [USER@]HOST[:PORT], for example admin@192.168.1.10:18000, not \"%1\"")
                    .arg(text);
        return false;
    }
    StartupConnection c = out;
    if (!m.captured(1).isEmpty())
        c.user = m.captured(1);
    c.host = m.captured(2);
    if (c.host.startsWith(QLatin1Char('[')))
        c.host = c.host.mid(1, c.host.size() - 2);
    if (!m.captured(3).isEmpty()) {
        const int port = m.captured(3).toInt();
        if (port < 1 || port > 65535) {
            error = QStringLiteral("--connect: the port must be a number from 1 to 65535, not %1")
                        .arg(m.captured(3));
            return false;
        }
        c.port = quint16(port);
    }
    out = c;
    return true;
}

void Startup::setConnection(const StartupConnection &connection) {
    g_connection = connection;
}

const StartupConnection &Startup::connection() {
    return g_connection;
}

QString Startup::takePassword() {
    const QString password = g_connection.password;
    g_connection.password.clear();
    g_connection.hasPassword = false;
    return password;
}

void Startup::setPageFile(const QString &absolutePath) {
    g_pageFile = absolutePath;
}

QString Startup::pageFolder() {
    const QString appDir = QCoreApplication::applicationDirPath();
    const QString beside = appDir + QStringLiteral("/data/html");
    if (QFileInfo::exists(beside))
        return beside;
    const QString installed = QDir::cleanPath(appDir + QStringLiteral("/../share/vyxdesk/html"));
    if (QFileInfo::exists(installed))
        return installed;
    return beside;
}

QString Startup::pageFile(const QString &name) {
    if (!g_pageFile.isEmpty())
        return g_pageFile;
    return pageFolder() + QLatin1Char('/') + name;
}

QString Startup::dataRoot() {
    const QString appDir = QCoreApplication::applicationDirPath();
    if (QFileInfo::exists(appDir + QStringLiteral("/data/html")))
        return appDir;
    const QString own = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (own.isEmpty() || !QDir().mkpath(own))
        return appDir;
    return own;
}
