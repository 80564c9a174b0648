#include "tcp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace simrelay::support {
namespace {

int fd_of(const Socket& socket) {
  return static_cast<int>(socket.native());
}

// A TCP socket of the given type flags with its connect() begun.
PendingConnect begin_connect(const Ipv4Endpoint& endpoint, int flags, int receive_buffer) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
  if (fd < 0) return {};
  Socket socket(static_cast<NativeSocket>(fd));
  if (receive_buffer > 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(endpoint.port);
  std::memcpy(&address.sin_addr, endpoint.address.data(), 4);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    return {std::move(socket), true};
  }
  if (errno != EINPROGRESS) return {};
  return {std::move(socket), false};
}

}  // namespace

PendingConnect start_connect(const Ipv4Endpoint& endpoint) {
  return begin_connect(endpoint, SOCK_NONBLOCK, 0);
}

Socket connect_with_receive_buffer(const Ipv4Endpoint& endpoint, int bytes) {
  PendingConnect connection = begin_connect(endpoint, 0, bytes);
  return connection.connected ? std::move(connection.socket) : Socket();
}

int connect_error(const Socket& socket) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd_of(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

long receive_nonblocking(const Socket& socket, std::span<char> buffer) {
  for (;;) {
    ssize_t n = ::recv(fd_of(socket), buffer.data(), buffer.size(), 0);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? -1 : -2;
  }
}

EpollSet::EpollSet() : fd_(::epoll_create1(EPOLL_CLOEXEC)) {}

EpollSet::~EpollSet() {
  if (fd_ >= 0) ::close(fd_);
}

bool EpollSet::add(const Socket& socket, std::uint32_t events, std::uint64_t index) {
  epoll_event event{};
  event.events = events;
  event.data.u64 = index;
  return ::epoll_ctl(fd_, EPOLL_CTL_ADD, fd_of(socket), &event) == 0;
}

bool EpollSet::modify(const Socket& socket, std::uint32_t events, std::uint64_t index) {
  epoll_event event{};
  event.events = events;
  event.data.u64 = index;
  return ::epoll_ctl(fd_, EPOLL_CTL_MOD, fd_of(socket), &event) == 0;
}

std::size_t EpollSet::wait(std::span<epoll_event> events, int timeout_ms) {
  int n = ::epoll_wait(fd_, events.data(), static_cast<int>(events.size()), timeout_ms);
  return n < 0 ? 0 : static_cast<std::size_t>(n);
}

std::uint64_t raise_open_file_limit(std::uint64_t at_least) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  rlim_t most = std::max<rlim_t>(limit.rlim_max, at_least);
  rlimit raised{most, most};  // A higher hard limit needs privilege.
  if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) return most;
  raised = {limit.rlim_max, limit.rlim_max};
  return ::setrlimit(RLIMIT_NOFILE, &raised) == 0 ? limit.rlim_max : limit.rlim_cur;
}

}  // namespace simrelay::support
