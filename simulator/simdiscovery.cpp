#include "simdiscovery.h"

#include "simlog.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#ifndef VYXSIM_VERSION
#define VYXSIM_VERSION "0.1.0"
#endif

namespace {

const char *const kQuery = kvt::kvtDiscoveryQuery;
const char *const kAnswerMarker = kvt::kvtDiscoveryAnswerMarker;
const char *const kGroup = kvt::kvtDiscoveryGroup;

int openUdp(int port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    // The manager on the same machine binds the same port.
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Where each query was sent to and on which interface it arrived.
    setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The local address a reply to this sender leaves from.
std::string localAddressTowards(const sockaddr_in &peer) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return "127.0.0.1";
    std::string result = "127.0.0.1";
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (connect(fd, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&local), &len) == 0) {
        char text[INET_ADDRSTRLEN];
        if (inet_ntop(AF_INET, &local.sin_addr, text, sizeof text))
            result = text;
    }
    close(fd);
    return result;
}

std::string cleanField(const std::string &s) {
    std::string out;
    for (char c : s)
        out += (c == ';' || c == '=' || static_cast<unsigned char>(c) < 0x20) ? '_' : c;
    return out;
}

} // namespace

SimDiscovery::~SimDiscovery() {
    if (m_multicast >= 0)
        close(m_multicast);
    if (m_broadcast >= 0)
        close(m_broadcast);
}

void SimDiscovery::open(const std::string &name, const std::string &tcpAddress, int tcpPort) {
    m_name = cleanField(name);
    m_address = tcpAddress;
    m_port = tcpPort;
    m_bound = !tcpAddress.empty() && tcpAddress != "0.0.0.0" &&
              inet_pton(AF_INET, tcpAddress.c_str(), &m_boundAddress) == 1;
    if (m_bound) {
        ifaddrs *list = nullptr;
        if (getifaddrs(&list) == 0) {
            for (ifaddrs *i = list; i; i = i->ifa_next) {
                if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET ||
                    reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr != m_boundAddress.s_addr)
                    continue;
                m_boundInterface = int(if_nametoindex(i->ifa_name));
                if ((i->ifa_flags & IFF_BROADCAST) && i->ifa_broadaddr)
                    m_boundBroadcast = reinterpret_cast<sockaddr_in *>(i->ifa_broadaddr)->sin_addr;
            }
            freeifaddrs(list);
        }
    }
    m_multicast = openUdp(kMulticastPort);
    if (m_multicast < 0) {
        SimLog::line("discovery: cannot bind UDP " + std::to_string(kMulticastPort) + ": " +
                     std::strerror(errno));
    } else {
        ip_mreq m{};
        inet_pton(AF_INET, kGroup, &m.imr_multiaddr);
        m.imr_interface = m_bound ? m_boundAddress : in_addr{htonl(INADDR_ANY)};
        if (setsockopt(m_multicast, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0)
            SimLog::line(std::string("discovery: cannot join ") + kGroup + ": " + std::strerror(errno));
    }
    m_broadcast = openUdp(kBroadcastPort);
    if (m_broadcast < 0)
        SimLog::line("discovery: cannot bind UDP " + std::to_string(kBroadcastPort) + ": " +
                     std::strerror(errno));
    SimLog::line("discovery: answering on UDP " + std::to_string(kMulticastPort) + " (" + kGroup + ") and " +
                 std::to_string(kBroadcastPort));
}

std::string SimDiscovery::answerFor(const std::string &serverAddress) const {
    return std::string(kAnswerMarker) + ";name=" + m_name + ";address=" + serverAddress +
           ";port=" + std::to_string(m_port) + ";version=" + VYXSIM_VERSION;
}

bool SimDiscovery::answers(const in_addr &destination, int interfaceIndex) const {
    if (!m_bound || destination.s_addr == m_boundAddress.s_addr)
        return true;
    const bool toAll = IN_MULTICAST(ntohl(destination.s_addr)) ||
                       destination.s_addr == htonl(INADDR_BROADCAST) ||
                       (m_boundBroadcast.s_addr != 0 && destination.s_addr == m_boundBroadcast.s_addr);
    return toAll && interfaceIndex == m_boundInterface;
}

void SimDiscovery::handleReadable(int fd) {
    for (int i = 0; i < 64; ++i) {
        char buffer[512];
        sockaddr_in peer{};
        iovec data{buffer, sizeof buffer};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
        msghdr message{};
        message.msg_name = &peer;
        message.msg_namelen = sizeof peer;
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t n = recvmsg(fd, &message, 0);
        if (n < 0)
            return;
        std::string text(buffer, size_t(n));
        text = text.substr(0, text.find('\0'));
        if (text != kQuery || message.msg_namelen != sizeof peer)
            continue;
        in_addr destination{};
        int interfaceIndex = -1;
        for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info{};
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                destination = info.ipi_addr;
                interfaceIndex = info.ipi_ifindex;
            }
        }
        if (!answers(destination, interfaceIndex))
            continue;
        std::string address = m_address;
        if (address.empty() || address == "0.0.0.0")
            address = localAddressTowards(peer);
        std::string answer = answerFor(address);
        char from[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &peer.sin_addr, from, sizeof from);
        // Unicast to the sender only, never to the group or the broadcast address.
        sendto(fd, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr *>(&peer), sizeof peer);
        SimLog::line(std::string("discovery: query from ") + from + ":" +
                     std::to_string(ntohs(peer.sin_port)) + " answered");
    }
}
