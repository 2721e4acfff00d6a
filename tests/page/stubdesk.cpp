#include "stubdesk.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QVariant>
#include <QWebFrame>

namespace {

// A JavaScript string literal holding text.
QString literal(const QString &text) {
    const QByteArray json = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(json.mid(1, json.size() - 2));
}

// A folder or file result as the bridge hands it over: the server's info text, then its whole
// JSON (compact).
QString result(int err, const QString &info, const char *member, const QString &path) {
    const QJsonObject o{{"err", err}, {"info", info}, {QLatin1String(member), path}};
    return literal(info) + QLatin1Char(',') +
           QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

QString call(const QString &callback, const QString &argument) {
    return QStringLiteral("(%1)(%2)").arg(callback, argument);
}

const char *const kProjectXml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
                                "<KNX xmlns=\"http://knx.org/xml/project/20\"><Project Id=\"P-0A1B\">"
                                "<ProjectInformation Name=\"Demo house &amp; garage\" /></Project></KNX>";

const char *const kDataXml =
    "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    "<KNX xmlns=\"http://knx.org/xml/project/20\"><Project Id=\"P-0A1B\"><Installations><Installation "
    "Name=\"\">"
    "<GroupAddresses><GroupRanges>"
    "<GroupRange Id=\"P-0A1B-0_GR-1\" Name=\"Lighting\" RangeStart=\"2048\" RangeEnd=\"4095\">"
    "<GroupRange Id=\"P-0A1B-0_GR-2\" Name=\"Ground floor\" RangeStart=\"2048\" RangeEnd=\"2303\">"
    "<GroupAddress Id=\"P-0A1B-0_GA-1\" Address=\"2049\" Name=\"Kitchen light\" DatapointType=\"DPST-1-1\" />"
    "<GroupAddress Id=\"P-0A1B-0_GA-2\" Address=\"2050\" Name=\"Kitchen light status\" "
    "DatapointType=\"DPST-1-11\" />"
    "<GroupAddress Id=\"P-0A1B-0_GA-3\" Address=\"2051\" Name=\"Living dimmer\" DatapointType=\"DPST-5-1\" />"
    "<GroupAddress Id=\"P-0A1B-0_GA-4\" Address=\"2052\" Name=\"&lt;b&gt;Hall&lt;/b&gt; light\" />"
    "</GroupRange></GroupRange>"
    "<GroupRange Id=\"P-0A1B-0_GR-3\" Name=\"Heating\" RangeStart=\"4096\" RangeEnd=\"6143\">"
    "<GroupAddress Id=\"P-0A1B-0_GA-5\" Address=\"4097\" Name=\"Living temperature\" "
    "DatapointType=\"DPST-9-1\" />"
    "<GroupAddress Id=\"P-0A1B-0_GA-6\" Address=\"4098\" Name=\"Set point\" DatapointType=\"DPT-9\" />"
    "<GroupAddress Id=\"P-0A1B-0_GA-7\" Address=\"4099\" Name=\"HVAC mode\" DatapointType=\"DPST-20-102\" />"
    "<GroupAddress Id=\"P-0A1B-0_GA-8\" Address=\"70000\" Name=\"Broken entry\" DatapointType=\"DPST-1-1\" />"
    "</GroupRange></GroupRanges></GroupAddresses></Installation></Installations></Project></KNX>";

// What the manager's import answers for the demo project: three ranges, seven group addresses in
// three-level style (one with markup in its name, one secure, one whose type comes from the push
// button that sends on it), three devices and their links.
const char *const kImportResult = R"({"status":"ok","message":"","deviceCount":3,
"project":{"id":"P-0A1B","name":"Demo house & garage","etsVersion":"ETS5 5.7.1093","schemaVersion":20,
 "groupAddressStyle":"ThreeLevel","protected":%1},
"groupRanges":[{"name":"Lighting","path":"Lighting","depth":1,"start":2048,"end":4095,"address":"1"},
 {"name":"Ground floor","path":"Lighting / Ground floor","depth":2,"start":2048,"end":2303,"address":"1/0"},
 {"name":"Heating","path":"Heating","depth":1,"start":4096,"end":6143,"address":"2"}],
"groupAddresses":[
 {"address":"1/0/1","raw":2049,"id":"P-0A1B-0_GA-1","name":"Kitchen light","description":"ceiling","comment":"",
  "range":"Lighting / Ground floor","rangeIndex":1,"dpt":"1.001","dptRaw":"DPST-1-1","secure":true,
  "dptFrom":{"device":"1.1.7","deviceName":"Push button kitchen","number":2,"source":"ComObjectRef"},"links":[
  {"device":"1.1.7","deviceName":"Push button kitchen","number":2,"name":"Rocker left","function":"Switching","send":true,
   "dpt":"1.001"},
  {"device":"1.1.5","deviceName":"Switch actuator","number":0,"name":"Channel A","function":"Switching","send":false,
   "dpt":"1.001"}]},
 {"address":"1/0/2","raw":2050,"id":"P-0A1B-0_GA-2","name":"Kitchen light status","description":"","comment":"",
  "range":"Lighting / Ground floor","rangeIndex":1,"dpt":"1.011","dptRaw":"DPST-1-11","secure":false,"dptFrom":null,"links":[
  {"device":"1.1.5","deviceName":"Switch actuator","number":1,"name":"Channel A","function":"Status","send":true,
   "dpt":"1.001"}]},
 {"address":"1/0/3","raw":2051,"id":"P-0A1B-0_GA-3","name":"Living dimmer","description":"","comment":"",
  "range":"Lighting / Ground floor","rangeIndex":1,"dpt":"5.001","dptRaw":"DPST-5-1","secure":false,"dptFrom":null,"links":[]},
 {"address":"1/0/4","raw":2052,"id":"P-0A1B-0_GA-4","name":"<b>Hall</b> light","description":"","comment":"",
  "range":"Lighting / Ground floor","rangeIndex":1,"dpt":"","dptRaw":"","secure":false,"dptFrom":null,"links":[]},
 {"address":"2/0/1","raw":4097,"id":"P-0A1B-0_GA-5","name":"Living temperature","description":"","comment":"",
  "range":"Heating","rangeIndex":2,"dpt":"9.001","dptRaw":"DPST-9-1","secure":false,"dptFrom":null,"links":[
  {"device":"1.1.9","deviceName":"Thermostat living","number":4,"name":"Actual temperature","function":"","send":true,
   "dpt":"9.001"}]},
 {"address":"2/0/2","raw":4098,"id":"P-0A1B-0_GA-6","name":"Set point","description":"","comment":"",
  "range":"Heating","rangeIndex":2,"dpt":"9","dptRaw":"DPT-9","secure":false,"dptFrom":null,"links":[]},
 {"address":"2/0/3","raw":4099,"id":"P-0A1B-0_GA-7","name":"HVAC mode","description":"","comment":"",
  "range":"Heating","rangeIndex":2,"dpt":"20.102","dptRaw":"DPST-20-102","secure":false,"dptFrom":null,"links":[]}],
"areas":[{"address":"1","name":"Building","description":"","lines":[{"address":"1.1","name":"Ground floor line",
 "description":"","devices":[
 {"address":"1.1.5","name":"Switch actuator","description":"","product":"Switch actuator 8-fold"},
 {"address":"1.1.7","name":"Push button kitchen","description":"","product":"Push button 4-fold"},
 {"address":"1.1.9","name":"Thermostat living","description":"","product":""}]}]}],
"unassignedDevices":[],
"skipped":[{"what":"Broken entry","why":"its address \"70000\" is not a number from 0 to 65535"}]})";

} // namespace

StubDesk::StubDesk(QWebFrame *frame, QObject *parent) : QObject(parent), m_frame(frame) {}

void StubDesk::record(const QString &c) {
    m_calls << c;
}

void StubDesk::checkCallback(const QString &name) {
    const QVariant ok = m_frame->evaluateJavaScript(
        QStringLiteral("(function(){try{return typeof (%1)==='function';}catch(e){return false;}})()")
            .arg(name));
    if (!ok.toBool())
        m_problems << QStringLiteral("callback \"%1\" is not a function in the page").arg(name);
}

void StubDesk::later(const QString &script, int delayMs) {
    QWebFrame *frame = m_frame;
    QTimer::singleShot(delayMs, this, [frame, script]() { frame->evaluateJavaScript(script); });
}

void StubDesk::pushParameter(const QString &id, const QString &value, const QString &scope, int delayMs) {
    QJsonObject o{{"ParameterID", id}, {"value", value}, {"frameScope", scope}};
    later(QStringLiteral("window.QT.updateParameter(%1)")
              .arg(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Indented))),
          delayMs);
}

QString StubDesk::getQTRelease() {
    record("getQTRelease");
    return QStringLiteral("{\n    \"label\": \"Ver 2.10 07/02/2023\",\n    \"version\": \"210\"\n}\n");
}

QString StubDesk::applicationPath() {
    record("applicationPath");
    return QStringLiteral("/opt/vyxdesk");
}
QString StubDesk::getStoragePath() {
    record("getStoragePath");
    return QStringLiteral("/home/user/.local/share/vyxdesk");
}
QString StubDesk::getTempPath() {
    record("getTempPath");
    return QStringLiteral("/tmp");
}
QString StubDesk::VYXGetHeartBeatTimeOut() {
    record("VYXGetHeartBeatTimeOut");
    return QStringLiteral("120000");
}
QString StubDesk::VYXStartupConnection() {
    record("VYXStartupConnection");
    return QStringLiteral("{}");
}
QString StubDesk::VYXServerVersion() {
    return m_connected ? QStringLiteral("vyxsim stub 1.0") : QString();
}
QString StubDesk::VYXIsConnected() {
    return m_connected ? QStringLiteral("true") : QStringLiteral("false");
}
QString StubDesk::VYXReadyGeneration() {
    return QString::number(m_connected ? m_generation : 0);
}

void StubDesk::discover(QString cb) {
    record("discover");
    checkCallback(cb);
    // Documentation addresses: nothing is sent anywhere, the answers are made up here.
    later(QStringLiteral("(%1)(\"192.0.2.10|vyx-kore-wa-desu|Office server|18000\",\"vyx-kore-wa-desu|Office "
                         "server|18000\")")
              .arg(cb),
          20);
    later(QStringLiteral(
              "(%1)(\"192.0.2.77|vyx-kore-wa-desu name=Plant<room>\",\"vyx-kore-wa-desu name=Plant<room>\")")
              .arg(cb),
          40);
}

QString StubDesk::VYXConnect(QString ip, QString port, QString user, QString, QString cb) {
    record(QStringLiteral("VYXConnect %1 %2 %3").arg(ip, port, user));
    checkCallback(cb);
    // Each connect is a new connection generation, passed after the report as the bridge does.
    const QString generation = QString::number(++m_generation);
    later(call(cb, "{'connection': 'Connecting','state': 'Closed'}, " + generation), 10);
    later(call(cb, "{'connection': 'ConnectionState_Ok','state': 'Connected'}, " + generation), 30);
    later(call(cb, "{'connection': 'Connection Ready'}, " + generation), 50);
    QTimer::singleShot(45, this, [this]() { m_connected = true; });
    return QString();
}

QString StubDesk::VYXDisconnect() {
    record("VYXDisconnect");
    m_connected = false;
    return QString();
}

QString StubDesk::VYXQueryParametersUID() {
    record("VYXQueryParametersUID");
    if (!m_connected)
        return QStringLiteral("true");
    const char *const values[][2] = {
        {"1001", "21.5"},      {"1002", "1"},           {"1003", "0"},
        {"1004", "255"},       {"1005", "Living room"}, {"1006", "3.3"},
        {"1007", "1200"},      {"1008", "off"},         {"1009", "42"},
        {"1010", "0.75"},      {"1011", "12345"},       {"1012", "<img src=x onerror=\"window.__pwned=1\">"},
        {"999997", "logic ok"}};
    int delay = 10;
    for (const auto &v : values)
        pushParameter(v[0], v[1], QStringLiteral("Response"), delay += 5);
    const char *const trend[] = {"21.7", "22.0", "21.9", "22.4", "22.8"};
    for (const char *t : trend)
        pushParameter("1001", t, QStringLiteral("Write"), delay += 40);
    return QStringLiteral("false");
}

QString StubDesk::VYXQueryParameterValue(int id) {
    record(QStringLiteral("VYXQueryParameterValue %1").arg(id));
    return m_connected ? QStringLiteral("false") : QStringLiteral("true");
}

void StubDesk::sendParameterValue(QString uid, QString type, QString value) {
    record(QStringLiteral("sendParameterValue %1 %2 %3").arg(uid, type, value));
    pushParameter(uid, value, QStringLiteral("Write"), 20);
}

QString StubDesk::VYXDownload(QString path, QString cb) {
    record("VYXDownload " + path);
    checkCallback(cb);
    if (!m_connected)
        return QStringLiteral("Not Ready");
    m_transferCallback = cb;
    const QString progress =
        QStringLiteral(
            "{\"GetClientFile\":%1,\"GetClientMd5File\":\"\",\"GetError\":0,\"GetInfo\":\"Donwload Data\","
            "\"GetPercentage\":\"62.5\",\"GetReceivedBytes\":\"655360\",\"GetServerBytes\":\"1048576\","
            "\"GetServerMd5File\":\"9e107d9d372bb6826bd81d3542a419d6\",\"IsEnd\":\"false\"}")
            .arg(literal(path));
    later(call(cb, progress), 20);
    return QString();
}

QString StubDesk::VYXUpload(QString path, QString cb) {
    record("VYXUpload " + path);
    checkCallback(cb);
    return m_connected ? QString() : QStringLiteral("Not Ready");
}

void StubDesk::VYXDatabaseMD5(QString callBack) {
    record("VYXDatabaseMD5");
    checkCallback(callBack);
    if (m_connected)
        later(call(callBack, literal("9e107d9d372bb6826bd81d3542a419d6")), 10);
}

QString StubDesk::MD5(QString path) {
    record("MD5 " + path);
    return QStringLiteral("e4d909c290d0fb1ca068ffaddf22cbd0");
}

QString StubDesk::getOpenFileName(QString title, QString, QString) {
    record("getOpenFileName " + title);
    return QString();
}

QString StubDesk::getSaveFileName(QString title, QString, QString) {
    record("getSaveFileName " + title);
    return QStringLiteral("/home/user/backup/server.db");
}

bool StubDesk::writeFileAbsolute(QString filename, QString) {
    record("writeFileAbsolute " + filename);
    return true;
}

QString StubDesk::readFile(QString filename) {
    record("readFile " + filename);
    if (m_projectOpened)
        return m_projectFile;
    return QStringLiteral(
        "{\"format\":\"vyxdesk-project\",\"version\":1,\"name\":\"Demo house\",\"width\":1280,\"height\":800,"
        "\"background\":\"\",\"objects\":["
        "{\"id\":\"title\",\"type\":\"label\",\"label\":\"Ground "
        "floor\",\"x\":40,\"y\":30,\"w\":300,\"h\":50},"
        "{\"id\":\"kitchen\",\"type\":\"switch\",\"label\":\"Kitchen "
        "light\",\"x\":60,\"y\":140,\"w\":200,\"h\":60,\"paramId\":\"1002\"},"
        "{\"id\":\"temp\",\"type\":\"value\",\"label\":\"Living 21.5 "
        "°C\",\"x\":420,\"y\":140,\"w\":220,\"h\":60,\"paramId\":\"1001\"},"
        "{\"id\":\"dimmer\",\"type\":\"slider\",\"label\":\"Dimmer\",\"x\":60,\"y\":260,\"w\":420,\"h\":50,"
        "\"paramId\":\"1004\"},"
        "{\"id\":\"scene\",\"type\":\"button\",\"label\":\"<script>alert(1)</"
        "script>\",\"x\":700,\"y\":420,\"w\":200,\"h\":60}]}");
}

bool StubDesk::writeFile(QString filename, QString) {
    record("writeFile " + filename);
    return true;
}

void StubDesk::clearProject() {
    record("clearProject");
}

QString StubDesk::saveProject(QString, QString savePath, QString, QString) {
    record("saveProject " + savePath);
    return QStringLiteral("{\n    \"message\": \"\",\n    \"name\": \"demo.vyxp\",\n    \"path\": "
                          "\"/home/user/demo.vyxp\",\n    \"status\": \"ok\"\n}\n");
}

QString StubDesk::loadProject(QString, QString, QString) {
    record("loadProject");
    if (!m_projectFile.isEmpty()) {
        m_projectOpened = true;
        return QStringLiteral("{\n    \"message\": \"\",\n    \"name\": \"elsewhere.vyxp\",\n    \"path\": "
                              "\"/home/user/elsewhere.vyxp\",\n    \"status\": \"ok\"\n}\n");
    }
    return QStringLiteral("{\n    \"message\": \"\",\n    \"name\": \"\",\n    \"path\": \"\",\n    "
                          "\"status\": \"cancel\"\n}\n");
}

QString StubDesk::selectImage(QString, QString) {
    record("selectImage");
    return QString();
}

void StubDesk::VYXCreateFolder(QString destPath, QString feedback) {
    record("VYXCreateFolder " + destPath);
    checkCallback(feedback);
    if (m_connected)
        later(call(feedback, result(0, "Folder created", "folder", destPath)), 10);
}

// The demo server keeps its files: every delete is refused, with the server's reason.
void StubDesk::VYXDeleteFolder(QString destPath, QString feedback) {
    record("VYXDeleteFolder " + destPath);
    checkCallback(feedback);
    if (m_connected)
        later(call(feedback, result(1, "Can not delete folder " + destPath + ": Directory not empty",
                                    "folder", destPath)),
              10);
}

void StubDesk::VYXDeleteFile(QString destPath, QString feedback) {
    record("VYXDeleteFile " + destPath);
    checkCallback(feedback);
    if (m_connected)
        later(call(feedback,
                   result(1, "Can not delete file " + destPath + ": Permission denied", "file", destPath)),
              10);
}

QString StubDesk::VYXCopyFile(QString hostFileName, QString serverFileName, QString callBack) {
    record(QStringLiteral("VYXCopyFile %1 %2").arg(hostFileName, serverFileName));
    checkCallback(callBack);
    if (!m_connected)
        return QString();
    m_copyCallback = callBack;
    later(call(callBack,
               "{\"copied\":131072,\"length\":300000,\"percent\":43.69,\"status\":\"copy in progress\"}"),
          10);
    later(call(callBack,
               "{\"copied\":262144,\"length\":300000,\"percent\":87.38,\"status\":\"copy in progress\"}"),
          30);
    return QStringLiteral("{\n    \"status\": \"copy in progress\"\n}\n");
}

QString StubDesk::VYXInstallPlugin(QString pluginName, QString installPath, QString callBackStatus,
                                   QString callBackComplete) {
    record(QStringLiteral("VYXInstallPlugin %1 %2").arg(pluginName, installPath));
    checkCallback(callBackStatus);
    checkCallback(callBackComplete);
    m_copyCallback = callBackStatus;
    m_operationCallback = callBackComplete;
    m_pluginCopyHeld = m_holdPluginCopy;
    if (!m_pluginCopyHeld)
        reportPluginCopy();
    return QString();
}

void StubDesk::reportPluginCopy() {
    later(call(m_copyCallback,
               "{\"copied\":131072,\"length\":200000,\"percent\":65.5,\"status\":\"copy in progress\"}"),
          10);
    later(call(m_copyCallback, "{\"status\":\"MD5 verify\"}"), 20);
    // The end status carries the local file's digest, as the manager's does.
    later(call(m_copyCallback, "{\"md5\":\"e4d909c290d0fb1ca068ffaddf22cbd0\",\"serverMd5\":"
                               "\"e4d909c290d0fb1ca068ffaddf22cbd0\",\"status\":\"complete\"}"),
          30);
}

void StubDesk::holdPluginCopy(bool hold) {
    m_holdPluginCopy = hold;
    if (!hold && m_pluginCopyHeld) {
        m_pluginCopyHeld = false;
        reportPluginCopy();
    }
}

void StubDesk::VYXPluginExtracted(QString info) {
    record("VYXPluginExtracted " + info);
    later(call(m_copyCallback, "{\"status\":\"files done\"}"), 10);
    later(call(m_copyCallback, "{\"status\":\"restarting logic\"}"), 20);
    later(call(m_operationCallback, "{\"status\":\"install complete\"}"), 30);
}

void StubDesk::VYXConsole(QString command, QString callback) {
    record("VYXConsole " + command);
    checkCallback(callback);
    const QString reply =
        command.startsWith("ls -la ") ? listing(command.mid(7)) : QStringLiteral("ok: ") + command;
    later(call(callback, QString::fromUtf8(QJsonDocument(QJsonObject{{"status", reply}}).toJson())), 15);
}

// "ls -la" in GNU ls's long format: the top folder holds names a server may well have (markup,
// blanks, a leading dash); "logic" one folder down; anything else does not exist.
QString StubDesk::listing(const QString &quotedPath) const {
    QString path = quotedPath;
    if (path.size() >= 2 && path.startsWith('\'') && path.endsWith('\''))
        path = path.mid(1, path.size() - 2);
    if (path == QLatin1String(".") || path == QLatin1String("./"))
        return QStringLiteral(
            "total 2056\n"
            "drwxr-xr-x 4 root root    4096 Dec 10 12:51 .\n"
            "drwxr-xr-x 9 root root    4096 Dec  1 08:00 ..\n"
            "drwxr-xr-x 3 root root    4096 Dec 10 12:51 logic\n"
            "drwxr-xr-x 2 root root    4096 Nov 28 17:02 my plugins\n"
            "-rw-r--r-- 1 root root 2097152 Dec 10 12:50 vyx.db\n"
            "-rw-r--r-- 1 root root      12 Jan  3  2025 <img src=x onerror=\"window.__pwned=1\">.txt\n"
            "-rw-r--r-- 1 root root       0 Dec 10 12:51 -rf\n"
            "lrwxrwxrwx 1 root root       5 Dec 10 12:51 current -> logic");
    if (path == QLatin1String("logic"))
        return QStringLiteral("total 12\n"
                              "drwxr-xr-x 3 root root 4096 Dec 10 12:51 .\n"
                              "drwxr-xr-x 4 root root 4096 Dec 10 12:51 ..\n"
                              "drwxr-xr-x 2 root root 4096 Dec 10 12:51 plugins\n"
                              "-rw-r--r-- 1 root root 1536 Dec 10 12:40 rules.json");
    return QStringLiteral("ls: cannot access '%1': No such file or directory").arg(path);
}

void StubDesk::VYXGuardian(QString info, QString callback) {
    record("VYXGuardian " + info);
    checkCallback(callback);
    later(call(callback, QString::fromUtf8(
                             QJsonDocument(QJsonObject{{"status", "guardian: " + info + " done"}}).toJson())),
          15);
}

void StubDesk::VYXStartKNXGateway() {
    record("VYXStartKNXGateway");
}
void StubDesk::VYXStopKNXGateway() {
    record("VYXStopKNXGateway");
}

void StubDesk::VYXZephronCommand(QString command) {
    record("VYXZephronCommand " + command);
    QString echo = command;
    echo.replace('"', "|||");
    later(QStringLiteral("(application.feedback)(%1)").arg(literal("ack " + echo)), 15);
}

void StubDesk::VYXEnableBusDebug(QString enable) {
    record("VYXEnableBusDebug " + enable);
}
void StubDesk::LogWindow(QString id, QString type) {
    record(QStringLiteral("LogWindow %1 %2").arg(id, type));
}

bool StubDesk::VYXMessageSend(QString data, QString callback) {
    record("VYXMessageSend " + data);
    checkCallback(callback);
    later(call(callback, literal(data.section('|', 0, 0) + "|reply from another client")), 20);
    return m_connected;
}

QString StubDesk::ETSProject_fileList(QString projectPath) {
    record("ETSProject_fileList " + projectPath);
    if (projectPath.endsWith("protected.knxproj"))
        return QStringLiteral("knx_master.xml\nP-0A1B.signature\nP-0A1B.zip\n");
    if (!projectPath.endsWith(".knxproj"))
        return QString();
    return QStringLiteral(
        "knx_master.xml\nM-0083/\nM-0083/M-0083_A-0001.xml\nP-0A1B/\nP-0A1B/0.xml\nP-0A1B/project.xml\n");
}

QString StubDesk::ETSProject_readFile(QString projectPath, QString filePath) {
    record(QStringLiteral("ETSProject_readFile %1 %2").arg(projectPath, filePath));
    if (filePath.compare("P-0A1B/project.xml", Qt::CaseInsensitive) == 0)
        return QString::fromUtf8(kProjectXml);
    if (filePath.compare("P-0A1B/0.xml", Qt::CaseInsensitive) == 0)
        return QString::fromUtf8(kDataXml);
    return QString();
}

// The protected demo opens with the password "secret". The password is not recorded.
QString StubDesk::ETSProject_import(QString projectPath, QString password, QString progressCallback,
                                    QString doneCallback) {
    record("ETSProject_import " + projectPath);
    checkCallback(progressCallback);
    checkCallback(doneCallback);
    const bool locked = projectPath.endsWith("protected.knxproj");
    QString answer;
    if (locked && password.isEmpty())
        answer =
            R"({"status":"needsPassword","message":"This project is password-protected; enter its password to open it."})";
    else if (locked && password != "secret")
        answer =
            R"({"status":"wrongPassword","message":"Wrong password: P-0A1B.zip/0.xml could not be decrypted with it."})";
    else
        answer = QString::fromUtf8(kImportResult).arg(locked ? "true" : "false");
    later(
        call(progressCallback, literal(R"({"stage":"Reading group addresses and devices","fraction":0.5})")),
        10);
    later(call(doneCallback, literal(answer)), 40);
    return QStringLiteral("started");
}

// The journal: a few sample records, one of them left without an answer, one holding markup.
void StubDesk::journalWatch(QString callback) {
    record("journalWatch");
    checkCallback(callback);
}

void StubDesk::journalSetSite(QString name) {
    record("journalSetSite " + name);
}

QString StubDesk::journalEntries(QString filterJson) {
    record("journalEntries " + filterJson);
    const QJsonObject filter = QJsonDocument::fromJson(filterJson.toUtf8()).object();
    struct Sample {
        int id;
        const char *time, *site, *kind, *arguments, *outcome, *result;
    };
    static const Sample samples[] = {
        {6, "2026-12-01T09:58:12.101Z", "Office server", "configuration-upload",
         R"({"file":"/home/user/backup/office-2026-11-30.db"})", "unknown", ""},
        {5, "2026-12-01T09:41:03.550Z", "Office server", "backup",
         R"({"file":"/home/user/backup/office-2026-12-01.db"})", "succeeded",
         "MD5 3f2a9c01d4e5b6a7c8d9e0f1a2b3c4d5"},
        {4, "2026-12-01T09:40:27.004Z", "Office server", "command-line", R"({"command":"ls -la logic/"})",
         "succeeded", "answered with 412 characters of output"},
        {3, "2026-11-30T16:12:45.882Z", "Plant<room>", "folder-create",
         R"({"path":"<img src=x onerror=alert(1)>"})", "failed", "mkdir: <b>not</b> allowed"},
        {2, "2026-11-30T16:10:02.317Z", "Plant<room>", "parameter-write",
         R"({"uid":"100201","type":"float","value":"22.5"})", "sent",
         "sent; the server does not confirm writes"},
        {1, "2026-11-30T16:09:58.020Z", "Plant<room>", "gateway-start",
         R"({"command":"/home/nalrio/bin/knxd.sh start"})", "succeeded",
         "answered with 2 characters of output"},
    };
    QJsonArray entries;
    for (const Sample &e : samples) {
        if (!filter.value("site").toString().isEmpty() && filter.value("site").toString() != e.site)
            continue;
        if (!filter.value("kind").toString().isEmpty() && filter.value("kind").toString() != e.kind)
            continue;
        entries.append(QJsonObject{{"id", e.id},
                                   {"time", e.time},
                                   {"site", e.site},
                                   {"address", "192.0.2.10:18000"},
                                   {"user", "installer"},
                                   {"program", "vyxdesk"},
                                   {"kind", e.kind},
                                   {"arguments", QJsonDocument::fromJson(e.arguments).object()},
                                   {"outcome", e.outcome},
                                   {"result", e.result},
                                   {"completed", ""}});
    }
    return QString::fromUtf8(
        QJsonDocument(QJsonObject{{"entries", entries},
                                  {"sites", QJsonArray{"Office server", "Plant<room>"}},
                                  {"path", "/home/user/.local/share/vyxdesk/journal.sqlite"},
                                  {"error", ""}})
            .toJson(QJsonDocument::Compact));
}

QString StubDesk::journalExport(QString format, QString filterJson, QString path) {
    record("journalExport " + format + " " + filterJson + " " + path);
    return QStringLiteral("{\"count\":6,\"path\":\"%1\"}").arg(path);
}

// A cancelled copy ends with an error that says so.
void StubDesk::VYXCancelCopy() {
    record("VYXCancelCopy");
    if (m_copyCallback.isEmpty())
        return;
    later(call(m_copyCallback, "{\"info\":\"cancelled by the user; the server keeps the part it has "
                               "written\",\"status\":\"error\"}"),
          10);
}

// The end record the transfer sends when it is stopped.
void StubDesk::VYXStopTransfer() {
    record("VYXStopTransfer");
    if (m_transferCallback.isEmpty())
        return;
    later(call(m_transferCallback,
               "{\"GetClientFile\":\"/home/user/backup/server.db\",\"GetError\":101,\"GetInfo\":\"Download "
               "stopped by the user\","
               "\"GetPercentage\":\"62.5\",\"GetReceivedBytes\":\"655360\",\"GetServerBytes\":\"1048576\","
               "\"IsEnd\":\"true\"}"),
          10);
    m_transferCallback.clear();
}

// The guardian starts the logic again.
void StubDesk::VYXStartLogic(QString callback) {
    record("VYXStartLogic");
    later(call(callback, "{\"status\":\"guardian: start logic: ok\"}"), 10);
}

// The vault: one verified copy of every site, a day old; fleet probes find every site reachable.
QString StubDesk::vaultList(QString host, QString port) {
    record("vaultList " + host + ":" + port);
    const qint64 day = QDateTime::currentSecsSinceEpoch() - 86400;
    return QStringLiteral("{\"root\":\"/home/user/.local/share/vyxdesk/vault\",\"folder\":\"/home/user/"
                          ".local/share/vyxdesk/vault/%1_%2\","
                          "\"copies\":[{\"time\":%3,\"utc\":\"\",\"size\":65536,\"md5\":"
                          "\"9e107d9d372bb6826bd81d3542a419d6\","
                          "\"version\":\"vyxsim "
                          "0.1.0\",\"file\":\"copy.db\",\"path\":\"/home/user/copy.db\",\"verified\":true}]}")
        .arg(host, port)
        .arg(day);
}

void StubDesk::vaultOverview(QString sitesJson, QString callback) {
    Q_UNUSED(sitesJson);
    record("vaultOverview");
    checkCallback(callback);
    later(call(callback, QStringLiteral("[]")), 10);
}

QString StubDesk::vaultPartPath(QString host, QString port) {
    record("vaultPartPath " + host + ":" + port);
    return QStringLiteral("{\"path\":\"/home/user/.local/share/vyxdesk/vault/.part-1\"}");
}

bool StubDesk::vaultDiscard(QString part) {
    record("vaultDiscard " + part);
    return true;
}

void StubDesk::vaultAdd(QString requestJson, QString callback) {
    record("vaultAdd " + requestJson.left(40));
    checkCallback(callback);
    later(call(callback, QStringLiteral("{\"ok\":false,\"error\":\"the stub keeps no copies\"}")), 10);
}

void StubDesk::vaultPrune(QString host, QString port, int keep, QString callback) {
    record(QStringLiteral("vaultPrune %1:%2 %3").arg(host, port).arg(keep));
    checkCallback(callback);
    later(call(callback, QStringLiteral("{\"removed\":0}")), 10);
}

// Each probe is a generation of its own: its first answer says which, the others carry it.
void StubDesk::fleetProbe(QString sitesJson, QString callback) {
    record("fleetProbe");
    checkCallback(callback);
    const ProbePlan plan = m_probePlans.isEmpty() ? ProbePlan{10, true, QString()} : m_probePlans.takeFirst();
    const QJsonArray sites = QJsonDocument::fromJson(sitesJson.toUtf8()).array();
    const int generation = ++m_probeGeneration;
    later(
        call(callback, QStringLiteral("{\"generation\":%1,\"sites\":%2}").arg(generation).arg(sites.size())),
        0);
    for (int i = 0; i < sites.size(); ++i) {
        const QJsonObject site = sites.at(i).toObject();
        QJsonObject answer{
            {QStringLiteral("generation"), generation},
            {QStringLiteral("index"), i},
            {QStringLiteral("host"), site.value(QStringLiteral("host"))},
            {QStringLiteral("port"), site.value(QStringLiteral("port")).toVariant().toInt()},
            {QStringLiteral("reachable"), plan.reachable},
            {QStringLiteral("ms"), 3},
            {QStringLiteral("reason"),
             QString(plan.reason)
                 .replace(QLatin1String("{host}"), site.value(QStringLiteral("host")).toString())}};
        later(call(callback, QString::fromUtf8(QJsonDocument(answer).toJson(QJsonDocument::Compact))),
              plan.delayMs);
    }
    later(call(callback, QStringLiteral("{\"generation\":%1,\"done\":true}").arg(generation)), plan.delayMs);
}

void StubDesk::MD5Async(QString path, QString progressCallback, QString callback) {
    record("MD5Async " + path);
    checkCallback(callback);
    if (!progressCallback.isEmpty())
        checkCallback(progressCallback);
    later(call(callback, QStringLiteral("{\"md5\":\"e4d909c290d0fb1ca068ffaddf22cbd0\",\"size\":65536}")),
          10);
}

bool StubDesk::fleetBackup(QString requestJson, QString callback) {
    record("fleetBackup " + requestJson.left(20));
    checkCallback(callback);
    later(call(callback, QStringLiteral("{\"done\":true,\"results\":[]}")), 10);
    return true;
}

void StubDesk::keyringStatus(QString callback) {
    record("keyringStatus");
    checkCallback(callback);
    later(call(callback, QStringLiteral("{\"available\":true,\"reason\":\"\"}")));
}

void StubDesk::rememberPassword(QString site, QString password, QString callback) {
    record("rememberPassword " + site);
    checkCallback(callback);
    m_keyring.insert(site, password);
    later(call(callback, QStringLiteral("{\"status\":\"ok\"}")));
}

void StubDesk::rememberedPassword(QString site, QString callback) {
    record("rememberedPassword " + site);
    checkCallback(callback);
    QJsonObject answer{{QStringLiteral("status"), QStringLiteral("ok")},
                       {QStringLiteral("found"), m_keyring.contains(site)}};
    if (m_keyring.contains(site))
        answer.insert(QStringLiteral("password"), m_keyring.value(site));
    later(call(callback, QString::fromUtf8(QJsonDocument(answer).toJson(QJsonDocument::Compact))));
}

void StubDesk::forgetPassword(QString site, QString callback) {
    record("forgetPassword " + site);
    checkCallback(callback);
    m_keyring.remove(site);
    later(call(callback, QStringLiteral("{\"status\":\"ok\"}")));
}

QString StubDesk::VYXConnectThroughTunnel(QString ip, QString port, QString user, QString password,
                                          QString tunnel, QString cb) {
    record(QStringLiteral("tunnel %1").arg(tunnel));
    return VYXConnect(ip, port, user, password, cb);
}
