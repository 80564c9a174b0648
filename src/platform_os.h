// The system calls behind the platform seam: platform-posix.cc and
// platform-win32.cc implement these, platform.cc builds the seam on them.
// Errors come back as the system's error code (0: none).
#pragma once

#include <cstddef>
#include <cstdint>
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
int connect_to(const Socket& socket, const Ipv4Endpoint& remote);

enum class TimeoutKind { Receive, Send };
bool set_timeout(const Socket& socket, TimeoutKind kind, std::uint32_t milliseconds);

// One gathered send of the pieces (none empty, at most MAX_SEND_PIECES).
struct SendAttempt {
  long sent;         // Bytes taken, or -1 when the send failed.
  bool interrupted;  // A signal cut the call short before it took anything.
};
SendAttempt send_gathered(const Socket& socket, std::span<const std::string_view> pieces);

// From now on `ending` runs before the process ends on an interrupt,
// termination or hang-up signal or a console window's control events; the
// process then ends as it would have. `ending` must be async-signal-safe.
void run_at_ending(void (*ending)());
[[noreturn]] void end_process(int status);

}  // namespace simrelay::os

namespace simrelay {

// Drops the first `sent` bytes from `due`: the pieces that went whole, then
// the front of the piece the send stopped in. What is left to send.
std::span<std::string_view> advance_past_sent(std::span<std::string_view> due, std::size_t sent);

// Sends `pieces` through `send`, one attempt at a time, until all have
// gone: the loop behind send_all, apart so that tests can make the sends
// short or interrupted. False on a failure or a send that took nothing.
template <class Send>
bool send_pieces(std::span<const std::string_view> pieces, Send send) {
  std::string_view storage[MAX_SEND_PIECES];
  std::size_t count = 0;
  for (std::string_view piece : pieces) {
    if (piece.empty()) continue;
    if (count == MAX_SEND_PIECES) return false;
    storage[count++] = piece;
  }
  std::span<std::string_view> due(storage, count);
  while (!due.empty()) {
    os::SendAttempt attempt = send(std::span<const std::string_view>(due));
    if (attempt.interrupted) continue;
    if (attempt.sent <= 0) return false;
    due = advance_past_sent(due, static_cast<std::size_t>(attempt.sent));
  }
  return true;
}

}  // namespace simrelay
