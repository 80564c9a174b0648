// The one table that a benchmark run prints, as Markdown.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace simrelay::bench {

struct Row {
  std::string group;  // The measurement the row belongs to.
  std::string measure;
  std::string result;
  std::string target;       // Empty for figures given for information.
  std::optional<bool> met;  // Nothing when there is no target to meet.
};

using Rows = std::vector<Row>;

// "12,345" for 12345.
std::string with_thousands(std::uint64_t value);

// `value` with `decimals` digits after the point.
std::string fixed(double value, int decimals);

std::string format_table(const Rows& rows);

// True unless some row missed its target.
bool all_met(const Rows& rows);

}  // namespace simrelay::bench
