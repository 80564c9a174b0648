#include "fake_xplane.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "xplane.h"

namespace simrelay::bench {
namespace {

void put_le32(std::vector<char>& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

// A plausible aircraft: the same position, only the altitude moves.
constexpr std::array<float, 8> BASE_VALUES = {47.4647f, 8.5492f, 0,    270.5f,
                                              61.7f,    118.2f,  -300, 457.2f};

std::int64_t nanoseconds_of(MonotonicInstant at) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

}  // namespace

std::vector<char> build_reply(std::uint32_t sequence) {
  std::vector<char> datagram = {'R', 'R', 'E', 'F', ','};
  for (std::uint32_t row = 0; row < BASE_VALUES.size(); ++row) {
    float value = row == 2 ? static_cast<float>(sequence) : BASE_VALUES[row];
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    put_le32(datagram, row);
    put_le32(datagram, bits);
  }
  return datagram;
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

std::unique_ptr<FakeXPlane> FakeXPlane::open(std::uint8_t first, std::uint8_t last,
                                             std::chrono::milliseconds period) {
  for (unsigned host = first; host <= last; ++host) {
    Ipv4Endpoint address{{127, 0, 0, static_cast<std::uint8_t>(host)}, XPLANE_PORT};
    SocketResult bound = open_udp_socket_at(address);
    if (!bound.socket.valid()) continue;
    return std::unique_ptr<FakeXPlane>(new FakeXPlane(std::move(bound.socket), address, period));
  }
  return nullptr;
}

FakeXPlane::FakeXPlane(Socket socket, Ipv4Endpoint address, std::chrono::milliseconds period)
    : socket_(std::move(socket)),
      address_(address),
      period_(period),
      sent_ns_(std::make_unique<std::array<std::atomic<std::int64_t>, HISTORY>>()) {
  thread_ = std::thread([this] { run(); });
}

FakeXPlane::~FakeXPlane() {
  stop_ = true;
  thread_.join();
}

std::string FakeXPlane::host() const {
  std::string text = to_string(address_);
  return text.substr(0, text.find(':'));
}

std::optional<MonotonicInstant> FakeXPlane::sent_at(std::uint32_t sequence) const {
  if (sequence == 0 || sequence >= sequence_.load()) return std::nullopt;
  if (sequence_.load() - sequence >= HISTORY) return std::nullopt;
  std::int64_t ns = (*sent_ns_)[sequence % HISTORY].load();
  return MonotonicInstant(std::chrono::nanoseconds(ns));
}

void FakeXPlane::forget_subscribers() {
  std::lock_guard lock(mutex_);
  subscribers_.clear();
}

void FakeXPlane::run() {
  std::array<char, 2048> buffer;
  MonotonicInstant next_tick = MonotonicClock::now() + period_;
  while (!stop_) {
    MonotonicInstant now = MonotonicClock::now();
    if (now >= next_tick) {
      send_replies();
      next_tick += period_;
      if (next_tick < now) next_tick = now + period_;  // After a stall: no burst.
      continue;
    }
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(next_tick - now);
    set_receive_timeout(socket_, static_cast<std::uint32_t>(std::max<long>(1, wait.count())));
    Ipv4Endpoint sender;
    if (auto length = receive_datagram(socket_, buffer, &sender)) {
      take_datagram(std::span<const char>(buffer.data(), *length), sender);
    }
  }
}

void FakeXPlane::take_datagram(std::span<const char> datagram, const Ipv4Endpoint& sender) {
  if (datagram.size() != RREF_REQUEST_LEN || std::memcmp(datagram.data(), "RREF", 5) != 0) return;
  ++requests_;
  std::lock_guard lock(mutex_);
  if (std::find(subscribers_.begin(), subscribers_.end(), sender) == subscribers_.end()) {
    subscribers_.push_back(sender);
  }
}

void FakeXPlane::send_replies() {
  std::vector<Ipv4Endpoint> to;
  {
    std::lock_guard lock(mutex_);
    to = subscribers_;
  }
  if (to.empty()) return;
  std::uint32_t sequence = sequence_.load();
  std::vector<char> reply = build_reply(sequence);
  (*sent_ns_)[sequence % HISTORY] = nanoseconds_of(MonotonicClock::now());
  sequence_ = sequence + 1;  // Published after its send time.
  for (const Ipv4Endpoint& subscriber : to)
    send_datagram(socket_, subscriber, reply);
}

}  // namespace simrelay::bench
