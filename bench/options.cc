#include "options.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace simrelay::bench {
namespace {

constexpr std::array<std::string_view, 10> VALUE_OPTIONS = {
    "--bridge",  "--host",    "--port", "--path",      "--clients",
    "--seconds", "--threads", "--pid",  "--feed-from", "--launches"};
constexpr std::array<std::string_view, 3> TEXT_OPTIONS = {"--bridge", "--host", "--path"};
constexpr std::array<std::string_view, 3> FLAG_OPTIONS = {"--quick", "--check", "--nginx"};

template <std::size_t N>
bool one_of(const std::array<std::string_view, N>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

const char* const USAGE =
    "usage: simrelay-bench COMMAND [options]\n"
    "  all       --bridge PATH [--quick] [--check]   everything against a bridge it starts\n"
    "  state     --host H --port P [--path /state] [--clients 50] [--seconds 10] [--threads CPUs]\n"
    "            [--pid N] [--nginx]   --nginx: nginx serves the same bytes in turns (needs "
    "--pid)\n"
    "  fanout    --host H --port P [--path /stream] [--clients 1000] [--seconds 20] [--pid N]\n"
    "  latency   --host H --port P [--path /stream] [--clients 20] [--seconds 12]\n"
    "            [--feed-from 240]   fake X-Plane on 127.0.0.240-254:49000; the server must\n"
    "                                subscribe to it\n"
    "  footprint --bridge PATH [--seconds 60] [--launches 5]\n"
    "--check makes the exit status 1 when a target was missed.\n";

std::optional<Options> Options::parse(const std::vector<std::string>& arguments) {
  if (arguments.empty()) return std::nullopt;
  Options options;
  options.command_ = arguments[0];
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& name = arguments[i];
    if (one_of(FLAG_OPTIONS, name)) {
      options.flags_[name] = true;
    } else if (one_of(VALUE_OPTIONS, name) && i + 1 < arguments.size()) {
      options.values_[name] = arguments[++i];
      if (!one_of(TEXT_OPTIONS, name) && !options.number(name)) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  return options;
}

std::string Options::text(const std::string& name, const std::string& fallback) const {
  auto found = values_.find(name);
  return found == values_.end() ? fallback : found->second;
}

std::optional<std::uint64_t> Options::number(const std::string& name) const {
  auto found = values_.find(name);
  if (found == values_.end()) return std::nullopt;
  const std::string& text = found->second;
  std::uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::uint64_t Options::number(const std::string& name, std::uint64_t fallback) const {
  return number(name).value_or(fallback);
}

}  // namespace simrelay::bench
