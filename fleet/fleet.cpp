#include "fleet.h"

#include "secretsource.h"
#include "sshtunnel.h"

#include <kvt_olmocodes.h>
#include <kvt_olmotcpclientvyx.h>
#include <kvt_ostcpsocket.h>

#include <cjson/cJSON.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
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
// Waits go in slices this long, so that a cancel is seen soon.
const int kCancelSliceMs = 100;

bool isCancelled(const std::atomic<bool> *cancel) {
    return cancel && cancel->load();
}

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

    // The next event; false when `until` passed, or *cancel held, before one came.
    bool next(Event &out, Clock::time_point until, const std::atomic<bool> *cancel) {
        std::unique_lock<std::mutex> guard(m_lock);
        while (m_events.empty()) {
            const Clock::time_point now = Clock::now();
            if (isCancelled(cancel) || now >= until)
                return false;
            m_wake.wait_until(guard, std::min(until, now + std::chrono::milliseconds(kCancelSliceMs)));
        }
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

namespace {

// A site's port: a number or a numeric text, 1 to 65535; 0 when absent, -1 when invalid.
int sitePort(cJSON *item) {
    cJSON *port = cJSON_GetObjectItemCaseSensitive(item, "port");
    if (!port)
        return 0;
    const double p = cJSON_IsNumber(port)   ? port->valuedouble
                     : cJSON_IsString(port) ? std::atof(port->valuestring)
                                            : -1;
    return p < 1 || p > 65535 || p != double(int(p)) ? -1 : int(p);
}

// The folder a path names, with every link resolved; empty when it does not exist.
std::string realFolder(const std::string &path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

bool inside(const std::string &path, const std::string &folder) {
    return !folder.empty() &&
           (path == folder || (path.compare(0, folder.size() + 1, folder + "/") == 0) || folder == "/");
}

// A password file named in a sites file lies inside the sites file's folder (or below it) or under
// $CREDENTIALS_DIRECTORY, wherever links in its folder lead; the file itself is opened without
// following a link. Anything else is refused.
bool sitePasswordFile(const std::string &where, const std::string &file, const std::string &dir,
                      std::string &secret, std::string &error) {
    const std::string path = file[0] == '/' ? file : (dir.empty() ? std::string(".") : dir) + "/" + file;
    const size_t slash = path.rfind('/');
    const std::string name = path.substr(slash + 1);
    const std::string folder = realFolder(slash == 0 ? std::string("/") : path.substr(0, slash));
    if (folder.empty()) {
        error = where + ": cannot find the folder of the password file " + file + ": " + std::strerror(errno);
        return false;
    }
    const bool credential = inside(folder, realFolder(credentialsDirectory()));
    if (name.empty() || name == "." || name == ".." ||
        (!credential && !inside(folder, realFolder(dir.empty() ? std::string(".") : dir)))) {
        error = where + ": the password file " + file +
                " is refused: a sites file may name password files only inside its own folder or under "
                "$CREDENTIALS_DIRECTORY";
        return false;
    }
    return credential ? readCredentialFile(folder + "/" + name, secret, error)
                      : readSecretFile(folder + "/" + name, secret, error);
}

// A site's password comes from its own source, never from the sites file itself and never from a
// source shared with other sites: a changed sites file cannot send one site's password to another
// host.
bool sitePassword(cJSON *item, const std::string &where, const std::string &dir, FleetSite &s,
                  std::string &error) {
    if (cJSON_GetObjectItemCaseSensitive(item, "password")) {
        error = where + " (" + s.host +
                ") has a \"password\": give passwordEnv or passwordFile (or a credential) instead";
        return false;
    }
    const std::string file = member(item, "passwordFile");
    const std::string credential = member(item, "credential");
    const std::string env = member(item, "passwordEnv");
    if (int(!file.empty()) + int(!credential.empty()) + int(!env.empty()) > 1) {
        error = where + " (" + s.host + ") names more than one of passwordFile, credential and passwordEnv";
        return false;
    }
    if (!file.empty())
        return sitePasswordFile(where + " (" + s.host + ")", file, dir, s.password, error);
    if (!credential.empty()) {
        if (credentialsDirectory().empty()) {
            s.passwordMissing =
                "no password (the credential " + credential + " is loaded only by the service)";
            return true;
        }
        return readCredential(credential, s.password, error);
    }
    if (!env.empty()) {
        const char *v = std::getenv(env.c_str());
        if (!v) {
            error = where + " (" + s.host + "): the variable " + env + " is not set";
            return false;
        }
        s.password = v;
        return true;
    }
    s.passwordMissing = "no password";
    return true;
}

bool parseSite(cJSON *item, const std::string &where, const std::string &dir, FleetSite &s,
               std::string &error) {
    if (!cJSON_IsObject(item)) {
        error = where + " is not an object";
        return false;
    }
    s.host = member(item, "host");
    s.name = member(item, "name").substr(0, 100);
    if (s.host.empty() || s.host.size() > 253) {
        error = where + " has no valid \"host\"";
        return false;
    }
    const int port = sitePort(item);
    if (port < 0) {
        error = where + " (" + s.host + ") has an invalid port";
        return false;
    }
    if (port > 0)
        s.port = port;
    if (cJSON_GetObjectItemCaseSensitive(item, "user"))
        s.user = member(item, "user").substr(0, 100);
    s.tunnel = member(item, "tunnel");
    SshDestination through;
    if (!s.tunnel.empty() && !parseSshUrl(s.tunnel, through, error)) {
        error = where + " (" + s.host + "): " + error;
        return false;
    }
    if (!sitePassword(item, where, dir, s, error))
        return false;
    if (s.name.empty())
        s.name = s.host + ":" + std::to_string(s.port);
    return true;
}

} // namespace

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
    cJSON *item = nullptr;
    cJSON_ArrayForEach(item, list) {
        if (sites.size() >= kMaxSites) {
            error = "more than " + std::to_string(kMaxSites) + " sites";
            return false;
        }
        FleetSite s;
        if (!parseSite(item, "site " + std::to_string(sites.size() + 1), dir, s, error))
            return false;
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

namespace {

// Waits for a connect under way: 0 when it is made, else the errno (ECANCELED when cancelled).
int awaitConnect(int fd, int timeoutMs, const std::atomic<bool> *cancel) {
    const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (isCancelled(cancel))
            return ECANCELED;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0)
            return ETIMEDOUT;
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, int(std::min<long long>(left, kCancelSliceMs)));
        if (ready < 0 && errno != EINTR)
            return errno;
        if (ready <= 0)
            continue;
        int err = 0;
        socklen_t len = sizeof err;
        return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 ? err : errno;
    }
}

} // namespace

FleetProbe probeSite(const std::string &host, int port, int timeoutMs, const std::atomic<bool> *cancel) {
    FleetProbe probe;
    const auto start = Clock::now();
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(uint16_t(port));
    if (!kvt::kvtOsResolveIPv4(host, &target.sin_addr)) {
        probe.reason = "unknown host: it has no IPv4 address (the server is reached over IPv4 only)";
        return probe;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        probe.reason = std::string("socket: ") + std::strerror(errno);
        return probe;
    }
    int err = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&target), sizeof target) != 0) {
        err = errno;
        if (err == EINPROGRESS)
            err = awaitConnect(fd, timeoutMs, cancel);
    }
    ::close(fd);
    probe.milliseconds =
        int(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    probe.reachable = err == 0;
    if (err == ETIMEDOUT)
        probe.reason = "no answer within " + std::to_string(timeoutMs) + " ms";
    else if (err == ECANCELED)
        probe.reason = "cancelled";
    else if (err != 0)
        probe.reason = std::strerror(err);
    return probe;
}

void runBounded(size_t count, int parallel, const std::function<void(size_t index)> &job) {
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t i = next++; i < count; i = next++)
            job(i);
    };
    const size_t threads = std::min(count, size_t(std::max(1, parallel)));
    std::vector<std::thread> started;
    for (size_t t = 1; t < threads; ++t)
        started.emplace_back(worker);
    worker();
    for (std::thread &t : started)
        t.join();
}

std::vector<FleetProbe> probeSites(const std::vector<FleetSite> &sites, int timeoutMs,
                                   const std::atomic<bool> *cancel,
                                   const std::function<void(size_t, const FleetProbe &)> &each) {
    std::vector<FleetProbe> probes(sites.size());
    runBounded(sites.size(), kFleetProbeParallel, [&](size_t i) {
        probes[i] = sites[i].port > 0 ? probeSite(sites[i].host, sites[i].port, timeoutMs, cancel)
                                      : FleetProbe{false, 0, "invalid port"};
        if (each)
            each(i, probes[i]);
    });
    return probes;
}

namespace {

// One site's backup, step by step: log in, ask the server's version, download into the vault.
// Each step returns false with the reason the site failed.
class SiteBackup {
public:
    using Progress = std::function<void(const std::string &, double)>;

    SiteBackup(const FleetSite &site, const Vault &vault, const FleetOptions &options,
               const Progress &progress)
        : m_site(site), m_vault(vault), m_options(options), m_progress(progress),
          m_timeout(std::chrono::seconds(options.timeoutSeconds)), m_tunnel(options.sshConfig) {}

    FleetResult run() {
        const auto started = Clock::now();
        std::string reason;
        const bool ok = logIn(reason) && askVersion(reason) && download(reason);
        m_result.site = m_site;
        m_result.ok = ok;
        m_result.reason = ok ? std::string() : reason;
        m_result.seconds = std::chrono::duration<double>(Clock::now() - started).count();
        say(ok ? "done" : "failed", ok ? 1.0 : 0.0);
        return m_result;
    }

private:
    void say(const char *phase, double fraction) {
        if (m_progress)
            m_progress(phase, fraction);
    }

    bool next(FleetClient::Event &e, Clock::time_point until) {
        return m_client.next(e, until, m_options.cancel);
    }

    // A cancel ends the site where it stands; true (with the reason) when it came.
    bool cancelled(std::string &reason) const {
        if (!isCancelled(m_options.cancel))
            return false;
        reason = "cancelled";
        return true;
    }

    bool logIn(std::string &reason) {
        if (!m_site.passwordMissing.empty()) {
            reason = m_site.passwordMissing;
            return false;
        }
        if (cancelled(reason))
            return false;
        say("connecting", 0);
        std::string host = m_site.host;
        int port = m_site.port;
        if (!m_site.tunnel.empty()) {
            if (!m_tunnel.start(m_site.tunnel, host, port, m_options.timeoutSeconds * 1000, reason)) {
                reason = "tunnel: " + reason;
                return false;
            }
            host = "127.0.0.1";
            port = m_tunnel.localPort();
        }
        m_client.SetTransferTimeOut(unsigned(m_options.timeoutSeconds) * 1000u);
        if (m_client.Start(host, port, m_site.user, m_site.password) != 0) {
            reason = "the client did not start";
            return false;
        }
        FleetClient::Event e;
        std::string last = "no answer";
        const auto connectBy = Clock::now() + m_timeout;
        while (next(e, connectBy)) {
            if (e.type == FleetClient::Event::Ready)
                return true;
            if (e.type != FleetClient::Event::Connection)
                continue;
            if (refusedLogin(e)) {
                reason = refusal(e.connectionState);
                return false;
            }
            last = kvt::kvtSocketState(e.socketState) == kvt::kvtSocketState::Unreachable
                       ? std::string("host unreachable")
                       : refusal(e.connectionState);
        }
        if (cancelled(reason))
            return false;
        if (m_client.IsReady())
            return true;
        reason = "could not connect within " + std::to_string(m_options.timeoutSeconds) + " s: " + last;
        return false;
    }

    // The version goes into the manifest; a server that does not answer it is still backed up. It
    // is asked before the download, which takes every frame of the monitor channel while it runs.
    bool askVersion(std::string &reason) {
        m_client.QueryServerVersion();
        FleetClient::Event e;
        const auto versionBy = Clock::now() + std::min<Clock::duration>(m_timeout, std::chrono::seconds(5));
        while (m_version.empty() && next(e, versionBy)) {
            if (e.type == FleetClient::Event::Version) {
                m_version = e.text.empty() ? "?" : e.text;
            } else if (e.type == FleetClient::Event::Connection && lostEvent(e)) {
                reason = "connection lost after the login (" + refusal(e.connectionState) + ")";
                return false;
            }
        }
        if (m_version == "?")
            m_version.clear();
        return !cancelled(reason);
    }

    bool download(std::string &reason) {
        const std::string part = m_vault.partPath(m_site.host, m_site.port, reason);
        if (part.empty())
            return false;
        if (m_client.QueryDownloadConfiguration(part, "") != 0) {
            reason = "the download did not start";
            return false;
        }
        say("downloading", 0);
        kvt::kvtDownloadProgress end;
        if (!awaitDownloadEnd(end, reason) || end.GetError() != 0) {
            m_client.Stop();
            ::unlink(part.c_str());
            if (reason.empty())
                reason = "download failed: " + end.GetInfo();
            return false;
        }
        m_client.Stop();
        const int64_t now = int64_t(std::time(nullptr));
        // The end record carries the digest of what the download wrote: the copy is not read again.
        if (!m_vault.add(m_site.name, m_site.host, m_site.port, part, end.GetServerMd5File(), m_version, now,
                         m_options.keep, m_result.entry, reason, end.GetClientMd5File()))
            return false;
        // The server sent what it has, and that is no backup: kept to be looked at, not counted.
        if (!m_result.entry.suspect.empty()) {
            reason = "suspect copy kept: " + m_result.entry.suspect + " (MD5 " + m_result.entry.md5 +
                     "); it does not count as a backup, the last verified copy stays";
            return false;
        }
        return true;
    }

    // Reports the download's progress until its end record; false (with the reason) when the
    // connection is lost or the server falls silent. The client ends a silent transfer itself;
    // this bound is only the last resort.
    bool awaitDownloadEnd(kvt::kvtDownloadProgress &end, std::string &reason) {
        FleetClient::Event e;
        auto until = Clock::now() + m_timeout + std::chrono::seconds(5);
        for (;;) {
            if (!next(e, until)) {
                if (cancelled(reason))
                    return false;
                reason =
                    "no answer from the server within " + std::to_string(m_options.timeoutSeconds) + " s";
                return false;
            }
            if (e.type == FleetClient::Event::Connection && lostEvent(e)) {
                reason = "connection lost during the download (" + refusal(e.connectionState) + ")";
                return false;
            }
            if (e.type != FleetClient::Event::Download)
                continue;
            until = Clock::now() + m_timeout + std::chrono::seconds(5);
            const kvt::kvtDownloadProgress &d = e.download;
            if (d.IsEnd()) {
                end = d;
                return true;
            }
            say("downloading", d.GetServerBytes() ? double(d.GetReceivedBytes()) / d.GetServerBytes() : 0.0);
        }
    }

    const FleetSite &m_site;
    const Vault &m_vault;
    const FleetOptions &m_options;
    const Progress &m_progress;
    const Clock::duration m_timeout;
    SshTunnel m_tunnel; // outlives the client, which is stopped first
    FleetClient m_client;
    std::string m_version;
    FleetResult m_result;
};

} // namespace

FleetResult backupSite(const FleetSite &site, const Vault &vault, const FleetOptions &options,
                       const std::function<void(const std::string &, double)> &progress) {
    return SiteBackup(site, vault, options, progress).run();
}

std::vector<FleetResult> backupFleet(const std::vector<FleetSite> &sites, const Vault &vault,
                                     const FleetOptions &options, const FleetProgress &progress,
                                     const FleetSiteDone &siteDone) {
    std::vector<FleetResult> results(sites.size());
    runBounded(sites.size(), options.parallel, [&](size_t i) {
        results[i] = backupSite(sites[i], vault, options, [&progress, i](const std::string &phase, double f) {
            if (progress)
                progress(i, phase, f);
        });
        if (siteDone)
            siteDone(i, results[i]);
    });
    return results;
}
