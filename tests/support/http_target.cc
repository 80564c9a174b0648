#include "http_target.h"

#include "config.h"

namespace simrelay::support {

std::optional<HttpTarget> make_http_target(const std::string& host, std::uint16_t port,
                                           const std::string& path) {
  std::optional<std::array<std::uint8_t, 4>> address = parse_ipv4_literal(host);
  if (!address) {
    auto found = resolve_ipv4_addresses(host);
    if (found.empty()) return std::nullopt;
    address = found.front();
  }
  return HttpTarget{Ipv4Endpoint{*address, port}, host, path.empty() ? "/" : path};
}

std::string get_request(const HttpTarget& target, bool event_stream) {
  std::string request = "GET " + target.path + " HTTP/1.1\r\nHost: " + target.host + ":" +
                        std::to_string(target.endpoint.port) + "\r\n";
  request += event_stream ? "Accept: text/event-stream\r\n" : "Connection: close\r\n";
  return request + "\r\n";
}

}  // namespace simrelay::support
