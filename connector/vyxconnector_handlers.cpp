// Bodies of the connector's event handlers: what each protocol event turns into.
#include "boundedxml.h"
#include "vyxconnector.h"

#include "kvt_zephronframe.h"

#include <QDebug>
#include <QJsonObject>
#include <QJsonValue>

#include <cstdio>
#include <cstring>

using kvt::kvtDownloadProgress;
using kvt::kvtIOlmoFrame;
using kvt::kvtOlmoTcpClient;
using kvt::kvtUploadProgress;

namespace {

constexpr uint32_t kHeaderLength = kvt::kvtOlmoHeaderSize;
constexpr int kMaxDumpBytes = 256;  // console dump of an unknown value

// The payload bytes that really lie in the frame's buffer (none for a 9-byte frame).
const uint8_t* payloadBytes(const kvtIOlmoFrame& frame, uint32_t* length) {
  const uint32_t total = frame.GetBufferLength();
  if (total <= kHeaderLength || !frame.GetBuffer()) {
    *length = 0;
    return nullptr;
  }
  *length = std::min<uint32_t>(static_cast<uint32_t>(frame.GetDataLength()), total - kHeaderLength);
  return reinterpret_cast<const uint8_t*>(frame.GetBuffer()) + kHeaderLength;
}

QJsonObject jsonPayload(const QByteArray& text) { return QJsonDocument::fromJson(text).object(); }

QString indentedJson(const QJsonObject& object) {
  return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Indented));
}

const char* boolText(bool value) { return value ? "true" : "false"; }

QString percentageText(double fraction) { return QString::number(fraction * 100.0, 'g', 6); }

QString scopeText(uint32_t kind) {
  static const char* const scopes[] = {"Read", "Write", "Response", "Physical"};
  return kind < 4 ? QString::fromLatin1(scopes[kind]) : QString();
}

}  // namespace

void VYXConnector::OnReady() {
  std::printf("MyVyx::OnReady Is Ready to work\n");
  std::fflush(stdout);
  emit connectionReady();
}

void VYXConnector::OnConnection(kvtOlmoTcpClient* channel, const QString& connectionStateText,
                                const QString& socketStateText) {
  qDebug().noquote() << "MyVyx::OnConnection" + connectionStateText + " " + socketStateText;
  const bool command = channel && channel->IsCommandChannel();
  emit connectionState(command ? QStringLiteral("C") : QStringLiteral("R"), connectionStateText, socketStateText);
}

void VYXConnector::OnAuthentication(int state, const QByteArray& message) {
  emit authenticationResponse(state, QString::fromUtf8(message));
}

QString VYXConnector::DownloadProgressJson(const kvtDownloadProgress& p) {
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

QString VYXConnector::UploadProgressJson(const kvtUploadProgress& p) {
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

void VYXConnector::OnDownloadConfiguration(const kvtDownloadProgress* progress) {
  if (!progress) return;
  const kvtDownloadProgress& p = *progress;
  std::printf("MyVyx::OnDownloadConfiguration [%s][%i][%s][%ul][%i][%.3f][%s][%s][%s]\n", boolText(p.IsEnd()),
              int(p.GetError()), p.GetInfo().c_str(), unsigned(p.GetServerBytes()), int(p.GetReceivedBytes()),
              double(p.GetPercentage()), p.GetClientFile().c_str(), p.GetClientMd5File().c_str(),
              p.GetServerMd5File().c_str());
  const QString json = DownloadProgressJson(p);
  qDebug().noquote() << json;
  emit InProgress(json);
  if (p.IsEnd()) {
    if (p.GetError() == 0) {
      {
        std::lock_guard<std::mutex> locker(m_stateLock);
        m_clientConfigurationMd5 = QByteArray::fromStdString(p.GetClientMd5File());
      }
      std::printf("Load Client configuration...\n");
    } else {
      std::printf("Download Error\n");
    }
  }
  std::fflush(stdout);
}

void VYXConnector::OnUploadConfiguration(const kvtUploadProgress* progress) {
  if (!progress) return;
  const kvtUploadProgress& p = *progress;
  std::printf("MyVyx::OnUploadConfiguration [%s][%i][%s][%i][%i][%.3f][%s][%s][%s]\n", boolText(p.IsEnd()),
              int(p.GetError()), p.GetInfo().c_str(), int(p.GetClientBytes()), int(p.GetSentBytes()),
              double(p.GetPercentage()), p.GetClientFile().c_str(), p.GetClientMd5File().c_str(),
              p.GetServerMd5File().c_str());
  std::fflush(stdout);
  const QString json = UploadProgressJson(p);
  qDebug().noquote() << json;
  emit InProgress(json);
}

QByteArray VYXConnector::FrameText(const kvtIOlmoFrame& frame) {
  if (frame.GetType() != kvt::kvtTypeString) return QByteArray();
  uint32_t length = 0;
  const char* text = reinterpret_cast<const char*>(payloadBytes(frame, &length));
  if (!text) return QByteArray();
  return QByteArray(text, static_cast<int>(strnlen(text, length)));
}

bool VYXConnector::ZephronText(const kvtIOlmoFrame& frame, QByteArray* text) {
  text->clear();
  if (frame.GetType() != kvt::kvtTypeData) return false;
  uint32_t length = 0;
  const uint8_t* data = payloadBytes(frame, &length);
  const kvt::kvtZephronFrame zephron(data, length);
  if (!zephron.IsValid() || zephron.GetCode() != 0 || !zephron.HasPayload()) return false;
  *text = QByteArray::fromStdString(zephron.GetPayloadText());
  return true;
}

void VYXConnector::OnRead(const kvtIOlmoFrame* frame) {
  if (!frame) return;
  const kvtIOlmoFrame& f = *frame;
  const uint32_t code = f.GetCode();
  const bool response = f.GetKind() == kvt::kvtOlmoKindResponse;
  switch (code) {
    case kvt::CmdQueryParametersUID:
      if (response) handleParametersUid(f);
      return;
    case kvt::CmdQueryParameterConfiguration:
      if (response) std::printf("[CmdQueryParameterConfiguration][%s]\n", FrameText(f).constData());
      break;
    case kvt::CmdSystemReload:
      std::printf("[CmdSystemReload]\n");
      break;
    case kvt::CmdQueryParameterUIConfiguration:
      if (response) std::printf("[CmdQueryParameterUIConfiguration][%s]\n", FrameText(f).constData());
      break;
    case kvt::CmdQueryUserUI:
      if (response) handleUserUI(FrameText(f));
      return;
    case kvt::CmdQueryDbMd5:
      if (response) {
        const QByteArray md5 = FrameText(f);
        {
          std::lock_guard<std::mutex> locker(m_stateLock);
          m_databaseMd5 = md5;
        }
        std::printf("[CmdQueryDbMd5][%s]\n", md5.constData());
        std::fflush(stdout);
        emit VYXDatabaseMD5(QString::fromUtf8(md5));
      }
      return;
    case kvt::CmdQueryDbMaxSize:
      if (response) {
        const qint32 size = static_cast<qint32>(f.GetAsULong());
        {
          std::lock_guard<std::mutex> locker(m_stateLock);
          m_databaseMaxSize = size;
        }
        std::printf("[CmdQueryDbMaxSize][%i]\n", size);
      }
      break;
    case kvt::CmdQueryClientLevel:
      if (response) {
        const quint8 level = static_cast<quint8>(f.GetAsUChar());
        {
          std::lock_guard<std::mutex> locker(m_stateLock);
          m_clientLevel = level;
        }
        std::printf("[CmdQueryClientLevel][%i]\n", int(level));
      }
      break;
    case kvt::CmdQueryFolderDelete:
      if (response) handleJsonInfo(f, "CmdQueryFolderDelete", &VYXConnector::VYXFolderDeleted);
      return;
    case kvt::CmdQueryFolderCreate:
      if (response) handleJsonInfo(f, "CmdQueryFolderCreate", &VYXConnector::VYXFolderCreated);
      return;
    case kvt::CmdQueryFileDelete:
      if (response) handleJsonInfo(f, "CmdQueryFileDelete", &VYXConnector::VYXFileDeleted);
      return;
    case kvt::CmdQueryFileCreate:
      if (response) handleJsonInfo(f, "CmdQueryFileCreate", &VYXConnector::VYXFileCreate);
      return;
    case kvt::CmdQueryFileAppendData:
      if (response) handleJsonInfo(f, "CmdQueryFileAppendData", &VYXConnector::VYXFileAppend);
      return;
    case kvt::CmdQueryFileMd5:
      if (response) {
        const QByteArray md5 = FrameText(f);
        std::printf("[CmdQueryFileMd5][%s]\n", md5.constData());
        std::fflush(stdout);
        emit VYXFileMD5(QString::fromUtf8(md5));
      }
      return;
    case kvt::CmdQueryDbChange:
      if (response) {
        const QJsonObject answer = jsonPayload(FrameText(f));
        std::printf("[CmdQueryDbChange][%s]\n", indentedJson(answer).toUtf8().constData());
      }
      break;
    case kvt::CmdQueryExecuteCommandLine:
      if (response) handleCommandLine(f);
      return;
    case kvt::CmdSendBroadcastData: {
      const QString data = QString::fromUtf8(FrameText(f));
      qDebug().noquote() << data;
      emit VYXMessageReceived(data);
      return;
    }
    case kvt::CmdSendZephronFrame:
      if (f.GetType() == kvt::kvtTypeData) handleZephron(f);
      return;
    default:
      handleParameter(f);
      return;
  }
  std::fflush(stdout);
}

void VYXConnector::handleParametersUid(const kvtIOlmoFrame& frame) {
  std::vector<uint32_t> uids;
  {
    std::lock_guard<std::mutex> locker(m_stateLock);
    if (frame.GetType() == kvt::kvtTypeData) {
      uint32_t length = 0;
      const uint8_t* data = payloadBytes(frame, &length);
      for (uint32_t i = 0; i + 4 <= length; i += 4) {
        const uint32_t uid = uint32_t(data[i]) | uint32_t(data[i + 1]) << 8 | uint32_t(data[i + 2]) << 16 |
                             uint32_t(data[i + 3]) << 24;
        // Each UID once: a repeated UID list (every reconnection asks again) must not grow the
        // list or the number of value queries without bound.
        if (m_knownUids.contains(uid) || m_parameterUids.size() >= size_t(kMaxParameterUids)) continue;
        m_knownUids.insert(uid);
        m_parameterUids.push_back(uid);
      }
    }
    uids.assign(m_parameterUids.begin(), m_parameterUids.end());
  }
  std::printf("[CmdQueryParametersUID][%zu]\n", uids.size());
  std::fflush(stdout);
  // How many values are about to come, so that the page can show the loading's progress.
  emit parameterListReceived(int(uids.size()));
  // The requests go out after the lock is released.
  for (uint32_t uid : uids) queryParameterValue(uid);
}

void VYXConnector::handleJsonInfo(const kvtIOlmoFrame& frame, const char* name, void (VYXConnector::*signal)(QString)) {
  const QJsonObject answer = jsonPayload(FrameText(frame));
  std::printf("[%s][%s]\n", name, indentedJson(answer).toUtf8().constData());
  std::fflush(stdout);
  emit(this->*signal)(answer.value("info").toString());
  emit fileAnswer(int(frame.GetCode()), QString::fromUtf8(QJsonDocument(answer).toJson(QJsonDocument::Compact)));
}

void VYXConnector::handleCommandLine(const kvtIOlmoFrame& frame) {
  const QJsonObject answer = jsonPayload(FrameText(frame));
  const QString info = answer.value("info").toString();
  QString tag;
  m_commandReplies.Pop(&tag, answer.value("cmd").toString());
  qDebug().noquote() << "MyVyx::CommandLine [" + tag + "] " + info;
  emit VYXCommandLineExecuted(info);
  emit commandLineReply(tag, info);
}

void VYXConnector::handleUserUI(const QByteArray& payload) {
  QJsonParseError error;
  const QJsonDocument document = QJsonDocument::fromJson(payload, &error);
  if (error.error != QJsonParseError::NoError)
    handleUserUIXml(payload);
  else
    handleUserUIWriteAnswer(document.object());
}

void VYXConnector::handleUserUIXml(const QByteArray& xml) {
  // Sending back what could not be read would replace the user's interface on the server.
  if (!BoundedXml::withinBounds(xml)) {
    std::printf("[CmdQueryUserUI][RESPONSE][refused: deeper than %d levels or larger than %d bytes]\n",
                BoundedXml::kMaxDepth, BoundedXml::kMaxBytes);
    std::fflush(stdout);
    return;
  }
  QByteArray rendered;
  {
    std::lock_guard<std::mutex> locker(m_stateLock);
    m_userInterface.clear();
    m_userInterface.setContent(xml);
    std::printf("[CmdQueryUserUI][RESPONSE][%s]\n", m_userInterface.toString(1).toUtf8().constData());
    std::fflush(stdout);
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

void VYXConnector::handleUserUIWriteAnswer(const QJsonObject& answer) {
  std::printf("[CmdQueryUserUI][WRITE][%s]\n", indentedJson(answer).toUtf8().constData());
  const QString key = answer.value("key").toString();
  if (key == QString::fromUtf8(loggedInUser())) {
    std::printf("[CmdQueryUserUI][WRITE][%s][%i][%s]\n", key.toUtf8().constData(),
                static_cast<int>(answer.value("err").toDouble()),
                answer.value("info").toString().toUtf8().constData());
  }
  std::fflush(stdout);
}

void VYXConnector::handleZephron(const kvtIOlmoFrame& frame) {
  QByteArray text;
  if (!ZephronText(frame, &text)) return;
  std::printf("[%s]\n", text.constData());
  std::fflush(stdout);
  emit VYXZephronMessage(QString::fromUtf8(text));
}

QJsonDocument VYXConnector::ParameterDocument(const kvtIOlmoFrame& frame) {
  QJsonObject o;
  o.insert("ParameterID", QString::number(frame.GetCode()));
  QString value;
  switch (frame.GetType()) {
    case kvt::kvtTypeUChar: value = QString::number(unsigned(frame.GetAsUChar())); break;
    case kvt::kvtTypeUInt: value = QString::number(uint32_t(frame.GetAsUInt())); break;
    case kvt::kvtTypeULong: value = QString::number(uint32_t(frame.GetAsULong())); break;
    case kvt::kvtTypeFloat: {
      float f = 0.0f;
      frame.GetAsFloat(&f);
      value = QString::number(double(f), 'g', 6);
      break;
    }
    case kvt::kvtTypeString: value = QString::fromUtf8(FrameText(frame)); break;
    default: {
      // Unknown value: an empty text, and its bytes on the console.
      uint32_t length = 0;
      const uint8_t* data = payloadBytes(frame, &length);
      if (!data) {
        data = reinterpret_cast<const uint8_t*>(frame.GetBuffer()) + 4;
        length = 4;
      }
      std::printf("[");
      for (uint32_t i = 0; i < length && i < uint32_t(kMaxDumpBytes); ++i) std::printf("0x%.2X ", data[i]);
      if (length > uint32_t(kMaxDumpBytes)) std::printf("...");
      std::printf("]\n");
      std::fflush(stdout);
      break;
    }
  }
  o.insert("value", value);
  const QString scope = scopeText(frame.GetKind());
  if (!scope.isEmpty()) o.insert("frameScope", scope);
  return QJsonDocument(o);
}

void VYXConnector::handleParameter(const kvtIOlmoFrame& frame) { emit updateParameter(ParameterDocument(frame)); }
