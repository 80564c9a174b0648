#include "sockets.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#endif

#include <cstring>

namespace simrelay {
namespace {

#ifdef _WIN32
using Handle = SOCKET;
using AddressLength = int;
int last_socket_error() {
  return WSAGetLastError();
}
// Test clients need not be kept from child processes there.
constexpr int STREAM_TYPE = SOCK_STREAM;
#else
using Handle = int;
using AddressLength = socklen_t;
int last_socket_error() {
  return errno;
}
// Bridges that tests start must not inherit the tests' connections.
constexpr int STREAM_TYPE = SOCK_STREAM | SOCK_CLOEXEC;
#endif

Handle handle_of(const Socket& socket) {
  return static_cast<Handle>(socket.native());
}

}  // namespace

SocketResult connect_tcp(const Ipv4Endpoint& endpoint) {
  Socket socket(static_cast<NativeSocket>(::socket(AF_INET, STREAM_TYPE, 0)));
  if (!socket.valid()) return {Socket(), last_socket_error()};
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(endpoint.port);
  std::memcpy(&address.sin_addr, endpoint.address.data(), 4);
  if (::connect(handle_of(socket), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return {Socket(), last_socket_error()};
  }
  return {std::move(socket), 0};
}

std::optional<std::uint16_t> local_port(const Socket& socket) {
  sockaddr_in address{};
  AddressLength length = sizeof address;
  if (::getsockname(handle_of(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return std::nullopt;
  }
  return ntohs(address.sin_port);
}

std::string SocketPair::read_all_from_client() {
  server.close();
  std::string all;
  char buffer[65536];
  for (long n; (n = receive_some(client, buffer)) > 0;)
    all.append(buffer, static_cast<std::size_t>(n));
  return all;
}

SocketPair connected_pair() {
  SocketPair pair;
  SocketResult listener = open_tcp_listener({{127, 0, 0, 1}, 0}, 1);
  if (!listener.socket.valid()) return pair;
  pair.client = connect_tcp({{127, 0, 0, 1}, local_port(listener.socket).value_or(0)}).socket;
  if (pair.client.valid()) pair.server = accept_connection(listener.socket);
  return pair;
}

}  // namespace simrelay
