// The bridge as a child process: started on a free loopback port, watched
// until its ready line, and ended when the measurement is done.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace simrelay::bench {

class BridgeProcess {
 public:
  // Starts `binary xplane_host --port P` with a port the system had free,
  // and waits for the ready line. Retries with another port when the one
  // picked was taken meanwhile. Nothing when it did not get ready.
  static std::unique_ptr<BridgeProcess> start(const std::string& binary,
                                              const std::string& xplane_host);
  ~BridgeProcess();  // Ends the process.
  BridgeProcess(const BridgeProcess&) = delete;
  BridgeProcess& operator=(const BridgeProcess&) = delete;

  int pid() const { return pid_; }
  std::uint16_t port() const { return port_; }
  // From starting the process to reading its ready line.
  std::chrono::duration<double, std::milli> ready_after() const { return ready_after_; }
  // Waits for a line on standard output that begins with `prefix`, unless
  // one has come already.
  bool wait_for_line(std::string_view prefix, std::chrono::milliseconds timeout);
  // Every line of output read so far, for telling why a start failed.
  const std::string& transcript() const { return transcript_; }

 private:
  BridgeProcess() = default;
  bool launch(const std::string& binary, const std::string& xplane_host, std::uint16_t port);
  std::optional<std::string> next_line(std::chrono::milliseconds timeout);

  int pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::uint16_t port_ = 0;
  std::string pending_;  // Output read past the last line handed out.
  std::string transcript_;
  std::chrono::duration<double, std::milli> ready_after_{};
};

// A TCP port on 127.0.0.1 that was free a moment ago.
std::optional<std::uint16_t> pick_free_port();

// Size in bytes of a stripped copy of the file (made with `strip`).
std::optional<std::uint64_t> stripped_size(const std::string& binary);

}  // namespace simrelay::bench
