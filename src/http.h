// The local HTTP server's side of one connection: reading the request head,
// routing it, and the answers (fixed answers and the live event stream).
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform.h"
#include "state.h"

namespace simrelay {

inline constexpr std::uint32_t REQUEST_READ_TIMEOUT_MS = 5000;
inline constexpr std::size_t REQUEST_BUFFER_SIZE = 8192;
// A request head (request line and header lines) longer than this before its
// blank line is cut off, so a connection's memory stays bounded.
inline constexpr std::size_t MAX_REQUEST_HEAD = 64 * 1024;
// A stream's client that stops reading holds its thread no longer than this.
inline constexpr std::uint32_t SEND_TIMEOUT_MS = 30000;

inline constexpr std::string_view CORS_HEADERS =
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Methods: GET, OPTIONS\r\n"
    "Access-Control-Allow-Headers: *\r\n"
    "Access-Control-Allow-Private-Network: true\r\n";

inline constexpr std::string_view STATUS_BODY =
    "Corvane X-Plane bridge is running. Keep this window open and enable \"X-Plane live\" on "
    "the map.\n";

inline constexpr std::chrono::milliseconds STREAM_TICK{180};
inline constexpr std::chrono::seconds STREAM_HEARTBEAT{1};
// A pass may start this much later than its tick: many open streams then
// wake together instead of each at an interrupt of its own.
inline constexpr std::uint32_t STREAM_WAKE_SLACK_US = 1000;

enum class Route { Preflight, Snapshot, EventStream, StatusPage };

// --- Request intake ----------------------------------------------------------

// Where request bytes come from: bytes read, 0 at the end, -1 on failure.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual long read(std::span<char> buffer) = 0;
};

class SocketSource : public ByteSource {
 public:
  explicit SocketSource(const Socket& socket) : socket_(socket) {}
  long read(std::span<char> buffer) override { return receive_some(socket_, buffer); }

 private:
  const Socket& socket_;
};

// Reads the request line and throws the header lines away. The request
// line as it arrived, or nothing when the connection must close without an
// answer (no data in time, a reset, invalid UTF-8, or a head too long).
std::optional<std::string> read_request_head(ByteSource& source);

bool is_valid_utf8(std::string_view text);

// The method and target words of a request line: split at runs of Unicode
// white space. Either may be empty when the line has fewer words.
struct RequestWords {
  std::string_view method;
  std::string_view target;
};
RequestWords split_request_line(std::string_view line);

// Routes a request line (valid UTF-8) to its answer.
Route route_request_line(std::string_view line);

// --- Answers -------------------------------------------------------------------

void write_status_page(const Socket& connection);
void write_snapshot(const Socket& connection, FlightState& state);
void write_preflight(const Socket& connection);

// Sends the live event stream until a write fails.
void stream_events(const Socket& connection, FlightState& state);

// Whether the stream sends an event on this pass.
bool event_due(std::uint64_t count, std::uint64_t last_count, MonotonicInstant last_sent,
               MonotonicInstant now);

// What a stream has sent so far: its first pass always sends, every later
// one when event_due says so. The clock comes in, so tests step it by hand.
class StreamPace {
 public:
  bool due(std::uint64_t count, MonotonicInstant now) const {
    return !started_ || event_due(count, last_count_, last_sent_, now);
  }
  void sent(std::uint64_t count, MonotonicInstant at) {
    started_ = true;
    last_count_ = count;
    last_sent_ = at;
  }

 private:
  bool started_ = false;
  std::uint64_t last_count_ = 0;
  MonotonicInstant last_sent_{};
};

// The stream's header, from the status line to "retry: 2000\n\n".
std::string stream_header();

// --- One connection ----------------------------------------------------------

// Reads one request, answers it and closes the connection.
void serve_connection(Socket connection, SharedFlightState state);

}  // namespace simrelay
