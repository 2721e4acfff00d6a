#ifndef LOOPBACK_SERVER_H
#define LOOPBACK_SERVER_H

// A listening TCP socket on 127.0.0.1 with a free port, for socket tests.
// Connections complete in the kernel's backlog, so tests accept them when they need the peer.

#include <cstdint>
#include <cstring>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sdktest {

class LoopbackServer {
public:
    explicit LoopbackServer(int backlog = 8) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int yes = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
        struct sockaddr_in address;
        memset(&address, 0, sizeof(address));
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        if (::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0 &&
            ::listen(m_fd, backlog) == 0) {
            socklen_t size = sizeof(address);
            getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &size);
            m_port = ntohs(address.sin_port);
        }
    }
    ~LoopbackServer() {
        for (int fd : m_accepted)
            ::close(fd);
        if (m_fd >= 0)
            ::close(m_fd);
    }
    LoopbackServer(const LoopbackServer &) = delete;
    LoopbackServer &operator=(const LoopbackServer &) = delete;

    uint16_t Port() const { return m_port; }

    // Next waiting connection, or -1 when none arrives within the bound.
    int Accept(int boundMs = 10000) {
        struct pollfd entry = {m_fd, POLLIN, 0};
        if (::poll(&entry, 1, boundMs) != 1)
            return -1;
        int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0)
            m_accepted.push_back(fd);
        return fd;
    }

    // Closes an accepted connection early (the peer's orderly close).
    void CloseAccepted(int fd) {
        for (size_t i = 0; i < m_accepted.size(); ++i) {
            if (m_accepted[i] == fd) {
                ::close(fd);
                m_accepted.erase(m_accepted.begin() + static_cast<long>(i));
                return;
            }
        }
    }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
    std::vector<int> m_accepted;
};

// A loopback port that nobody listens on (bound, read and released).
inline uint16_t RefusingPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address));
    socklen_t size = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

} // namespace sdktest

#endif
