// The link to X-Plane: RREF subscription requests, reply decoding and the
// subscriber thread that keeps the flight state up to date.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "config.h"
#include "platform.h"
#include "state.h"

namespace simrelay {

inline constexpr std::size_t RREF_REQUEST_LEN = 413;
inline constexpr std::size_t DATAREF_PATH_LEN = 400;
inline constexpr std::size_t RREF_REPLY_HEADER_LEN = 5;
inline constexpr std::size_t RREF_RECORD_LEN = 8;
inline constexpr std::uint32_t RECEIVE_TIMEOUT_MS = 1000;
inline constexpr std::size_t REPLY_BUFFER_LEN = 2048;
inline constexpr std::size_t MAX_REPLY_RECORDS =
    (REPLY_BUFFER_LEN - RREF_REPLY_HEADER_LEN) / RREF_RECORD_LEN;
inline constexpr std::chrono::seconds RESUBSCRIBE_INTERVAL{3};

inline constexpr std::string_view LINK_LIVE_LINE = "✓ receiving data from X-Plane";
inline constexpr std::string_view LINK_WAITING_LINE = "… waiting for X-Plane (is a flight loaded?)";

using RrefRequest = std::array<char, RREF_REQUEST_LEN>;

// The subscription request for one row of POSITION_FIELDS.
RrefRequest build_rref_request(std::size_t row, std::int32_t rate_hz);

// A request is "RREF", one byte (any value), then rate, index and a
// DATAREF_PATH_LEN-byte path field, RREF_REQUEST_LEN bytes in all.
inline constexpr std::size_t RREF_RATE_OFFSET = 5;
inline constexpr std::size_t RREF_INDEX_OFFSET = 9;
inline constexpr std::size_t RREF_PATH_OFFSET = 13;
static_assert(RREF_PATH_OFFSET + DATAREF_PATH_LEN == RREF_REQUEST_LEN);

// Every number in an RREF datagram is a little-endian 32-bit word.
void put_le32(char* at, std::uint32_t value);
std::uint32_t get_le32(const char* at);

// Sends the eight requests in row order; every send failure is ignored.
void send_subscriptions(const Socket& socket, const Ipv4Endpoint& endpoint);

// The eight requests again with rate 0, which make X-Plane stop sending:
// it never notices by itself that a subscriber has gone.
std::vector<std::string> cancellation_requests();

// The records of a reply, read in place from the datagram's bytes.
class RrefReply {
 public:
  explicit RrefReply(std::span<const char> records) : records_(records) {}
  std::size_t size() const { return records_.size() / RREF_RECORD_LEN; }
  RrefRecord operator[](std::size_t k) const;

 private:
  std::span<const char> records_;
};

// Nothing when the datagram is not an RREF reply.
std::optional<RrefReply> decode_rref_reply(std::span<const char> datagram);

// Copies up to `out.size()` records; returns how many.
std::size_t copy_records(const RrefReply& reply, std::span<RrefRecord> out);

// The console line for a link state that differs from the one last shown.
std::optional<std::string_view> link_change_line(bool link_shown, bool live);

// True when the requests are due again: link not live and strictly more
// than RESUBSCRIBE_INTERVAL since they were last sent.
bool resubscribe_due(bool live, MonotonicInstant last_subscribe, MonotonicInstant now);

// The subscriber thread's body; never returns.
[[noreturn]] void run_subscriber(Socket socket, Ipv4Endpoint endpoint, SharedFlightState state);

}  // namespace simrelay
