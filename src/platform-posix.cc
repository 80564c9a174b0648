// The platform seam's system calls on POSIX (Linux first; BSD-friendly).
#include "platform.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "platform_os.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace simrelay {
namespace {

#ifndef MSG_NOSIGNAL
constexpr int MSG_NOSIGNAL = 0;  // SIGPIPE is ignored process-wide anyway.
#endif

int fd_of(const Socket& socket) {
  return static_cast<int>(socket.native());
}

void write_line_to(int fd, std::string_view line) {
  std::string text;
  text.reserve(line.size() + 1);
  text.append(line).push_back('\n');
  std::string_view rest = text;
  while (!rest.empty()) {
    ssize_t n = ::write(fd, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // Nowhere to write to: the message is lost, the bridge goes on.
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}

// What runs when a signal ends the process; set once.
std::atomic<void (*)()> ending{nullptr};

// SA_RESETHAND has put the default action back; raised again, the signal
// ends the process as it would have, once this handler returns.
extern "C" void end_on_signal(int signal_number) {
  int saved_errno = errno;
  ending.load()();
  ::raise(signal_number);
  errno = saved_errno;
}

void end_on_signal_unless_ignored(int signal_number) {
  struct sigaction action {};
  // A signal the bridge was started to ignore (nohup) stays ignored.
  if (::sigaction(signal_number, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) return;
  action = {};
  action.sa_handler = end_on_signal;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal_number, &action, nullptr);
}

}  // namespace

void Socket::close() {
  if (valid()) ::close(static_cast<int>(release()));
}

void platform_init() {
  // A write to a closed socket or pipe (say, output piped into a program that
  // has exited) must fail like any other write, not end the bridge.
  ::signal(SIGPIPE, SIG_IGN);
  // Every connection holds a descriptor: allow as many as the system lets us.
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

std::vector<std::string> command_line_arguments(int argc, char** argv) {
  std::vector<std::string> items;
  for (int i = 1; i < argc; ++i)
    items.emplace_back(argv[i]);
  return items;
}

std::string os_error_text(int code) {
  return std::system_category().message(code) + " (os error " + std::to_string(code) + ")";
}

Socket accept_connection(const Socket& listener) {
  int fd = ::accept4(fd_of(listener), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) return Socket(static_cast<NativeSocket>(fd));
  // Out of descriptors or memory, the pending connection stays queued and
  // the next accept would fail at once: pause briefly instead of spinning.
  if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
    ::usleep(10 * 1000);
  }
  return Socket();
}

bool set_no_delay(const Socket& socket) {
  int on = 1;
  return ::setsockopt(fd_of(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

long receive_some(const Socket& socket, std::span<char> buffer) {
  for (;;) {
    ssize_t n = ::recv(fd_of(socket), buffer.data(), buffer.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? -1 : static_cast<long>(n);
  }
}

std::optional<std::size_t> receive_datagram(const Socket& socket, std::span<char> buffer,
                                            Ipv4Endpoint* sender) {
  sockaddr_in from{};
  iovec vector{buffer.data(), buffer.size()};
  msghdr message{};
  message.msg_name = &from;
  message.msg_namelen = sizeof from;
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  ssize_t n;
  do {
    n = ::recvmsg(fd_of(socket), &message, 0);
  } while (n < 0 && errno == EINTR);
  // recvmsg cuts a longer datagram silently and only flags it.
  if (n < 0 || (message.msg_flags & MSG_TRUNC) != 0) return std::nullopt;
  if (sender != nullptr) *sender = from_sockaddr(from);
  return static_cast<std::size_t>(n);
}

bool send_datagram(const Socket& socket, const Ipv4Endpoint& to, std::span<const char> bytes) {
  sockaddr_in address = to_sockaddr(to);
  return ::sendto(fd_of(socket), bytes.data(), bytes.size(), MSG_NOSIGNAL,
                  reinterpret_cast<sockaddr*>(&address),
                  sizeof address) == static_cast<ssize_t>(bytes.size());
}

std::vector<std::array<std::uint8_t, 4>> resolve_ipv4_addresses(const std::string& host) {
  std::vector<std::array<std::uint8_t, 4>> found;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) return found;
  for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET) continue;
    found.push_back(from_sockaddr(*reinterpret_cast<sockaddr_in*>(entry->ai_addr)).address);
  }
  ::freeaddrinfo(list);
  return found;
}

void allow_late_wakeups(std::uint32_t microseconds) {
#ifdef PR_SET_TIMERSLACK
  ::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(microseconds) * 1000UL);
#else
  static_cast<void>(microseconds);  // Timers keep the system's own slack.
#endif
}

int start_raw_thread(ThreadBody body, void* context) {
  // Every thread here is small: a receive loop or one connection. A modest
  // stack keeps a thousand open streams cheap.
  constexpr std::size_t STACK_SIZE = 256 * 1024;
  pthread_attr_t attributes;
  if (int error = pthread_attr_init(&attributes); error != 0) return error;
  pthread_attr_setstacksize(&attributes, STACK_SIZE);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  struct Start {
    ThreadBody body;
    void* context;
  };
  auto* start = new Start{body, context};
  pthread_t thread;
  int error = pthread_create(
      &thread, &attributes,
      [](void* raw) -> void* {
        Start run = *static_cast<Start*>(raw);
        delete static_cast<Start*>(raw);
        run.body(run.context);
        return nullptr;
      },
      start);
  pthread_attr_destroy(&attributes);
  if (error != 0) delete start;
  return error;
}

void write_stdout_line(std::string_view line) {
  write_line_to(STDOUT_FILENO, line);
}

void write_stderr_line(std::string_view line) {
  write_line_to(STDERR_FILENO, line);
}

void discard_stdin_line() {
  char byte;
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || byte == '\n') return;
  }
}

namespace os {

SocketResult open_socket(SocketKind kind) {
  int type = kind == SocketKind::Datagram ? SOCK_DGRAM : SOCK_STREAM;
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return {Socket(), errno};
  return {Socket(static_cast<NativeSocket>(fd)), 0};
}

int prepare_listener(const Socket& socket) {
  // Without SO_REUSEADDR the connections a previous run closed keep the port
  // for a minute (TIME_WAIT). Linux still refuses a second listener with it.
  int on = 1;
  return ::setsockopt(fd_of(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 ? 0 : errno;
}

int bind_to(const Socket& socket, const Ipv4Endpoint& local) {
  sockaddr_in address = to_sockaddr(local);
  return ::bind(fd_of(socket), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? 0
                                                                                           : errno;
}

bool set_timeout(const Socket& socket, TimeoutKind kind, std::uint32_t milliseconds) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(milliseconds / 1000);
  tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
  int option = kind == TimeoutKind::Receive ? SO_RCVTIMEO : SO_SNDTIMEO;
  return ::setsockopt(fd_of(socket), SOL_SOCKET, option, &tv, sizeof tv) == 0;
}

int listen_on(const Socket& socket, int backlog) {
  return ::listen(fd_of(socket), backlog) == 0 ? 0 : errno;
}

SendAttempt send_gathered(const Socket& socket, std::span<const std::string_view> pieces) {
  iovec vectors[MAX_SEND_PIECES];
  std::size_t count = std::min(pieces.size(), MAX_SEND_PIECES);
  for (std::size_t i = 0; i < count; ++i)
    vectors[i] = {const_cast<char*>(pieces[i].data()), pieces[i].size()};
  msghdr message{};
  message.msg_iov = vectors;
  message.msg_iovlen = count;
  ssize_t sent = ::sendmsg(fd_of(socket), &message, MSG_NOSIGNAL);
  return {sent < 0 ? -1 : static_cast<long>(sent), sent < 0 && errno == EINTR};
}

void run_at_ending(void (*ending_first)()) {
  ending.store(ending_first);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
    end_on_signal_unless_ignored(signal_number);
}

void end_process(int status) {
  std::_Exit(status);
}

}  // namespace os

}  // namespace simrelay
