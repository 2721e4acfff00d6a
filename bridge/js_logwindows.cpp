// Log windows: the page opens them by id; parameter updates and broadcast log messages of other
// clients are routed to them.
#include "bridgelog.h"
#include "js.h"

#include "boundedxml.h"
#include "qmllogclass.h"

#include "kvt_olmocodes.h"

#include <QDebug>
#include <QDomDocument>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQuickWindow>

namespace {

// Log messages arrive as broadcast messages; the page names their channel by the command code.
const QString kLogChannel = QString::number(kvt::CmdSendBroadcastMessage);

// The broadcast log message: an XML document whose element text is JSON with "sender",
// "paramId" and "msg". Anything else yields empty texts.
QJsonObject logMessageOf(const QString &xml) {
    QDomDocument document;
    if (!BoundedXml::withinBounds(xml.toUtf8()) || !document.setContent(xml))
        return QJsonObject();
    const QByteArray json = document.documentElement().text().toUtf8();
    return QJsonDocument::fromJson(json).object();
}

QString textOf(const QJsonValue &value) {
    if (value.isString())
        return value.toString();
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', 15);
    return QString();
}

} // namespace

void JS::LogWindow(QString id, QString type) {
    // One window per id: a second window would take the lines and leave the first one silent.
    if (QMLLogClass *open = logWindows.value(id)) {
        if (QQuickWindow *window = open->window()) {
            window->show();
            window->raise();
            window->requestActivate();
            return;
        }
        logWindows.remove(id);
        open->deleteLater();
    }
    auto *log = new QMLLogClass(this);
    log->open(id, type);
    logWindows.insert(id, log);
}

bool JS::routeLogParameter(const QString &text) {
    const QJsonObject update = QJsonDocument::fromJson(text.toUtf8()).object();
    const QString parameterId = textOf(update.value(QStringLiteral("ParameterID")));
    const QString value = textOf(update.value(QStringLiteral("value")));

    if (parameterId == kLogChannel) {
        qCDebug(lcBridge) << text;
        const QJsonObject message = logMessageOf(value);
        const QString paramId = textOf(message.value(QStringLiteral("paramId")));
        const QString line =
            QLatin1Char('[') + paramId + QLatin1String("] ") + textOf(message.value(QStringLiteral("msg")));
        bool handled = false;
        for (const QString &key : {QStringLiteral("*"), paramId}) {
            if (QMLLogClass *log = logWindows.value(key)) {
                log->appendLine(line);
                handled = true;
            }
            if (key == paramId && paramId == QLatin1String("*"))
                break;
        }
        return handled;
    }

    if (QMLLogClass *log = logWindows.value(parameterId))
        log->appendLine(QLatin1Char('[') + parameterId + QLatin1String("] ") + value);
    return false;
}
