#include "sshtunnel.h"

#include "terminaltext.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

const size_t kMaxMessages = 4096;
// A free local port is taken by ssh a moment after it is chosen; another program may take it
// first, so a forwarding failure is tried again with another port.
const int kLaunchAttempts = 3;

// Host names and addresses only: nothing that ssh could read as an option or a second field.
bool safeHost(const std::string &host) {
    if (host.empty() || host.size() > 253 || host[0] == '-')
        return false;
    const bool ipv6 = host.find(':') != std::string::npos;
    const char *allowed = ipv6 ? "0123456789abcdefABCDEF:." : nullptr;
    for (char c : host) {
        const bool ok =
            allowed ? std::strchr(allowed, c) != nullptr
                    : (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_');
        if (!ok || c == '\0')
            return false;
    }
    return true;
}

bool safeUser(const std::string &user) {
    if (user.empty() || user.size() > 64 || user[0] == '-')
        return false;
    for (char c : user)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_')
            return false;
    return true;
}

int freeLocalPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

bool accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

std::string forwardSpec(int localPort, const std::string &host, int port) {
    const std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return "127.0.0.1:" + std::to_string(localPort) + ":" + h + ":" + std::to_string(port);
}

// ssh leads a process group of its own; should it not, it alone is signalled.
void signalGroup(pid_t pid, int signal) {
    if (::kill(-pid, signal) != 0)
        ::kill(pid, signal);
}

} // namespace

bool parseSshUrl(const std::string &url, SshDestination &out, std::string &error) {
    error = "the tunnel must read ssh://user@host[:port]: " + terminalSafe(url, false);
    const std::string scheme = "ssh://";
    if (url.compare(0, scheme.size(), scheme) != 0)
        return false;
    const std::string rest = url.substr(scheme.size());
    const size_t at = rest.find('@');
    if (at == std::string::npos)
        return false;
    SshDestination d;
    d.user = rest.substr(0, at);
    std::string hostPort = rest.substr(at + 1);
    if (!hostPort.empty() && hostPort.back() == '/')
        hostPort.pop_back();
    std::string port;
    if (!hostPort.empty() && hostPort[0] == '[') {
        const size_t close = hostPort.find(']');
        if (close == std::string::npos)
            return false;
        d.host = hostPort.substr(1, close - 1);
        if (close + 1 < hostPort.size()) {
            if (hostPort[close + 1] != ':')
                return false;
            port = hostPort.substr(close + 2);
        }
    } else {
        const size_t colon = hostPort.find(':');
        d.host = hostPort.substr(0, colon);
        if (colon != std::string::npos)
            port = hostPort.substr(colon + 1);
    }
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
            return false;
        d.port = std::stoi(port);
        if (d.port < 1 || d.port > 65535)
            return false;
    }
    if (!safeUser(d.user) || !safeHost(d.host) ||
        (d.host.find(':') != std::string::npos) != (hostPort[0] == '['))
        return false;
    out = d;
    error.clear();
    return true;
}

SshTunnel::SshTunnel(std::string configFile, std::string program)
    : m_configFile(std::move(configFile)), m_program(std::move(program)) {}

SshTunnel::~SshTunnel() {
    stop();
}

bool SshTunnel::start(const std::string &url, const std::string &serverHost, int serverPort, int timeoutMs,
                      std::string &error) {
    stop();
    SshDestination to;
    if (!parseSshUrl(url, to, error))
        return false;
    if (!safeHost(serverHost)) {
        error = "the server address " + terminalSafe(serverHost, false) + " cannot be forwarded";
        return false;
    }
    const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (int attempt = 1; attempt <= kLaunchAttempts; ++attempt) {
        if (!launch(to, serverHost, serverPort, error))
            return false;
        int state = 0;
        while ((state = poll()) == 0 && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (state == 1)
            return true;
        const bool portTaken = state < 0 && m_lastWords.find("forwarding") != std::string::npos;
        const std::string words = m_lastWords;
        stop();
        if (state == 0) {
            error =
                "ssh to " + to.host + " did not open the tunnel within " + std::to_string(timeoutMs) + " ms";
            return false;
        }
        error = "ssh to " + to.host + " ended" + (words.empty() ? std::string() : ": " + words);
        if (!portTaken)
            return false;
    }
    return false;
}

bool SshTunnel::launch(const SshDestination &to, const std::string &serverHost, int serverPort,
                       std::string &error) {
    m_localPort = freeLocalPort();
    if (m_localPort == 0) {
        error = "no free local port for the tunnel";
        return false;
    }
    std::vector<std::string> args = {m_program, "-N",
                                     "-o",      "BatchMode=yes",
                                     "-o",      "ExitOnForwardFailure=yes",
                                     "-o",      "ServerAliveInterval=15",
                                     "-o",      "ServerAliveCountMax=3",
                                     "-o",      "LogLevel=ERROR"};
    if (!m_configFile.empty())
        args.insert(args.end(), {"-F", m_configFile});
    args.insert(args.end(), {"-p", std::to_string(to.port), "-l", to.user, "-L",
                             forwardSpec(m_localPort, serverHost, serverPort), "--", to.host});
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    // Its own process group, so that stop() also ends a ProxyCommand that ssh started.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    const int rc = ::posix_spawnp(&m_pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        m_pid = -1;
        error = "cannot run " + m_program + ": " + std::strerror(rc);
        return false;
    }
    m_messages = pipeFds[0];
    m_lastWords.clear();
    return true;
}

void SshTunnel::drainMessages() {
    char buffer[1024];
    ssize_t n;
    while (m_messages >= 0 && (n = ::read(m_messages, buffer, sizeof buffer)) > 0) {
        m_lastWords.append(buffer, size_t(n));
        if (m_lastWords.size() > kMaxMessages)
            m_lastWords.erase(0, m_lastWords.size() - kMaxMessages);
    }
}

int SshTunnel::poll() {
    drainMessages();
    int status = 0;
    if (m_pid > 0 && ::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        drainMessages();
        while (!m_lastWords.empty() && (m_lastWords.back() == '\n' || m_lastWords.back() == '\r'))
            m_lastWords.pop_back();
        m_lastWords = terminalSafe(m_lastWords.substr(m_lastWords.rfind('\n') + 1), false);
        return -1;
    }
    return m_pid > 0 && accepts(m_localPort) ? 1 : 0;
}

void SshTunnel::stop() {
    if (m_pid > 0) {
        signalGroup(m_pid, SIGTERM);
        int status = 0;
        const auto until = Clock::now() + std::chrono::seconds(3);
        while (::waitpid(m_pid, &status, WNOHANG) == 0) {
            if (Clock::now() >= until) {
                signalGroup(m_pid, SIGKILL);
                ::waitpid(m_pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        m_pid = -1;
    }
    if (m_messages >= 0)
        ::close(m_messages);
    m_messages = -1;
    m_localPort = 0;
}
