// The seam's private header: the system calls that platform-posix.cc and
// platform-win32.cc implement and platform.cc builds on, and the sockaddr
// conversion both OS files share. Errors come back as the system's error
// code (0: none).
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "platform.h"

namespace simrelay::os {

enum class SocketKind { Datagram, Stream };

// A new IPv4 socket of this kind.
SocketResult open_socket(SocketKind kind);
// What a listening socket needs before its bind, so that a restart gets the
// port while a second listener does not.
int prepare_listener(const Socket& socket);
int bind_to(const Socket& socket, const Ipv4Endpoint& local);
int listen_on(const Socket& socket, int backlog);

enum class TimeoutKind { Receive, Send };
bool set_timeout(const Socket& socket, TimeoutKind kind, std::uint32_t milliseconds);

// One gathered send of the pieces (none empty, at most MAX_SEND_PIECES).
SendAttempt send_gathered(const Socket& socket, std::span<const std::string_view> pieces);

// From now on `ending` runs before the process ends on an interrupt,
// termination or hang-up signal or a console window's control events; the
// process then ends as it would have. `ending` must be async-signal-safe.
void run_at_ending(void (*ending)());
[[noreturn]] void end_process(int status);

}  // namespace simrelay::os

namespace simrelay {

// Both systems have the same BSD sockaddr_in, each in its own header.
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
