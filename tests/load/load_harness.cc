#include "load_harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

extern char** environ;

namespace load {
namespace {

sockaddr_in loopback(const std::string& host, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
  return address;
}

void put_le32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    out += static_cast<char>((value >> (8 * i)) & 0xff);
}

// "RREF", one unexamined byte, then (index, value) records, little-endian.
std::string reply_datagram(int tick) {
  const float values[8] = {47.5f + 0.0001f * static_cast<float>(tick % 1000),
                           8.25f,
                           1200.5f,
                           270.0f,
                           55.0f,
                           110.25f,
                           -500.0f,
                           800.0f};
  std::string datagram("RREF,", 5);
  for (std::uint32_t index = 0; index < 8; ++index) {
    std::uint32_t bits;
    std::memcpy(&bits, &values[index], sizeof bits);
    put_le32(datagram, index);
    put_le32(datagram, bits);
  }
  return datagram;
}

// Waits up to `limit` for a line holding `needle` on a pipe.
bool wait_for_output(int fd, std::string_view needle, Clock::duration limit) {
  std::string seen;
  auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, 100) <= 0) continue;
    char chunk[512];
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) return false;  // The bridge ended.
    seen.append(chunk, static_cast<std::size_t>(n));
    if (seen.find(needle) != std::string::npos) return true;
  }
  return false;
}

long status_field(const std::string& status, const std::string& name) {
  std::size_t at = status.find("\n" + name + ":");
  if (at == std::string::npos) return -1;
  return std::strtol(status.c_str() + at + name.size() + 2, nullptr, 10);
}

}  // namespace

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void Fd::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool raise_descriptor_limit(std::uint64_t wanted) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur >= wanted) return true;
  if (limit.rlim_max < wanted) limit.rlim_max = wanted;  // Needs privilege.
  limit.rlim_cur = wanted;
  return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

std::uint16_t free_tcp_port() {
  Fd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = loopback("127.0.0.1", 0);
  if (::bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 0;
  socklen_t length = sizeof address;
  ::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

Fd connect_loopback(std::uint16_t port, int receive_buffer) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return fd;
  if (receive_buffer > 0) {
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  }
  sockaddr_in address = loopback("127.0.0.1", port);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return Fd();
  return fd;
}

bool send_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

Answer read_until_closed(int fd, Clock::duration limit) {
  Answer answer;
  auto start = Clock::now();
  auto deadline = start + limit;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left <= 0ms) {
      answer.timed_out = true;
      break;
    }
    pollfd entry{fd, POLLIN, 0};
    int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char chunk[4096];
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      answer.reset = true;
      break;
    }
    if (n == 0) break;
    answer.bytes.append(chunk, static_cast<std::size_t>(n));
  }
  answer.elapsed = Clock::now() - start;
  return answer;
}

Answer fetch(std::uint16_t port, std::string_view request, Clock::duration limit) {
  Fd fd = connect_loopback(port);
  if (!fd.valid() || !send_all(fd.get(), request)) return Answer{"", true};
  return read_until_closed(fd.get(), limit);
}

std::optional<ProcessFigures> read_process_figures(pid_t pid) {
  std::string base = "/proc/" + std::to_string(pid);
  std::ifstream file(base + "/status");
  if (!file) return std::nullopt;
  std::stringstream text;
  text << "\n" << file.rdbuf();
  std::string status = text.str();
  ProcessFigures figures;
  figures.threads = static_cast<int>(status_field(status, "Threads"));
  figures.rss_kib = status_field(status, "VmRSS");
  figures.peak_rss_kib = status_field(status, "VmHWM");
  DIR* directory = ::opendir((base + "/fd").c_str());
  if (directory == nullptr) return std::nullopt;
  while (dirent* entry = ::readdir(directory)) {
    if (entry->d_name[0] != '.') ++figures.descriptors;
  }
  ::closedir(directory);
  return figures;
}

FakeXPlane::FakeXPlane() {
  for (int last = 180; last <= 199; ++last) {
    std::string host = "127.0.0." + std::to_string(last);
    Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = loopback(host, 49000);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      socket_ = std::move(fd);
      host_ = host;
      return;
    }
  }
}

FakeXPlane::~FakeXPlane() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void FakeXPlane::start() {
  thread_ = std::thread([this] { run(); });
}

void FakeXPlane::run() {
  std::optional<sockaddr_in> bridge;
  auto next = Clock::now();
  for (int tick = 0; !stop_; ++tick) {
    // Take in whatever subscriptions came; the latest sender is the bridge.
    char request[2048];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    while (::recvfrom(socket_.get(), request, sizeof request, MSG_DONTWAIT,
                      reinterpret_cast<sockaddr*>(&from), &length) > 0) {
      bridge = from;
      length = sizeof from;
    }
    if (bridge) {
      std::string datagram = reply_datagram(tick);
      if (::sendto(socket_.get(), datagram.data(), datagram.size(), 0,
                   reinterpret_cast<sockaddr*>(&*bridge), sizeof *bridge) > 0) {
        ++replies_sent_;
      }
    }
    next += 200ms;
    std::this_thread::sleep_until(next);
  }
}

std::optional<BridgeProcess> BridgeProcess::start(const std::string& binary,
                                                  const std::string& xplane_host) {
  // Another process may take the port between probe and bind: try again.
  for (int attempt = 0; attempt < 5; ++attempt) {
    std::uint16_t port = free_tcp_port();
    int pipe_ends[2];
    if (::pipe2(pipe_ends, O_CLOEXEC) != 0) return std::nullopt;
    Fd output(pipe_ends[0]);
    Fd output_write(pipe_ends[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output_write.get(), STDOUT_FILENO);
    std::string port_text = std::to_string(port);
    std::vector<char*> argv = {const_cast<char*>(binary.c_str()),
                               const_cast<char*>(xplane_host.c_str()), const_cast<char*>("--port"),
                               port_text.data(), nullptr};
    pid_t pid = -1;
    int error = ::posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    output_write.reset();
    if (error != 0) return std::nullopt;

    BridgeProcess bridge(pid, port, std::move(output));
    // Sanitizer builds start slowly on a busy machine.
    if (wait_for_output(bridge.output_.get(), "bridge ready", 60s)) return bridge;
  }
  return std::nullopt;
}

BridgeProcess::BridgeProcess(BridgeProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), port_(other.port_), output_(std::move(other.output_)) {}

BridgeProcess::~BridgeProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

bool BridgeProcess::running() {
  int status = 0;
  return pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == 0;
}

}  // namespace load
