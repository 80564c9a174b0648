#include "bridge_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace e2e {
namespace {

std::vector<std::string> launch_prefix() {
  const char* configured = std::getenv("SIMRELAY_BRIDGE");
  std::string text = configured != nullptr && *configured != '\0' ? configured : SIMRELAY_BINARY;
  std::istringstream words(text);
  std::vector<std::string> prefix;
  for (std::string word; words >> word;)
    prefix.push_back(word);
  return prefix;
}

}  // namespace

milliseconds start_timeout() {
  const char* configured = std::getenv("SIMRELAY_START_TIMEOUT_MS");
  return milliseconds(configured != nullptr ? std::atoi(configured) : 10000);
}

bool under_wine() {
  for (const std::string& word : launch_prefix()) {
    if (word.ends_with("wine") || word.ends_with("wine64")) return true;
  }
  return false;
}

BridgeProcess::BridgeProcess(const std::vector<std::string>& arguments,
                             const std::vector<std::string>& wrapper) {
  std::vector<std::string> command = wrapper;
  std::vector<std::string> prefix = launch_prefix();
  command.insert(command.end(), prefix.begin(), prefix.end());
  command.insert(command.end(), arguments.begin(), arguments.end());
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    std::abort();
  }
  pid_ = fork();
  if (pid_ == 0) {
    setpgid(0, 0);  // Own process group, so helpers a launcher starts die with it.
    // Signals as a user's shell would leave them, whatever the test runner ignores.
    for (int number : {SIGINT, SIGTERM, SIGHUP})
      signal(number, SIG_DFL);
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    std::vector<char*> argv;
    for (std::string& word : command)
      argv.push_back(word.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
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

std::optional<ConsoleLine> BridgeProcess::wait_line(Stream& stream, const std::string& text,
                                                    milliseconds timeout) {
  std::unique_lock lock(mutex_);
  std::optional<ConsoleLine> found;
  changed_.wait_for(lock, timeout, [&] {
    for (const ConsoleLine& line : stream.lines) {
      if (line.text == text) {
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
  return wait_line(out_, text, timeout);
}

std::optional<ConsoleLine> BridgeProcess::wait_stderr_line(const std::string& text,
                                                           milliseconds timeout) {
  return wait_line(err_, text, timeout);
}

bool BridgeProcess::wait_ready() {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, start_timeout(), [&] {
    for (const ConsoleLine& line : out_.lines) {
      if (line.text.rfind("✓ bridge ready on", 0) == 0) return true;
    }
    return out_.closed;
  }) && !out_.closed;
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

void BridgeProcess::send_signal(int number) {
  kill(pid_, number);
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

}  // namespace e2e
