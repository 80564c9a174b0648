// /proc readings: a misparsed field would skew every footprint figure.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proc_stats.h"

namespace simrelay::support {
namespace {

TEST(ProcStats, ReadsCpuTicksPastACommandNameWithSpacesAndParentheses) {
  std::string stat =
      "4242 (sim relay) (x)) S 1 4242 4242 0 -1 4194560 120 0 0 0 "
      "37 12 0 0 20 0 3 0 100 1000 200";
  EXPECT_EQ(parse_stat_cpu_ticks(stat), 49u);
  EXPECT_EQ(parse_stat_cpu_ticks("4242 (short) S 1 2"), std::nullopt);
}

TEST(ProcStats, ReadsNamedStatusValues) {
  std::string status = "Name:\tsimrelay\nVmRSSx:\t1 kB\nVmRSS:\t    3456 kB\nThreads:\t1003\n";
  EXPECT_EQ(parse_status_value(status, "VmRSS"), 3456u);
  EXPECT_EQ(parse_status_value(status, "Threads"), 1003u);
  EXPECT_EQ(parse_status_value(status, "VmHWM"), std::nullopt);
}

}  // namespace
}  // namespace simrelay::support
