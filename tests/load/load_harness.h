// Test harness for the load test: the real bridge as a child process, a fake
// X-Plane feeding it at 5 Hz, plain loopback TCP clients and the figures
// Linux shows for a process in /proc. Linux only.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace load {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Owns one file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset();

 private:
  int fd_ = -1;
};

// Raises the soft limit on open descriptors (and the hard one where the
// process may) to at least `wanted`; false when that is not possible.
bool raise_descriptor_limit(std::uint64_t wanted);

// A TCP port on 127.0.0.1 that was free a moment ago.
std::uint16_t free_tcp_port();

// Blocking connection to 127.0.0.1:port; invalid on failure. A non-zero
// `receive_buffer` is set before connecting, so the window stays small.
Fd connect_loopback(std::uint16_t port, int receive_buffer = 0);

bool send_all(int fd, std::string_view bytes);

// Everything the peer sends until it closes, resets or `limit` passes.
struct Answer {
  std::string bytes;
  bool reset = false;  // ended by a reset rather than an orderly close
  bool timed_out = false;
  Clock::duration elapsed{};
};
Answer read_until_closed(int fd, Clock::duration limit);

// One request on a new connection, read to the close.
Answer fetch(std::uint16_t port, std::string_view request, Clock::duration limit = 10s);

// What /proc says about a process.
struct ProcessFigures {
  int threads = 0;
  int descriptors = 0;
  long rss_kib = 0;
  long peak_rss_kib = 0;
};
std::optional<ProcessFigures> read_process_figures(pid_t pid);

// Polls `done` every 100 ms until it holds or `limit` passes.
template <class Predicate>
bool wait_until(Predicate done, Clock::duration limit) {
  auto deadline = Clock::now() + limit;
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(100ms);
  }
}

// Binds UDP port 49000 on the first free address of 127.0.0.180-199 and,
// once running, answers the bridge's subscriptions with a reply of all
// eight values five times a second, sent to the address they came from.
class FakeXPlane {
 public:
  FakeXPlane();
  ~FakeXPlane();
  FakeXPlane(const FakeXPlane&) = delete;
  FakeXPlane& operator=(const FakeXPlane&) = delete;

  bool bound() const { return socket_.valid(); }
  const std::string& host() const { return host_; }
  void start();
  int replies_sent() const { return replies_sent_; }

 private:
  void run();

  Fd socket_;
  std::string host_;
  std::atomic<bool> stop_{false};
  std::atomic<int> replies_sent_{0};
  std::thread thread_;
};

// The bridge binary as a child process, killed when dropped. Its standard
// input is empty and its standard error is the test's own, so sanitizer
// reports show in the test log.
class BridgeProcess {
 public:
  // Starts `binary xplane_host --port P` on a free port and waits for its
  // ready line; nothing when it did not get ready.
  static std::optional<BridgeProcess> start(const std::string& binary,
                                            const std::string& xplane_host);
  BridgeProcess(BridgeProcess&& other) noexcept;
  BridgeProcess& operator=(BridgeProcess&&) = delete;
  ~BridgeProcess();

  pid_t pid() const { return pid_; }
  std::uint16_t port() const { return port_; }
  bool running();

 private:
  BridgeProcess(pid_t pid, std::uint16_t port, Fd output)
      : pid_(pid), port_(port), output_(std::move(output)) {}

  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
  Fd output_;
};

}  // namespace load
