// The bench's measurements. Each runs them for every bridge in turn, so that
// bridges compared in one run meet the same load from the rest of the
// machine, and writes its figures into one column per bridge.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bridge_process.h"
#include "fake_xplane.h"

namespace simrelay::bench {

using std::chrono::milliseconds;

struct Bridge {
  std::string label;  // The column's heading.
  std::vector<std::string> command;
};

// How long each measurement runs: the full run or a short pass (--quick).
struct Plan {
  int launches;
  milliseconds idle;
  milliseconds state;  // Per server, split into turns.
  std::size_t latency_clients;
  milliseconds latency;
  std::vector<std::size_t> stream_counts;
  milliseconds streams;
};

// Figures by row and column; rows in the order they were first written.
class Table {
 public:
  explicit Table(std::vector<std::string> columns) : columns_(std::move(columns)) {}
  void set(const std::string& row, std::size_t column, std::string figure);
  std::string markdown() const;

 private:
  std::vector<std::string> columns_;
  std::vector<std::pair<std::string, std::vector<std::string>>> rows_;
};

// A bridge linked to a fake X-Plane of its own that answers five times a
// second; the bridge ends first.
struct LiveBridge {
  std::unique_ptr<support::XPlaneFeed> feed;
  std::unique_ptr<support::BridgeProcess> process;
};

// Nothing when the bridge did not start or did not report the feed's data.
std::optional<LiveBridge> start_live(const Bridge& bridge);

// Each returns false when a bridge did not start or did not link.
bool measure_footprint(const std::vector<Bridge>& bridges, const Plan& plan, Table& table);
bool measure_latency(const std::vector<Bridge>& bridges, const Plan& plan, Table& table);
bool measure_streams(const std::vector<Bridge>& bridges, const Plan& plan, Table& table);

// /state on every bridge and on nginx (the last column), in turns. False
// also when nginx is missing and `need_nginx`; without it the nginx column
// says why it is empty.
bool measure_state(const std::vector<Bridge>& bridges, const Plan& plan, bool need_nginx,
                   Table& table);

std::string fixed(double value, int decimals);

}  // namespace simrelay::bench
