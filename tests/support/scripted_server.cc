#include "scripted_server.h"

#include <array>

#include "sockets.h"

namespace simrelay::support {

ScriptedServer::ScriptedServer(std::string answer, bool hold_open)
    : answer_(std::move(answer)), hold_open_(hold_open) {
  listener_ = std::move(open_tcp_listener({{127, 0, 0, 1}, 0}, 128).socket);
  port_ = local_port(listener_).value_or(0);
  thread_ = std::thread([this] { serve(); });
}

ScriptedServer::~ScriptedServer() {
  stop_ = true;
  connect_tcp(endpoint());  // Wakes the accept.
  thread_.join();
}

HttpTarget ScriptedServer::target(const std::string& path) const {
  return *make_http_target("127.0.0.1", port_, path);
}

void ScriptedServer::serve() {
  while (!stop_) {
    Socket connection = accept_connection(listener_);
    if (!connection.valid() || stop_) continue;
    std::array<char, 1024> request;
    receive_some(connection, request);  // The whole small request.
    send_all(connection, answer_);
    if (hold_open_) held_.push_back(std::move(connection));
  }
}

}  // namespace simrelay::support
