// The conversion between Ipv4Endpoint and the system's sockaddr_in, for the
// two OS files: both systems have the same BSD structure, in their own header.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

#include <cstring>

#include "platform.h"

namespace simrelay {

inline sockaddr_in to_sockaddr(const Ipv4Endpoint& endpoint) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(endpoint.port);
  std::memcpy(&address.sin_addr, endpoint.address.data(), 4);
  return address;
}

inline Ipv4Endpoint from_sockaddr(const sockaddr_in& address) {
  Ipv4Endpoint endpoint;
  std::memcpy(endpoint.address.data(), &address.sin_addr, 4);
  endpoint.port = ntohs(address.sin_port);
  return endpoint;
}

}  // namespace simrelay
