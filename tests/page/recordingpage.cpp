#include "recordingpage.h"

#include <QFileInfo>
#include <cstdio>

RecordingPage::RecordingPage(QObject *parent) : QWebPage(parent) {}

void RecordingPage::javaScriptConsoleMessage(const QString &message, int lineNumber,
                                             const QString &sourceID) {
    const QString text =
        QStringLiteral("%1:%2: %3").arg(QFileInfo(sourceID).fileName()).arg(lineNumber).arg(message);
    m_messages << text;
    std::fprintf(stderr, "console: %s\n", qPrintable(text));
}

void RecordingPage::javaScriptAlert(QWebFrame *, const QString &msg) {
    m_messages << QStringLiteral("alert() used: ") + msg;
}

bool RecordingPage::javaScriptConfirm(QWebFrame *, const QString &msg) {
    m_messages << QStringLiteral("confirm() used: ") + msg;
    return false;
}

bool RecordingPage::javaScriptPrompt(QWebFrame *, const QString &msg, const QString &, QString *) {
    m_messages << QStringLiteral("prompt() used: ") + msg;
    return false;
}
