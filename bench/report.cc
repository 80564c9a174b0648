#include "report.h"

#include <cstdint>
#include <cstdio>

namespace simrelay::bench {

std::string with_thousands(std::uint64_t value) {
  std::string digits = std::to_string(value);
  std::string grouped;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string format_table(const Rows& rows) {
  std::string table = "| Measurement | Figure | Result | Target | Met |\n|---|---|---:|---|---|\n";
  const std::string* group = nullptr;
  for (const Row& row : rows) {
    std::string met = !row.met ? "" : *row.met ? "yes" : "**no**";
    std::string shown = group && *group == row.group ? "" : row.group;  // Once per group.
    group = &row.group;
    const std::string* cells[] = {&shown, &row.measure, &row.result, &row.target, &met};
    for (const std::string* cell : cells)
      table.append("| ").append(*cell).append(" ");
    table += "|\n";
  }
  return table;
}

bool all_met(const Rows& rows) {
  for (const Row& row : rows) {
    if (row.met && !*row.met) return false;
  }
  return true;
}

}  // namespace simrelay::bench
