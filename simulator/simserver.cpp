#include "simserver.h"

#include "simframes.h"
#include "simlog.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

using kvt::kvtOlmoFrame;

namespace {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_liveStop{false};

void onSignal(int) {
    g_stop = true;
}

void onLiveStop(int) {
    g_liveStop = true;
}

uint64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

const size_t kMaxSessions = 256;
const size_t kMaxOutput = 512u << 20; // a client that reads nothing is dropped beyond this
const size_t kMaxWaiting = 100000;    // answers held for a command channel without its pair
const size_t kReadChunk = 256 * 1024;
const size_t kReadPerRound = 8u << 20;
// Flood mode tops every monitor's queue up to this much, a batch at a time, so that answers to
// requests wait behind at most this many bytes and reads are served between batches.
const size_t kFloodQueued = 256 * 1024;
const size_t kFloodBatch = 2048;

bool isChannelCode(uint32_t code) {
    return code == kvt::CmdAuthenticationMonitor || code == kvt::CmdAuthenticationCommand ||
           code == kvt::CmdRelation;
}

void patchChecksum(std::string &frame) {
    frame[8] = char(kvt::kvtOlmoHeaderChecksum(reinterpret_cast<const uint8_t *>(frame.data())));
}

} // namespace

SimServer::SimServer(const SimOptions &options, const SimUsers &users, SimSandbox &sandbox,
                     SimParameters &parameters)
    : m_options(options), m_users(users), m_handler(options, sandbox, parameters, *this) {}

SimServer::~SimServer() {
    for (auto &s : m_sessions)
        ::close(s.first);
    if (m_listen >= 0)
        ::close(m_listen);
}

bool SimServer::listen() {
    m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listen < 0) {
        std::fprintf(stderr, "vyxsim: socket: %s\n", std::strerror(errno));
        return false;
    }
    int on = 1;
    setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(m_options.port));
    if (inet_pton(AF_INET, m_options.bind.c_str(), &a.sin_addr) != 1) {
        std::fprintf(stderr, "vyxsim: not an IPv4 address: %s\n", m_options.bind.c_str());
        return false;
    }
    if (bind(m_listen, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(m_listen, 64) != 0) {
        std::fprintf(stderr, "vyxsim: cannot listen on %s:%d: %s\n", m_options.bind.c_str(), m_options.port,
                     std::strerror(errno));
        return false;
    }
    socklen_t len = sizeof a;
    getsockname(m_listen, reinterpret_cast<sockaddr *>(&a), &len);
    m_port = ntohs(a.sin_port);
    return true;
}

// Handlers first: whoever read the port may stop the simulator at once.
void SimServer::installSignalHandlers() {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    struct sigaction live {};
    live.sa_handler = onLiveStop;
    sigemptyset(&live.sa_mask);
    sigaction(SIGUSR1, &live, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int SimServer::run() {
    installSignalHandlers();
    if (!listen())
        return 1;
    std::printf("LISTENING %d\n", m_port);
    std::fflush(stdout);
    SimLog::line("listening on " + m_options.bind + ":" + std::to_string(m_port));

    if (m_options.discovery)
        m_discovery.open(m_options.name, m_options.bind, m_port);

    uint64_t nextTick = nowMs() + 1000;
    m_liveStart = nowMs();
    std::vector<pollfd> fds;
    while (!g_stop) {
        const uint64_t now = nowMs();
        const int wait = pushLive(now);
        fillPollSet(fds, now);
        // Short waits keep delayed answers (--slow) and the one-second tick on time.
        int ready = poll(fds.data(), fds.size(), wait);
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "vyxsim: poll: %s\n", std::strerror(errno));
            return 1;
        }
        handleReady(fds);
        const uint64_t after = nowMs();
        flushSessions(after);
        if (after >= nextTick) {
            nextTick = after + 1000;
            tick();
        }
        dropClosed();
    }
    SimLog::line("stopping");
    return 0;
}

void SimServer::fillPollSet(std::vector<pollfd> &fds, uint64_t now) const {
    fds.clear();
    fds.push_back({m_listen, POLLIN, 0});
    if (m_discovery.multicastFd() >= 0)
        fds.push_back({m_discovery.multicastFd(), POLLIN, 0});
    if (m_discovery.broadcastFd() >= 0)
        fds.push_back({m_discovery.broadcastFd(), POLLIN, 0});
    for (auto &e : m_sessions) {
        short events = e.second->closeWhenFlushed ? 0 : POLLIN;
        if (e.second->hasDueOutput(now))
            events |= POLLOUT;
        fds.push_back({e.first, events, 0});
    }
}

void SimServer::handleReady(const std::vector<pollfd> &fds) {
    for (const pollfd &p : fds) {
        if (!p.revents)
            continue;
        if (p.fd == m_listen) {
            acceptAll();
        } else if (p.fd == m_discovery.multicastFd() || p.fd == m_discovery.broadcastFd()) {
            m_discovery.handleReadable(p.fd);
        } else {
            auto it = m_sessions.find(p.fd);
            if (it == m_sessions.end() || it->second->closed)
                continue;
            if (p.revents & (POLLIN | POLLHUP | POLLERR))
                readFrom(*it->second);
        }
    }
}

void SimServer::flushSessions(uint64_t now) {
    for (auto &e : m_sessions) {
        SimSession &s = *e.second;
        if (s.closed)
            continue;
        if (!s.flush(now)) {
            SimLog::line(s.label() + ": connection lost while sending");
            s.closed = true;
        } else if (s.closeWhenFlushed && s.outputBytes == 0) {
            s.closed = true;
        }
    }
}

void SimServer::acceptAll() {
    for (;;) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int fd = accept4(m_listen, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        char text[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        std::string name = std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
        if (m_sessions.size() >= kMaxSessions) {
            SimLog::line("connection from " + name + " refused: too many connections");
            ::close(fd);
            continue;
        }
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        m_sessions[fd] = std::make_unique<SimSession>(fd, name);
        SimLog::line("connection from " + name);
    }
}

void SimServer::readFrom(SimSession &s) {
    size_t total = 0;
    while (total < kReadPerRound && !s.closed) {
        size_t old = s.input.size();
        s.input.resize(old + kReadChunk);
        ssize_t n = recv(s.fd, &s.input[old], kReadChunk, 0);
        s.input.resize(old + (n > 0 ? size_t(n) : 0));
        if (n == 0) {
            SimLog::line(s.label() + ": closed by the client");
            s.closed = true;
            return;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            if (errno == EINTR)
                continue;
            SimLog::line(s.label() + ": receive error: " + std::strerror(errno));
            s.closed = true;
            return;
        }
        total += size_t(n);
        kvtOlmoFrame f;
        for (;;) {
            SimSession::Extract r = s.extract(f);
            if (r == SimSession::NeedMore)
                break;
            if (r == SimSession::Skipped) {
                SimLog::line(s.label() + ": frame header with a wrong checksum skipped");
                continue;
            }
            if (r == SimSession::TooLarge) {
                SimLog::line(s.label() + ": announced payload beyond 64 MiB, connection closed");
                s.closed = true;
                return;
            }
            onFrame(s, f);
            if (s.closed || s.closeWhenFlushed)
                return;
        }
    }
}

void SimServer::onFrame(SimSession &s, kvtOlmoFrame &f) {
    const uint32_t code = f.GetCode();
    if (!s.loggedIn) {
        if (code == kvt::CmdAuthenticationMonitor || code == kvt::CmdAuthenticationCommand) {
            login(s, f);
        } else {
            SimLog::line(s.label() + ": frame " + std::to_string(code) + " before login, connection closed");
            s.closed = true;
        }
        return;
    }
    if (s.role == SimSession::Monitor) {
        SimLog::line(s.label() + ": frame " + std::to_string(code) + " on the monitor channel ignored");
        return;
    }
    if (code == kvt::CmdRelation) {
        relation(s, f);
        return;
    }
    if (isChannelCode(code)) {
        SimLog::line(s.label() + ": repeated login ignored");
        return;
    }
    ++s.commandFrames;
    const SimFaults &faults = m_options.faults;
    // One hung connection: the first client to pass the count goes silent, later ones do not,
    // so a client that rebuilds its connection is answered again.
    if (faults.silentAfter && (s.silent || (!m_silenceUsed && s.commandFrames > faults.silentAfter))) {
        if (!s.silent) {
            m_silenceUsed = true;
            SimLog::line(s.label() + ": going silent (fault injection)");
            s.silent = true;
            if (SimSession *m = monitorOf(s.pairedMonitor))
                m->silent = true;
        }
        return;
    }
    m_handler.handle(s, f);
    if (faults.closeAfter && s.commandFrames >= faults.closeAfter) {
        SimLog::line(s.label() + ": closing after " + std::to_string(s.commandFrames) +
                     " frames (fault injection)");
        closeClient(s);
    }
}

void SimServer::login(SimSession &s, const kvtOlmoFrame &f) {
    const uint32_t code = f.GetCode();
    const bool monitor = code == kvt::CmdAuthenticationMonitor;
    const unsigned char *data = f.GetAsData();
    if (!data) {
        SimLog::line(s.label() + ": login without credentials, connection closed");
        s.closed = true;
        return;
    }
    const std::string plain = kvt::kvtOlmoMaskCredentials(
        std::string(reinterpret_cast<const char *>(data), f.GetBufferLength() - kvt::kvtOlmoHeaderSize));
    size_t bar = plain.find('|');
    std::string user = plain.substr(0, bar);
    std::string password = bar == std::string::npos ? std::string() : plain.substr(bar + 1);

    unsigned sameRole = 0;
    for (auto &e : m_sessions)
        if (e.second->loggedIn && !e.second->closed &&
            e.second->role == (monitor ? SimSession::Monitor : SimSession::Command))
            ++sameRole;

    uint8_t result = kvt::kvtOlmoLoginAccepted;
    if (m_options.faults.refuseLogin || bar == std::string::npos || !m_users.check(user, password))
        result = kvt::kvtOlmoLoginRefused;
    else if (m_options.faults.reportFull || sameRole >= m_options.maxClients)
        result = kvt::kvtOlmoLoginMaxClients;

    unsigned char answer[5] = {result, 0, 0, 0, 0};
    if (result == kvt::kvtOlmoLoginAccepted) {
        s.loggedIn = true;
        s.role = monitor ? SimSession::Monitor : SimSession::Command;
        s.clientId = m_nextClientId++;
        s.user = user;
        for (int i = 0; i < 4; ++i)
            answer[1 + i] = uint8_t(s.clientId >> (8 * i));
        SimLog::line(s.label() + ": user " + user + " logged in");
    } else {
        SimLog::line(s.label() + ": login of " + user +
                     (result == kvt::kvtOlmoLoginMaxClients ? " refused: client limit reached"
                                                            : " refused: wrong user or password"));
        // Nothing more can happen on a refused connection.
        s.closeWhenFlushed = true;
    }
    s.queue(SimFrames::data(code, kvt::kvtOlmoKindResponse, answer, sizeof answer),
            nowMs() + m_options.faults.slowMs);
}

void SimServer::relation(SimSession &s, const kvtOlmoFrame &f) {
    const uint32_t monitorId = f.GetAsULong();
    SimSession *m = monitorOf(monitorId);
    if (!m || m->user != s.user) {
        SimLog::line(s.label() + ": relation to unknown monitor #" + std::to_string(monitorId));
        return;
    }
    s.pairedMonitor = monitorId;
    SimLog::line(s.label() + ": paired with monitor #" + std::to_string(monitorId));
    std::vector<std::string> waiting;
    waiting.swap(s.waitingForRelation);
    for (auto &frame : waiting)
        sendTo(*m, std::move(frame));
}

SimSession *SimServer::monitorOf(uint32_t clientId) {
    if (clientId == 0)
        return nullptr;
    for (auto &e : m_sessions) {
        SimSession &m = *e.second;
        if (m.role == SimSession::Monitor && m.clientId == clientId && !m.closed && !m.closeWhenFlushed)
            return &m;
    }
    return nullptr;
}

void SimServer::sendTo(SimSession &target, std::string frame) {
    if (target.silent || target.closed)
        return;
    if (target.outputBytes + frame.size() > kMaxOutput) {
        SimLog::line(target.label() + ": client reads too slowly, connection closed");
        target.closed = true;
        return;
    }
    const SimFaults &faults = m_options.faults;
    ++m_framesSent;
    if (faults.hugeLength && frame.size() > kvt::kvtOlmoHeaderSize) {
        // Announce far more than follows (and more than any receiver should accept).
        const uint32_t huge = 0x7FFFFFF0u;
        for (int i = 0; i < 4; ++i)
            frame[size_t(4 + i)] = char(uint8_t(huge >> (8 * i)));
        patchChecksum(frame);
    }
    if (faults.corruptEvery && m_framesSent % faults.corruptEvery == 0)
        frame[8] = char(uint8_t(frame[8]) ^ 0x5A);
    target.queue(std::move(frame), nowMs() + faults.slowMs);
}

void SimServer::reply(SimSession &command, std::string frame) {
    if (command.silent)
        return;
    if (m_options.faults.dropAnswer && !m_answerDropped && frame.size() >= kvt::kvtOlmoHeaderSize) {
        const uint32_t code = kvt::kvtOlmoHeaderCode(reinterpret_cast<const uint8_t *>(frame.data()));
        if (code == m_options.faults.dropAnswer) {
            m_answerDropped = true;
            SimLog::line(command.label() + ": answer " + std::to_string(code) + " dropped");
            return;
        }
    }
    if (SimSession *m = monitorOf(command.pairedMonitor)) {
        sendTo(*m, std::move(frame));
        return;
    }
    if (command.waitingForRelation.size() < kMaxWaiting)
        command.waitingForRelation.push_back(std::move(frame));
}

void SimServer::pushAll(std::string frame) {
    for (auto &e : m_sessions) {
        SimSession &m = *e.second;
        if (m.role == SimSession::Monitor && m.loggedIn && !m.closed)
            sendTo(m, frame);
    }
}

void SimServer::relayOthers(SimSession &command, std::string frame) {
    for (auto &e : m_sessions) {
        SimSession &m = *e.second;
        if (m.role == SimSession::Monitor && m.loggedIn && !m.closed && m.clientId != command.pairedMonitor)
            sendTo(m, frame);
    }
}

unsigned SimServer::clientCount() const {
    unsigned n = 0;
    for (auto &e : m_sessions)
        if (e.second->role == SimSession::Monitor && e.second->loggedIn && !e.second->closed)
            ++n;
    return n;
}

void SimServer::closeClient(SimSession &command) {
    command.closeWhenFlushed = true;
    if (SimSession *m = monitorOf(command.pairedMonitor))
        m->closeWhenFlushed = true;
}

int SimServer::pushLive(uint64_t now) {
    if (g_liveStop) {
        // SIGUSR1: no more changes; what was pushed to clients and where every value ended, for
        // a benchmark to compare with what its client shows.
        if (!m_liveStopReported) {
            m_liveStopReported = true;
            std::printf("LIVE_STOPPED %llu\n%sEND\n", static_cast<unsigned long long>(m_liveToClients),
                        m_handler.valuesReport().c_str());
            std::fflush(stdout);
        }
        return 20;
    }
    if (m_options.liveFlood) {
        // Only as much as the slowest reader has taken: its queue, counted with what the kernel
        // holds for it unsent or unacknowledged, paces the flood. Kernel buffers grow to
        // megabytes on loopback: counted out, they would keep the reader seconds behind.
        size_t fullest = 0;
        bool anyMonitor = false;
        for (auto &e : m_sessions) {
            const SimSession &m = *e.second;
            if (m.role == SimSession::Monitor && m.loggedIn && !m.closed && !m.silent) {
                anyMonitor = true;
                int inKernel = 0;
                if (ioctl(e.first, SIOCOUTQ, &inKernel) != 0 || inKernel < 0)
                    inKernel = 0;
                fullest = std::max(fullest, m.outputBytes + size_t(inKernel));
            }
        }
        if (anyMonitor && fullest < kFloodQueued) {
            m_liveToClients += m_handler.liveChanges(kFloodBatch);
            return 0;
        }
        // Full: poll wakes when the queue drains; the kernel's part is looked at again soon.
        return anyMonitor ? 1 : 20;
    }
    if (m_options.liveRate == 0)
        return 20;
    const uint64_t rate = m_options.liveRate;
    uint64_t due = (now - m_liveStart) * rate / 1000;
    // After a stall (a suspended process) the backlog is not made up in one burst.
    if (due > m_livePushed + rate)
        m_livePushed = due - rate / 10;
    if (due > m_livePushed) {
        const size_t made = m_handler.liveChanges(size_t(due - m_livePushed));
        if (clientCount() > 0)
            m_liveToClients += made;
        m_livePushed = due;
    }
    // Sleep until the next change is due, in steps of at least 2 ms.
    const uint64_t nextAt = m_liveStart + ((m_livePushed + 1) * 1000 + rate - 1) / rate;
    const uint64_t left = nextAt > now ? nextAt - now : 0;
    return int(std::min<uint64_t>(20, std::max<uint64_t>(2, left)));
}

void SimServer::tick() {
    ++m_ticks;
    m_handler.tick(m_ticks);
    for (auto &e : m_sessions) {
        SimSession &c = *e.second;
        if (c.role == SimSession::Command && c.loggedIn && !c.closed && (c.rawBus || c.logClients))
            m_handler.periodicFor(c, m_ticks);
    }
}

void SimServer::dropClosed() {
    // A command channel whose monitor is gone can never be answered again: close it too.
    for (auto &e : m_sessions) {
        SimSession &m = *e.second;
        if (!m.closed || m.role != SimSession::Monitor)
            continue;
        for (auto &other : m_sessions) {
            SimSession &c = *other.second;
            if (c.role == SimSession::Command && c.pairedMonitor == m.clientId && !c.closed &&
                !c.closeWhenFlushed) {
                SimLog::line(c.label() + ": its monitor channel is gone, closing");
                c.closeWhenFlushed = true;
            }
        }
    }
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        if (it->second->closed) {
            SimLog::line(it->second->label() + ": disconnected");
            ::close(it->first);
            it = m_sessions.erase(it);
        } else {
            ++it;
        }
    }
}
