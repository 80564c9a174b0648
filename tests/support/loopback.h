// Where each whole-program suite puts its fake X-Planes: Linux and Windows
// route all of 127.0.0.0/8 to loopback, so every suite takes its own last
// bytes of 127.0.0.x, all on UDP port 49000, and suites that run at once
// never answer each other's bridges.
#pragma once

#include <cstdint>
#include <string>

#include "platform.h"

namespace simrelay::support {

// Last bytes `first` to `last` of 127.0.0.x.
struct LoopbackRange {
  std::uint8_t first;
  std::uint8_t last;
};

inline constexpr LoopbackRange E2E_XPLANES{2, 99};
inline constexpr LoopbackRange LOAD_XPLANES{180, 199};
inline constexpr LoopbackRange STANDIN_E2E{221, 221};
// Taken outside this code: 215 by the docs check's stand-in
// (tests/docs/check_docs.py), 220 and 222 by the browser tests' stand-ins
// (tests/browser/CMakeLists.txt), 230 by the release lane's and 231 by its
// time-stamp server (.ci/release-lane).
inline constexpr LoopbackRange BENCH_XPLANES{240, 254};

inline Ipv4Endpoint loopback(std::uint8_t last, std::uint16_t port) {
  return Ipv4Endpoint{{127, 0, 0, last}, port};
}

// "127.0.0.x", the form the bridge's command line takes.
inline std::string host_of(const Ipv4Endpoint& endpoint) {
  std::string text = to_string(endpoint);
  return text.substr(0, text.find(':'));
}

// A TCP port on 127.0.0.1 that was free a moment ago.
std::uint16_t free_tcp_port();

}  // namespace simrelay::support
