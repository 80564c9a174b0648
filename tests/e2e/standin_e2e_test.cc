// The real bridge pointed at the stand-in: live data arrives at /state and
// /stream, and the bridge reports not live once the stand-in is gone.
#include <gtest/gtest.h>

#include <set>

#include "bridge_process.h"
#include "config.h"
#include "http_client.h"
#include "loopback.h"

namespace simrelay::e2e {
namespace {

using namespace support;

std::string state_of(std::uint16_t port) {
  return body_of(http_exchange(port, "GET /state HTTP/1.1\r\n\r\n", milliseconds(2000)));
}

// Where the value of `"key":` begins in a JSON text, or npos.
std::size_t value_at(const std::string& json, std::string_view key) {
  std::string quoted = "\"";
  quoted.append(key).append("\":");
  std::size_t at = json.find(quoted);
  return at == std::string::npos ? at : at + quoted.size();
}

double number_after(const std::string& json, std::string_view key) {
  std::size_t at = value_at(json, key);
  return at == std::string::npos ? 0.0 : std::strtod(json.c_str() + at, nullptr);
}

TEST(StandIn, BridgeGoesLiveOnItsFlightAndNoticesItsEnd) {
  std::string address = host_of(loopback(STANDIN_E2E.first, XPLANE_PORT));
  auto standin = std::make_unique<BridgeProcess>(
      std::vector<std::string>{address, "--lat", "-33.9", "--lon", "151.2"},
      std::vector<std::string>{XPLANE_STANDIN});
  ASSERT_TRUE(standin->wait_stdout_prefix("✓", start_timeout())) << standin->stderr_bytes();
  auto bridge = BridgeProcess::start_ready(address);
  ASSERT_TRUE(bridge);

  std::string state;
  ASSERT_TRUE(
      wait_until([&] { return (state = state_of(bridge->port())).starts_with(R"({"xp":true)"); },
                 milliseconds(10000)))
      << state;
  for (const char* key : {"lat", "lon", "alt", "hdg", "gs", "ias", "vs", "agl"})
    EXPECT_NE(value_at(state, key), std::string::npos) << key << state;
  EXPECT_NEAR(number_after(state, "lat"), -33.9, 0.1) << state;
  EXPECT_NEAR(number_after(state, "lon"), 151.2, 0.1) << state;
  EXPECT_TRUE(standin->wait_stdout_prefix("→ serving", milliseconds(0)));
  EXPECT_TRUE(bridge->wait_stdout_line("✓ receiving data from X-Plane", milliseconds(2000)));

  // About five events a second, each from a new reply, while the stand-in answers at 5 Hz.
  HttpClient stream(bridge->port());
  stream.send("GET /stream HTTP/1.1\r\n\r\n");
  std::string events = stream.read_until_closed(milliseconds(2000));
  int live = 0;
  std::set<double> stamps;
  for (std::size_t at = events.find("data: {\"xp\":true"); at != std::string::npos;
       at = events.find("data: {\"xp\":true", at + 1)) {
    ++live;
    stamps.insert(number_after(events.substr(at, events.find('\n', at) - at), "t"));
  }
  EXPECT_GE(live, 5) << events;
  EXPECT_GE(stamps.size(), 5u) << events;

  standin.reset();
  EXPECT_TRUE(wait_until([&] { return state_of(bridge->port()) == R"({"xp":false})"; },
                         milliseconds(8000)));
  EXPECT_TRUE(
      bridge->wait_stdout_line("… waiting for X-Plane (is a flight loaded?)", milliseconds(3000)));
}

}  // namespace
}  // namespace simrelay::e2e
