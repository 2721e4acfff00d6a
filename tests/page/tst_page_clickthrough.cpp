// Every button of every view, clicked with the mouse in the real manager window against the
// server simulator, forms typed in with the keyboard and file dialogs answered like a user does.
// Each click must end in a visible success or a visible, specific error: never silence and never
// "command not found". The Servers view searches the network, so the cases run only inside a
// network namespace of their own. (Choosing a server the search found is tested with the page on
// the bridge, where a responder answers.)
#include "journal.h"
#include "js.h"
#include "mainwindow.h"
#include "ownnetworknamespace.h"
#include "pageerrors.h"
#include "sqlitebytes.h"
#include "testzip.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QHostAddress>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPointer>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebFrame>
#include <QWebView>
#include <QtTest>

namespace {

QString literal(const QString &text) {
    return QString::fromUtf8(QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact))
        .mid(1)
        .chopped(1);
}

// A simulator process on a free loopback port with its own sandbox.
class Simulator {
public:
    ~Simulator() { stop(); }

    bool start(const QString &root, const QStringList &extra) {
#ifdef VYX_SIM
        QDir().mkpath(root);
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.setStandardErrorFile(root + QStringLiteral(".log"));
        m_process.start(QStringLiteral(VYX_SIM),
                        QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--root"),
                                    root, QStringLiteral("--live")} +
                            extra);
        if (!m_process.waitForStarted(10000))
            return false;
        QElapsedTimer timer;
        timer.start();
        while (!m_process.canReadLine() && timer.elapsed() < 10000)
            m_process.waitForReadyRead(200);
        const QByteArray line = m_process.readLine().trimmed();
        if (line.startsWith("LISTENING "))
            port = line.mid(10).toInt();
#else
        Q_UNUSED(root);
        Q_UNUSED(extra);
#endif
        return port != 0;
    }

    void stop() {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }

    int port = 0;

private:
    QProcess m_process;
};

// Helpers check with QVERIFY, which only leaves the helper: a step stops the test at its first
// failure.
#define STEP(call)                                                                                           \
    do {                                                                                                     \
        call;                                                                                                \
        if (QTest::currentTestFailed())                                                                      \
            return;                                                                                          \
    } while (false)

} // namespace

class Launcher : public QObject {
    Q_OBJECT

private slots:
    void runsInsideItsOwnNetworkNamespace() { VYX_RUN_IN_OWN_NETWORK_NAMESPACE(); }
};

class ClickThroughTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void servers();
    void parameters();
    void backup();
    void vault();
    void fleet();
    void suspectCopyInTheVault();
    void suspectSiteInTheFleet();
    void suspectBackupInTheJournal();
    void files();
    void console();
    void bus();
    void logs();
    void project();
    void ets();
    void about();
    void disconnecting();

private:
    QWebView *view() const { return m_window->bridgeWidget()->view(); }
    QVariant eval(const QString &script) {
        return m_window->bridgeWidget()->mainFrame()->evaluateJavaScript(script);
    }
    QString viewText(const QString &view) {
        return eval(QStringLiteral("document.getElementById('view-%1').textContent").arg(view)).toString();
    }
    bool waitFor(const QString &condition, int timeoutMs = 20000) {
        QElapsedTimer timer;
        timer.start();
        while (!eval(condition).toBool() && timer.elapsed() < timeoutMs)
            QTest::qWait(25);
        return eval(condition).toBool();
    }
    // The backups and restores in the journal, newest first, as "kind:outcome".
    QStringList journalTransfers() {
        Journal journal(QStringLiteral("clickthrough"));
        QStringList out;
        if (!journal.open())
            return {QStringLiteral("the journal cannot be opened: ") + journal.lastError()};
        for (const QJsonValue &v : journal.entries()) {
            const QString kind = v[QStringLiteral("kind")].toString();
            if (kind == QLatin1String("backup") || kind == QLatin1String("configuration-upload"))
                out << kind + QLatin1Char(':') + v[QStringLiteral("outcome")].toString();
        }
        return out;
    }
    // Waits until the view shows text; fails with what the view shows otherwise.
    void expectText(const QString &view, const QString &text, int timeoutMs = 20000) {
        const QString condition =
            QStringLiteral("document.getElementById('view-%1').textContent.indexOf(%2) >= 0")
                .arg(view, literal(text));
        QVERIFY2(
            waitFor(condition, timeoutMs),
            qPrintable(
                QStringLiteral("'%1' never appeared in %2: %3").arg(text, view, viewText(view).left(3000))));
    }

    // The selector picks the element; it is scrolled into view and clicked with the mouse at its
    // centre, after checking that the centre really shows that element (visible, not covered).
    // A mouse click in the middle of the element; `twice`: a double click.
    void clickElement(const QString &selectorScript, const QString &what, bool twice = false);
    // Each case that needs the server logs in itself when the cases before it did not (or were
    // not run): by the Servers view's form, as a user does.
    void connected();
    void click(const QString &view, const QString &text, int index = 0) {
        clickElement(
            QStringLiteral(
                "Array.prototype.filter.call(document.querySelectorAll('#view-%1 button'), function (b) {"
                " return b.textContent === %2 && b.offsetParent !== null; })[%3]")
                .arg(view, literal(text))
                .arg(index),
            view + QStringLiteral(": ") + text);
    }
    // How many log-ins the main simulator has reported so far.
    int simLogins() const {
        QFile log(m_dir.filePath(QStringLiteral("sim.log")));
        return log.open(QIODevice::ReadOnly) ? int(log.readAll().count(" logged in\n")) : -1;
    }
    void clickDialogButton(const QString &text) {
        // A dialog may open only after an answer from the server (a restore compares first).
        waitFor(QStringLiteral(
                    "Array.prototype.some.call(document.querySelectorAll('.dialog button'), function (b) {"
                    " return b.textContent === %1; })")
                    .arg(literal(text)),
                20000);
        clickElement(
            QStringLiteral(
                "Array.prototype.filter.call(document.querySelectorAll('.dialog button'), function (b) {"
                " return b.textContent === %1; })[0]")
                .arg(literal(text)),
            QStringLiteral("dialog: ") + text);
    }
    void showView(const QString &id) {
        STEP(clickElement(QStringLiteral("document.querySelector('.nav-item[data-view=\"%1\"]')").arg(id),
                          QStringLiteral("nav: ") + id));
        QVERIFY(waitFor(QStringLiteral("VX.currentView() === '%1'").arg(id), 5000));
    }
    // Clicks into the field and types the text, replacing what it held.
    void type(const QString &selectorScript, const QString &text) {
        STEP(clickElement(selectorScript, QStringLiteral("field ") + selectorScript));
        QTest::keyClick(view(), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(view(), Qt::Key_Delete);
        QTest::keyClicks(view(), text);
        const QString value = eval(QStringLiteral("(%1).value").arg(selectorScript)).toString();
        QCOMPARE(value, text);
    }
    QString field(const QString &view, const QString &label) {
        // The input of the field whose label is `label`.
        return QStringLiteral(
                   "Array.prototype.filter.call(document.querySelectorAll('#view-%1 label'), function (l) {"
                   " return l.textContent.indexOf(%2) === 0; }).map(function (l) {"
                   " return l.querySelector('input,select') || "
                   "document.getElementById(l.getAttribute('for')); })[0]")
            .arg(view, literal(label));
    }
    void selectOption(const QString &selectorScript, const QString &value) {
        eval(QStringLiteral("(function (s) { s.value = %1; var e = document.createEvent('Event'); "
                            "e.initEvent('change', true, true);"
                            " s.dispatchEvent(e); })(%2)")
                 .arg(literal(value), selectorScript));
    }
    // The next file dialog is answered with path (and accepted), as a user would.
    void answerNextFileDialog(const QString &path) {
        m_dialogAnswer = path;
        m_dialogAnswered = false;
        m_answeredDialog = nullptr;
    }
    void checkDialogAnswered() {
        QVERIFY2(m_dialogAnswered, "the button opened no file dialog");
        QVERIFY2(m_dialogProblems.isEmpty(), qPrintable(m_dialogProblems.join(QStringLiteral(" | "))));
    }
    void answerDialogs();
    // Never "command not found", never a script error, after every step.
    void checkNoFailureWords() {
        const QString all = eval(QStringLiteral("document.body.textContent")).toString();
        QVERIFY2(!all.contains(QStringLiteral("command not found")), qPrintable(all.left(2000)));
    }
    QString writeFile(const QString &name, const QByteArray &data) {
        const QString path = m_dir.filePath(name);
        QFile f(path);
        if (f.open(QIODevice::WriteOnly))
            f.write(data);
        return path;
    }

    MainWindow *m_window = nullptr;
    QTemporaryDir m_dir;
    Simulator m_sim;
    Simulator m_fullSim;
    QString m_dialogAnswer;
    QStringList m_dialogProblems;
    QPointer<QFileDialog> m_answeredDialog;
    QElapsedTimer m_answeredAt;
    bool m_dialogAnswered = true;
    QTimer m_dialogTimer;
};

void ClickThroughTest::clickElement(const QString &selectorScript, const QString &what, bool twice) {
    const QVariant rect = eval(
        QStringLiteral(
            "(function (b) { if (!b) return null; b.scrollIntoView(false); var r = b.getBoundingClientRect();"
            " var x = Math.round(r.left + r.width / 2), y = Math.round(r.top + r.height / 2);"
            " var hit = document.elementFromPoint(x, y);"
            " return { x: x, y: y, onTarget: hit === b || b.contains(hit), disabled: !!b.disabled }; })(%1)")
            .arg(selectorScript));
    QVERIFY2(rect.isValid() && !rect.isNull() && rect.toMap().contains(QStringLiteral("x")),
             qPrintable(QStringLiteral("not found: ") + what));
    const QVariantMap r = rect.toMap();
    QVERIFY2(!r.value(QStringLiteral("disabled")).toBool(), qPrintable(QStringLiteral("disabled: ") + what));
    QVERIFY2(r.value(QStringLiteral("onTarget")).toBool(),
             qPrintable(QStringLiteral("covered or outside the window: ") + what));
    const QPoint at(r.value(QStringLiteral("x")).toInt(), r.value(QStringLiteral("y")).toInt());
    QTest::mouseClick(view(), Qt::LeftButton, Qt::NoModifier, at);
    if (twice) {
        // What the window system gives for a double click: the second press, the double click,
        // the release (QTest::mouseDClick leaves out the first click here).
        QTest::mousePress(view(), Qt::LeftButton, Qt::NoModifier, at);
        QMouseEvent dbl(QEvent::MouseButtonDblClick, at, view()->mapToGlobal(at), Qt::LeftButton,
                        Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view(), &dbl);
        QTest::mouseRelease(view(), Qt::LeftButton, Qt::NoModifier, at);
    }
}

void ClickThroughTest::connected() {
    if (eval(QStringLiteral("document.getElementById('connection-text').textContent")).toString() ==
        QLatin1String("Connected"))
        return;
    STEP(showView(QStringLiteral("servers")));
    STEP(type(field(QStringLiteral("servers"), QStringLiteral("Address")), QStringLiteral("127.0.0.1")));
    STEP(type(field(QStringLiteral("servers"), QStringLiteral("Port")), QString::number(m_sim.port)));
    STEP(type(field(QStringLiteral("servers"), QStringLiteral("User")), QStringLiteral("admin")));
    STEP(type(field(QStringLiteral("servers"), QStringLiteral("Password")), QStringLiteral("admin")));
    STEP(click(QStringLiteral("servers"), QStringLiteral("Connect")));
    STEP(expectText(QStringLiteral("servers"), QStringLiteral("Connected to 127.0.0.1:%1.").arg(m_sim.port)));
    QVERIFY(
        waitFor(QStringLiteral("document.getElementById('connection-text').textContent === 'Connected'")));
}

void ClickThroughTest::answerDialogs() {
    QWidget *modal = QApplication::activeModalWidget();
    if (auto *box = qobject_cast<QMessageBox *>(modal)) {
        // A message box over a file dialog means the answer was refused: note it, close it.
        m_dialogProblems << box->text();
        box->reject();
        return;
    }
    auto *dialog = qobject_cast<QFileDialog *>(modal);
    if (!dialog)
        return;
    // A dialog already answered that is still up (its file list was still loading) is answered
    // again after a moment; a dialog nobody expected stays open and the step fails.
    if (m_dialogAnswered && (dialog != m_answeredDialog || m_answeredAt.elapsed() < 500))
        return;
    m_dialogAnswered = true;
    m_answeredDialog = dialog;
    m_answeredAt.start();
    // As a user does: the whole path typed into the file name field, then Enter.
    if (auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
        name->setText(m_dialogAnswer);
    else
        dialog->selectFile(m_dialogAnswer);
    QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
}

void ClickThroughTest::initTestCase() {
    QVERIFY2(OwnNetworkNamespace::onlyLoopback(), "loopback must be the only interface");
    QVERIFY(m_dir.isValid());
    qputenv("XDG_DATA_HOME", m_dir.filePath(QStringLiteral("xdg-data")).toUtf8());
    QVERIFY2(m_sim.start(m_dir.filePath(QStringLiteral("sim")), {QStringLiteral("--no-discovery")}),
             "the simulator did not start");
    QVERIFY2(m_fullSim.start(m_dir.filePath(QStringLiteral("full")),
                             {QStringLiteral("--no-discovery"), QStringLiteral("--report-full")}),
             "the second simulator did not start");

    // File dialogs are the widget dialogs, answered from a timer inside their own event loop.
    connect(&m_dialogTimer, &QTimer::timeout, this, &ClickThroughTest::answerDialogs);
    m_dialogTimer.start(50);

    m_window = new MainWindow;
    QWebFrame *frame = m_window->bridgeWidget()->mainFrame();
    recordPageErrors(this, frame);
    m_window->resize(1600, 1000);
    m_window->bridgeWidget()->resize(1600, 1000);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    QVERIFY(
        waitFor(QStringLiteral("!!(window.VX && VX.currentView && VX.currentView() === 'servers')"), 20000));
    view()->resize(1600, 1000);
}

void ClickThroughTest::cleanupTestCase() {
    m_dialogTimer.stop();
    delete m_window;
    m_sim.stop();
    m_fullSim.stop();
}

void ClickThroughTest::init() {
    // Notices of an earlier step must not count as the answer of this one.
    eval(QStringLiteral("Array.prototype.forEach.call(document.querySelectorAll('.notice'), function (n) { "
                        "n.parentNode.removeChild(n); })"));
}

void ClickThroughTest::cleanup() {
#ifdef VYX_SHOTS
    // What each view shows at the end of its step, for a person to look at; the progress bars
    // finish their transition first, so the bar matches its caption.
    QTest::qWait(400);
    QDir().mkpath(QStringLiteral(VYX_SHOTS));
    m_window->grab().save(
        QDir(QStringLiteral(VYX_SHOTS))
            .filePath(QString::fromLatin1(QTest::currentTestFunction()) + QStringLiteral(".png")));
#endif
    checkNoFailureWords();
    QCOMPARE(eval(pageErrorsExpression()).toString(), QString());
    QVERIFY2(!qobject_cast<QDialog *>(QApplication::activeModalWidget()), "a dialog was left open");
}

void ClickThroughTest::servers() {
    // The search that started with the page ends first; then the button searches again. Nothing
    // answers here (the simulators do not answer searches), so the view says what to try.
    STEP(expectText(QStringLiteral("servers"), QStringLiteral("Search finished"), 15000));
    STEP(click(QStringLiteral("servers"), QStringLiteral("Search again")));
    STEP(expectText(QStringLiteral("servers"), QStringLiteral("Searching the local network"), 5000));
    STEP(
        expectText(QStringLiteral("servers"), QStringLiteral("Search finished: no server answered."), 15000));
    for (const char *hint : {"Enter the server's address by hand", "this computer is on the server's network",
                             "UDP ports 17000 and 17001 are not blocked"})
        STEP(expectText(QStringLiteral("servers"), QString::fromUtf8(hint), 1000));
    QVERIFY(eval(QStringLiteral("document.querySelector('#view-servers .help-box').offsetParent !== null"))
                .toBool());

    const QString address = field(QStringLiteral("servers"), QStringLiteral("Address"));
    const QString port = field(QStringLiteral("servers"), QStringLiteral("Port"));
    const QString user = field(QStringLiteral("servers"), QStringLiteral("User"));
    const QString password = field(QStringLiteral("servers"), QStringLiteral("Password"));
    const QString name = field(QStringLiteral("servers"), QStringLiteral("Site name"));

    // A server that is full says so.
    STEP(type(address, QStringLiteral("127.0.0.1")));
    STEP(type(port, QString::number(m_fullSim.port)));
    STEP(type(user, QStringLiteral("admin")));
    STEP(type(password, QStringLiteral("admin")));
    STEP(click(QStringLiteral("servers"), QStringLiteral("Connect")));
    STEP(expectText(QStringLiteral("servers"), QStringLiteral("The server is full")));

    // A wrong password says so.
    STEP(type(port, QString::number(m_sim.port)));
    STEP(type(password, QStringLiteral("not-the-password")));
    STEP(click(QStringLiteral("servers"), QStringLiteral("Connect")));
    STEP(expectText(QStringLiteral("servers"), QStringLiteral("Wrong user name or password")));

    // The right one connects and saves the site.
    STEP(type(password, QStringLiteral("admin")));
    STEP(type(name, QStringLiteral("Lab simulator")));
    STEP(click(QStringLiteral("servers"), QStringLiteral("Connect")));
    STEP(expectText(QStringLiteral("servers"), QStringLiteral("Connected to 127.0.0.1:%1.").arg(m_sim.port)));
    QVERIFY(
        waitFor(QStringLiteral("document.getElementById('connection-text').textContent === 'Connected'")));
    STEP(expectText(QStringLiteral("servers"), QStringLiteral("Lab simulator")));

    // Saved sites: "Use" fills the form again.
    STEP(type(address, QStringLiteral("192.0.2.1")));
    const QString sites = QStringLiteral("document.querySelectorAll('#view-servers table')[1].tBodies[0]");
    STEP(clickElement(sites + QStringLiteral(".querySelector('button')"), QStringLiteral("saved site: Use")));
    QCOMPARE(eval(address + QStringLiteral(".value")).toString(), QStringLiteral("127.0.0.1"));
    QCOMPARE(eval(port + QStringLiteral(".value")).toString(), QString::number(m_sim.port));
    // The full server's site was never saved (its login failed): one row, then none.
    QCOMPARE(eval(sites + QStringLiteral(".rows.length")).toInt(), 1);
    STEP(clickElement(QStringLiteral("Array.prototype.filter.call(%1.querySelectorAll('button'), function "
                                     "(b) { return b.textContent === 'Remove'; })[0]")
                          .arg(sites),
                      QStringLiteral("saved site: Remove")));
    STEP(expectText(QStringLiteral("servers"), QStringLiteral("No saved site.")));
}

void ClickThroughTest::parameters() {
    STEP(connected());
    STEP(showView(QStringLiteral("parameters")));
    STEP(click(QStringLiteral("parameters"), QStringLiteral("Load all parameters")));
    STEP(expectText(QStringLiteral("parameters"), QStringLiteral("Values received")));
    // The loading shows its progress and ends with the count of all values.
    STEP(expectText(QStringLiteral("parameters"), QStringLiteral(" values received in ")));
    QVERIFY(waitFor(
        QStringLiteral("document.querySelectorAll('#view-parameters tbody tr[data-id]').length > 20")));

    STEP(clickElement(QStringLiteral("document.querySelector('#view-parameters tr[data-id=\"100101\"] td')"),
                      QStringLiteral("row 100101")));
    QVERIFY(waitFor(
        QStringLiteral(
            "document.querySelector('#view-parameters .props .mono.strong').textContent === '100101'"),
        5000));
    selectOption(field(QStringLiteral("parameters"), QStringLiteral("Write as")), QStringLiteral("byte"));
    STEP(type(field(QStringLiteral("parameters"), QStringLiteral("Value")), QStringLiteral("300")));
    STEP(click(QStringLiteral("parameters"), QStringLiteral("Write value")));
    STEP(expectText(QStringLiteral("parameters"), QStringLiteral("300 does not fit in a byte")));
    STEP(type(field(QStringLiteral("parameters"), QStringLiteral("Value")), QStringLiteral("77")));
    STEP(click(QStringLiteral("parameters"), QStringLiteral("Write value")));
    STEP(expectText(QStringLiteral("parameters"), QStringLiteral("Sent 100101 = 77 as byte")));
    STEP(click(QStringLiteral("parameters"), QStringLiteral("Read again")));
    STEP(expectText(QStringLiteral("parameters"), QStringLiteral("Asked for the value of 100101")));
    QVERIFY(waitFor(QStringLiteral("document.querySelector('#view-parameters tr[data-id=\"100101\"] "
                                   "td:nth-child(2)').textContent === '77'")));
}

void ClickThroughTest::backup() {
    STEP(connected());
    STEP(showView(QStringLiteral("backup")));
    const QString backup = m_dir.filePath(QStringLiteral("backup.db"));
    answerNextFileDialog(backup);
    STEP(click(QStringLiteral("backup"), QStringLiteral("Download backup…")));
    STEP(checkDialogAnswered());
    STEP(expectText(QStringLiteral("backup"), QStringLiteral("Download complete"), 30000));
    QVERIFY(QFileInfo(backup).size() > 0);

    STEP(click(QStringLiteral("backup"), QStringLiteral("Ask the server")));
    STEP(expectText(QStringLiteral("backup"), QStringLiteral("Server answered.")));
    STEP(expectText(QStringLiteral("backup"), QStringLiteral("is the same as the server")));

    // A different database: the local MD5 differs, then the upload replaces the server's.
    const std::string changedBytes = sqliteBytes(17, 1);
    const QByteArray changed(changedBytes.data(), int(changedBytes.size()));
    const QString other = writeFile(QStringLiteral("changed.db"), changed);
    answerNextFileDialog(other);
    STEP(click(QStringLiteral("backup"), QStringLiteral("MD5 of a local file…")));
    STEP(checkDialogAnswered());
    STEP(expectText(QStringLiteral("backup"),
                    QString::fromLatin1(QCryptographicHash::hash(changed, QCryptographicHash::Md5).toHex())));
    STEP(expectText(QStringLiteral("backup"), QStringLiteral("differs from the server")));

    answerNextFileDialog(other);
    STEP(click(QStringLiteral("backup"), QStringLiteral("Upload and restore…")));
    STEP(checkDialogAnswered());
    STEP(clickDialogButton(QStringLiteral("Upload and replace")));
    STEP(expectText(QStringLiteral("backup"), QStringLiteral("Upload complete"), 30000));
    STEP(click(QStringLiteral("backup"), QStringLiteral("Ask the server")));
    STEP(expectText(QStringLiteral("backup"), QStringLiteral("is the same as the server")));
}

// The vault: a backup into it, then a restore after the live database changed under it, which
// offers to back up first and records both; restoring what the server already has sends nothing.
void ClickThroughTest::vault() {
#ifdef VYX_CTL
    STEP(connected());
    STEP(showView(QStringLiteral("backup")));
    STEP(click(QStringLiteral("backup"), QStringLiteral("Back up to the vault")));
    STEP(expectText(QStringLiteral("backup"), QStringLiteral("Backed up to the vault:"), 30000));
    const QString rows = QStringLiteral("document.querySelectorAll('#view-backup table')[0].tBodies[0].rows");
    QCOMPARE(eval(rows + QStringLiteral(".length")).toInt(), 1);
    STEP(expectText(QStringLiteral("backup"), QStringLiteral("verified")));
    // The copy names the server version it came from.
    const QString version = eval(rows + QStringLiteral("[0].cells[4].textContent")).toString();
    QVERIFY2(version.startsWith(QLatin1String("vyxsim")), qPrintable(version));
    const QDir folder(m_dir.filePath(QStringLiteral("xdg-data/vyxdesk/vault/127.0.0.1_%1").arg(m_sim.port)));
    QCOMPARE(folder.entryList({QStringLiteral("*.db")}, QDir::Files).size(), 1);

    // Another client changes the live database.
    const std::string liveBytes = sqliteBytes(18, 70);
    const QByteArray live(liveBytes.data(), int(liveBytes.size()));
    const QString livePath = writeFile(QStringLiteral("live.db"), live);
    QProcess ctl;
    ctl.start(QStringLiteral(VYX_CTL),
              {QStringLiteral("-p"), QString::number(m_sim.port), QStringLiteral("upload"), livePath});
    QVERIFY(ctl.waitForFinished(30000));
    QVERIFY2(ctl.exitCode() == 0, ctl.readAllStandardError().constData());

    // The restore names the change and offers the backup first.
    const std::string restoreBytes = sqliteBytes(12, 50);
    const QByteArray restore(restoreBytes.data(), int(restoreBytes.size()));
    const QString restorePath = writeFile(QStringLiteral("restore.db"), restore);
    static const char *months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const QDate today = QDateTime::currentDateTime().date();
    const QString day =
        QStringLiteral("%1 %2").arg(today.day()).arg(QLatin1String(months[today.month() - 1]));
    answerNextFileDialog(restorePath);
    STEP(click(QStringLiteral("backup"), QStringLiteral("Upload and restore…")));
    STEP(checkDialogAnswered());
    const QString dialogText =
        QStringLiteral("(document.querySelector('.dialog-text') || {}).textContent || ''");
    QVERIFY(waitFor(dialogText + QStringLiteral(".length > 0")));
    QVERIFY2(
        eval(dialogText)
            .toString()
            .contains(QStringLiteral(
                          "The server's database has changed since your last backup of %1: back it up first?")
                          .arg(day)),
        qPrintable(eval(dialogText).toString()));
    const int recordsBefore = journalTransfers().size();
    STEP(clickDialogButton(QStringLiteral("Back up, then restore")));
    STEP(expectText(QStringLiteral("backup"), QStringLiteral("Restored."), 60000));
    // The journal holds both, in order: the backup, then the restore.
    QTRY_COMPARE_WITH_TIMEOUT(
        journalTransfers().mid(0, journalTransfers().size() - recordsBefore).join(QLatin1Char(' ')),
        QStringLiteral("configuration-upload:succeeded backup:succeeded"), 10000);
    QCOMPARE(eval(rows + QStringLiteral(".length")).toInt(), 2);
    const QString liveMd5 =
        QString::fromLatin1(QCryptographicHash::hash(live, QCryptographicHash::Md5).toHex());
    const QStringList copies = folder.entryList({QStringLiteral("*.db")}, QDir::Files);
    QCOMPARE(copies.size(), 2);
    QVERIFY2(copies.filter(liveMd5).size() == 1, qPrintable(copies.join(QLatin1Char(' '))));
    // The newest copy is the changed live database; the server now has the restored file.
    QVERIFY(eval(rows + QStringLiteral("[0].cells[3].title")).toString() == liveMd5);
    STEP(click(QStringLiteral("backup"), QStringLiteral("Ask the server")));
    STEP(expectText(QStringLiteral("backup"), QStringLiteral("is the same as the server")));

    // The same file again: said so, nothing sent, no question asked.
    answerNextFileDialog(restorePath);
    STEP(click(QStringLiteral("backup"), QStringLiteral("Upload and restore…")));
    STEP(checkDialogAnswered());
    STEP(expectText(QStringLiteral("backup"), QStringLiteral("The server's database already is restore.db")));
    STEP(expectText(QStringLiteral("backup"), QStringLiteral("nothing will be sent")));
    QVERIFY(eval(QStringLiteral("document.querySelector('.overlay') === null")).toBool());
    QCOMPARE(journalTransfers().size(), recordsBefore + 2);
    // Nothing of the earlier upload is left to read as this one's outcome.
    QCOMPARE(eval(QStringLiteral("document.querySelectorAll('#view-backup .steps li').length")).toInt(), 0);
    QVERIFY(!viewText(QStringLiteral("backup")).contains(QStringLiteral("Upload complete")));
#else
    QSKIP("vyxctl is not built");
#endif
}

// The fleet: saved sites with their reachability and backup age; two backed up side by side,
// one of them refused, and the summary names that one with its reason.
void ClickThroughTest::fleet() {
    // A port nobody listens on.
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const int gonePort = closed.serverPort();
    closed.close();
    // An old copy of the full server's database, so its backup age is marked.
    const QString fullFolder =
        m_dir.filePath(QStringLiteral("xdg-data/vyxdesk/vault/127.0.0.1_%1").arg(m_fullSim.port));
    QDir().mkpath(fullFolder);
    const qint64 old = QDateTime::currentSecsSinceEpoch() - 30 * 86400;
    const QByteArray oldCopy("an old copy");
    const QString oldMd5 =
        QString::fromLatin1(QCryptographicHash::hash(oldCopy, QCryptographicHash::Md5).toHex());
    QFile oldFile(fullFolder + QStringLiteral("/old_") + oldMd5 + QStringLiteral(".db"));
    QVERIFY(oldFile.open(QIODevice::WriteOnly));
    oldFile.write(oldCopy);
    oldFile.close();
    QFile manifest(fullFolder + QStringLiteral("/manifest.jsonl"));
    QVERIFY(manifest.open(QIODevice::WriteOnly));
    manifest.write(
        QStringLiteral(
            "{\"site\":\"Full\",\"host\":\"127.0.0.1\",\"port\":%1,\"time\":%2,\"size\":%3,"
            "\"md5\":\"%4\",\"version\":\"vyxsim old\",\"file\":\"old_%4.db\",\"verified\":true}\n")
            .arg(m_fullSim.port)
            .arg(old)
            .arg(oldCopy.size())
            .arg(oldMd5)
            .toUtf8());
    manifest.close();

    // Full and Gone were never connected to: no time of a last connection (the Servers view says
    // "never"); Lab keeps the time of its real connections.
    eval(QStringLiteral("(function (s) { s.save({name: 'Lab', host: '127.0.0.1', port: '%1', user: 'admin'});"
                        " s.save({name: 'Full', host: '127.0.0.1', port: '%2', user: 'admin'});"
                        " s.save({name: 'Gone', host: '127.0.0.1', port: '%3', user: 'admin'}); })(new "
                        "VX.SiteStore(window.localStorage))")
             .arg(m_sim.port)
             .arg(m_fullSim.port)
             .arg(gonePort));
    STEP(showView(QStringLiteral("fleet")));
    STEP(expectText(QStringLiteral("fleet"), QStringLiteral("Checked at")));
    STEP(expectText(QStringLiteral("fleet"), QStringLiteral("1 of 3 not reachable.")));
    const auto row = [](const QString &name) {
        return QStringLiteral("Array.prototype.filter.call(document.querySelectorAll('#view-fleet tbody "
                              "tr'), function (r) {"
                              " return r.cells[1] && r.cells[1].textContent === %1; })[0]")
            .arg(literal(name));
    };
    QVERIFY(eval(row(QStringLiteral("Lab")) + QStringLiteral(".cells[3].textContent"))
                .toString()
                .startsWith(QStringLiteral("reachable")));
    QVERIFY(eval(row(QStringLiteral("Gone")) + QStringLiteral(".cells[3].textContent"))
                .toString()
                .startsWith(QStringLiteral("not reachable")));
    // Lab's copies made on the Backup view count; Full's copy is older than the limit.
    const QDir labFolder(
        m_dir.filePath(QStringLiteral("xdg-data/vyxdesk/vault/127.0.0.1_%1").arg(m_sim.port)));
    const int labCopies = labFolder.entryList({QStringLiteral("*.db")}, QDir::Files).size();
    const auto copiesText = [](int n) {
        return n == 1 ? QStringLiteral("(1 copy)") : QStringLiteral("(%1 copies)").arg(n);
    };
    QVERIFY(eval(row(QStringLiteral("Lab")) + QStringLiteral(".cells[5].textContent"))
                .toString()
                .endsWith(labCopies ? copiesText(labCopies) : QStringLiteral("no backup")));
    QCOMPARE(eval(row(QStringLiteral("Full")) + QStringLiteral(".cells[5].textContent")).toString(),
             QStringLiteral("30 days old — older than 7 days (1 copy)"));
    QCOMPARE(eval(row(QStringLiteral("Full")) + QStringLiteral(".cells[4].textContent")).toString(),
             QStringLiteral("vyxsim old"));

    STEP(clickElement(row(QStringLiteral("Gone")) + QStringLiteral(".querySelector('input[type=checkbox]')"),
                      QStringLiteral("fleet: unselect Gone")));
    STEP(type(row(QStringLiteral("Lab")) + QStringLiteral(".querySelector('input[type=password]')"),
              QStringLiteral("admin")));
    STEP(type(row(QStringLiteral("Full")) + QStringLiteral(".querySelector('input[type=password]')"),
              QStringLiteral("admin")));
    STEP(click(QStringLiteral("fleet"), QStringLiteral("Back up selected")));
    STEP(expectText(QStringLiteral("fleet"), QStringLiteral("1 of 2 sites backed up. Failed: Full."), 60000));
    STEP(
        expectText(QStringLiteral("fleet"), QStringLiteral("Full: the server has reached its client limit")));
    QVERIFY(eval(row(QStringLiteral("Lab")) + QStringLiteral(".cells[7].textContent"))
                .toString()
                .startsWith(QStringLiteral("backed up in")));
    // The vault is read again off the manager's GUI thread once the backup ended.
    QVERIFY(waitFor(row(QStringLiteral("Lab")) +
                    QStringLiteral(".cells[5].textContent.indexOf(%1) >= 0")
                        .arg(literal(QStringLiteral("just now ") + copiesText(labCopies + 1)))));
    QVERIFY(eval(row(QStringLiteral("Lab")) + QStringLiteral(".cells[4].textContent"))
                .toString()
                .startsWith(QStringLiteral("vyxsim")));
    QCOMPARE(eval(row(QStringLiteral("Gone")) + QStringLiteral(".cells[7].textContent")).toString(),
             QString());

    // Each site backed up is in the journal once, with its server and user and how it ended; the
    // unselected site is not.
    Journal journal(QStringLiteral("clickthrough"));
    QVERIFY(journal.open());
    JournalFilter backups;
    backups.kind = QStringLiteral("backup");
    QMap<QString, QJsonObject> fleetEntries;
    for (const QJsonValue &v : journal.entries(backups)) {
        const QJsonObject e = v.toObject();
        if (!e.value(QStringLiteral("arguments")).toObject().contains(QStringLiteral("vault")))
            continue; // a backup made through the Backup view
        QVERIFY2(!fleetEntries.contains(e.value(QStringLiteral("site")).toString()),
                 qPrintable(QJsonDocument(e).toJson()));
        fleetEntries.insert(e.value(QStringLiteral("site")).toString(), e);
    }
    QCOMPARE(fleetEntries.keys(), (QStringList{QStringLiteral("Full"), QStringLiteral("Lab")}));
    const QJsonObject lab = fleetEntries.value(QStringLiteral("Lab"));
    const QJsonObject full = fleetEntries.value(QStringLiteral("Full"));
    QCOMPARE(lab.value(QStringLiteral("address")).toString(), QStringLiteral("127.0.0.1:%1").arg(m_sim.port));
    QCOMPARE(lab.value(QStringLiteral("user")).toString(), QStringLiteral("admin"));
    QCOMPARE(lab.value(QStringLiteral("program")).toString(), QStringLiteral("vyxdesk"));
    QCOMPARE(lab.value(QStringLiteral("outcome")).toString(), QStringLiteral("succeeded"));
    QVERIFY2(lab.value(QStringLiteral("result")).toString().startsWith(QStringLiteral("MD5 ")),
             qPrintable(QJsonDocument(lab).toJson()));
    QCOMPARE(full.value(QStringLiteral("address")).toString(),
             QStringLiteral("127.0.0.1:%1").arg(m_fullSim.port));
    QCOMPARE(full.value(QStringLiteral("outcome")).toString(), QStringLiteral("failed"));
    QVERIFY2(full.value(QStringLiteral("result"))
                 .toString()
                 .contains(QStringLiteral("the server has reached its client limit")),
             qPrintable(QJsonDocument(full).toJson()));
}

// The server's database went empty: the backup into the vault keeps the copy as suspect, says so,
// and the site needs a look on the Backup view, the Fleet view and in the journal.
void ClickThroughTest::suspectCopyInTheVault() {
    STEP(connected());
    STEP(showView(QStringLiteral("backup")));
    const QString database = m_dir.filePath(QStringLiteral("sim/config/vyx.db"));
    QFile db(database);
    QVERIFY(db.open(QIODevice::ReadOnly));
    const QByteArray before = db.readAll();
    db.close();
    QVERIFY(db.open(QIODevice::WriteOnly | QIODevice::Truncate));
    db.close();
    STEP(click(QStringLiteral("backup"), QStringLiteral("Back up to the vault")));
    STEP(expectText(QStringLiteral("backup"), QStringLiteral("Kept in the vault as a suspect copy"), 30000));
    STEP(expectText(
        QStringLiteral("backup"),
        QStringLiteral("matches the server, but the copy is empty (0 bytes). It does not count as a "
                       "backup; the last verified copy stays.")));
    const QString rows = QStringLiteral("document.querySelectorAll('#view-backup table')[0].tBodies[0].rows");
    QCOMPARE(eval(rows + QStringLiteral("[0].cells[5].textContent")).toString(),
             QStringLiteral("suspect: the copy is empty (0 bytes)"));
    QCOMPARE(eval(rows + QStringLiteral("[0].cells[2].textContent")).toString(), QStringLiteral("0 B"));
    QCOMPARE(eval(rows + QStringLiteral("[1].cells[5].textContent")).toString(), QStringLiteral("verified"));
    STEP(expectText(
        QStringLiteral("backup"),
        QStringLiteral("This site needs a look: the newest copy is suspect: the copy is empty (0 bytes).")));
    // The server gets its database back; the vault keeps what it saw.
    QVERIFY(db.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(db.write(before), qint64(before.size()));
    db.close();
}

void ClickThroughTest::suspectSiteInTheFleet() {
    STEP(showView(QStringLiteral("fleet")));
    const QString cell =
        QStringLiteral("Array.prototype.filter.call(document.querySelectorAll('#view-fleet tbody tr'),"
                       " function (r) { return r.cells[1] && r.cells[1].textContent === 'Lab'; })"
                       "[0].cells[5]");
    QVERIFY(waitFor(cell + QStringLiteral(".textContent.indexOf('needs a look') === 0")));
    const QString text = eval(cell + QStringLiteral(".textContent")).toString();
    QVERIFY2(text.startsWith(
                 QStringLiteral("needs a look: the newest copy is suspect: the copy is empty (0 bytes) "
                                "— last verified backup ")),
             qPrintable(text));
    QVERIFY(eval(cell + QStringLiteral(".firstChild.className"))
                .toString()
                .contains(QStringLiteral("status-error")));
}

void ClickThroughTest::suspectBackupInTheJournal() {
    STEP(showView(QStringLiteral("journal")));
    const QString rows = QStringLiteral("document.querySelectorAll('#view-journal tbody tr')");
    QVERIFY(waitFor(rows + QStringLiteral(".length > 0 && ") + rows +
                    QStringLiteral("[0].cells[6].textContent.indexOf('suspect copy kept') === 0")));
    QCOMPARE(eval(rows + QStringLiteral("[0].cells[3].textContent")).toString(), QStringLiteral("Backup"));
    QCOMPARE(eval(rows + QStringLiteral("[0].cells[5].textContent")).toString(), QStringLiteral("failed"));
    QVERIFY2(
        eval(rows + QStringLiteral("[0].cells[6].textContent"))
            .toString()
            .startsWith(QStringLiteral("suspect copy kept: the copy is empty (0 bytes) (MD5 "
                                       "d41d8cd98f00b204e9800998ecf8427e); it does not count as a backup")),
        qPrintable(eval(rows + QStringLiteral("[0].cells[6].textContent")).toString()));
}

void ClickThroughTest::files() {
    STEP(connected());
    STEP(showView(QStringLiteral("files")));
    const QString path = field(QStringLiteral("files"), QStringLiteral("Server path"));
    STEP(type(path, QStringLiteral("logic/plugins/e2e")));
    STEP(click(QStringLiteral("files"), QStringLiteral("Create folder")));
    STEP(expectText(QStringLiteral("files"),
                    QStringLiteral("Create folder logic/plugins/e2e: Folder created")));

    STEP(type(path, QStringLiteral("logic/plugins")));
    STEP(click(QStringLiteral("files"), QStringLiteral("List")));
    STEP(expectText(QStringLiteral("files"), QStringLiteral("Listing of logic/plugins: 1 folder, 0 files.")));
    // Into the folder by its name, back up by the breadcrumb and by Up.
    STEP(clickElement(QStringLiteral("document.querySelector('#view-files tr[data-name=\"e2e\"] a')"),
                      QStringLiteral("listing: e2e/")));
    STEP(expectText(QStringLiteral("files"),
                    QStringLiteral("Listing of logic/plugins/e2e: 0 folders, 0 files.")));
    STEP(expectText(QStringLiteral("files"), QStringLiteral("The folder is empty.")));
    QCOMPARE(eval(QStringLiteral("document.querySelector('#view-files .crumbs').textContent")).toString(),
             QStringLiteral("server folder/logic/plugins/e2e"));
    STEP(clickElement(QStringLiteral("document.querySelectorAll('#view-files .crumbs a')[1]"),
                      QStringLiteral("breadcrumb: logic")));
    STEP(expectText(QStringLiteral("files"), QStringLiteral("Listing of logic: ")));
    QCOMPARE(eval(path + QStringLiteral(".value")).toString(), QStringLiteral("logic"));
    STEP(type(path, QStringLiteral("logic/plugins/e2e")));
    STEP(click(QStringLiteral("files"), QStringLiteral("Up")));
    STEP(expectText(QStringLiteral("files"), QStringLiteral("Listing of logic/plugins: 1 folder")));

    // Copy a local file, chosen in the file dialog.
    QByteArray data(200000, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = char((i * 13) & 0xff);
    const QString local = writeFile(QStringLiteral("payload.bin"), data);
    answerNextFileDialog(local);
    STEP(click(QStringLiteral("files"), QStringLiteral("Browse…"), 0));
    STEP(checkDialogAnswered());
    QCOMPARE(
        eval(field(QStringLiteral("files"), QStringLiteral("Name on the server")) + QStringLiteral(".value"))
            .toString(),
        QStringLiteral("payload.bin"));
    STEP(type(field(QStringLiteral("files"), QStringLiteral("Name on the server")),
              QStringLiteral("logic/plugins/payload.bin")));
    STEP(click(QStringLiteral("files"), QStringLiteral("Copy to server")));
    STEP(expectText(QStringLiteral("files"),
                    QStringLiteral("Copy complete: the server's copy is the same as the file."), 30000));
    STEP(expectText(QStringLiteral("files"),
                    QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex())));

    // The copy shows in the listing with its size; "Use" puts its path in the field.
    STEP(type(path, QStringLiteral("logic/plugins")));
    STEP(click(QStringLiteral("files"), QStringLiteral("List")));
    STEP(expectText(QStringLiteral("files"), QStringLiteral("Listing of logic/plugins: 1 folder, 1 file.")));
    STEP(expectText(QStringLiteral("files"), QStringLiteral("195.3 KiB")));
    STEP(clickElement(QStringLiteral("document.querySelector('#view-files tr[data-name=\"payload.bin\"] a')"),
                      QStringLiteral("listing: payload.bin")));
    QCOMPARE(eval(path + QStringLiteral(".value")).toString(), QStringLiteral("logic/plugins/payload.bin"));

    STEP(click(QStringLiteral("files"), QStringLiteral("Delete file…")));
    STEP(clickDialogButton(QStringLiteral("Delete")));
    STEP(expectText(QStringLiteral("files"),
                    QStringLiteral("Delete file logic/plugins/payload.bin: File deleted")));
    STEP(type(path, QStringLiteral("logic/plugins/e2e")));
    STEP(click(QStringLiteral("files"), QStringLiteral("Delete folder…")));
    STEP(clickDialogButton(QStringLiteral("Delete")));
    STEP(expectText(QStringLiteral("files"),
                    QStringLiteral("Delete folder logic/plugins/e2e: Folder deleted")));
    // Listing what is gone is a specific error.
    STEP(click(QStringLiteral("files"), QStringLiteral("List")));
    STEP(expectText(
        QStringLiteral("files"),
        QStringLiteral("Listing failed: ls: cannot access 'logic/plugins/e2e': No such file or directory")));

    // A plug-in, chosen in the file dialog, step by step.
    const QString archive = writeFile(QStringLiteral("plugin-demo.tar.gz"), QByteArray(5000, 'p'));
    answerNextFileDialog(archive);
    STEP(click(QStringLiteral("files"), QStringLiteral("Browse…"), 1));
    STEP(checkDialogAnswered());
    STEP(
        type(field(QStringLiteral("files"), QStringLiteral("Unpack into")), QStringLiteral("logic/plugins")));
    STEP(click(QStringLiteral("files"), QStringLiteral("Install plug-in")));
    STEP(clickDialogButton(QStringLiteral("Install")));
    STEP(expectText(QStringLiteral("files"), QStringLiteral("Install complete: "), 30000));
}

void ClickThroughTest::console() {
    STEP(connected());
    STEP(showView(QStringLiteral("console")));
    const QString input = QStringLiteral("document.querySelector('#view-console .console-input')");
    // Every command line a user is likely to try first gets an answer of its own.
    const struct {
        const char *line;
        const char *answer;
    } cases[] = {
        {"echo hello from the console", "hello from the console"},
        {"ls -la logic", "plugins"},
        {"uname -a", "simulated"},
        {"reboot", "reboot: not available in the simulator"},
    };
    for (const auto &c : cases) {
        STEP(type(input, QString::fromUtf8(c.line)));
        STEP(click(QStringLiteral("console"), QStringLiteral("Run")));
        QVERIFY2(
            waitFor(QStringLiteral(
                        "document.querySelectorAll('#view-console .reply-wait').length === 0 &&"
                        " document.querySelector('#view-console "
                        ".console-output').lastChild.querySelector('.reply').textContent.indexOf(%1) >= 0")
                        .arg(literal(QString::fromUtf8(c.answer)))),
            qPrintable(viewText(QStringLiteral("console")).right(1000)));
    }
    selectOption(QStringLiteral("document.querySelector('#view-console select')"),
                 QStringLiteral("VYXGuardian"));
    STEP(type(input, QStringLiteral("status")));
    STEP(click(QStringLiteral("console"), QStringLiteral("Run")));
    QVERIFY2(waitFor(QStringLiteral("document.querySelector('#view-console "
                                    ".console-output').lastChild.querySelector('.reply').textContent.indexOf("
                                    "'guardian: status: ok') >= 0")),
             qPrintable(viewText(QStringLiteral("console")).right(1000)));
    selectOption(QStringLiteral("document.querySelector('#view-console select')"),
                 QStringLiteral("VYXConsole"));
    STEP(click(QStringLiteral("console"), QStringLiteral("Clear")));
    QVERIFY(waitFor(
        QStringLiteral("document.querySelector('#view-console .console-output').childNodes.length === 0"),
        5000));

    STEP(click(QStringLiteral("console"), QStringLiteral("Start gateway")));
    STEP(expectText(QStringLiteral("console"), QStringLiteral("Start command sent to the KNX gateway")));
    STEP(click(QStringLiteral("console"), QStringLiteral("Stop gateway")));
    STEP(expectText(QStringLiteral("console"), QStringLiteral("Stop command sent to the KNX gateway")));
}

void ClickThroughTest::bus() {
    STEP(connected());
    STEP(showView(QStringLiteral("bus")));
    STEP(type(QStringLiteral("document.querySelector('#view-bus input')"),
              QStringLiteral("light \"kitchen\" on")));
    STEP(click(QStringLiteral("bus"), QStringLiteral("Send")));
    STEP(expectText(QStringLiteral("bus"), QStringLiteral("Sent at ")));
    STEP(expectText(QStringLiteral("bus"), QStringLiteral("ok: light \"kitchen\" on")));
    STEP(clickElement(QStringLiteral("document.getElementById('raw-bus')"),
                      QStringLiteral("bus: raw messages")));
    STEP(expectText(QStringLiteral("bus"), QStringLiteral("Raw bus messages switched on.")));

    STEP(click(QStringLiteral("bus"), QStringLiteral("Pause")));
    QVERIFY(waitFor(QStringLiteral("Array.prototype.some.call(document.querySelectorAll('#view-bus button'), "
                                   "function (b) { return b.textContent === 'Resume'; })"),
                    5000));
    STEP(click(QStringLiteral("bus"), QStringLiteral("Resume")));
    QVERIFY(waitFor(QStringLiteral("Array.prototype.some.call(document.querySelectorAll('#view-bus button'), "
                                   "function (b) { return b.textContent === 'Pause'; })"),
                    5000));

    const QString csv = m_dir.filePath(QStringLiteral("monitor.csv"));
    answerNextFileDialog(csv);
    STEP(click(QStringLiteral("bus"), QStringLiteral("Export CSV…")));
    STEP(checkDialogAnswered());
    QVERIFY(waitFor(
        QStringLiteral("document.getElementById('notices').textContent.indexOf('rows exported to') >= 0"),
        5000));
    QFile exported(csv);
    QVERIFY(exported.open(QIODevice::ReadOnly));
    QVERIFY(exported.readAll().contains("light"));

    STEP(click(QStringLiteral("bus"), QStringLiteral("Clear")));
    QVERIFY2(waitFor(QStringLiteral("VX.testing.monitor.records.length < 5"), 2000),
             "Clear left the monitor full");
}

void ClickThroughTest::logs() {
    STEP(connected());
    STEP(showView(QStringLiteral("logs")));
    STEP(type(field(QStringLiteral("logs"), QStringLiteral("Parameter id or *")), QStringLiteral("*")));
    STEP(click(QStringLiteral("logs"), QStringLiteral("Open window")));
    STEP(expectText(QStringLiteral("logs"), QStringLiteral("Log window opened for every log message.")));
    STEP(type(field(QStringLiteral("logs"), QStringLiteral("Emitter id")), QStringLiteral("vyxdesk-e2e")));
    STEP(type(field(QStringLiteral("logs"), QStringLiteral("Message")),
              QStringLiteral("hello other clients")));
    STEP(click(QStringLiteral("logs"), QStringLiteral("Send")));
    STEP(expectText(QStringLiteral("logs"), QStringLiteral("Sent.")));
    STEP(expectText(QStringLiteral("logs"), QStringLiteral("hello other clients")));
}

void ClickThroughTest::project() {
    STEP(showView(QStringLiteral("project")));
    STEP(click(QStringLiteral("project"), QStringLiteral("New")));
    if (eval(QStringLiteral("!!document.querySelector('.dialog')")).toBool())
        STEP(clickDialogButton(QStringLiteral("Discard changes")));
    STEP(expectText(QStringLiteral("project"), QStringLiteral("New empty project.")));
    STEP(click(QStringLiteral("project"), QStringLiteral("Add")));
    QVERIFY(waitFor(
        QStringLiteral("document.querySelectorAll('#view-project .obj-list li.selected').length === 1"),
        5000));
    STEP(click(QStringLiteral("project"), QStringLiteral("Add")));
    QVERIFY(
        waitFor(QStringLiteral("document.querySelectorAll('#view-project .stage-obj').length === 2"), 5000));
    STEP(click(QStringLiteral("project"), QStringLiteral("Delete object")));
    QVERIFY(
        waitFor(QStringLiteral("document.querySelectorAll('#view-project .stage-obj').length === 1"), 5000));

    QImage picture(320, 200, QImage::Format_RGB32);
    picture.fill(QColor(40, 120, 200));
    const QString png = m_dir.filePath(QStringLiteral("floor.png"));
    QVERIFY(picture.save(png));
    answerNextFileDialog(png);
    STEP(click(QStringLiteral("project"), QStringLiteral("Background picture…")));
    STEP(checkDialogAnswered());
    STEP(expectText(QStringLiteral("project"), QStringLiteral("Background imported (320 × 200 px")));
    // The picture in the project's assets is shown: only elsewhere is refused.
    QVERIFY2(
        waitFor(QStringLiteral("document.querySelector('#view-project img.stage-bg') && "
                               "document.querySelector('#view-project img.stage-bg').naturalWidth === 320"),
                5000),
        qPrintable(
            eval(QStringLiteral("document.querySelector('#view-project img.stage-bg') ? "
                                "document.querySelector('#view-project img.stage-bg').src : 'no picture'"))
                .toString()));

    const QString file = m_dir.filePath(QStringLiteral("house.vyxp"));
    answerNextFileDialog(file);
    STEP(click(QStringLiteral("project"), QStringLiteral("Save as…")));
    STEP(checkDialogAnswered());
    STEP(expectText(QStringLiteral("project"), QStringLiteral("Saved to ")));
    QVERIFY(QFileInfo::exists(file));
    STEP(click(QStringLiteral("project"), QStringLiteral("Save")));
    STEP(expectText(QStringLiteral("project"), QStringLiteral("the previous version is kept as")));

    answerNextFileDialog(file);
    STEP(click(QStringLiteral("project"), QStringLiteral("Open…")));
    STEP(checkDialogAnswered());
    QVERIFY2(
        waitFor(QStringLiteral(
                    "/Opened|Opened with remarks/.test(document.getElementById('view-project').textContent)"),
                10000),
        qPrintable(viewText(QStringLiteral("project"))));
    QVERIFY(
        waitFor(QStringLiteral("document.querySelectorAll('#view-project .stage-obj').length === 1"), 5000));
}

void ClickThroughTest::ets() {
    STEP(showView(QStringLiteral("ets")));
    // A protected project of the newest schema (AES entries, derived password).
    const QByteArray zipPassword = "8OSt5LUUVh+O6isDTe9RNRdIhq529jg4x920tdAUflI="; // for "Geheim!"
    const QByteArray info =
        "<KNX xmlns=\"http://knx.org/xml/project/21\"><Project Id=\"P-0042\">"
        "<ProjectInformation Name=\"Locked house\" GroupAddressStyle=\"TwoLevel\"/></Project></KNX>";
    const QByteArray data =
        "<KNX xmlns=\"http://knx.org/xml/project/21\" CreatedBy=\"ETS6\" ToolVersion=\"6.2.0\"><Project "
        "Id=\"P-0042\"><Installations><Installation>"
        "<GroupAddresses><GroupRanges><GroupRange Name=\"Light\" RangeStart=\"2048\" RangeEnd=\"4095\">"
        "<GroupAddress Id=\"P-0042-0_GA-2\" Address=\"2305\" Name=\"Kitchen light\" "
        "DatapointType=\"DPST-1-1\"/>"
        "</GroupRange></GroupRanges></GroupAddresses></Installation></Installations></Project></KNX>";
    const QByteArray inner = testZipBytes({{QStringLiteral("project.xml"), info, ZIP_EM_AES_256, zipPassword},
                                           {QStringLiteral("0.xml"), data, ZIP_EM_AES_256, zipPassword}});
    const QString archive = m_dir.filePath(QStringLiteral("house.knxproj"));
    QVERIFY(writeTestZip(archive, {{QStringLiteral("knx_master.xml"),
                                    QByteArray("<KNX xmlns=\"http://knx.org/xml/project/21\"/>")},
                                   {QStringLiteral("P-0042.zip"), inner}}));

    answerNextFileDialog(archive);
    STEP(click(QStringLiteral("ets"), QStringLiteral("Choose archive…")));
    STEP(checkDialogAnswered());
    const QString password = QStringLiteral("document.querySelector('#view-ets input[type=password]')");
    QVERIFY(waitFor(password + QStringLiteral(".offsetParent !== null"), 10000));
    STEP(type(password, QStringLiteral("geheim!")));
    STEP(click(QStringLiteral("ets"), QStringLiteral("Open")));
    STEP(expectText(QStringLiteral("ets"), QStringLiteral("Wrong password")));
    STEP(type(password, QStringLiteral("Geheim!")));
    STEP(click(QStringLiteral("ets"), QStringLiteral("Open")));
    STEP(expectText(QStringLiteral("ets"), QStringLiteral("Locked house")));
    STEP(expectText(QStringLiteral("ets"), QStringLiteral("Kitchen light")));

    const QString csv = m_dir.filePath(QStringLiteral("addresses.csv"));
    answerNextFileDialog(csv);
    STEP(click(QStringLiteral("ets"), QStringLiteral("Export CSV…")));
    STEP(checkDialogAnswered());
    STEP(expectText(QStringLiteral("ets"), QStringLiteral("Exported 1 group addresses to ") + csv));
    QFile exported(csv);
    QVERIFY(exported.open(QIODevice::ReadOnly));
    QVERIFY(exported.readAll().contains("Kitchen light"));
    STEP(click(QStringLiteral("ets"), QStringLiteral("Save into project")));
    STEP(expectText(QStringLiteral("ets"), QStringLiteral("Saved into the project as assets/ets/")));
}

void ClickThroughTest::about() {
    STEP(showView(QStringLiteral("about")));
    STEP(expectText(QStringLiteral("about"), QStringLiteral("Ver 2.10")));
    QCOMPARE(eval(QStringLiteral("document.querySelectorAll('#view-about button').length")).toInt(), 0);
}

void ClickThroughTest::disconnecting() {
    // The top bar's button, then the Servers view's own after connecting again.
    STEP(connected());
    STEP(clickElement(QStringLiteral("document.getElementById('topbar-disconnect')"),
                      QStringLiteral("top bar: Disconnect")));
    QVERIFY(waitFor(
        QStringLiteral("document.getElementById('connection-text').textContent === 'Not connected'"), 5000));
    STEP(showView(QStringLiteral("servers")));
    STEP(type(field(QStringLiteral("servers"), QStringLiteral("Password")), QStringLiteral("admin")));
    // A double click on Connect logs in as often as a single click: one connection.
    const QString connect =
        QStringLiteral("Array.prototype.filter.call(document.querySelectorAll('#view-servers button'),"
                       " function (b) { return b.textContent === 'Connect'; })[0]");
    int logins[3] = {simLogins(), 0, 0};
    for (int i = 1; i <= 2; ++i) {
        STEP(clickElement(connect, QStringLiteral("servers: Connect"), i == 1));
        STEP(expectText(QStringLiteral("servers"),
                        QStringLiteral("Connected to 127.0.0.1:%1.").arg(m_sim.port)));
        QTest::qWait(1500); // a second connection would log in meanwhile
        logins[i] = simLogins();
        STEP(click(QStringLiteral("servers"), QStringLiteral("Disconnect")));
        STEP(expectText(QStringLiteral("servers"), QStringLiteral("Disconnected.")));
        QVERIFY(waitFor(QStringLiteral("vyxDesk.VYXIsConnected() === 'false'"), 10000));
    }
    QVERIFY(logins[2] > logins[1]);
    QCOMPARE(logins[1] - logins[0], logins[2] - logins[1]);
}

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStringList args = app.arguments();
    if (args.removeAll(QString::fromLatin1(OwnNetworkNamespace::childFlag())) > 0) {
        ClickThroughTest test;
        return QTest::qExec(&test, args);
    }
    // Arguments (case names, QtTest options) are for the cases inside the namespace.
    OwnNetworkNamespace::childArguments() = args.mid(1);
    Launcher launcher;
    return QTest::qExec(&launcher, QStringList{args.value(0)});
}

#include "tst_page_clickthrough.moc"
