#include "simhandler.h"

#include "simframes.h"
#include "simlog.h"
#include "simsession.h"

#include "kvt_osfile.h"
#include "kvt_zephronframe.h"

#include <cjson/cJSON.h>
#include <openssl/evp.h>

#include <algorithm>
#include <ctime>
#include <memory>

using kvt::kvtOlmoFrame;

namespace {

const uint8_t kResponse = kvt::kvtOlmoKindResponse;
const uint8_t kWrite = kvt::kvtOlmoKindWrite;
const size_t kDownloadBlock = 65536;

// A Zephron frame that carries a text message (type 1); code 0 for messages, others for errors.
std::vector<unsigned char> zephronText(uint16_t code, const std::string &text) {
    return kvt::kvtZephronFrame::Build(1, 0, code, reinterpret_cast<const uint8_t *>(text.data()),
                                       uint32_t(text.size()));
}
const char kDefaultUserInterface[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<ui version=\"1\">\n <main>\n  <page name=\"Home\" icon=\"1\"/>\n </main>\n</ui>\n";

struct JsonFree {
    void operator()(cJSON *j) const { cJSON_Delete(j); }
};
using Json = std::unique_ptr<cJSON, JsonFree>;

std::string print(cJSON *o) {
    std::unique_ptr<char, void (*)(void *)> text(cJSON_PrintUnformatted(o), cJSON_free);
    return text ? text.get() : "{}";
}

std::string resultJson(const SimResult &r, const char *member, const std::string &value) {
    Json o(cJSON_CreateObject());
    cJSON_AddNumberToObject(o.get(), "err", r.err);
    cJSON_AddStringToObject(o.get(), "info", r.info.c_str());
    if (member)
        cJSON_AddStringToObject(o.get(), member, value.c_str());
    return print(o.get());
}

std::string jsonString(cJSON *root, const char *name) {
    cJSON *item = cJSON_GetObjectItemCaseSensitive(root, name);
    return cJSON_IsString(item) ? item->valuestring : std::string();
}

bool decodeBase64(const std::string &in, std::string &out) {
    if (in.size() % 4 != 0)
        return false;
    out.assign(in.size() / 4 * 3 + 1, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(&out[0]),
                            reinterpret_cast<const unsigned char *>(in.data()), int(in.size()));
    if (n < 0)
        return false;
    size_t pad = 0;
    for (size_t i = in.size(); i > 0 && in[i - 1] == '=' && pad < 2; --i)
        ++pad;
    out.resize(size_t(n) - pad);
    return true;
}

std::string logMessage(const std::string &paramId, const std::string &msg) {
    Json o(cJSON_CreateObject());
    cJSON_AddStringToObject(o.get(), "sender", "vyxsim");
    cJSON_AddStringToObject(o.get(), "paramId", paramId.c_str());
    cJSON_AddStringToObject(o.get(), "msg", msg.c_str());
    return "<message level=\"1\"><![CDATA[" + print(o.get()) + "]]></message>";
}

} // namespace

SimHandler::SimHandler(const SimOptions &options, SimSandbox &sandbox, SimParameters &parameters,
                       SimRouter &router)
    : m_options(options), m_sandbox(sandbox), m_parameters(parameters), m_router(router),
      m_commandLines(sandbox) {}

// The server commands the simulator answers, each with its step.
struct SimHandler::Command {
    uint32_t code;
    void (SimHandler::*answer)(SimSession &c, const kvtOlmoFrame &f);
};

const SimHandler::Command SimHandler::kCommands[] = {
    {kvt::CmdQueryParametersUID, &SimHandler::parameterList},
    {kvt::CmdQueryParameterConfiguration, &SimHandler::parameterDescription},
    {kvt::CmdQueryParameterUIConfiguration, &SimHandler::parameterDescription},
    {kvt::CmdQueryParameterSettings, &SimHandler::parameterDescription},
    {kvt::CmdQueryParameterCustomData, &SimHandler::parameterDescription},
    {kvt::CmdQueryParameterReady, &SimHandler::parameterReady},
    {kvt::CmdQueryUserUI, &SimHandler::userInterface},
    {kvt::CmdQueryDownloadConfiguration, &SimHandler::download},
    {kvt::CmdQueryDbMd5, &SimHandler::dbMd5},
    {kvt::CmdQueryDbMaxSize, &SimHandler::dbMaxSize},
    {kvt::CmdQueryClientLevel, &SimHandler::clientLevel},
    {kvt::CmdQueryFolderDelete, &SimHandler::folderDelete},
    {kvt::CmdQueryFolderCreate, &SimHandler::folderCreate},
    {kvt::CmdQueryFileDelete, &SimHandler::fileDelete},
    {kvt::CmdQueryFileCreate, &SimHandler::fileCreate},
    {kvt::CmdQueryFileAppendData, &SimHandler::fileAppend},
    {kvt::CmdQueryFileMd5, &SimHandler::fileMd5},
    {kvt::CmdQueryDbChange, &SimHandler::dbChange},
    {kvt::CmdQueryClientsCount, &SimHandler::clientsCount},
    {kvt::CmdQuerySystemTimeStamp, &SimHandler::timeStamp},
    {kvt::CmdSendBroadcastMessage, &SimHandler::broadcast},
    {kvt::CmdSendBroadcastData, &SimHandler::broadcast},
    {kvt::CmdQueryExecuteCommandLine, &SimHandler::commandLine},
    {kvt::CmdQueryServerVersion, &SimHandler::serverVersion},
    {kvt::CmdEnableRawBusMessage, &SimHandler::rawBus},
    {kvt::CmdEnableLogClients, &SimHandler::logClients},
    {kvt::CmdSendZephronFrame, &SimHandler::zephron},
    {kvt::CmdQueryProjectJson, &SimHandler::projectJson},
};

void SimHandler::handle(SimSession &c, const kvtOlmoFrame &f) {
    const uint32_t code = f.GetCode();
    // Parameter identifiers are 20-bit codes, some of them from 1000000 up: whatever is not a
    // known command is a parameter.
    if (!kvt::kvtOlmoIsCommandCode(code)) {
        parameter(c, f);
        return;
    }
    for (const Command &command : kCommands) {
        if (command.code == code) {
            (this->*command.answer)(c, f);
            return;
        }
    }
    SimLog::line(c.label() + ": unknown command " + std::to_string(code) + " ignored");
}

void SimHandler::parameterList(SimSession &c, const kvtOlmoFrame &f) {
    std::vector<unsigned char> bytes;
    for (uint32_t id : m_parameters.ids())
        for (int i = 0; i < 4; ++i)
            bytes.push_back(uint8_t(id >> (8 * i)));
    SimLog::line(c.label() + ": parameter list (" + std::to_string(m_parameters.size()) + ")");
    m_router.reply(c, SimFrames::data(f.GetCode(), kResponse, bytes.data(), bytes.size()));
}

void SimHandler::parameterDescription(SimSession &c, const kvtOlmoFrame &f) {
    SimLog::line(c.label() + ": parameter description " + std::to_string(f.GetCode()) + " of " +
                 std::to_string(f.GetAsUInt()));
    m_router.reply(c, SimFrames::text(f.GetCode(), kResponse, m_parameters.configurationJson(f.GetAsUInt())));
}

void SimHandler::parameterReady(SimSession &c, const kvtOlmoFrame &f) {
    SimLog::line(c.label() + ": parameter ready " + std::to_string(f.GetAsUInt()));
    m_router.reply(c, SimFrames::uchar(f.GetCode(), kResponse, m_parameters.find(f.GetAsUInt()) ? 1 : 0));
}

void SimHandler::dbMd5(SimSession &c, const kvtOlmoFrame &f) {
    SimLog::line(c.label() + ": database MD5");
    m_router.reply(c, SimFrames::text(f.GetCode(), kResponse, m_sandbox.dbMd5()));
}

void SimHandler::dbMaxSize(SimSession &c, const kvtOlmoFrame &f) {
    SimLog::line(c.label() + ": database maximum size");
    m_router.reply(c, SimFrames::ulong(f.GetCode(), kResponse, m_options.dbMaxSize));
}

void SimHandler::clientLevel(SimSession &c, const kvtOlmoFrame &f) {
    SimLog::line(c.label() + ": client level");
    m_router.reply(c, SimFrames::uchar(f.GetCode(), kResponse, 1));
}

void SimHandler::folderDelete(SimSession &c, const kvtOlmoFrame &f) {
    const std::string path = SimFrames::textOf(f);
    fileOperation(c, f.GetCode(), path, m_sandbox.deleteFolder(path), "folder");
}

void SimHandler::folderCreate(SimSession &c, const kvtOlmoFrame &f) {
    const std::string path = SimFrames::textOf(f);
    fileOperation(c, f.GetCode(), path, m_sandbox.createFolder(path), "folder");
}

void SimHandler::fileDelete(SimSession &c, const kvtOlmoFrame &f) {
    const std::string path = SimFrames::textOf(f);
    fileOperation(c, f.GetCode(), path, m_sandbox.deleteFile(path), "file");
}

void SimHandler::fileCreate(SimSession &c, const kvtOlmoFrame &f) {
    const std::string path = SimFrames::textOf(f);
    fileOperation(c, f.GetCode(), path, m_sandbox.createFile(path), "file");
}

void SimHandler::fileMd5(SimSession &c, const kvtOlmoFrame &f) {
    const std::string path = SimFrames::textOf(f);
    SimLog::line(c.label() + ": MD5 of " + path);
    // A damaged copy looks like this to the client: the file it sent is not the file stored.
    const std::string md5 =
        m_options.faults.wrongFileMd5 ? "d41d8cd98f00b204e9800998ecf8427e" : m_sandbox.fileMd5(path);
    m_router.reply(c, SimFrames::text(f.GetCode(), kResponse, md5));
}

void SimHandler::clientsCount(SimSession &c, const kvtOlmoFrame &f) {
    SimLog::line(c.label() + ": clients count");
    m_router.reply(c, SimFrames::ulong(f.GetCode(), kResponse, m_router.clientCount()));
}

void SimHandler::timeStamp(SimSession &c, const kvtOlmoFrame &f) {
    SimLog::line(c.label() + ": time stamp");
    m_router.reply(c, SimFrames::ulong(f.GetCode(), kResponse, uint32_t(std::time(nullptr))));
}

void SimHandler::broadcast(SimSession &c, const kvtOlmoFrame &f) {
    const uint32_t code = f.GetCode();
    const std::string text = SimFrames::textOf(f);
    SimLog::line(c.label() + (code == kvt::CmdSendBroadcastData ? ": broadcast data " : ": log message ") +
                 text);
    m_router.relayOthers(c, SimFrames::text(code, kWrite, text));
}

void SimHandler::serverVersion(SimSession &c, const kvtOlmoFrame &f) {
    SimLog::line(c.label() + ": server version");
    const std::string version =
        m_options.serverVersion.empty() ? std::string("vyxsim " VYXSIM_VERSION) : m_options.serverVersion;
    m_router.reply(c, SimFrames::text(f.GetCode(), kResponse, version));
}

void SimHandler::rawBus(SimSession &c, const kvtOlmoFrame &f) {
    switchFlag(c, f, c.rawBus, "raw bus messages");
}

void SimHandler::logClients(SimSession &c, const kvtOlmoFrame &f) {
    switchFlag(c, f, c.logClients, "log messages");
}

void SimHandler::projectJson(SimSession &c, const kvtOlmoFrame &f) {
    SimLog::line(c.label() + ": project");
    Json o(cJSON_CreateObject());
    cJSON_AddStringToObject(o.get(), "name", m_options.name.c_str());
    cJSON_AddNumberToObject(o.get(), "parameters", double(m_parameters.size()));
    m_router.reply(c, SimFrames::text(f.GetCode(), kResponse, print(o.get())));
}

void SimHandler::parameter(SimSession &c, const kvtOlmoFrame &f) {
    const uint32_t id = f.GetCode();
    const uint8_t kind = f.GetKind();
    if (kind == kvt::kvtOlmoKindRead) {
        const SimParameter *p = m_parameters.find(id);
        SimLog::line(c.label() + ": read parameter " + std::to_string(id) +
                     (p ? " = " + SimParameters::valueText(*p) : std::string(" (unknown)")));
        // An unknown parameter is answered without a value so that a waiting client learns of it.
        m_router.reply(c, p ? SimFrames::parameter(*p, kResponse) : SimFrames::none(id, kResponse));
        return;
    }
    if (kind != kvt::kvtOlmoKindWrite && kind != kvt::kvtOlmoKindPhysical) {
        SimLog::line(c.label() + ": parameter frame of kind " + std::to_string(kind) + " ignored");
        return;
    }
    if (!m_parameters.write(id, SimFrames::writtenValue(f))) {
        SimLog::line(c.label() + ": write to parameter " + std::to_string(id) + " refused");
        return;
    }
    const SimParameter *p = m_parameters.find(id);
    SimLog::line(c.label() + ": parameter " + std::to_string(id) + " = " + SimParameters::valueText(*p));
    m_router.pushAll(SimFrames::parameter(*p, kind));
}

void SimHandler::userInterface(SimSession &c, const kvtOlmoFrame &f) {
    const std::string text = SimFrames::textOf(f);
    if (f.GetKind() == kvt::kvtOlmoKindRead) {
        auto it = m_userInterfaces.find(text);
        SimLog::line(c.label() + ": user interface of " + text);
        m_router.reply(c, SimFrames::text(f.GetCode(), kResponse,
                                          it == m_userInterfaces.end() ? kDefaultUserInterface : it->second));
        return;
    }
    Json in(cJSON_Parse(text.c_str()));
    Json out(cJSON_CreateObject());
    std::string key = jsonString(in.get(), "key");
    std::string xml;
    cJSON_AddStringToObject(out.get(), "key", key.c_str());
    if (!in || key.empty() || !decodeBase64(jsonString(in.get(), "base64"), xml)) {
        cJSON_AddNumberToObject(out.get(), "err", 1);
        cJSON_AddStringToObject(out.get(), "info", "Expected {\"key\":...,\"base64\":...}");
    } else {
        m_userInterfaces[key] = xml;
        cJSON_AddNumberToObject(out.get(), "err", 0);
        cJSON_AddStringToObject(out.get(), "info", "User interface saved");
    }
    SimLog::line(c.label() + ": user interface saved for " + key);
    m_router.reply(c, SimFrames::text(f.GetCode(), kResponse, print(out.get())));
}

void SimHandler::download(SimSession &c, const kvtOlmoFrame &f) {
    const uint32_t code = f.GetCode();
    const std::string clientMd5 = kvt::kvtLowerHex(SimFrames::textOf(f));
    const std::string serverMd5 = m_sandbox.dbMd5();
    if (m_options.faults.downloadFail) {
        SimLog::line(c.label() + ": download refused with " + std::to_string(m_options.faults.downloadFail));
        m_router.reply(c, SimFrames::uchar(code, kResponse, uint8_t(m_options.faults.downloadFail)));
        return;
    }
    if (!clientMd5.empty() && clientMd5 == serverMd5) {
        SimLog::line(c.label() + ": download not needed, client has the database");
        m_router.reply(c, SimFrames::uchar(code, kResponse, kvt::kvtOlmoDownloadEndSynced));
        return;
    }
    std::vector<unsigned char> db;
    uint64_t size = m_sandbox.dbSize();
    if (size > 0xFFFFFFFFull || !m_sandbox.readDb(0, size_t(size), db) || db.size() != size) {
        SimLog::line(c.label() + ": cannot read the database");
        m_router.reply(c, SimFrames::uchar(code, kResponse, kvt::kvtOlmoDownloadEndReadError));
        return;
    }
    SimLog::line(c.label() + ": download of " + std::to_string(db.size()) + " bytes");
    m_router.reply(c, SimFrames::ulong(code, kResponse, uint32_t(db.size())));
    size_t limit = db.size();
    if (m_options.faults.stallDownload >= 0 && uint64_t(m_options.faults.stallDownload) < limit)
        limit = size_t(m_options.faults.stallDownload);
    for (size_t at = 0; at < limit; at += kDownloadBlock)
        m_router.reply(
            c, SimFrames::data(code, kResponse, db.data() + at, std::min(kDownloadBlock, limit - at)));
    if (limit < db.size()) {
        SimLog::line(c.label() + ": download stalled after " + std::to_string(limit) + " bytes");
        return;
    }
    m_router.reply(c, SimFrames::uchar(code, kResponse, kvt::kvtOlmoDownloadEndDone));
}

void SimHandler::fileOperation(SimSession &c, uint32_t code, const std::string &path, const SimResult &r,
                               const char *member) {
    SimLog::line(c.label() + ": " + std::to_string(code) + " " + path + ": " + r.info);
    m_router.reply(c, SimFrames::text(code, kResponse, resultJson(r, member, path)));
}

void SimHandler::fileAppend(SimSession &c, const kvtOlmoFrame &f) {
    const uint32_t code = f.GetCode();
    const unsigned char *data = f.GetAsData();
    const size_t length = f.GetType() == kvt::kvtTypeData ? f.GetBufferLength() - kvt::kvtOlmoHeaderSize : 0;
    if (!data || length < 1 || length < 1u + data[0]) {
        SimResult r{1, "Append request without a file name"};
        m_router.reply(c, SimFrames::text(code, kResponse, resultJson(r, "file", "")));
        return;
    }
    const size_t nameLength = data[0];
    std::string name(reinterpret_cast<const char *>(data + 1), nameLength);
    size_t written = 0;
    size_t block = length - 1 - nameLength;
    if (m_options.faults.fileLimit) {
        // A short write: the server takes what fits under the limit and says nothing more.
        const uint64_t have = m_sandbox.fileSize(name);
        const uint64_t room = have < m_options.faults.fileLimit ? m_options.faults.fileLimit - have : 0;
        if (block > room)
            block = size_t(room);
    }
    SimResult r = m_sandbox.appendFile(name, data + 1 + nameLength, block, written);
    SimLog::line(c.label() + ": append " + std::to_string(written) + " bytes to " + name +
                 (r.err ? ": " + r.info : std::string()));
    Json o(cJSON_CreateObject());
    cJSON_AddNumberToObject(o.get(), "err", r.err);
    cJSON_AddStringToObject(o.get(), "info", r.info.c_str());
    cJSON_AddStringToObject(o.get(), "file", name.c_str());
    cJSON_AddNumberToObject(o.get(), "wrotebytes", double(written));
    m_router.reply(c, SimFrames::text(code, kResponse, print(o.get())));
}

void SimHandler::dbChange(SimSession &c, const kvtOlmoFrame &f) {
    Json in(cJSON_Parse(SimFrames::textOf(f).c_str()));
    std::string file = jsonString(in.get(), "file");
    std::string md5 = kvt::kvtLowerHex(jsonString(in.get(), "md5"));
    std::string newMd5;
    SimResult r =
        in ? m_sandbox.replaceDb(file, md5, newMd5) : SimResult{1, "Expected {\"md5\":...,\"file\":...}"};
    if (!in)
        newMd5 = m_sandbox.dbMd5();
    SimLog::line(c.label() + ": change database from " + file + ": " + r.info);
    Json o(cJSON_CreateObject());
    cJSON_AddNumberToObject(o.get(), "err", r.err);
    cJSON_AddStringToObject(o.get(), "info", r.info.c_str());
    cJSON_AddStringToObject(o.get(), "file", file.c_str());
    cJSON_AddStringToObject(o.get(), "md5", newMd5.c_str());
    m_router.reply(c, SimFrames::text(f.GetCode(), kResponse, print(o.get())));
}

void SimHandler::commandLine(SimSession &c, const kvtOlmoFrame &f) {
    const std::string line = SimFrames::textOf(f);
    SimResult r = m_commandLines.run(line);
    SimLog::line(c.label() + ": command line \"" + line + "\" -> " + std::to_string(r.err));
    m_router.reply(c, SimFrames::text(f.GetCode(), kResponse, resultJson(r, "cmd", line)));
}

void SimHandler::zephron(SimSession &c, const kvtOlmoFrame &f) {
    const uint32_t code = f.GetCode();
    const unsigned char *data = f.GetAsData();
    const size_t length = data ? f.GetBufferLength() - kvt::kvtOlmoHeaderSize : 0;
    const kvt::kvtZephronFrame z(data, uint32_t(length));
    std::vector<unsigned char> answer;
    if (const char *why = z.GetProblem()) {
        SimLog::line(c.label() + ": Zephron frame refused: " + why);
        // A non-zero code marks an error text; the manager shows only code 0 messages.
        answer = zephronText(1, std::string("error: ") + why);
    } else {
        std::string text = z.GetPayloadText();
        SimLog::line(c.label() + ": Zephron command \"" + text + "\"");
        std::string reply =
            text == "status" ? "bus ok, " + std::to_string(m_busTelegrams) + " telegrams" : "ok: " + text;
        answer = zephronText(0, reply);
    }
    m_router.reply(c, SimFrames::data(code, kResponse, answer.data(), answer.size()));
}

void SimHandler::switchFlag(SimSession &c, const kvtOlmoFrame &f, bool &flag, const char *what) {
    if (f.GetKind() != kvt::kvtOlmoKindRead) {
        flag = f.GetAsUChar() != 0;
        SimLog::line(c.label() + ": " + what + (flag ? " on" : " off"));
    }
    m_router.reply(c, SimFrames::uchar(f.GetCode(), kResponse, flag ? 1 : 0));
}

void SimHandler::tick(unsigned count) {
    if (!m_options.live)
        return;
    for (uint32_t id : m_parameters.liveTick(count))
        if (const SimParameter *p = m_parameters.find(id))
            m_router.pushAll(SimFrames::parameter(*p, kvt::kvtOlmoKindPhysical));
}

size_t SimHandler::liveChanges(size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const SimParameter *p = m_parameters.liveStep();
        if (!p)
            return i;
        m_router.pushAll(SimFrames::parameter(*p, kvt::kvtOlmoKindPhysical));
    }
    return count;
}

void SimHandler::periodicFor(SimSession &c, unsigned count) {
    if (c.logClients) {
        const SimParameter *p = m_parameters.find(100201);
        std::string msg = p ? "temperature " + SimParameters::valueText(*p) : "tick " + std::to_string(count);
        m_router.reply(c, SimFrames::text(kvt::CmdSendBroadcastMessage, kWrite, logMessage("100201", msg)));
    }
    if (c.rawBus) {
        ++m_busTelegrams;
        std::string telegram = "bus: 1.1." + std::to_string(count % 16) + " -> 0/0/" +
                               std::to_string(count % 8 + 1) + " write " + (count % 2 ? "01" : "00");
        std::vector<unsigned char> z = zephronText(0, telegram);
        m_router.reply(c, SimFrames::data(kvt::CmdSendZephronFrame, kWrite, z.data(), z.size()));
    }
}

std::string SimHandler::valuesReport() const {
    std::string out;
    for (uint32_t id : m_parameters.ids())
        if (const SimParameter *p = m_parameters.find(id))
            out += "VALUE " + std::to_string(id) + " " + SimParameters::valueText(*p) + "\n";
    return out;
}
