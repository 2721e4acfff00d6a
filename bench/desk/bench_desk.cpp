// Compares the manager with a bare QWebView that loads the same page, in the same run:
//   - time from process start to the page's loadFinished (median of several starts),
//   - CPU used by the idle, loaded manager over 10 s,
//   - resident memory of the idle, loaded process,
//   - page-call latency: a call text queued through the page call queue until it has run in
//     the page (p50 and p99 over 10,000 calls), against a call posted straight to the GUI thread,
//   - the longest stall of the GUI event loop during a connect to a server that never answers,
//     a disconnect, and an upload of a 64 MiB file to the server simulator,
//   - the longest stall of the GUI event loop during work that grows with a file or with the
//     number of sites (the MD5 of a 1 GiB file, retention over 50 vault copies of 64 MiB, a probe of
//     200 sites of which half never answer, cancelling the import of a 100 MiB protected project),
//   - the time the window takes to close while a fleet backup and probes are under way.
// Runs under the offscreen platform. Not a test: it prints numbers and one RESULT line per goal.
#include "idlelistener.h"
#include "js.h"
#include "mainwindow.h"
#include "testzip.h"
#include "vault.h"

#include <kvt_osfile.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QWebFrame>
#include <QWebView>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStarts = 5;
constexpr int kIdleSeconds = 10;
constexpr int kCalls = 10000;

QString pagePath() {
    // The workbench searches the network when it opens; measure on the quiet bridge page instead.
    return QCoreApplication::applicationDirPath() + QStringLiteral("/data/html/bridge-check.html");
}

// ---- child processes: one manager or one bare view, reporting when the page has loaded ----

int runChild(QApplication &app, const QString &kind, int stayMs) {
    QScopedPointer<QWidget> window;
    QWebFrame *frame = nullptr;
    if (kind == QLatin1String("desk")) {
        auto *main = new MainWindow;
        window.reset(main);
        frame = main->bridgeWidget()->mainFrame();
    } else {
        auto *view = new QWebView;
        window.reset(view);
        view->load(QUrl::fromLocalFile(pagePath()));
        frame = view->page()->mainFrame();
    }
    QObject::connect(frame, &QWebFrame::loadFinished, &app, [stayMs](bool ok) {
        std::printf("LOADED %d\n", ok ? 1 : 0);
        std::fflush(stdout);
        QTimer::singleShot(stayMs, qApp, &QCoreApplication::quit);
    });
    window->resize(1280, 800);
    window->show();
    return app.exec();
}

// ---- parent side ----

struct ChildRun {
    double loadMs = -1;
    double idleCpuPercent = -1;
    double rssKiB = -1;
};

// CPU time of every thread of the process, in seconds, at nanosecond resolution (the first
// field of each thread's schedstat); clock ticks would be too coarse for a mostly idle process.
double cpuSecondsOf(qint64 pid) {
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    double ns = 0;
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(tasks.filePath(task + QStringLiteral("/schedstat")));
        if (stat.open(QIODevice::ReadOnly))
            ns += stat.readAll().split(' ').constFirst().toDouble();
    }
    return ns / 1e9;
}

double rssKiBOf(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').constFirst().toDouble();
    return -1;
}

ChildRun startChild(const QString &kind, bool measureIdle) {
    ChildRun run;
    QProcess child;
    child.setProcessChannelMode(QProcess::SeparateChannels);
    const int stayMs = measureIdle ? (kIdleSeconds + 3) * 1000 : 0;
    QElapsedTimer clock;
    clock.start();
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--child"), kind, QString::number(stayMs)});
    if (!child.waitForStarted(10000))
        return run;
    while (!child.canReadLine()) {
        if (!child.waitForReadyRead(30000))
            return run;
    }
    if (!child.readLine().startsWith("LOADED 1"))
        return run;
    run.loadMs = double(clock.nsecsElapsed()) / 1e6;
    if (measureIdle) {
        // Let the page settle, then watch it sit idle.
        QThread::msleep(1000);
        run.rssKiB = rssKiBOf(child.processId());
        const double before = cpuSecondsOf(child.processId());
        QThread::sleep(kIdleSeconds);
        const double after = cpuSecondsOf(child.processId());
        run.idleCpuPercent = (after - before) * 100.0 / kIdleSeconds;
    }
    child.waitForFinished(30000);
    return run;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[values.size() / 2];
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    if (values.empty())
        return -1;
    const size_t index = std::min(values.size() - 1, size_t(p / 100.0 * double(values.size())));
    return values[index];
}

// Published to the page: records when a call has run there.
class Probe : public QObject {
    Q_OBJECT
public:
    Clock::time_point hitAt;
    int lastHit = -1;
public slots:
    void hit(int i) {
        hitAt = Clock::now();
        lastHit = i;
    }
};

// Latency of one call at a time, from the moment it is handed over until it ran in the page.
template <typename Send> double timeOneCall(Probe &probe, int i, Send send) {
    const Clock::time_point sent = Clock::now();
    send(i);
    while (probe.lastHit != i)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return std::chrono::duration<double, std::milli>(probe.hitAt - sent).count();
}

// This thread's time on a core and time spent runnable but waiting for one, in nanoseconds
// (the first two fields of its schedstat; the kernel adds to them at its tick, a few ms).
struct ThreadTimes {
    qint64 ranNs = 0;
    qint64 queuedNs = 0;
};

ThreadTimes threadTimes(int fd) {
    char text[128] = {};
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    ThreadTimes times;
    if (n > 0)
        std::sscanf(text, "%lld %lld", &times.ranNs, &times.queuedNs);
    return times;
}

// The longest gap between two turns of the GUI event loop, how much of it the GUI thread ran,
// and how much it waited for a core while other processes held them: a gap mostly waited for
// a core is the machine's load, not work done on the GUI thread.
struct Stall {
    double gapMs = -1;
    double ranMs = -1;
    double queuedMs = -1;
};

// The longest stall while `action` runs (started from the loop) and until `done` holds or
// `timeoutMs` passed. A 1 ms timer marks each turn.
Stall longestStall(const std::function<void()> &action, const std::function<bool()> &done, int timeoutMs) {
    const int schedstat = ::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0;
    ThreadTimes lastTimes;
    Stall longest{0, 0, 0};
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        const ThreadTimes times = threadTimes(schedstat);
        if (double(now - last) / 1e6 > longest.gapMs)
            longest = {double(now - last) / 1e6, double(times.ranNs - lastTimes.ranNs) / 1e6,
                       double(times.queuedNs - lastTimes.queuedNs) / 1e6};
        last = now;
        lastTimes = times;
    });
    tick.start(1);
    QTimer::singleShot(0, [&] {
        last = clock.nsecsElapsed();
        lastTimes = threadTimes(schedstat);
        action();
    });
    while (clock.elapsed() < timeoutMs && !(clock.elapsed() > 50 && done()))
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    tick.stop();
    if (schedstat >= 0)
        ::close(schedstat);
    return longest;
}

void printStall(const char *what, const Stall &stall) {
    std::printf("GUI stall: %s %.1f ms (GUI thread ran %.1f ms, waited for a core %.1f ms)\n", what,
                stall.gapMs, stall.ranMs, stall.queuedMs);
}

// Connect to a listener that accepts and never answers, disconnect, then upload 64 MiB to the
// simulator: the worst GUI stall of the three (the upload's -1 when the simulator cannot be
// started), and the worst stall of the same loop with nothing to do, measured first.
struct ServerWorkStalls {
    double idleMs = -1;
    double worstMs = -1;
};

ServerWorkStalls guiStallDuringServerWork() {
    JS bridge;
    QEventLoop wait;
    QObject::connect(bridge.mainFrame(), &QWebFrame::loadFinished, &wait, &QEventLoop::quit);
    wait.exec();

    // What the machine alone costs: the same measure with nothing to do.
    const Stall idle = longestStall([] {}, [] { return false; }, 3000);
    printStall("with nothing to do (the machine's own noise)", idle);

    QTcpServer silent;
    silent.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0);
    std::vector<QTcpSocket *> held;
    QObject::connect(&silent, &QTcpServer::newConnection, [&] {
        while (QTcpSocket *s = silent.nextPendingConnection())
            held.push_back(s);
    });
    const QString silentPort = QString::number(silent.serverPort());
    const Stall connect = longestStall(
        [&] {
            bridge.VYXConnect(QStringLiteral("127.0.0.1"), silentPort, QStringLiteral("admin"),
                              QStringLiteral("admin"), QStringLiteral("Object"));
        },
        [] { return false; }, 1500);
    const Stall disconnect = longestStall([&] { bridge.VYXDisconnect(); }, [] { return false; }, 2500);
    printStall("connect to a silent server", connect);
    printStall("disconnect", disconnect);

    Stall upload;
    QTemporaryDir dir;
    QProcess sim;
    sim.start(QCoreApplication::applicationDirPath() + QStringLiteral("/vyxsim"),
              {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--root"),
               dir.filePath(QStringLiteral("sim")), QStringLiteral("--no-discovery"),
               QStringLiteral("--quiet"), QStringLiteral("--db-max-size"), QStringLiteral("134217728")});
    QByteArray line;
    if (sim.waitForStarted(10000)) {
        QElapsedTimer t;
        t.start();
        while (!sim.canReadLine() && t.elapsed() < 10000)
            sim.waitForReadyRead(100);
        line = sim.readLine().trimmed();
    }
    if (line.startsWith("LISTENING ")) {
        bridge.VYXConnect(QStringLiteral("127.0.0.1"), QString::fromLatin1(line.mid(10)),
                          QStringLiteral("admin"), QStringLiteral("admin"), QStringLiteral("Object"));
        QElapsedTimer t;
        t.start();
        while (bridge.VYXIsConnected() != QLatin1String("true") && t.elapsed() < 15000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        const QString path = dir.filePath(QStringLiteral("big.db"));
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        QByteArray block(1 << 20, Qt::Uninitialized);
        for (int i = 0; i < 64; ++i) {
            for (int j = 0; j < block.size(); ++j)
                block[j] = char((i * 131 + j * 7) & 0xff);
            file.write(block);
        }
        file.close();
        // The page reports the end through a published object: asking the page on every turn of
        // the loop would fill its script heap, and the collector's pauses would count as stalls.
        Probe ended;
        bridge.mainFrame()->addToJavaScriptWindowObject(QStringLiteral("benchEnd"), &ended);
        bridge.mainFrame()->evaluateJavaScript(QStringLiteral(
            "window.benchUpload = function (r) { if (r.IsEnd === 'true') benchEnd.hit(1); };"));
        upload = longestStall([&] { bridge.VYXUpload(path, QStringLiteral("benchUpload")); },
                              [&] { return ended.lastHit == 1; }, 120000);
        printStall("upload of 64 MiB", upload);
        bridge.VYXDisconnect();
        sim.terminate();
        sim.waitForFinished(5000);
    } else {
        std::printf("GUI stall: the simulator could not be started, upload not measured\n");
    }
    qDeleteAll(held);
    return {idle.gapMs, std::max({connect.gapMs, disconnect.gapMs, upload.gapMs})};
}

QString sitesJson(int count, const std::function<int(int)> &portOf) {
    QStringList sites;
    for (int i = 0; i < count; ++i)
        sites << QStringLiteral("{\"name\":\"site%1\",\"host\":\"127.0.0.1\",\"port\":%2,\"user\":\"admin\","
                                "\"password\":\"admin\"}")
                     .arg(i)
                     .arg(portOf(i));
    return QLatin1Char('[') + sites.join(QLatin1Char(',')) + QLatin1Char(']');
}

bool writePattern(const QString &path, qint64 mib) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (qint64 i = 0; i < mib; ++i) {
        for (int j = 0; j < block.size(); j += 4096)
            block[j] = char(i + j);
        if (file.write(block) != block.size())
            return false;
    }
    return true;
}

// 50 copies of one 64 MiB download in the vault of 127.0.0.1:18000 (hard links of one file: the
// disk holds it once, retention reads it 50 times).
bool fillVault(const QString &root, const QString &scratch) {
    const QString body = scratch + QStringLiteral("/copy.db");
    if (!writePattern(body, 64))
        return false;
    const std::string md5 = kvt::kvtMd5File(QFile::encodeName(body).toStdString());
    const Vault vault(QFile::encodeName(root).toStdString());
    for (int i = 0; i < 50; ++i) {
        std::string error;
        const std::string part = vault.partPath("127.0.0.1", 18000, error);
        VaultEntry e;
        if (part.empty() || ::link(QFile::encodeName(body).constData(), part.c_str()) != 0 ||
            !vault.add("bench", "127.0.0.1", 18000, part, md5, "bench", 1700000000 + i * 3600, 0, e, error,
                       md5)) {
            std::printf("vault copy %d not added: %s\n", i, error.c_str());
            return false;
        }
    }
    return true;
}

// A protected project whose inner archive is 100 MiB once inflated.
bool writeProtectedProject(const QString &path) {
    const QByteArray inner = testZipBytes(
        {{QStringLiteral("0.xml"), QByteArray("<KNX/>")},
         {QStringLiteral("padding.bin"), QByteArray(100 << 20, 'x'), ZIP_EM_NONE, QByteArray(), true}});
    return !inner.isEmpty() && writeTestZip(path, {{QStringLiteral("P-0A1B.zip"), inner}});
}

struct HeavyStalls {
    double worstMs = -1;
    double closeMs = -1;
};

// Each heavy job through the bridge's slots, as the page asks for it; its end is told to `ended`
// through a page callback.
HeavyStalls guiStallDuringHeavyWork() {
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/bench-desk-XXXXXX"));
    // The bridge's vault and journal go to this folder, not to the user's.
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.path()));
    auto bridge = std::make_unique<JS>();
    {
        QEventLoop wait;
        QObject::connect(bridge->mainFrame(), &QWebFrame::loadFinished, &wait, &QEventLoop::quit);
        wait.exec();
    }
    Probe ended;
    bridge->mainFrame()->addToJavaScriptWindowObject(QStringLiteral("benchEnd"), &ended);
    bridge->mainFrame()->evaluateJavaScript(QStringLiteral(
        "function benchObject(r) { return typeof r === 'string' ? JSON.parse(r) : r; }"
        "window.benchMd5 = function (r) { benchEnd.hit(benchObject(r).md5 ? 1 : -1); };"
        "window.benchPrune = function (r) { benchEnd.hit(benchObject(r).removed !== undefined ? 2 : -2); };"
        "window.benchProbe = function (r) { if (benchObject(r).done) benchEnd.hit(3); };"
        "window.benchEtsProgress = function (r) { if (String(r).indexOf('Decrypting') >= 0) benchEnd.hit(4); "
        "};"
        "window.benchEtsDone = function (r) { benchEnd.hit(5); };"
        "window.benchBackup = function (r) { };"));
    // The machine's own noise, for comparison (not counted).
    printStall("with nothing to do (the machine's own noise)",
               longestStall([] {}, [] { return false; }, 3000));
    double worst = 0;
    const auto measure = [&](const char *what, const std::function<void()> &action, int hit, int timeoutMs) {
        ended.lastHit = 0;
        // hit 0: the action's return is its end.
        const Stall stall = longestStall(
            action, [&] { return ended.lastHit == hit; }, timeoutMs);
        printStall(what, stall);
        if (ended.lastHit != hit)
            std::printf("  (%s did not end as expected: %d)\n", what, ended.lastHit);
        worst = std::max(worst, stall.gapMs);
    };

    const QString big = dir.filePath(QStringLiteral("big.db"));
    if (writePattern(big, 1024))
        measure(
            "MD5 of a 1 GiB file", [&] { bridge->MD5Async(big, QString(), QStringLiteral("benchMd5")); }, 1,
            120000);
    QFile::remove(big);

    const QString root = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                         QStringLiteral("/vyxdesk/vault");
    if (QDir().mkpath(root) && fillVault(root, dir.path()))
        measure(
            "retention over 50 copies of 64 MiB",
            [&] {
                bridge->vaultPrune(QStringLiteral("127.0.0.1"), QStringLiteral("18000"), 1,
                                   QStringLiteral("benchPrune"));
            },
            2, 300000);
    QDir(root).removeRecursively();

    IdleListener answering(256), silent(0);
    silent.fill();
    const QString probeSites =
        sitesJson(200, [&](int i) { return i % 2 ? silent.port() : answering.port(); });
    measure(
        "probe of 200 sites, half never answering",
        [&] { bridge->fleetProbe(probeSites, QStringLiteral("benchProbe")); }, 3, 120000);

    const QString project = dir.filePath(QStringLiteral("protected.knxproj"));
    if (writeProtectedProject(project)) {
        ended.lastHit = 0;
        bridge->ETSProject_import(project, QStringLiteral("secret"), QStringLiteral("benchEtsProgress"),
                                  QStringLiteral("benchEtsDone"));
        QElapsedTimer t;
        t.start();
        while (ended.lastHit != 4 && ended.lastHit != 5 && t.elapsed() < 30000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (ended.lastHit != 4)
            std::printf("  (the import was not seen decrypting: %d)\n", ended.lastHit);
        // Nothing more comes of a cancelled import: its end is the cancel's return.
        measure(
            "cancelling the import of a 100 MiB protected project",
            [&] { bridge->ETSProject_cancelImport(); }, 0, 1000);
    }

    // Closing: 50 sites that never say a word being backed up, 50 more probed that never answer.
    IdleListener mute(256);
    bridge->fleetBackup(QStringLiteral("{\"sites\":%1,\"parallel\":16,\"timeout\":600}")
                            .arg(sitesJson(50, [&](int) { return mute.port(); })),
                        QStringLiteral("benchBackup"));
    bridge->fleetProbe(sitesJson(50, [&](int) { return silent.port(); }), QStringLiteral("benchProbe"));
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 1000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QElapsedTimer closing;
    closing.start();
    bridge.reset();
    const double closeMs = double(closing.nsecsElapsed()) / 1e6;
    std::printf("close during a fleet backup with pending probes: %.1f ms\n", closeMs);
    return {worst, closeMs};
}

void printResult(const char *name, double value, const char *op, double goal) {
    std::printf("RESULT %s %.4f goal %s %g\n", name, value, op, goal);
}

int runParent() {
    std::printf("bench_desk: page %s\n", qPrintable(pagePath()));

    std::vector<double> deskLoads, bareLoads;
    for (int i = 0; i < kStarts; ++i) {
        deskLoads.push_back(startChild(QStringLiteral("desk"), false).loadMs);
        bareLoads.push_back(startChild(QStringLiteral("bare"), false).loadMs);
    }
    const double deskLoad = median(deskLoads), bareLoad = median(bareLoads);
    std::printf("load to loadFinished (median of %d): manager %.1f ms, bare view %.1f ms\n", kStarts,
                deskLoad, bareLoad);

    const ChildRun deskIdle = startChild(QStringLiteral("desk"), true);
    const ChildRun bareIdle = startChild(QStringLiteral("bare"), true);
    std::printf("idle CPU over %d s: manager %.3f %%, bare view %.3f %%\n", kIdleSeconds,
                deskIdle.idleCpuPercent, bareIdle.idleCpuPercent);
    std::printf("idle RSS: manager %.0f KiB, bare view %.0f KiB\n", deskIdle.rssKiB, bareIdle.rssKiB);

    // Latency, in this process.
    JS bridge;
    QEventLoop wait;
    QObject::connect(bridge.mainFrame(), &QWebFrame::loadFinished, &wait, &QEventLoop::quit);
    wait.exec();
    Probe probe;
    bridge.mainFrame()->addToJavaScriptWindowObject(QStringLiteral("benchProbe"), &probe);
    bridge.mainFrame()->evaluateJavaScript(
        QStringLiteral("window.benchHit = function (i) { benchProbe.hit(i); };"));

    // The two kinds alternate, so that both meet the same load on a shared machine.
    QWebFrame *frame = bridge.mainFrame();
    std::vector<double> queued, posted;
    queued.reserve(kCalls);
    posted.reserve(kCalls);
    for (int i = 0; i < 2 * kCalls; i += 2) {
        queued.push_back(timeOneCall(probe, i, [&bridge](int n) {
            bridge.queueExpressionCall(QStringLiteral("benchHit"), QString::number(n));
        }));
        posted.push_back(timeOneCall(probe, i + 1, [frame](int n) {
            QMetaObject::invokeMethod(
                frame, [frame, n] { frame->evaluateJavaScript(QStringLiteral("(benchHit)(%1)").arg(n)); },
                Qt::QueuedConnection);
        }));
    }
    const double p99 = percentile(queued, 99);
    std::printf("page call latency over %d calls: queued p50 %.4f ms p99 %.4f ms; "
                "posted straight p50 %.4f ms p99 %.4f ms\n",
                kCalls, percentile(queued, 50), p99, percentile(posted, 50), percentile(posted, 99));

    const ServerWorkStalls stalls = guiStallDuringServerWork();
    const HeavyStalls heavy = guiStallDuringHeavyWork();

    printResult("load_vs_bare", deskLoad / bareLoad, "<=", 2.0);
    printResult("idle_cpu_percent", deskIdle.idleCpuPercent, "<", 0.5);
    printResult("call_latency_p99_ms", p99, "<", 1.0);
    printResult("rss_vs_bare", deskIdle.rssKiB / bareIdle.rssKiB, "<=", 1.5);
    printResult("gui_stall_max_ms", stalls.worstMs, "<", 50);
    // The same measure with nothing to do: when this misses the goal too, the machine's load and
    // not the program set the figure above.
    printResult("gui_stall_idle_ms", stalls.idleMs, "<", 50);
    printResult("gui_stall_heavy_max_ms", heavy.worstMs, "<", 50);
    printResult("close_ms", heavy.closeMs, "<", 1000);
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char *argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("VYXDESK_PAGE", "bridge-check.html");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 4 && args.at(1) == QLatin1String("--child"))
        return runChild(app, args.at(2), args.at(3).toInt());
    if (args.contains(QStringLiteral("--gui-stall-only"))) {
        const ServerWorkStalls stalls = guiStallDuringServerWork();
        printResult("gui_stall_max_ms", stalls.worstMs, "<", 50);
        // The machine's own noise, as above.
        printResult("gui_stall_idle_ms", stalls.idleMs, "<", 50);
        return 0;
    }
    if (args.contains(QStringLiteral("--heavy-only"))) {
        const HeavyStalls heavy = guiStallDuringHeavyWork();
        printResult("gui_stall_heavy_max_ms", heavy.worstMs, "<", 50);
        printResult("close_ms", heavy.closeMs, "<", 1000);
        return 0;
    }
    return runParent();
}

#include "bench_desk.moc"
