#include "options.h"

#include <charconv>

#include "config.h"

namespace simrelay::standin {
namespace {

// A whole item holding a decimal number within [low, high].
bool parse_degrees(const std::string& item, double low, double high, double& out) {
  double value = 0;
  const char* end = item.data() + item.size();
  auto [stop, error] = std::from_chars(item.data(), end, value);
  if (error != std::errc() || stop != end || !(value >= low && value <= high)) return false;
  out = value;
  return true;
}

}  // namespace

StandinCommandLine parse_standin_arguments(const std::vector<std::string>& arguments) {
  StandinOptions options;
  bool address_seen = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& item = arguments[i];
    if (item == "-h" || item == "--help") return StandinUsage{};
    if (item == "--lat" || item == "--lon") {
      bool lat = item == "--lat";
      double& target = lat ? options.plan.centre_lat_deg : options.plan.centre_lon_deg;
      // Far enough from the poles that the circuit's east-west scaling holds.
      double limit = lat ? 80.0 : 180.0;
      if (i + 1 == arguments.size() || !parse_degrees(arguments[i + 1], -limit, limit, target)) {
        return OptionError{
            item + (lat ? " needs degrees from -80 to 80" : " needs degrees from -180 to 180")};
      }
      ++i;
      continue;
    }
    auto address = parse_ipv4_literal(item);
    if (address_seen || !address) return OptionError{"unexpected argument '" + item + "'"};
    options.listen.address = *address;
    address_seen = true;
  }
  return options;
}

}  // namespace simrelay::standin
