// Runs the bridge as a child process for end-to-end tests and watches its
// console output. The command that launches it comes from SIMRELAY_BRIDGE
// (a space-separated prefix such as "wine /path/simrelay.exe"), so the same
// tests drive the Linux binary and the Windows one under Wine.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Scales waits for slow launchers (Wine) via SIMRELAY_START_TIMEOUT_MS.
milliseconds start_timeout();

// True when the bridge under test is the Windows build run by Wine.
bool under_wine();

struct ConsoleLine {
  std::string text;
  Clock::time_point at;
};

class BridgeProcess {
 public:
  // `wrapper` goes before the launch command, e.g. {"sh", "-c", "...", }.
  explicit BridgeProcess(const std::vector<std::string>& arguments,
                         const std::vector<std::string>& wrapper = {});
  ~BridgeProcess();
  BridgeProcess(const BridgeProcess&) = delete;
  BridgeProcess& operator=(const BridgeProcess&) = delete;

  // Waits until standard output (or error) holds a line equal to `text`.
  std::optional<ConsoleLine> wait_stdout_line(const std::string& text, milliseconds timeout);
  std::optional<ConsoleLine> wait_stderr_line(const std::string& text, milliseconds timeout);
  // Waits for the ready line; false when it did not come in time.
  bool wait_ready();

  std::vector<ConsoleLine> stdout_lines();
  std::vector<ConsoleLine> stderr_lines();
  // Raw bytes seen so far on each stream.
  std::string stdout_bytes();
  std::string stderr_bytes();

  // Sends a POSIX signal to the bridge (under Wine: to Wine's process).
  void send_signal(int number);
  void close_stdin();
  void write_stdin(const std::string& bytes);
  // The exit status, or nothing when the process is still running then.
  std::optional<int> wait_exit(milliseconds timeout);

 private:
  struct Stream {
    std::string bytes;
    std::string pending;  // The unfinished last line.
    std::vector<ConsoleLine> lines;
    bool closed = false;
  };
  void pump(int fd, Stream& stream);
  std::optional<ConsoleLine> wait_line(Stream& stream, const std::string& text,
                                       milliseconds timeout);

  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  std::optional<int> status_;
  std::mutex mutex_;
  std::condition_variable changed_;
  Stream out_, err_;
  std::thread out_reader_, err_reader_;
};

}  // namespace e2e
