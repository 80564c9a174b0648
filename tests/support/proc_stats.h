// What Linux tells about a running process under /proc.
#pragma once

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

std::optional<std::string> read_text_file(const std::string& path);

}  // namespace simrelay::support
