#include "fake_xplane.h"

#include <algorithm>
#include <charconv>

#include "config.h"
#include "subscriptions.h"
#include "xplane.h"

namespace simrelay::support {
namespace {

// A plausible aircraft: the same position, only the altitude moves.
constexpr std::array<float, 8> BASE_VALUES = {47.4647f, 8.5492f, 0,    270.5f,
                                              61.7f,    118.2f,  -300, 457.2f};

std::int64_t nanoseconds_of(MonotonicInstant at) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

}  // namespace

std::optional<FakeXPlane> FakeXPlane::open(LoopbackRange range) {
  for (unsigned last = range.first; last <= range.last; ++last) {
    Ipv4Endpoint address = loopback(static_cast<std::uint8_t>(last), XPLANE_PORT);
    SocketResult bound = open_udp_socket_at(address);
    if (bound.socket.valid()) return FakeXPlane(std::move(bound.socket), address);
  }
  return std::nullopt;
}

std::optional<FakeXPlane::Datagram> FakeXPlane::receive(milliseconds timeout) {
  set_receive_timeout(socket_, static_cast<std::uint32_t>(std::max<long>(1, timeout.count())));
  char buffer[65536];
  Ipv4Endpoint from;
  auto length = receive_datagram(socket_, buffer, &from);
  if (!length) return std::nullopt;
  return Datagram{std::string(buffer, *length), from, Clock::now()};
}

std::vector<FakeXPlane::Datagram> FakeXPlane::receive_many(std::size_t count,
                                                           milliseconds timeout) {
  std::vector<Datagram> all;
  auto deadline = Clock::now() + timeout;
  while (all.size() < count && Clock::now() < deadline) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (auto datagram = receive(left)) all.push_back(*datagram);
  }
  return all;
}

std::vector<std::string> FakeXPlane::receive_cancellations(const Ipv4Endpoint& subscriber,
                                                           milliseconds timeout) {
  std::vector<std::string> cancellations;
  auto deadline = Clock::now() + timeout;
  while (cancellations.size() < POSITION_FIELDS.size() && Clock::now() < deadline) {
    auto datagram = receive(std::chrono::duration_cast<milliseconds>(deadline - Clock::now()));
    if (!datagram || datagram->from != subscriber) continue;
    auto request = standin::decode_rref_request(datagram->bytes);
    if (request && request->rate_hz == 0) cancellations.push_back(datagram->bytes);
  }
  return cancellations;
}

void FakeXPlane::send_to(const Ipv4Endpoint& to, std::string_view bytes) {
  send_datagram(socket_, to, bytes);
}

std::string feed_reply(std::uint32_t sequence) {
  std::array<RrefRecord, BASE_VALUES.size()> records;
  for (std::uint32_t row = 0; row < records.size(); ++row)
    records[row] = {row, row == 2 ? static_cast<float>(sequence) : BASE_VALUES[row]};
  return standin::encode_rref_reply(records);
}

std::optional<std::uint32_t> sequence_in_snapshot(std::string_view json) {
  constexpr std::string_view KEY = "\"alt\":";
  std::size_t at = json.find(KEY);
  if (at == std::string_view::npos) return std::nullopt;
  const char* begin = json.data() + at + KEY.size();
  std::uint32_t sequence = 0;
  auto [end, error] = std::from_chars(begin, json.data() + json.size(), sequence);
  if (error != std::errc() || end == begin) return std::nullopt;
  return sequence;
}

XPlaneFeed::XPlaneFeed(FakeXPlane xplane, milliseconds period)
    : xplane_(std::move(xplane)),
      period_(period),
      sent_ns_(std::make_unique<std::array<std::atomic<std::int64_t>, HISTORY>>()) {
  thread_ = std::thread([this] { run(); });
}

XPlaneFeed::~XPlaneFeed() {
  stop_ = true;
  thread_.join();
}

std::optional<MonotonicInstant> XPlaneFeed::sent_at(std::uint32_t sequence) const {
  if (sequence == 0 || sequence >= sequence_.load()) return std::nullopt;
  if (sequence_.load() - sequence >= HISTORY) return std::nullopt;
  std::int64_t ns = (*sent_ns_)[sequence % HISTORY].load();
  return MonotonicInstant(std::chrono::nanoseconds(ns));
}

void XPlaneFeed::run() {
  MonotonicInstant next_tick = MonotonicClock::now() + period_;
  while (!stop_) {
    MonotonicInstant now = MonotonicClock::now();
    if (now >= next_tick) {
      send_replies();
      next_tick += period_;
      if (next_tick < now) next_tick = now + period_;  // After a stall: no burst.
      continue;
    }
    if (auto datagram = xplane_.receive(std::chrono::ceil<milliseconds>(next_tick - now))) {
      take_datagram(datagram->bytes, datagram->from);
    }
  }
}

void XPlaneFeed::take_datagram(std::span<const char> datagram, const Ipv4Endpoint& sender) {
  if (!standin::decode_rref_request(datagram)) return;
  std::lock_guard lock(mutex_);
  if (std::find(subscribers_.begin(), subscribers_.end(), sender) == subscribers_.end()) {
    subscribers_.push_back(sender);
  }
}

void XPlaneFeed::send_replies() {
  std::vector<Ipv4Endpoint> to;
  {
    std::lock_guard lock(mutex_);
    to = subscribers_;
  }
  if (to.empty()) return;
  std::uint32_t sequence = sequence_.load();
  std::string reply = feed_reply(sequence);
  (*sent_ns_)[sequence % HISTORY] = nanoseconds_of(MonotonicClock::now());
  sequence_ = sequence + 1;  // Published after its send time.
  for (const Ipv4Endpoint& subscriber : to) {
    xplane_.send_to(subscriber, reply);
    ++replies_;
  }
}

}  // namespace simrelay::support
