#ifndef PAGEERRORS_H
#define PAGEERRORS_H

#include <QObject>
#include <QString>
#include <QWebFrame>

// Script errors of a page under test, recorded from its first line on: the hook goes in each
// time the frame's window is set up, before the page's own scripts run.
inline void recordPageErrors(QObject *context, QWebFrame *frame) {
    QObject::connect(frame, &QWebFrame::javaScriptWindowObjectCleared, context, [frame] {
        frame->evaluateJavaScript(
            QStringLiteral("window.__errors = []; window.addEventListener('error', function (e) { "
                           "window.__errors.push(e.message + ' at ' + e.filename + ':' + e.lineno); });"));
    });
}

// Evaluates to the errors recorded so far, joined; empty when there were none.
inline QString pageErrorsExpression() {
    return QStringLiteral(
        "Array.isArray(window.__errors) ? window.__errors.join(' | ') : 'the error hook is missing'");
}

#endif
