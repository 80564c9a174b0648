// Non-blocking TCP client sockets and an epoll set, for load generation on
// Linux: one thread drives hundreds of connections.
#pragma once

#include <cstdint>
#include <span>

#include <sys/epoll.h>

#include "platform.h"

namespace simrelay::support {

struct PendingConnect {
  Socket socket;
  bool connected = false;  // False: still in progress, wait for writability.
};

// Starts a connection without blocking. An invalid socket when it failed
// at once.
PendingConnect start_connect(const Ipv4Endpoint& endpoint);

// A blocking connection whose receive buffer is set to `bytes` before
// connecting, so that the window it offers stays that small.
Socket connect_with_receive_buffer(const Ipv4Endpoint& endpoint, int bytes);

// The error of a connection attempt that finished (0 when it succeeded).
int connect_error(const Socket& socket);

// Bytes received, 0 at the end of the stream, -1 when nothing is waiting
// (would block), -2 on a failure.
long receive_nonblocking(const Socket& socket, std::span<char> buffer);

// Owns an epoll instance. The data of each event is a caller's index.
class EpollSet {
 public:
  EpollSet();
  ~EpollSet();
  EpollSet(const EpollSet&) = delete;
  EpollSet& operator=(const EpollSet&) = delete;

  bool valid() const { return fd_ >= 0; }
  bool add(const Socket& socket, std::uint32_t events, std::uint64_t index);
  bool modify(const Socket& socket, std::uint32_t events, std::uint64_t index);
  // Ready events, at most events.size(); 0 on time-out or interruption.
  std::size_t wait(std::span<epoll_event> events, int timeout_ms);

 private:
  int fd_ = -1;
};

// Lifts the soft limit on open files to the hard limit, and the hard limit
// to `at_least` where the process may; the new soft limit.
std::uint64_t raise_open_file_limit(std::uint64_t at_least = 0);

}  // namespace simrelay::support
