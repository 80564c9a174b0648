// The bridge against a fake X-Plane: subscriptions, replies, the link's
// console lines and re-subscription while the simulator is silent.
#include <gtest/gtest.h>

#include <signal.h>

#include <bit>
#include <thread>

#include "bridge_process.h"
#include "fake_xplane.h"
#include "full_pipe.h"
#include "http_client.h"

namespace simrelay::e2e {
namespace {

using namespace support;

const std::string LIVE_LINE = "✓ receiving data from X-Plane";
const std::string WAITING_LINE = "… waiting for X-Plane (is a flight loaded?)";
const char* const PATHS[] = {
    "sim/flightmodel/position/latitude",    "sim/flightmodel/position/longitude",
    "sim/flightmodel/position/elevation",   "sim/flightmodel/position/psi",
    "sim/flightmodel/position/groundspeed", "sim/flightmodel/position/indicated_airspeed",
    "sim/flightmodel/position/vh_ind_fpm",  "sim/flightmodel/position/y_agl",
};

std::string request_bytes(std::uint8_t row, std::uint8_t rate_hz = 5) {
  std::string bytes("RREF\0", 5);
  bytes += std::string{static_cast<char>(rate_hz), 0, 0, 0, static_cast<char>(row), 0, 0, 0};
  bytes += PATHS[row];
  bytes.resize(413, '\0');
  return bytes;
}

// A reply datagram: "RREF", one byte, then (index, value) records, built
// here by hand as an independent check of the bridge's reading of the wire.
std::string rref_reply(const std::vector<std::pair<std::uint32_t, float>>& records) {
  std::string bytes("RREF,", 5);
  auto put = [&](std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
      bytes.push_back(static_cast<char>(value >> (8 * i)));
  };
  for (auto [index, value] : records) {
    put(index);
    put(std::bit_cast<std::uint32_t>(value));
  }
  return bytes;
}

double seconds_between(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

class LinkTest : public ::testing::Test {
 protected:
  FakeXPlane xplane = FakeXPlane::open(E2E_XPLANES).value();
  std::uint16_t port = free_tcp_port();
  BridgeProcess bridge{{xplane.host(), "--port", std::to_string(port)}};

  // The first round of eight requests; returns where they came from.
  Ipv4Endpoint expect_subscription_round() {
    auto round = xplane.receive_many(8, start_timeout());
    EXPECT_EQ(round.size(), 8u);
    for (std::size_t row = 0; row < round.size(); ++row) {
      EXPECT_EQ(round[row].bytes, request_bytes(static_cast<std::uint8_t>(row))) << row;
    }
    return round.empty() ? Ipv4Endpoint{} : round.front().from;
  }

  std::string state() { return body_of(http_exchange(port, "GET /state HTTP/1.1\r\n\r\n")); }

  std::size_t count_lines(const std::string& text) {
    std::size_t n = 0;
    for (const ConsoleLine& line : bridge.stdout_lines())
      n += line.text == text;
    return n;
  }
};

TEST_F(LinkTest, SubscribesInOrderAndRepeatsWhileSilent) {
  ASSERT_TRUE(bridge.wait_ready());
  expect_subscription_round();
  auto first = xplane.receive_many(8, milliseconds(6000));
  ASSERT_EQ(first.size(), 8u);
  auto second = xplane.receive_many(8, milliseconds(6000));
  ASSERT_EQ(second.size(), 8u);
  double gap = seconds_between(first.front().at, second.front().at);
  EXPECT_GT(gap, 2.9);
  EXPECT_LT(gap, 4.6);
  EXPECT_EQ(second[7].bytes, request_bytes(7));
  // Silence alone prints nothing about the link.
  EXPECT_EQ(bridge.stdout_lines().size(), 3u);
}

TEST_F(LinkTest, FollowsStartSilenceAndResumption) {
  ASSERT_TRUE(bridge.wait_ready());
  Ipv4Endpoint peer = expect_subscription_round();
  EXPECT_EQ(state(), R"({"xp":false})");

  // Replies at 5 Hz for two seconds: live once, no re-subscription.
  Clock::time_point last_reply;
  for (int i = 0; i < 10; ++i) {
    xplane.send_to(peer, rref_reply({{0, 47.5f}, {1, 8.25f}, {3, static_cast<float>(i)}}));
    last_reply = Clock::now();  // Not after the checks below: they take 0.3 s.
    std::this_thread::sleep_for(milliseconds(200));
  }
  ASSERT_TRUE(bridge.wait_stdout_line(LIVE_LINE, milliseconds(2000)));
  std::string live = state();
  EXPECT_EQ(live.rfind(R"({"xp":true,"t":)", 0), 0u) << live;
  EXPECT_TRUE(live.ends_with(R"(,"lat":47.5,"lon":8.25,"hdg":9})")) << live;
  EXPECT_FALSE(xplane.receive(milliseconds(100))) << "re-subscribed while live";

  // Silence: the waiting line about 3 s after the last reply, with a new round.
  auto waiting = bridge.wait_stdout_line(WAITING_LINE, milliseconds(6000));
  ASSERT_TRUE(waiting);
  double after = seconds_between(last_reply, waiting->at);
  EXPECT_GT(after, 2.7);
  EXPECT_LT(after, 4.5);
  auto round = xplane.receive_many(8, milliseconds(2000));
  EXPECT_EQ(round.size(), 8u);
  EXPECT_EQ(state(), R"({"xp":false})");

  // Resumption: lat and lon are still known, so an empty reply is enough.
  xplane.send_to(peer, rref_reply({}));
  ASSERT_TRUE(bridge.wait_stdout_line(LIVE_LINE, milliseconds(3000)));
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(count_lines(LIVE_LINE), 2u);
  EXPECT_EQ(count_lines(WAITING_LINE), 1u);
  EXPECT_TRUE(state().ends_with(R"(,"lat":47.5,"lon":8.25,"hdg":9})"));
}

TEST_F(LinkTest, OversizeDatagramChangesNothing) {
  ASSERT_TRUE(bridge.wait_ready());
  Ipv4Endpoint peer = expect_subscription_round();
  std::vector<std::pair<std::uint32_t, float>> records;
  for (int i = 0; i < 374; ++i)
    records.push_back({static_cast<std::uint32_t>(i % 2), 1.0f});
  std::string huge = rref_reply(records);
  ASSERT_EQ(huge.size(), 2997u);
  huge += "xyz";
  xplane.send_to(peer, huge);
  std::this_thread::sleep_for(milliseconds(500));
  EXPECT_EQ(state(), R"({"xp":false})");
  EXPECT_FALSE(bridge.wait_stdout_line(LIVE_LINE, milliseconds(0)));
  // A datagram of exactly the buffer size still counts.
  records.resize(255);
  std::string largest = rref_reply(records) + "abc";
  ASSERT_EQ(largest.size(), 2048u);
  xplane.send_to(peer, largest);
  EXPECT_TRUE(bridge.wait_stdout_line(LIVE_LINE, milliseconds(3000)));
}

TEST_F(LinkTest, FiveByteRepliesKeepTheLinkLive) {
  ASSERT_TRUE(bridge.wait_ready());
  Ipv4Endpoint peer = expect_subscription_round();
  xplane.send_to(peer, rref_reply({{0, 1.0f}, {1, 2.0f}}));
  ASSERT_TRUE(bridge.wait_stdout_line(LIVE_LINE, milliseconds(3000)));
  // Five seconds of header-only replies: still live, nothing printed, no requests.
  for (int i = 0; i < 10; ++i) {
    xplane.send_to(peer, std::string("RREF\0", 5));
    std::this_thread::sleep_for(milliseconds(500));
  }
  EXPECT_FALSE(bridge.wait_stdout_line(WAITING_LINE, milliseconds(0)));
  EXPECT_FALSE(xplane.receive(milliseconds(100)));
  EXPECT_EQ(state().rfind(R"({"xp":true,"t":)", 0), 0u);
}

TEST_F(LinkTest, RepliesWithoutPositionNeverGoLive) {
  ASSERT_TRUE(bridge.wait_ready());
  Ipv4Endpoint peer = expect_subscription_round();
  // Non-replies and replies lacking lat/lon: stored, but the link stays down and
  // the requests keep coming.
  auto start = Clock::now();
  std::size_t requests = 0;
  while (Clock::now() - start < milliseconds(4500)) {
    xplane.send_to(peer, "RREX" + rref_reply({{0, 1.0f}, {1, 2.0f}}).substr(4));
    xplane.send_to(peer, rref_reply({{2, 100.0f}, {8, 1.0f}}));
    while (xplane.receive(milliseconds(200)))
      ++requests;
  }
  EXPECT_GE(requests, 8u);
  EXPECT_EQ(state(), R"({"xp":false})");
  EXPECT_FALSE(bridge.wait_stdout_line(LIVE_LINE, milliseconds(0)));
}

std::vector<std::string> cancellation_round() {
  std::vector<std::string> round;
  for (std::uint8_t row = 0; row < 8; ++row)
    round.push_back(request_bytes(row, 0));
  return round;
}

// X-Plane sends to a subscriber until it is told rate 0; a dead port goes
// unnoticed. So every ending tells it, from the port that subscribed.
TEST(LinkEnding, InterruptAndTerminationCancelTheSubscriptions) {
  // Wine turns SIGINT into Ctrl+C for the console handlers; SIGTERM ends
  // its process without any Windows event to send them from.
  std::vector<int> signals{SIGINT};
  if (!under_wine()) signals.push_back(SIGTERM);
  for (int number : signals) {
    FakeXPlane xplane = FakeXPlane::open(E2E_XPLANES).value();
    BridgeProcess bridge({xplane.host(), "--port", std::to_string(free_tcp_port())});
    ASSERT_TRUE(bridge.wait_ready());
    auto round = xplane.receive_many(8, start_timeout());
    ASSERT_EQ(round.size(), 8u);
    kill(bridge.pid(), number);
    EXPECT_EQ(xplane.receive_cancellations(round[0].from, start_timeout()), cancellation_round())
        << "signal " << number;
    // The signal still ends the bridge, as it did before it sent them.
    auto status = bridge.wait_exit(start_timeout());
    if (!under_wine()) {
      EXPECT_EQ(status, 128 + number);
    }
  }
}

TEST(LinkEnding, TheFatalPauseEndsWithCancelledSubscriptions) {
  std::uint16_t port = free_tcp_port();
  FakeXPlane holder_xplane = FakeXPlane::open(E2E_XPLANES).value();
  BridgeProcess holder({holder_xplane.host(), "--port", std::to_string(port)});
  ASSERT_TRUE(holder.wait_ready());
  FakeXPlane xplane = FakeXPlane::open(E2E_XPLANES).value();
  BridgeProcess bridge({xplane.host(), "--port", std::to_string(port)});
  ASSERT_TRUE(bridge.wait_stderr_line("Press Enter to close.", start_timeout()));
  auto round = xplane.receive_many(8, start_timeout());
  ASSERT_EQ(round.size(), 8u);
  bridge.close_stdin();
  EXPECT_EQ(bridge.wait_exit(start_timeout()), 1);
  EXPECT_EQ(xplane.receive_cancellations(round[0].from, start_timeout()), cancellation_round());
}

TEST(LinkConsole, AFullStandardOutputHoldsNothingUp) {
  FakeXPlane xplane = FakeXPlane::open(E2E_XPLANES).value();
  std::uint16_t port = free_tcp_port();
  FullPipe stdout_pipe;
  BridgeProcess bridge({xplane.host(), "--port", std::to_string(port)}, bridge_command(),
                       stdout_pipe.wrapper());
  auto round = xplane.receive_many(8, start_timeout());
  ASSERT_EQ(round.size(), 8u) << "the first console line held up the start";
  // Live only once a connection has been answered: the accept loop runs, so
  // the ready line has been printed before the link line can be.
  HttpClient stream = connect_when_listening(port, start_timeout());
  ASSERT_TRUE(stream.connected()) << "the HTTP port never opened";
  stream.send("GET /stream HTTP/1.1\r\n\r\n");
  ASSERT_NE(stream.read_until_count("retry: 2000", 1, start_timeout()).find("retry: 2000"),
            std::string::npos);
  xplane.send_to(round[0].from, rref_reply({{0, 1.0f}, {1, 2.0f}}));
  EXPECT_NE(stream.read_until_count("data: {\"xp\":true,", 1, milliseconds(3000)).find("data: "),
            std::string::npos);
  std::string state = body_of(http_exchange(port, "GET /state HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(state.rfind(R"({"xp":true,)", 0), 0u) << state;

  EXPECT_EQ(stdout_pipe.drain_lines(4, start_timeout()),
            "Corvane X-Plane bridge 1.0.0\n"
            "→ asking X-Plane at " +
                xplane.host() + ":49000 for position (5 Hz)\n" +
                "✓ bridge ready on http://localhost:" + std::to_string(port) +
                " — enable \"X-Plane live\" on the map. Close this window to stop.\n" + LIVE_LINE +
                "\n");
}

TEST(LinkConsole, OutputIntoAClosedPipeDoesNotEndTheBridge) {
  FakeXPlane xplane = FakeXPlane::open(E2E_XPLANES).value();
  std::uint16_t port = free_tcp_port();
  // Standard output goes to a reader that quits after the first byte.
  BridgeProcess bridge({xplane.host(), "--port", std::to_string(port)}, bridge_command(),
                       {"/bin/sh", "-c", "\"$0\" \"$@\" | head -c 1 >/dev/null"});
  auto round = xplane.receive_many(8, start_timeout());
  ASSERT_EQ(round.size(), 8u);
  ASSERT_TRUE(connect_when_listening(port, start_timeout()).connected());
  // The link line now goes to a closed pipe.
  xplane.send_to(round[0].from, rref_reply({{0, 1.0f}, {1, 2.0f}}));
  std::this_thread::sleep_for(milliseconds(500));
  std::string state = body_of(http_exchange(port, "GET /state HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(state.rfind(R"({"xp":true,)", 0), 0u) << state;
}

}  // namespace
}  // namespace simrelay::e2e
