// The real bridge under load and abuse on loopback: a thousand live streams
// for 20 s while hostile clients come and go, then the bridge must be back
// to its idle thread and descriptor counts and still answer at once.
#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <future>
#include <vector>

#include "load_harness.h"

namespace load {
namespace {

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

int kib_to_mib(long kib) {
  return static_cast<int>(kib / 1024);
}

// One "/stream" client; counts the "data: " lines it receives.
struct StreamClient {
  Fd fd;
  std::string partial;
  int events = 0;
  int events_counted = 0;  // After the warm-up.
  int live_events = 0;
  bool closed = false;

  void take(std::string_view bytes, bool counting) {
    partial.append(bytes);
    std::size_t start = 0;
    for (std::size_t end; (end = partial.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string_view line(partial.data() + start, end - start);
      if (line.substr(0, 6) != "data: ") continue;
      ++events;
      if (counting) ++events_counted;
      if (line.substr(6, 10) == R"({"xp":true)") ++live_events;
    }
    partial.erase(0, start);
  }
};

struct OversizeOutcome {
  int answered = 0;  // Any byte of an answer came back.
  int cut_off = 0;   // The bridge closed on the client before the end.
};

// Heads of 10 MB without a line end: after `prefix`, nothing but 'a'.
OversizeOutcome send_oversize_heads(std::uint16_t port, std::string_view prefix) {
  OversizeOutcome outcome;
  const std::string chunk(64 * 1024, 'a');
  for (int client = 0; client < OVERSIZE_CLIENTS; ++client) {
    Fd fd = connect_loopback(port);
    if (!fd.valid()) continue;
    bool sent_all = send_all(fd.get(), prefix);
    for (std::size_t sent = 0; sent_all && sent < OVERSIZE_HEAD; sent += chunk.size())
      sent_all = send_all(fd.get(), chunk);
    Answer answer = read_until_closed(fd.get(), 15s);
    if (!answer.bytes.empty()) ++outcome.answered;
    if (!sent_all || (!answer.timed_out && answer.bytes.empty())) ++outcome.cut_off;
  }
  return outcome;
}

// Connects and resets at once (SO_LINGER 0), every other time after half a
// request line. Returns how many cycles got connected.
int reset_cycles(std::uint16_t port) {
  int connected = 0;
  for (int cycle = 0; cycle < RESET_CYCLES; ++cycle) {
    Fd fd = connect_loopback(port);
    if (!fd.valid()) continue;
    ++connected;
    if (cycle % 2 == 1) send_all(fd.get(), "GET /sta");
    linger abort{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
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
  std::vector<std::pair<Fd, Clock::time_point>> clients;
  for (int i = 0; i < count; ++i) {
    Fd fd = connect_loopback(port);
    if (fd.valid() && send_all(fd.get(), request))
      clients.emplace_back(std::move(fd), Clock::now());
  }
  SilentOutcome outcome;
  for (auto& [fd, since] : clients) {
    Answer answer = read_until_closed(fd.get(), 30s);
    auto waited = Clock::now() - since;
    if (answer.bytes.substr(0, expected_start.size()) == expected_start && !answer.timed_out) {
      ++outcome.answered;
    }
    if (waited < EARLIEST_TIMEOUT) ++outcome.too_early;
    if (answer.timed_out) ++outcome.too_late;
  }
  return outcome;
}

class BridgeUnderLoad : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Each stream holds a descriptor here and one in the bridge, which
    // inherits this limit.
    ASSERT_TRUE(raise_descriptor_limit(4 * STREAM_CLIENTS)) << "cannot raise RLIMIT_NOFILE";
    xplane_ = new FakeXPlane();
    ASSERT_TRUE(xplane_->bound()) << "no free address in 127.0.0.180-199 for the fake X-Plane";
    xplane_->start();
    auto started = BridgeProcess::start(SIMRELAY_BINARY, xplane_->host());
    ASSERT_TRUE(started) << "the bridge did not start";
    bridge_ = new BridgeProcess(std::move(*started));
    ASSERT_TRUE(wait_until([] { return live_snapshot(); }, 20s)) << "the feed never went live";
    std::this_thread::sleep_for(1s);  // Let the probing connections' threads end.
    auto figures = read_process_figures(bridge_->pid());
    ASSERT_TRUE(figures);
    idle_ = *figures;
    std::printf("load: idle bridge: %d threads, %d descriptors, RSS %ld KiB\n", idle_.threads,
                idle_.descriptors, idle_.rss_kib);
  }

  static void TearDownTestSuite() {
    delete bridge_;
    delete xplane_;
  }

  static bool live_snapshot() {
    Answer answer = fetch(bridge_->port(), "GET /state HTTP/1.1\r\n\r\n", 5s);
    return answer.bytes.find(R"({"xp":true,"t":)") != std::string::npos;
  }

  static std::uint16_t port() { return bridge_->port(); }

  static FakeXPlane* xplane_;
  static BridgeProcess* bridge_;
  static ProcessFigures idle_;
};

FakeXPlane* BridgeUnderLoad::xplane_ = nullptr;
BridgeProcess* BridgeUnderLoad::bridge_ = nullptr;
ProcessFigures BridgeUnderLoad::idle_;

// Opens the streams and registers them for reading.
std::vector<StreamClient> open_streams(std::uint16_t port, int epoll) {
  std::vector<StreamClient> clients(STREAM_CLIENTS);
  for (std::size_t i = 0; i < clients.size(); ++i) {
    clients[i].fd = connect_loopback(port);
    if (!clients[i].fd.valid() ||
        !send_all(clients[i].fd.get(),
                  "GET /stream HTTP/1.1\r\nAccept: text/event-stream\r\n\r\n")) {
      clients[i].closed = true;
      continue;
    }
    epoll_event interest{EPOLLIN, {.u64 = i}};
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, clients[i].fd.get(), &interest);
  }
  return clients;
}

// Reads every stream until `until`, counting events after `count_from`;
// samples the bridge's thread count once a second. Returns the peak.
int pump_streams(std::vector<StreamClient>& clients, int epoll, pid_t bridge,
                 Clock::time_point count_from, Clock::time_point until) {
  int peak_threads = 0;
  auto next_sample = Clock::now();
  std::vector<epoll_event> ready(256);
  char buffer[8192];
  while (Clock::now() < until) {
    if (Clock::now() >= next_sample) {
      if (auto figures = read_process_figures(bridge))
        peak_threads = std::max(peak_threads, figures->threads);
      next_sample += 1s;
    }
    int n = ::epoll_wait(epoll, ready.data(), static_cast<int>(ready.size()), 100);
    bool counting = Clock::now() >= count_from;
    for (int k = 0; k < n; ++k) {
      StreamClient& client = clients[ready[k].data.u64];
      ssize_t got = ::recv(client.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
      if (got > 0) {
        client.take(std::string_view(buffer, static_cast<std::size_t>(got)), counting);
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        client.closed = true;
        ::epoll_ctl(epoll, EPOLL_CTL_DEL, client.fd.get(), nullptr);
      }
    }
  }
  return peak_threads;
}

TEST_F(BridgeUnderLoad, ThousandStreamsKeepTheirRateWhileHostileClientsComeAndGo) {
  Fd epoll(::epoll_create1(EPOLL_CLOEXEC));
  auto opening = Clock::now();
  std::vector<StreamClient> clients = open_streams(port(), epoll.get());
  std::printf("load: %d streams opened in %.1f s\n", STREAM_CLIENTS,
              std::chrono::duration<double>(Clock::now() - opening).count());

  // A stream client that never reads, with a small window so the bridge's
  // sends to it back up; it must not hold up anyone else.
  Fd stalled = connect_loopback(port(), 2048);
  ASSERT_TRUE(stalled.valid());
  send_all(stalled.get(), "GET /stream HTTP/1.1\r\n\r\n");

  auto oversize_line = std::async(std::launch::async, send_oversize_heads, port(), "");
  auto oversize_header =
      std::async(std::launch::async, send_oversize_heads, port(), "GET /state HTTP/1.1\r\nX: ");
  auto resets = std::async(std::launch::async, reset_cycles, port());
  auto silent_line = std::async(std::launch::async, silent_clients, port(),
                                "GET /state HTTP/1.1\r\n", SILENT_LINE_CLIENTS, "HTTP/1.1 200 OK");
  auto silent = std::async(std::launch::async, silent_clients, port(), "", SILENT_CLIENTS, "");

  auto start = Clock::now();
  int peak_threads =
      pump_streams(clients, epoll.get(), bridge_->pid(), start + WARM_UP, start + STREAM_HOLD);
  double seconds = std::chrono::duration<double>(STREAM_HOLD - WARM_UP).count();

  int held = 0, slowest = INT32_MAX, lowest_live = INT32_MAX;
  for (const StreamClient& client : clients) {
    if (!client.closed) ++held;
    slowest = std::min(slowest, client.events_counted);
    lowest_live = std::min(lowest_live, client.live_events);
  }
  auto figures = read_process_figures(bridge_->pid());
  std::printf(
      "load: %d streams held, peak %d bridge threads, slowest stream %.1f events/s, "
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
  clients.clear();
  stalled.reset();
  EXPECT_TRUE(bridge_->running()) << "the bridge died under load";
}

TEST_F(BridgeUnderLoad, ReturnsToIdleAndAnswersAtOnceAfterwards) {
  ProcessFigures now{};
  // Streams notice a client gone at their next events; every other
  // connection is bounded by the 5 s read time-out.
  bool idle = wait_until(
      [&] {
        auto figures = read_process_figures(bridge_->pid());
        if (figures) now = *figures;
        return figures && now.threads == idle_.threads && now.descriptors == idle_.descriptors;
      },
      REQUEST_READ_TIMEOUT + 40s);
  std::printf(
      "load: after: %d threads (idle %d), %d descriptors (idle %d), RSS %d MiB (idle %d "
      "MiB, peak %d MiB)\n",
      now.threads, idle_.threads, now.descriptors, idle_.descriptors, kib_to_mib(now.rss_kib),
      kib_to_mib(idle_.rss_kib), kib_to_mib(now.peak_rss_kib));
  EXPECT_TRUE(idle) << "threads or descriptors stayed above their idle count";
  EXPECT_LE(now.rss_kib - idle_.rss_kib, RSS_GROWTH_LIMIT_KIB);

  Answer answer = fetch(port(), "GET /state HTTP/1.1\r\n\r\n", 5s);
  std::printf("load: /state answered in %.1f ms\n",
              std::chrono::duration<double, std::milli>(answer.elapsed).count());
  EXPECT_LT(answer.elapsed, 1s);
  EXPECT_NE(answer.bytes.find(R"({"xp":true,"t":)"), std::string::npos) << answer.bytes;
  EXPECT_GT(xplane_->replies_sent(), 0);
  EXPECT_TRUE(bridge_->running());
}

}  // namespace
}  // namespace load
