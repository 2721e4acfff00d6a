#include "qmllogclass.h"
#include "bridgelog.h"

#include <QCoreApplication>
#include <QDebug>
#include <QGuiApplication>
#include <QOpenGLContext>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QVariant>

QMLLogClass::QMLLogClass(QObject *parent) : QObject(parent) {
    // A window's quit request ends the whole application.
    connect(&m_engine, &QQmlEngine::quit, QCoreApplication::instance(), &QCoreApplication::quit);
}

QMLLogClass::~QMLLogClass() {
    // The window and its context use the engine, so they go first.
    delete m_window.data();
    delete m_context;
}

void QMLLogClass::setMyLogText(const QString &text) {
    m_logText += QLatin1Char('\n') + text;
    emit propChanged();
}

void QMLLogClass::setWindow(QQuickWindow *window) {
    m_window = window;
}

void QMLLogClass::chooseSceneGraphBackend() {
    static bool chosen = false;
    if (chosen)
        return;
    chosen = true;
    if (!qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
        return;
    bool haveGl = false;
    if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
        QOpenGLContext context;
        haveGl = context.create();
    }
    if (!haveGl)
        QQuickWindow::setSceneGraphBackend(QSGRendererInterface::Software);
}

bool QMLLogClass::open(const QString &id, const QString &type) {
    chooseSceneGraphBackend();
    m_context = new QQmlContext(m_engine.rootContext());
    m_context->setContextObject(this);
    m_engine.rootContext()->setContextProperty(QStringLiteral("msg"), this);

    QQmlComponent component(&m_engine, QUrl(QStringLiteral("qrc:/logView.qml")));
    if (component.isError()) {
        qCWarning(lcBridge) << component.errors().constFirst().description();
        return false;
    }
    QObject *made = component.create(m_context);
    auto *window = qobject_cast<QQuickWindow *>(made);
    if (!window) {
        delete made;
        return false;
    }
    setWindow(window);
    window->show();
    QVariant ignored;
    QMetaObject::invokeMethod(window, "setIdAndType", Q_RETURN_ARG(QVariant, ignored), Q_ARG(QVariant, id),
                              Q_ARG(QVariant, type));
    return true;
}

void QMLLogClass::appendLine(const QString &msg) {
    if (!m_window)
        return;
    QVariant ignored;
    QMetaObject::invokeMethod(m_window.data(), "myQmlFunction", Q_RETURN_ARG(QVariant, ignored),
                              Q_ARG(QVariant, msg));
}
