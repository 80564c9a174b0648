#include "measures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <thread>

#include "http_target.h"
#include "loopback.h"
#include "proc_stats.h"
#include "stream_clients.h"

namespace simrelay::bench {
namespace {

using namespace support;

constexpr milliseconds FEED_PERIOD{200};  // 5 Hz, as the bridge asks.
constexpr milliseconds LINK_TIMEOUT{5000};
constexpr std::size_t CONNECTING_AT_ONCE = 64;
constexpr milliseconds CONNECT_TIMEOUT{60000};
constexpr milliseconds WARM_UP{1000};

// The nearest-rank percentile (0 < p <= 100); sorts the samples.
double percentile(std::vector<double>& samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  auto rank = static_cast<std::size_t>(std::ceil(p / 100 * static_cast<double>(samples.size())));
  return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
}

std::string mib(std::optional<std::uint64_t> kib) {
  return kib ? fixed(static_cast<double>(*kib) / 1024, 1) : "?";
}

HttpTarget stream_target(const LiveBridge& bridge) {
  return *make_http_target("127.0.0.1", bridge.process->port(), "/stream");
}

// One bridge's figures for `count` streams: CPU, RSS, slowest client.
void stream_figures(const LiveBridge& bridge, std::size_t count, milliseconds duration,
                    std::size_t column, Table& table) {
  int pid = bridge.process->pid();
  StreamClients clients(stream_target(bridge), count);
  clients.connect_all(CONNECTING_AT_ONCE, CONNECT_TIMEOUT);
  clients.run_for(WARM_UP);
  std::vector<std::uint64_t> before = clients.event_counts();
  std::optional<double> cpu_before = cpu_seconds(pid);
  MonotonicInstant begin = MonotonicClock::now();
  clients.run_for(duration);
  double window = std::chrono::duration<double>(MonotonicClock::now() - begin).count();
  std::optional<double> cpu_after = cpu_seconds(pid);
  std::vector<std::uint64_t> after = clients.event_counts();
  std::uint64_t fewest = UINT64_MAX;
  for (std::size_t i = 0; i < after.size(); ++i)
    fewest = std::min(fewest, after[i] - before[i]);
  std::string what = std::to_string(count) + " streams at 5 Hz: ";
  table.set(what + "CPU, % of one core", column,
            cpu_before && cpu_after ? fixed((*cpu_after - *cpu_before) / window * 100, 1) : "?");
  table.set(what + "RSS, MiB", column, mib(rss_kib(pid)));
  table.set(what + "slowest client, events/s", column,
            fixed(static_cast<double>(fewest) / window, 2));
}

}  // namespace

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

void Table::set(const std::string& row, std::size_t column, std::string figure) {
  auto found = std::find_if(rows_.begin(), rows_.end(), [&](auto& r) { return r.first == row; });
  if (found == rows_.end()) {
    rows_.push_back({row, std::vector<std::string>(columns_.size())});
    found = rows_.end() - 1;
  }
  found->second.at(column) = std::move(figure);
}

std::string Table::markdown() const {
  std::string text = "| Measure |";
  std::string rule = "|---|";
  for (const std::string& column : columns_) {
    text += " " + column + " |";
    rule += "---:|";
  }
  text += "\n" + rule + "\n";
  for (const auto& [row, figures] : rows_) {
    text += "| " + row + " |";
    for (const std::string& figure : figures)
      text += " " + figure + " |";
    text += "\n";
  }
  return text;
}

std::optional<LiveBridge> start_live(const Bridge& bridge) {
  auto xplane = FakeXPlane::open(BENCH_XPLANES);
  if (!xplane) return std::cerr << "no free address for a fake X-Plane\n", std::nullopt;
  LiveBridge live{std::make_unique<XPlaneFeed>(std::move(*xplane), FEED_PERIOD), nullptr};
  live.process = BridgeProcess::start_ready(live.feed->host(), bridge.command);
  if (live.process && live.process->wait_stdout_prefix("✓ receiving data", LINK_TIMEOUT)) {
    return live;
  }
  std::cerr << bridge.label << " did not start or did not link to the fake X-Plane";
  if (live.process) std::cerr << "; it said:\n" << live.process->stdout_bytes();
  std::cerr << "\n";
  return std::nullopt;
}

bool measure_footprint(const std::vector<Bridge>& bridges, const Plan& plan, Table& table) {
  // Holds an address where nothing answers, so the bridges stay unlinked.
  std::optional<FakeXPlane> silent = FakeXPlane::open(BENCH_XPLANES);
  if (!silent) return std::cerr << "no free address for a silent X-Plane\n", false;
  std::vector<std::vector<double>> ready_ms(bridges.size());
  for (int launch = 0; launch < plan.launches; ++launch) {
    for (std::size_t b = 0; b < bridges.size(); ++b) {
      auto bridge = BridgeProcess::start_ready(silent->host(), bridges[b].command);
      if (!bridge) return std::cerr << bridges[b].label << " did not start\n", false;
      auto ready = bridge->wait_stdout_prefix("✓ bridge ready", milliseconds(0));
      ready_ms[b].push_back(
          std::chrono::duration<double, std::milli>(ready->at - bridge->started_at()).count());
    }
  }
  // All idle at once: an idle bridge hardly disturbs another.
  std::vector<std::unique_ptr<BridgeProcess>> idle;
  std::vector<std::optional<std::uint64_t>> cpu_before;
  for (const Bridge& bridge : bridges) {
    idle.push_back(BridgeProcess::start_ready(silent->host(), bridge.command));
    if (!idle.back()) return std::cerr << bridge.label << " did not start\n", false;
    cpu_before.push_back(thread_cpu_nanoseconds(idle.back()->pid()));
  }
  std::this_thread::sleep_for(plan.idle);
  std::string launch = "launch to ready line, ms (median of " + std::to_string(plan.launches) + ")";
  for (std::size_t b = 0; b < bridges.size(); ++b) {
    table.set(launch, b, fixed(percentile(ready_ms[b], 50), 2));
    std::optional<std::uint64_t> cpu_after = thread_cpu_nanoseconds(idle[b]->pid());
    double minutes = std::chrono::duration<double>(plan.idle).count() / 60;
    table.set("idle CPU, ms per minute", b,
              cpu_before[b] && cpu_after
                  ? fixed(static_cast<double>(*cpu_after - *cpu_before[b]) / 1e6 / minutes, 2)
                  : "?");
    table.set("idle RSS, MiB", b, mib(rss_kib(idle[b]->pid())));
  }
  return true;
}

bool measure_latency(const std::vector<Bridge>& bridges, const Plan& plan, Table& table) {
  std::string row = "datagram → event, ms: median / p99 / max (" +
                    std::to_string(plan.latency_clients) + " streams)";
  for (std::size_t b = 0; b < bridges.size(); ++b) {
    std::optional<LiveBridge> live = start_live(bridges[b]);
    if (!live) return false;
    std::vector<std::optional<std::uint32_t>> last_seen(plan.latency_clients);
    std::vector<double> samples;
    auto on_event = [&](std::size_t client, std::string_view data, MonotonicInstant at) {
      std::optional<std::uint32_t> sequence = sequence_in_snapshot(data);
      // A client's first event shows an older datagram; a repeat shows none.
      bool fresh = sequence && last_seen[client] && *last_seen[client] != *sequence;
      last_seen[client] = sequence;
      if (!fresh) return;
      if (auto sent = live->feed->sent_at(*sequence))
        samples.push_back(std::chrono::duration<double, std::milli>(at - *sent).count());
    };
    StreamClients clients(stream_target(*live), plan.latency_clients, on_event);
    // Streams started together would poll in step and see one phase of the
    // feed: their starts are spread over one feed period.
    clients.connect_all(CONNECTING_AT_ONCE, CONNECT_TIMEOUT,
                        FEED_PERIOD / static_cast<long>(plan.latency_clients));
    clients.run_for(plan.latency);
    double median = percentile(samples, 50), p99 = percentile(samples, 99);
    table.set(row, b,
              samples.empty()
                  ? "no samples"
                  : fixed(median, 0) + " / " + fixed(p99, 0) + " / " + fixed(samples.back(), 0));
  }
  return true;
}

bool measure_streams(const std::vector<Bridge>& bridges, const Plan& plan, Table& table) {
  for (std::size_t count : plan.stream_counts) {
    for (std::size_t b = 0; b < bridges.size(); ++b) {
      std::optional<LiveBridge> live = start_live(bridges[b]);
      if (!live) return false;
      stream_figures(*live, count, plan.streams, b, table);
    }
  }
  return true;
}

}  // namespace simrelay::bench
