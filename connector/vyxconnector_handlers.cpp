// Bodies of the connector's event handlers: what each protocol event turns into.
#include "boundedxml.h"
#include "connectorlog.h"
#include "vyxconnector.h"

#include "kvt_zephronframe.h"

#include <QJsonObject>
#include <QJsonValue>

#include <algorithm>
#include <cstring>
#include <iterator>

using kvt::kvtDownloadProgress;
using kvt::kvtIOlmoFrame;
using kvt::kvtOlmoTcpClient;
using kvt::kvtUploadProgress;

namespace {

constexpr uint32_t kHeaderLength = kvt::kvtOlmoHeaderSize;
constexpr int kMaxDumpBytes = 256; // console dump of an unknown value

// The payload bytes that really lie in the frame's buffer (none for a 9-byte frame).
const uint8_t *payloadBytes(const kvtIOlmoFrame &frame, uint32_t *length) {
    const uint32_t total = frame.GetBufferLength();
    if (total <= kHeaderLength || !frame.GetBuffer()) {
        *length = 0;
        return nullptr;
    }
    *length = std::min<uint32_t>(static_cast<uint32_t>(frame.GetDataLength()), total - kHeaderLength);
    return reinterpret_cast<const uint8_t *>(frame.GetBuffer()) + kHeaderLength;
}

QJsonObject jsonPayload(const QByteArray &text) {
    return QJsonDocument::fromJson(text).object();
}

QString indentedJson(const QJsonObject &object) {
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Indented));
}

// The bytes of a value of no known type, as "[0x.. 0x.. ]" (at most kMaxDumpBytes of them).
QString valueDump(const kvtIOlmoFrame &frame) {
    uint32_t length = 0;
    const uint8_t *data = payloadBytes(frame, &length);
    if (!data) {
        data = reinterpret_cast<const uint8_t *>(frame.GetBuffer()) + 4;
        length = 4;
    }
    QString text = QStringLiteral("[");
    for (uint32_t i = 0; i < length && i < uint32_t(kMaxDumpBytes); ++i)
        text += QStringLiteral("0x") +
                QString::number(data[i], 16).toUpper().rightJustified(2, QLatin1Char('0')) + QLatin1Char(' ');
    if (length > uint32_t(kMaxDumpBytes))
        text += QStringLiteral("...");
    return text + QLatin1Char(']');
}

const char *boolText(bool value) {
    return value ? "true" : "false";
}

QString percentageText(double fraction) {
    return QString::number(fraction * 100.0, 'g', 6);
}

QString scopeText(uint32_t kind) {
    static const char *const scopes[] = {"Read", "Write", "Response", "Physical"};
    return kind < 4 ? QString::fromLatin1(scopes[kind]) : QString();
}

} // namespace

void VYXConnector::OnReady() {
    qCDebug(lcConnector, "MyVyx::OnReady Is Ready to work");
    emit connectionReady(m_client.GetGeneration());
}

void VYXConnector::OnConnection(kvtOlmoTcpClient *channel, const QString &connectionStateText,
                                const QString &socketStateText) {
    qCDebug(lcConnector).noquote() << "MyVyx::OnConnection" + connectionStateText + " " + socketStateText;
    const bool command = channel && channel->IsCommandChannel();
    emit connectionState(command ? QStringLiteral("C") : QStringLiteral("R"), connectionStateText,
                         socketStateText, m_client.GetGeneration());
}

void VYXConnector::OnAuthentication(int state, const QByteArray &message) {
    emit authenticationResponse(state, QString::fromUtf8(message));
}

QString VYXConnector::DownloadProgressJson(const kvtDownloadProgress &p) {
    QJsonObject o;
    o.insert("IsEnd", QString::fromLatin1(boolText(p.IsEnd())));
    o.insert("GetError", p.GetError());
    o.insert("GetInfo", QString::fromStdString(p.GetInfo()));
    o.insert("GetServerBytes", QString::number(p.GetServerBytes()));
    o.insert("GetReceivedBytes", QString::number(p.GetReceivedBytes()));
    o.insert("GetPercentage", percentageText(p.GetPercentage()));
    o.insert("GetClientFile", QString::fromStdString(p.GetClientFile()));
    o.insert("GetClientMd5File", QString::fromStdString(p.GetClientMd5File()));
    o.insert("GetServerMd5File", QString::fromStdString(p.GetServerMd5File()));
    return indentedJson(o);
}

QString VYXConnector::UploadProgressJson(const kvtUploadProgress &p) {
    QJsonObject o;
    o.insert("IsEnd", QString::fromLatin1(boolText(p.IsEnd())));
    o.insert("GetError", p.GetError());
    o.insert("GetInfo", QString::fromStdString(p.GetInfo()));
    o.insert("GetClientBytes", QString::number(p.GetClientBytes()));
    o.insert("GetSentBytes", QString::number(p.GetSentBytes()));
    o.insert("GetPercentage", percentageText(p.GetPercentage()));
    o.insert("GetClientFile", QString::fromStdString(p.GetClientFile()));
    o.insert("GetClientMd5File", QString::fromStdString(p.GetClientMd5File()));
    o.insert("GetServerMd5File", QString::fromStdString(p.GetServerMd5File()));
    return indentedJson(o);
}

void VYXConnector::OnDownloadConfiguration(const kvtDownloadProgress *progress) {
    if (!progress)
        return;
    const kvtDownloadProgress &p = *progress;
    qCDebug(lcConnector, "MyVyx::OnDownloadConfiguration [%s][%i][%s][%ul][%i][%.3f][%s][%s][%s]",
            boolText(p.IsEnd()), int(p.GetError()), p.GetInfo().c_str(), unsigned(p.GetServerBytes()),
            int(p.GetReceivedBytes()), double(p.GetPercentage()), p.GetClientFile().c_str(),
            p.GetClientMd5File().c_str(), p.GetServerMd5File().c_str());
    const QString json = DownloadProgressJson(p);
    qCDebug(lcConnector).noquote() << json;
    emit InProgress(json);
    if (p.IsEnd()) {
        if (p.GetError() == 0) {
            {
                std::lock_guard<std::mutex> locker(m_stateLock);
                m_clientConfigurationMd5 = QByteArray::fromStdString(p.GetClientMd5File());
            }
            qCDebug(lcConnector, "Load Client configuration...");
        } else {
            qCDebug(lcConnector, "Download Error");
        }
    }
}

void VYXConnector::OnUploadConfiguration(const kvtUploadProgress *progress) {
    if (!progress)
        return;
    const kvtUploadProgress &p = *progress;
    qCDebug(lcConnector, "MyVyx::OnUploadConfiguration [%s][%i][%s][%i][%i][%.3f][%s][%s][%s]",
            boolText(p.IsEnd()), int(p.GetError()), p.GetInfo().c_str(), int(p.GetClientBytes()),
            int(p.GetSentBytes()), double(p.GetPercentage()), p.GetClientFile().c_str(),
            p.GetClientMd5File().c_str(), p.GetServerMd5File().c_str());
    const QString json = UploadProgressJson(p);
    qCDebug(lcConnector).noquote() << json;
    emit InProgress(json);
}

QByteArray VYXConnector::FrameText(const kvtIOlmoFrame &frame) {
    if (frame.GetType() != kvt::kvtTypeString)
        return QByteArray();
    uint32_t length = 0;
    const char *text = reinterpret_cast<const char *>(payloadBytes(frame, &length));
    if (!text)
        return QByteArray();
    return QByteArray(text, static_cast<int>(strnlen(text, length)));
}

bool VYXConnector::ZephronText(const kvtIOlmoFrame &frame, QByteArray *text) {
    text->clear();
    if (frame.GetType() != kvt::kvtTypeData)
        return false;
    uint32_t length = 0;
    const uint8_t *data = payloadBytes(frame, &length);
    const kvt::kvtZephronFrame zephron(data, length);
    if (!zephron.IsValid() || zephron.GetCode() != 0 || !zephron.HasPayload())
        return false;
    *text = QByteArray::fromStdString(zephron.GetPayloadText());
    return true;
}

// What each server command's answer turns into. Codes not listed are parameter notifications.
// Response-only rows drop a frame of another kind (it never falls through to the parameter case).
struct VYXConnector::ReadRoute {
    uint32_t code;
    const char *name; // as the console line names the command
    bool responseOnly;
    void (VYXConnector::*handle)(const kvtIOlmoFrame &frame, const ReadRoute &route);
    void (VYXConnector::*infoSignal)(QString); // rows whose answer's "info" text goes to the page
};

const VYXConnector::ReadRoute VYXConnector::kReadRoutes[] = {
    {kvt::CmdQueryParametersUID, "CmdQueryParametersUID", true, &VYXConnector::handleParametersUid, nullptr},
    {kvt::CmdQueryParameterConfiguration, "CmdQueryParameterConfiguration", true,
     &VYXConnector::handleTextAnswer, nullptr},
    {kvt::CmdSystemReload, "CmdSystemReload", false, &VYXConnector::handleSystemReload, nullptr},
    {kvt::CmdQueryParameterUIConfiguration, "CmdQueryParameterUIConfiguration", true,
     &VYXConnector::handleTextAnswer, nullptr},
    {kvt::CmdQueryUserUI, "CmdQueryUserUI", true, &VYXConnector::handleUserUI, nullptr},
    {kvt::CmdQueryDbMd5, "CmdQueryDbMd5", true, &VYXConnector::handleDatabaseMd5, nullptr},
    {kvt::CmdQueryDbMaxSize, "CmdQueryDbMaxSize", true, &VYXConnector::handleDatabaseMaxSize, nullptr},
    {kvt::CmdQueryClientLevel, "CmdQueryClientLevel", true, &VYXConnector::handleClientLevel, nullptr},
    {kvt::CmdQueryFolderDelete, "CmdQueryFolderDelete", true, &VYXConnector::handleJsonInfo,
     &VYXConnector::VYXFolderDeleted},
    {kvt::CmdQueryFolderCreate, "CmdQueryFolderCreate", true, &VYXConnector::handleJsonInfo,
     &VYXConnector::VYXFolderCreated},
    {kvt::CmdQueryFileDelete, "CmdQueryFileDelete", true, &VYXConnector::handleJsonInfo,
     &VYXConnector::VYXFileDeleted},
    {kvt::CmdQueryFileCreate, "CmdQueryFileCreate", true, &VYXConnector::handleJsonInfo,
     &VYXConnector::VYXFileCreate},
    {kvt::CmdQueryFileAppendData, "CmdQueryFileAppendData", true, &VYXConnector::handleJsonInfo,
     &VYXConnector::VYXFileAppend},
    {kvt::CmdQueryFileMd5, "CmdQueryFileMd5", true, &VYXConnector::handleFileMd5, nullptr},
    {kvt::CmdQueryDbChange, "CmdQueryDbChange", true, &VYXConnector::handleJsonAnswer, nullptr},
    {kvt::CmdQueryExecuteCommandLine, "CmdQueryExecuteCommandLine", true, &VYXConnector::handleCommandLine,
     nullptr},
    {kvt::CmdQueryServerVersion, "CmdQueryServerVersion", true, &VYXConnector::handleServerVersion, nullptr},
    {kvt::CmdSendBroadcastData, "CmdSendBroadcastData", false, &VYXConnector::handleBroadcast, nullptr},
    {kvt::CmdSendZephronFrame, "CmdSendZephronFrame", false, &VYXConnector::handleZephron, nullptr},
};

const VYXConnector::ReadRoute *VYXConnector::FindReadRoute(uint32_t code) {
    // Parameter codes lie below the command range: most frames leave at the first test.
    static const auto bounds =
        std::minmax_element(std::begin(kReadRoutes), std::end(kReadRoutes),
                            [](const ReadRoute &a, const ReadRoute &b) { return a.code < b.code; });
    if (code < bounds.first->code || code > bounds.second->code)
        return nullptr;
    for (const ReadRoute &route : kReadRoutes)
        if (route.code == code)
            return &route;
    return nullptr;
}

void VYXConnector::OnRead(const kvtIOlmoFrame *frame) {
    if (!frame)
        return;
    const ReadRoute *route = FindReadRoute(frame->GetCode());
    if (!route) {
        handleParameter(*frame);
        return;
    }
    if (route->responseOnly && frame->GetKind() != kvt::kvtOlmoKindResponse)
        return;
    (this->*route->handle)(*frame, *route);
}

void VYXConnector::handleTextAnswer(const kvtIOlmoFrame &frame, const ReadRoute &route) {
    qCDebug(lcConnector, "[%s][%s]", route.name, FrameText(frame).constData());
}

void VYXConnector::handleSystemReload(const kvtIOlmoFrame &, const ReadRoute &) {
    qCDebug(lcConnector, "[CmdSystemReload]");
}

void VYXConnector::handleDatabaseMd5(const kvtIOlmoFrame &frame, const ReadRoute &) {
    const QByteArray md5 = FrameText(frame);
    {
        std::lock_guard<std::mutex> locker(m_stateLock);
        m_databaseMd5 = md5;
    }
    qCDebug(lcConnector, "[CmdQueryDbMd5][%s]", md5.constData());
    emit VYXDatabaseMD5(QString::fromUtf8(md5));
}

void VYXConnector::handleServerVersion(const kvtIOlmoFrame &frame, const ReadRoute &) {
    const QString version = QString::fromUtf8(FrameText(frame)).left(200);
    qCDebug(lcConnector).noquote() << "[CmdQueryServerVersion][" + version + "]";
    emit serverVersion(version);
}

void VYXConnector::handleDatabaseMaxSize(const kvtIOlmoFrame &frame, const ReadRoute &) {
    const qint32 size = static_cast<qint32>(frame.GetAsULong());
    {
        std::lock_guard<std::mutex> locker(m_stateLock);
        m_databaseMaxSize = size;
    }
    qCDebug(lcConnector, "[CmdQueryDbMaxSize][%i]", size);
}

void VYXConnector::handleClientLevel(const kvtIOlmoFrame &frame, const ReadRoute &) {
    const quint8 level = static_cast<quint8>(frame.GetAsUChar());
    {
        std::lock_guard<std::mutex> locker(m_stateLock);
        m_clientLevel = level;
    }
    qCDebug(lcConnector, "[CmdQueryClientLevel][%i]", int(level));
}

void VYXConnector::handleFileMd5(const kvtIOlmoFrame &frame, const ReadRoute &) {
    const QByteArray md5 = FrameText(frame);
    qCDebug(lcConnector, "[CmdQueryFileMd5][%s]", md5.constData());
    emit VYXFileMD5(QString::fromUtf8(md5));
}

void VYXConnector::handleJsonAnswer(const kvtIOlmoFrame &frame, const ReadRoute &route) {
    qCDebug(lcConnector, "[%s][%s]", route.name,
            indentedJson(jsonPayload(FrameText(frame))).toUtf8().constData());
}

void VYXConnector::handleBroadcast(const kvtIOlmoFrame &frame, const ReadRoute &) {
    const QString data = QString::fromUtf8(FrameText(frame));
    if (m_liveBuffer.load()) {
        LiveUpdates::Text text;
        text.text = data;
        m_live.addText(std::move(text));
        return;
    }
    qCDebug(lcConnector).noquote() << data;
    emit VYXMessageReceived(data);
}

void VYXConnector::handleParametersUid(const kvtIOlmoFrame &frame, const ReadRoute &) {
    std::vector<uint32_t> uids;
    {
        std::lock_guard<std::mutex> locker(m_stateLock);
        if (frame.GetType() == kvt::kvtTypeData) {
            uint32_t length = 0;
            const uint8_t *data = payloadBytes(frame, &length);
            for (uint32_t i = 0; i + 4 <= length; i += 4) {
                const uint32_t uid = uint32_t(data[i]) | uint32_t(data[i + 1]) << 8 |
                                     uint32_t(data[i + 2]) << 16 | uint32_t(data[i + 3]) << 24;
                // Each UID once: a repeated UID list (every reconnection asks again) must not grow the
                // list or the number of value queries without bound.
                if (m_knownUids.contains(uid) || m_parameterUids.size() >= size_t(kMaxParameterUids))
                    continue;
                m_knownUids.insert(uid);
                m_parameterUids.push_back(uid);
            }
        }
        uids.assign(m_parameterUids.begin(), m_parameterUids.end());
    }
    qCDebug(lcConnector, "[CmdQueryParametersUID][%zu]", uids.size());
    // How many values are about to come, so that the page can show the loading's progress.
    emit parameterListReceived(int(uids.size()));
    // The requests go out after the lock is released.
    for (uint32_t uid : uids)
        queryParameterValue(uid);
}

void VYXConnector::handleJsonInfo(const kvtIOlmoFrame &frame, const ReadRoute &route) {
    const QJsonObject answer = jsonPayload(FrameText(frame));
    qCDebug(lcConnector, "[%s][%s]", route.name, indentedJson(answer).toUtf8().constData());
    emit(this->*route.infoSignal)(answer.value("info").toString());
    emit fileAnswer(int(frame.GetCode()),
                    QString::fromUtf8(QJsonDocument(answer).toJson(QJsonDocument::Compact)));
}

void VYXConnector::handleCommandLine(const kvtIOlmoFrame &frame, const ReadRoute &) {
    const QJsonObject answer = jsonPayload(FrameText(frame));
    const QString info = answer.value("info").toString();
    QString tag;
    m_commandReplies.Pop(&tag, answer.value("cmd").toString());
    qCDebug(lcConnector).noquote() << "MyVyx::CommandLine [" + tag + "] " + info;
    emit VYXCommandLineExecuted(info);
    emit commandLineReply(tag, info);
}

void VYXConnector::handleUserUI(const kvtIOlmoFrame &frame, const ReadRoute &) {
    const QByteArray payload = FrameText(frame);
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError)
        handleUserUIXml(payload);
    else
        handleUserUIWriteAnswer(document.object());
}

void VYXConnector::handleUserUIXml(const QByteArray &xml) {
    // Sending back what could not be read would replace the user's interface on the server.
    if (!BoundedXml::withinBounds(xml)) {
        qCWarning(lcConnector,
                  "[CmdQueryUserUI][RESPONSE][refused: deeper than %d levels or larger than %d bytes]",
                  BoundedXml::kMaxDepth, BoundedXml::kMaxBytes);
        return;
    }
    QByteArray rendered;
    {
        std::lock_guard<std::mutex> locker(m_stateLock);
        m_userInterface.clear();
        m_userInterface.setContent(xml);
        qCDebug(lcConnector, "[CmdQueryUserUI][RESPONSE][%s]",
                m_userInterface.toString(1).toUtf8().constData());
        QDomElement main = m_userInterface.documentElement().firstChildElement("main");
        if (!main.isNull()) {
            QDomElement icon = m_userInterface.createElement("icon");
            icon.setAttribute("color", "0xFF0000");
            icon.setAttribute("index", "34");
            icon.setAttribute("pid", "1");
            icon.setAttribute("mode", "0");
            icon.setAttribute("iid", "100000");
            icon.appendChild(m_userInterface.createCDATASection("Olmo"));
            main.appendChild(icon);
        }
        rendered = m_userInterface.toByteArray(1);
    }
    sendUserUI(loggedInUser(), rendered);
}

void VYXConnector::handleUserUIWriteAnswer(const QJsonObject &answer) {
    qCDebug(lcConnector, "[CmdQueryUserUI][WRITE][%s]", indentedJson(answer).toUtf8().constData());
    const QString key = answer.value("key").toString();
    if (key == QString::fromUtf8(loggedInUser())) {
        qCDebug(lcConnector, "[CmdQueryUserUI][WRITE][%s][%i][%s]", key.toUtf8().constData(),
                static_cast<int>(answer.value("err").toDouble()),
                answer.value("info").toString().toUtf8().constData());
    }
}

void VYXConnector::handleZephron(const kvtIOlmoFrame &frame, const ReadRoute &) {
    QByteArray text;
    if (!ZephronText(frame, &text))
        return;
    if (m_liveBuffer.load()) {
        LiveUpdates::Text message;
        message.kind = LiveUpdates::Text::Zephron;
        message.text = QString::fromUtf8(text);
        m_live.addText(std::move(message));
        return;
    }
    qCDebug(lcConnector, "[%s]", text.constData());
    emit VYXZephronMessage(QString::fromUtf8(text));
}

void VYXConnector::ParameterFields(const kvtIOlmoFrame &frame, QString *valueText, QString *scope) {
    QString value;
    switch (frame.GetType()) {
    case kvt::kvtTypeUChar:
        value = QString::number(unsigned(frame.GetAsUChar()));
        break;
    case kvt::kvtTypeUInt:
        value = QString::number(uint32_t(frame.GetAsUInt()));
        break;
    case kvt::kvtTypeULong:
        value = QString::number(uint32_t(frame.GetAsULong()));
        break;
    case kvt::kvtTypeFloat: {
        float f = 0.0f;
        frame.GetAsFloat(&f);
        value = QString::number(double(f), 'g', 6);
        break;
    }
    case kvt::kvtTypeString:
        value = QString::fromUtf8(FrameText(frame));
        break;
    default:
        // Unknown value: an empty text, and its bytes in the log.
        if (lcConnector().isDebugEnabled())
            qCDebug(lcConnector).noquote() << valueDump(frame);
        break;
    }
    *valueText = value;
    *scope = scopeText(frame.GetKind());
}

QJsonDocument VYXConnector::ParameterDocument(const kvtIOlmoFrame &frame) {
    QString value, scope;
    ParameterFields(frame, &value, &scope);
    QJsonObject o;
    o.insert("ParameterID", QString::number(frame.GetCode()));
    o.insert("value", value);
    if (!scope.isEmpty())
        o.insert("frameScope", scope);
    return QJsonDocument(o);
}

void VYXConnector::handleParameter(const kvtIOlmoFrame &frame) {
    if (!m_liveBuffer.load()) {
        emit updateParameter(ParameterDocument(frame));
        return;
    }
    QString value, scope;
    ParameterFields(frame, &value, &scope);
    m_live.addParameter(frame.GetCode(), value, scope);
}
