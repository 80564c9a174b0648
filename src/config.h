// The command line and the bridge's fixed settings.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform.h"

namespace simrelay {

inline constexpr std::uint16_t XPLANE_PORT = 49000;
inline constexpr std::int32_t RREF_RATE_HZ = 5;
inline constexpr std::string_view DEFAULT_XPLANE_HOST = "127.0.0.1";
inline constexpr std::uint16_t DEFAULT_HTTP_PORT = 49080;
// The link's socket: every IPv4 interface, a port the system picks.
inline constexpr Ipv4Endpoint UDP_BIND_ADDRESS{{0, 0, 0, 0}, 0};
// The HTTP listener: IPv4 loopback only, never reachable from other machines.
inline constexpr std::array<std::uint8_t, 4> HTTP_BIND_HOST{127, 0, 0, 1};

// The number in it is fixed text, not the configured port.
inline constexpr std::string_view USAGE_LINE = "usage: simrelay [xplane-host] [--port 49080]";

struct BridgeConfig {
  std::string xplane_host{DEFAULT_XPLANE_HOST};
  std::uint16_t http_port = DEFAULT_HTTP_PORT;

  friend bool operator==(const BridgeConfig&, const BridgeConfig&) = default;
};

struct UsageRequest {
  friend bool operator==(const UsageRequest&, const UsageRequest&) = default;
};

using CommandLine = std::variant<UsageRequest, BridgeConfig>;

// Never fails: every argument list is either a usage request or a config.
CommandLine parse_command_line(std::vector<std::string> arguments);

// An optional "+" and one or more ASCII digits, at most 65535.
std::optional<std::uint16_t> parse_port_value(std::string_view item);

// Strict dotted decimal: four numbers 0 to 255 without leading zeros.
std::optional<std::array<std::uint8_t, 4>> parse_ipv4_literal(std::string_view text);

// The first IPv4 address of the host with port XPLANE_PORT, or nothing.
std::optional<Ipv4Endpoint> resolve_xplane_endpoint(const std::string& xplane_host);

}  // namespace simrelay
