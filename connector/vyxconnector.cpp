#include "vyxconnector.h"

#include "connectorlog.h"
#include "kvt_log.h"
#include "kvt_zephronframe.h"

using kvt::kvtDownloadProgress;
using kvt::kvtIOlmoFrame;
using kvt::kvtOlmoTcpClient;
using kvt::kvtUploadProgress;

Q_LOGGING_CATEGORY(lcConnector, "vyx.connector", QtWarningMsg)

const char *const VYXConnector::kKnxGatewayStartCommand =
    "/home/nalrio/bin/knxd.sh start 15.15.250 15.15.251:2";
const char *const VYXConnector::kKnxGatewayStopCommand = "/home/nalrio/bin/knxd.sh stop";

namespace {

// The SDK's reports, in the connector's category at their own level.
void sdkReport(void *, kvt::kvtLogLevel level, const std::string &text) {
    QString line = QString::fromStdString(text);
    if (line.endsWith(QLatin1Char('\n')))
        line.chop(1);
    switch (level) {
    case kvt::kvtLogLevel::Debug:
        qCDebug(lcConnector).noquote() << line;
        break;
    case kvt::kvtLogLevel::Info:
        qCInfo(lcConnector).noquote() << line;
        break;
    case kvt::kvtLogLevel::Warning:
        qCWarning(lcConnector).noquote() << line;
        break;
    case kvt::kvtLogLevel::Error:
        qCCritical(lcConnector).noquote() << line;
        break;
    }
}

} // namespace

void VYXConnector::RouteSdkReports() {
    const QLoggingCategory &category = lcConnector();
    const kvt::kvtLogLevel minimum = category.isDebugEnabled()  ? kvt::kvtLogLevel::Debug
                                     : category.isInfoEnabled() ? kvt::kvtLogLevel::Info
                                                                : kvt::kvtLogLevel::Warning;
    kvt::kvtLogSetSink(&sdkReport, nullptr, minimum);
}

// Plain callbacks registered on the client; each gets the connector back as its owner.
struct VYXConnectorCallbacks {
    static VYXConnector *owner(void *p) { return static_cast<VYXConnector *>(p); }
    static void ready(void *p) { owner(p)->OnReady(); }
    static void connection(void *p, kvtOlmoTcpClient *channel, int socketState, int connectionState) {
        owner(p)->handleConnectionCodes(channel, socketState, connectionState);
    }
    static void read(void *p, const kvtIOlmoFrame *frame) {
        if (frame)
            owner(p)->OnRead(frame);
    }
    static void download(void *p, const kvtDownloadProgress *progress) {
        if (progress)
            owner(p)->OnDownloadConfiguration(progress);
    }
    static void upload(void *p, const kvtUploadProgress *progress) {
        if (!progress)
            return;
        VYXConnector::PrintUploadVerdict(*progress);
        owner(p)->OnUploadConfiguration(progress);
    }
};

VYXConnector::VYXConnector() {
    RouteSdkReports();
    m_client.SetCallbacks(this, &VYXConnectorCallbacks::ready, &VYXConnectorCallbacks::connection,
                          &VYXConnectorCallbacks::read, &VYXConnectorCallbacks::download,
                          &VYXConnectorCallbacks::upload);
}

// The client's threads call back into this object: end them before anything else is released
// (the client member is also declared last, so it is the first member destroyed).
VYXConnector::~VYXConnector() {
    m_client.Stop();
}

void VYXConnector::handleConnectionCodes(kvtOlmoTcpClient *channel, int socketState, int connectionState) {
    // A closed channel loses every request that is still unanswered: their answers cannot come.
    if (static_cast<kvt::kvtSocketState>(socketState) == kvt::kvtSocketState::Closed)
        m_commandReplies.Clear();
    OnConnection(channel, ConnectionStateText(connectionState), SocketStateText(socketState));
}

QString VYXConnector::SocketStateText(int socketState) {
    return QString::fromStdString(kvt::to_string(static_cast<kvt::kvtSocketState>(socketState)));
}

QString VYXConnector::ConnectionStateText(int connectionState) {
    return QString::fromStdString(kvt::to_string(static_cast<kvt::kvtOlmoConnectionState>(connectionState)));
}

void VYXConnector::PrintUploadVerdict(const kvtUploadProgress &progress) {
    const double fraction = progress.GetPercentage();
    qCDebug(lcConnector, "Upload precentage %.0f", fraction * 100.0);
    const QByteArray info = QByteArray(progress.GetInfo().c_str());
    if (progress.IsEnd()) {
        if (fraction == 0.0) {
            qCDebug(lcConnector, "Project is the same, no need to update it");
        } else if (qstricmp(progress.GetClientMd5File().c_str(), progress.GetServerMd5File().c_str()) == 0) {
            qCDebug(lcConnector, "Project uploaded with success");
        } else {
            qCDebug(lcConnector, "MD5 do not match with server and client");
            qCDebug(lcConnector, "Error %s", info.constData());
        }
    } else if (progress.GetError() != 0) {
        qCDebug(lcConnector, "MD5 do not match with server and client");
        qCDebug(lcConnector, "Error %s", info.constData());
    }
}

QByteArray VYXConnector::BuildZephronCommand(const QString &command) {
    const QByteArray payload = command.toUtf8();
    const std::vector<uint8_t> frame =
        kvt::kvtZephronFrame::Build(1, 0, 0, reinterpret_cast<const uint8_t *>(payload.constData()),
                                    static_cast<uint32_t>(payload.size()));
    return QByteArray(reinterpret_cast<const char *>(frame.data()), static_cast<int>(frame.size()));
}

int VYXConnector::SendZephronCommand(const QString &command) {
    qCDebug(lcConnector).noquote() << "VYX Zephron cmd: " + command;
    const QByteArray frame = BuildZephronCommand(command);
    return m_client.SendZephronFrame(reinterpret_cast<const uint8_t *>(frame.constData()),
                                     static_cast<unsigned>(frame.size()), false);
}

QString VYXConnector::ZephronFeedbackText(const QString &message) {
    QString text = message;
    return text.replace(QLatin1Char('"'), QStringLiteral("|||"));
}

unsigned char VYXConnector::BusDebugFlag(const QString &enable) {
    return enable.toLower() == QLatin1String("true") ? 1 : 0;
}

std::vector<uint32_t> VYXConnector::ParameterUids() const {
    std::lock_guard<std::mutex> locker(m_stateLock);
    return std::vector<uint32_t>(m_parameterUids.begin(), m_parameterUids.end());
}

QByteArray VYXConnector::DatabaseMd5() const {
    std::lock_guard<std::mutex> locker(m_stateLock);
    return m_databaseMd5;
}

QByteArray VYXConnector::ClientConfigurationMd5() const {
    std::lock_guard<std::mutex> locker(m_stateLock);
    return m_clientConfigurationMd5;
}

qint32 VYXConnector::DatabaseMaxSize() const {
    std::lock_guard<std::mutex> locker(m_stateLock);
    return m_databaseMaxSize;
}

quint8 VYXConnector::ClientLevel() const {
    std::lock_guard<std::mutex> locker(m_stateLock);
    return m_clientLevel;
}

void VYXConnector::queryParameterValue(uint32_t uid) {
    m_client.QueryParameterValue(static_cast<int>(uid));
}

void VYXConnector::sendUserUI(const QByteArray &user, const QByteArray &xml) {
    m_client.QuerySendUserUI(user.toStdString(), xml.toStdString());
}

QByteArray VYXConnector::loggedInUser() {
    return QByteArray::fromStdString(m_client.GetUser());
}
