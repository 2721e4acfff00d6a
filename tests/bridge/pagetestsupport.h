#pragma once

#include "js.h"

#include <QSignalSpy>
#include <QTest>
#include <QVariant>
#include <QWebFrame>

// Small helpers shared by the bridge tests: wait for the page, evaluate in it.
namespace PageTest {

// Waits for the page the bridge started loading in its constructor.
inline bool waitForPage(JS &js, int timeoutMs = 15000) {
    QSignalSpy loaded(js.mainFrame(), &QWebFrame::loadFinished);
    if (!loaded.wait(timeoutMs))
        return false;
    return loaded.constFirst().constFirst().toBool();
}

inline QVariant eval(JS &js, const QString &script) {
    return js.mainFrame()->evaluateJavaScript(script);
}

} // namespace PageTest
