// Where an HTTP measurement points: any host, port and path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform.h"

namespace simrelay::support {

struct HttpTarget {
  Ipv4Endpoint endpoint;
  std::string host;  // As given, for the Host header.
  std::string path;
};

// Resolves the host (a dotted IPv4 address or a name) to its first IPv4
// address; nothing when it has none.
std::optional<HttpTarget> make_http_target(const std::string& host, std::uint16_t port,
                                           const std::string& path);

// A GET for the target's path that asks the server to close afterwards.
std::string get_request(const HttpTarget& target, bool event_stream);

}  // namespace simrelay::support
