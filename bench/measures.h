// The four measurements. Each returns its rows of the table.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "fake_xplane.h"
#include "http_target.h"
#include "report.h"
#include "state_load.h"

namespace simrelay::bench {

using support::HttpTarget;
using support::XPlaneFeed;

// The rows of one /state run; with the server's CPU seconds over the run,
// also its CPU time per answered request. Unjudged rows carry no targets.
Rows state_rows(const std::string& what, StateLoadResult& result, std::optional<double> server_cpu,
                bool judged);
std::string state_label(const HttpTarget& target, const StateLoadOptions& options);

// With the server's pid, also its CPU time per answered request.
Rows measure_state(const HttpTarget& target, const StateLoadOptions& options,
                   std::optional<int> server_pid = std::nullopt);

struct FanoutOptions {
  std::size_t clients = 1000;
  std::chrono::milliseconds duration{20000};
  std::optional<int> server_pid;  // For CPU, memory and the return to idle; left out without.
  double cpu_limit_percent = 12;  // Of one core.
  std::uint64_t rss_limit_mib = 64;
};

Rows measure_fanout(const HttpTarget& target, const FanoutOptions& options);

struct LatencyOptions {
  std::size_t clients = 20;
  std::chrono::milliseconds duration{12000};
  std::size_t min_samples = 500;             // 0: a short run, the count is only shown.
  std::chrono::microseconds spread{200000};  // Over which the clients start.
};

// The server must be subscribed to `feed`.
Rows measure_latency(const HttpTarget& target, const XPlaneFeed& feed,
                     const LatencyOptions& options);

struct FootprintOptions {
  std::string binary;
  std::string silent_xplane_host;  // An address where no X-Plane answers.
  std::chrono::milliseconds idle{60000};
  int launches = 5;
};

Rows measure_footprint(const FootprintOptions& options);

}  // namespace simrelay::bench
