#include "bridge_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <vector>

#include "platform.h"
#include "state.h"

extern char** environ;

namespace simrelay::bench {
namespace {

constexpr std::string_view READY_PREFIX = "✓ bridge ready";
constexpr std::string_view FAILURE_PREFIX = "✗";
constexpr std::chrono::milliseconds READY_TIMEOUT{5000};
constexpr int PORT_ATTEMPTS = 3;

// Runs argv with standard input and output redirected; the child's pid or -1.
int spawn(std::vector<std::string> arguments, int child_stdin, int child_stdout) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (child_stdin >= 0) posix_spawn_file_actions_adddup2(&actions, child_stdin, 0);
  if (child_stdout >= 0) {
    posix_spawn_file_actions_adddup2(&actions, child_stdout, 1);
    posix_spawn_file_actions_adddup2(&actions, child_stdout, 2);
  }
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (std::string& argument : arguments)
    argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

}  // namespace

std::optional<std::uint16_t> pick_free_port() {
  SocketResult listener = open_tcp_listener(0, 1);
  if (!listener.socket.valid()) return std::nullopt;
  return local_port(listener.socket);
}

std::unique_ptr<BridgeProcess> BridgeProcess::start(const std::string& binary,
                                                    const std::string& xplane_host) {
  for (int attempt = 0; attempt < PORT_ATTEMPTS; ++attempt) {
    std::optional<std::uint16_t> port = pick_free_port();
    if (!port) return nullptr;
    std::unique_ptr<BridgeProcess> bridge(new BridgeProcess());
    if (bridge->launch(binary, xplane_host, *port)) return bridge;
  }
  return nullptr;
}

bool BridgeProcess::launch(const std::string& binary, const std::string& xplane_host,
                           std::uint16_t port) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return false;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return false;
  }
  port_ = port;
  MonotonicInstant begin = MonotonicClock::now();
  pid_ = spawn({binary, xplane_host, "--port", std::to_string(port)}, in[0], out[1]);
  ::close(in[0]);
  ::close(out[1]);
  stdin_ = in[1];
  stdout_ = out[0];
  if (pid_ < 0) return false;
  for (;;) {
    std::optional<std::string> line = next_line(READY_TIMEOUT);
    if (!line || line->starts_with(FAILURE_PREFIX)) return false;
    if (line->starts_with(READY_PREFIX)) break;
  }
  ready_after_ = MonotonicClock::now() - begin;
  return true;
}

bool BridgeProcess::wait_for_line(std::string_view prefix, std::chrono::milliseconds timeout) {
  // The line may have come already, even before the ready line.
  std::string_view seen = transcript_;  // Whole lines, each ending in '\n'.
  while (!seen.empty()) {
    if (seen.starts_with(prefix)) return true;
    seen.remove_prefix(std::min(seen.find('\n'), seen.size() - 1) + 1);
  }
  MonotonicInstant deadline = MonotonicClock::now() + timeout;
  for (;;) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - MonotonicClock::now());
    if (left.count() <= 0) return false;
    std::optional<std::string> line = next_line(left);
    if (!line) return false;
    if (line->starts_with(prefix)) return true;
  }
}

std::optional<std::string> BridgeProcess::next_line(std::chrono::milliseconds timeout) {
  MonotonicInstant deadline = MonotonicClock::now() + timeout;
  for (;;) {
    std::size_t newline = pending_.find('\n');
    if (newline != std::string::npos) {
      std::string line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      transcript_.append(line).push_back('\n');
      return line;
    }
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - MonotonicClock::now());
    pollfd watch{stdout_, POLLIN, 0};
    if (left.count() < 0 || ::poll(&watch, 1, static_cast<int>(left.count())) <= 0) {
      return std::nullopt;
    }
    std::array<char, 512> buffer;
    ssize_t n = ::read(stdout_, buffer.data(), buffer.size());
    if (n <= 0) return std::nullopt;
    pending_.append(buffer.data(), static_cast<std::size_t>(n));
  }
}

BridgeProcess::~BridgeProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  if (stdin_ >= 0) ::close(stdin_);
  if (stdout_ >= 0) ::close(stdout_);
}

std::optional<std::uint64_t> stripped_size(const std::string& binary) {
  std::filesystem::path copy = std::filesystem::temp_directory_path() /
                               ("simrelay-bench-stripped-" + std::to_string(::getpid()));
  int pid = spawn({"strip", "-o", copy.string(), binary}, -1, -1);
  if (pid < 0) return std::nullopt;
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::error_code error;
  std::uint64_t size = std::filesystem::file_size(copy, error);
  if (error) size = 0;
  std::filesystem::remove(copy, error);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || size == 0) return std::nullopt;
  return size;
}

}  // namespace simrelay::bench
