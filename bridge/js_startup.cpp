// The server named with --connect, for the page to log in to as soon as it opens.
#include "js.h"
#include "startup.h"

#include <QJsonDocument>
#include <QJsonObject>

QString JS::VYXStartupConnection() {
    const StartupConnection &c = Startup::connection();
    if (!c.isSet())
        return QStringLiteral("{}");
    QJsonObject o;
    o.insert(QStringLiteral("host"), c.host);
    o.insert(QStringLiteral("port"), QString::number(c.port));
    o.insert(QStringLiteral("user"), c.user);
    o.insert(QStringLiteral("name"), c.siteName);
    if (!c.tunnel.isEmpty())
        o.insert(QStringLiteral("tunnel"), c.tunnel);
    // The password goes to the page once, for the first login; a reloaded page asks for it.
    const bool hadPassword = c.hasPassword;
    const QString password = Startup::takePassword();
    o.insert(QStringLiteral("hasPassword"), hadPassword);
    if (hadPassword)
        o.insert(QStringLiteral("password"), password);
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}
