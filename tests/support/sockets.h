// Client-side socket calls that only tests and tools need, on every system
// the bridge builds for (the Windows unit tests link this too).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform.h"

namespace simrelay {

// A blocking TCP connection to an IPv4 endpoint.
SocketResult connect_tcp(const Ipv4Endpoint& endpoint);

// The local port a socket is bound to.
std::optional<std::uint16_t> local_port(const Socket& socket);

// Both ends of one loopback TCP connection; invalid sockets when it failed.
struct SocketPair {
  Socket client;
  Socket server;

  // Closes the server's end, then reads everything the client receives.
  std::string read_all_from_client();
};
SocketPair connected_pair();

}  // namespace simrelay
