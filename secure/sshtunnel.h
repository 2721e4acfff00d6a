#pragma once
// A server across the internet, reached through SSH: the system's OpenSSH client forwards a port
// on 127.0.0.1 to the server's address as the SSH host sees it, so both channels and the login
// travel inside the SSH connection. Key authentication only (BatchMode): nothing is asked and no
// password goes to ssh. Qt-free; vyxctl and the fleet use it, the desk will.
#include <string>
#include <sys/types.h>

struct SshDestination {
    std::string user;
    std::string host;
    int port = 22;
};

// "ssh://user@host[:port]"; host is a name, an IPv4 address or an [IPv6] address.
bool parseSshUrl(const std::string &url, SshDestination &out, std::string &error);

class SshTunnel {
public:
    // configFile: an ssh_config given to ssh with -F (empty: the user's own ~/.ssh/config).
    explicit SshTunnel(std::string configFile = std::string(), std::string program = "ssh");
    ~SshTunnel();
    SshTunnel(const SshTunnel &) = delete;
    SshTunnel &operator=(const SshTunnel &) = delete;

    // Starts ssh -N -L 127.0.0.1:<free port>:serverHost:serverPort to the url's host and waits up
    // to timeoutMs until the local port accepts. False with the reason (ssh's own last words).
    bool start(const std::string &url, const std::string &serverHost, int serverPort, int timeoutMs,
               std::string &error);
    // The local end to connect to while the tunnel runs.
    int localPort() const { return m_localPort; }
    // Ends ssh (and what it started); the tunnel is closed afterwards.
    void stop();

private:
    bool launch(const SshDestination &to, const std::string &serverHost, int serverPort, std::string &error);
    // 1 when the local port accepts, 0 not yet, -1 when ssh has ended.
    int poll();
    void drainMessages();

    std::string m_configFile;
    std::string m_program;
    pid_t m_pid = -1;
    int m_messages = -1; // ssh's standard error
    std::string m_lastWords;
    int m_localPort = 0;
};
