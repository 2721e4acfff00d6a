// The Servers view on the real bridge, offscreen: what a search keeps and how often it draws, the
// remembered password (in a Secret Service of the test's own session bus, and without one), and a
// saved site whose name another server answers with. Discovery goes to multicast and broadcast
// addresses, so the cases run only inside a network namespace this test makes itself.
#include "js.h"
#include "ownnetworknamespace.h"
#include "pageerrors.h"
#include "pageshot.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QWebFrame>
#include <QWebView>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

const char kPassword[] = "Kc7-remembered-pw";

QString literal(const QString &text) {
    return QString::fromUtf8(QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact))
        .mid(1)
        .chopped(1);
}

// What the Secret Service holds for the site `key` of vyxdesk.
QByteArray lookUp(const QString &key) {
    QProcess lookup;
    lookup.start(QStringLiteral("secret-tool"), {QStringLiteral("lookup"), QStringLiteral("server"),
                                                 QStringLiteral("vyxdesk"), QStringLiteral("user"), key});
    return lookup.waitForFinished(15000) ? lookup.readAllStandardOutput().trimmed()
                                         : QByteArray("(no answer)");
}

// Every file under `folder` that holds `secret`, as UTF-8 or as UTF-16 (the page's local storage).
QStringList filesHolding(const QString &folder, const QString &secret) {
    const QByteArray utf8 = secret.toUtf8();
    const QByteArray utf16(reinterpret_cast<const char *>(secret.utf16()), secret.size() * 2);
    QStringList holding;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray bytes = file.readAll();
        if (bytes.contains(utf8) || bytes.contains(utf16))
            holding << file.fileName();
    }
    return holding;
}

} // namespace

class Launcher : public QObject {
    Q_OBJECT

private slots:
    void runsInsideItsOwnNetworkNamespace() { VYX_RUN_IN_OWN_NETWORK_NAMESPACE(240000); }
};

class ServersViewTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void aSearchKeepsAtMost256ServersAndDrawsOncePerTick();
    void withoutAKeyringTheBoxIsOffAndNothingIsWritten();
    void aRememberedPasswordIsKeptInTheKeyringAndUsed();
    void aDifferentServerAnsweringAsASavedSiteIsShownAndConnectAsks();

private:
    QVariant eval(const QString &script) { return m_js->mainFrame()->evaluateJavaScript(script); }
    bool waitFor(const QString &condition, int timeoutMs = 15000) {
        return QTest::qWaitFor([&] { return eval(condition).toBool(); }, timeoutMs);
    }
    QString viewText() {
        return eval(QStringLiteral("document.getElementById('view-servers').textContent")).toString();
    }
    void clickButton(const QString &scope, const QString &text) {
        eval(QStringLiteral("Array.prototype.filter.call(document.querySelectorAll(%1 + ' button'),"
                            " function (b) { return b.textContent === %2; })[0].click()")
                 .arg(literal(scope), literal(text)));
    }
    // Starts a simulator that takes kPassword (answering discovery unless told not to); its port or 0.
    int startSimulator(const QString &name, const QStringList &extra);
    void stopSimulators();
    void fillConnect(int port, const QString &password);
    bool searched();
    bool startKeyring();
    void shoot(const QString &name);

    QTemporaryDir m_dir;
    QString m_xdg;
    QWidget *m_parent = nullptr;
    JS *m_js = nullptr;
    QProcess m_bus;
    QProcess m_keyring;
    std::vector<std::unique_ptr<QProcess>> m_sims;
};

int ServersViewTest::startSimulator(const QString &name, const QStringList &extra) {
#ifdef VYX_SIM
    const QString root = m_dir.filePath(QStringLiteral("sim-") + name);
    QDir().mkpath(root);
    const QString passwordFile = m_dir.filePath(QStringLiteral("sim-password"));
    QFile file(passwordFile);
    if (!file.open(QIODevice::WriteOnly) || file.write(kPassword) < 0)
        return 0;
    file.close();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    m_sims.emplace_back(new QProcess);
    QProcess &sim = *m_sims.back();
    sim.start(QStringLiteral(VYX_SIM),
              QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--root"), root,
                          QStringLiteral("--name"), name, QStringLiteral("--password-file"), passwordFile,
                          QStringLiteral("--quiet")} +
                  extra);
    if (!sim.waitForStarted(10000))
        return 0;
    if (!QTest::qWaitFor([&] { return sim.canReadLine() || sim.state() != QProcess::Running; }, 10000))
        return 0;
    const QByteArray line = sim.readLine().trimmed();
    return line.startsWith("LISTENING ") ? line.mid(10).toInt() : 0;
#else
    Q_UNUSED(name);
    Q_UNUSED(extra);
    return 0;
#endif
}

void ServersViewTest::stopSimulators() {
    for (const auto &sim : m_sims) {
        sim->terminate();
        if (!sim->waitForFinished(5000))
            sim->kill();
    }
    m_sims.clear();
}

void ServersViewTest::fillConnect(int port, const QString &password) {
    eval(QStringLiteral("VX.show('servers'); var i = document.querySelectorAll('#view-servers input');"
                        "i[0].value = '127.0.0.1'; i[1].value = '%1'; i[2].value = 'admin'; i[3].value = %2;")
             .arg(port)
             .arg(literal(password)));
}

// Starts a search and waits for its end.
bool ServersViewTest::searched() {
    eval(QStringLiteral("VX.show('servers')"));
    if (!waitFor(QStringLiteral("!document.querySelector('#view-servers .btn-primary').disabled")))
        return false;
    clickButton(QStringLiteral("#view-servers"), QStringLiteral("Search again"));
    return waitFor(QStringLiteral(
        "document.getElementById('view-servers').textContent.indexOf('Search finished') >= 0"));
}

bool ServersViewTest::startKeyring() {
    m_keyring.start(
        QStringLiteral("gnome-keyring-daemon"),
        {QStringLiteral("--foreground"), QStringLiteral("--unlock"), QStringLiteral("--components=secrets")});
    if (!m_keyring.waitForStarted(10000))
        return false;
    m_keyring.write("keyring-of-the-test");
    m_keyring.closeWriteChannel();
    return QTest::qWaitFor(
        [] {
            return QDBusConnection::sessionBus()
                .interface()
                ->isServiceRegistered(QStringLiteral("org.freedesktop.secrets"))
                .value();
        },
        15000);
}

void ServersViewTest::shoot(const QString &name) {
#ifdef VYX_SHOTS
    savePageShot(*m_js, QStringLiteral(VYX_SHOTS), name);
#else
    Q_UNUSED(name);
#endif
}

void ServersViewTest::initTestCase() {
    QVERIFY2(OwnNetworkNamespace::onlyLoopback(), "loopback must be the only interface");
    QVERIFY(m_dir.isValid());
    // A session bus of this test's own, which starts no service by itself.
    const QString busDir = m_dir.filePath(QStringLiteral("bus"));
    QDir().mkpath(busDir);
    QFile config(m_dir.filePath(QStringLiteral("bus.conf")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(
        QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
                       "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">"
                       "<busconfig><type>session</type><listen>unix:dir=%1</listen><auth>EXTERNAL</auth>"
                       "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                       "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>")
            .arg(busDir)
            .toUtf8());
    config.close();
    m_bus.start(QStringLiteral("dbus-daemon"),
                {QStringLiteral("--config-file=") + config.fileName(), QStringLiteral("--nofork"),
                 QStringLiteral("--print-address")});
    QVERIFY(m_bus.waitForStarted(10000));
    QVERIFY(QTest::qWaitFor([&] { return m_bus.canReadLine(); }, 10000));
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.readLine().trimmed());

    m_xdg = m_dir.filePath(QStringLiteral("xdg"));
    for (const char *name : {"data", "config", "cache", "run"}) {
        QDir().mkpath(m_xdg + QLatin1Char('/') + QLatin1String(name));
        QFile::setPermissions(m_xdg + QLatin1Char('/') + QLatin1String(name),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_xdg + QStringLiteral("/data")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_xdg + QStringLiteral("/config")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_xdg + QStringLiteral("/cache")));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_xdg + QStringLiteral("/run")));
    qunsetenv("XDG_CURRENT_DESKTOP");

    m_parent = new QWidget;
    m_js = new JS(m_parent);
    recordPageErrors(this, m_js->mainFrame());
    QVERIFY(waitFor(QStringLiteral(
        "window.VX && typeof VX.currentView === 'function' && VX.currentView() === 'servers'")));
}

void ServersViewTest::cleanup() {
    QCOMPARE(eval(pageErrorsExpression()).toString(), QString());
}

void ServersViewTest::cleanupTestCase() {
    delete m_parent;
    stopSimulators();
    for (QProcess *process : {&m_keyring, &m_bus}) {
        process->terminate();
        process->waitForFinished(5000);
    }
}

// Anything on the network may answer, as often as it likes: the page keeps at most 256 servers,
// and answers that arrive together are drawn once, on the next tick.
void ServersViewTest::aSearchKeepsAtMost256ServersAndDrawsOncePerTick() {
    QVERIFY(searched());
    const int before = eval(QStringLiteral("VX.testing.servers.renders")).toInt();
    const int drawnAtOnce =
        eval(QStringLiteral("for (var n = 0; n < 400; n++)"
                            "  vyxCb.discovered('10.0.0.' + (n % 250) + '|vyx-kore-wa-desu;name=flood ' + n,"
                            "                   'vyx-kore-wa-desu;name=flood ' + n);"
                            "VX.testing.servers.renders"))
            .toInt();
    QCOMPARE(drawnAtOnce, before);
    QVERIFY(waitFor(QStringLiteral("VX.testing.servers.renders > %1").arg(before)));
    QCOMPARE(eval(QStringLiteral("VX.testing.servers.renders")).toInt(), before + 1);
    QCOMPARE(eval(QStringLiteral("VX.testing.servers.found")).toInt(), 256);
    QCOMPARE(
        eval(QStringLiteral("document.querySelectorAll('#view-servers table')[0].tBodies[0].rows.length"))
            .toInt(),
        256);
    // A new search starts from none.
    QVERIFY(searched());
    QCOMPARE(eval(QStringLiteral("VX.testing.servers.found")).toInt(), 0);
}

void ServersViewTest::withoutAKeyringTheBoxIsOffAndNothingIsWritten() {
    const int port = startSimulator(QStringLiteral("plain"), {QStringLiteral("--no-discovery")});
    if (port == 0)
        VYX_SKIP_OR_FAIL_ON_CI("the server simulator vyxsim is not available");
    eval(QStringLiteral("VX.show('servers')"));
    QVERIFY2(
        waitFor(QStringLiteral(
            "document.getElementById('view-servers').textContent.indexOf('No keyring is running') >= 0")),
        qPrintable(viewText()));
    QVERIFY(eval(QStringLiteral("document.getElementById('remember-password').disabled")).toBool());
    QVERIFY(!eval(QStringLiteral("document.getElementById('remember-password').checked")).toBool());
    shoot(QStringLiteral("servers-without-keyring"));

    // Even a box turned on by script keeps nothing without a keyring.
    fillConnect(port, QString::fromLatin1(kPassword));
    eval(QStringLiteral("document.getElementById('remember-password').checked = true"));
    clickButton(QStringLiteral("#view-servers"), QStringLiteral("Connect"));
    QVERIFY(waitFor(QStringLiteral("VX.session.state === 'connected'"), 20000));
    // The site is saved as the connection becomes ready, and with it the password would be.
    QVERIFY(waitFor(QStringLiteral("!!localStorage.getItem(VX.SITES_KEY)")));
    eval(QStringLiteral("VX.disconnect()"));
    QCOMPARE(filesHolding(m_xdg, QString::fromLatin1(kPassword)), QStringList());
    QVERIFY(!QFileInfo::exists(m_xdg + QStringLiteral("/data/keyrings")));
    QCOMPARE(QDir(m_xdg + QStringLiteral("/config")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList());
    QVERIFY(
        !eval(QStringLiteral("JSON.parse(localStorage.getItem(VX.SITES_KEY))[0].rememberPassword")).toBool());
    stopSimulators();
}

void ServersViewTest::aRememberedPasswordIsKeptInTheKeyringAndUsed() {
    const int port = startSimulator(QStringLiteral("kept"), {QStringLiteral("--no-discovery")});
    if (port == 0)
        VYX_SKIP_OR_FAIL_ON_CI("the server simulator vyxsim is not available");
    if (QStandardPaths::findExecutable(QStringLiteral("gnome-keyring-daemon")).isEmpty())
        VYX_SKIP_OR_FAIL_ON_CI("gnome-keyring-daemon is not installed");
    QVERIFY(startKeyring());
    eval(QStringLiteral("VX.show('about'); VX.show('servers')"));
    QVERIFY2(waitFor(QStringLiteral("!document.getElementById('remember-password').disabled")),
             qPrintable(viewText()));
    QVERIFY(viewText().contains(QStringLiteral("Kept in the desktop's keyring only.")));

    fillConnect(port, QString::fromLatin1(kPassword));
    eval(QStringLiteral("document.getElementById('remember-password').checked = true"));
    shoot(QStringLiteral("servers-remember-password"));
    clickButton(QStringLiteral("#view-servers"), QStringLiteral("Connect"));
    QVERIFY(waitFor(QStringLiteral("VX.session.state === 'connected'"), 20000));
    const QString key = QStringLiteral("127.0.0.1:%1:admin").arg(port);
    QVERIFY(waitFor(QStringLiteral(
        "document.getElementById('view-servers').textContent.indexOf('password remembered') >= 0")));

    // In the Secret Service, under the site's key, and nowhere in a readable file.
    QVERIFY2(QTest::qWaitFor([&] { return lookUp(key) == kPassword; }, 15000),
             qPrintable(eval(QStringLiteral("document.body.textContent")).toString().right(400)));
    QCOMPARE(filesHolding(m_xdg, QString::fromLatin1(kPassword)), QStringList());

    // Connect again with the saved site: the password comes from the keyring.
    eval(QStringLiteral("VX.disconnect()"));
    eval(QStringLiteral("document.querySelectorAll('#view-servers input')[3].value = ''"));
    eval(
        QStringLiteral(
            "Array.prototype.filter.call(document.querySelectorAll('#view-servers table')[1].tBodies[0].rows,"
            " function (r) { return r.cells[1].textContent === '127.0.0.1:%1'; })[0]"
            ".querySelector('.btn').click()")
            .arg(port));
    QVERIFY(waitFor(QStringLiteral("document.querySelectorAll('#view-servers input')[3].value === %1")
                        .arg(literal(QString::fromLatin1(kPassword)))));
    clickButton(QStringLiteral("#view-servers"), QStringLiteral("Connect"));
    QVERIFY(waitFor(QStringLiteral("VX.session.state === 'connected'"), 20000));

    // The fleet backs the site up with the remembered password, none typed.
    eval(QStringLiteral("VX.disconnect(); VX.show('fleet');"
                        "VX.testing.fleet.render();"));
    QVERIFY(waitFor(
        QStringLiteral("document.querySelectorAll('#view-fleet tbody input[type=checkbox]').length > 0")));
    eval(QStringLiteral(
             "Array.prototype.forEach.call(document.querySelectorAll('#view-fleet tbody tr'), function (r) {"
             "  var box = r.querySelector('input[type=checkbox]');"
             "  if (box) box.checked = r.textContent.indexOf('127.0.0.1:%1') >= 0; });"
             "VX.testing.fleet.backupSelected();")
             .arg(port));
    QVERIFY2(
        waitFor(QStringLiteral("document.getElementById('view-fleet').textContent.indexOf('backed up') >= 0"),
                30000),
        qPrintable(eval(QStringLiteral("document.getElementById('view-fleet').textContent")).toString()));

    // Turned off, the password leaves the keyring at the next login.
    eval(QStringLiteral("VX.show('servers')"));
    fillConnect(port, QString::fromLatin1(kPassword));
    eval(QStringLiteral("document.getElementById('remember-password').checked = false"));
    clickButton(QStringLiteral("#view-servers"), QStringLiteral("Connect"));
    QVERIFY(waitFor(QStringLiteral("VX.session.state === 'connected'"), 20000));
    QVERIFY(waitFor(QStringLiteral(
        "document.getElementById('view-servers').textContent.indexOf('password remembered') < 0")));
    QVERIFY(QTest::qWaitFor([&] { return lookUp(key).isEmpty(); }, 15000));
    eval(QStringLiteral("VX.disconnect()"));
    stopSimulators();
}

// A saved site knows its server from the first login. Another server that answers under the same
// name (here: on another port) is shown as such, and Connect asks before the password goes out.
void ServersViewTest::aDifferentServerAnsweringAsASavedSiteIsShownAndConnectAsks() {
    const int first = startSimulator(QStringLiteral("Office"), {});
    if (first == 0)
        VYX_SKIP_OR_FAIL_ON_CI("the server simulator vyxsim is not available");
    QVERIFY(searched());
    const QString foundRows =
        QStringLiteral("document.querySelectorAll('#view-servers table')[0].tBodies[0].rows");
    QVERIFY2(viewText().contains(QStringLiteral("Office")), qPrintable(viewText()));
    eval(foundRows + QStringLiteral("[0].querySelector('.btn').click()"));
    eval(QStringLiteral("document.querySelectorAll('#view-servers input')[3].value = %1")
             .arg(literal(QString::fromLatin1(kPassword))));
    clickButton(QStringLiteral("#view-servers"), QStringLiteral("Connect"));
    QVERIFY(waitFor(QStringLiteral("VX.session.state === 'connected'"), 20000));
    const QString identity =
        QStringLiteral(
            "(function () { var s = JSON.parse(localStorage.getItem(VX.SITES_KEY)).filter(function (x) {"
            " return x.port === '%1'; })[0]; return s && s.identity ? s.identity : null; })()")
            .arg(first);
    QVERIFY(waitFor(identity + QStringLiteral(" !== null && ") + identity +
                    QStringLiteral(".serverVersion !== ''")));
    QCOMPARE(eval(identity + QStringLiteral(".name")).toString(), QStringLiteral("Office"));
    QVERIFY(!viewText().contains(QStringLiteral("A different server answers as Office")));
    eval(QStringLiteral("VX.disconnect()"));
    stopSimulators();

    const int second = startSimulator(QStringLiteral("Office"), {});
    QVERIFY(second != 0);
    QVERIFY(searched());
    QVERIFY2(viewText().contains(QStringLiteral("A different server answers as Office")),
             qPrintable(viewText()));
    shoot(QStringLiteral("servers-different-server"));

    // Connect asks first; Cancel sends nothing.
    eval(foundRows + QStringLiteral("[0].querySelector('.btn').click()"));
    eval(QStringLiteral("document.querySelectorAll('#view-servers input')[3].value = %1")
             .arg(literal(QString::fromLatin1(kPassword))));
    clickButton(QStringLiteral("#view-servers"), QStringLiteral("Connect"));
    QVERIFY(eval(QStringLiteral("document.querySelector('.dialog-title').textContent")).toString() ==
            QStringLiteral("A different server answers as Office"));
    QCOMPARE(eval(QStringLiteral("VX.session.state")).toString(), QStringLiteral("offline"));
    clickButton(QStringLiteral(".dialog"), QStringLiteral("Cancel"));
    QVERIFY(!eval(QStringLiteral("!!document.querySelector('.dialog')")).toBool());
    QCOMPARE(eval(QStringLiteral("VX.session.state")).toString(), QStringLiteral("offline"));

    // The known site, while another answers as its server, asks as well.
    eval(
        QStringLiteral(
            "Array.prototype.filter.call(document.querySelectorAll('#view-servers table')[1].tBodies[0].rows,"
            " function (r) { return r.cells[1].textContent === '127.0.0.1:%1'; })[0]"
            ".querySelector('.btn').click()")
            .arg(first));
    clickButton(QStringLiteral("#view-servers"), QStringLiteral("Connect"));
    QVERIFY(eval(QStringLiteral("!!document.querySelector('.dialog')")).toBool());
    clickButton(QStringLiteral(".dialog"), QStringLiteral("Cancel"));

    // Chosen knowingly, it connects.
    eval(foundRows + QStringLiteral("[0].querySelector('.btn').click()"));
    eval(QStringLiteral("document.querySelectorAll('#view-servers input')[3].value = %1")
             .arg(literal(QString::fromLatin1(kPassword))));
    clickButton(QStringLiteral("#view-servers"), QStringLiteral("Connect"));
    clickButton(QStringLiteral(".dialog"), QStringLiteral("Connect anyway"));
    QVERIFY(waitFor(
        QStringLiteral("VX.session.state === 'connected' && VX.session.port === '%1'").arg(second), 20000));
    eval(QStringLiteral("VX.disconnect()"));
    stopSimulators();
}

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QStringList args = app.arguments();
    if (args.removeAll(QString::fromLatin1(OwnNetworkNamespace::childFlag())) > 0) {
        ServersViewTest test;
        return QTest::qExec(&test, args);
    }
    Launcher launcher;
    return QTest::qExec(&launcher, args);
}

#include "tst_page_servers.moc"
