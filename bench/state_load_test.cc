// The /state load against tiny scripted servers: what it counts as done and
// failed must match what the server really did.
#include <gtest/gtest.h>

#include "scripted_server.h"
#include "state_load.h"

namespace simrelay::bench {
namespace {

using support::make_http_target;
using support::ScriptedServer;

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

}  // namespace
}  // namespace simrelay::bench
