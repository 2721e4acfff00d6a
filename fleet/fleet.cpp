#include "fleet.h"

#include <kvt_olmocodes.h>
#include <kvt_olmotcpclientvyx.h>

#include <cjson/cJSON.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

namespace {

const size_t kMaxSitesFile = 1024 * 1024;
const size_t kMaxSites = 1000;
const size_t kMaxSecret = 1024;

std::string member(cJSON *o, const char *name) {
    cJSON *item = cJSON_GetObjectItemCaseSensitive(o, name);
    return cJSON_IsString(item) && item->valuestring ? item->valuestring : std::string();
}

// The protocol client with its events copied into a queue that the backing-up thread drains.
class FleetClient : public kvt::kvtOlmoTcpClientVyx {
public:
    struct Event {
        enum Type { Ready, Connection, Version, Download } type = Ready;
        int socketState = 0;
        int connectionState = 0;
        std::string text;
        kvt::kvtDownloadProgress download;
    };

    ~FleetClient() override { Stop(); }

    bool next(Event &out, Clock::time_point until) {
        std::unique_lock<std::mutex> guard(m_lock);
        if (!m_wake.wait_until(guard, until, [this] { return !m_events.empty(); }))
            return false;
        out = std::move(m_events.front());
        m_events.pop_front();
        return true;
    }

    void OnReady() override { push(Event{}); }
    void OnConnection(kvt::kvtOlmoTcpClient *, int socketState, int connectionState) override {
        Event e;
        e.type = Event::Connection;
        e.socketState = socketState;
        e.connectionState = connectionState;
        push(std::move(e));
    }
    void OnRead(const kvt::kvtIOlmoFrame *f) override {
        // Only the version answer matters here; heartbeat and parameter traffic are dropped.
        if (!f || f->GetCode() != kvt::CmdQueryServerVersion || f->GetKind() != kvt::kvtOlmoKindResponse ||
            f->GetType() != kvt::kvtTypeString)
            return;
        Event e;
        e.type = Event::Version;
        const char *text = f->GetAsString();
        e.text = text ? std::string(text).substr(0, 200) : std::string();
        push(std::move(e));
    }
    void OnDownloadConfiguration(const kvt::kvtDownloadProgress &p) override {
        Event e;
        e.type = Event::Download;
        e.download = p;
        push(std::move(e));
    }

private:
    void push(Event e) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_events.push_back(std::move(e));
        }
        m_wake.notify_one();
    }

    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<Event> m_events;
};

std::string refusal(int connectionState) {
    using State = kvt::kvtOlmoConnectionState;
    switch (State(connectionState)) {
    case State::MaxClients:
        return "the server has reached its client limit";
    case State::AuthFailed:
        return "login refused: authentication failed";
    case State::SocketError:
        return "socket error";
    case State::TimeOut:
        return "time-out while sending";
    case State::TooSlow:
        return "connection too slow";
    case State::InvalidData:
        return "invalid data";
    case State::ClosedByHost:
        return "closed by the server";
    default:
        break;
    }
    return "connection state " + std::to_string(connectionState);
}

bool refusedLogin(const FleetClient::Event &e) {
    return kvt::kvtOlmoIsRefusedLogin(kvt::kvtSocketState(e.socketState),
                                      kvt::kvtOlmoConnectionState(e.connectionState));
}

bool lostEvent(const FleetClient::Event &e) {
    return refusedLogin(e) || kvt::kvtOlmoIsLoss(kvt::kvtSocketState(e.socketState),
                                                 kvt::kvtOlmoConnectionState(e.connectionState));
}

} // namespace

bool readSecretFile(const std::string &path, std::string &secret, std::string &error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        error = "cannot open the password file " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = "the password file " + path + " is not a regular file";
        return false;
    }
    if ((st.st_mode & 077) != 0 || st.st_uid != ::geteuid()) {
        ::close(fd);
        error = "the password file " + path + " must belong to you and be readable by you alone (chmod 600)";
        return false;
    }
    char buffer[kMaxSecret + 1];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (n < 0 || size_t(n) > kMaxSecret) {
        error =
            n < 0 ? "cannot read the password file " + path : "the password file " + path + " is too long";
        return false;
    }
    secret.assign(buffer, size_t(n));
    secret = secret.substr(0, secret.find('\n'));
    if (!secret.empty() && secret.back() == '\r')
        secret.pop_back();
    return true;
}

bool parseFleetSites(const std::string &text, const std::string &dir, std::vector<FleetSite> &sites,
                     std::string &error) {
    sites.clear();
    cJSON *root = cJSON_ParseWithLength(text.data(), text.size());
    if (!root) {
        error = "the sites file is not JSON";
        return false;
    }
    std::unique_ptr<cJSON, void (*)(cJSON *)> hold(root, cJSON_Delete);
    cJSON *list = cJSON_IsArray(root) ? root : cJSON_GetObjectItemCaseSensitive(root, "sites");
    if (!cJSON_IsArray(list)) {
        error = "the sites file holds no list of sites (\"sites\": [...])";
        return false;
    }
    int index = 0;
    cJSON *item = nullptr;
    cJSON_ArrayForEach(item, list) {
        ++index;
        const std::string where = "site " + std::to_string(index);
        if (sites.size() >= kMaxSites) {
            error = "more than " + std::to_string(kMaxSites) + " sites";
            return false;
        }
        if (!cJSON_IsObject(item)) {
            error = where + " is not an object";
            return false;
        }
        FleetSite s;
        s.host = member(item, "host");
        s.name = member(item, "name").substr(0, 100);
        if (s.host.empty() || s.host.size() > 253) {
            error = where + " has no valid \"host\"";
            return false;
        }
        cJSON *port = cJSON_GetObjectItemCaseSensitive(item, "port");
        if (port) {
            const double p = cJSON_IsNumber(port)   ? port->valuedouble
                             : cJSON_IsString(port) ? std::atof(port->valuestring)
                                                    : -1;
            if (p < 1 || p > 65535 || p != double(int(p))) {
                error = where + " (" + s.host + ") has an invalid port";
                return false;
            }
            s.port = int(p);
        }
        if (cJSON_GetObjectItemCaseSensitive(item, "user"))
            s.user = member(item, "user").substr(0, 100);
        if (cJSON_GetObjectItemCaseSensitive(item, "password")) {
            error = where + " (" + s.host + ") has a \"password\": give passwordEnv or passwordFile instead";
            return false;
        }
        const std::string env = member(item, "passwordEnv");
        const std::string file = member(item, "passwordFile");
        if (!file.empty()) {
            const std::string path = file[0] == '/' || dir.empty() ? file : dir + "/" + file;
            if (!readSecretFile(path, s.password, error))
                return false;
        } else if (!env.empty()) {
            const char *v = std::getenv(env.c_str());
            if (!v) {
                error = where + " (" + s.host + "): the variable " + env + " is not set";
                return false;
            }
            s.password = v;
        } else if (const char *v = std::getenv("VYX_PASSWORD")) {
            s.password = v;
        } else {
            s.password = "admin";
        }
        if (s.name.empty())
            s.name = s.host + ":" + std::to_string(s.port);
        sites.push_back(std::move(s));
    }
    return true;
}

bool readFleetSites(const std::string &path, std::vector<FleetSite> &sites, std::string &error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read the sites file " + path;
        return false;
    }
    std::string text(kMaxSitesFile + 1, '\0');
    in.read(&text[0], std::streamsize(text.size()));
    text.resize(size_t(in.gcount()));
    if (text.size() > kMaxSitesFile) {
        error = "the sites file " + path + " is larger than 1 MiB";
        return false;
    }
    const size_t slash = path.rfind('/');
    return parseFleetSites(text, slash == std::string::npos ? std::string(".") : path.substr(0, slash), sites,
                           error);
}

std::string fleetResultText(const FleetResult &result) {
    return result.ok ? "MD5 " + result.entry.md5 + ", " + std::to_string(result.entry.size) + " bytes"
                     : result.reason;
}

FleetProbe probeSite(const std::string &host, int port, int timeoutMs) {
    FleetProbe probe;
    const auto start = Clock::now();
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0 || !found) {
        probe.reason = std::string("unknown host: ") + ::gai_strerror(rc);
        return probe;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo *)> hold(found, ::freeaddrinfo);
    const int fd = ::socket(found->ai_family, found->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        probe.reason = std::string("socket: ") + std::strerror(errno);
        return probe;
    }
    int err = 0;
    if (::connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
        err = errno;
        if (err == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            const int ready = ::poll(&p, 1, timeoutMs);
            socklen_t len = sizeof err;
            if (ready == 0)
                err = ETIMEDOUT;
            else if (ready < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                err = errno;
        }
    }
    ::close(fd);
    probe.milliseconds =
        int(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    probe.reachable = err == 0;
    if (err == ETIMEDOUT)
        probe.reason = "no answer within " + std::to_string(timeoutMs) + " ms";
    else if (err != 0)
        probe.reason = std::strerror(err);
    return probe;
}

FleetResult backupSite(const FleetSite &site, const Vault &vault, const FleetOptions &options,
                       const std::function<void(const std::string &, double)> &progress) {
    FleetResult result;
    result.site = site;
    const auto started = Clock::now();
    auto say = [&](const char *phase, double fraction) {
        if (progress)
            progress(phase, fraction);
    };
    auto finish = [&](bool ok, const std::string &reason) {
        result.ok = ok;
        result.reason = reason;
        result.seconds = std::chrono::duration<double>(Clock::now() - started).count();
        say(ok ? "done" : "failed", ok ? 1.0 : 0.0);
        return result;
    };
    const auto timeout = std::chrono::seconds(options.timeoutSeconds);
    say("connecting", 0);
    FleetClient client;
    client.SetTransferTimeOut(unsigned(options.timeoutSeconds) * 1000u);
    if (client.Start(site.host, site.port, site.user, site.password) != 0)
        return finish(false, "the client did not start");
    FleetClient::Event e;
    std::string last = "no answer";
    bool ready = false;
    const auto connectBy = Clock::now() + timeout;
    while (!ready && client.next(e, connectBy)) {
        if (e.type == FleetClient::Event::Ready) {
            ready = true;
        } else if (e.type == FleetClient::Event::Connection) {
            if (refusedLogin(e))
                return finish(false, refusal(e.connectionState));
            last = kvt::kvtSocketState(e.socketState) == kvt::kvtSocketState::Unreachable
                       ? std::string("host unreachable")
                       : refusal(e.connectionState);
        }
    }
    if (!ready && !client.IsReady())
        return finish(false,
                      "could not connect within " + std::to_string(options.timeoutSeconds) + " s: " + last);

    // The version goes into the manifest; a server that does not answer it is still backed up. It is
    // asked before the download, which takes every frame of the monitor channel while it runs.
    std::string version;
    client.QueryServerVersion();
    const auto versionBy = Clock::now() + std::min<Clock::duration>(timeout, std::chrono::seconds(5));
    while (version.empty() && client.next(e, versionBy)) {
        if (e.type == FleetClient::Event::Version)
            version = e.text.empty() ? "?" : e.text;
        else if (e.type == FleetClient::Event::Connection && lostEvent(e))
            return finish(false, "connection lost after the login (" + refusal(e.connectionState) + ")");
    }
    if (version == "?")
        version.clear();
    std::string error;
    const std::string part = vault.partPath(site.host, site.port, error);
    if (part.empty())
        return finish(false, error);
    if (client.QueryDownloadConfiguration(part, "") != 0)
        return finish(false, "the download did not start");
    say("downloading", 0);
    // The client ends a silent transfer itself; this bound is only the last resort.
    auto until = Clock::now() + timeout + std::chrono::seconds(5);
    for (;;) {
        if (!client.next(e, until)) {
            client.Stop();
            ::unlink(part.c_str());
            return finish(false, "no answer from the server within " +
                                     std::to_string(options.timeoutSeconds) + " s");
        }
        if (e.type == FleetClient::Event::Connection && lostEvent(e)) {
            client.Stop();
            ::unlink(part.c_str());
            return finish(false, "connection lost during the download (" + refusal(e.connectionState) + ")");
        }
        if (e.type != FleetClient::Event::Download)
            continue;
        until = Clock::now() + timeout + std::chrono::seconds(5);
        const kvt::kvtDownloadProgress &d = e.download;
        if (!d.IsEnd()) {
            say("downloading", d.GetServerBytes() ? double(d.GetReceivedBytes()) / d.GetServerBytes() : 0.0);
            continue;
        }
        if (d.GetError() != 0) {
            ::unlink(part.c_str());
            return finish(false, "download failed: " + d.GetInfo());
        }
        client.Stop();
        const int64_t now = int64_t(std::time(nullptr));
        if (!vault.add(site.name, site.host, site.port, part, d.GetServerMd5File(), version, now,
                       options.keep, result.entry, error))
            return finish(false, error);
        return finish(true, std::string());
    }
}

std::vector<FleetResult> backupFleet(const std::vector<FleetSite> &sites, const Vault &vault,
                                     const FleetOptions &options, const FleetProgress &progress,
                                     const FleetSiteDone &siteDone) {
    std::vector<FleetResult> results(sites.size());
    std::atomic<size_t> nextSite{0};
    auto worker = [&] {
        for (size_t i = nextSite++; i < sites.size(); i = nextSite++) {
            results[i] =
                backupSite(sites[i], vault, options, [&progress, i](const std::string &phase, double f) {
                    if (progress)
                        progress(i, phase, f);
                });
            if (siteDone)
                siteDone(i, results[i]);
        }
    };
    const size_t count = std::min(sites.size(), size_t(std::max(1, options.parallel)));
    std::vector<std::thread> threads;
    for (size_t t = 1; t < count; ++t)
        threads.emplace_back(worker);
    worker();
    for (std::thread &t : threads)
        t.join();
    return results;
}
