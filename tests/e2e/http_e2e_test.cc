// The HTTP server from a client's side: routes, exact answers, the event
// stream, and clients that misbehave.
#include <gtest/gtest.h>

#include <thread>

#include "bridge_process.h"
#include "fake_xplane.h"
#include "http_client.h"
#include "stream_clients.h"

namespace simrelay::e2e {
namespace {

using namespace support;

const std::string CORS =
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Methods: GET, OPTIONS\r\n"
    "Access-Control-Allow-Headers: *\r\n"
    "Access-Control-Allow-Private-Network: true\r\n";
const std::string CLOSE = "Connection: close\r\n";
const std::string STATUS_PAGE =
    "HTTP/1.1 200 OK\r\n" + CORS + CLOSE +
    "Content-Type: text/plain; charset=utf-8\r\nContent-Length: 95\r\n\r\n"
    "Corvane X-Plane bridge is running. Keep this window open and enable \"X-Plane live\" on "
    "the map.\n";
const std::string STALE_SNAPSHOT = "HTTP/1.1 200 OK\r\n" + CORS + CLOSE +
                                   "Content-Type: application/json\r\nContent-Length: "
                                   "12\r\n\r\n{\"xp\":false}";
const std::string PREFLIGHT =
    "HTTP/1.1 204 No Content\r\n" + CORS + CLOSE + "Content-Length: 0\r\n\r\n";
const std::string STREAM_HEADER = "HTTP/1.1 200 OK\r\n" + CORS +
                                  "Content-Type: text/event-stream\r\n"
                                  "Cache-Control: no-cache\r\nConnection: keep-alive\r\n\r\n"
                                  "retry: 2000\n\n";
const std::string STALE_EVENT = "data: {\"xp\":false}\n\n";

class HttpTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(bridge.wait_ready()); }

  std::string exchange(const std::string& request) { return http_exchange(port, request); }

  FakeXPlane xplane = FakeXPlane::open(E2E_XPLANES).value();
  std::uint16_t port = free_tcp_port();
  BridgeProcess bridge{{xplane.host(), "--port", std::to_string(port)}};
};

TEST_F(HttpTest, EachRouteGetsItsExactAnswer) {
  EXPECT_EQ(exchange("GET /state HTTP/1.1\r\nHost: x\r\n\r\n"), STALE_SNAPSHOT);
  EXPECT_EQ(exchange("GET /state?x=1 HTTP/1.1\r\n\r\n"), STALE_SNAPSHOT);
  EXPECT_EQ(exchange("options /state HTTP/1.1\r\n\r\n"), STALE_SNAPSHOT);
  EXPECT_EQ(exchange("OPTIONS /anything HTTP/1.1\r\nOrigin: https://a.example\r\n\r\n"), PREFLIGHT);
  EXPECT_EQ(exchange("GET / HTTP/1.1\r\n\r\n"), STATUS_PAGE);
  EXPECT_EQ(exchange("DELETE /STATE HTTP/1.1\r\n\r\n"), STATUS_PAGE);
  EXPECT_EQ(exchange("\r\n\r\n"), STATUS_PAGE);  // An empty request line.
  EXPECT_EQ(exchange("GET\u00a0/state\tHTTP/1.1\n\n"), STALE_SNAPSHOT);
  // The end of the client's sending side ends the head: the answer comes at once.
  HttpClient half(port);
  half.send("GET /state HTTP/1.1\r\nHost: x\r\n");
  half.end_sending();
  EXPECT_EQ(half.read_until_closed(milliseconds(2000)), STALE_SNAPSHOT);
}

TEST_F(HttpTest, OneAnswerPerConnectionWithoutReadingTheBody) {
  EXPECT_EQ(exchange("POST /state HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello"), STALE_SNAPSHOT);
  EXPECT_EQ(exchange("GET /state HTTP/1.1\r\n\r\nGET / HTTP/1.1\r\n\r\n"), STALE_SNAPSHOT);
}

TEST_F(HttpTest, BadOrSilentClientsGetNoAnswer) {
  HttpClient silent(port);
  auto start = Clock::now();
  EXPECT_EQ(silent.read_until_closed(milliseconds(9000)), "");
  double waited = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_GT(waited, 4.5);
  EXPECT_LT(waited, 8.0);

  EXPECT_EQ(exchange("GET /st\xff\xfe HTTP/1.1\r\n\r\n"), "");
  // Invalid bytes in a header only end the head.
  EXPECT_EQ(exchange("GET /state HTTP/1.1\r\nX-Bad: \xc0\xaf\r\n"), STALE_SNAPSHOT);
}

TEST_F(HttpTest, HeadsBeyondTheLimitAreCutOff) {
  HttpClient flood(port);
  std::string chunk(64 * 1024, 'a');
  // The bridge stops reading and closes; later sends may fail, which is the point.
  for (int i = 0; i < 4 && flood.send(chunk); ++i) {
  }
  EXPECT_EQ(flood.read_until_closed(milliseconds(3000)), "");
  EXPECT_EQ(exchange("GET /state HTTP/1.1\r\n\r\n"), STALE_SNAPSHOT);
}

// When a stream sends is pinned on a stepped clock in the unit tests; here
// is what a client reads, checked in ways a busy machine cannot upset.
TEST_F(HttpTest, StreamHeaderThenEventsWhileSilent) {
  HttpClient client(port);
  auto start = Clock::now();
  client.send("GET /stream HTTP/1.1\r\n\r\n");
  EXPECT_EQ(client.read_until_count("\n\n", 2, milliseconds(10000)), STREAM_HEADER + STALE_EVENT);
  // Then the stale snapshot again as heartbeats, which come late on a busy
  // machine but never early.
  std::string more = client.read_until_count("\n\n", 3, milliseconds(20000));
  EXPECT_EQ(more, STALE_EVENT + STALE_EVENT + STALE_EVENT);
  EXPECT_GT(Clock::now() - start, milliseconds(2900));
}

TEST_F(HttpTest, StreamFollowsAFiveHertzFeed) {
  XPlaneFeed feed(std::move(xplane), milliseconds(200));
  ASSERT_TRUE(bridge.wait_stdout_line("✓ receiving data from X-Plane", start_timeout()));
  std::vector<std::uint32_t> shown;  // The feed's sequence number in each event.
  StreamClients stream(*make_http_target("127.0.0.1", port, "/stream"), 1,
                       [&](std::size_t, std::string_view data, MonotonicInstant) {
                         EXPECT_TRUE(data.starts_with(R"({"xp":true,"t":)")) << data;
                         shown.push_back(sequence_in_snapshot(data).value_or(0));
                       });
  ASSERT_EQ(stream.connect_all(1, milliseconds(2000)), 1u);
  shown.clear();
  std::uint64_t replies_before = feed.replies_sent();
  stream.run_for(milliseconds(3000));
  std::uint64_t replies = feed.replies_sent() - replies_before;

  // Counted against the feed's own replies, however late it ran: each one
  // shows, unless two reach the bridge between the same two passes; a
  // reply shows again only as a heartbeat, after a second without news.
  std::size_t repeated = 0;
  for (std::size_t i = 1; i < shown.size(); ++i) {
    EXPECT_GE(shown[i], shown[i - 1]) << "an older reply after a newer one";
    repeated += shown[i] == shown[i - 1];
  }
  std::size_t fresh = shown.size() - repeated;
  EXPECT_GE(2 * fresh, replies) << fresh << " of " << replies << " replies shown";
  EXPECT_LE(fresh, replies + 1);  // The first may show a reply from before.
  EXPECT_LE(repeated, 3u);
}

TEST_F(HttpTest, VanishingStreamClientsLeaveTheBridgeServing) {
  for (int i = 0; i < 20; ++i) {
    HttpClient client(port);
    client.send("GET /stream HTTP/1.1\r\n\r\n");
    client.read_until_count("\n\n", 2, milliseconds(2000));
    if (i % 2 == 0) {
      client.reset();
    }  // The others close in an orderly way when they go out of scope.
  }
  std::this_thread::sleep_for(milliseconds(1500));  // Let the streams hit their failed writes.
  EXPECT_EQ(exchange("GET /state HTTP/1.1\r\n\r\n"), STALE_SNAPSHOT);
  EXPECT_FALSE(bridge.wait_exit(milliseconds(0)));
  EXPECT_EQ(bridge.stderr_bytes(), "");
  EXPECT_EQ(bridge.stdout_lines().size(), 3u);
}

TEST_F(HttpTest, TwoHundredSimultaneousConnectionsAllAnswered) {
  std::vector<HttpClient> clients;
  clients.reserve(200);
  for (int i = 0; i < 200; ++i)
    clients.emplace_back(port);
  for (HttpClient& client : clients)
    ASSERT_TRUE(client.send("GET /state HTTP/1.1\r\n"));
  for (HttpClient& client : clients)
    client.send("\r\n");
  int answered = 0;
  for (HttpClient& client : clients)
    answered += client.read_until_closed(milliseconds(5000)) == STALE_SNAPSHOT;
  EXPECT_EQ(answered, 200);
}

}  // namespace
}  // namespace simrelay::e2e
