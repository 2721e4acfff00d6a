// The main window: the bridge as central widget, the quit confirmation, the unattached actions.
#include "js.h"
#include "mainwindow.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

namespace {

// Answers the next modal message box with `button` once it is shown; records its texts.
struct BoxAnswer
{
    QString title;
    QString text;
    bool seen = false;
};

void answerNextBox(QMessageBox::StandardButton button, BoxAnswer *answer)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, button, answer] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        answer->seen = true;
        answer->title = box->windowTitle();
        answer->text = box->text();
        box->button(button)->click();
        poll->deleteLater();
    });
    poll->start(20);
}

} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void bridgeIsTheCentralWidget();
    void closeAsksAndCancelKeepsTheWindow();
    void closeAsksAndYesClosesTheWindow();
    void actionsAreAttachedToNothing();
};

void MainWindowTest::bridgeIsTheCentralWidget()
{
    MainWindow window;
    QVERIFY(window.bridgeWidget());
    QCOMPARE(window.centralWidget(), static_cast<QWidget *>(window.bridgeWidget()));
    QCOMPARE(window.bridgeWidget()->objectName(), QStringLiteral("canvasContainer"));
    QVERIFY(window.bridgeWidget()->findChild<QWidget *>(QStringLiteral("webView")));
    QVERIFY(window.windowTitle().isEmpty());
}

void MainWindowTest::closeAsksAndCancelKeepsTheWindow()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    BoxAnswer answer;
    answerNextBox(QMessageBox::Cancel, &answer);
    QVERIFY(!window.close());
    QVERIFY(answer.seen);
    QCOMPARE(answer.title, QStringLiteral("Quit"));
    QCOMPARE(answer.text, QStringLiteral("Are you sure?\n"));
    QVERIFY(window.isVisible());
}

void MainWindowTest::closeAsksAndYesClosesTheWindow()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    BoxAnswer answer;
    answerNextBox(QMessageBox::Yes, &answer);
    QVERIFY(window.close());
    QVERIFY(answer.seen);
    QVERIFY(!window.isVisible());
}

void MainWindowTest::actionsAreAttachedToNothing()
{
    MainWindow window;
    const QList<QAction *> actions = window.findChildren<QAction *>(QString(), Qt::FindDirectChildrenOnly);
    QStringList texts;
    for (QAction *action : actions) {
        texts << action->text();
        QVERIFY2(action->associatedWidgets().isEmpty(), qPrintable(action->text()));
    }
    QCOMPARE(texts, (QStringList{QStringLiteral("E&xit"), QStringLiteral("&About"),
                                 QStringLiteral("About &Qt")}));
    QVERIFY(window.actions().isEmpty());
    QVERIFY(!window.menuWidget());
}

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
