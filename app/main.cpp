#include "js.h"
#include "mainwindow.h"

#include <QApplication>
#include <QIcon>
#include <QScreen>
#include <QStyleFactory>
#include <QTimer>
#include <QWebFrame>
#include <QWebView>

namespace {

// Run aids for headless runs (scripts/run-desk.sh): a screenshot of the window once the page
// has loaded, and a timed quit. Both do nothing unless their variable is set.
void installRunAids(QApplication &app, MainWindow &window)
{
    const QString shot = qEnvironmentVariable("VYXDESK_SCREENSHOT");
    if (!shot.isEmpty()) {
        QObject::connect(window.bridgeWidget()->mainFrame(), &QWebFrame::loadFinished, &window,
                         [&window, shot](bool) {
                             // Let the page's own start-up scripts draw first.
                             QTimer::singleShot(500, &window, [&window, shot] {
                                 window.grab().save(shot, "PNG");
                             });
                         });
    }
    bool ok = false;
    const int quitAfterMs = qEnvironmentVariableIntValue("VYXDESK_QUIT_AFTER_MS", &ok);
    if (ok && quitAfterMs >= 0)
        QTimer::singleShot(quitAfterMs, &app, &QCoreApplication::quit);
}

// A virtual display has no window manager to carry out showMaximized(), so in a headless run
// the window is given the screen's size itself.
void fillScreenForScreenshot(MainWindow &window)
{
    if (qEnvironmentVariableIsEmpty("VYXDESK_SCREENSHOT"))
        return;
    if (QScreen *screen = QGuiApplication::primaryScreen())
        window.setGeometry(screen->availableGeometry());
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Plug-ins (SQL drivers, image formats) may also lie in "dll" beside the program.
    QCoreApplication::addLibraryPath(QCoreApplication::applicationDirPath() + QStringLiteral("/dll"));
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/vyxdesk.png")));

    int result = 0;
    {
        // The window (and the web view in it) must be gone before the application object.
        MainWindow window;
        window.setWindowTitle(QString());
        installRunAids(app, window);
        window.show();
        window.showMaximized();
        fillScreenForScreenshot(window);
        result = app.exec();
    }
    return result;
}
