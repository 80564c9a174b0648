// Fake X-Planes on loopback UDP port 49000: one the test drives by hand,
// and a feed that answers every subscriber at a fixed rate the way the
// simulator does.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "loopback.h"
#include "platform.h"
#include "state.h"

namespace simrelay::support {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class FakeXPlane {
 public:
  // Binds the first free address of the range; nothing when none is free.
  static std::optional<FakeXPlane> open(LoopbackRange range);

  const Ipv4Endpoint& address() const { return address_; }
  std::string host() const { return host_of(address_); }

  struct Datagram {
    std::string bytes;
    Ipv4Endpoint from;
    Clock::time_point at;
  };
  // The next datagram, or nothing after `timeout`.
  std::optional<Datagram> receive(milliseconds timeout);
  // Collects `count` datagrams; fewer when the time runs out.
  std::vector<Datagram> receive_many(std::size_t count, milliseconds timeout);
  // The requests with rate 0 that `subscriber` sends, up to eight, in the
  // order they came; other datagrams are passed over.
  std::vector<std::string> receive_cancellations(const Ipv4Endpoint& subscriber,
                                                 milliseconds timeout);
  void send_to(const Ipv4Endpoint& to, std::string_view bytes);

 private:
  FakeXPlane(Socket socket, Ipv4Endpoint address) : socket_(std::move(socket)), address_(address) {}

  Socket socket_;
  Ipv4Endpoint address_;
};

// A reply with a record for every position field, the altitude (row 2)
// carrying `sequence`, so that an event can be traced back to the datagram
// that brought its value.
std::string feed_reply(std::uint32_t sequence);

// The sequence number an event's JSON carries in "alt", if any.
std::optional<std::uint32_t> sequence_in_snapshot(std::string_view json);

// Answers every address that subscribed with feed_reply() once a period.
class XPlaneFeed {
 public:
  XPlaneFeed(FakeXPlane xplane, milliseconds period);
  ~XPlaneFeed();
  XPlaneFeed(const XPlaneFeed&) = delete;
  XPlaneFeed& operator=(const XPlaneFeed&) = delete;

  std::string host() const { return xplane_.host(); }
  const Ipv4Endpoint& address() const { return xplane_.address(); }
  // When the reply with this sequence number was sent.
  std::optional<MonotonicInstant> sent_at(std::uint32_t sequence) const;
  // Replies sent so far (one per subscriber and period).
  std::uint64_t replies_sent() const { return replies_.load(); }

 private:
  void run();
  void take_datagram(std::span<const char> datagram, const Ipv4Endpoint& sender);
  void send_replies();

  static constexpr std::size_t HISTORY = 1 << 16;

  FakeXPlane xplane_;
  milliseconds period_;
  std::mutex mutex_;  // Guards subscribers_.
  std::vector<Ipv4Endpoint> subscribers_;
  std::unique_ptr<std::array<std::atomic<std::int64_t>, HISTORY>> sent_ns_;
  std::atomic<std::uint32_t> sequence_{1};
  std::atomic<std::uint64_t> replies_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace simrelay::support
