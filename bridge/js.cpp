#include "js.h"
#include "bridgelog.h"
#include "etsimport.h"

#include "jsmessagesthread.h"
#include "pagescript.h"
#include "qmllogclass.h"
#include "startup.h"
#include "webhelpers.h"
#include "webstorage.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QNetworkRequest>
#include <QScreen>
#include <QShortcut>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStandardPaths>
#include <QThread>
#include <QUrl>
#include <QWebFrame>
#include <QWebHistory>
#include <QWebInspector>
#include <QWebPage>
#include <QWebSettings>
#include <QWebView>

static void initBridgeResources() {
    // The log window's QML lives in this static library's resources.
    Q_INIT_RESOURCE(bridge);
}

namespace {

// The inspector gives full control over the page (and through it over vyxDesk): it exists only
// when the developer asks for it, and only inside this process, never as a network listener.
bool inspectorRequested() {
    return qgetenv("VYXDESK_INSPECTOR") == "1";
}

// The page shown at start: the file given with --page, else index.html, or the file named by
// VYXDESK_PAGE (tests use a page that does not search the network when it opens), in the page
// folder beside the program or in the installed one.
QString startPagePath() {
    QString page = qEnvironmentVariable("VYXDESK_PAGE");
    if (page.isEmpty() || page.contains(QLatin1Char('/')) || page.startsWith(QLatin1Char('.')))
        page = QStringLiteral("index.html");
    return Startup::pageFile(page);
}

// The page holds vyxDesk and with it the installer's files and servers: only the manager's own
// pages under data/html/ may be shown, never a document from elsewhere (a link, a script that
// changes the location, a form, a file dropped onto the window).
class OwnPagesOnly : public QWebPage {
public:
    OwnPagesOnly(const QString &htmlDir, QObject *parent) : QWebPage(parent), m_htmlDir(htmlDir) {}

protected:
    bool acceptNavigationRequest(QWebFrame *frame, const QNetworkRequest &request,
                                 NavigationType type) override {
        if (!JS::isOwnPage(request.url(), m_htmlDir)) {
            qCWarning(lcBridge) << "Refused navigation away from the manager's pages:" << request.url();
            return false;
        }
        return QWebPage::acceptNavigationRequest(frame, request, type);
    }

    // The page's console and its script errors, for whoever turns vyx.page on.
    void javaScriptConsoleMessage(const QString &message, int lineNumber, const QString &sourceID) override {
        qCDebug(lcPage).noquote() << QStringLiteral("%1:%2: %3").arg(sourceID).arg(lineNumber).arg(message);
    }

private:
    QString m_htmlDir;
};

} // namespace

bool JS::isOwnPage(const QUrl &url, const QString &htmlDir) {
    if (url == QUrl(QStringLiteral("about:blank")))
        return true;
    if (!url.isLocalFile())
        return false;
    // Compared once links are resolved, so a link inside the folder cannot lead out of it.
    const QString folder = QFileInfo(htmlDir).canonicalFilePath();
    const QString file = QFileInfo(url.toLocalFile()).canonicalFilePath();
    return !folder.isEmpty() && file.startsWith(folder + QLatin1Char('/'));
}

JS::JS(QWidget *parent, Qt::WindowFlags flags)
    : QWidget(parent, flags), fileDialogs(this), localFiles(Startup::dataRoot(), &fileDialogs),
      projectStore(Startup::dataRoot(), &fileDialogs) {
    initBridgeResources();
    webHelpers = new WebHelpers(Startup::dataRoot(), OperationLog(), this);
    connect(webHelpers, &WebHelpers::pageCall, this, &JS::queueScript);
    mainWindow = parent;

    applyWebSettings();
    setupUi();
    if (inspectorRequested())
        openInspector();

    qCDebug(lcBridge) << applicationDir();
    webView->load(QUrl::fromLocalFile(startPagePath()));

    QWebFrame *frame = webView->page()->mainFrame();
    connect(frame, &QWebFrame::javaScriptWindowObjectCleared, this, &JS::populateJavaScriptWindowObject);
    connect(frame, &QWebFrame::loadFinished, this, &JS::pageLoaded);

    // Never larger than the screen: a top-level bridge of the full widget maximum would ask
    // for a window far beyond any screen.
    QSize size = maximumSize();
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        size = size.boundedTo(screen->availableGeometry().size());
    resize(size);

    ensureProjectFolders();
    connectServerSignals();
    openJournal();
    vaultDesk.setJournal(&journal);
    setContextMenuPolicy(Qt::CustomContextMenu);

    messagesThread = new JSMessagesThread(this);
    connect(messagesThread, &JSMessagesThread::newJSMEssage, this, &JS::newJSMEssage, Qt::QueuedConnection);
    messagesThread->start(QThread::InheritPriority);

    webView->page()->history()->setMaximumItemCount(0);

    stopTimer = new QTimer(this);
    resendTimer = new QTimer(this);
}

JS::~JS() {
    // Work off the GUI thread (fleet backup, probes, hashes, an ETS read) is told to end first, so
    // that it winds down while the rest is torn down; each runner then waits for its jobs.
    vaultDesk.cancelAll();
    localWork.cancelAll();
    if (etsImport)
        etsImport->cancel();
    // A start or stop still running on the worker is waited for, the ones queued are dropped.
    clientWorker.reset();
    // The delivery thread goes first so no script arrives while the page is torn down.
    messagesThread->stop();
    // Answers still on their way from the server's threads are of no use any more.
    disconnect(&connector, nullptr, this, nullptr);
    // The page is destroyed with the widgets below, after this object has stopped being a JS: a
    // load it ends then must not reach pageLoaded() any more.
    mainFrame()->disconnect(this);
    delete messagesThread;
    messagesThread = nullptr;
    closeDiscoverySockets();
    qDeleteAll(findChildren<QMLLogClass *>(QString(), Qt::FindDirectChildrenOnly));
    logWindows.clear();
}

void JS::applyWebSettings() {
    QWebSettings *settings = QWebSettings::globalSettings();
    settings->setAttribute(QWebSettings::DeveloperExtrasEnabled, true);
    setContextMenuPolicy(Qt::NoContextMenu);
    settings->setAttribute(QWebSettings::LocalStorageEnabled, true);
    // Each store set by itself: the page has no favicon, so there is no icon database.
    const QString storage = WebStorage::prepare();
    settings->setLocalStoragePath(storage + QStringLiteral("/LocalStorage"));
    QWebSettings::setOfflineStoragePath(storage + QStringLiteral("/Databases"));
    QWebSettings::setOfflineWebApplicationCachePath(storage + QStringLiteral("/ApplicationCache"));
    settings->setAttribute(QWebSettings::OfflineStorageDatabaseEnabled, true);
    settings->setAttribute(QWebSettings::OfflineWebApplicationCacheEnabled, true);
    settings->setAttribute(QWebSettings::JavascriptCanOpenWindows, true);
    settings->setAttribute(QWebSettings::Accelerated2dCanvasEnabled, true);
    settings->setAttribute(QWebSettings::LocalContentCanAccessFileUrls, true);
    settings->setAttribute(QWebSettings::JavascriptCanAccessClipboard, true);
    settings->setAttribute(QWebSettings::AutoLoadImages, true);
}

void JS::openInspector() {
    auto *inspector = new QWebInspector(this);
    inspector->setObjectName(QStringLiteral("inspector"));
    inspector->setWindowFlags(Qt::Window);
    inspector->setWindowTitle(tr("Inspector"));
    inspector->setPage(webView->page());
    inspector->resize(900, 600);
    inspector->show();
    // F12 brings it back once closed.
    auto *toggle = new QShortcut(QKeySequence(Qt::Key_F12), this);
    toggle->setContext(Qt::WindowShortcut);
    connect(toggle, &QShortcut::activated, inspector,
            [inspector] { inspector->setVisible(!inspector->isVisible()); });
}

void JS::setupUi() {
    if (objectName().isEmpty())
        setObjectName(QStringLiteral("canvasContainer"));
    QWidget::resize(802, 602);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);

    horizontalLayout = new QHBoxLayout(this);
    horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
    horizontalLayout->setSpacing(0);
    horizontalLayout->setContentsMargins(0, 0, 0, 0);
    horizontalLayout->setSizeConstraint(QLayout::SetMaximumSize);

    webFormFrame1 = new QFrame(this);
    webFormFrame1->setObjectName(QStringLiteral("webFormFrame1"));
    webFormFrame1->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Maximum);

    horizontalLayout_2 = new QHBoxLayout(webFormFrame1);
    horizontalLayout_2->setObjectName(QStringLiteral("horizontalLayout_2"));
    horizontalLayout_2->setContentsMargins(0, 0, 0, 0);
    horizontalLayout_2->setSizeConstraint(QLayout::SetMaximumSize);

    webView = new QWebView(webFormFrame1);
    webView->setObjectName(QStringLiteral("webView"));
    webView->setEnabled(true);
    webView->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    // The folder of the start page: data/html beside the program, the installed page folder, or
    // the folder of the page named with --page.
    webView->setPage(new OwnPagesOnly(QFileInfo(startPagePath()).absolutePath(), webView));
    // A dropped file or link would replace the page.
    webView->setAcceptDrops(false);
    webView->setUrl(QUrl(QStringLiteral("about:blank")));
    horizontalLayout_2->addWidget(webView);
    horizontalLayout->addWidget(webFormFrame1);

    QWidget::setWindowTitle(QCoreApplication::translate("canvasContainer", "Loading..."));
}

void JS::connectServerSignals() {
    // Automatic connections: the connector emits on the protocol client's threads, so these
    // arrive queued on the GUI thread. The command-line answer is connected by the slots that
    // send a command line.
    connect(&connector, &VYXConnector::InProgress, this, &JS::VYXInProgress);
    connect(&tunnel, &DeskTunnel::opened, this, &JS::onTunnelOpened);
    connect(&tunnel, &DeskTunnel::failed, this, &JS::onTunnelFailed);
    connect(&connector, &VYXConnector::connectionReady, this, &JS::onConnectionReady);
    connect(&connector, &VYXConnector::connectionState, this, &JS::onConnectionState);
    connect(&connector, &VYXConnector::authenticationResponse, this, &JS::VYXAuthenticationResponse);
    // Folder and file answers come with their whole JSON, so each reaches its own request and a
    // refusal is seen; the file MD5 moves a running copy on, and nothing else.
    connect(&connector, &VYXConnector::fileAnswer, this, &JS::onFileAnswer);
    connect(&connector, &VYXConnector::VYXFileMD5, this,
            [this](QString md5) { remoteCopy.md5Answered(md5); });
    connect(&remoteCopy, &RemoteCopyService::answer, this, &JS::queueExpressionCall);
    connect(&pluginInstall, &PluginInstall::answer, this, &JS::queueExpressionCall);
    connect(&connector, &VYXConnector::VYXDatabaseMD5, this, &JS::VYXDatabaseMD5Done);
    connect(&connector, &VYXConnector::serverVersion, this, [this](QString version) {
        // Asked when a connection is ready; an answer read after a connect or disconnect since
        // belongs to the connection that ended.
        if (readyGeneration != 0 && connectsBegun == connectsAsked)
            connectedServerVersion = version;
    });
    connect(&vaultDesk, &VaultDesk::answer, this, [this](const QString &callback, const QString &json) {
        queueExpressionCall(callback, PageScript::jsonOrStringLiteral(json));
    });
    connect(&connector, &VYXConnector::VYXMessageReceived, this, &JS::VYXMessageReceive);
    connect(&connector, &VYXConnector::VYXZephronMessage, this, &JS::VYXZephronMessage);
    connect(&connector, &VYXConnector::updateParameter, this, &JS::updateParameter);
    // Pushed updates gather in the connector and reach the page once per tick; the log channel
    // (1010022) and the logic channel (999997) keep every change, in order.
    liveTimer = new QTimer(this);
    liveTimer->setSingleShot(true);
    connect(liveTimer, &QTimer::timeout, this, &JS::flushLiveUpdates);
    connect(&connector, &VYXConnector::liveUpdatesPending, this, &JS::onLiveUpdatesPending,
            Qt::QueuedConnection);
    connector.Live().setEventIds({kvt::CmdSendBroadcastMessage, 999997u});
    connector.EnableLiveBuffer(true);
    // A number this program produced: safe to place in the script as it is.
    connect(&connector, &VYXConnector::parameterListReceived, this, [this](int count) {
        queueScript(
            QStringLiteral("window.QT && window.QT.parameterList && window.QT.parameterList(%1)").arg(count));
    });
}

void JS::ensureProjectFolders() {
    const QDir app(Startup::dataRoot());
    if (!app.exists(QStringLiteral("data/project/")))
        app.mkpath(QStringLiteral("data/project"));
    if (!app.exists(QStringLiteral("data/project/assets")))
        app.mkpath(QStringLiteral("data/project/assets"));
}

QString JS::applicationDir() {
    return QCoreApplication::applicationDirPath();
}

QWebFrame *JS::mainFrame() const {
    return webView->page()->mainFrame();
}

void JS::queueScript(const QString &expr) {
    // The call text goes to eval as a string: eval runs the call itself and nothing else. Were
    // the call text the argument of eval, a callback returning one of its (server-supplied)
    // strings would have that string run as a script.
    const QString script = PageScript::evalWrapped(PageScript::stringLiteral(expr));
    if (QThread::currentThread() == thread()) {
        // Called on the GUI thread (every slot is): posted straight into the GUI thread's event
        // queue, behind the scripts queued before it. A round trip through the delivery thread
        // would only add two thread wake-ups to each answer.
        QMetaObject::invokeMethod(
            this, [this, script] { newJSMEssage(script); }, Qt::QueuedConnection);
        return;
    }
    messagesThread->enqueue(script);
}

void JS::queueStringCall(const QString &callback, const QString &text) {
    queueScript(PageScript::stringCall(callback, text));
}

void JS::queueExpressionCall(const QString &callback, const QString &expression) {
    queueScript(PageScript::expressionCall(callback, expression));
}

void JS::evaluateNow(const QString &script) {
    mainFrame()->evaluateJavaScript(script);
}

// General slots.

void JS::replyFinished(QNetworkReply *reply) {
    Q_UNUSED(reply);
}

void JS::submit() {}

void JS::populateJavaScriptWindowObject() {
    mainFrame()->addToJavaScriptWindowObject(QStringLiteral("vyxDesk"), this);
}

void JS::queryExecute(QString query) {
    qCDebug(lcBridge) << query;
    QString result;
    if (queryDatabase && (queryDatabase->isOpen() || queryDatabase->open())) {
        QSqlQuery sql(*queryDatabase);
        sql.setForwardOnly(true);
        const bool executed = sql.exec(query);
        qCDebug(lcBridge) << executed;
        qCDebug(lcBridge) << queryDatabase->lastError().text();
        QJsonArray rows;
        while (sql.next()) {
            const QSqlRecord record = sql.record();
            QJsonObject row;
            for (int i = 0; i < record.count(); ++i)
                row.insert(record.fieldName(i), QJsonValue::fromVariant(record.value(i)));
            rows.append(row);
        }
        result = QString::fromUtf8(QJsonDocument(rows).toJson(QJsonDocument::Indented));
    }
    // Column values come from the database: passed as JSON (line separators escaped), they
    // stay data in the page.
    const QString argument = result.isEmpty() ? result : PageScript::jsonOrStringLiteral(result);
    evaluateNow(QStringLiteral("window.desktopApp.queryResponse(%1)").arg(argument));
}

void JS::exit() {
    QCoreApplication::exit(0);
}

QString JS::applicationPath() {
    return applicationDir();
}

QString JS::getQTRelease() {
    // Qt writes object members in alphabetical order, which puts "label" before "version".
    QJsonObject release;
    release.insert(QStringLiteral("label"), QStringLiteral("Ver 2.10 07/02/2023"));
    release.insert(QStringLiteral("version"), QStringLiteral("210"));
    return QString::fromUtf8(QJsonDocument(release).toJson(QJsonDocument::Indented));
}

void JS::setWindowTitle(QString title) {
    QWidget *target = mainWindow ? mainWindow : window();
    target->setWindowTitle(title);
}

void JS::newJSMEssage(QString js) {
    evaluateNow(js);
}

void JS::pageLoaded(bool estado) {
    Q_UNUSED(estado);
    if (mainWindow)
        resize(mainWindow->width() - 1, mainWindow->height() - 1);
}
