// A tiny HTTP server with one fixed answer, for checking clients against
// what a server really did.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "http_target.h"
#include "platform.h"

namespace simrelay::support {

// Answers every connection with `answer`, then closes it (or, with
// `hold_open`, keeps it until the server ends).
class ScriptedServer {
 public:
  ScriptedServer(std::string answer, bool hold_open);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  Ipv4Endpoint endpoint() const { return {{127, 0, 0, 1}, port_}; }
  HttpTarget target(const std::string& path) const;

 private:
  void serve();

  std::string answer_;
  bool hold_open_;
  Socket listener_;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::vector<Socket> held_;
  std::thread thread_;
};

}  // namespace simrelay::support
