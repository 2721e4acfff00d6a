// The main window: the bridge as central widget, the quit confirmation, the unattached actions.
#include "mainwindow.h"
#include "pagetestsupport.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QFile>
#include <QImage>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

// Answers the next modal message box with `button` once it is shown; records its texts.
struct BoxAnswer {
    QString title;
    QString text;
    bool seen = false;
};

void answerNextBox(QMessageBox::StandardButton button, BoxAnswer *answer) {
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

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    void bridgeIsTheCentralWidget();
    void closeAsksAndCancelKeepsTheWindow();
    void closeAsksAndYesClosesTheWindow();
    void actionsAreAttachedToNothing();
    void pageExitEndsTheLoopWithoutAsking();
    void programSavesAScreenshotAndQuitsWhenAsked();
};

void MainWindowTest::bridgeIsTheCentralWidget() {
    MainWindow window;
    QVERIFY(window.bridgeWidget());
    QCOMPARE(window.centralWidget(), static_cast<QWidget *>(window.bridgeWidget()));
    QCOMPARE(window.bridgeWidget()->objectName(), QStringLiteral("canvasContainer"));
    QVERIFY(window.bridgeWidget()->findChild<QWidget *>(QStringLiteral("webView")));
    QVERIFY(window.windowTitle().isEmpty());
}

void MainWindowTest::closeAsksAndCancelKeepsTheWindow() {
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

void MainWindowTest::closeAsksAndYesClosesTheWindow() {
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    BoxAnswer answer;
    answerNextBox(QMessageBox::Yes, &answer);
    QVERIFY(window.close());
    QVERIFY(answer.seen);
    QVERIFY(!window.isVisible());
}

void MainWindowTest::actionsAreAttachedToNothing() {
    MainWindow window;
    const QList<QAction *> actions = window.findChildren<QAction *>(QString(), Qt::FindDirectChildrenOnly);
    QStringList texts;
    for (QAction *action : actions) {
        texts << action->text();
        QVERIFY2(action->associatedWidgets().isEmpty(), qPrintable(action->text()));
    }
    QCOMPARE(texts,
             (QStringList{QStringLiteral("E&xit"), QStringLiteral("&About"), QStringLiteral("About &Qt")}));
    QVERIFY(window.actions().isEmpty());
    QVERIFY(!window.menuWidget());
}

void MainWindowTest::pageExitEndsTheLoopWithoutAsking() {
    MainWindow window;
    window.show();
    QVERIFY(PageTest::waitForPage(*window.bridgeWidget()));
    QTimer::singleShot(
        0, &window, [&window] { PageTest::eval(*window.bridgeWidget(), QStringLiteral("vyxDesk.exit()")); });
    // Should exit() not end the loop, this ends it with another code.
    QTimer::singleShot(15000, &window, [] { QCoreApplication::exit(7); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(!QApplication::activeModalWidget());
    QVERIFY(window.isVisible());
}

void MainWindowTest::programSavesAScreenshotAndQuitsWhenAsked() {
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/vyxdesk");
    if (!QFile::exists(program))
        QSKIP("vyxdesk is not built");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString shot = dir.filePath(QStringLiteral("shot.png"));

    QProcess desk;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("VYXDESK_SCREENSHOT"), shot);
    env.insert(QStringLiteral("VYXDESK_QUIT_AFTER_MS"), QStringLiteral("3000"));
    env.remove(QStringLiteral("VYXDESK_INSPECTOR"));
    env.insert(QStringLiteral("VYXDESK_PAGE"), QStringLiteral("bridge-check.html"));
    desk.setProcessEnvironment(env);
    desk.start(program, QStringList());
    QVERIFY(desk.waitForStarted(10000));
    QVERIFY(desk.waitForFinished(60000));
    const QByteArray errors = desk.readAllStandardError();
    QCOMPARE(desk.exitStatus(), QProcess::NormalExit);
    QCOMPARE(desk.exitCode(), 0);
    QVERIFY2(!errors.contains("QThread: Destroyed"), errors.constData());

    const QImage image(shot);
    QVERIFY(!image.isNull());
    QVERIFY(image.width() > 100 && image.height() > 100);
}

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
