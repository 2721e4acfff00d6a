// Runs the workbench's scripts in the real web engine of the manager (QtWebKit), offscreen.
//
//   vyx_page_runner --unit <tests.html>
//       loads a page of script unit tests, waits for their results and exits 0 when all passed.
//   vyx_page_runner --shots <index.html> <folder>
//       loads the workbench at 1366x768 with a stub bridge, goes through every view, saves one PNG
//       per view into <folder> and fails on script errors or broken page behaviour.

#include "recordingpage.h"
#include "stubdesk.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUrl>
#include <QWebFrame>
#include <QWebSettings>
#include <QWebView>
#include <cstdio>
#include <functional>

namespace {

// Runs the event loop until cond() holds or timeoutMs passed; returns cond().
bool waitFor(const std::function<bool()> &cond, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!cond() && timer.elapsed() < timeoutMs)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    return cond();
}

// Lets queued answers and repaints happen: runs the event loop for a while.
void settle(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
}

bool load(QWebView &view, const QString &path) {
    bool finished = false;
    bool ok = false;
    QObject::connect(view.page()->mainFrame(), &QWebFrame::loadFinished, [&](bool result) {
        finished = true;
        ok = result;
    });
    view.load(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()));
    waitFor([&] { return finished; }, 30000);
    return finished && ok;
}

void configureEngine(const QString &storage) {
    QWebSettings *s = QWebSettings::globalSettings();
    s->setAttribute(QWebSettings::LocalStorageEnabled, true);
    s->setAttribute(QWebSettings::LocalContentCanAccessFileUrls, true);
    s->setAttribute(QWebSettings::JavascriptCanAccessClipboard, true);
    s->setAttribute(QWebSettings::AutoLoadImages, true);
    s->setLocalStoragePath(storage);
    s->setOfflineStoragePath(storage);
}

int runUnit(const QString &html) {
    QWebView view;
    auto *page = new RecordingPage(&view);
    view.setPage(page);
    view.resize(1024, 768);
    if (!load(view, html)) {
        std::printf("cannot load %s\n", qPrintable(html));
        return 2;
    }
    QWebFrame *frame = page->mainFrame();
    const bool done = waitFor(
        [&] { return frame->evaluateJavaScript("typeof window.__unitResults === 'string'").toBool(); },
        60000);
    if (!done) {
        std::printf("the unit tests did not finish within 60 s\n");
        return 2;
    }
    const int passed = frame->evaluateJavaScript("JSON.parse(window.__unitResults).passed").toInt();
    int failed = frame->evaluateJavaScript("JSON.parse(window.__unitResults).failed").toInt();
    const QStringList failures =
        frame->evaluateJavaScript("JSON.parse(window.__unitResults).failures").toStringList();
    const QStringList names =
        frame->evaluateJavaScript("JSON.parse(window.__unitResults).names").toStringList();
    for (const QString &n : names)
        std::printf("PASS %s\n", qPrintable(n));
    for (const QString &f : failures)
        std::printf("FAIL %s\n", qPrintable(f));
    for (const QString &m : page->messages()) {
        std::printf("FAIL script message: %s\n", qPrintable(m));
        ++failed;
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}

struct Shots {
    QWebView *view;
    QString folder;
    QStringList failures;
    int index = 0;

    QVariant js(const QString &script) { return view->page()->mainFrame()->evaluateJavaScript(script); }

    // Polls the condition with a generous bound: the stub answers through the event loop.
    void expect(const QString &what, const QString &script) {
        if (!waitFor([&] { return js(script).toBool(); }, 10000))
            failures << what;
    }

    void shoot(const QString &name) {
        QImage image(view->size(), QImage::Format_ARGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        view->render(&painter);
        painter.end();
        const QString file = QDir(folder).filePath(
            QStringLiteral("%1-%2.png").arg(++index, 2, 10, QLatin1Char('0')).arg(name));
        if (!image.save(file))
            failures << "cannot save " + file;
        else
            std::printf("saved %s\n", qPrintable(file));
    }
};

// Without the bridge: the page must say so and still show every view. Returns the number of
// failures, or -1 when the page cannot be loaded.
int shotsWithoutBridge(const QString &html, const QString &folder, const QSize &size) {
    QWebView view;
    auto *page = new RecordingPage(&view);
    view.setPage(page);
    view.resize(size);
    view.show();
    Shots s{&view, folder, {}};
    s.index = 90;
    if (!load(view, html)) {
        std::printf("FAIL cannot load %s\n", qPrintable(html));
        return -1;
    }
    settle(300);
    s.expect("without vyxDesk the banner says the page is not inside the manager",
             "!document.getElementById('no-bridge').hidden");
    s.js("VX.show('parameters')");
    s.js("VX.views.map(function(v){return v.id;}).forEach(function(id){VX.show(id);})");
    s.js("VX.show('servers')");
    settle(200);
    s.expect("without vyxDesk a search reports it",
             "document.body.textContent.indexOf('Not running inside the manager') >= 0");
    s.shoot("no-bridge");
    for (const QString &m : page->messages())
        s.failures << "script message: " + m;
    for (const QString &f : s.failures)
        std::printf("FAIL %s\n", qPrintable(f));
    return s.failures.size();
}

// With the stub bridge: one step per view, in this order (later steps build on the connection
// the first one makes).
void shotServers(Shots &s, StubDesk &) {
    s.expect("the banner is hidden inside the manager", "document.getElementById('no-bridge').hidden");
    s.expect("discovery lists the stub's two servers",
             "document.querySelectorAll('#view-servers table')[0].tBodies[0].rows.length === 2");
    s.expect("a discovered name is shown as text, not markup",
             "document.getElementById('view-servers').textContent.indexOf('Plant<room>') >= 0");
    s.js("VX.show('servers'); var v=document.getElementById('view-servers'); var "
         "i=v.querySelectorAll('input');"
         "i[0].value='192.0.2.10'; i[2].value='admin'; i[3].value='secret'; i[4].value='Office';"
         "Array.prototype.filter.call(v.querySelectorAll('button'), function(b){return "
         "b.textContent==='Connect';})[0].click();");
    settle(500);
    s.expect("the connection ends up connected", "VX.session.state === 'connected'");
    s.expect("the timeline shows the states",
             "document.querySelectorAll('#view-servers .tl-item').length >= 3");
    s.expect("the password is never stored", "JSON.stringify(window.localStorage).indexOf('secret') < 0");
    s.shoot("servers");
}

void shotParameters(Shots &s, StubDesk &) {
    s.js("VX.show('parameters')");
    settle(700);
    s.expect("parameters are listed", "document.querySelectorAll('#view-parameters tbody tr').length >= 12");
    s.expect("server text is never parsed as markup",
             "!window.__pwned && document.querySelectorAll('img[src=x]').length === 0");
    s.js("VX.testing.parameters.select('1001')");
    s.js("var v=document.getElementById('view-parameters'); var sel=v.querySelector('select'); "
         "sel.value='byte';"
         "var inp=v.querySelectorAll('input')[1]; inp.value='300';"
         "Array.prototype.filter.call(v.querySelectorAll('button'), function(b){return "
         "b.textContent==='Write value';})[0].click();");
    settle(100);
    s.expect("a byte of 300 is refused in words",
             "document.querySelector('#view-parameters .status-error') && "
             "document.querySelector('#view-parameters .status-error').textContent.indexOf('255') >= 0");
    s.shoot("parameters");
    s.js("var f=document.querySelector('#view-parameters input[type=search]'); f.value='room';"
         "var e=document.createEvent('Event'); e.initEvent('input',true,true); f.dispatchEvent(e);");
    settle(300);
    s.expect("the filter keeps the matching row only",
             "document.querySelectorAll('#view-parameters tbody tr').length === 1 && "
             "document.querySelector('#view-parameters tbody tr').textContent.indexOf('Living room') >= 0");
    s.js("var f=document.querySelector('#view-parameters input[type=search]'); f.value='';"
         "var e=document.createEvent('Event'); e.initEvent('input',true,true); f.dispatchEvent(e);");
    settle(300);
    s.js("var th=document.querySelectorAll('#view-parameters th')[0]; th.click();");
    s.expect("a second click on ID sorts descending",
             "document.querySelector('#view-parameters tbody tr').getAttribute('data-id') === '999997'");
    s.js("var th=document.querySelectorAll('#view-parameters th')[0]; th.click();");
}

void shotBackup(Shots &s, StubDesk &desk) {
    s.js("VX.show('backup');"
         "Array.prototype.filter.call(document.querySelectorAll('#view-backup button'), function(b){return "
         "b.textContent==='Ask the server';})[0].click();"
         "Array.prototype.filter.call(document.querySelectorAll('#view-backup button'), function(b){return "
         "b.textContent==='Download backup…';})[0].click();");
    settle(300);
    s.expect("the server MD5 is shown", "document.getElementById('view-backup').textContent.indexOf('"
                                        "9e107d9d372bb6826bd81d3542a419d6') >= 0");
    s.expect("the download progress shows bytes and percent",
             "document.getElementById('view-backup').textContent.indexOf('62.5 %') >= 0");
    s.shoot("backup");
    // The end record carries the digest of the file the download wrote: it is shown, nothing is
    // hashed again.
    s.js("vyxCb.transfer({GetClientFile:'/home/user/backup/server.db',"
         "GetClientMd5File:'0123456789abcdef0123456789abcdef',GetError:0,GetInfo:'Download complete',"
         "GetPercentage:'100',GetReceivedBytes:'1048576',GetServerBytes:'1048576',"
         "GetServerMd5File:'0123456789abcdef0123456789abcdef',IsEnd:'true'})");
    settle(100);
    s.expect("the downloaded file's MD5 is the end record's",
             "document.getElementById('view-backup').textContent.indexOf('Local file"
             "0123456789abcdef0123456789abcdef') >= 0");
    // A file to restore is hashed by the manager off its window's thread (the asynchronous twin).
    s.js("VX.testing.backup.restoreFrom('/home/user/old.db')");
    settle(200);
    s.expect("the MD5 of the file to restore comes from the asynchronous twin",
             "document.getElementById('view-backup').textContent.indexOf('Local file"
             "e4d909c290d0fb1ca068ffaddf22cbd0') >= 0");
    s.js("Array.prototype.filter.call(document.querySelectorAll('.dialog button'), function(b){return "
         "b.textContent==='Cancel';}).forEach(function(b){b.click();})");
    if (!desk.calls().contains(QStringLiteral("MD5Async /home/user/old.db")))
        s.failures << "the file to restore was not hashed through MD5Async";
    if (!desk.calls().filter(QRegularExpression(QStringLiteral("^MD5 "))).isEmpty())
        s.failures << "the Backup view hashed a whole file through the synchronous MD5 slot";
}

void shotFiles(Shots &s, StubDesk &desk) {
    s.js("VX.show('files'); var v=document.getElementById('view-files'); var i=v.querySelectorAll('input');"
         "i[0].value='logic/plugins/demo'; i[1].value='/home/user/firmware.bin'; i[2].value='firmware.bin';"
         "i[3].value='/home/user/plugin-demo.tar.gz';"
         "Array.prototype.filter.call(v.querySelectorAll('button'), function(b){return "
         "b.textContent==='Create folder';})[0].click();"
         "Array.prototype.filter.call(v.querySelectorAll('button'), function(b){return b.textContent==='Copy "
         "to server';})[0].click();");
    settle(300);
    // The server folder as a table; names from the server stay text, folders open with a click,
    // the breadcrumb leads back up.
    const QString rows = QStringLiteral(
        "Array.prototype.map.call(document.querySelectorAll('#view-files .table-listing tbody tr'),"
        " function(r){return Array.prototype.map.call(r.cells, function(c){return "
        "c.textContent;}).join('|');}).join('\\n')");
    const QString crumbs = QStringLiteral("document.querySelector('#view-files .crumbs').textContent");
    s.js("document.querySelector('#view-files input').value='.';"
         "Array.prototype.filter.call(document.querySelectorAll('#view-files button'), function(b){return "
         "b.textContent==='List';})[0].click();");
    s.expect("the listing is a table of name, size, date and type",
             "Array.prototype.map.call(document.querySelectorAll('#view-files .table-listing th'), "
             "function(t){return t.textContent;}).join(',') === 'Name,Size,Modified,Type'"
             " && " +
                 rows + ".split('\\n').indexOf('vyx.db|2.0 MiB|Dec 10 12:50|file') >= 0");
    s.expect("folders come first and links say where they lead",
             rows +
                 ".split('\\n').slice(0, 2).join(';') === 'logic/||Dec 10 12:51|folder;my plugins/||Nov 28 "
                 "17:02|folder'"
                 " && " +
                 rows + ".indexOf('current|5 B|Dec 10 12:51|link to logic') >= 0");
    s.expect("a file name with markup is shown as text, not run",
             rows + ".indexOf('<img src=x onerror=\"window.__pwned=1\">.txt|12 B|Jan 3 2025|file') >= 0"
                    " && !window.__pwned && document.querySelectorAll('#view-files img').length === 0");
    s.expect("the breadcrumb starts at the server folder", crumbs + " === 'server folder'");
    s.expect("the page says what server paths are relative to",
             "document.getElementById('view-files').textContent.indexOf('Relative to the server\\'s own "
             "folder') >= 0");
    s.js("Array.prototype.filter.call(document.querySelectorAll('#view-files .table-listing a'), "
         "function(a){return a.textContent==='logic/';})[0].click();");
    s.expect("a click on a folder lists it",
             "document.querySelector('#view-files input').value === 'logic' && " + crumbs +
                 " === 'server folder/logic'"
                 " && " +
                 rows + " === 'plugins/||Dec 10 12:51|folder\\nrules.json|1.5 KiB|Dec 10 12:40|file'");
    s.js("document.querySelector('#view-files .crumbs a').click();");
    s.expect("the breadcrumb leads back up", "document.querySelector('#view-files input').value === '.' && " +
                                                 crumbs + " === 'server folder'");
    s.js("Array.prototype.filter.call(document.querySelectorAll('#view-files .table-listing a'), "
         "function(a){return a.textContent==='-rf';})[0].click();");
    s.expect("a file name goes into the path field, never read as an option",
             "document.querySelector('#view-files input').value === './-rf'");
    s.js("document.querySelector('#view-files input').value='.';");
    s.js("document.querySelector('#view-files input').value='logic/plugins/demo';"
         "Array.prototype.filter.call(document.querySelectorAll('#view-files button'), function(b){return "
         "b.textContent==='Delete file…';})[0].click();"
         "Array.prototype.filter.call(document.querySelectorAll('.dialog button'), function(b){return "
         "b.textContent==='Delete';})[0].click();");
    settle(200);
    s.expect("a refused delete is shown red with the server's reason",
             "document.querySelector('#view-files .log-list .log-error').textContent.indexOf('Delete file "
             "logic/plugins/demo failed: Can not delete file logic/plugins/demo: Permission denied') >= 0");
    s.expect("a created folder is shown with the server's answer",
             "document.querySelector('#view-files .log-list').textContent.indexOf('Create folder "
             "logic/plugins/demo: Folder created') >= 0");
    s.js("document.querySelector('#view-files input').value='.';");
    s.expect("copy progress shows bytes and percent",
             "document.getElementById('view-files').textContent.indexOf('87.4 %') >= 0");
    s.js("vyxCb.copyStatus({status:'MD5 verify'});"
         "vyxCb.copyStatus({status:'complete',md5:'00112233445566778899aabbccddeeff'});"
         "var v=document.getElementById('view-files');"
         "Array.prototype.filter.call(v.querySelectorAll('button'), function(b){return "
         "b.textContent==='Install plug-in';})[0].click();"
         "Array.prototype.filter.call(document.querySelectorAll('.dialog button'), function(b){return "
         "b.textContent==='Install';})[0].click();");
    settle(600);
    s.expect("the plug-in install reaches its last step",
             "document.getElementById('view-files').textContent.indexOf('Install complete: ') >= 0");
    // Both digests come with the copies' end status; nothing is hashed again.
    s.expect("the copy's and the archive's MD5 are their end status's",
             "document.getElementById('view-files').textContent.indexOf('00112233445566778899aabbccddeeff "
             "(verified on the server)') >= 0 && document.getElementById('view-files').textContent.indexOf("
             "'e4d909c290d0fb1ca068ffaddf22cbd0 (verified on the server)') >= 0");
    if (!desk.calls()
             .filter(QRegularExpression(QStringLiteral("^MD5.* /home/user/(firmware|plugin)")))
             .isEmpty())
        s.failures << "the Files view hashed a copied file again";
    s.shoot("files");
}

// Runs the event loop until the page's clock is `ms` past window.__t0.
void settleUntil(Shots &s, int ms) {
    waitFor([&] { return s.js(QStringLiteral("Date.now() - window.__t0 >= %1").arg(ms)).toBool(); },
            ms + 10000);
}

// Each plug-in install has its own watchdog: the one of an install that already ended does not
// fail a later install whose copy has not reported yet.
void shotPluginWatchdog(Shots &s, StubDesk &desk) {
    const QString install = "VX.show('files'); var v=document.getElementById('view-files');"
                            "Array.prototype.filter.call(v.querySelectorAll('button'), function(b){return "
                            "b.textContent==='Install plug-in';})[0].click();"
                            "Array.prototype.filter.call(document.querySelectorAll('.dialog button'), "
                            "function(b){return b.textContent==='Install';})[0].click();";
    const QString shows = "document.getElementById('view-files').textContent.indexOf(%1) >= 0";
    s.js("VX.testing.timeouts.pluginStart = 3000; window.__t0 = Date.now();" + install);
    s.expect("the first install completes", shows.arg("'Install complete: '"));
    desk.holdPluginCopy(true);
    settleUntil(s, 1500);
    s.js(install);
    s.expect("the second install waits for its copy", shows.arg("'Copying the archive to the server'"));
    // The first install's watchdog is due at 3 s, the second one's at 4.5 s.
    settleUntil(s, 3600);
    if (s.js(shows.arg("'did not start'")).toBool())
        s.failures << "the watchdog of an install that had ended failed the next install";
    desk.holdPluginCopy(false);
    s.expect("the second install completes once its copy reports", shows.arg("'Install complete: '"));
    s.js("VX.testing.timeouts.pluginStart = 30000;");
}

// Cancel stops a running copy: the bar stays where the copy was and turns red, the line says it
// was cancelled, and Copy can start again.
void shotCopyCancel(Shots &s, StubDesk &) {
    const QString button = "Array.prototype.filter.call(document.querySelectorAll('#view-files button'), "
                           "function(b){return b.textContent===%1;})[0]";
    s.js("VX.show('files'); var v=document.getElementById('view-files'); var i=v.querySelectorAll('input');"
         "i[1].value='/home/user/firmware.bin'; i[2].value='firmware.bin';" +
         button.arg("'Copy to server'") + ".click();");
    settle(100);
    s.expect("Cancel is offered while the copy runs", "!" + button.arg("'Cancel'") + ".disabled");
    s.js(button.arg("'Cancel'") + ".click();");
    settle(200);
    s.expect(
        "the copy says it was cancelled",
        "document.getElementById('view-files').textContent.indexOf('Copy stopped: cancelled by the user; "
        "the server keeps the part it has written.') >= 0");
    s.expect("Copy can start again and Cancel is off",
             "!" + button.arg("'Copy to server'") + ".disabled && " + button.arg("'Cancel'") + ".disabled");
}

void shotConsole(Shots &s, StubDesk &) {
    s.js("VX.show('console'); var inp=document.querySelector('#view-console .console-input');"
         "function run(t){inp.value=t; var e=document.createEvent('Event'); "
         "e.initEvent('keydown',true,true); e.keyCode=13; inp.dispatchEvent(e);}"
         "run('ls /home'); run('uptime');");
    settle(400);
    s.js("var inp=document.querySelector('#view-console .console-input'); var "
         "e=document.createEvent('Event'); e.initEvent('keydown',true,true); e.keyCode=38; "
         "inp.dispatchEvent(e);");
    s.expect("Up recalls the last command",
             "document.querySelector('#view-console .console-input').value === 'uptime'");
    s.expect("replies appear under their commands",
             "document.querySelectorAll('#view-console .reply').length === 2 && "
             "document.querySelectorAll('#view-console .reply-wait').length === 0");
    s.shoot("console");
}

void shotBus(Shots &s, StubDesk &desk) {
    s.js("VX.show('bus'); var v=document.getElementById('view-bus'); v.querySelector('input').value='light "
         "\"kitchen\" on';"
         "Array.prototype.filter.call(v.querySelectorAll('button'), function(b){return "
         "b.textContent==='Send';})[0].click();");
    settle(200);
    s.expect("bus feedback arrives with its quotes restored",
             "document.getElementById('view-bus').textContent.indexOf('ack light \"kitchen\" on') >= 0");
    s.shoot("bus");
    s.js("Array.prototype.filter.call(document.querySelectorAll('#view-bus button'), function(b){return "
         "b.textContent==='Export CSV…';})[0].click();");
    if (!desk.calls().contains(QStringLiteral("writeFileAbsolute /home/user/backup/server.db.csv")))
        s.failures << "the monitor export did not write a .csv file through the save dialog's path";
}

void shotLogs(Shots &s, StubDesk &) {
    s.js("VX.show('logs'); var v=document.getElementById('view-logs');"
         "Array.prototype.filter.call(v.querySelectorAll('button'), function(b){return b.textContent==='Open "
         "window';})[0].click();"
         "v.querySelectorAll('input')[2].value='hello';"
         "Array.prototype.filter.call(v.querySelectorAll('button'), function(b){return "
         "b.textContent==='Send';})[0].click();"
         "window.QT.updateParameter({ParameterID:'1010022', "
         "value:'<log>{\"sender\":\"logic\",\"paramId\":\"42\",\"msg\":\"pump started\"}</log>', "
         "frameScope:'Write'});");
    settle(200);
    s.expect("the log channel message is shown",
             "document.getElementById('view-logs').textContent.indexOf('pump started') >= 0");
    s.expect("the broadcast reply is shown",
             "document.getElementById('view-logs').textContent.indexOf('reply from another client') >= 0");
    s.expect("the emitter id is explained next to its field",
             "document.querySelector('#view-logs .field-hint').textContent.indexOf('The sender name put in "
             "front of each message you send.') === 0");
    s.shoot("logs");
}

void shotProject(Shots &s, StubDesk &desk) {
    s.js("VX.show('project')");
    settle(200);
    s.expect("the working project is read",
             "document.querySelectorAll('#view-project .stage-obj').length === 5");
    s.expect("object texts stay text", "document.querySelectorAll('#view-project script').length === 0");
    s.js("document.querySelectorAll('#view-project .obj-list li')[1].click()");
    settle(100);
    s.shoot("project");
    s.js("var x=document.querySelectorAll('#view-project .field input')[5]; x.value='75';"
         "var e=document.createEvent('Event'); e.initEvent('change',true,true); x.dispatchEvent(e);");
    if (!waitFor([&] { return desk.calls().contains(QStringLiteral("writeFile ../project/project.data")); },
                 10000))
        s.failures << "an edit in the project editor did not write data/project/project.data";
    s.js("Array.prototype.filter.call(document.querySelectorAll('#view-project button'), function(b){return "
         "b.textContent==='Save';})[0].click();");
    s.expect(
        "saving reports the chosen file",
        "document.getElementById('view-project').textContent.indexOf('Saved to /home/user/demo.vyxp') >= 0");

    // Arrow keys move the focused object, never off the canvas (1280 x 800; "scene" is 200 x 60).
    const QString sceneNode = QStringLiteral("document.querySelectorAll('#view-project .stage-obj')[4]");
    const QString key = QStringLiteral(
        "var n=%1; n.focus(); for (var k=0; k<%2; k++) { var e=document.createEvent('Event');"
        " e.initEvent('keydown',true,true); e.keyCode=%3; e.shiftKey=true; %1.dispatchEvent(e); }");
    const QString xy =
        QStringLiteral("document.querySelectorAll('#view-project .field input')[5].value + ',' + "
                       "document.querySelectorAll('#view-project .field input')[6].value");
    s.js(key.arg(sceneNode).arg(60).arg(39));
    s.js(key.arg(sceneNode).arg(60).arg(40));
    s.expect("arrow keys stop at the right and bottom edges of the canvas", xy + " === '1080,740'");
    s.js(key.arg(sceneNode).arg(200).arg(37));
    s.js(key.arg(sceneNode).arg(200).arg(38));
    s.expect("arrow keys stop at the left and top edges of the canvas", xy + " === '0,0'");
    // The Delete key asks first.
    const QString del =
        QStringLiteral("var e=document.createEvent('Event'); e.initEvent('keydown',true,true); e.keyCode=46; "
                       "%1.dispatchEvent(e);");
    const QString dialogButton =
        QStringLiteral("Array.prototype.filter.call(document.querySelectorAll('.dialog button'), "
                       "function(b){return b.textContent===%1;})[0].click();");
    s.js(del.arg(sceneNode));
    s.expect("the Delete key asks before the object goes",
             "document.querySelector('.dialog') && "
             "document.querySelector('.dialog').textContent.indexOf('Delete the object \"scene\"') >= 0"
             " && document.querySelectorAll('#view-project .stage-obj').length === 5");
    s.shoot("project-delete-asks");
    s.js(dialogButton.arg(QStringLiteral("'Cancel'")));
    s.expect("a cancelled deletion keeps the object",
             "!document.querySelector('.dialog') && document.querySelectorAll('#view-project "
             ".stage-obj').length === 5");
    s.js(del.arg(sceneNode));
    s.js(dialogButton.arg(QStringLiteral("'Delete'")));
    s.expect("a confirmed deletion removes the object",
             "document.querySelectorAll('#view-project .stage-obj').length === 4");

    // A project file whose background points anywhere but its own assets: refused, with words.
    desk.setProjectFile(QStringLiteral(
        "{\"format\":\"vyxdesk-project\",\"version\":1,\"name\":\"Elsewhere\",\"width\":800,\"height\":600,"
        "\"background\":\"http://127.0.0.1:9/"
        "track.png\",\"objects\":[{\"id\":\"a\",\"type\":\"label\",\"label\":\"A\"}]}"));
    s.js("Array.prototype.filter.call(document.querySelectorAll('#view-project button'), function(b){return "
         "b.textContent==='Open…';})[0].click();");
    s.js(dialogButton.arg(QStringLiteral("'Discard changes'")));
    s.expect("a background from the web is refused and the page says so",
             "document.querySelector('#view-project .status-line').textContent.indexOf('The background "
             "picture \"http://127.0.0.1:9/track.png\" was refused') >= 0"
             " && document.querySelectorAll('#view-project .stage-obj').length === 1 && "
             "document.querySelectorAll('#view-project img').length === 0");
    s.shoot("project-background-refused");
}

void shotEts(Shots &s, StubDesk &desk) {
    s.js("VX.show('ets'); VX.testing.ets.load('/home/user/demo.knxproj')");
    settle(300);
    s.expect("ETS ranges and group addresses are listed as a tree",
             "document.querySelectorAll('#view-ets tr.ga-range').length === 3 && "
             "document.querySelectorAll('#view-ets tr.ga-row').length === 7");
    s.expect("the project information is shown",
             "document.getElementById('view-ets').textContent.indexOf('three levels (main/middle/sub)') >= 0"
             " && document.getElementById('view-ets').textContent.indexOf('ETS5 5.7.1093') >= 0");
    s.expect("names from the project stay text",
             "document.querySelectorAll('#view-ets b').length === 0"
             " && document.getElementById('view-ets').textContent.indexOf('<b>Hall</b> light') >= 0");
    s.expect("the invalid address is reported as skipped",
             "document.getElementById('view-ets').textContent.indexOf('70000') >= 0");
    s.expect("devices are listed by line with their product",
             "document.querySelectorAll('#view-ets .topo li').length === 5"
             " && document.getElementById('view-ets').textContent.indexOf('Switch actuator 8-fold') >= 0");
    s.js("document.querySelectorAll('#view-ets tr.ga-row')[0].click()");
    settle(100);
    s.expect(
        "the chosen group address shows its linked objects",
        "document.querySelectorAll('#view-ets .link-table tbody tr').length === 2"
        " && document.querySelector('#view-ets .link-table tbody').textContent.indexOf('Rocker left') >= 0");
    s.expect(
        "a type taken from a linked object names the object, in the row and beside the links",
        "document.querySelectorAll('#view-ets tr.ga-row')[0].textContent.indexOf('from object 1.1.7 #2') >= 0"
        " && document.querySelectorAll('#view-ets .dpt-source').length === 1"
        " && document.getElementById('view-ets').textContent.indexOf('Type sourcefrom object 1.1.7 #2') >= 0"
        " && document.querySelector('#view-ets .link-table tbody').textContent.indexOf('1.001 Switch') >= 0");
    s.expect("each type shows its name and unit",
             "document.querySelectorAll('#view-ets tr.ga-row')[4].textContent.indexOf('Temperature°C') >= 0"
             " && document.querySelectorAll('#view-ets tr.ga-row')[2].textContent.indexOf('Percentage "
             "(0..100)%') >= 0");
    s.shoot("ets");
    s.js("document.querySelectorAll('#view-ets tr.ga-range')[0].click()");
    settle(100);
    s.expect("a closed range hides what it holds",
             "document.querySelectorAll('#view-ets tr.ga-row').length === 3");
    s.js("Array.prototype.filter.call(document.querySelectorAll('#view-ets button'), function(b){return "
         "b.textContent==='Save into project';})[0].click();");
    if (!desk.calls().contains(
            QStringLiteral("writeFile ../project/assets/ets/Demo house _ garage group addresses.csv")))
        s.failures
            << "saving the group addresses into the project did not write into data/project/assets/ets";
    s.js("Array.prototype.filter.call(document.querySelectorAll('#view-ets button'), function(b){return "
         "b.textContent==='Export CSV…';})[0].click();");
    s.expect("the CSV export reports where it went",
             "document.querySelector('#view-ets .status-line').textContent.indexOf('Exported 7 group "
             "addresses') >= 0");
    s.js("VX.testing.ets.load('/home/user/protected.knxproj')");
    settle(200);
    s.expect("a password-protected archive asks for the password",
             "document.getElementById('view-ets').textContent.indexOf('password-protected') >= 0"
             " && document.querySelector('#view-ets input[type=password]').offsetParent !== null");
    s.shoot("ets-protected");
    s.js("var p=document.querySelector('#view-ets input[type=password]'); p.value='guess';"
         "Array.prototype.filter.call(document.querySelectorAll('#view-ets button'), function(b){return "
         "b.textContent==='Open';})[0].click();");
    settle(200);
    s.expect("a wrong password says so",
             "document.querySelector('#view-ets .status-line').textContent.indexOf('Wrong password') === 0"
             " && document.querySelector('#view-ets input[type=password]').value === ''");
    s.js("var p=document.querySelector('#view-ets input[type=password]'); p.value='secret';"
         "Array.prototype.filter.call(document.querySelectorAll('#view-ets button'), function(b){return "
         "b.textContent==='Open';})[0].click();");
    settle(200);
    s.expect("the right password opens the project",
             "document.querySelectorAll('#view-ets tr.ga-row').length === 7"
             " && document.querySelector('#view-ets input[type=password]').offsetParent === null");
}

void shotJournal(Shots &s, StubDesk &desk) {
    s.js("VX.show('journal')");
    settle(100);
    s.expect("the journal lists every record",
             "document.querySelectorAll('#view-journal tbody tr').length === 6");
    s.expect("a change without an answer says its outcome is unknown",
             "document.querySelector('#view-journal tr.journal-unknown .outcome').textContent === 'outcome "
             "unknown'");
    s.expect("server text in a record stays text",
             "!document.querySelector('#view-journal img, #view-journal tbody b')"
             " && document.getElementById('view-journal').textContent.indexOf('<img src=x "
             "onerror=alert(1)>') >= 0");
    s.expect("the sites of the journal fill the site filter",
             "document.querySelectorAll('#view-journal select')[0].options.length === 3");
    s.shoot("journal");
    s.js("var v=document.getElementById('view-journal'), f=v.querySelectorAll('select');"
         "f[0].value='Office server'; f[1].value='backup'; f[1].dispatchEvent(new Event('change'));");
    settle(100);
    s.expect("site and kind narrow the list",
             "document.querySelectorAll('#view-journal tbody tr').length === 1");
    if (!desk.calls().contains(QStringLiteral(
            "journalEntries {\"site\":\"Office server\",\"kind\":\"backup\",\"from\":\"\",\"to\":\"\"}")))
        s.failures << "the journal filter did not reach the bridge as {site, kind, from, to}";
    s.js("var v=document.getElementById('view-journal'); v.querySelectorAll('input')[0].value='1.12.2026';"
         "Array.prototype.filter.call(v.querySelectorAll('button'), function(b){return "
         "b.textContent==='Show';})[0].click();");
    s.expect("a date that is not YYYY-MM-DD is refused",
             "document.querySelector('#view-journal .status-line').textContent.indexOf('YYYY-MM-DD') >= 0");
    s.js("var v=document.getElementById('view-journal'); v.querySelectorAll('input')[0].value='2026-12-01';"
         "Array.prototype.filter.call(v.querySelectorAll('button'), function(b){return "
         "b.textContent==='Export CSV';})[0].click();");
    s.expect("the export says where it went",
             "document.querySelector('#view-journal .status-line').textContent.indexOf('6 changes exported "
             "to /home/user/backup/server.db.csv') === 0");
    // The export writes what the filter selects, the first day included.
    if (!desk.calls().contains(
            QStringLiteral("journalExport csv {\"site\":\"Office "
                           "server\",\"kind\":\"backup\",\"from\":\"2026-12-01\",\"to\":\"\"}"
                           " /home/user/backup/server.db.csv")))
        s.failures << "the CSV export did not reach the bridge with the filter";
    // The manager says a record could not be written: the view and a notice say so.
    s.js("vyxCb.journalWriteFailed('disk I/O error')");
    s.expect("a journal write error is shown in the view",
             "!document.querySelector('#view-journal .banner').hidden && "
             "document.querySelector('#view-journal .banner')"
             ".textContent === 'The journal cannot be written: disk I/O error'");
    s.expect("and as a notice",
             "Array.prototype.some.call(document.querySelectorAll('.notice'), function (n) {"
             " return n.textContent.indexOf('Journal: disk I/O error') >= 0; })");
}

void shotAbout(Shots &s, StubDesk &) {
    s.js("VX.show('about')");
    settle(100);
    s.expect("the version is shown",
             "document.getElementById('view-about').textContent.indexOf('Ver 2.10') >= 0");
    s.shoot("about");
}

// A double click on Connect while connected: the page ends the current session first (it says
// so, and the views hear of it) and asks the bridge for one connection only.
void shotConnectElsewhere(Shots &s, StubDesk &desk) {
    const int before = desk.calls().filter(QStringLiteral("VYXConnect ")).size();
    s.js(
        "window.__states = []; VX.bus.on('session', function (x) { window.__states.push(x.state); });"
        "VX.bus.on('session-lost', function (x) { window.__states.push('lost:' + x.state); });"
        "VX.show('servers'); var v=document.getElementById('view-servers'); var "
        "i=v.querySelectorAll('input');"
        "i[0].value='192.0.2.20'; i[1].value='18001'; i[4].value='Plant room';"
        "var b=Array.prototype.filter.call(v.querySelectorAll('button'), function(b){return "
        "b.textContent==='Connect';})[0];"
        "function fire(t, n){var e=document.createEvent('MouseEvents');"
        " e.initMouseEvent(t,true,true,window,n,0,0,0,0,false,false,false,false,0,null); b.dispatchEvent(e);}"
        "fire('mousedown',1); fire('mouseup',1); fire('click',1); fire('mousedown',2); fire('mouseup',2); "
        "fire('click',2); fire('dblclick',2);");
    s.expect("the second server ends up connected",
             "VX.session.state === 'connected' && VX.session.host === '192.0.2.20'");
    settle(200);
    const int connects = desk.calls().filter(QStringLiteral("VYXConnect ")).size() - before;
    if (connects != 1)
        s.failures << QStringLiteral("a double click on Connect asked for %1 connections").arg(connects);
    s.expect("the first session ends before the second one connects",
             "window.__states.join(',').indexOf('offline,lost:offline,connecting') === 0"
             " && window.__states.indexOf('connected') > window.__states.indexOf('connecting')");
    s.expect("the timeline says the first session was disconnected, then the new connection",
             "Array.prototype.map.call(document.querySelectorAll('#view-servers .tl-item .tl-text'), "
             "function (t) { return t.textContent; })"
             ".slice(0, 2).join('|') === 'Disconnected|Connecting to 192.0.2.20:18001'"
             " && document.querySelector('#view-servers .tl-item .tl-detail').textContent === 'from "
             "192.0.2.10:18000, to connect to 192.0.2.20:18001'");
    s.shoot("servers-connected-elsewhere");
}

void shotRefusedLogin(Shots &s, StubDesk &desk) {
    // A refused login stops the retries and says why; the password field is not remembered.
    s.js("VX.show('servers'); var v=document.getElementById('view-servers');"
         "Array.prototype.filter.call(v.querySelectorAll('button'), function(b){return "
         "b.textContent==='Connect';})[0].click();"
         "vyxCb.connection(\"{'connection': 'Authentication failed','state': 'Connected'}\");");
    settle(100);
    s.expect("a refused login ends in the failed state", "VX.session.state === 'failed'");
    s.expect(
        "a refused login is explained",
        "document.getElementById('view-servers').textContent.indexOf('Wrong user name or password') >= 0");
    s.expect("a refused login stops the connection",
             "document.getElementById('connection-text').textContent.indexOf('Authentication failed') >= 0");
    if (!desk.calls().contains(QStringLiteral("VYXDisconnect")))
        s.failures << "a refused login did not call VYXDisconnect";
    s.shoot("servers-refused");
}

// The fleet's probes: the answers of an earlier probe that come after a later probe started land
// on no site, and a probe redraws only the sites' reachability.
void shotFleet(Shots &s, StubDesk &desk) {
    s.js("(function (st) { st.save({name: 'North', host: '10.0.0.1', port: '18000', user: 'admin'});"
         " st.save({name: 'South', host: '10.0.0.2', port: '18000', user: 'admin'}); })"
         "(new VX.SiteStore(window.localStorage)); VX.show('fleet');");
    const QString view = QStringLiteral("document.getElementById('view-fleet').textContent");
    s.expect("the saved sites are checked", view + ".indexOf('all reachable.') >= 0");
    // The first probe answers only after the second one started; the second answers later still.
    desk.planProbes({{200, false, QStringLiteral("late answer")}, {400, true, QString()}});
    s.js("window.__fleetRows = document.querySelectorAll('#view-fleet tbody tr')[0];"
         "VX.testing.fleet.probe(); VX.testing.fleet.probe();");
    settle(800);
    s.expect("a late answer of the earlier probe lands on no site",
             view + ".indexOf('late answer') < 0 && " + view + ".indexOf('not reachable') < 0 && " + view +
                 ".indexOf('all reachable.') >= 0");
    s.expect("the probe redrew no row",
             "window.__fleetRows === document.querySelectorAll('#view-fleet tbody tr')[0]");
    s.shoot("fleet");
    // The site list changes while a probe is out: North goes, South moves to North's place, and
    // the view probes the new list. The first probe's answers, which come first, land on no site:
    // North's is not taken for South's.
    desk.planProbes({{200, false, QStringLiteral("no answer from {host}")}, {1500, true, QString()}});
    s.js(
        "VX.testing.fleet.probe();"
        "(function (st) { st.remove(VX.SiteStore.keyOf({host: '10.0.0.1', port: '18000', user: 'admin'})); })"
        "(new VX.SiteStore(window.localStorage)); VX.testing.fleet.render(); VX.testing.fleet.probe();");
    settle(600);
    if (!s.js(view + ".indexOf('no answer from') < 0").toBool())
        s.failures << "an answer of the probe before the site list changed landed on a site";
    s.expect("the new list's probe answers", view + ".indexOf('all reachable.') >= 0");
}

struct ShotStep {
    const char *view;
    void (*run)(Shots &s, StubDesk &desk);
};

const ShotStep kShotSteps[] = {
    {"servers", shotServers},
    {"parameters", shotParameters},
    {"backup", shotBackup},
    {"files", shotFiles},
    {"plug-in watchdog", shotPluginWatchdog},
    {"copy cancel", shotCopyCancel},
    {"console", shotConsole},
    {"bus", shotBus},
    {"logs", shotLogs},
    {"project", shotProject},
    {"ets", shotEts},
    {"journal", shotJournal},
    {"about", shotAbout},
    {"connect elsewhere", shotConnectElsewhere},
    {"refused login", shotRefusedLogin},
    {"fleet", shotFleet},
};

int runShots(const QString &html, const QString &folder, const QSize &size) {
    QDir().mkpath(folder);
    int failed = 0;
    int passed = 0;

    const int withoutBridge = shotsWithoutBridge(html, folder, size);
    if (withoutBridge < 0)
        return 1;
    failed += withoutBridge;
    passed += withoutBridge == 0 ? 1 : 0;

    QWebView view;
    auto *page = new RecordingPage(&view);
    view.setPage(page);
    view.resize(size);
    view.show();
    StubDesk desk(page->mainFrame());
    QObject::connect(page->mainFrame(), &QWebFrame::javaScriptWindowObjectCleared, [&]() {
        page->mainFrame()->addToJavaScriptWindowObject(QStringLiteral("vyxDesk"), &desk);
    });
    if (!load(view, html)) {
        std::printf("FAIL cannot load %s\n", qPrintable(html));
        return 1;
    }
    Shots s{&view, folder, {}};
    settle(400);
    for (const ShotStep &step : kShotSteps) {
        const int before = s.failures.size();
        // A notice of the step before ("20 rows exported") would read as this view's in its shot.
        s.js("Array.prototype.forEach.call(document.querySelectorAll('.notice'), function (n) { "
             "n.parentNode.removeChild(n); })");
        step.run(s, desk);
        for (int i = before; i < s.failures.size(); ++i)
            s.failures[i] = QStringLiteral("[%1] %2").arg(QLatin1String(step.view), s.failures[i]);
    }

    for (const QString &p : desk.problems())
        s.failures << p;
    for (const QString &m : page->messages())
        s.failures << "script message: " + m;
    for (const QString &f : s.failures)
        std::printf("FAIL %s\n", qPrintable(f));
    std::printf("bridge calls: %s\n", qPrintable(desk.calls().join(QStringLiteral(" | "))));
    failed += s.failures.size();
    passed += s.failures.isEmpty() ? 1 : 0;
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir storage;
    configureEngine(storage.path());
    const QStringList args = app.arguments();
    if (args.size() >= 3 && args[1] == QLatin1String("--unit"))
        return runUnit(args[2]);
    if (args.size() >= 4 && args[1] == QLatin1String("--shots")) {
        QSize size(1366, 768);
        if (args.size() >= 6)
            size = QSize(args[4].toInt(), args[5].toInt());
        return runShots(args[2], args[3], size);
    }
    std::fprintf(stderr, "usage: %s --unit <tests.html> | --shots <index.html> <folder> [width height]\n",
                 argv[0]);
    return 2;
}
