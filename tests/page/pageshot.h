#pragma once

#include "js.h"

#include <QDir>
#include <QImage>
#include <QPainter>
#include <QWebFrame>
#include <QWebPage>
#include <QWebView>

// Saves what the bridge's page shows at 1366x768 as folder/name.png, for a person to look at.
inline void savePageShot(JS &js, const QString &folder, const QString &name) {
    QDir().mkpath(folder);
    js.view()->page()->setViewportSize(QSize(1366, 768));
    QImage image(QSize(1366, 768), QImage::Format_ARGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    js.mainFrame()->render(&painter);
    painter.end();
    image.save(QDir(folder).filePath(name + QStringLiteral(".png")));
}
