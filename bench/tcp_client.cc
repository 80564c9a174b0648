#include "tcp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace simrelay::bench {
namespace {

int fd_of(const Socket& socket) {
  return static_cast<int>(socket.native());
}

}  // namespace

PendingConnect start_connect(const Ipv4Endpoint& endpoint) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return {};
  Socket socket(static_cast<NativeSocket>(fd));
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

std::uint64_t raise_open_file_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur;
}

}  // namespace simrelay::bench
