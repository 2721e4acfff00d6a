#include "ctlcommands.h"

#include "ctlfleet.h"
#include "journalschema.h"
#include "journalwriter.h"
#include "vault.h"

#include <kvt_discovery.h>
#include <kvt_osfile.h>
#include <kvt_zephronframe.h>

#include <cjson/cJSON.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using kvt::kvtIOlmoFrame;
using Clock = std::chrono::steady_clock;

namespace {

const uint32_t kCopyBlock = 131072;
const unsigned kUploadChunk = 524288;
// Zephron frames that carry a text message have type 1.
const uint8_t kZephronTextType = 1;
const char *const kQuery = kvt::kvtDiscoveryQuery;
const char *const kAnswerMarker = kvt::kvtDiscoveryAnswerMarker;

std::atomic<bool> g_interrupted{false};

void onInterrupt(int) {
    g_interrupted = true;
}

struct JsonFree {
    void operator()(cJSON *j) const { cJSON_Delete(j); }
};
using Json = std::unique_ptr<cJSON, JsonFree>;

Json parseAnswer(const kvtIOlmoFrame &f) {
    if (f.GetType() != kvt::kvtTypeString)
        return Json();
    return Json(cJSON_Parse(f.GetAsString()));
}

std::string jsonText(cJSON *root, const char *name) {
    cJSON *item = cJSON_GetObjectItemCaseSensitive(root, name);
    return cJSON_IsString(item) ? item->valuestring : std::string();
}

double jsonNumber(cJSON *root, const char *name, double fallback) {
    cJSON *item = cJSON_GetObjectItemCaseSensitive(root, name);
    return cJSON_IsNumber(item) ? item->valuedouble : fallback;
}

bool parseNumber(const std::string &text, double minValue, double maxValue, bool integer, double &out) {
    if (text.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    double v = integer ? double(std::strtoll(text.c_str(), &end, 10)) : std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || v < minValue || v > maxValue)
        return false;
    out = v;
    return true;
}

bool localFileSize(const std::string &path, uint64_t &size) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    size = uint64_t(st.st_size);
    return true;
}

int secondsOption(const std::vector<std::string> &args, int fallback, bool &ok) {
    ok = true;
    if (args.empty())
        return fallback;
    double v = 0;
    if (args.size() == 2 && args[0] == "--seconds" && parseNumber(args[1], 1, 86400, true, v))
        return int(v);
    ok = false;
    return fallback;
}

const int kJournalExit = 4;

// The journal's kind for a command that changes the server; null for the others.
const char *journalKind(const std::string &command) {
    static const std::map<std::string, const char *> kinds = {
        {"set", vyxjournal::kKindParameterWrite},
        {"download", vyxjournal::kKindBackup},
        {"upload", vyxjournal::kKindConfigurationUpload},
        {"mkdir", vyxjournal::kKindFolderCreate},
        {"rmdir", vyxjournal::kKindFolderDelete},
        {"rm", vyxjournal::kKindFileDelete},
        {"put", vyxjournal::kKindFileCopy},
        {"exec", vyxjournal::kKindCommandLine},
        {"zephron", vyxjournal::kKindZephronCommand},
    };
    const auto it = kinds.find(command);
    return it == kinds.end() ? nullptr : it->second;
}

// What the command was asked to do, by name; never the password.
vyxjournal::Arguments journalArguments(const CtlOptions &o) {
    const auto &a = o.args;
    const std::string &c = o.command;
    if (c == "set")
        return {{"uid", a[0]}, {"type", a[1]}, {"value", a[2]}};
    if (c == "download" || c == "upload")
        return {{"file", a[0]}};
    if (c == "put")
        return {{"local", a[0]}, {"remote", a[1]}};
    if (c == "exec" || c == "zephron") {
        std::string line;
        for (size_t i = 0; i < a.size(); ++i)
            line += (i ? " " : "") + a[i];
        return {{"command", line}};
    }
    return {{"path", a.empty() ? std::string() : a[0]}};
}

// Adds the identifiers of a parameter list answer that were not listed before, in their order.
void addListedIds(const kvtIOlmoFrame &f, std::set<uint32_t> &known, std::vector<uint32_t> &ids) {
    const uint8_t *d = f.GetType() == kvt::kvtTypeData ? f.GetAsData() : nullptr;
    for (uint32_t i = 0; d && i + 4 <= f.GetDataLength(); i += 4) {
        const uint32_t id =
            uint32_t(d[i]) | uint32_t(d[i + 1]) << 8 | uint32_t(d[i + 2]) << 16 | uint32_t(d[i + 3]) << 24;
        // Identifiers are 20-bit codes; the list cannot hold more distinct ones than that.
        if (id <= kvt::kvtOlmoMaxParameterId && known.insert(id).second)
            ids.push_back(id);
    }
}

} // namespace

CtlCommands::CtlCommands(const CtlOptions &options, CtlOutput &output)
    : m_options(options), m_output(output) {}

const char *CtlCommands::typeName(int type) {
    return kvt::kvtValueTypeName(type);
}

std::string CtlCommands::valueText(const kvtIOlmoFrame &f) {
    char buffer[64];
    switch (f.GetType()) {
    case 1:
        return f.GetAsBool() ? "true" : "false";
    case 2:
    case 3:
        return std::to_string(unsigned(f.GetAsUChar()));
    case 4:
        return std::to_string(f.GetAsShort());
    case 5:
        return std::to_string(f.GetAsUShort());
    case 6:
    case 8:
        return std::to_string(f.GetAsInt());
    case 7:
    case 9:
        return std::to_string(f.GetAsUInt());
    case 10: {
        float v = 0;
        f.GetAsFloat(&v);
        std::snprintf(buffer, sizeof buffer, "%g", double(v));
        return buffer;
    }
    case 11: {
        double v = 0;
        f.GetAsDouble(&v);
        std::snprintf(buffer, sizeof buffer, "%g", v);
        return buffer;
    }
    case 12:
        return f.GetAsString();
    case 13: {
        std::string hex;
        const uint8_t *d = f.GetAsData();
        uint32_t n = f.GetDataLength();
        for (uint32_t i = 0; d && i < n && i < 256; ++i) {
            std::snprintf(buffer, sizeof buffer, "%s%.2X", i ? " " : "", d[i]);
            hex += buffer;
        }
        return n > 256 ? hex + " ..." : hex;
    }
    }
    return {};
}

bool CtlCommands::jsonResult(const kvtIOlmoFrame &f, int &err, std::string &info) {
    Json root = parseAnswer(f);
    if (!root)
        return false;
    err = int(jsonNumber(root.get(), "err", 0));
    info = jsonText(root.get(), "info");
    return true;
}

int CtlCommands::usage(const std::string &message) {
    m_output.fail(message);
    std::fputs(ctlUsageText(), stderr);
    return 2;
}

int CtlCommands::lost(const char *what) {
    m_unanswered = true;
    m_output.fail(std::string(what) + ": connection lost (" + m_session->lostReason() + ")");
    return 1;
}

int CtlCommands::timedOut(const char *what) {
    m_unanswered = true;
    m_output.fail(std::string(what) + ": no answer within " + std::to_string(m_options.timeoutSeconds) +
                  " s");
    return 1;
}

int CtlCommands::answer(uint32_t code, FramePtr &out, const char *what) {
    CtlEvent e;
    const auto until = m_session->deadline();
    for (;;) {
        CtlSession::Wait w = m_session->wait(e, until);
        if (w == CtlSession::Lost)
            return lost(what);
        if (w == CtlSession::TimedOut)
            return timedOut(what);
        if (e.type == CtlEvent::Frame && e.frame->GetCode() == code &&
            e.frame->GetKind() == kvt::kvtOlmoKindResponse) {
            out = e.frame;
            return 0;
        }
    }
}

int CtlCommands::run() {
    const std::string &c = m_options.command;
    const auto &a = m_options.args;
    if (c == "fleet")
        return runFleetCommand(m_options, m_output);
    struct Entry {
        const char *name;
        size_t minArgs;
        size_t maxArgs;
        int (CtlCommands::*fn)();
    };
    static const Entry table[] = {
        {"discover", 0, 2, &CtlCommands::discover},
        {"ping", 0, 0, &CtlCommands::ping},
        {"params", 0, 0, &CtlCommands::params},
        {"get", 1, 1, &CtlCommands::get},
        {"set", 3, 3, &CtlCommands::set},
        {"watch", 0, 4, &CtlCommands::watch},
        {"download", 1, 1, &CtlCommands::download},
        {"upload", 1, 1, &CtlCommands::upload},
        {"db-md5", 0, 0, &CtlCommands::dbMd5},
        {"mkdir", 1, 1, &CtlCommands::fileOperation},
        {"rmdir", 1, 1, &CtlCommands::fileOperation},
        {"rm", 1, 1, &CtlCommands::fileOperation},
        {"put", 2, 2, &CtlCommands::put},
        {"md5", 1, 1, &CtlCommands::md5},
        {"exec", 1, 1000, &CtlCommands::exec},
        {"broadcast", 1, 1000, &CtlCommands::broadcast},
        {"zephron", 1, 1000, &CtlCommands::zephron},
        {"bus-debug", 1, 1, &CtlCommands::busDebug},
    };
    for (const Entry &e : table) {
        if (c != e.name)
            continue;
        if (a.size() < e.minArgs || a.size() > e.maxArgs)
            return usage("wrong number of arguments for " + c);
        const char *kind = journalKind(c);
        if (kind && !m_options.journal.empty())
            return journaled(kind, e.fn);
        return (this->*e.fn)();
    }
    return usage("unknown command: " + c);
}

// The intent is on disk before anything is sent; a journal that cannot be written stops the
// command there, since a change the journal misses is what --journal is asked to prevent.
int CtlCommands::journaled(const char *kind, int (CtlCommands::*fn)()) {
    vyxjournal::Writer journal("vyxctl");
    const vyxjournal::Server server{m_options.site, m_options.host + ":" + std::to_string(m_options.port),
                                    m_options.user};
    int64_t intent = 0;
    if (journal.open(m_options.journal))
        intent = journal.intent(server, kind, journalArguments(m_options));
    if (intent == 0) {
        m_output.fail(journal.error() + "; nothing was sent");
        return kJournalExit;
    }
    const int rc = (this->*fn)();
    const char *outcome = rc == 0        ? vyxjournal::kOutcomeSucceeded
                          : m_unanswered ? vyxjournal::kOutcomeUnknown
                                         : vyxjournal::kOutcomeFailed;
    std::string text = rc == 0 ? "done" : m_output.lastFailure();
    if (rc == 3)
        text = "not sent: " + text;
    if (!journal.result(intent, outcome, text)) {
        m_output.fail(journal.error());
        return rc == 0 ? kJournalExit : rc;
    }
    return rc;
}

// ---- discovery -------------------------------------------------------------------------------

namespace {

// One discovery answer as a record: where it came from, the whole text, and the "key=value"
// fields after the marker (separated by ';') that vyxctl reports.
void fillDiscoveryRecord(CtlRecord &r, const char *address, const std::string &text) {
    r.add("from", address).add("answer", text);
    size_t pos = text.find(';');
    while (pos != std::string::npos) {
        size_t next = text.find(';', pos + 1);
        std::string field = text.substr(pos + 1, next == std::string::npos ? next : next - pos - 1);
        size_t eq = field.find('=');
        if (eq != std::string::npos && eq > 0) {
            std::string key = field.substr(0, eq);
            if (key == "name" || key == "address" || key == "port" || key == "version")
                r.add(key.c_str(), field.substr(eq + 1));
        }
        pos = next;
    }
}

sockaddr_in ipv4(const char *address, uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, address, &to.sin_addr);
    return to;
}

} // namespace

int CtlCommands::discover() {
    bool ok = false;
    const int seconds = secondsOption(m_options.args, 5, ok);
    if (!ok)
        return usage("discover takes only --seconds N");
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        m_output.fail(std::string("discover: socket: ") + std::strerror(errno));
        return 1;
    }
    int on = 1;
    unsigned char ttl = 5;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    const sockaddr_in group = ipv4(kvt::kvtDiscoveryGroup, kvt::kvtDiscoveryMulticastPort);
    const sockaddr_in broadcast = ipv4("255.255.255.255", kvt::kvtDiscoveryBroadcastPort);
    sendDiscoveryQuery(fd, group);
    sendDiscoveryQuery(fd, broadcast);
    std::set<std::string> found;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    auto nextBroadcast = Clock::now() + std::chrono::seconds(1);
    while (Clock::now() < end) {
        readDiscoveryAnswer(fd, found);
        if (Clock::now() >= nextBroadcast) {
            sendDiscoveryQuery(fd, broadcast);
            nextBroadcast += std::chrono::seconds(1);
        }
    }
    close(fd);
    if (found.empty()) {
        m_output.fail("discover: no server answered within " + std::to_string(seconds) + " s");
        return 1;
    }
    return 0;
}

void CtlCommands::sendDiscoveryQuery(int fd, const sockaddr_in &to) {
    if (sendto(fd, kQuery, std::strlen(kQuery), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) < 0)
        m_output.note(std::string("discover: cannot send to ") + inet_ntoa(to.sin_addr) + ": " +
                      std::strerror(errno));
}

// Waits up to 100 ms for one datagram; prints it when it is a server's answer not seen before.
void CtlCommands::readDiscoveryAnswer(int fd, std::set<std::string> &found) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0)
        return;
    char buffer[1024];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &len);
    if (n <= 0)
        return;
    std::string text(buffer, size_t(n));
    text = text.substr(0, text.find('\0'));
    if (text.find(kAnswerMarker) == std::string::npos || !found.insert(text).second)
        return;
    char address[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &from.sin_addr, address, sizeof address);
    CtlRecord r;
    fillDiscoveryRecord(r, address, text);
    m_output.print(std::string(address) + "|" + text, r);
}

// ---- queries ---------------------------------------------------------------------------------

int CtlCommands::ping() {
    m_session.reset(new CtlSession(m_options, m_output));
    if (int rc = m_session->connect())
        return rc;
    CtlClient &c = m_session->client();
    auto request = [&c] {
        c.QueryServerVersion();
        c.QuerySystemTimeStamp();
    };
    m_session->setResend(request);
    request();
    std::string version;
    bool haveVersion = false, haveStamp = false;
    uint32_t stamp = 0;
    CtlEvent e;
    const auto until = m_session->deadline();
    while (!haveVersion || !haveStamp) {
        CtlSession::Wait w = m_session->wait(e, until);
        if (w == CtlSession::TimedOut)
            return timedOut("ping");
        if (w != CtlSession::Got || e.type != CtlEvent::Frame ||
            e.frame->GetKind() != kvt::kvtOlmoKindResponse)
            continue;
        if (e.frame->GetCode() == kvt::CmdQueryServerVersion) {
            version = valueText(*e.frame);
            haveVersion = true;
        } else if (e.frame->GetCode() == kvt::CmdQuerySystemTimeStamp) {
            stamp = e.frame->GetAsULong();
            haveStamp = true;
        }
    }
    uint32_t monitorId = c.GetMonitorChannel().GetClientId();
    uint32_t commandId = c.GetCommandChannel().GetClientId();
    CtlRecord r;
    r.add("host", m_options.host).add("port", m_options.port).add("user", m_options.user);
    r.add("monitorId", monitorId).add("commandId", commandId).add("version", version);
    r.add("timestamp", stamp).add("time", Vault::timeText(stamp));
    m_output.print("connected to " + m_options.host + ":" + std::to_string(m_options.port) + " as " +
                       m_options.user + ": monitor client id " + std::to_string(monitorId) +
                       ", command client id " + std::to_string(commandId) + ", server " + version +
                       ", time stamp " + std::to_string(stamp) + " (" + Vault::timeText(stamp) + ")",
                   r);
    return 0;
}

int CtlCommands::params() {
    m_session.reset(new CtlSession(m_options, m_output));
    if (int rc = m_session->connect())
        return rc;
    CtlClient &c = m_session->client();
    std::vector<uint32_t> ids; // in the order the server listed them, each once
    std::set<uint32_t> known;
    std::set<uint32_t> asked; // value queries sent since the last (re)connection
    std::map<uint32_t, FramePtr> values;
    // Asks for every listed value not yet received and not yet asked for.
    auto askMissing = [&] {
        for (uint32_t id : ids)
            if (!values.count(id) && asked.insert(id).second)
                c.QueryParameterValue(int(id));
    };
    m_session->setResend([&] {
        asked.clear(); // queries sent before the loss may never be answered
        c.QueryParametersUID();
    });
    c.QueryParametersUID();
    bool haveList = false;
    CtlEvent e;
    auto until = m_session->deadline();
    while (!haveList || values.size() < ids.size()) {
        CtlSession::Wait w = m_session->wait(e, until);
        if (w == CtlSession::TimedOut)
            return timedOut("params");
        if (w != CtlSession::Got || e.type != CtlEvent::Frame ||
            e.frame->GetKind() != kvt::kvtOlmoKindResponse)
            continue;
        const kvtIOlmoFrame &f = *e.frame;
        const uint32_t code = f.GetCode();
        if (code == kvt::CmdQueryParametersUID) {
            // A repeated list adds only identifiers not seen before; values already asked for
            // are not asked for again.
            addListedIds(f, known, ids);
            haveList = true;
            askMissing();
        } else if (!kvt::kvtOlmoIsCommandCode(code) && known.count(code)) {
            // Dispatch on the known command codes: identifiers from 1000000 up are parameters too.
            values[code] = e.frame;
            until = m_session->deadline();
        }
    }
    for (uint32_t id : ids) {
        auto it = values.find(id);
        if (it != values.end())
            printValue(id, *it->second);
    }
    return 0;
}

void CtlCommands::printValue(uint32_t id, const kvtIOlmoFrame &f) {
    CtlRecord r;
    r.add("id", id).add("type", typeName(f.GetType())).add("value", valueText(f));
    m_output.print(std::to_string(id) + "\t" + typeName(f.GetType()) + "\t" + valueText(f), r);
}

int CtlCommands::get() {
    double v = 0;
    if (!parseNumber(m_options.args[0], 1, kvt::kvtOlmoMaxParameterId, true, v))
        return usage("not a parameter id: " + m_options.args[0]);
    const uint32_t id = uint32_t(v);
    m_session.reset(new CtlSession(m_options, m_output));
    if (int rc = m_session->connect())
        return rc;
    CtlClient &c = m_session->client();
    m_session->setResend([&c, id] { c.QueryParameterValue(int(id)); });
    c.QueryParameterValue(int(id));
    FramePtr f;
    if (int rc = answer(id, f, "get"))
        return rc;
    if (f->GetType() == kvt::kvtTypeNone) {
        m_output.fail("get: the server has no parameter " + std::to_string(id));
        return 1;
    }
    CtlRecord r;
    r.add("id", id).add("type", typeName(f->GetType())).add("value", valueText(*f));
    m_output.print(valueText(*f), r);
    return 0;
}

namespace {

// The value types `set` accepts: the range a number must lie in, and how the value goes out.
struct SetType {
    kvt::kvtValueType type;
    double min;
    double max;
    bool integer;
    const char *refusal; // usage text for a value out of range (none for text)
    void (*send)(CtlClient &c, int id, double number, const std::string &text);
};

const SetType kSetTypes[] = {
    {kvt::kvtTypeUChar, 0, 255, true, "a byte is 0 to 255: ",
     [](CtlClient &c, int id, double n, const std::string &) {
         c.SendParameterValueAsByte(id, static_cast<unsigned char>(n), false);
     }},
    {kvt::kvtTypeUInt, 0, 4294967295.0, true, "not an unsigned 32-bit number: ",
     [](CtlClient &c, int id, double n, const std::string &) {
         c.SendParameterValueAsUint(id, unsigned(n), false);
     }},
    {kvt::kvtTypeFloat, -3.4e38, 3.4e38, false, "not a number: ",
     [](CtlClient &c, int id, double n, const std::string &) {
         c.SendParameterValueAsFloat(id, float(n), false);
     }},
    {kvt::kvtTypeString, 0, 0, false, nullptr,
     [](CtlClient &c, int id, double, const std::string &text) {
         c.SendParameterValueAsString(id, text, false);
     }},
};

} // namespace

int CtlCommands::set() {
    const auto &a = m_options.args;
    double v = 0;
    if (!parseNumber(a[0], 1, kvt::kvtOlmoMaxParameterId, true, v))
        return usage("not a parameter id: " + a[0]);
    const int id = int(v);
    const std::string &value = a[2];
    const SetType *type = nullptr;
    for (const SetType &t : kSetTypes)
        if (kvt::kvtValueTypeFromName(a[1]) == t.type)
            type = &t;
    if (!type)
        return usage("type must be string, float, byte or uint: " + a[1]);
    double number = 0;
    if (type->refusal && !parseNumber(value, type->min, type->max, type->integer, number))
        return usage(type->refusal + value);
    m_session.reset(new CtlSession(m_options, m_output));
    if (int rc = m_session->connect())
        return rc;
    type->send(m_session->client(), id, number, value);
    FramePtr changed;
    if (int rc = confirmedChange(uint32_t(id), changed))
        return rc;
    CtlRecord r;
    r.add("id", id).add("type", typeName(changed->GetType())).add("value", valueText(*changed));
    m_output.print(a[0] + " = " + valueText(*changed), r);
    return 0;
}

// The server tells every client of a change, this one included: that is the confirmation.
int CtlCommands::confirmedChange(uint32_t id, FramePtr &out) {
    CtlEvent e;
    const auto until = m_session->deadline();
    for (;;) {
        CtlSession::Wait w = m_session->wait(e, until);
        if (w == CtlSession::Lost)
            return lost("set");
        if (w == CtlSession::TimedOut) {
            m_output.fail("set: the server did not confirm the change of " + m_options.args[0] +
                          " (unknown parameter or value refused)");
            return 1;
        }
        if (e.type == CtlEvent::Frame && e.frame->GetCode() == id &&
            e.frame->GetKind() == kvt::kvtOlmoKindWrite) {
            out = e.frame;
            return 0;
        }
    }
}

int CtlCommands::watch() {
    // --bus and --log switch this client's raw bus and log messages on for the watch.
    std::vector<std::string> rest;
    bool bus = false, log = false;
    for (const std::string &a : m_options.args) {
        if (a == "--bus")
            bus = true;
        else if (a == "--log")
            log = true;
        else
            rest.push_back(a);
    }
    bool ok = false;
    const int seconds = secondsOption(rest, 0, ok);
    if (!ok)
        return usage("watch takes --seconds N, --bus and --log");
    m_session.reset(new CtlSession(m_options, m_output));
    if (int rc = m_session->connect())
        return rc;
    CtlClient &c = m_session->client();
    auto switchOn = [&c, bus, log] {
        if (bus)
            c.SendEnableRawBusMessage(1);
        if (log)
            c.SendEnableLogClients(1);
    };
    m_session->setResend(switchOn);
    switchOn();
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    const auto end = Clock::now() + std::chrono::seconds(seconds > 0 ? seconds : 86400 * 365);
    static const char *kinds[] = {"read", "write", "response", "physical"};
    CtlEvent e;
    while (!g_interrupted && Clock::now() < end) {
        if (m_session->waitFor(e, 200) != CtlSession::Got || e.type != CtlEvent::Frame)
            continue;
        const kvtIOlmoFrame &f = *e.frame;
        // The heartbeat's own time-stamp answers are not news.
        if (f.GetCode() == kvt::CmdQuerySystemTimeStamp)
            continue;
        std::string text = valueText(f);
        std::string what = std::to_string(f.GetCode());
        if (f.GetCode() == kvt::CmdSendBroadcastData)
            what = "broadcast";
        else if (f.GetCode() == kvt::CmdSendBroadcastMessage)
            what = "log";
        else if (f.GetCode() == kvt::CmdSendZephronFrame && f.GetType() == kvt::kvtTypeData) {
            what = "zephron";
            const kvt::kvtZephronFrame z(f.GetAsData(), f.GetDataLength());
            if (!z.GetProblem())
                text = z.GetPayloadText();
        }
        const char *kind = f.GetKind() < 4 ? kinds[f.GetKind()] : "other";
        CtlRecord r;
        r.add("code", f.GetCode()).add("kind", kind).add("type", typeName(f.GetType())).add("value", text);
        m_output.print(what + "\t" + kind + "\t" + typeName(f.GetType()) + "\t" + text, r);
    }
    return 0;
}

int CtlCommands::dbMd5() {
    m_session.reset(new CtlSession(m_options, m_output));
    if (int rc = m_session->connect())
        return rc;
    CtlClient &c = m_session->client();
    m_session->setResend([&c] { c.QueryDbMd5(); });
    c.QueryDbMd5();
    FramePtr f;
    if (int rc = answer(kvt::CmdQueryDbMd5, f, "db-md5"))
        return rc;
    CtlRecord r;
    r.add("md5", f->GetAsString());
    m_output.print(f->GetAsString(), r);
    return 0;
}

int CtlCommands::md5() {
    const std::string &remote = m_options.args[0];
    m_session.reset(new CtlSession(m_options, m_output));
    if (int rc = m_session->connect())
        return rc;
    CtlClient &c = m_session->client();
    m_session->setResend([&c, remote] { c.QueryFileMd5(remote); });
    c.QueryFileMd5(remote);
    FramePtr f;
    if (int rc = answer(kvt::CmdQueryFileMd5, f, "md5"))
        return rc;
    std::string digest = f->GetAsString();
    if (digest.empty()) {
        m_output.fail("md5: no such file on the server: " + remote);
        return 1;
    }
    CtlRecord r;
    r.add("file", remote).add("md5", digest);
    m_output.print(digest, r);
    return 0;
}

// ---- changes ---------------------------------------------------------------------------------

int CtlCommands::fileOperation() {
    const std::string &cmd = m_options.command;
    const std::string &path = m_options.args[0];
    m_session.reset(new CtlSession(m_options, m_output));
    if (int rc = m_session->connect())
        return rc;
    CtlClient &c = m_session->client();
    uint32_t code;
    if (cmd == "mkdir") {
        code = kvt::CmdQueryFolderCreate;
        c.QueryFolderCreate(path);
    } else if (cmd == "rmdir") {
        code = kvt::CmdQueryFolderDelete;
        c.QueryFolderDelete(path);
    } else {
        code = kvt::CmdQueryFileDelete;
        c.QueryFileDelete(path);
    }
    FramePtr f;
    if (int rc = answer(code, f, cmd.c_str()))
        return rc;
    int err = 0;
    std::string info;
    if (!jsonResult(*f, err, info)) {
        m_output.fail(cmd + ": the server's answer is not JSON");
        return 1;
    }
    CtlRecord r;
    r.add("path", path).add("err", err).add("info", info);
    if (err != 0) {
        if (m_output.json())
            m_output.print(info, r);
        m_output.fail(cmd + " " + path + ": " + info);
        return 1;
    }
    m_output.print(info, r);
    return 0;
}

int CtlCommands::put() {
    const std::string &local = m_options.args[0];
    const std::string &remote = m_options.args[1];
    if (remote.empty() || remote.size() > 255)
        return usage("the server file name must be 1 to 255 bytes long");
    uint64_t size = 0;
    if (!localFileSize(local, size)) {
        m_output.fail("put: cannot read " + local);
        return 1;
    }
    if (size > 0x7FFFFFFFull) {
        m_output.fail("put: files above 2 GiB cannot be copied");
        return 1;
    }
    const std::string localMd5 = kvt::kvtMd5File(local);
    m_session.reset(new CtlSession(m_options, m_output));
    if (int rc = m_session->connect())
        return rc;
    CtlClient &c = m_session->client();
    c.QueryFileCreate(remote);
    FramePtr f;
    if (int rc = answer(kvt::CmdQueryFileCreate, f, "put"))
        return rc;
    int err = 0;
    std::string info;
    if (!jsonResult(*f, err, info) || err != 0) {
        m_output.fail("put: cannot create " + remote + ": " + info);
        return 1;
    }
    if (int rc = putBlocks(local, remote, size))
        return rc;
    m_output.endProgress();
    c.QueryFileMd5(remote);
    if (int rc = answer(kvt::CmdQueryFileMd5, f, "put"))
        return rc;
    const std::string serverMd5 = f->GetAsString();
    if (serverMd5 != localMd5) {
        m_output.fail("put: MD5 differs after the copy: local " + localMd5 + ", server " + serverMd5);
        return 1;
    }
    CtlRecord r;
    r.add("file", remote).add("bytes", double(size)).add("md5", serverMd5);
    m_output.print("copied " + std::to_string(size) + " bytes to " + remote + ", md5 " + serverMd5, r);
    return 0;
}

// Appends the local file to the server file block by block; one block is outstanding at a time:
// the next goes out when the server confirmed the last.
int CtlCommands::putBlocks(const std::string &local, const std::string &remote, uint64_t size) {
    CtlClient &c = m_session->client();
    FramePtr f;
    uint64_t sent = 0;
    while (sent < size) {
        const uint32_t n = uint32_t(std::min<uint64_t>(kCopyBlock, size - sent));
        if (c.QueryFileAppendData(remote, local, int(sent), n) != 0) {
            m_output.fail("put: cannot read " + local);
            return 1;
        }
        if (int rc = answer(kvt::CmdQueryFileAppendData, f, "put"))
            return rc;
        Json root = parseAnswer(*f);
        double wrote = jsonNumber(root.get(), "wrotebytes", -1);
        const int err = int(jsonNumber(root.get(), "err", 1));
        if (!root || err != 0 || wrote != double(n)) {
            m_output.fail("put: the server did not write the block at " + std::to_string(sent) + ": " +
                          (root ? jsonText(root.get(), "info") : std::string("no JSON answer")));
            return 1;
        }
        sent += n;
        m_output.progress("put", sent, size);
    }
    return 0;
}

int CtlCommands::exec() {
    std::string line;
    for (size_t i = 0; i < m_options.args.size(); ++i)
        line += (i ? " " : "") + m_options.args[i];
    m_session.reset(new CtlSession(m_options, m_output));
    if (int rc = m_session->connect())
        return rc;
    m_session->client().QueryExecuteCommandLine(line);
    FramePtr f;
    if (int rc = answer(kvt::CmdQueryExecuteCommandLine, f, "exec"))
        return rc;
    int err = 0;
    std::string info;
    if (!jsonResult(*f, err, info)) {
        m_output.fail("exec: the server's answer is not JSON");
        return 1;
    }
    CtlRecord r;
    r.add("cmd", line).add("err", err).add("info", info);
    m_output.print(info, r);
    if (err != 0) {
        m_output.fail("exec: \"" + line + "\" failed with err " + std::to_string(err));
        return 1;
    }
    return 0;
}

int CtlCommands::confirmSent(const char *what) {
    // Frames leave in order: the answer to a later query proves the earlier frame was sent.
    m_session->client().QuerySystemTimeStamp();
    FramePtr f;
    return answer(kvt::CmdQuerySystemTimeStamp, f, what);
}

int CtlCommands::broadcast() {
    std::string text;
    for (size_t i = 0; i < m_options.args.size(); ++i)
        text += (i ? " " : "") + m_options.args[i];
    m_session.reset(new CtlSession(m_options, m_output));
    if (int rc = m_session->connect())
        return rc;
    m_session->client().SendBroadcastData(text);
    if (int rc = confirmSent("broadcast"))
        return rc;
    CtlRecord r;
    r.add("sent", text);
    m_output.print("sent", r);
    return 0;
}

int CtlCommands::zephron() {
    std::string text;
    for (size_t i = 0; i < m_options.args.size(); ++i)
        text += (i ? " " : "") + m_options.args[i];
    m_session.reset(new CtlSession(m_options, m_output));
    if (int rc = m_session->connect())
        return rc;
    std::vector<unsigned char> frame = kvt::kvtZephronFrame::Build(
        kZephronTextType, 0, 0, reinterpret_cast<const uint8_t *>(text.data()), uint32_t(text.size()));
    m_session->client().SendZephronFrame(frame.data(), unsigned(frame.size()), false);
    int answers = 0;
    const auto end = Clock::now() + std::chrono::seconds(m_options.timeoutSeconds);
    CtlEvent e;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            break;
        CtlSession::Wait w = m_session->waitFor(e, int(left));
        if (w == CtlSession::Lost)
            return lost("zephron");
        if (w != CtlSession::Got || e.type != CtlEvent::Frame)
            continue;
        const kvtIOlmoFrame &f = *e.frame;
        if (f.GetCode() != kvt::CmdSendZephronFrame || f.GetType() != kvt::kvtTypeData)
            continue;
        // Only valid frames with code 0 and a payload carry a text message.
        const kvt::kvtZephronFrame z(f.GetAsData(), f.GetDataLength());
        if (z.GetProblem() || z.GetCode() != 0 || !z.HasPayload())
            continue;
        std::string message = z.GetPayloadText();
        CtlRecord r;
        r.add("message", message);
        m_output.print(message, r);
        ++answers;
    }
    if (answers == 0) {
        m_output.fail("zephron: no text answer within " + std::to_string(m_options.timeoutSeconds) + " s");
        return 1;
    }
    return 0;
}

int CtlCommands::busDebug() {
    const std::string &v = m_options.args[0];
    if (v != "on" && v != "off")
        return usage("bus-debug takes on or off");
    m_session.reset(new CtlSession(m_options, m_output));
    if (int rc = m_session->connect())
        return rc;
    m_session->client().SendEnableRawBusMessage(v == "on" ? 1 : 0);
    FramePtr f;
    if (int rc = answer(kvt::CmdEnableRawBusMessage, f, "bus-debug"))
        return rc;
    bool on = f->GetAsUChar() != 0;
    CtlRecord r;
    r.addBool("enabled", on);
    m_output.print(std::string("bus debug ") + (on ? "on" : "off"), r);
    return 0;
}

// ---- configuration transfer ------------------------------------------------------------------

int CtlCommands::download() {
    const std::string &target = m_options.args[0];
    // The client writes a new file of a random name beside the target and replaces the target
    // only with a verified copy; a failed or stopped download removes it.
    m_session.reset(new CtlSession(m_options, m_output));
    if (int rc = m_session->connect())
        return rc;
    if (m_session->client().QueryDownloadConfiguration(target, "") != 0) {
        m_output.fail("download: could not start");
        return 1;
    }
    CtlEvent e;
    // The client ends a transfer that gets no answer within the time-out, with its reason;
    // this wait is only the last resort.
    const auto slack = std::chrono::seconds(5);
    auto until = m_session->deadline() + slack;
    for (;;) {
        CtlSession::Wait w = m_session->wait(e, until);
        if (w != CtlSession::Got) {
            m_session->client().Stop();
            return w == CtlSession::Lost ? lost("download") : timedOut("download");
        }
        if (e.type != CtlEvent::Download)
            continue;
        until = m_session->deadline() + slack;
        const kvt::kvtDownloadProgress &d = e.download;
        m_output.progress("download", d.GetReceivedBytes(), d.GetServerBytes());
        if (!d.IsEnd())
            continue;
        m_output.endProgress();
        if (d.GetError() != 0) {
            m_output.fail("download: " + d.GetInfo());
            return 1;
        }
        CtlRecord r;
        r.add("file", target).add("bytes", d.GetReceivedBytes()).add("md5", d.GetServerMd5File());
        m_output.print("downloaded " + std::to_string(d.GetReceivedBytes()) + " bytes into " + target +
                           ", md5 " + d.GetServerMd5File(),
                       r);
        return 0;
    }
}

int CtlCommands::upload() {
    const std::string &file = m_options.args[0];
    uint64_t size = 0;
    if (!localFileSize(file, size)) {
        m_output.fail("upload: cannot read " + file);
        return 1;
    }
    if (size == 0) {
        m_output.fail("upload: " + file + " is empty; an empty database is not sent");
        return 1;
    }
    m_session.reset(new CtlSession(m_options, m_output));
    if (int rc = m_session->connect())
        return rc;
    if (m_session->client().QueryUploadConfiguration(file, kUploadChunk) != 0) {
        m_output.fail("upload: could not start");
        return 1;
    }
    CtlEvent e;
    // As for the download: the client's own transfer time-out ends a silent upload first.
    const auto slack = std::chrono::seconds(5);
    auto until = m_session->deadline() + slack;
    for (;;) {
        CtlSession::Wait w = m_session->wait(e, until);
        if (w == CtlSession::Lost)
            return lost("upload");
        if (w == CtlSession::TimedOut)
            return timedOut("upload");
        if (e.type != CtlEvent::Upload)
            continue;
        until = m_session->deadline() + slack;
        const kvt::kvtUploadProgress &u = e.upload;
        m_output.progress("upload", u.GetSentBytes(), u.GetClientBytes());
        if (!u.IsEnd())
            continue;
        m_output.endProgress();
        if (u.GetError() != 0) {
            m_output.fail("upload: " + u.GetInfo());
            return 1;
        }
        const bool skipped = u.GetInfo().find("Same, upload not necessary") != std::string::npos;
        CtlRecord r;
        r.add("file", file).add("bytes", u.GetSentBytes()).add("md5", u.GetClientMd5File());
        r.addBool("skipped", skipped);
        m_output.print(skipped ? "skipped: the server already has this database, md5 " + u.GetClientMd5File()
                               : "uploaded " + std::to_string(u.GetSentBytes()) + " bytes, md5 " +
                                     u.GetClientMd5File(),
                       r);
        return 0;
    }
}
