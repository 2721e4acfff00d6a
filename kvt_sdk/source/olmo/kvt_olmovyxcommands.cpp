#include "kvt_olmotcpclientvyx.h"

#include <algorithm>
#include <new>
#include <vector>

#include "kvt_olmoreport.h"
#include "kvt_osfile.h"

#define KVT_SITE(name) "kvt::kvtOlmoTcpClientVyx::" name

// The server command set of the two-channel client: each request builds one frame and
// queues it on the command channel; the two configuration transfers start here.

namespace kvt {

namespace {
const char *const kFile = "kvt_sdk/source/olmo/kvt_olmotcpclientvyx";
uint8_t write_kind(bool physical) {
    return physical ? kvtOlmoKindPhysical : kvtOlmoKindWrite;
}

// Builds one request frame: create, set the value, then kind and code; queue it.
template <typename SetValue>
int push_request(kvtOlmoTcpClient &channel, const char *site, uint8_t kind, uint32_t code, SetValue set,
                 uint64_t pendingKey) {
    kvtOlmoFrame *frame = new (std::nothrow) kvtOlmoFrame();
    if (!frame)
        return KVT_OLMO_REPORT(kvtErrorOutOfMemory, "pFrame == 0", kFile, site);
    set(*frame);
    frame->SetKind(kind);
    frame->SetCode(code);
    return channel.PushFrame(frame, pendingKey);
}

} // namespace
template <typename SetValue>
int kvtOlmoTcpClientVyx::request(const char *site, uint8_t kind, uint32_t code, SetValue set,
                                 uint64_t pendingKey) {
    if (!IsReady())
        return refuse_not_ready(site);
    return push_request(m_Command, site, kind, code, set, pendingKey);
}

int kvtOlmoTcpClientVyx::refuse_not_ready(const char *site) {
    // Reported once per outage; every refusal returns the number.
    if (m_bRefusalReported.exchange(true))
        return kvtErrorNotConnected;
    return KVT_OLMO_REPORT(kvtErrorNotConnected,
                           "Not connected: requests are refused until the connection is ready", kFile, site);
}

int kvtOlmoTcpClientVyx::set_relations() {
    const uint32_t id = m_Monitor.GetClientId();
    return push_request(
        m_Command, "kvt::kvtOlmoTcpClientVyx::set_relations", kvtOlmoKindWrite, CmdRelation,
        [id](kvtOlmoFrame &f) { f.SetAsULong(id); }, 0);
}

// ================================================================ requests

int kvtOlmoTcpClientVyx::QueryFrame(kvtOlmoFrame *frame) {
    if (!IsReady()) {
        delete frame;
        return refuse_not_ready("kvt::kvtOlmoTcpClientVyx::QueryFrame");
    }
    return m_Command.PushFrame(frame);
}

int kvtOlmoTcpClientVyx::SendFrame(kvtOlmoFrame *frame) {
    if (!IsReady()) {
        delete frame;
        return refuse_not_ready("kvt::kvtOlmoTcpClientVyx::SendFrame");
    }
    return m_Command.PushFrame(frame);
}

namespace {
auto uchar_value(unsigned char v) {
    return [v](kvtOlmoFrame &f) { f.SetAsUChar(v); };
}
auto uint_value(uint32_t v) {
    return [v](kvtOlmoFrame &f) { f.SetAsUInt(v); };
}
auto string_value(const std::string &v) {
    return [&v](kvtOlmoFrame &f) { f.SetAsString(v); };
}
auto bool_value(bool v) {
    return [v](kvtOlmoFrame &f) { f.SetAsBool(v); };
}
uint32_t id_value(int id) {
    return static_cast<uint32_t>(id);
}
} // namespace

int kvtOlmoTcpClientVyx::QueryParametersUID() {
    return request(KVT_SITE("QueryParametersUID"), kvtOlmoKindRead, CmdQueryParametersUID, bool_value(false));
}
int kvtOlmoTcpClientVyx::QueryParameterValue(int id) {
    // A value query still waiting to be sent answers a repeated one too.
    const uint64_t pending = (uint64_t(1) << 32) | (id_value(id) & 0xFFFFFu);
    return request(KVT_SITE("QueryParameterValue"), kvtOlmoKindRead, id_value(id), uint_value(id_value(id)),
                   pending);
}
int kvtOlmoTcpClientVyx::QueryParameterConfiguration(int id) {
    return request(KVT_SITE("QueryParameterConfiguration"), kvtOlmoKindRead, CmdQueryParameterConfiguration,
                   uint_value(id_value(id)));
}
int kvtOlmoTcpClientVyx::QueryParameterSettings(int id) {
    return request(KVT_SITE("QueryParameterSettings"), kvtOlmoKindRead, CmdQueryParameterSettings,
                   uint_value(id_value(id)));
}
int kvtOlmoTcpClientVyx::QueryParameterUIConfiguration(int id) {
    return request(KVT_SITE("QueryParameterUIConfiguration"), kvtOlmoKindRead,
                   CmdQueryParameterUIConfiguration, uint_value(id_value(id)));
}
int kvtOlmoTcpClientVyx::QueryParameterCustomData(int id) {
    return request(KVT_SITE("QueryParameterCustomData"), kvtOlmoKindRead, CmdQueryParameterCustomData,
                   uint_value(id_value(id)));
}
int kvtOlmoTcpClientVyx::QueryParameterReady(int id) {
    return request(KVT_SITE("QueryParameterReady"), kvtOlmoKindRead, CmdQueryParameterReady,
                   uint_value(id_value(id)));
}
int kvtOlmoTcpClientVyx::QueryClientLevel() {
    return request(KVT_SITE("QueryClientLevel"), kvtOlmoKindRead, CmdQueryClientLevel, uchar_value(0));
}
int kvtOlmoTcpClientVyx::QueryDbMd5() {
    return request(KVT_SITE("QueryDbMd5"), kvtOlmoKindRead, CmdQueryDbMd5, uchar_value(0));
}
int kvtOlmoTcpClientVyx::QueryDbMaxSize() {
    return request(KVT_SITE("QueryDbMaxSize"), kvtOlmoKindRead, CmdQueryDbMaxSize, uchar_value(0));
}
int kvtOlmoTcpClientVyx::QueryUserUI(const std::string &key) {
    return request(KVT_SITE("QueryUserUI"), kvtOlmoKindRead, CmdQueryUserUI, string_value(key));
}
int kvtOlmoTcpClientVyx::QuerySendUserUI(const std::string &key, const std::string &data) {
    const std::string json =
        "{\"key\":\"" + key + "\",\"base64\":\"" +
        kvtBase64Encode(reinterpret_cast<const unsigned char *>(data.data()), data.size()) + "\"}";
    return request(KVT_SITE("QuerySendUserUI"), kvtOlmoKindWrite, CmdQueryUserUI, string_value(json));
}
int kvtOlmoTcpClientVyx::QueryDbChange(const std::string &md5, const std::string &file) {
    const std::string json = "{\"md5\":\"" + md5 + "\",\"file\":\"" + file + "\"}";
    return request(KVT_SITE("QueryDbChange"), kvtOlmoKindWrite, CmdQueryDbChange, string_value(json));
}
int kvtOlmoTcpClientVyx::QueryClientsCount() {
    return request(KVT_SITE("QueryClientsCount"), kvtOlmoKindRead, CmdQueryClientsCount, uchar_value(0));
}
int kvtOlmoTcpClientVyx::QuerySystemTimeStamp() {
    return request(KVT_SITE("QuerySystemTimeStamp"), kvtOlmoKindRead, CmdQuerySystemTimeStamp,
                   uchar_value(0));
}
int kvtOlmoTcpClientVyx::QueryServerVersion() {
    return request(KVT_SITE("QueryServerVersion"), kvtOlmoKindRead, CmdQueryServerVersion, uchar_value(0));
}
int kvtOlmoTcpClientVyx::QueryFolderCreate(const std::string &path) {
    return request(KVT_SITE("QueryFolderCreate"), kvtOlmoKindWrite, CmdQueryFolderCreate, string_value(path));
}
int kvtOlmoTcpClientVyx::QueryFolderDelete(const std::string &path) {
    return request(KVT_SITE("QueryFolderDelete"), kvtOlmoKindWrite, CmdQueryFolderDelete, string_value(path));
}
int kvtOlmoTcpClientVyx::QueryFileCreate(const std::string &path) {
    return request(KVT_SITE("QueryFileCreate"), kvtOlmoKindWrite, CmdQueryFileCreate, string_value(path));
}
int kvtOlmoTcpClientVyx::QueryFileDelete(const std::string &path) {
    return request(KVT_SITE("QueryFileDelete"), kvtOlmoKindWrite, CmdQueryFileDelete, string_value(path));
}
int kvtOlmoTcpClientVyx::QueryFileMd5(const std::string &path) {
    return request(KVT_SITE("QueryFileMd5"), kvtOlmoKindRead, CmdQueryFileMd5, string_value(path));
}

int kvtOlmoTcpClientVyx::QueryFileAppendData(const std::string &serverFile, const std::string &clientFile,
                                             int offset, unsigned count) {
    const char *site = KVT_SITE("QueryFileAppendData");
    // The name's length travels in one byte; a block must fit what a receiver accepts.
    if (serverFile.size() > 255)
        return KVT_OLMO_REPORT(kvtErrorInvalidArgument, "Server file name longer than 255 bytes", kFile,
                               site);
    if (count > kvtOlmoMaxPayload - 256)
        return KVT_OLMO_REPORT(kvtErrorInvalidArgument, "Block too large " + std::to_string(count), kFile,
                               site);
    if (offset < 0)
        return KVT_OLMO_REPORT(kvtErrorInvalidArgument, "Negative offset", kFile, site);
    kvtOsFile file;
    if (file.Open(clientFile, "rb") != 0) {
        return KVT_OLMO_REPORT(kvtErrorFailed, "Can not read file " + clientFile, kFile, site);
    }
    std::vector<uint8_t> block(1 + serverFile.size() + count);
    block[0] = static_cast<uint8_t>(serverFile.size());
    std::copy(serverFile.begin(), serverFile.end(), block.begin() + 1);
    int got = 0;
    if (count > 0) {
        if (file.SetTo(offset) != 0)
            return KVT_OLMO_REPORT(kvtErrorFailed, "Can not read file " + clientFile, kFile, site);
        got = file.Read(block.data() + 1 + serverFile.size(), count);
        if (got < 0)
            return KVT_OLMO_REPORT(kvtErrorFailed, "Can not read file " + clientFile, kFile, site);
    }
    file.Close();
    block.resize(1 + serverFile.size() + static_cast<size_t>(got));
    return request(site, kvtOlmoKindWrite, CmdQueryFileAppendData, [&block](kvtOlmoFrame &f) {
        f.SetAsData(block.data(), static_cast<uint32_t>(block.size()));
    });
}

int kvtOlmoTcpClientVyx::QueryExecuteCommandLine(const std::string &commandLine) {
    return request(KVT_SITE("QueryExecuteCommandLine"), kvtOlmoKindWrite, CmdQueryExecuteCommandLine,
                   string_value(commandLine));
}
int kvtOlmoTcpClientVyx::QueryEnableRawBusMessage() {
    return request(KVT_SITE("QueryEnableRawBusMessage"), kvtOlmoKindRead, CmdEnableRawBusMessage,
                   uchar_value(0));
}
int kvtOlmoTcpClientVyx::QueryEnableLogClients() {
    return request(KVT_SITE("QueryEnableLogClients"), kvtOlmoKindRead, CmdEnableLogClients, uchar_value(0));
}
int kvtOlmoTcpClientVyx::QueryProjectJson() {
    return request(KVT_SITE("QueryProjectJson"), kvtOlmoKindRead, CmdQueryProjectJson, uchar_value(0));
}
int kvtOlmoTcpClientVyx::SendEnableRawBusMessage(unsigned char enable) {
    return request(KVT_SITE("SendEnableRawBusMessage"), kvtOlmoKindWrite, CmdEnableRawBusMessage,
                   uchar_value(enable));
}
int kvtOlmoTcpClientVyx::SendEnableLogClients(unsigned char enable) {
    return request(KVT_SITE("SendEnableLogClients"), kvtOlmoKindWrite, CmdEnableLogClients,
                   uchar_value(enable));
}
int kvtOlmoTcpClientVyx::SendBroadcastMessage(const std::string &message, int level) {
    const std::string xml =
        "<message level=\"" + std::to_string(level) + "\"><![CDATA[" + message + "]]></message>";
    return request(KVT_SITE("SendBroadcastMessage"), kvtOlmoKindWrite, CmdSendBroadcastMessage,
                   string_value(xml));
}
int kvtOlmoTcpClientVyx::SendBroadcastData(const std::string &text) {
    return request(KVT_SITE("SendBroadcastData"), kvtOlmoKindWrite, CmdSendBroadcastData, string_value(text));
}
int kvtOlmoTcpClientVyx::SendParameterValueAsByte(int id, unsigned char value, bool physical) {
    return request(KVT_SITE("SendParameterValueAsByte"), write_kind(physical), id_value(id),
                   uchar_value(value));
}
int kvtOlmoTcpClientVyx::SendParameterValueAsFloat(int id, float value, bool physical) {
    return request(KVT_SITE("SendParameterValueAsFloat"), write_kind(physical), id_value(id),
                   [value](kvtOlmoFrame &f) { f.SetAsFloat(value); });
}
int kvtOlmoTcpClientVyx::SendParameterValueAsUint(int id, unsigned value, bool physical) {
    return request(KVT_SITE("SendParameterValueAsUint"), write_kind(physical), id_value(id),
                   uint_value(value));
}
int kvtOlmoTcpClientVyx::SendParameterValueAsString(int id, const std::string &text, bool physical) {
    return request(KVT_SITE("SendParameterValueAsString"), write_kind(physical), id_value(id),
                   string_value(text));
}
int kvtOlmoTcpClientVyx::SendParameterValueAsArray(int id, const uint8_t *bytes, unsigned length,
                                                   bool physical) {
    return request(KVT_SITE("SendParameterValueAsArray"), write_kind(physical), id_value(id),
                   [bytes, length](kvtOlmoFrame &f) { f.SetAsData(bytes, length); });
}
int kvtOlmoTcpClientVyx::SendZephronFrame(const uint8_t *bytes, unsigned length, bool physical) {
    return request(KVT_SITE("SendZephronFrame"), write_kind(physical), CmdSendZephronFrame,
                   [bytes, length](kvtOlmoFrame &f) { f.SetAsData(bytes, length); });
}

// ================================================================ configuration transfers

int kvtOlmoTcpClientVyx::QueryDownloadConfiguration(const std::string &clientFile,
                                                    const std::string &clientMd5) {
    if (!IsReady())
        return refuse_not_ready(KVT_SITE("QueryDownloadConfiguration"));
    {
        std::lock_guard<std::mutex> lock(m_TransferLock);
        if (m_Download.Progress().active) {
            return KVT_OLMO_REPORT(kvtErrorFailed, "Download in precess...", kFile,
                                   KVT_SITE("QueryDownloadConfiguration"));
        }
        m_Download.Begin(clientFile, clientMd5);
        m_uDownloadLastStep = kvtOlmoTickNow();
    }
    QueryDbMd5();
    return request(KVT_SITE("QueryDownloadConfiguration"), kvtOlmoKindRead, CmdQueryDownloadConfiguration,
                   string_value(clientMd5));
}

int kvtOlmoTcpClientVyx::QueryUploadConfiguration(const std::string &clientFile, unsigned chunkSize) {
    return QueryUploadConfiguration(clientFile, chunkSize, false, nullptr);
}

int kvtOlmoTcpClientVyx::QueryUploadConfiguration(const std::string &clientFile, unsigned chunkSize,
                                                  bool holdBeforeBlocks, std::string *refusal) {
    std::string why;
    const int r = prepare_upload(clientFile, chunkSize, holdBeforeBlocks, &why);
    if (r != 0) {
        if (refusal)
            *refusal = why;
        return r;
    }
    return QueryFileDelete(kvtOlmoUploadServerFile);
}

int kvtOlmoTcpClientVyx::prepare_upload(const std::string &clientFile, unsigned chunkSize,
                                        bool holdBeforeBlocks, std::string *why) {
    const char *site = KVT_SITE("QueryUploadConfiguration");
    if (!IsReady()) {
        *why = "not connected";
        return refuse_not_ready(site);
    }
    {
        std::lock_guard<std::mutex> lock(m_TransferLock);
        if (m_Upload.Progress().active || m_bUploadPreparing) {
            *why = "another upload is running";
            return KVT_OLMO_REPORT(kvtErrorFailed, "Upload in precess...", kFile, site);
        }
        m_bUploadPreparing = true; // claimed; the record stays idle until the file is read
    }
    // The file is read without any lock: the monitor reader takes the transfer lock for
    // every frame, and a large file takes long to hash.
    kvtUploadProgress prepared;
    int r = 0;
    {
        kvtOsFile file;
        if (file.Open(clientFile, "rb") != 0) {
            *why = "Can not read file " + clientFile;
            r = KVT_OLMO_REPORT(kvtErrorFailed, *why, kFile, site);
        }
    }
    if (r == 0) {
        prepared = kvtOlmoUpload::Prepare(clientFile, chunkSize);
        prepared.holdBeforeBlocks = holdBeforeBlocks;
        if (!prepared.active) {
            *why = prepared.info + " " + clientFile;
            r = KVT_OLMO_REPORT(kvtErrorFailed, *why, kFile, site);
        }
    }
    // The connection may have gone while the file was read: then nothing starts.
    if (r == 0 && !IsReady()) {
        *why = "not connected";
        r = refuse_not_ready(site);
    }
    std::lock_guard<std::mutex> lock(m_TransferLock);
    m_bUploadPreparing = false;
    if (r == 0) {
        m_Upload.Begin(prepared);
        m_uUploadLastStep = kvtOlmoTickNow();
    }
    return r;
}

bool kvtOlmoTcpClientVyx::ResumeUpload(const std::string &commandLineFirst, bool *commandSent) {
    std::lock_guard<std::mutex> lock(m_TransferLock);
    if (commandSent)
        *commandSent = false;
    if (!m_Upload.Progress().IsHolding())
        return false;
    // Under the transfer lock, as the steps send their requests: a stop cannot end the upload
    // between the command and the block.
    if (!commandLineFirst.empty()) {
        const bool sent = QueryExecuteCommandLine(commandLineFirst) == 0;
        if (commandSent)
            *commandSent = sent;
    }
    if (!m_Upload.Resume())
        return false;
    // The wait was the owner's, not the server's.
    m_uUploadLastStep = kvtOlmoTickNow();
    return true;
}

} // namespace kvt
