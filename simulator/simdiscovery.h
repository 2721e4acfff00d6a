#pragma once
// Answers discovery queries: "vyx-wa-doko-desu-ka" arriving by multicast (226.0.0.1, UDP 17000)
// or broadcast (UDP 17001) gets one unicast datagram back to its sender:
//   vyx-kore-wa-desu;name=<name>;address=<IPv4>;port=<TCP port>;version=<version>
// With a bind address other than 0.0.0.0, only queries sent to that address, or broadcast and
// multicast queries that arrive on its interface, are answered: a simulator on loopback stays
// invisible to the network. (The sockets themselves listen on every address, since broadcast
// and multicast datagrams reach only sockets bound to the wildcard address.)
#include <netinet/in.h>
#include <string>

#include "kvt_discovery.h"

class SimDiscovery {
public:
    static constexpr int kMulticastPort = kvt::kvtDiscoveryMulticastPort;
    static constexpr int kBroadcastPort = kvt::kvtDiscoveryBroadcastPort;

    SimDiscovery() = default;
    ~SimDiscovery();
    SimDiscovery(const SimDiscovery &) = delete;
    SimDiscovery &operator=(const SimDiscovery &) = delete;

    // Opens both sockets; a socket that cannot be opened is logged and left out. tcpAddress is the
    // bind address of the server, which also limits whom discovery answers.
    void open(const std::string &name, const std::string &tcpAddress, int tcpPort);
    int multicastFd() const { return m_multicast; }
    int broadcastFd() const { return m_broadcast; }
    void handleReadable(int fd);
    // The answer text naming the server at serverAddress.
    std::string answerFor(const std::string &serverAddress) const;

private:
    bool answers(const in_addr &destination, int interfaceIndex) const;

    std::string m_name;
    bool m_bound = false; // a bind address other than the wildcard was given
    in_addr m_boundAddress{};
    in_addr m_boundBroadcast{}; // the broadcast address of its interface, when it has one
    int m_boundInterface = -1;
    std::string m_address;
    int m_port = 0;
    int m_multicast = -1;
    int m_broadcast = -1;
};
