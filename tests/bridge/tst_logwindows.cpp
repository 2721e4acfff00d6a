// Log windows opened by the page and the routing of parameter updates and broadcast log
// messages to them.
#include "pagetestsupport.h"

#include "qmllogclass.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QQuickItem>
#include <QQuickWindow>
#include <QtTest>

using PageTest::eval;

namespace {

// A parameter update as the connector hands it over, rendered as indented JSON.
QString parameterUpdate(const QString &parameterId, const QString &value) {
    QJsonObject update{{QStringLiteral("ParameterID"), parameterId},
                       {QStringLiteral("value"), value},
                       {QStringLiteral("frameScope"), QStringLiteral("Broadcast")}};
    return QString::fromUtf8(QJsonDocument(update).toJson(QJsonDocument::Indented)) + '\n';
}

// A broadcast log message of another client: JSON inside an XML element.
QString logBroadcast(const QString &paramId, const QString &msg) {
    const QJsonObject inner{{QStringLiteral("sender"), QStringLiteral("client-7")},
                            {QStringLiteral("paramId"), paramId},
                            {QStringLiteral("msg"), msg}};
    QString json = QString::fromUtf8(QJsonDocument(inner).toJson(QJsonDocument::Compact));
    json.replace('&', QLatin1String("&amp;")).replace('<', QLatin1String("&lt;"));
    return parameterUpdate(QStringLiteral("1010022"), QStringLiteral("<log>%1</log>").arg(json));
}

QString logTextOf(QMLLogClass *log) {
    if (!log || !log->window())
        return QStringLiteral("<no window>");
    QObject *text = log->window()->findChild<QObject *>(QStringLiteral("logText"));
    return text ? text->property("text").toString() : QStringLiteral("<no text>");
}

} // namespace

class LogWindowsTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void pageOpensAWindowWithItsIdAndType();
    void broadcastGoesToStarAndParamIdWindows();
    void broadcastWithoutWindowIsNotHandled();
    void otherParametersAreShownButNotHandled();
    void openingAnOpenIdRaisesItsWindow();
    void switchedOffWindowDropsLines();
    void malformedBroadcastYieldsEmptyTexts();
    void deeplyNestedBroadcastYieldsEmptyTexts();

private:
    QWidget *m_parent = nullptr;
    JS *m_js = nullptr;
};

void LogWindowsTest::init() {
    m_parent = new QWidget;
    m_js = new JS(m_parent);
    QVERIFY(PageTest::waitForPage(*m_js));
}

void LogWindowsTest::cleanup() {
    delete m_parent;
    m_parent = nullptr;
    m_js = nullptr;
}

void LogWindowsTest::pageOpensAWindowWithItsIdAndType() {
    eval(*m_js, QStringLiteral("vyxDesk.LogWindow('42', 'parameter')"));
    QMLLogClass *log = m_js->openLogWindows().value(QStringLiteral("42"));
    QVERIFY(log);
    QVERIFY(log->window());
    QVERIFY(log->window()->isVisible());
    QCOMPARE(log->window()->property("component_id").toString(), QStringLiteral("42"));
    QCOMPARE(log->window()->property("component_type").toString(), QStringLiteral("parameter"));
    QCOMPARE(log->window()->width(), 1000);
    QCOMPARE(log->window()->height(), 600);

    // The model's text property appends a line per write.
    log->setMyLogText(QStringLiteral("one"));
    log->setMyLogText(QStringLiteral("two"));
    QCOMPARE(log->myLogText(), QStringLiteral("\none\ntwo"));
}

void LogWindowsTest::broadcastGoesToStarAndParamIdWindows() {
    eval(*m_js, QStringLiteral("vyxDesk.LogWindow('*', 'all'); vyxDesk.LogWindow('77', 'one');"));
    QVERIFY(m_js->routeLogParameter(logBroadcast(QStringLiteral("77"), QStringLiteral("hello"))));
    const QRegularExpression line(
        QStringLiteral("^\\[\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}\\] \\[77\\] hello\\n$"));
    QVERIFY2(line.match(logTextOf(m_js->openLogWindows().value(QStringLiteral("*")))).hasMatch(),
             qPrintable(logTextOf(m_js->openLogWindows().value(QStringLiteral("*")))));
    QVERIFY(line.match(logTextOf(m_js->openLogWindows().value(QStringLiteral("77")))).hasMatch());

    // Only the star window: still handled.
    QVERIFY(m_js->routeLogParameter(logBroadcast(QStringLiteral("88"), QStringLiteral("x"))));
    QVERIFY(logTextOf(m_js->openLogWindows().value(QStringLiteral("*"))).contains("[88] x\n"));
    QVERIFY(!logTextOf(m_js->openLogWindows().value(QStringLiteral("77"))).contains("[88]"));
}

void LogWindowsTest::broadcastWithoutWindowIsNotHandled() {
    eval(*m_js, QStringLiteral("vyxDesk.LogWindow('5', 'one')"));
    QVERIFY(!m_js->routeLogParameter(logBroadcast(QStringLiteral("77"), QStringLiteral("hello"))));
    QCOMPARE(logTextOf(m_js->openLogWindows().value(QStringLiteral("5"))), QString());
}

void LogWindowsTest::otherParametersAreShownButNotHandled() {
    eval(*m_js, QStringLiteral("vyxDesk.LogWindow('1000', 'parameter')"));
    QVERIFY(!m_js->routeLogParameter(parameterUpdate(QStringLiteral("1000"), QStringLiteral("21.5"))));
    QVERIFY(logTextOf(m_js->openLogWindows().value(QStringLiteral("1000"))).endsWith("] [1000] 21.5\n"));
    QVERIFY(!m_js->routeLogParameter(parameterUpdate(QStringLiteral("1001"), QStringLiteral("1"))));
}

void LogWindowsTest::openingAnOpenIdRaisesItsWindow() {
    eval(*m_js, QStringLiteral("vyxDesk.LogWindow('*', 'first')"));
    QMLLogClass *first = m_js->openLogWindows().value(QStringLiteral("*"));
    QVERIFY(first && first->window());
    first->window()->hide();
    eval(*m_js, QStringLiteral("vyxDesk.LogWindow('*', 'second')"));
    // The same window comes back: no second window, no orphan that gets no more lines.
    QCOMPARE(m_js->openLogWindows().value(QStringLiteral("*")), first);
    QCOMPARE(m_js->findChildren<QMLLogClass *>(QString(), Qt::FindDirectChildrenOnly).size(), 1);
    QVERIFY(first->window()->isVisible());

    QVERIFY(m_js->routeLogParameter(logBroadcast(QStringLiteral("9"), QStringLiteral("later"))));
    QVERIFY(logTextOf(first).contains("[9] later"));
}

void LogWindowsTest::switchedOffWindowDropsLines() {
    eval(*m_js, QStringLiteral("vyxDesk.LogWindow('*', 'all')"));
    QMLLogClass *log = m_js->openLogWindows().value(QStringLiteral("*"));
    QVERIFY(log && log->window());
    QQuickWindow *window = log->window();
    QVERIFY(QTest::qWaitForWindowExposed(window));

    // Turn the switch off as the user would: a click on it.
    auto *toggle = window->findChild<QQuickItem *>(QStringLiteral("logSwitch"));
    QVERIFY(toggle);
    const QPoint centre = toggle->mapToScene(QPointF(toggle->width() / 2, toggle->height() / 2)).toPoint();
    QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, centre);
    QTRY_COMPARE(window->property("logEnabled").toBool(), false);

    QVERIFY(m_js->routeLogParameter(logBroadcast(QStringLiteral("3"), QStringLiteral("dropped"))));
    QCOMPARE(logTextOf(log), QString());

    // On again: lines appear, the dropped one does not come back.
    QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, centre);
    QTRY_COMPARE(window->property("logEnabled").toBool(), true);
    QVERIFY(m_js->routeLogParameter(logBroadcast(QStringLiteral("3"), QStringLiteral("kept"))));
    QVERIFY(logTextOf(log).contains("[3] kept"));
    QVERIFY(!logTextOf(log).contains("dropped"));
}

void LogWindowsTest::malformedBroadcastYieldsEmptyTexts() {
    eval(*m_js, QStringLiteral("vyxDesk.LogWindow('*', 'all')"));
    QVERIFY(m_js->routeLogParameter(parameterUpdate(QStringLiteral("1010022"), QStringLiteral("not xml"))));
    QVERIFY(logTextOf(m_js->openLogWindows().value(QStringLiteral("*"))).endsWith("] [] \n"));
}

// Nested far deeper than any log message: refused before a DOM is built, like malformed XML.
void LogWindowsTest::deeplyNestedBroadcastYieldsEmptyTexts() {
    eval(*m_js, QStringLiteral("vyxDesk.LogWindow('*', 'all')"));
    const int depth = 30000;
    const QString xml = QStringLiteral("<a>").repeated(depth) +
                        QStringLiteral("{\"paramId\":\"77\",\"msg\":\"deep\"}") +
                        QStringLiteral("</a>").repeated(depth);
    QVERIFY(m_js->routeLogParameter(parameterUpdate(QStringLiteral("1010022"), xml)));
    QVERIFY(logTextOf(m_js->openLogWindows().value(QStringLiteral("*"))).endsWith("] [] \n"));
}

QTEST_MAIN(LogWindowsTest)
#include "tst_logwindows.moc"
