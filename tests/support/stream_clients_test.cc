// The stream clients against a tiny scripted server: what they count as
// received and failed must match what the server really did.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scripted_server.h"
#include "stream_clients.h"

namespace simrelay::support {
namespace {

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
}  // namespace simrelay::support
