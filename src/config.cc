#include "config.h"

#include <algorithm>

namespace simrelay {

std::optional<std::uint16_t> parse_port_value(std::string_view item) {
  if (!item.empty() && item.front() == '+') item.remove_prefix(1);
  if (item.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : item) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > 65535) return std::nullopt;  // Also stops any overflow of long inputs.
  }
  return static_cast<std::uint16_t>(value);
}

CommandLine parse_command_line(std::vector<std::string> arguments) {
  BridgeConfig config;
  auto option = std::find(arguments.begin(), arguments.end(), "--port");
  // A trailing "--port" has no value and stays behind as an ordinary item.
  if (option != arguments.end() && option + 1 != arguments.end()) {
    config.http_port = parse_port_value(option[1]).value_or(DEFAULT_HTTP_PORT);
    arguments.erase(option, option + 2);
  }
  for (const std::string& item : arguments) {
    if (item == "--help" || item == "-h") return UsageRequest{};
  }
  if (!arguments.empty()) config.xplane_host = arguments.front();
  return config;
}

std::optional<std::array<std::uint8_t, 4>> parse_ipv4_literal(std::string_view text) {
  std::array<std::uint8_t, 4> address{};
  for (std::size_t part = 0; part < 4; ++part) {
    if (part > 0) {
      if (text.empty() || text.front() != '.') return std::nullopt;
      text.remove_prefix(1);
    }
    std::size_t digits = 0;
    unsigned value = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
      value = value * 10 + static_cast<unsigned>(text[digits] - '0');
      if (++digits > 3) return std::nullopt;
    }
    if (digits == 0 || value > 255 || (digits > 1 && text.front() == '0')) return std::nullopt;
    address[part] = static_cast<std::uint8_t>(value);
    text.remove_prefix(digits);
  }
  if (!text.empty()) return std::nullopt;
  return address;
}

std::optional<Ipv4Endpoint> resolve_xplane_endpoint(const std::string& xplane_host) {
  if (auto literal = parse_ipv4_literal(xplane_host)) return Ipv4Endpoint{*literal, XPLANE_PORT};
  // Anything else, IPv6 literals included, goes to the resolver; an IPv6
  // literal comes back as IPv6 alone and so gives no endpoint.
  auto addresses = resolve_ipv4_addresses(xplane_host);
  if (addresses.empty()) return std::nullopt;
  return Ipv4Endpoint{addresses.front(), XPLANE_PORT};
}

}  // namespace simrelay
