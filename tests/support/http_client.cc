#include "http_client.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

#include "bridge_process.h"
#include "loopback.h"
#include "sockets.h"

namespace simrelay::support {

std::uint16_t free_tcp_port() {
  SocketResult listener = open_tcp_listener({{127, 0, 0, 1}, 0}, 1);
  if (!listener.socket.valid()) std::abort();
  return *local_port(listener.socket);
}

HttpClient::HttpClient(std::uint16_t port) : socket_(connect_tcp(loopback(1, port)).socket) {}

bool HttpClient::send(std::string_view bytes) {
  return send_all(socket_, bytes);
}

bool HttpClient::receive_into(std::string& all, milliseconds wait) {
  char buffer[8192];
  set_receive_timeout(socket_, static_cast<std::uint32_t>(wait.count()));
  long n = receive_some(socket_, buffer);
  if (n > 0) all.append(buffer, static_cast<std::size_t>(n));
  peer_closed_ = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
  return !peer_closed_;
}

std::string HttpClient::read_until_closed(milliseconds timeout) {
  std::string all;
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline && receive_into(all, milliseconds(100))) {
  }
  return all;
}

std::string HttpClient::read_until_count(const std::string& marker, std::size_t count,
                                         milliseconds timeout) {
  std::string all;
  auto deadline = Clock::now() + timeout;
  auto occurrences = [&] {
    std::size_t found = 0;
    for (std::size_t at = all.find(marker); at != std::string::npos;
         at = all.find(marker, at + marker.size())) {
      ++found;
    }
    return found;
  };
  while (Clock::now() < deadline && occurrences() < count && receive_into(all, milliseconds(50))) {
  }
  return all;
}

void HttpClient::end_sending() {
  ::shutdown(static_cast<int>(socket_.native()), SHUT_WR);
}

void HttpClient::reset() {
  linger option{1, 0};
  setsockopt(static_cast<int>(socket_.native()), SOL_SOCKET, SO_LINGER, &option, sizeof option);
  socket_.close();
}

HttpClient connect_when_listening(std::uint16_t port, milliseconds timeout) {
  HttpClient client(port);
  for (auto deadline = Clock::now() + timeout; !client.connected() && Clock::now() < deadline;) {
    std::this_thread::sleep_for(milliseconds(50));
    client = HttpClient(port);
  }
  return client;
}

std::string http_exchange(std::uint16_t port, std::string_view request, milliseconds timeout) {
  HttpClient client(port);
  client.send(request);
  return client.read_until_closed(timeout);
}

std::string body_of(const std::string& answer) {
  std::size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

}  // namespace simrelay::support
