#pragma once
// A listening socket on 127.0.0.1 that no server ever answers on, for sites that never say a word
// (a large backlog: the kernel completes the connects) or never answer a connect at all (a backlog
// of 0 and fill(): the queue is full, the kernel drops every further connect's first packet, and
// those connects wait for their time-out).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

class IdleListener {
public:
    explicit IdleListener(int backlog) {
        // Not blocking: acceptWaiting() takes what is there and returns.
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a = loopback(0);
        socklen_t len = sizeof a;
        if (m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr *>(&a), len) == 0 &&
            ::listen(m_fd, backlog) == 0 && ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            m_port = ntohs(a.sin_port);
    }
    ~IdleListener() {
        for (int fd : m_held)
            ::close(fd);
        if (m_fd >= 0)
            ::close(m_fd);
    }
    IdleListener(const IdleListener &) = delete;
    IdleListener &operator=(const IdleListener &) = delete;

    int port() const { return m_port; }
    // Connections the kernel completed, taken and held open, never answered; how many so far.
    int acceptWaiting() {
        for (int fd; (fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
            m_held.push_back(fd);
        return int(m_held.size());
    }
    // A connection of its own that is never accepted: with a backlog of 0 the queue is then full.
    bool fill() {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in a = loopback(m_port);
        if (fd < 0)
            return false;
        m_held.push_back(fd);
        return ::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
    }

private:
    static sockaddr_in loopback(int port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(uint16_t(port));
        return a;
    }

    int m_fd = -1;
    int m_port = 0;
    std::vector<int> m_held;
};
