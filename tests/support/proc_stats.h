// What Linux tells about a running process under /proc.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace simrelay::support {

// User plus system CPU time, in clock ticks, from the text of
// /proc/PID/stat (all threads, finished ones included).
std::optional<std::uint64_t> parse_stat_cpu_ticks(std::string_view stat);

// The number of a "Name:   1234 kB" or "Name: 12" line of /proc/PID/status.
std::optional<std::uint64_t> parse_status_value(std::string_view status, std::string_view name);

// The readings for one process; nothing when it has gone.
std::optional<double> cpu_seconds(int pid);
// A named value of /proc/PID/status ("VmRSS", "VmHWM", "Threads", ...).
std::optional<std::uint64_t> status_value(int pid, std::string_view name);
std::optional<std::uint64_t> rss_kib(int pid);
// Open file descriptors.
std::optional<std::size_t> descriptor_count(int pid);

// CPU time in nanoseconds summed over the live threads' schedstat, far
// finer than the ticks of /proc/PID/stat (which it falls back to).
std::optional<std::uint64_t> thread_cpu_nanoseconds(int pid);

// Counts the live threads of the process.
std::optional<std::size_t> thread_count(int pid);

// How busy the rest of the machine was while we measured: the machine's
// busy time less the CPU time of this process and the server's, as a share
// of all CPUs. Approximate: the kernel's own work for our traffic may land
// on either side.
class OtherLoadProbe {
 public:
  explicit OtherLoadProbe(int server_pid);
  // Percent of all CPUs used by others since construction.
  std::optional<double> percent() const;

 private:
  int server_pid_;
  std::optional<double> machine_, self_, server_;
  std::chrono::steady_clock::time_point begin_;
};

std::optional<std::string> read_text_file(const std::string& path);

}  // namespace simrelay::support
