#pragma once

#include <QStringList>
#include <QWebPage>

// A web page that keeps every console message and uncaught script error, so that a test can fail
// on them, and that answers alert/confirm/prompt without showing a dialog (offscreen runs would
// otherwise block).
class RecordingPage : public QWebPage {
    Q_OBJECT
public:
    explicit RecordingPage(QObject *parent = nullptr);

    const QStringList &messages() const { return m_messages; }

protected:
    void javaScriptConsoleMessage(const QString &message, int lineNumber, const QString &sourceID) override;
    void javaScriptAlert(QWebFrame *frame, const QString &msg) override;
    bool javaScriptConfirm(QWebFrame *frame, const QString &msg) override;
    bool javaScriptPrompt(QWebFrame *frame, const QString &msg, const QString &defaultValue,
                          QString *result) override;

private:
    QStringList m_messages;
};
