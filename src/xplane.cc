#include "xplane.h"

#include <algorithm>
#include <cstring>

#include "console.h"

namespace simrelay {

void put_le32(char* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    at[i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

std::uint32_t get_le32(const char* at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i)
    value = (value << 8) | static_cast<unsigned char>(at[i]);
  return value;
}

RrefRequest build_rref_request(std::size_t row, std::int32_t rate_hz) {
  RrefRequest request{};  // Zero-filled, so the path field ends in zeros.
  std::memcpy(request.data(), "RREF", 5);
  put_le32(request.data() + RREF_RATE_OFFSET, static_cast<std::uint32_t>(rate_hz));
  put_le32(request.data() + RREF_INDEX_OFFSET, static_cast<std::uint32_t>(row));
  std::string_view path = POSITION_FIELDS[row].dataref_path;
  static_assert(DATAREF_PATH_LEN >= 43);
  std::memcpy(request.data() + RREF_PATH_OFFSET, path.data(), path.size());
  return request;
}

void send_subscriptions(const Socket& socket, const Ipv4Endpoint& endpoint) {
  for (std::size_t row = 0; row < POSITION_FIELDS.size(); ++row) {
    RrefRequest request = build_rref_request(row, RREF_RATE_HZ);
    send_datagram(socket, endpoint, request);  // Failures wait for the next round.
  }
}

std::vector<std::string> cancellation_requests() {
  std::vector<std::string> requests;
  for (std::size_t row = 0; row < POSITION_FIELDS.size(); ++row) {
    RrefRequest request = build_rref_request(row, 0);
    requests.emplace_back(request.begin(), request.end());
  }
  return requests;
}

RrefRecord RrefReply::operator[](std::size_t k) const {
  const char* at = records_.data() + k * RREF_RECORD_LEN;
  std::uint32_t bits = get_le32(at + 4);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return {get_le32(at), value};
}

std::optional<RrefReply> decode_rref_reply(std::span<const char> datagram) {
  if (datagram.size() < RREF_REPLY_HEADER_LEN) return std::nullopt;
  if (std::memcmp(datagram.data(), "RREF", 4) != 0) return std::nullopt;
  std::size_t whole = (datagram.size() - RREF_REPLY_HEADER_LEN) / RREF_RECORD_LEN;
  return RrefReply(datagram.subspan(RREF_REPLY_HEADER_LEN, whole * RREF_RECORD_LEN));
}

std::size_t copy_records(const RrefReply& reply, std::span<RrefRecord> out) {
  std::size_t count = std::min(reply.size(), out.size());
  for (std::size_t k = 0; k < count; ++k)
    out[k] = reply[k];
  return count;
}

std::optional<std::string_view> link_change_line(bool link_shown, bool live) {
  if (live == link_shown) return std::nullopt;
  return live ? LINK_LIVE_LINE : LINK_WAITING_LINE;
}

bool resubscribe_due(bool live, MonotonicInstant last_subscribe, MonotonicInstant now) {
  return !live && now > last_subscribe && now - last_subscribe > RESUBSCRIBE_INTERVAL;
}

void run_subscriber(Socket socket, Ipv4Endpoint endpoint, SharedFlightState state) {
  set_receive_timeout(socket, RECEIVE_TIMEOUT_MS);  // Without it the loop waits for traffic.
  send_subscriptions(socket, endpoint);
  MonotonicInstant last_subscribe = MonotonicClock::now();
  bool link_shown = false;
  std::array<char, REPLY_BUFFER_LEN> buffer{};
  std::array<RrefRecord, MAX_REPLY_RECORDS> records;

  for (;;) {
    if (auto length = receive_datagram(socket, buffer)) {
      if (auto reply = decode_rref_reply(std::span<const char>(buffer.data(), *length))) {
        std::size_t count = copy_records(*reply, records);
        state->apply_reply(std::span<const RrefRecord>(records.data(), count));
      }
    }
    bool live = state->is_live(MonotonicClock::now());
    if (auto line = link_change_line(link_shown, live)) {
      queue_stdout_line(std::string(*line));
      link_shown = live;
    }
    if (resubscribe_due(live, last_subscribe, MonotonicClock::now())) {
      send_subscriptions(socket, endpoint);
      last_subscribe = MonotonicClock::now();
    }
  }
}

}  // namespace simrelay
