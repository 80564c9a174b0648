// The stand-in's command line: where to listen and where to fly.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "flight_model.h"
#include "platform.h"

namespace simrelay::standin {

inline constexpr std::string_view STANDIN_USAGE =
    "usage: xplane-standin [address] [--lat 47.46] [--lon 8.55]";

struct StandinOptions {
  Ipv4Endpoint listen{{127, 0, 0, 1}, 49000};  // X-Plane's own port; only the address varies.
  CircuitPlan plan;
};

struct StandinUsage {};

struct OptionError {
  std::string message;
};

using StandinCommandLine = std::variant<StandinUsage, StandinOptions, OptionError>;

// Arguments without the program's name.
StandinCommandLine parse_standin_arguments(const std::vector<std::string>& arguments);

}  // namespace simrelay::standin
