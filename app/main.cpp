#include "desktunnel.h"
#include "js.h"
#include "mainwindow.h"
#include "secretsource.h"
#include "startup.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QIcon>
#include <QLoggingCategory>
#include <QScreen>
#include <QStyleFactory>
#include <QTimer>
#include <QWebFrame>
#include <QWebView>

#include <algorithm>
#include <functional>
#include <string>

// "vyx.app" reports which page was loaded (QT_LOGGING_RULES="vyx.app.debug=true").
Q_LOGGING_CATEGORY(lcApp, "vyx.app", QtWarningMsg)

namespace {

// Run aids for headless runs (scripts/run-desk.sh): a screenshot of the window once the page is
// ready, and a timed quit. Both do nothing unless their variable is set. With a start-up connection
// "ready" means the parameters have arrived, so that the picture shows a working manager; the
// screenshot is taken at the latest just before the timed quit.
class RunAids : public QObject {
public:
    RunAids(QApplication &app, MainWindow &window) : QObject(&window), m_window(window) {
        m_shot = qEnvironmentVariable("VYXDESK_SCREENSHOT");
        if (!m_shot.isEmpty()) {
            connect(window.bridgeWidget()->mainFrame(), &QWebFrame::loadFinished, this, [this](bool) {
                // Let the page's own start-up scripts draw first.
                QTimer::singleShot(500, this, [this] { waitUntilReady(); });
            });
        }
        bool ok = false;
        const int quitAfterMs = qEnvironmentVariableIntValue("VYXDESK_QUIT_AFTER_MS", &ok);
        if (ok && quitAfterMs >= 0) {
            QTimer::singleShot(quitAfterMs, &app, [this] {
                if (!m_shot.isEmpty() && !m_saved)
                    save();
                QCoreApplication::quit();
            });
        }
    }

private:
    bool pageReady() {
        if (!Startup::connection().isSet())
            return true;
        // The parameters view is shown and its rows are filled with values.
        const QVariant ready = m_window.bridgeWidget()->mainFrame()->evaluateJavaScript(
            QStringLiteral("!!(window.VX && VX.currentView && VX.currentView() === 'parameters' &&"
                           " document.querySelectorAll('#view-parameters tbody tr[data-id]').length >= 10)"));
        return ready.toBool();
    }

    void waitUntilReady() {
        if (m_saved)
            return;
        if (pageReady()) {
            // A little longer, so that live changes have started to arrive and flash.
            QTimer::singleShot(Startup::connection().isSet() ? 3000 : 0, this, [this] { save(); });
            return;
        }
        QTimer::singleShot(200, this, [this] { waitUntilReady(); });
    }

    void save() {
        if (m_saved)
            return;
        m_saved = true;
        if (!pageReady())
            fprintf(stderr, "vyxdesk: the screenshot is taken before the parameters arrived\n");
        if (!m_window.grab().save(m_shot, "PNG"))
            fprintf(stderr, "vyxdesk: cannot save the screenshot to %s\n", qPrintable(m_shot));
    }

    MainWindow &m_window;
    QString m_shot;
    bool m_saved = false;
};

// A virtual display has no window manager to carry out showMaximized(), so in a headless run
// the window is given the screen's size itself.
void fillScreenForScreenshot(MainWindow &window) {
    if (qEnvironmentVariableIsEmpty("VYXDESK_SCREENSHOT"))
        return;
    if (QScreen *screen = QGuiApplication::primaryScreen())
        window.setGeometry(screen->availableGeometry());
}

struct CommandLine {
    QCommandLineOption connect{
        QStringLiteral("connect"),
        QStringLiteral("Log in to the server at HOST (port 18000 unless given; user admin unless "
                       "given) as soon as the window opens. The password is taken from "
                       "VYXDESK_PASSWORD, or the page asks for it."),
        QStringLiteral("[USER@]HOST[:PORT]")};
    QCommandLineOption siteName{
        QStringLiteral("site-name"),
        QStringLiteral("The name under which the page saves the --connect server among its sites."),
        QStringLiteral("NAME")};
    QCommandLineOption tunnel{
        QStringLiteral("tunnel"),
        QStringLiteral("Reach the --connect server through SSH: HOST and PORT are then as the SSH "
                       "host sees them. Key authentication only."),
        QStringLiteral("ssh://USER@HOST[:PORT]")};
    QCommandLineOption sshConfig{
        QStringLiteral("ssh-config"),
        QStringLiteral("The ssh_config file for every SSH tunnel (default: ~/.ssh/config)."),
        QStringLiteral("FILE")};
    QCommandLineOption page{QStringLiteral("page"),
                            QStringLiteral("Show the HTML page FILE instead of the built-in one."),
                            QStringLiteral("FILE")};
    QCommandLineParser parser;

    CommandLine() {
        parser.setApplicationDescription(QStringLiteral(
            "Desktop manager for vyx home- and building-automation servers.\n\n"
            "Environment:\n"
            "  VYXDESK_PASSWORD=TEXT      password for --connect\n"
            "  VYXDESK_PAGE=FILE          show FILE of the page folder instead of index.html\n"
            "  VYXDESK_SCREENSHOT=PATH    save a PNG of the window once the page is ready\n"
            "  VYXDESK_QUIT_AFTER_MS=N    quit after N ms\n"
            "  VYXDESK_INSPECTOR=1        open the page's web inspector in a window of its own "
            "(F12 shows it again)"));
        parser.addHelpOption();
        parser.addVersionOption();
        parser.addOption(connect);
        parser.addOption(siteName);
        parser.addOption(tunnel);
        parser.addOption(sshConfig);
        parser.addOption(page);
    }
};

// VYXDESK_PASSWORD, taken out of the environment as the program starts (see main), so that no
// program it starts and no reader of /proc/<pid>/environ finds it.
struct EnvironmentPassword {
    bool set = false;
    QString text;
};

EnvironmentPassword &environmentPassword() {
    static EnvironmentPassword password;
    return password;
}

void takeEnvironmentPassword() {
    std::string secret;
    environmentPassword().set = takeSecretFromEnvironment("VYXDESK_PASSWORD", secret);
    environmentPassword().text = QString::fromStdString(secret);
    std::fill(secret.begin(), secret.end(), '\0');
}

// Applies the command line; false, with the reason on stderr, when it cannot be followed.
// strict: unknown options are errors (after QApplication has taken its own, as -platform).
bool applyCommandLine(const QStringList &arguments, bool strict) {
    CommandLine cl;
    if (!cl.parser.parse(arguments) && strict) {
        fprintf(stderr, "vyxdesk: %s\nTry 'vyxdesk --help'.\n", qPrintable(cl.parser.errorText()));
        return false;
    }
    if (strict && !cl.parser.positionalArguments().isEmpty()) {
        fprintf(stderr, "vyxdesk: unexpected argument \"%s\"\nTry 'vyxdesk --help'.\n",
                qPrintable(cl.parser.positionalArguments().constFirst()));
        return false;
    }
    if (cl.parser.isSet(cl.page)) {
        const QFileInfo file(cl.parser.value(cl.page));
        if (!file.isFile()) {
            fprintf(stderr, "vyxdesk: --page: %s is not a file\n", qPrintable(file.filePath()));
            return false;
        }
        Startup::setPageFile(file.absoluteFilePath());
    }
    if (cl.parser.isSet(cl.sshConfig))
        DeskTunnel::setConfigFile(QFileInfo(cl.parser.value(cl.sshConfig)).absoluteFilePath());
    if (cl.parser.isSet(cl.connect)) {
        StartupConnection connection;
        QString error;
        if (!Startup::parseConnection(cl.parser.value(cl.connect), connection, error)) {
            fprintf(stderr, "vyxdesk: %s\n", qPrintable(error));
            return false;
        }
        if (environmentPassword().set) {
            connection.password = environmentPassword().text;
            connection.hasPassword = true;
        }
        connection.siteName = cl.parser.value(cl.siteName);
        connection.tunnel = cl.parser.value(cl.tunnel);
        Startup::setConnection(connection);
    }
    return true;
}

// --help, --version and mistakes in the options are answered before the window system is
// reached, so that they work without a display. Returns -1 to go on, else the exit code.
int checkCommandLineFirst(int argc, char *argv[]) {
    QCoreApplication core(argc, argv);
    CommandLine cl;
    cl.parser.parse(core.arguments()); // Qt's own options (-platform, ...) are judged later
    if (cl.parser.isSet(QStringLiteral("help"))) {
        fputs(qPrintable(cl.parser.helpText()), stdout);
        return 0;
    }
    if (cl.parser.isSet(QStringLiteral("version"))) {
        fprintf(stdout, "%s %s\n", qPrintable(QCoreApplication::applicationName()),
                qPrintable(QCoreApplication::applicationVersion()));
        return 0;
    }
    return applyCommandLine(core.arguments(), false) ? -1 : 2;
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication::setApplicationName(QStringLiteral("vyxdesk"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VYX_VERSION));
    takeEnvironmentPassword();
    const int early = checkCommandLineFirst(argc, argv);
    if (early >= 0)
        return early;

    QApplication app(argc, argv);
    if (!applyCommandLine(app.arguments(), true))
        return 2;
    // Plug-ins (SQL drivers, image formats) may also lie in "dll" beside the program.
    QCoreApplication::addLibraryPath(QCoreApplication::applicationDirPath() + QStringLiteral("/dll"));
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/vyxdesk.png")));

    int result = 0;
    {
        // The window (and the web view in it) must be gone before the application object.
        MainWindow window;
        window.setWindowTitle(QString());
        new RunAids(app, window);
        QObject::connect(
            window.bridgeWidget()->mainFrame(), &QWebFrame::loadFinished, &window, [&window](bool ok) {
                qCDebug(lcApp).noquote() << "page" << window.bridgeWidget()->mainFrame()->url().toLocalFile()
                                         << (ok ? "loaded" : "failed to load");
            });
        window.show();
        window.showMaximized();
        fillScreenForScreenshot(window);
        result = app.exec();
    }
    return result;
}
