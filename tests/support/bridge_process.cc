#include "bridge_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "loopback.h"

extern char** environ;

namespace simrelay::support {
namespace {

constexpr std::string_view READY_PREFIX = "✓ bridge ready on";
constexpr std::string_view FAILURE_PREFIX = "✗";
constexpr int PORT_ATTEMPTS = 3;

// Starts `arguments` with the given standard streams (-1: the test's own)
// in a process group of its own, so that helpers a launcher starts end
// with it, and with the signals a user's shell would leave it, whatever the
// test runner ignores. The pid, or -1.
pid_t spawn(std::vector<std::string> arguments, int in, int out, int err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (auto [from, to] : {std::pair{in, 0}, {out, 1}, {err, 2}}) {
    if (from >= 0) posix_spawn_file_actions_adddup2(&actions, from, to);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int number : {SIGINT, SIGTERM, SIGHUP})
    sigaddset(&defaults, number);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  std::vector<char*> argv;
  for (std::string& word : arguments)
    argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int error = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

bool any_line_starts_with(const std::vector<ConsoleLine>& lines, std::string_view prefix) {
  for (const ConsoleLine& line : lines) {
    if (line.text.starts_with(prefix)) return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> bridge_command() {
  const char* configured = std::getenv("SIMRELAY_BRIDGE");
  std::string text = configured != nullptr && *configured != '\0' ? configured : SIMRELAY_BINARY;
  std::istringstream words(text);
  std::vector<std::string> command;
  for (std::string word; words >> word;)
    command.push_back(word);
  return command;
}

bool under_wine() {
  for (const std::string& word : bridge_command()) {
    if (word.ends_with("wine") || word.ends_with("wine64")) return true;
  }
  return false;
}

milliseconds start_timeout() {
  const char* configured = std::getenv("SIMRELAY_START_TIMEOUT_MS");
  return milliseconds(configured != nullptr ? std::atoi(configured) : 10000);
}

BridgeProcess::BridgeProcess(const std::vector<std::string>& arguments,
                             const std::vector<std::string>& command,
                             const std::vector<std::string>& wrapper) {
  std::vector<std::string> words = wrapper;
  words.insert(words.end(), command.begin(), command.end());
  words.insert(words.end(), arguments.begin(), arguments.end());
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    std::abort();
  }
  started_at_ = Clock::now();
  pid_ = spawn(words, in[0], out[1], err[1]);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (pid_ < 0) std::abort();
  stdin_fd_ = in[1];
  out_reader_ = std::thread([this, fd = out[0]] { pump(fd, out_); });
  err_reader_ = std::thread([this, fd = err[0]] { pump(fd, err_); });
}

BridgeProcess::~BridgeProcess() {
  if (!status_) {
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
  }
  close_stdin();
  out_reader_.join();
  err_reader_.join();
}

std::unique_ptr<BridgeProcess> BridgeProcess::start_ready(const std::string& xplane_host,
                                                          const std::vector<std::string>& command) {
  for (int attempt = 0; attempt < PORT_ATTEMPTS; ++attempt) {
    std::uint16_t port = free_tcp_port();
    auto bridge = std::make_unique<BridgeProcess>(
        std::vector<std::string>{xplane_host, "--port", std::to_string(port)}, command);
    bridge->port_ = port;
    if (bridge->wait_ready()) return bridge;
  }
  return nullptr;
}

void BridgeProcess::pump(int fd, Stream& stream) {
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard lock(mutex_);
    if (n <= 0) {
      stream.closed = true;
      changed_.notify_all();
      break;
    }
    stream.bytes.append(buffer, static_cast<std::size_t>(n));
    stream.pending.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t end; (end = stream.pending.find('\n')) != std::string::npos;) {
      stream.lines.push_back({stream.pending.substr(0, end), Clock::now()});
      stream.pending.erase(0, end + 1);
    }
    changed_.notify_all();
  }
  close(fd);
}

template <class Match>
std::optional<ConsoleLine> BridgeProcess::wait_line(Stream& stream, Match match,
                                                    milliseconds timeout) {
  std::unique_lock lock(mutex_);
  std::optional<ConsoleLine> found;
  changed_.wait_for(lock, timeout, [&] {
    for (const ConsoleLine& line : stream.lines) {
      if (match(line.text)) {
        found = line;
        return true;
      }
    }
    return stream.closed;
  });
  return found;
}

std::optional<ConsoleLine> BridgeProcess::wait_stdout_line(const std::string& text,
                                                           milliseconds timeout) {
  return wait_line(
      out_, [&](const std::string& line) { return line == text; }, timeout);
}

std::optional<ConsoleLine> BridgeProcess::wait_stderr_line(const std::string& text,
                                                           milliseconds timeout) {
  return wait_line(
      err_, [&](const std::string& line) { return line == text; }, timeout);
}

std::optional<ConsoleLine> BridgeProcess::wait_stdout_prefix(const std::string& prefix,
                                                             milliseconds timeout) {
  return wait_line(
      out_, [&](const std::string& line) { return line.starts_with(prefix); }, timeout);
}

bool BridgeProcess::wait_ready() {
  std::unique_lock lock(mutex_);
  // A failed start says why on standard error; no need to wait it out.
  return changed_.wait_for(lock, start_timeout(), [&] {
    return any_line_starts_with(out_.lines, READY_PREFIX) || out_.closed ||
           any_line_starts_with(err_.lines, FAILURE_PREFIX);
  }) && any_line_starts_with(out_.lines, READY_PREFIX);
}

std::vector<ConsoleLine> BridgeProcess::stdout_lines() {
  std::lock_guard lock(mutex_);
  return out_.lines;
}

std::vector<ConsoleLine> BridgeProcess::stderr_lines() {
  std::lock_guard lock(mutex_);
  return err_.lines;
}

std::string BridgeProcess::stdout_bytes() {
  std::lock_guard lock(mutex_);
  return out_.bytes;
}

std::string BridgeProcess::stderr_bytes() {
  std::lock_guard lock(mutex_);
  return err_.bytes;
}

void BridgeProcess::close_stdin() {
  if (stdin_fd_ >= 0) close(stdin_fd_);
  stdin_fd_ = -1;
}

void BridgeProcess::write_stdin(const std::string& bytes) {
  if (stdin_fd_ >= 0) (void)!write(stdin_fd_, bytes.data(), bytes.size());
}

std::optional<int> BridgeProcess::wait_exit(milliseconds timeout) {
  if (status_) return status_;
  auto deadline = Clock::now() + timeout;
  for (;;) {
    int status;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      kill(-pid_, SIGKILL);  // Whatever the launcher left behind.
      // Let the readers take in the last output before anyone looks at it.
      std::unique_lock lock(mutex_);
      changed_.wait_for(lock, milliseconds(2000), [&] { return out_.closed && err_.closed; });
      return status_;
    }
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(milliseconds(10));
  }
}

}  // namespace simrelay::support
