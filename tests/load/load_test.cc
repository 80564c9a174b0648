// The real bridge under load and abuse on loopback: a thousand live streams
// for 20 s while hostile clients come and go, then the bridge must be back
// to its idle thread and descriptor counts and still answer at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <future>
#include <thread>
#include <vector>

#include "bridge_process.h"
#include "fake_xplane.h"
#include "http_client.h"
#include "proc_stats.h"
#include "stream_clients.h"
#include "tcp_client.h"

namespace simrelay::load {
namespace {

using namespace support;
using namespace std::chrono_literals;

constexpr int STREAM_CLIENTS = 1000;
constexpr auto STREAM_HOLD = 20s;
constexpr auto WARM_UP = 2s;                   // Not counted in the event rate.
constexpr double MIN_EVENTS_PER_SECOND = 3.0;  // The feed gives about five.
constexpr std::size_t OVERSIZE_HEAD = 10 * 1024 * 1024;
constexpr int OVERSIZE_CLIENTS = 4;  // Of each kind.
constexpr int RESET_CYCLES = 3000;
constexpr int SILENT_LINE_CLIENTS = 20;
constexpr int SILENT_CLIENTS = 5;
constexpr auto REQUEST_READ_TIMEOUT = 5s;
constexpr auto EARLIEST_TIMEOUT = 4500ms;  // The bridge's 5 s, less timer slack.
constexpr long RSS_GROWTH_LIMIT_KIB = RSS_GROWTH_LIMIT_MIB * 1024;  // Set by the build.

int kib_to_mib(std::uint64_t kib) {
  return static_cast<int>(kib / 1024);
}

// What /proc says about the bridge.
struct Figures {
  std::size_t threads = 0;
  std::size_t descriptors = 0;
  std::uint64_t rss_kib = 0;
  std::uint64_t peak_rss_kib = 0;
};

std::optional<Figures> figures_of(pid_t pid) {
  auto threads = thread_count(pid);
  auto descriptors = descriptor_count(pid);
  auto rss = rss_kib(pid);
  auto peak = status_value(pid, "VmHWM");
  if (!threads || !descriptors || !rss || !peak) return std::nullopt;
  return Figures{*threads, *descriptors, *rss, *peak};
}

// Sends `bytes` unless there are none (an empty send counts as a failure).
bool send_some_bytes(HttpClient& client, std::string_view bytes) {
  return bytes.empty() || client.send(bytes);
}

struct OversizeOutcome {
  int answered = 0;  // Any byte of an answer came back.
  int cut_off = 0;   // The bridge closed on the client before the end.
};

// Heads of 10 MB without a line end: after `prefix`, nothing but 'a'.
OversizeOutcome send_oversize_heads(std::uint16_t port, std::string_view prefix) {
  OversizeOutcome outcome;
  const std::string chunk(64 * 1024, 'a');
  for (int i = 0; i < OVERSIZE_CLIENTS; ++i) {
    HttpClient client(port);
    if (!client.connected()) continue;
    bool sent_all = send_some_bytes(client, prefix);
    for (std::size_t sent = 0; sent_all && sent < OVERSIZE_HEAD; sent += chunk.size())
      sent_all = client.send(chunk);
    std::string answer = client.read_until_closed(15s);
    if (!answer.empty()) ++outcome.answered;
    if (!sent_all || (client.peer_closed() && answer.empty())) ++outcome.cut_off;
  }
  return outcome;
}

// Connects and resets at once (SO_LINGER 0), every other time after half a
// request line. Returns how many cycles got connected.
int reset_cycles(std::uint16_t port) {
  int connected = 0;
  for (int cycle = 0; cycle < RESET_CYCLES; ++cycle) {
    HttpClient client(port);
    if (!client.connected()) continue;
    ++connected;
    if (cycle % 2 == 1) client.send("GET /sta");
    client.reset();
  }
  return connected;
}

struct SilentOutcome {
  int answered = 0;
  int too_early = 0;
  int too_late = 0;
};

// Clients that send `request` (perhaps nothing) and then wait in silence.
SilentOutcome silent_clients(std::uint16_t port, std::string_view request, int count,
                             std::string_view expected_start) {
  std::vector<std::pair<std::unique_ptr<HttpClient>, Clock::time_point>> clients;
  for (int i = 0; i < count; ++i) {
    auto client = std::make_unique<HttpClient>(port);
    if (client->connected() && send_some_bytes(*client, request))
      clients.emplace_back(std::move(client), Clock::now());
  }
  SilentOutcome outcome;
  for (auto& [client, since] : clients) {
    std::string answer = client->read_until_closed(30s);
    auto waited = Clock::now() - since;
    bool timed_out = !client->peer_closed();
    if (answer.starts_with(expected_start) && !timed_out) ++outcome.answered;
    if (waited < EARLIEST_TIMEOUT) ++outcome.too_early;
    if (timed_out) ++outcome.too_late;
  }
  return outcome;
}

class BridgeUnderLoad : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Each stream holds a descriptor here and one in the bridge, which
    // inherits this limit.
    ASSERT_GE(raise_open_file_limit(4 * STREAM_CLIENTS), 4u * STREAM_CLIENTS)
        << "cannot raise RLIMIT_NOFILE";
    auto xplane = FakeXPlane::open(LOAD_XPLANES);
    ASSERT_TRUE(xplane) << "no free address in 127.0.0.180-199 for the fake X-Plane";
    xplane_ = new XPlaneFeed(std::move(*xplane), 200ms);
    bridge_ = BridgeProcess::start_ready(xplane_->host()).release();
    ASSERT_TRUE(bridge_) << "the bridge did not start";
    ASSERT_TRUE(wait_until([] { return live_snapshot(); }, 20s)) << "the feed never went live";
    std::this_thread::sleep_for(1s);  // Let the probing connections' threads end.
    auto figures = figures_of(bridge_->pid());
    ASSERT_TRUE(figures);
    idle_ = *figures;
    std::printf("load: idle bridge: %zu threads, %zu descriptors, RSS %llu KiB\n", idle_.threads,
                idle_.descriptors, static_cast<unsigned long long>(idle_.rss_kib));
  }

  static void TearDownTestSuite() {
    // Sanitizer reports and other complaints of the bridge, for the test log.
    if (bridge_ != nullptr) std::fputs(bridge_->stderr_bytes().c_str(), stderr);
    delete bridge_;
    delete xplane_;
  }

  static bool live_snapshot() {
    std::string answer = http_exchange(bridge_->port(), "GET /state HTTP/1.1\r\n\r\n");
    return answer.find(R"({"xp":true,"t":)") != std::string::npos;
  }

  static std::uint16_t port() { return bridge_->port(); }

  static XPlaneFeed* xplane_;
  static BridgeProcess* bridge_;
  static Figures idle_;
};

XPlaneFeed* BridgeUnderLoad::xplane_ = nullptr;
BridgeProcess* BridgeUnderLoad::bridge_ = nullptr;
Figures BridgeUnderLoad::idle_;

// Events of each stream after the warm-up, and live events of each.
struct StreamCounts {
  std::vector<int> counted = std::vector<int>(STREAM_CLIENTS);
  std::vector<int> live = std::vector<int>(STREAM_CLIENTS);
};

// Reads every stream until `until`, sampling the bridge's thread count once
// a second. Returns the peak.
std::size_t pump_streams(StreamClients& streams, pid_t bridge, MonotonicInstant until) {
  std::size_t peak_threads = 0;
  for (auto now = MonotonicClock::now(); now < until; now = MonotonicClock::now()) {
    peak_threads = std::max(peak_threads, thread_count(bridge).value_or(0));
    streams.run_for(std::min<std::chrono::milliseconds>(
        1s, std::chrono::ceil<std::chrono::milliseconds>(until - now)));
  }
  return peak_threads;
}

TEST_F(BridgeUnderLoad, ThousandStreamsKeepTheirRateWhileHostileClientsComeAndGo) {
  StreamCounts counts;
  MonotonicInstant count_from = MonotonicInstant::max();
  auto streams = std::make_unique<StreamClients>(
      *make_http_target("127.0.0.1", port(), "/stream"), STREAM_CLIENTS,
      [&](std::size_t client, std::string_view data, MonotonicInstant at) {
        if (at >= count_from) ++counts.counted[client];
        if (data.starts_with(R"({"xp":true)")) ++counts.live[client];
      });
  auto opening = Clock::now();
  streams->connect_all(200, 60s);
  std::printf("load: %d streams opened in %.1f s\n", STREAM_CLIENTS,
              std::chrono::duration<double>(Clock::now() - opening).count());

  // A stream client that never reads, with a small window so the bridge's
  // sends to it back up; it must not hold up anyone else.
  Socket stalled = connect_with_receive_buffer(loopback(1, port()), 2048);
  ASSERT_TRUE(stalled.valid());
  send_all(stalled, "GET /stream HTTP/1.1\r\n\r\n");

  auto oversize_line = std::async(std::launch::async, send_oversize_heads, port(), "");
  auto oversize_header =
      std::async(std::launch::async, send_oversize_heads, port(), "GET /state HTTP/1.1\r\nX: ");
  auto resets = std::async(std::launch::async, reset_cycles, port());
  auto silent_line = std::async(std::launch::async, silent_clients, port(),
                                "GET /state HTTP/1.1\r\n", SILENT_LINE_CLIENTS, "HTTP/1.1 200 OK");
  auto silent = std::async(std::launch::async, silent_clients, port(), "", SILENT_CLIENTS, "");

  MonotonicInstant start = MonotonicClock::now();
  count_from = start + WARM_UP;
  std::size_t peak_threads = pump_streams(*streams, bridge_->pid(), start + STREAM_HOLD);
  double seconds = std::chrono::duration<double>(STREAM_HOLD - WARM_UP).count();

  int held = STREAM_CLIENTS - static_cast<int>(streams->failed_count());
  int slowest = *std::min_element(counts.counted.begin(), counts.counted.end());
  int lowest_live = *std::min_element(counts.live.begin(), counts.live.end());
  auto figures = figures_of(bridge_->pid());
  std::printf(
      "load: %d streams held, peak %zu bridge threads, slowest stream %.1f events/s, "
      "peak RSS %d MiB\n",
      held, peak_threads, slowest / seconds, figures ? kib_to_mib(figures->peak_rss_kib) : -1);
  EXPECT_EQ(held, STREAM_CLIENTS);
  EXPECT_GE(peak_threads, idle_.threads + STREAM_CLIENTS);
  EXPECT_GE(slowest / seconds, MIN_EVENTS_PER_SECOND);
  EXPECT_GT(lowest_live, 0) << "a stream never saw a live snapshot";

  OversizeOutcome line = oversize_line.get();
  OversizeOutcome header = oversize_header.get();
  EXPECT_EQ(line.answered + header.answered, 0) << "an oversize head was answered";
  EXPECT_EQ(line.cut_off + header.cut_off, 2 * OVERSIZE_CLIENTS);

  EXPECT_EQ(resets.get(), RESET_CYCLES);

  SilentOutcome waited_line = silent_line.get();
  EXPECT_EQ(waited_line.answered, SILENT_LINE_CLIENTS) << "a request line alone went unanswered";
  EXPECT_EQ(waited_line.too_early, 0) << "answered before the head could have ended";
  SilentOutcome waited = silent.get();
  EXPECT_EQ(waited.answered, SILENT_CLIENTS) << "a silent client was not closed";
  EXPECT_EQ(waited.too_early + waited.too_late, 0);

  // Hang up: an orderly close for the streams, a reset for the stalled one
  // (its unread data makes the close a reset anyway).
  streams.reset();
  stalled.close();
  EXPECT_TRUE(bridge_->running()) << "the bridge died under load";
}

TEST_F(BridgeUnderLoad, ReturnsToIdleAndAnswersAtOnceAfterwards) {
  Figures now{};
  // Streams notice a client gone at their next events; every other
  // connection is bounded by the 5 s read time-out.
  bool idle = wait_until(
      [&] {
        auto figures = figures_of(bridge_->pid());
        if (figures) now = *figures;
        return figures && now.threads == idle_.threads && now.descriptors == idle_.descriptors;
      },
      REQUEST_READ_TIMEOUT + 40s);
  std::printf(
      "load: after: %zu threads (idle %zu), %zu descriptors (idle %zu), RSS %d MiB (idle %d "
      "MiB, peak %d MiB)\n",
      now.threads, idle_.threads, now.descriptors, idle_.descriptors, kib_to_mib(now.rss_kib),
      kib_to_mib(idle_.rss_kib), kib_to_mib(now.peak_rss_kib));
  EXPECT_TRUE(idle) << "threads or descriptors stayed above their idle count";
  EXPECT_LE(static_cast<long>(now.rss_kib) - static_cast<long>(idle_.rss_kib),
            RSS_GROWTH_LIMIT_KIB);

  auto asked = Clock::now();
  std::string answer = http_exchange(port(), "GET /state HTTP/1.1\r\n\r\n");
  auto elapsed = Clock::now() - asked;
  std::printf("load: /state answered in %.1f ms\n",
              std::chrono::duration<double, std::milli>(elapsed).count());
  EXPECT_LT(elapsed, 1s);
  EXPECT_NE(answer.find(R"({"xp":true,"t":)"), std::string::npos) << answer;
  EXPECT_GT(xplane_->replies_sent(), 0u);
  EXPECT_TRUE(bridge_->running());
}

}  // namespace
}  // namespace simrelay::load
