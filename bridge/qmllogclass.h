#pragma once

#include <QObject>
#include <QPointer>
#include <QQmlEngine>
#include <QString>

class QQmlContext;
#include <QQuickWindow>

// The model object of one log window: its own QML engine, the window made from ":/logView.qml",
// and the text property the window may bind to.
class QMLLogClass : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString myLogText READ myLogText WRITE setMyLogText NOTIFY propChanged)

public:
    explicit QMLLogClass(QObject *parent = nullptr);
    ~QMLLogClass() override;

    QString myLogText() const { return m_logText; }
    // Appends a line break and `text` to the stored text.
    void setMyLogText(const QString &text);

    QQmlEngine *engine() { return &m_engine; }
    QQuickWindow *window() const { return m_window; }
    void setWindow(QQuickWindow *window);

    // Creates the window in a context whose context object is this log object, shows it and
    // tells it its id and type. False (after printing the QML error) when no window was made.
    bool open(const QString &id, const QString &type);

    // The window's myQmlFunction(msg): one time-stamped line, dropped while logging is off.
    void appendLine(const QString &msg);

    // Picks Qt Quick's software renderer when no OpenGL context can be had (headless runs).
    static void chooseSceneGraphBackend();

signals:
    void propChanged();

private:
    QQmlEngine m_engine;
    QString m_logText;
    QQmlContext *m_context = nullptr;
    QPointer<QQuickWindow> m_window;
};
