// The thin seam between the bridge and the operating system: sockets, the
// console, threads and the command line. platform.cc implements what is the
// same everywhere on top of the system calls that platform-posix.cc and
// platform-win32.cc make (platform_os.h); everything else stays portable.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace simrelay {

// An IPv4 socket address: four address bytes in network order and a port.
struct Ipv4Endpoint {
  std::array<std::uint8_t, 4> address{};
  std::uint16_t port = 0;

  friend bool operator==(const Ipv4Endpoint&, const Ipv4Endpoint&) = default;
};

// "a.b.c.d:port".
std::string to_string(const Ipv4Endpoint& endpoint);

// Once per process, before any other call here: starts the socket library
// and makes writes to vanished peers fail instead of killing the process.
void platform_init();

// The process's arguments as UTF-8 items, without the program's own name.
std::vector<std::string> command_line_arguments(int argc, char** argv);

// --- Sockets ---------------------------------------------------------------

// The system's socket handle, wide enough for a Winsock SOCKET.
using NativeSocket = std::uintptr_t;

// Owns one socket handle and closes it when dropped.
class Socket {
 public:
  Socket() = default;
  explicit Socket(NativeSocket handle) : handle_(handle) {}
  Socket(Socket&& other) noexcept : handle_(other.release()) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { close(); }

  bool valid() const { return handle_ != INVALID; }
  NativeSocket native() const { return handle_; }
  NativeSocket release();
  void close();

 private:
  static constexpr NativeSocket INVALID = ~NativeSocket{0};
  NativeSocket handle_ = INVALID;
};

// A socket, or the system error code that kept it from being made.
struct SocketResult {
  Socket socket;
  int error = 0;
};

// The system's text for an error code followed by " (os error N)".
std::string os_error_text(int code);

// UDP socket bound to a local IPv4 endpoint (address 0.0.0.0: every
// interface; port 0: one the system picks).
SocketResult open_udp_socket_at(const Ipv4Endpoint& local);

// TCP listener bound to a local IPv4 endpoint. A port that another socket
// listens on makes this fail; connections a previous listener on the port
// left closing (TIME_WAIT) do not.
SocketResult open_tcp_listener(const Ipv4Endpoint& local, int backlog);

// Blocks for the next connection; an invalid socket when accepting failed.
Socket accept_connection(const Socket& listener);

bool set_receive_timeout(const Socket& socket, std::uint32_t milliseconds);
bool set_send_timeout(const Socket& socket, std::uint32_t milliseconds);
bool set_no_delay(const Socket& socket);

// Bytes received (0 at the end of the stream), or -1 on any failure,
// the receive time-out included.
long receive_some(const Socket& socket, std::span<char> buffer);

// Sends the pieces in order (at most MAX_SEND_PIECES that are not empty),
// as one gathered write where the system has it, resending what a partial
// send left. False on the first failure or on a send that took nothing.
// Never raises a signal.
inline constexpr std::size_t MAX_SEND_PIECES = 16;
bool send_all(const Socket& socket, std::span<const std::string_view> pieces);
inline bool send_all(const Socket& socket, std::string_view bytes) {
  return send_all(socket, std::span<const std::string_view>(&bytes, 1));
}

// One gathered send: the bytes it took (-1 when it failed), and whether a
// signal cut it short before it took anything.
struct SendAttempt {
  long sent;
  bool interrupted;
};
using GatheredSend = std::function<SendAttempt(std::span<const std::string_view> due)>;

// The loop behind send_all with the system's send replaced by `send`, so
// that tests can make the sends short or interrupted.
bool send_pieces(std::span<const std::string_view> pieces, const GatheredSend& send);

// One whole datagram: its length, or nothing when the receive failed or the
// datagram did not fit the buffer (a longer datagram is dropped whole).
// `sender` receives the peer's address when given.
std::optional<std::size_t> receive_datagram(const Socket& socket, std::span<char> buffer,
                                            Ipv4Endpoint* sender = nullptr);

bool send_datagram(const Socket& socket, const Ipv4Endpoint& to, std::span<const char> bytes);

// The IPv4 addresses the system's resolver gives for a host name, in its
// order (stream-socket hint, any family; addresses of other families are
// left out). Empty when the lookup fails.
std::vector<std::array<std::uint8_t, 4>> resolve_ipv4_addresses(const std::string& host);

// --- Threads ---------------------------------------------------------------

// Lets the calling thread's sleeps and timed waits end up to this many
// microseconds late, so that the system can wake many sleeping threads at
// one timer interrupt. Nothing changes where the system has no such setting.
void allow_late_wakeups(std::uint32_t microseconds);

using ThreadBody = void (*)(void* context);

// Runs body(context) on a new detached thread. Returns 0, or the system
// error code when no thread could be started; body is then never called.
int start_raw_thread(ThreadBody body, void* context);

// Runs a callable on a new detached thread that owns it. Returns 0, or the
// system error code when no thread could be started; the callable is then
// destroyed unrun.
template <class Callable>
int start_detached_thread(Callable callable) {
  auto owned = std::make_unique<Callable>(std::move(callable));
  ThreadBody body = [](void* context) {
    std::unique_ptr<Callable> task(static_cast<Callable*>(context));
    (*task)();
  };
  int error = start_raw_thread(body, owned.get());
  if (error == 0) static_cast<void>(owned.release());  // The new thread owns it now.
  return error;
}

// --- Console ---------------------------------------------------------------

// Writes `line` and a line feed in one call, unbuffered, on the calling
// thread (queue_stdout_line in console.h queues instead). A console window
// gets Unicode text; a file or pipe gets the UTF-8 bytes.
void write_stdout_line(std::string_view line);
void write_stderr_line(std::string_view line);

// Reads up to and including the next line feed, or to the end of input or a
// read error, and discards it.
void discard_stdin_line();

// --- Ending ----------------------------------------------------------------

// Datagrams to send once, best effort, whenever the process ends from now
// on: through exit_process, on an interrupt, termination or hang-up signal,
// or on a console window's Ctrl+C, Ctrl+Break, close, log-off or shut-down
// event. When two of these meet, the second waits briefly for the first to
// have sent them all. The process then ends as it would have without them,
// with the same exit status. `socket` must stay open for the rest of the
// process. Call once, before other threads use it.
void send_datagrams_at_exit(const Socket& socket, const Ipv4Endpoint& to,
                            std::vector<std::string> datagrams);

// Ends the process at once with this status, after the datagrams above;
// other threads end with it.
[[noreturn]] void exit_process(int status);

}  // namespace simrelay
