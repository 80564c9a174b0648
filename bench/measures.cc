#include "measures.h"

#include <unistd.h>

#include <filesystem>
#include <thread>

#include "bridge_process.h"
#include "proc_stats.h"
#include "stats.h"
#include "stream_clients.h"

namespace simrelay::bench {
namespace {

using namespace support;

constexpr std::size_t CONNECTING_AT_ONCE = 64;
constexpr std::chrono::milliseconds CONNECT_TIMEOUT{60000};
constexpr std::chrono::milliseconds WARM_UP{1000};
constexpr std::chrono::milliseconds RETURN_TO_IDLE_LIMIT{2000};

std::string ms(double value) {
  return fixed(value, value < 10 ? 2 : 1) + " ms";
}

std::string seconds_label(std::chrono::milliseconds duration) {
  return fixed(static_cast<double>(duration.count()) / 1000.0, duration.count() % 1000 ? 1 : 0) +
         " s";
}

std::string mib(std::uint64_t kib) {
  return fixed(static_cast<double>(kib) / 1024.0, 1) + " MiB";
}

double seconds_between(MonotonicInstant from, MonotonicInstant to) {
  return std::chrono::duration<double>(to - from).count();
}

// From starting the process to its ready line.
double ready_after_ms(BridgeProcess& bridge) {
  auto ready = bridge.wait_stdout_prefix("✓ bridge ready", std::chrono::milliseconds(0));
  return std::chrono::duration<double, std::milli>(ready->at - bridge.started_at()).count();
}

// Size in bytes of a stripped copy of the file (made with `strip`).
std::optional<std::uint64_t> stripped_size(const std::string& binary) {
  std::filesystem::path copy = std::filesystem::temp_directory_path() /
                               ("simrelay-bench-stripped-" + std::to_string(::getpid()));
  std::optional<int> status = run_command({"strip", "-o", copy.string(), binary});
  std::error_code error;
  std::uint64_t size = std::filesystem::file_size(copy, error);
  if (error) size = 0;
  std::filesystem::remove(copy, error);
  if (status != 0 || size == 0) return std::nullopt;
  return size;
}

struct ThreadsAndDescriptors {
  std::size_t threads = 0;
  std::size_t descriptors = 0;
};

std::optional<ThreadsAndDescriptors> threads_and_descriptors(int pid) {
  std::optional<std::size_t> threads = thread_count(pid);
  std::optional<std::size_t> descriptors = descriptor_count(pid);
  if (!threads || !descriptors) return std::nullopt;
  return ThreadsAndDescriptors{*threads, *descriptors};
}

// Seconds until the server has no more threads and descriptors than it had
// when idle; nothing when that took longer than `limit`.
std::optional<double> back_to_idle(int pid, const ThreadsAndDescriptors& idle,
                                   std::chrono::milliseconds limit) {
  MonotonicInstant begin = MonotonicClock::now();
  for (MonotonicInstant now = begin; now - begin <= limit; now = MonotonicClock::now()) {
    auto current = threads_and_descriptors(pid);
    if (current && current->threads <= idle.threads && current->descriptors <= idle.descriptors) {
      return seconds_between(begin, now);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return std::nullopt;
}

}  // namespace

Rows state_rows(const std::string& what, StateLoadResult& result, std::optional<double> server_cpu,
                bool judged) {
  double rate = result.seconds > 0 ? static_cast<double>(result.completed) / result.seconds : 0;
  double p50 = percentile(result.latencies_ms, 50);
  double p99 = percentile(result.latencies_ms, 99);
  Rows rows = {
      {what, "requests/s", with_thousands(static_cast<std::uint64_t>(rate)), "≥ 15,000",
       rate >= 15000},
      {what, "failed requests", with_thousands(result.failed), "0", result.failed == 0},
      {what, "latency p50", ms(p50), "", std::nullopt},
      {what, "latency p99", ms(p99), "< 10 ms", p99 < 10},
  };
  if (!judged) {
    for (Row& row : rows) {
      row.target.clear();
      row.met.reset();
    }
  }
  if (server_cpu && result.completed > 0) {
    double per_request = *server_cpu / static_cast<double>(result.completed) * 1e6;
    rows.push_back({what, "server CPU per request", fixed(per_request, 0) + " µs", "", {}});
  }
  return rows;
}

std::string state_label(const HttpTarget& target, const StateLoadOptions& options) {
  return target.path + ", " + std::to_string(options.clients) + " clients, new connection each, " +
         seconds_label(options.duration);
}

Rows measure_state(const HttpTarget& target, const StateLoadOptions& options,
                   std::optional<int> server_pid) {
  std::optional<double> cpu_before = server_pid ? cpu_seconds(*server_pid) : std::nullopt;
  StateLoadResult result = run_state_load(target, options);
  std::optional<double> cpu_after = server_pid ? cpu_seconds(*server_pid) : std::nullopt;
  std::optional<double> used;
  if (cpu_before && cpu_after) used = *cpu_after - *cpu_before;
  return state_rows(state_label(target, options), result, used, true);
}

Rows measure_fanout(const HttpTarget& target, const FanoutOptions& options) {
  std::optional<int> pid = options.server_pid;
  std::optional<ThreadsAndDescriptors> idle = pid ? threads_and_descriptors(*pid) : std::nullopt;
  auto clients = std::make_unique<StreamClients>(target, options.clients);
  std::size_t ready = clients->connect_all(CONNECTING_AT_ONCE, CONNECT_TIMEOUT);
  clients->run_for(WARM_UP);
  std::string what = target.path + ", " + std::to_string(options.clients) + " clients, " +
                     seconds_label(options.duration);

  std::vector<std::uint64_t> before = clients->event_counts();
  std::optional<double> cpu_before = pid ? cpu_seconds(*pid) : std::nullopt;
  MonotonicInstant begin = MonotonicClock::now();
  clients->run_for(options.duration);
  MonotonicInstant end = MonotonicClock::now();
  std::optional<double> cpu_after = pid ? cpu_seconds(*pid) : std::nullopt;
  std::uint64_t rss = pid ? rss_kib(*pid).value_or(0) : 0;
  std::size_t threads = pid ? thread_count(*pid).value_or(0) : 0;
  std::vector<std::uint64_t> after = clients->event_counts();
  std::size_t still_open = clients->open_count();
  clients.reset();  // Every stream closes here.
  std::optional<double> settled =
      idle ? back_to_idle(*pid, *idle, 2 * RETURN_TO_IDLE_LIMIT) : std::nullopt;

  double window = seconds_between(begin, end);
  std::vector<double> rates;
  for (std::size_t i = 0; i < after.size(); ++i)
    rates.push_back(static_cast<double>(after[i] - before[i]) / window);
  double slowest = minimum(rates);
  Rows rows = {
      {what, "streams open (at start / at end)",
       std::to_string(ready) + " / " + std::to_string(still_open),
       "all " + std::to_string(options.clients),
       ready == options.clients && still_open == options.clients},
      {what, "events/s per client, min", fixed(slowest, 2), "≥ 4.5", slowest >= 4.5},
      {what, "events/s per client, median", fixed(median(rates), 2), "", std::nullopt},
  };
  if (cpu_before && cpu_after) {
    double percent = (*cpu_after - *cpu_before) / window * 100.0;
    std::string limit = fixed(options.cpu_limit_percent, 0);
    rows.push_back({what, "server CPU (% of one core)", fixed(percent, 1) + " %",
                    "< " + limit + " %", percent < options.cpu_limit_percent});
  }
  if (rss > 0) {
    rows.push_back({what, "server RSS", mib(rss),
                    "< " + std::to_string(options.rss_limit_mib) + " MiB",
                    rss < options.rss_limit_mib * 1024});
  }
  if (threads > 0) rows.push_back({what, "server threads", std::to_string(threads), "", {}});
  if (idle) {
    double limit = std::chrono::duration<double>(RETURN_TO_IDLE_LIMIT).count();
    double took = settled.value_or(-1);  // Negative: not even in twice the limit.
    rows.push_back({what, "threads and descriptors back to idle after the close",
                    took >= 0 ? fixed(took, 2) + " s" : "not within " + fixed(2 * limit, 0) + " s",
                    "≤ " + fixed(limit, 0) + " s", took >= 0 && took <= limit});
  }
  return rows;
}

Rows measure_latency(const HttpTarget& target, const XPlaneFeed& feed,
                     const LatencyOptions& options) {
  std::vector<std::optional<std::uint32_t>> last_seen(options.clients);
  std::vector<double> samples;
  auto on_event = [&](std::size_t client, std::string_view data, MonotonicInstant at) {
    std::optional<std::uint32_t> sequence = sequence_in_snapshot(data);
    if (!sequence) return;
    // A client's first event shows an older datagram; repeats show none.
    bool fresh = last_seen[client] && *last_seen[client] != *sequence;
    last_seen[client] = sequence;
    if (!fresh) return;
    if (auto sent = feed.sent_at(*sequence)) {
      samples.push_back(std::chrono::duration<double, std::milli>(at - *sent).count());
    }
  };
  StreamClients clients(target, options.clients, on_event);
  // Clients that start together poll in step and would all see the same
  // phase of the feed: spread their starts over one feed period.
  clients.connect_all(
      CONNECTING_AT_ONCE, CONNECT_TIMEOUT,
      options.spread / static_cast<long>(std::max<std::size_t>(1, options.clients)));
  clients.run_for(options.duration);

  std::string what = "datagram → event, " + std::to_string(options.clients) + " clients, " +
                     seconds_label(options.duration);
  double p99 = percentile(samples, 99);
  double worst = maximum(samples);
  Row count = {what, "samples", std::to_string(samples.size()), "", std::nullopt};
  if (options.min_samples > 0) {
    count.target = "≥ " + std::to_string(options.min_samples);
    count.met = samples.size() >= options.min_samples;
  }
  return {
      count,
      {what, "latency p50", ms(percentile(samples, 50)), "", std::nullopt},
      {what, "latency p99", ms(p99), "≤ 182 ms", p99 <= 182},
      {what, "latency max", ms(worst), "≤ 190 ms", worst <= 190},
  };
}

Rows measure_footprint(const FootprintOptions& options) {
  Rows rows;
  std::vector<double> ready_ms;
  for (int i = 0; i < options.launches; ++i) {
    auto bridge = BridgeProcess::start_ready(options.silent_xplane_host, {options.binary});
    if (bridge) ready_ms.push_back(ready_after_ms(*bridge));
  }
  std::string launch = "launch to ready line, " + std::to_string(ready_ms.size()) + " launches";
  double slowest_launch = maximum(ready_ms);
  rows.push_back({launch, "median", ms(median(ready_ms)), "≤ 5 ms",
                  !ready_ms.empty() && median(ready_ms) <= 5});
  rows.push_back({launch, "slowest", ms(slowest_launch), "", {}});

  std::string idle = "idle: no X-Plane, no client, " + seconds_label(options.idle);
  auto bridge = BridgeProcess::start_ready(options.silent_xplane_host, {options.binary});
  if (!bridge) {
    rows.push_back({idle, "bridge", "did not start", "", false});
    return rows;
  }
  std::optional<std::uint64_t> cpu_before = thread_cpu_nanoseconds(bridge->pid());
  std::this_thread::sleep_for(options.idle);
  std::optional<std::uint64_t> cpu_after = thread_cpu_nanoseconds(bridge->pid());
  std::optional<std::uint64_t> rss = rss_kib(bridge->pid());
  if (cpu_before && cpu_after) {
    double used_ms = static_cast<double>(*cpu_after - *cpu_before) / 1e6;
    double per_minute = used_ms * 60000.0 / static_cast<double>(options.idle.count());
    rows.push_back({idle, "CPU time per 60 s", ms(per_minute), "≤ 10 ms", per_minute <= 10});
  }
  if (rss) rows.push_back({idle, "RSS", mib(*rss), "≤ 4 MiB", *rss <= 4 * 1024});
  if (auto size = stripped_size(options.binary)) {
    rows.push_back({"binary", "stripped size", with_thousands(*size) + " bytes", "", {}});
  }
  return rows;
}

}  // namespace simrelay::bench
