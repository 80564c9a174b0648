#include "proc_stats.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace simrelay::support {
namespace {

std::optional<std::uint64_t> parse_number(std::string_view text) {
  std::uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  return value;
}

std::string proc_path(int pid, std::string_view leaf) {
  return "/proc/" + std::to_string(pid) + "/" + std::string(leaf);
}

}  // namespace

std::optional<std::uint64_t> parse_stat_cpu_ticks(std::string_view stat) {
  // The command name may hold spaces and parentheses: fields are counted
  // from the last ')'. Field 3 (state) follows it; utime is 14, stime 15.
  std::size_t paren = stat.rfind(')');
  if (paren == std::string_view::npos) return std::nullopt;
  std::istringstream fields{std::string(stat.substr(paren + 1))};
  std::string field;
  std::uint64_t total = 0;
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number < 14) continue;
    auto ticks = parse_number(field);
    if (!ticks) return std::nullopt;
    total += *ticks;
    if (number == 15) return total;
  }
  return std::nullopt;
}

std::optional<std::uint64_t> parse_status_value(std::string_view status, std::string_view name) {
  std::string key = std::string(name) + ":";
  for (std::size_t at = 0; at < status.size();) {
    std::size_t end = status.find('\n', at);
    if (end == std::string_view::npos) end = status.size();
    std::string_view line = status.substr(at, end - at);
    at = end + 1;
    if (line.substr(0, key.size()) != key) continue;
    line.remove_prefix(key.size());
    line.remove_prefix(std::min(line.find_first_not_of(" \t"), line.size()));
    return parse_number(line);
  }
  return std::nullopt;
}

std::optional<std::string> read_text_file(const std::string& path) {
  std::ifstream file(path);
  if (!file) return std::nullopt;
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::optional<double> cpu_seconds(int pid) {
  auto text = read_text_file(proc_path(pid, "stat"));
  if (!text) return std::nullopt;
  auto ticks = parse_stat_cpu_ticks(*text);
  if (!ticks) return std::nullopt;
  return static_cast<double>(*ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::optional<std::uint64_t> status_value(int pid, std::string_view name) {
  auto text = read_text_file(proc_path(pid, "status"));
  if (!text) return std::nullopt;
  return parse_status_value(*text, name);
}

std::optional<std::uint64_t> rss_kib(int pid) {
  return status_value(pid, "VmRSS");
}

std::optional<std::size_t> descriptor_count(int pid) {
  std::error_code error;
  std::filesystem::directory_iterator entries(proc_path(pid, "fd"), error);
  if (error) return std::nullopt;
  return static_cast<std::size_t>(std::distance(entries, {}));
}

std::optional<std::uint64_t> thread_cpu_nanoseconds(int pid) {
  std::error_code error;
  std::filesystem::directory_iterator tasks(proc_path(pid, "task"), error);
  if (error) return std::nullopt;
  std::uint64_t total = 0;
  bool any = false;
  for (const auto& task : tasks) {
    auto text = read_text_file((task.path() / "schedstat").string());
    if (!text) continue;  // The thread ended meanwhile, or no schedstat.
    std::string_view first(*text);
    total += parse_number(first.substr(0, first.find(' '))).value_or(0);
    any = true;
  }
  if (any) return total;
  // Kernels without scheduler statistics: fall back to clock ticks.
  auto seconds = cpu_seconds(pid);
  if (!seconds) return std::nullopt;
  return static_cast<std::uint64_t>(*seconds * 1e9);
}

std::optional<std::size_t> thread_count(int pid) {
  return status_value(pid, "Threads");
}

}  // namespace simrelay::support
