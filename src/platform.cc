// The platform seam's portable half: what every system does alike, on top of
// the system calls of platform_os.h.
#include "platform.h"

#include <atomic>

#include "once_at_exit.h"
#include "platform_os.h"

namespace simrelay {
namespace {

SocketResult failed_with(int error) {
  return {Socket(), error};
}

// What to send when the process ends; set once, then only read.
struct ExitDatagrams {
  NativeSocket socket;  // Owned by the thread that uses it; never closed.
  Ipv4Endpoint to;
  std::vector<std::string> datagrams;
};
std::atomic<const ExitDatagrams*> exit_datagrams{nullptr};
OnceAtExit exit_datagrams_sending;
// Long enough for eight sendto calls, short enough that an ending never
// seems to hang.
constexpr std::chrono::milliseconds EXIT_DATAGRAMS_PATIENCE{150};

// Runs in signal handlers too: see OnceAtExit; sendto is safe there.
void send_exit_datagrams() {
  const ExitDatagrams* exit = exit_datagrams.load();
  if (exit == nullptr) return;
  exit_datagrams_sending.run(
      [exit] {
        Socket borrowed(exit->socket);
        for (const std::string& datagram : exit->datagrams)
          send_datagram(borrowed, exit->to, datagram);
        static_cast<void>(borrowed.release());  // Not ours to close.
      },
      EXIT_DATAGRAMS_PATIENCE);
}

// Drops the first `sent` bytes from `due`: the pieces that went whole, then
// the front of the piece the send stopped in. What is left to send.
std::span<std::string_view> advance_past_sent(std::span<std::string_view> due, std::size_t sent) {
  while (!due.empty() && sent >= due.front().size()) {
    sent -= due.front().size();
    due = due.subspan(1);
  }
  if (!due.empty()) due.front().remove_prefix(sent);
  return due;
}

}  // namespace

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.release();
  }
  return *this;
}

NativeSocket Socket::release() {
  NativeSocket handle = handle_;
  handle_ = INVALID;
  return handle;
}

std::string to_string(const Ipv4Endpoint& endpoint) {
  std::string text;
  for (std::size_t i = 0; i < endpoint.address.size(); ++i) {
    if (i > 0) text += '.';
    text += std::to_string(endpoint.address[i]);
  }
  return text + ':' + std::to_string(endpoint.port);
}

SocketResult open_udp_socket_at(const Ipv4Endpoint& local) {
  SocketResult result = os::open_socket(os::SocketKind::Datagram);
  if (!result.socket.valid()) return result;
  if (int error = os::bind_to(result.socket, local)) return failed_with(error);
  return result;
}

SocketResult open_tcp_listener(const Ipv4Endpoint& local, int backlog) {
  SocketResult result = os::open_socket(os::SocketKind::Stream);
  if (!result.socket.valid()) return result;
  if (int error = os::prepare_listener(result.socket)) return failed_with(error);
  if (int error = os::bind_to(result.socket, local)) return failed_with(error);
  if (int error = os::listen_on(result.socket, backlog)) return failed_with(error);
  return result;
}

bool set_receive_timeout(const Socket& socket, std::uint32_t milliseconds) {
  return os::set_timeout(socket, os::TimeoutKind::Receive, milliseconds);
}

bool set_send_timeout(const Socket& socket, std::uint32_t milliseconds) {
  return os::set_timeout(socket, os::TimeoutKind::Send, milliseconds);
}

bool send_pieces(std::span<const std::string_view> pieces, const GatheredSend& send) {
  std::string_view storage[MAX_SEND_PIECES];
  std::size_t count = 0;
  for (std::string_view piece : pieces) {
    if (piece.empty()) continue;
    if (count == MAX_SEND_PIECES) return false;
    storage[count++] = piece;
  }
  std::span<std::string_view> due(storage, count);
  while (!due.empty()) {
    SendAttempt attempt = send(due);
    if (attempt.interrupted) continue;
    if (attempt.sent <= 0) return false;
    due = advance_past_sent(due, static_cast<std::size_t>(attempt.sent));
  }
  return true;
}

bool send_all(const Socket& socket, std::span<const std::string_view> pieces) {
  return send_pieces(pieces, [&socket](std::span<const std::string_view> due) {
    return os::send_gathered(socket, due);
  });
}

void send_datagrams_at_exit(const Socket& socket, const Ipv4Endpoint& to,
                            std::vector<std::string> datagrams) {
  exit_datagrams.store(new ExitDatagrams{socket.native(), to, std::move(datagrams)});
  os::run_at_ending(send_exit_datagrams);
}

void exit_process(int status) {
  send_exit_datagrams();
  os::end_process(status);
}

}  // namespace simrelay
