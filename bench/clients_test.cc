// The load clients against tiny scripted servers: what they count as done,
// failed and received must match what the server really did.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "state_load.h"
#include "stream_clients.h"

namespace simrelay::bench {
namespace {

// Answers every connection with `answer`, then closes it (or, with
// `hold_open`, keeps it until the server ends).
class ScriptedServer {
 public:
  ScriptedServer(std::string answer, bool hold_open)
      : answer_(std::move(answer)), hold_open_(hold_open) {
    listener_ = std::move(open_tcp_listener(0, 128).socket);
    port_ = local_port(listener_).value_or(0);
    thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedServer() {
    stop_ = true;
    connect_tcp(endpoint());  // Wakes the accept.
    thread_.join();
  }
  Ipv4Endpoint endpoint() const { return {{127, 0, 0, 1}, port_}; }
  HttpTarget target(const std::string& path) const {
    return *make_http_target("127.0.0.1", port_, path);
  }

 private:
  void serve() {
    while (!stop_) {
      Socket connection = accept_connection(listener_);
      if (!connection.valid() || stop_) continue;
      std::array<char, 1024> request;
      receive_some(connection, request);  // The whole small request.
      send_all(connection, answer_);
      if (hold_open_) held_.push_back(std::move(connection));
    }
  }

  std::string answer_;
  bool hold_open_;
  Socket listener_;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::vector<Socket> held_;
  std::thread thread_;
};

StateLoadResult load(const ScriptedServer& server, std::size_t threads) {
  return run_state_load(server.target("/state"), {4, threads, std::chrono::milliseconds(300)});
}

TEST(StateLoad, CountsAnswersReadToTheirEndAndTheirLatencies) {
  ScriptedServer server("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}", false);
  for (std::size_t threads : {1u, 2u}) {
    StateLoadResult result = load(server, threads);
    EXPECT_GT(result.completed, 0u);
    EXPECT_EQ(result.failed, 0u);
    EXPECT_EQ(result.latencies_ms.size(), result.completed);
    EXPECT_GT(result.seconds, 0.0);
  }
}

TEST(StateLoad, CountsOtherStatusesAndRefusalsAsFailures) {
  ScriptedServer server("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", false);
  StateLoadResult result = load(server, 1);
  EXPECT_EQ(result.completed, 0u);
  EXPECT_GT(result.failed, 0u);

  std::uint16_t closed_port;
  {
    ScriptedServer gone("", false);
    closed_port = gone.endpoint().port;
  }  // Nothing listens there any more.
  auto target = *make_http_target("127.0.0.1", closed_port, "/state");
  StateLoadResult refused = run_state_load(target, {4, 1, std::chrono::milliseconds(100)});
  EXPECT_EQ(refused.completed, 0u);
  EXPECT_GT(refused.failed, 0u);
}

TEST(StreamClients, CountsEveryEventOfEveryClient) {
  ScriptedServer server(
      "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n\r\nretry: 2000\n\n"
      "data: 1\n\ndata: 2\n\ndata: 3\n\n",
      true);
  std::vector<std::string> seen;
  StreamClients clients(server.target("/stream"), 5,
                        [&](std::size_t, std::string_view data, auto) { seen.emplace_back(data); });
  EXPECT_EQ(clients.connect_all(2, std::chrono::milliseconds(5000)), 5u);
  clients.run_for(std::chrono::milliseconds(100));
  EXPECT_EQ(clients.event_counts(), (std::vector<std::uint64_t>(5, 3)));
  EXPECT_EQ(clients.failed_count(), 0u);
  EXPECT_EQ(clients.open_count(), 5u);
  EXPECT_EQ(seen.size(), 15u);
}

TEST(StreamClients, TakesAStreamThatEndsOrIsRefusedAsFailed) {
  ScriptedServer ends("HTTP/1.1 200 OK\r\n\r\ndata: 1\n\n", false);
  StreamClients clients(ends.target("/stream"), 3);
  clients.connect_all(3, std::chrono::milliseconds(5000));
  clients.run_for(std::chrono::milliseconds(100));
  EXPECT_EQ(clients.failed_count(), 3u);
  EXPECT_EQ(clients.open_count(), 0u);

  ScriptedServer not_found("HTTP/1.1 404 Not Found\r\n\r\n", true);
  StreamClients refused(not_found.target("/stream"), 2);
  EXPECT_EQ(refused.connect_all(2, std::chrono::milliseconds(5000)), 0u);
  EXPECT_EQ(refused.failed_count(), 2u);
}

}  // namespace
}  // namespace simrelay::bench
