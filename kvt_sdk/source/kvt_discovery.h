#ifndef KVT_DISCOVERY_H
#define KVT_DISCOVERY_H

#include <cstdint>

namespace kvt {

// Server discovery over UDP: the manager sends the query by multicast to the group and by
// broadcast; a server answers its sender with one datagram that starts with the marker:
//   vyx-kore-wa-desu;name=<name>;address=<IPv4>;port=<TCP port>;version=<version>
constexpr const char *kvtDiscoveryQuery = "vyx-wa-doko-desu-ka";
constexpr const char *kvtDiscoveryAnswerMarker = "vyx-kore-wa-desu";
constexpr const char *kvtDiscoveryGroup = "226.0.0.1";
constexpr uint16_t kvtDiscoveryMulticastPort = 17000;
constexpr uint16_t kvtDiscoveryBroadcastPort = 17001;

} // namespace kvt

#endif
