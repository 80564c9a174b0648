// nginx as the yardstick for /state: one process, keep-alive off, serving
// the same snapshot bytes with the same headers as the bridge, from a config
// of its own in a temporary directory.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace simrelay::bench {

// The configuration: /state answers `body` with the bridge's CORS headers,
// "Content-Type: application/json" and "Connection: close".
std::string nginx_config(const std::string& directory, std::uint16_t port, std::string_view body);

class NginxServer {
 public:
  // Starts nginx on a free loopback port and waits until it accepts
  // connections. Nothing when it is not installed or did not start; `why`
  // then says so.
  static std::unique_ptr<NginxServer> start(std::string_view body, std::string& why);
  ~NginxServer();  // Ends the process and removes its directory.
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  int pid() const { return pid_; }
  std::uint16_t port() const { return port_; }

 private:
  NginxServer() = default;

  int pid_ = -1;
  std::uint16_t port_ = 0;
  std::string directory_;
};

}  // namespace simrelay::bench
