// The bridge as a child process, for the whole-program suites and the
// benchmark: its console output is read as it comes, line by line with the
// moment each line arrived. The launch command is a prefix such as
// "wine /path/simrelay.exe", so the same tests drive the Linux binary and
// the Windows one under Wine. Linux only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace simrelay::support {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The launch command: SIMRELAY_BRIDGE (words split at spaces) when set,
// else the bridge built beside the tests.
std::vector<std::string> bridge_command();

// True when the bridge under test is the Windows build run by Wine.
bool under_wine();

// How long a bridge may take to start: SIMRELAY_START_TIMEOUT_MS, for slow
// launchers (Wine), else 10 s.
milliseconds start_timeout();

struct ConsoleLine {
  std::string text;
  Clock::time_point at;
};

class BridgeProcess {
 public:
  // Runs `wrapper` + `command` + `arguments` in a process group of its own;
  // `wrapper` is e.g. {"/bin/sh", "-c", "..."}.
  explicit BridgeProcess(const std::vector<std::string>& arguments,
                         const std::vector<std::string>& command = bridge_command(),
                         const std::vector<std::string>& wrapper = {});
  ~BridgeProcess();  // Kills the process group.
  BridgeProcess(const BridgeProcess&) = delete;
  BridgeProcess& operator=(const BridgeProcess&) = delete;

  // Starts `command xplane_host --port P` on a port that was free and waits
  // for its ready line; tries another port when the bridge found this one
  // taken meanwhile. Nothing when it did not get ready.
  static std::unique_ptr<BridgeProcess> start_ready(
      const std::string& xplane_host, const std::vector<std::string>& command = bridge_command());

  pid_t pid() const { return pid_; }
  // The HTTP port, for bridges from start_ready().
  std::uint16_t port() const { return port_; }
  Clock::time_point started_at() const { return started_at_; }

  // Waits until standard output (or error) holds a line equal to `text`.
  std::optional<ConsoleLine> wait_stdout_line(const std::string& text, milliseconds timeout);
  std::optional<ConsoleLine> wait_stderr_line(const std::string& text, milliseconds timeout);
  // The first line of standard output that begins with `prefix`.
  std::optional<ConsoleLine> wait_stdout_prefix(const std::string& prefix, milliseconds timeout);
  // Waits for the ready line; false when it did not come in time.
  bool wait_ready();

  std::vector<ConsoleLine> stdout_lines();
  std::vector<ConsoleLine> stderr_lines();
  // Raw bytes seen so far on each stream.
  std::string stdout_bytes();
  std::string stderr_bytes();

  void close_stdin();
  void write_stdin(const std::string& bytes);
  // The exit status, or nothing when the process is still running then.
  std::optional<int> wait_exit(milliseconds timeout);
  bool running() { return !wait_exit(milliseconds(0)); }

 private:
  struct Stream {
    std::string bytes;
    std::string pending;  // The unfinished last line.
    std::vector<ConsoleLine> lines;
    bool closed = false;
  };
  void pump(int fd, Stream& stream);
  template <class Match>
  std::optional<ConsoleLine> wait_line(Stream& stream, Match match, milliseconds timeout);

  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  std::uint16_t port_ = 0;
  Clock::time_point started_at_;
  std::optional<int> status_;
  std::mutex mutex_;
  std::condition_variable changed_;
  Stream out_, err_;
  std::thread out_reader_, err_reader_;
};

// Polls `done` every 100 ms until it holds or `limit` passes.
template <class Predicate>
bool wait_until(Predicate done, Clock::duration limit) {
  auto deadline = Clock::now() + limit;
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(100));
  }
}

}  // namespace simrelay::support
