// Closed-loop load on a one-shot HTTP resource: each client opens a new
// connection per request and sends the next request as soon as the answer
// has ended (the server closes the connection).
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "http_target.h"

namespace simrelay::bench {

using support::HttpTarget;

struct StateLoadOptions {
  std::size_t clients = 50;
  std::size_t threads = 1;  // Client threads, each with its share of clients.
  std::chrono::milliseconds duration{10000};
};

struct StateLoadResult {
  std::uint64_t completed = 0;  // Answers with status 200, read to their end.
  std::uint64_t failed = 0;     // Refused, reset or not 200.
  double seconds = 0;
  std::vector<double> latencies_ms;  // Connect to end of answer, one per completed.
};

StateLoadResult run_state_load(const HttpTarget& target, const StateLoadOptions& options);

}  // namespace simrelay::bench
